#include "DeviceRecord.h"

#include <cstdio>

namespace {

std::string sVersionText(const DeviceInfo& device)
{
    char text[64];
    snprintf(text, sizeof(text), "%d.%d.%u", (int)device.version_major, (int)device.version_minor,
             (unsigned)device.version_patch);
    return text;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> DeviceRecordValues(const DeviceInfo& device, const std::string& seen)
{
    using namespace DeviceRecordKey;
    char text[64];
    std::vector<std::pair<std::string, std::string>> values;
    const char* name = aDefs_GetModelName((int32_t)device.spec.model);
    values.emplace_back(MODEL, device.model_name.empty() ? (name ? name : "") : device.model_name);
    snprintf(text, sizeof(text), "%02X", (unsigned)device.spec.module);
    values.emplace_back(MODULE_ADDRESS, text);
    snprintf(text, sizeof(text), "%02X", (unsigned)device.spec.router);
    values.emplace_back(ROUTER_ADDRESS, text);
    if (device.spec.router_serial_number != 0 && device.spec.router_serial_number != device.spec.serial_number) {
        snprintf(text, sizeof(text), "%08X", device.spec.router_serial_number);
        values.emplace_back(ROUTER_SERIAL_NUMBER, text);
    }
    if (device.error == aErrNone) {
        values.emplace_back(FIRMWARE_VERSION, sVersionText(device));
        values.emplace_back(FIRMWARE_BUILD, std::to_string(device.build));
    }
    values.emplace_back(TRANSPORT, device.spec.type == USB ? "USB" : device.spec.type == TCPIP ? "TCPIP" : "Unknown");
    if (device.spec.type == TCPIP) {
        const uint8_t* ip = reinterpret_cast<const uint8_t*>(&device.spec.t.ip.ip_address);
        snprintf(text, sizeof(text), "%d.%d.%d.%d", ip[0], ip[1], ip[2], ip[3]);
        values.emplace_back(IP_ADDRESS, text);
    }
    values.emplace_back(LAST_SEEN_DATE, seen);
    return values;
}

std::vector<std::pair<std::string, std::string>> RunningRecordValues(const DeviceInfo& running, const std::string& seen)
{
    using namespace DeviceRecordKey;
    return {{FIRMWARE_VERSION, sVersionText(running)},
            {FIRMWARE_BUILD, std::to_string(running.build)},
            {LAST_SEEN_DATE, seen}};
}

unsigned int StoredBuildNumber(const std::string& file_name)
{
    const std::string suffix = ".bird";
    if (file_name.size() <= suffix.size() || file_name.size() > suffix.size() + 10 ||
        file_name.compare(file_name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return 0;
    unsigned long long value = 0;
    for (size_t i = 0; i + suffix.size() < file_name.size(); i++) {
        const char c = file_name[i];
        if (c < '0' || c > '9')
            return 0;
        value = value * 10 + (unsigned)(c - '0');
    }
    return value <= 0xFFFFFFFFull ? (unsigned int)value : 0;
}
