// Shared definitions of the link core: the aErr result code, model codes and names.
#ifndef SX_ADEFS_H
#define SX_ADEFS_H

#include <cstdint>
#include <cstddef>

typedef enum {
    aErrNone = 0,
    aErrMemory = 1,
    aErrParam = 2,
    aErrNotFound = 3,
    aErrFileNameLength = 4,
    aErrBusy = 5,
    aErrIO = 6,
    aErrMode = 7,
    aErrWrite = 8,
    aErrRead = 9,
    aErrEOF = 10,
    aErrNotReady = 11,
    aErrPermission = 12,
    aErrRange = 13,
    aErrSize = 14,
    aErrOverrun = 15,
    aErrParse = 16,
    aErrConfiguration = 17,
    aErrTimeout = 18,
    aErrInitialization = 19,
    aErrVersion = 20,
    aErrUnimplemented = 21,
    aErrDuplicate = 22,
    aErrCancel = 23,
    aErrPacket = 24,
    aErrConnection = 25,
    aErrIndexRange = 26,
    aErrShortCommand = 27,
    aErrInvalidEntity = 28,
    aErrInvalidOption = 29,
    aErrResource = 30,
    aErrMedia = 31,
    aErrAsyncReturn = 32,
    aErrStreamStale = 33,
    aErrUnknown = 34
} aErr;

#define aErrLast aErrUnknown

// Model codes reported by devices.
#define aMODULE_TYPE_Alder 4
#define aMODULE_TYPE_Birch 5
#define aMODULE_TYPE_Cedar 13
#define aMODULE_TYPE_Elder 14
#define aMODULE_TYPE_Fennel 15
#define aMODULE_TYPE_Ginkgo 16
#define aMODULE_TYPE_Hemlock 17
#define aMODULE_TYPE_Ironwood 18
#define aMODULE_TYPE_Juniper 19
#define aMODULE_TYPE_Larch 20
#define aMODULE_TYPE_Maple 21
#define aMODULE_TYPE_Nutmeg 22
#define aMODULE_TYPE_Olive 23
#define aMODULE_TYPE_Pine 24

// The model name of a device's model code, "Unknown" for any code without one.
const char* aDefs_GetModelName(int32_t model);

#endif
