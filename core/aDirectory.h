// Directory utilities: existence, creation of a path, listing, deletion, well-known paths and
// bounded path joining.
#ifndef SX_ADIRECTORY_H
#define SX_ADIRECTORY_H

#include <cstddef>
#include <cstdint>
#include "aDefs.h"

#define aDIR_PATH_SEP "/"
#define aDIR_MAX_PATH 2048

typedef struct aDirectoryListData {
    const char* path;  // full path: directory, "/", entry name
    uint32_t size;     // bytes
    uint32_t type;     // 1 directory, 0 anything else
} aDirectoryListData;

typedef bool (*aDirectoryListProc)(const aDirectoryListData* entry, void* context);

bool aDirectory_Exists(const char* path);
aErr aDirectory_Ensure(const char* path, unsigned int mode);
void aDirectory_List(const char* path, aDirectoryListProc callback, void* context);
aErr aDirectory_Delete(const char* path);
aErr aDirectory_DeleteTree(const char* path);
aErr aDirectory_CWD(char* buffer, size_t size);
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);
aErr aDirectory_JoinPath(char* buffer, size_t size, const char* directory, const char* name);
// Joins the components (a null-terminated list of at most 10) with "/" into the buffer.
aErr aDirectory_BuildPath(char* buffer, size_t size, ...);

#endif
