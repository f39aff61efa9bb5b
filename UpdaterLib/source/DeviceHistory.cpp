#include "DeviceHistory.h"

#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>

#include "path.h"

namespace {

const char* const SEPARATOR = " | ";

std::string sOneLine(const std::string& text)
{
    std::string out = text;
    for (char& c : out)
        if (c == '\n' || c == '\r')
            c = ' ';
    return out;
}

}  // namespace

const char* const DeviceHistory::FILE_NAME = "history.log";

std::string DeviceHistory::FormatLine(const HistoryEntry& entry, time_t when)
{
    char stamp[32] = "";
    struct tm local;
    if (localtime_r(&when, &local) != nullptr)
        strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);
    std::string line = stamp;
    line += SEPARATOR + sOneLine(entry.action);
    line += SEPARATOR + sOneLine(entry.target.empty() ? "-" : entry.target);
    line += SEPARATOR;
    if (entry.succeeded)
        line += "ok";
    else
        line += entry.reason.empty() ? "failed" : "failed: " + sOneLine(entry.reason);
    if (!entry.message.empty())
        line += SEPARATOR + sOneLine(entry.message);
    return line + "\n";
}

bool DeviceHistory::Append(const std::string& device_directory, const HistoryEntry& entry)
{
    const std::string line = FormatLine(entry, time(nullptr));
    const std::string path = BuildPath(device_directory.c_str(), FILE_NAME, (const char*)nullptr);
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    ssize_t written;
    do
        written = write(fd, line.data(), line.size());
    while (written < 0 && errno == EINTR);
    const int saved = errno;
    close(fd);
    errno = saved;
    return written == (ssize_t)line.size();
}

std::vector<std::string> DeviceHistory::Read(const std::string& device_directory)
{
    std::vector<std::string> lines;
    std::ifstream in(BuildPath(device_directory.c_str(), FILE_NAME, (const char*)nullptr));
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}
