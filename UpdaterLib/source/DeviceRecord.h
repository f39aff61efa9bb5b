// What the store keeps of a device: the settings discovery records (-D), and everything shown
// for it by -I (settings, stored builds, history).
#ifndef UPDATER_DEVICERECORD_H
#define UPDATER_DEVICERECORD_H

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "DeviceInfo.h"

// The settings keys discovery writes. The history keys (LATEST_DOWNLOAD, ...) are never among
// them.
namespace DeviceRecordKey {
const char* const MODEL = "MODEL";
const char* const MODULE_ADDRESS = "MODULE_ADDRESS";
const char* const ROUTER_ADDRESS = "ROUTER_ADDRESS";
const char* const ROUTER_SERIAL_NUMBER = "ROUTER_SERIAL_NUMBER";
const char* const FIRMWARE_VERSION = "FIRMWARE_VERSION";
const char* const FIRMWARE_BUILD = "FIRMWARE_BUILD";
const char* const TRANSPORT = "TRANSPORT";
const char* const IP_ADDRESS = "IP_ADDRESS";
const char* const LAST_SEEN_DATE = "LAST_SEEN_DATE";
}  // namespace DeviceRecordKey

// The keys and values discovery records for a device seen at the given time. The version and
// build only when the device answered; the router's serial number only behind a router; the
// IP address only over TCP/IP.
std::vector<std::pair<std::string, std::string>> DeviceRecordValues(const DeviceInfo& device,
                                                                    const std::string& seen);

// The keys and values a check of what a device runs (-V) records: its version and build, and
// when it was seen.
std::vector<std::pair<std::string, std::string>> RunningRecordValues(const DeviceInfo& running,
                                                                     const std::string& seen);

struct StoredBuild {
    unsigned int build = 0;
    std::string file;
    std::string version;  // empty when the file does not load
};

struct StoredDevice {
    unsigned int serial_number = 0;
    std::map<std::string, std::string> settings;
    std::vector<StoredBuild> builds;  // newest (highest build number) first
    std::vector<std::string> history;

    bool Empty() const { return settings.empty() && builds.empty() && history.empty(); }
};

// The build number a store file name "BUILD.bird" stands for; 0 for any other name.
unsigned int StoredBuildNumber(const std::string& file_name);

#endif
