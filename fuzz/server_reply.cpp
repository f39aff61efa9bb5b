// Update server replies: any body must be split and read without a fault.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "UpdateServerReply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string body(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> lines = UpdateServerReply::Lines(body);
    if (!UpdateServerReply::IsOk(lines))
        return 0;
    std::string build, fw, content;
    UpdateServerReply::QueryBuild(lines, build, fw);
    UpdateServerReply::GetBuild(lines, content);
    std::map<std::string, std::string> builds;
    UpdateServerReply::GetBuildList(lines, builds);
    for (const auto& entry : builds)
        if (entry.first.empty() || entry.first.find_first_of(";\r\n") != std::string::npos)
            __builtin_trap();  // a build key is never empty and never holds a separator
    uint32_t serial = 0, latest = 0;
    UpdateServerReply::GetRecoveryInfo(lines, &serial, &latest);
    return 0;
}
