// Four 32-bit words that identify a chip in its ROM bootloader.
#ifndef UPDATER_FINGERPRINT_H
#define UPDATER_FINGERPRINT_H

#include <cstdint>

struct Fingerprint {
    uint32_t words[4] = {0, 0, 0, 0};
};

#endif
