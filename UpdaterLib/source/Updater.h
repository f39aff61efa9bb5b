// The Updater carries out every command of the program against devices, the local store and
// the update server. It reports only through the display it was given and writes diagnostics
// through Log. It holds no connection between calls.
#ifndef UPDATER_UPDATER_H
#define UPDATER_UPDATER_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "DeviceInfo.h"
#include "Fingerprint.h"
#include "UpdaterDisplayInterface.h"
#include "aLinkSpec.h"

class Updater {
  public:
    Updater(const char* server_url, const char* updater_directory, UpdaterDisplayInterface& display);
    ~Updater();

    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    const std::string& ServerUrl() const { return server_url; }
    const std::string& Directory() const { return updater_directory; }
    UpdaterDisplayInterface& Display() { return display; }

  private:
    std::string server_url;
    std::string updater_directory;
    UpdaterDisplayInterface& display;
    uint8_t chip_type = 0;
};

#endif
