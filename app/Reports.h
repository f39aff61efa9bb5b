// The program's fixed reports: version, release and copyright lines, usage text, device list,
// build list and fingerprint.
#ifndef UPDATER_REPORTS_H
#define UPDATER_REPORTS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "DeviceInfo.h"
#include "DeviceRecord.h"
#include "Fingerprint.h"
#include "UpdaterDisplayInterface.h"
#include "aLinkSpec.h"

#define APP_NAME "Updater"
// UPDATER_VERSION comes from the build (the project's version); nothing else repeats it.
#ifndef UPDATER_VERSION
#error "UPDATER_VERSION must be defined by the build"
#endif
#define APP_VERSION "Version: " UPDATER_VERSION " Apr 26 2023"

void _display_app_version(UpdaterDisplayInterface& display);
void _display_sx_version(UpdaterDisplayInterface& display);
void _display_copyright(UpdaterDisplayInterface& display);
// Usage text on standard error: block 1; with full, blocks 2 and 4, and 3 when extended too.
void _display_usage(bool extended, bool full);
void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices,
                          linkType transport);
void _display_builds(UpdaterDisplayInterface& display, const std::map<std::string, std::string>& builds,
                     uint32_t serial_number);
void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint);

// -I: a device's stored settings (key and value on one line each), its stored builds newest
// first, and its history log.
void _display_stored_device(UpdaterDisplayInterface& display, const StoredDevice& device);

// -C: what a loaded BIRD file holds: build, version, model, serial number, the patch location
// and recovery start when present, and every loader and firmware block.
void _display_bird_summary(UpdaterDisplayInterface& display, const std::string& path, const BirdFile& bird);

#endif
