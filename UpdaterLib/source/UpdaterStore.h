// The updater store: a directory tree holding one directory per device (named by its serial
// number, "%08X"), each with a settings file and the downloaded builds ("BUILD.bird").
#ifndef UPDATER_UPDATERSTORE_H
#define UPDATER_UPDATERSTORE_H

#include <string>
#include <vector>

#include "UpdaterStoreItem.h"

class UpdaterStore {
  public:
    // Ensures the root exists as a directory; throws std::runtime_error when it cannot.
    explicit UpdaterStore(const char* root);

    const std::string& BasePath() const { return base_path; }

    // Ensures the device directory exists and returns it with its settings loaded (a missing
    // settings file is created). Throws std::runtime_error when the directory cannot be made.
    UpdaterStoreItem AddDevice(unsigned int serial_number);
    UpdaterStoreItem AddDevice(const char* name);

    // True when the root holds an entry with exactly this name; the item, when given, is
    // filled with it (settings loaded). Left unchanged when nothing is found.
    bool FindDevice(const char* name, UpdaterStoreItem* item) const;
    bool FindDevice(unsigned int serial_number, UpdaterStoreItem* item) const;

    // Appends one item per visible entry of the device's directory, in directory order.
    bool FindLocalBuilds(unsigned int serial_number, std::vector<UpdaterStoreItem>& items) const;

    // "%08X" of a serial number: the name of its device directory.
    static std::string DeviceName(unsigned int serial_number);

  private:
    void EnsureDirectory(const std::string& path) const;

    std::string base_path;
};

#endif
