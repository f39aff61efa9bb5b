// What discovery learns of one device.
#ifndef UPDATER_DEVICEINFO_H
#define UPDATER_DEVICEINFO_H

#include <cstdint>
#include <string>
#include "aDefs.h"
#include "aLinkSpec.h"

struct DeviceInfo {
    linkSpec spec{};
    uint32_t build = 0;
    uint8_t version_major = 0;
    uint8_t version_minor = 0;
    uint32_t version_patch = 0;
    std::string model_name;
    aErr error = aErrNone;
};

#endif
