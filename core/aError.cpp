#include "aError.h"

static const char* const ERROR_TEXT[aErrLast + 1] = {
    "aErrNone",          "aErrMemory",        "aErrParam",          "aErrNotFound",
    "aErrFileNameLength", "aErrBusy",         "aErrIO",             "aErrMode",
    "aErrWrite",         "aErrRead",          "aErrEOF",            "aErrNotReady",
    "aErrPermission",    "aErrRange",         "aErrSize",           "aErrOverrun",
    "aErrParse",         "aErrConfiguration", "aErrTimeout",        "aErrInitialization",
    "aErrVersion",       "aErrUnimplemented", "aErrDuplicate",      "aErrCancel",
    "aErrPacket",        "aErrConnection",    "aErrIndexRange",     "aErrShortCommand",
    "aErrInvalidEntity", "aErrInvalidOption", "aErrResource",       "aErrMedia",
    "aErrAsyncReturn",   "aErrStreamStale",   "aErrUnknown",
};

static const char* const ERROR_DESCRIPTION[aErrLast + 1] = {
    "Success, no error",
    "Memory allocation",
    "Invalid parameter",
    "Not found",
    "File name too long",
    "Resource busy",
    "Input/Output error",
    "Invalid Mode",
    "Write error",
    "Read error",
    "End of file",
    "Not ready, no bytes available",
    "Insufficient permissions",
    "Value out of range",
    "Invalid Size",
    "Buffer/queue overrun",
    "Parse error",
    "Configuration error",
    "Timeout occurred",
    "Initialization error",
    "Invalid version",
    "Functionality unimplemented",
    "Duplicate request",
    "Cancelation occurred, or did not complete",
    "Packet byte invalid",
    "Connection error",
    "Index out of range",
    "Strandix command to short",
    "Invalid entity error",
    "Invalid option code",
    "Resource unavailable",
    "Media error",
    "Asynchronous return error",
    "Stream value is stale",
    "Unknown error",
};

static int sIndex(aErr err)
{
    int code = static_cast<int>(err);
    return (code < 0 || code > aErrLast) ? aErrLast : code;
}

const char* aError_GetErrorText(aErr err)
{
    return ERROR_TEXT[sIndex(err)];
}

const char* aError_GetErrorDescription(aErr err)
{
    return ERROR_DESCRIPTION[sIndex(err)];
}
