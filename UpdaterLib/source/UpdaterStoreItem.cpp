#include "UpdaterStoreItem.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "BirdCheck.h"
#include "StoreLock.h"
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

std::string UpdaterStoreItem::BuildProblem(const char* file_name, const uint8_t* data, size_t count)
{
    const std::string name = file_name ? file_name : "";
    const std::string suffix = ".bird";
    unsigned int build = 0;
    if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0 ||
        !StoreParseBuild(name.substr(0, name.size() - suffix.size()), &build))
        return std::string();
    BirdFile bird;
    if (data == nullptr || !bird.LoadBuffer(data, count))
        return BirdCheck::LoadProblem(bird.Failure());
    std::vector<std::string> problems = BirdCheck::Problems(bird, BirdCheck::ForSending(false, false));
    if (!problems.empty())
        return BirdCheck::Summary(problems);
    if (bird.GetBuild() != build)
        return "it carries build " + std::to_string(bird.GetBuild()) + ", not " + std::to_string(build);
    return std::string();
}

aErr UpdaterStoreItem::WriteFile(const char* file_name, const uint8_t* data, size_t count, std::string* reason) const
{
    std::string why;
    aErr err = aErrNone;
    const std::string directory = FullPath();
    const std::string path = BuildPath(directory.c_str(), file_name ? file_name : "", (const char*)nullptr);
    if (data == nullptr) {
        err = aErrNotFound;
        why = "no data";
    } else if (!StoreIsPlainName(file_name)) {
        err = aErrParam;
        why = std::string("not a plain file name: ") + (file_name ? file_name : "");
    } else if (!aDirectory_Exists(directory.c_str())) {
        err = aErrNotFound;
        why = "no directory " + directory;
    } else {
        StoreLock lock(directory);
        if (!lock.Held()) {
            err = aErrBusy;
            why = lock.Error();
        } else if (FileExists(file_name) && !(why = BuildProblem(file_name, data, count)).empty()) {
            err = aErrParam;
            why = "the stored " + std::string(file_name) + " is kept: the new one " + why;
        } else {
            errno = 0;
            err = aFile_WriteAtomic(path.c_str(), data, count);
            const int error = errno;
            if (err != aErrNone)
                why = "cannot write " + path + (error ? std::string(": ") + strerror(error) : std::string());
        }
    }
    if (err != aErrNone && reason)
        *reason = why;
    return err;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const char* file_name) const
{
    // A name from a settings file or the server never leads out of the device's directory.
    if (!StoreIsPlainName(file_name))
        throw std::runtime_error(std::string("Invalid bird name ") + (file_name ? file_name : ""));
    std::string full = BuildPath(path.c_str(), name.c_str(), file_name, (const char*)nullptr);
    if (!BirdFile::VerifyFile(full.c_str()))
        throw std::runtime_error("Invalid bird " + full);
    return BirdFile(full.c_str());
}
