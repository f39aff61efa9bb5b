// Checked file handles over the C library's buffered streams.
#ifndef SX_AFILE_H
#define SX_AFILE_H

#include <cstdint>
#include <cstdio>
#include "aDefs.h"

#define aFILE_MAX_NAME 4096
#define aFILE_TAG 0xFEED

typedef enum { aFileModeRead = 0, aFileModeWrite = 1, aFileModeAppend = 2 } aFileMode;

typedef struct aUnixFile {
    FILE* stream;
    uint32_t mode;
    uint32_t tag;
} aUnixFile;

typedef aUnixFile* aFileRef;

#define aVALIDFILE(f) ((f) != nullptr && (f)->tag == aFILE_TAG)

bool aFile_Exists(const char* path);
aFileRef aFile_Open(const char* path, uint32_t mode);
// Opens a regular file for reading. The open itself never blocks (a FIFO or a device node is
// refused, not waited on); null when the path is not a regular file or cannot be opened.
aFileRef aFile_OpenRegular(const char* path);
aErr aFile_Close(aFileRef* file);
aErr aFile_Read(aFileRef file, void* buffer, size_t count, size_t* read);
aErr aFile_Write(aFileRef file, const void* data, size_t count, size_t* written);
aErr aFile_Seek(aFileRef file, int64_t offset, int origin);
aErr aFile_GetSize(aFileRef file, size_t* size);
aErr aFile_Delete(const char* path);
aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, size_t* length);
aErr aFile_SetUnbuffered(aFileRef file);
aErr aFile_GetPosition(aFileRef file, size_t* position);
aErr aFile_Printf(aFileRef file, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Writes the whole content to path so that a crash never leaves a truncated file: the bytes go
// to a temporary file beside it (path".tmpXXXXXX", flock-ed while it is written), which is
// flushed to disk and then renamed over the path.
aErr aFile_WriteAtomic(const char* path, const void* data, size_t count);

// Whether count more bytes can be written in the directory now: a temporary file there is given
// that much room on the disk and removed again. aErrNone when it could; otherwise the failure,
// with errno left as the system set it (read-only, no space, no permission, ...).
aErr aFile_CheckRoom(const char* directory, size_t count);

#endif
