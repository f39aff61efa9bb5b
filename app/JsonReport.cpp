#include "JsonReport.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "aDefs.h"
#include "aError.h"

std::string _json_serial(uint32_t serial)
{
    char text[16];
    snprintf(text, sizeof(text), "%08X", serial);
    return text;
}

namespace {

std::string sHex2(unsigned value)
{
    char text[8];
    snprintf(text, sizeof(text), "%02X", value & 0xFF);
    return text;
}

}  // namespace

JsonValue _json_discovered(const DeviceInfo& device)
{
    JsonValue entry = JsonValue::Object();
    const char* model = aDefs_GetModelName((int32_t)device.spec.model);
    entry.Set("model", model ? model : "");
    entry.Set("module", sHex2(device.spec.module));
    entry.Set("router", sHex2(device.spec.router));
    entry.Set("version", std::to_string(device.version_major) + "." + std::to_string(device.version_minor) + "." +
                             std::to_string(device.version_patch));
    entry.Set("build", device.build);
    entry.Set("transport", device.spec.type == TCPIP ? "TCPIP" : "USB");
    if (device.spec.type == TCPIP) {
        const uint8_t* ip = reinterpret_cast<const uint8_t*>(&device.spec.t.ip.ip_address);
        char text[20];
        snprintf(text, sizeof(text), "%d.%d.%d.%d", ip[0], ip[1], ip[2], ip[3]);
        entry.Set("ip", text);
    }
    return entry;
}

JsonValue _json_builds(const std::map<std::string, std::string>& builds)
{
    std::vector<std::pair<std::string, std::string>> list(builds.begin(), builds.end());
    std::stable_sort(list.begin(), list.end(),
                     [](const std::pair<std::string, std::string>& a, const std::pair<std::string, std::string>& b) {
                         return a.second < b.second;
                     });
    JsonValue array = JsonValue::Array();
    for (const auto& build : list) {
        JsonValue item = JsonValue::Object();
        // A build the server names by something other than a number keeps its text.
        errno = 0;
        char* end = nullptr;
        const unsigned long long number = strtoull(build.first.c_str(), &end, 10);
        const bool numeric = !build.first.empty() && end != nullptr && *end == '\0' && errno == 0 &&
                             build.first[0] >= '0' && build.first[0] <= '9';
        if (numeric)
            item.Set("build", (uint64_t)number);
        else
            item.Set("build", build.first);
        item.Set("version", build.second);
        array.Push(item);
    }
    return array;
}

JsonValue _json_fingerprint(const Fingerprint& fingerprint)
{
    JsonValue words = JsonValue::Array();
    for (uint32_t word : fingerprint.words)
        words.Push(_json_serial(word));
    return words;
}

void JsonReport::SetCommand(const char* name)
{
    std::lock_guard<std::mutex> hold(lock);
    command = name;
}

JsonValue& JsonReport::sEntry(uint32_t serial)
{
    for (auto& device : devices)
        if (device.first == serial)
            return device.second;
    JsonValue entry = JsonValue::Object();
    entry.Set("serial", _json_serial(serial));
    entry.Set("ok", true);
    entry.Set("error", JsonValue());
    devices.emplace_back(serial, entry);
    return devices.back().second;
}

void JsonReport::Set(uint32_t serial, const std::string& key, const JsonValue& value)
{
    std::lock_guard<std::mutex> hold(lock);
    sEntry(serial).Set(key, value);
}

void JsonReport::Fail(uint32_t serial, const std::string& reason)
{
    std::lock_guard<std::mutex> hold(lock);
    JsonValue& entry = sEntry(serial);
    const bool first = entry.Find("ok")->AsBool();
    entry.Set("ok", false);
    if (first || entry.Find("error")->GetKind() == JsonValue::NUL)
        entry.Set("error", reason.empty() ? std::string("failed") : reason);
}

void JsonReport::FailRun(const std::string& reason)
{
    std::lock_guard<std::mutex> hold(lock);
    if (run_error.empty())
        run_error = reason.empty() ? std::string("failed") : reason;
}

std::string JsonReport::Document(bool ok) const
{
    std::lock_guard<std::mutex> hold(lock);
    JsonValue document = JsonValue::Object();
    document.Set("command", command.empty() ? JsonValue() : JsonValue(command));
    document.Set("ok", ok);
    document.Set("error", run_error.empty() ? JsonValue() : JsonValue(run_error));
    JsonValue list = JsonValue::Array();
    for (const auto& device : devices)
        list.Push(device.second);
    document.Set("devices", list);
    return document.Write();
}
