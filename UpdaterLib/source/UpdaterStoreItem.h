// One entry of the updater store: a device directory, or a file inside one, together with the
// entry's settings file (entry/".settings"). Items are values.
#ifndef UPDATER_UPDATERSTOREITEM_H
#define UPDATER_UPDATERSTOREITEM_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "BirdFile.h"
#include "KeyValueStore.h"
#include "aDefs.h"

typedef enum { STORE_ITEM_FILE = 0, STORE_ITEM_DIRECTORY = 1, STORE_ITEM_NOT_SET = 2 } store_item_t;

class UpdaterStoreItem {
  public:
    // An empty item: no path or name, kind not set, settings without a file.
    UpdaterStoreItem();
    // The item path/name, its settings loaded from path/name/".settings".
    UpdaterStoreItem(const char* path, const char* name, store_item_t kind);

    // True when both path and name are set.
    bool IsValid() const;

    // True when the item's directory holds an entry with exactly this name.
    bool FileExists(const char* file_name) const;
    // Writes path/name/file_name in one step (never left half-written), under the directory's
    // lock. aErrNotFound when the data is null or the directory is missing, aErrParam for a
    // name that is not a plain file name, or when a stored build ("N.bird") would be replaced
    // by bytes that `BuildProblem` refuses; aErrBusy when the lock cannot be had; else the
    // write's own result. On a failure, reason (when given) says why in words.
    aErr WriteFile(const char* file_name, const uint8_t* data, size_t count, std::string* reason = nullptr) const;
    // Why the bytes may not be stored under the name: for a build "N.bird", a file that does
    // not load, is damaged or carries another build. Empty when they may (or the name is not
    // a build's).
    static std::string BuildProblem(const char* file_name, const uint8_t* data, size_t count);
    // Loads path/name/file_name as a BIRD file. Throws std::runtime_error("Invalid bird " +
    // full path) when it is not one, and "Failed to load bird data" when it cannot be loaded;
    // a name that is not a plain file name ("../x", "/etc/x") is refused before any read.
    BirdFile ReadBirdFile(const char* file_name) const;

    // The directory that contains the entry, the entry's name, and the two joined.
    const std::string& Path() const { return path; }
    const std::string& Name() const { return name; }
    std::string FullPath() const;
    store_item_t Kind() const { return kind; }

    KeyValueStore& Settings() { return settings; }
    const KeyValueStore& Settings() const { return settings; }

  private:
    std::string path;
    std::string name;
    store_item_t kind;
    KeyValueStore settings;
};

#endif
