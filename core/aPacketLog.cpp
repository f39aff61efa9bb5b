// Packet log ring: records of (tag, length, data) that wrap around the buffer.
#include "aPacketLog.h"

#include <cstdlib>

static uint32_t sFree(const aPacketLog* log)
{
    return log->size - ((log->head - log->tail + log->size) % log->size);
}

static void sDropOldest(aPacketLog* log)
{
    log->tail = (log->tail + 1) % log->size;  // tag byte
    uint32_t length = log->buffer[log->tail];
    log->tail = (log->tail + 1 + length) % log->size;  // length byte and data
}

aPacketLogRef aPacketLog_Create(uint32_t size)
{
    if (size == 0)
        return nullptr;
    aPacketLogRef log = static_cast<aPacketLogRef>(calloc(1, sizeof(aPacketLog)));
    if (!log)
        return nullptr;
    log->buffer = static_cast<uint8_t*>(malloc(size));
    if (!log->buffer) {
        free(log);
        return nullptr;
    }
    log->size = size;
    return log;
}

aErr aPacketLog_Put(aPacketLogRef log, uint8_t tag, uint8_t length, const uint8_t* data)
{
    if (!log || (length > 0 && !data))
        return aErrParam;
    uint32_t need = (uint32_t)length + 2;
    uint32_t free = sFree(log);
    while (log->size > need && free <= need) {
        sDropOldest(log);
        free = sFree(log);
    }
    if (free <= need)
        return aErrOverrun;
    log->buffer[log->head] = tag;
    log->head = (log->head + 1) % log->size;
    log->buffer[log->head] = length;
    log->head = (log->head + 1) % log->size;
    for (uint32_t i = 0; i < length; i++) {
        log->buffer[log->head] = data[i];
        log->head = (log->head + 1) % log->size;
    }
    return aErrNone;
}

aErr aPacketLog_Get(aPacketLogRef log, uint32_t* tag, uint32_t* length, uint8_t* data)
{
    if (!log || !tag || !length)
        return aErrParam;
    if (log->head == log->tail)
        return aErrNotFound;
    uint32_t capacity = *length;
    uint32_t recordLength = log->buffer[(log->tail + 1) % log->size];
    *tag = log->buffer[log->tail];
    *length = recordLength;  // tells a caller with too small a buffer what it needs
    if (capacity < recordLength || (recordLength > 0 && !data))
        return aErrOverrun;
    log->tail = (log->tail + 2) % log->size;
    for (uint32_t i = 0; i < recordLength; i++) {
        data[i] = log->buffer[log->tail];
        log->tail = (log->tail + 1) % log->size;
    }
    return aErrNone;
}

aErr aPacketLog_Destroy(aPacketLogRef* log)
{
    if (!log)
        return aErrParam;
    if (*log) {
        free((*log)->buffer);
        free(*log);
        *log = nullptr;
    }
    return aErrNone;
}
