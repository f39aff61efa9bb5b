#include "Log.h"

#include <cstdarg>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <unistd.h>

std::atomic<FILE*> Log::fh{nullptr};
std::atomic<uint32_t> Log::package_bitmask{0};
std::atomic<bool> Log::line_stamps{false};
std::atomic<bool> Log::timestamped{false};
const char* const Log::TIMESTAMP_FORMAT = "%Y:%m:%d:%H:%M:%S";
const char* const Log::SEPARATOR = " | ";

void Log::SetOutput(FILE* out)
{
    line_stamps = false;
    fh = out;
}

namespace {

// Whether the next entry starts a new line of the stamped file; entries come from several
// threads, so the stamp and the text are written under one lock.
std::mutex sStampLock;
bool sAtLineStart = true;

std::string sLocalStamp()
{
    char stamp[64] = "";
    time_t now = time(nullptr);
    struct tm tm;
    if (localtime_r(&now, &tm) != nullptr)
        strftime(stamp, sizeof(stamp), Log::TIMESTAMP_FORMAT, &tm);
    return std::string(stamp) + Log::SEPARATOR;
}

void sWriteStamped(FILE* out, const char* text, size_t length)
{
    std::lock_guard<std::mutex> hold(sStampLock);
    std::string stamped;
    for (size_t i = 0; i < length; i++) {
        if (sAtLineStart)
            stamped += sLocalStamp();
        stamped += text[i];
        sAtLineStart = text[i] == '\n';
    }
    fwrite(stamped.data(), 1, stamped.size(), out);
}

}  // namespace

bool Log::SetOutputFile(const char* path)
{
    FILE* file = path ? fopen(path, "a") : nullptr;
    if (file == nullptr)
        return false;
    setvbuf(file, nullptr, _IOLBF, 0);
    line_stamps = true;
    fh = file;
    return true;
}

void Log::ActivatePackage(unsigned mask)
{
    package_bitmask |= mask;
}

void Log::DeactivatePackage(unsigned mask)
{
    package_bitmask &= ~mask;
}

unsigned Log::ActivePackages()
{
    return package_bitmask.load();
}

void Log::log(unsigned package, const char* format, ...)
{
    if (package != 0 && (package & package_bitmask.load()) == 0)
        return;
    FILE* out = fh.load();
    if (timestamped && format && strlen(format) > 10) {
        char stamp[128];
        time_t now = time(nullptr);
        struct tm tm;
        gmtime_r(&now, &tm);
        size_t n = strftime(stamp, sizeof(stamp), TIMESTAMP_FORMAT, &tm);
        fwrite(stamp, 1, n, stdout);
        fwrite(SEPARATOR, 1, strlen(SEPARATOR), stdout);
    }
    if (out == nullptr || format == nullptr)
        return;
    // At most 2047 characters; a longer entry is cut, never overflows.
    char text[2048];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (n < 0)
        return;
    size_t length = (size_t)n < sizeof(text) ? (size_t)n : sizeof(text) - 1;
    if (line_stamps.load())
        sWriteStamped(out, text, length);
    else
        fwrite(text, 1, length, out);
}
