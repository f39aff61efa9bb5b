#include "StoreLock.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Log.h"
#include "aTime.h"

StoreLock::StoreLock(const std::string& directory, uint32_t wait_ms)
{
    const std::string path = directory.empty() ? std::string(".") : directory;
    int dir = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        error = "cannot open " + path + ": " + strerror(errno);
        return;
    }
    const uint64_t deadline = aTime_MonoMS() + wait_ms;
    for (;;) {
        if (flock(dir, LOCK_EX | LOCK_NB) == 0)
            break;
        if (errno != EWOULDBLOCK && errno != EINTR) {
            error = "cannot lock " + path + ": " + strerror(errno);
            close(dir);
            return;
        }
        if (aTime_MonoMS() >= deadline) {
            error = "another run holds the lock of " + path;
            close(dir);
            return;
        }
        aTime_MSSleep(10);
    }
    fd = dir;
    RemoveLeftovers(path);
}

StoreLock::~StoreLock()
{
    if (fd >= 0) {
        flock(fd, LOCK_UN);
        close(fd);
    }
}

bool StoreLock::IsTemporaryName(const std::string& name)
{
    const size_t at = name.rfind(".tmp");
    return at != std::string::npos && at > 0 && name.size() == at + 4 + 6;
}

// A one-step write holds a lock on its temporary file until it is renamed; one whose lock can be
// taken belongs to a run that ended without finishing it.
void StoreLock::RemoveLeftovers(const std::string& directory)
{
    DIR* listing = opendir(directory.c_str());
    if (!listing)
        return;
    while (struct dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (!IsTemporaryName(name))
            continue;
        const std::string path = directory + "/" + name;
        int file = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (file < 0)
            continue;
        struct stat st;
        if (fstat(file, &st) == 0 && S_ISREG(st.st_mode) && flock(file, LOCK_EX | LOCK_NB) == 0) {
            Log::log(DEBUG_Updater, "Store: removing %s, left by an unfinished write\n", path.c_str());
            unlink(path.c_str());
        }
        close(file);
    }
    closedir(listing);
}
