#include "UpdaterStoreItem.h"

#include <stdexcept>

#include "StoreMatch.h"
#include "aDirectory.h"
#include "aFile.h"
#include "path.h"

UpdaterStoreItem::UpdaterStoreItem() : kind(STORE_ITEM_NOT_SET) {}

UpdaterStoreItem::UpdaterStoreItem(const char* path_, const char* name_, store_item_t kind_)
    : path(path_ ? path_ : ""), name(name_ ? name_ : ""), kind(kind_)
{
    settings.Load(BuildPath(path.c_str(), name.c_str(), KeyValueStore::DEFAULT_FILENAME, (const char*)nullptr).c_str());
}

bool UpdaterStoreItem::IsValid() const
{
    return !path.empty() && !name.empty();
}

std::string UpdaterStoreItem::FullPath() const
{
    return BuildPath(path.c_str(), name.c_str(), (const char*)nullptr);
}

bool UpdaterStoreItem::FileExists(const char* file_name) const
{
    return StoreFindEntry(FullPath(), file_name).found;
}

aErr UpdaterStoreItem::WriteFile(const char* file_name, const uint8_t* data, size_t count) const
{
    if (data == nullptr)
        return aErrNotFound;
    if (!StoreIsPlainName(file_name))
        return aErrParam;
    std::string directory = FullPath();
    if (!aDirectory_Exists(directory.c_str()))
        return aErrNotFound;
    return aFile_WriteAtomic(BuildPath(directory.c_str(), file_name, (const char*)nullptr).c_str(), data, count);
}

BirdFile UpdaterStoreItem::ReadBirdFile(const char* file_name) const
{
    std::string full = BuildPath(path.c_str(), name.c_str(), file_name ? file_name : "", (const char*)nullptr);
    if (!BirdFile::VerifyFile(full.c_str()))
        throw std::runtime_error("Invalid bird " + full);
    return BirdFile(full.c_str());
}
