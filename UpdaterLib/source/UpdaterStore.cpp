#include "UpdaterStore.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <sys/stat.h>

#include "Log.h"
#include "StoreMatch.h"
#include "aDirectory.h"
#include "path.h"

namespace {

const unsigned int DIRECTORY_MODE = 0755;

struct ListContext {
    std::string directory;
    std::vector<UpdaterStoreItem>* items;
};

bool sFindItems(const aDirectoryListData* entry, void* context)
{
    ListContext* list = static_cast<ListContext*>(context);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->path, (int)entry->type, (int)entry->size);
    const char* slash = strrchr(entry->path, '/');
    const char* name = slash ? slash + 1 : entry->path;
    // Hidden entries (".", "..", ".settings", ...) are not builds.
    if (name[0] == '.')
        return true;
    list->items->emplace_back(list->directory.c_str(), name,
                              entry->type == 1 ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    return true;
}

}  // namespace

UpdaterStore::UpdaterStore(const char* root) : base_path(root ? root : "")
{
    EnsureDirectory(base_path);
}

std::string UpdaterStore::DeviceName(unsigned int serial_number)
{
    char text[16];
    snprintf(text, sizeof(text), "%08X", serial_number);
    return text;
}

void UpdaterStore::EnsureDirectory(const std::string& path) const
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        aErr err = aDirectory_Ensure(path.c_str(), DIRECTORY_MODE);
        if (err != aErrNone)
            throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                                     std::to_string((int)err));
        Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
    } else if (S_ISDIR(st.st_mode)) {
        Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
    } else {
        throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
    }
}

UpdaterStoreItem UpdaterStore::AddDevice(unsigned int serial_number)
{
    return AddDevice(DeviceName(serial_number).c_str());
}

UpdaterStoreItem UpdaterStore::AddDevice(const char* name)
{
    if (!StoreIsPlainName(name))
        throw std::runtime_error(std::string("UpdaterStore: invalid device name [") + (name ? name : "") + "]");
    EnsureDirectory(BuildPath(base_path.c_str(), name, (const char*)nullptr));
    return UpdaterStoreItem(base_path.c_str(), name, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(const char* name, UpdaterStoreItem* item) const
{
    StoreMatch match = StoreFindEntry(base_path, name);
    if (!match.found)
        return false;
    if (item)
        *item = UpdaterStoreItem(match.path.c_str(), match.name.c_str(),
                                 match.type == 1 ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    return true;
}

bool UpdaterStore::FindDevice(unsigned int serial_number, UpdaterStoreItem* item) const
{
    return FindDevice(DeviceName(serial_number).c_str(), item);
}

bool UpdaterStore::FindLocalBuilds(unsigned int serial_number, std::vector<UpdaterStoreItem>& items) const
{
    UpdaterStoreItem device;
    if (!FindDevice(serial_number, &device))
        return true;
    ListContext context = {device.FullPath(), &items};
    aDirectory_List(context.directory.c_str(), sFindItems, &context);
    return true;
}
