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

JsonValue _json_stored(const StoredDevice& device)
{
    JsonValue settings = JsonValue::Object();
    for (const auto& setting : device.settings)
        settings.Set(setting.first, setting.second);
    JsonValue builds = JsonValue::Array();
    for (const StoredBuild& build : device.builds) {
        JsonValue item = JsonValue::Object();
        item.Set("build", build.build);
        item.Set("version", build.version.empty() ? JsonValue() : JsonValue(build.version));
        builds.Push(item);
    }
    JsonValue history = JsonValue::Array();
    for (const std::string& line : device.history)
        history.Push(line);
    JsonValue entry = JsonValue::Object();
    entry.Set("settings", settings);
    entry.Set("stored_builds", builds);
    entry.Set("history", history);
    return entry;
}

namespace {

std::string sHex8(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}

}  // namespace

JsonValue _json_bird(const std::string& path, const BirdFile& bird)
{
    JsonValue entry = JsonValue::Object();
    entry.Set("path", path);
    entry.Set("build", bird.GetBuild());
    entry.Set("version", bird.GetVersion());
    entry.Set("model", bird.GetModel());
    entry.Set("serial", _json_serial(bird.GetSerialNumber()));
    entry.Set("serial_patch", bird.HasSerialNumberBlock() ? JsonValue(sHex8(bird.SerialNumberAddress())) : JsonValue());
    const std::vector<BirdBlock> starts = bird.FindBlocks(BirdFile::BLOCK_RECOVERY_START);
    JsonValue start;
    if (!starts.empty() && starts[0].length >= 4) {
        const uint8_t* d = starts[0].data;
        start = sHex8((uint32_t)d[0] << 24 | (uint32_t)d[1] << 16 | (uint32_t)d[2] << 8 | d[3]);
    }
    entry.Set("recovery_start", start);
    entry.Set("loader_blocks", (uint64_t)bird.FindBlocks(BirdFile::BLOCK_LOADER).size());
    entry.Set("firmware_blocks", (uint64_t)bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).size());
    return entry;
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

void JsonReport::SetRun(const std::string& key, const JsonValue& value)
{
    std::lock_guard<std::mutex> hold(lock);
    for (auto& field : run_fields)
        if (field.first == key) {
            field.second = value;
            return;
        }
    run_fields.emplace_back(key, value);
}

bool JsonReport::AnyDeviceFailed() const
{
    std::lock_guard<std::mutex> hold(lock);
    for (const auto& device : devices)
        if (!device.second.Find("ok")->AsBool())
            return true;
    return false;
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
    for (const auto& field : run_fields)
        document.Set(field.first, field.second);
    return document.Write();
}
