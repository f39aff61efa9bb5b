#include "UpdateServerReply.h"

#include <cstdlib>

#include "Log.h"

namespace UpdateServerReply {

namespace {

// Splits at any of the separators, skipping empty fields (runs of separators count as one).
std::vector<std::string> sFields(const std::string& text, const char* separators)
{
    std::vector<std::string> fields;
    size_t start = text.find_first_not_of(separators);
    while (start != std::string::npos) {
        size_t end = text.find_first_of(separators, start);
        fields.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        start = end == std::string::npos ? end : text.find_first_not_of(separators, end);
    }
    return fields;
}

// Reads an unsigned number in the given base (0: from its prefix), cut to 32 bits. The text
// stops at an embedded NUL, as a C string would.
uint32_t sNumber(const std::string& text, int base)
{
    return (uint32_t)strtoul(text.c_str(), nullptr, base);
}

}  // namespace

std::vector<std::string> Lines(const std::string& body)
{
    return sFields(body, "\n");
}

bool IsOk(const std::vector<std::string>& lines)
{
    return !lines.empty() && lines[0].compare(0, 2, "ok") == 0;
}

void QueryBuild(const std::vector<std::string>& lines, std::string& build, std::string& firmware)
{
    if (lines.size() > 1)
        build = lines[1];
    if (lines.size() > 2)
        firmware = lines[2].substr(0, lines[2].find('\r'));
}

void GetBuild(const std::vector<std::string>& lines, std::string& content)
{
    if (lines.size() > 1)
        content = lines[1];
}

void GetBuildList(const std::vector<std::string>& lines, std::map<std::string, std::string>& builds)
{
    for (size_t i = 1; i < lines.size(); i++) {
        const std::string& line = lines[i];
        if (line.size() <= 2)
            continue;
        Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", line.c_str());
        std::vector<std::string> fields = sFields(line, ";\r\n");
        if (fields.empty())
            continue;
        const std::string version = fields.size() > 1 ? fields[1] : std::string();
        builds.insert(std::make_pair(fields[0], version));
        Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", fields[0].c_str(), version.c_str());
    }
}

void GetRecoveryInfo(const std::vector<std::string>& lines, uint32_t* serial_number, uint32_t* build)
{
    if (lines.size() > 1 && serial_number)
        *serial_number = sNumber(lines[1], 16);
    if (lines.size() > 2 && build)
        *build = sNumber(lines[2], 0);
    Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", lines.size() > 0 ? lines[0].c_str() : "",
             lines.size() > 1 ? lines[1].c_str() : "", lines.size() > 2 ? lines[2].c_str() : "");
}

}  // namespace UpdateServerReply
