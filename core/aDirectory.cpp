// Directory utilities over POSIX.
#include "aDirectory.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

bool aDirectory_Exists(const char* path)
{
    if (path == nullptr)
        return false;
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

static bool sMakeDirectory(const char* path, unsigned int mode)
{
    if (aDirectory_Exists(path))
        return true;
    return mkdir(path, (mode_t)mode) == 0 || errno == EEXIST;
}

aErr aDirectory_Ensure(const char* path, unsigned int mode)
{
    if (path == nullptr || path[0] == '\0')
        return aErrParam;
    if (aDirectory_Exists(path))
        return aErrNone;
    std::string prefix;
    const size_t length = strlen(path);
    for (size_t i = 0; i < length; i++) {
        if (path[i] == '/' && i > 0 && path[i - 1] != '/') {
            prefix.assign(path, i);
            if (!sMakeDirectory(prefix.c_str(), mode))
                return aErrPermission;
        }
    }
    if (!sMakeDirectory(path, mode))
        return aErrPermission;
    return aDirectory_Exists(path) ? aErrNone : aErrPermission;
}

void aDirectory_List(const char* path, aDirectoryListProc callback, void* context)
{
    if (path == nullptr || callback == nullptr)
        return;
    DIR* dir = opendir(path);
    if (!dir)
        return;
    char full[aDIR_MAX_PATH];
    while (struct dirent* entry = readdir(dir)) {
        int n = snprintf(full, sizeof(full), "%s%s%s", path, aDIR_PATH_SEP, entry->d_name);
        if (n < 0 || (size_t)n >= sizeof(full))
            continue;
        struct stat st;
        if (stat(full, &st) != 0)
            continue;
        aDirectoryListData data;
        data.path = full;
        data.size = (uint32_t)st.st_size;
        data.type = S_ISDIR(st.st_mode) ? 1u : 0u;
        if (!callback(&data, context))
            break;
    }
    closedir(dir);
}

aErr aDirectory_Delete(const char* path)
{
    if (path == nullptr)
        return aErrParam;
    return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_DeleteTree(const char* path)
{
    if (path == nullptr)
        return aErrParam;
    DIR* dir = opendir(path);
    if (!dir)
        return aErrNotFound;
    aErr err = aErrNone;
    while (struct dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        std::string full = std::string(path) + aDIR_PATH_SEP + entry->d_name;
        struct stat st;
        if (lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            err = aDirectory_DeleteTree(full.c_str());
            if (err != aErrNone)
                break;
        } else if (unlink(full.c_str()) != 0) {
            perror("aDirectory_DeleteTree");
            printf("---error unlink-ing file [%s]\n", full.c_str());
            err = aErrIO;
            break;
        }
    }
    closedir(dir);
    if (err != aErrNone)
        return err;
    return aDirectory_Delete(path);
}

aErr aDirectory_CWD(char* buffer, size_t size)
{
    if (buffer == nullptr || size == 0 || getcwd(buffer, size) == nullptr)
        return aErrParam;
    return aErrNone;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size)
{
    if (buffer == nullptr || size == 0)
        return aErrRead;
    ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
    if (n < 0)
        return aErrRead;
    buffer[n] = '\0';
    return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size)
{
    if (buffer == nullptr || size == 0)
        return aErrParam;
    const char* home = nullptr;
    struct passwd pw;
    struct passwd* result = nullptr;
    char scratch[4096];
    if (getpwuid_r(getuid(), &pw, scratch, sizeof(scratch), &result) == 0 && result != nullptr &&
        result->pw_dir != nullptr && result->pw_dir[0] != '\0')
        home = result->pw_dir;
    if (home == nullptr)
        home = getenv("HOME");
    if (home == nullptr || home[0] == '\0')
        return aErrNotFound;
    if (strlen(home) >= size)
        return aErrOverrun;
    strcpy(buffer, home);
    return aErrNone;
}

aErr aDirectory_JoinPath(char* buffer, size_t size, const char* directory, const char* name)
{
    return aDirectory_BuildPath(buffer, size, directory, name, (const char*)nullptr);
}

aErr aDirectory_BuildPath(char* buffer, size_t size, ...)
{
    if (buffer == nullptr || size == 0)
        return aErrParam;
    const char* parts[11];
    int count = 0;
    va_list args;
    va_start(args, size);
    for (;;) {
        const char* part = va_arg(args, const char*);
        if (part == nullptr)
            break;
        if (count == 10 || part == buffer) {
            va_end(args);
            buffer[0] = '\0';
            return aErrParam;
        }
        parts[count++] = part;
    }
    va_end(args);
    buffer[0] = '\0';
    if (count == 0)
        return aErrNone;
    if (strlen(parts[0]) >= size)
        return aErrOverrun;
    strcpy(buffer, parts[0]);
    size_t length = strlen(buffer);
    for (int i = 1; i < count; i++) {
        size_t room = size - length - 1;
        const char* part = parts[i];
        if (room > 1 && (length == 0 || buffer[length - 1] != '/') && part[0] != '/') {
            buffer[length++] = '/';
            buffer[length] = '\0';
            room--;
        }
        size_t partLength = strlen(part);
        if (partLength >= room)
            return aErrOverrun;
        memcpy(buffer + length, part, partLength + 1);
        length += partLength;
    }
    return aErrNone;
}
