// File handles over stdio.
#include "aFile.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

static bool sNameOk(const char* path)
{
    return path != nullptr && strnlen(path, aFILE_MAX_NAME + 1) <= aFILE_MAX_NAME;
}

static aErr sMapOpenError(int err)
{
    switch (err) {
    case EACCES:
    case EPERM:
        return aErrPermission;
    case EBUSY:
        return aErrBusy;
    default:
        return aErrIO;
    }
}

bool aFile_Exists(const char* path)
{
    if (!sNameOk(path))
        return false;
    struct stat st;
    if (stat(path, &st) != 0)
        return false;
    return !S_ISDIR(st.st_mode);
}

aFileRef aFile_Open(const char* path, uint32_t mode)
{
    if (path == nullptr || path[0] == '\0' || !sNameOk(path))
        return nullptr;
    if (mode > aFileModeAppend)
        return nullptr;
    aFileRef file = static_cast<aFileRef>(calloc(1, sizeof(aUnixFile)));
    if (!file)
        return nullptr;
    file->tag = aFILE_TAG;
    aErr err = aErrNone;
    switch (mode) {
    case aFileModeRead:
        file->stream = fopen(path, "rb");
        if (!file->stream)
            err = aErrNotFound;
        break;
    case aFileModeWrite:
        file->stream = fopen(path, "wb");
        if (!file->stream)
            err = sMapOpenError(errno);
        break;
    default:
        file->stream = fopen(path, "ab+");
        if (!file->stream)
            err = sMapOpenError(errno);
        break;
    }
    if (err == aErrNone) {
        file->mode = mode;
        if (mode == aFileModeAppend)
            err = aFile_Seek(file, 0, 2);
    }
    if (err != aErrNone) {
        if (file->stream)
            fclose(file->stream);
        file->tag = 0;
        free(file);
        return nullptr;
    }
    return file;
}

aFileRef aFile_OpenRegular(const char* path)
{
    if (path == nullptr || path[0] == '\0' || !sNameOk(path))
        return nullptr;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return nullptr;
    struct stat st;
    int flags = fcntl(fd, F_GETFL);
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd);
        return nullptr;
    }
    aFileRef file = static_cast<aFileRef>(calloc(1, sizeof(aUnixFile)));
    FILE* stream = file ? fdopen(fd, "rb") : nullptr;
    if (!stream) {
        free(file);
        close(fd);
        return nullptr;
    }
    file->stream = stream;
    file->mode = aFileModeRead;
    file->tag = aFILE_TAG;
    return file;
}

aErr aFile_Close(aFileRef* file)
{
    if (file == nullptr)
        return aErrParam;
    aErr err = aErrNone;
    if (!aVALIDFILE(*file)) {
        err = aErrParam;
    } else {
        if ((*file)->stream && fclose((*file)->stream) != 0)
            err = aErrIO;
        (*file)->stream = nullptr;
        (*file)->tag = 0;
        free(*file);
    }
    *file = nullptr;
    return err;
}

aErr aFile_Read(aFileRef file, void* buffer, size_t count, size_t* read)
{
    if (read)
        *read = 0;
    if (!aVALIDFILE(file) || buffer == nullptr)
        return aErrParam;
    if (file->mode != aFileModeRead && file->mode != aFileModeAppend)
        return aErrMode;
    size_t n = fread(buffer, 1, count, file->stream);
    if (read)
        *read = n;
    if (n == 0 && count > 0)
        return aErrEOF;
    return aErrNone;
}

aErr aFile_Write(aFileRef file, const void* data, size_t count, size_t* written)
{
    if (written)
        *written = 0;
    if (!aVALIDFILE(file) || data == nullptr)
        return aErrParam;
    if (file->mode != aFileModeWrite && file->mode != aFileModeAppend)
        return aErrMode;
    size_t n = fwrite(data, 1, count, file->stream);
    if (written)
        *written = n;
    if (n == 0 && count > 0)
        return aErrIO;
    return aErrNone;
}

aErr aFile_Seek(aFileRef file, int64_t offset, int origin)
{
    if (!aVALIDFILE(file) || origin < 0 || origin > 2)
        return aErrParam;
    off_t position = ftello(file->stream);
    if (position < 0)
        return aErrIO;
    struct stat st;
    fflush(file->stream);
    if (fstat(fileno(file->stream), &st) != 0)
        return aErrIO;
    int64_t base = origin == 0 ? 0 : origin == 1 ? (int64_t)position : (int64_t)st.st_size;
    int64_t target = base + offset;
    if (target < 0 || target > (int64_t)st.st_size)
        return aErrRange;
    if (fseeko(file->stream, (off_t)target, SEEK_SET) != 0)
        return aErrIO;
    return aErrNone;
}

aErr aFile_GetSize(aFileRef file, size_t* size)
{
    if (size == nullptr || !aVALIDFILE(file))
        return aErrParam;
    *size = 0;
    off_t position = ftello(file->stream);
    if (position < 0 || fseeko(file->stream, 0, SEEK_END) != 0)
        return aErrIO;
    off_t end = ftello(file->stream);
    if (end < 0 || fseeko(file->stream, position, SEEK_SET) != 0)
        return aErrIO;
    *size = (size_t)end;
    return aErrNone;
}

aErr aFile_Delete(const char* path)
{
    if (path == nullptr)
        return aErrParam;
    if (!sNameOk(path))
        return aErrFileNameLength;
    if (unlink(path) != 0) {
        if (errno == ENOENT)
            return aErrNotFound;
        if (errno == EACCES || errno == EPERM)
            return aErrPermission;
        return aErrIO;
    }
    return aErrNone;
}

aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, size_t* length)
{
    if (length)
        *length = 0;
    if (!aVALIDFILE(file) || buffer == nullptr || size == 0)
        return aErrParam;
    buffer[0] = '\0';
    if (file->mode != aFileModeRead && file->mode != aFileModeAppend)
        return aErrMode;
    if (size < 2)
        return aErrOverrun;
    if (fgets(buffer, (int)(size > 0x7FFFFFFF ? 0x7FFFFFFF : size), file->stream) == nullptr) {
        buffer[0] = '\0';
        return feof(file->stream) ? aErrEOF : aErrIO;
    }
    size_t n = strlen(buffer);
    if (length)
        *length = n;
    if (n == size - 1 && buffer[n - 1] != '\n')
        return aErrOverrun;
    return aErrNone;
}

aErr aFile_SetUnbuffered(aFileRef file)
{
    if (!aVALIDFILE(file))
        return aErrParam;
    if (file->mode != aFileModeWrite && file->mode != aFileModeAppend)
        return aErrMode;
    if (setvbuf(file->stream, nullptr, _IONBF, 8192) != 0)
        return aErrMode;
    return aErrNone;
}

aErr aFile_GetPosition(aFileRef file, size_t* position)
{
    if (!aVALIDFILE(file) || position == nullptr)
        return aErrParam;
    off_t p = ftello(file->stream);
    if (p < 0)
        return aErrIO;
    if (p > 0)
        *position = (size_t)p;
    return aErrNone;
}

aErr aFile_Printf(aFileRef file, const char* format, ...)
{
    if (!aVALIDFILE(file) || format == nullptr)
        return aErrParam;
    if (file->mode != aFileModeWrite && file->mode != aFileModeAppend)
        return aErrMode;
    va_list args;
    va_start(args, format);
    int n = vfprintf(file->stream, format, args);
    va_end(args);
    return n < 0 ? aErrIO : aErrNone;
}

aErr aFile_WriteAtomic(const char* path, const void* data, size_t count)
{
    if (path == nullptr || path[0] == '\0' || (data == nullptr && count > 0))
        return aErrParam;
    if (!sNameOk(path))
        return aErrFileNameLength;
    std::string temp = std::string(path) + ".tmpXXXXXX";
    int fd = mkstemp(&temp[0]);
    if (fd < 0)
        return sMapOpenError(errno);
    // Held until the file is renamed or removed: whoever can take it knows the writer is gone.
    flock(fd, LOCK_EX | LOCK_NB);
    const uint8_t* p = static_cast<const uint8_t*>(data);
    size_t left = count;
    aErr err = aErrNone;
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            err = aErrWrite;
            break;
        }
        p += n;
        left -= (size_t)n;
    }
    // Keep the permissions a plain create would give (mkstemp makes the file 0600).
    mode_t mask = umask(0);
    umask(mask);
    if (err == aErrNone && fchmod(fd, 0666 & ~mask) != 0)
        err = aErrIO;
    if (err == aErrNone && fsync(fd) != 0)
        err = aErrIO;
    if (close(fd) != 0 && err == aErrNone)
        err = aErrIO;
    if (err == aErrNone && rename(temp.c_str(), path) != 0)
        err = sMapOpenError(errno);
    if (err != aErrNone)
        unlink(temp.c_str());
    return err;
}

aErr aFile_CheckRoom(const char* directory, size_t count)
{
    if (directory == nullptr || directory[0] == '\0')
        return aErrParam;
    if (!sNameOk(directory))
        return aErrFileNameLength;
    std::string temp = std::string(directory) + "/.room.tmpXXXXXX";
    int fd = mkstemp(&temp[0]);
    if (fd < 0)
        return errno == ENOSPC ? aErrWrite : sMapOpenError(errno);
    // posix_fallocate returns its error rather than setting errno.
    const int error = count > 0 ? posix_fallocate(fd, 0, (off_t)count) : 0;
    close(fd);
    unlink(temp.c_str());
    errno = error;
    return error == 0 ? aErrNone : aErrWrite;
}
