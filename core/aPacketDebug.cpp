// Packet debugging of a link: a log of the packets sent and received, read back by the caller.
#include "unix_link_internal.h"

// Runs op on the link's record under its log lock; aErrParam for an unknown link.
template <typename Op>
static aErr sWithLog(aLinkId id, Op op)
{
    aLinkEntry* entry = aLinkTable_Acquire(id);
    if (!entry)
        return aErrParam;
    aLink* link = entry->link;
    aErr err = aErrResource;
    if (link->logLock) {
        aMutex_Lock(link->logLock);
        err = op(link);
        aMutex_Unlock(link->logLock);
    }
    aLinkTable_Release(entry);
    return err;
}

aErr aLink_PacketDebug_SetLogSize(aLinkId id, int32_t size)
{
    if (size > aLINK_PACKETLOG_MAX_SIZE)
        return aErrParam;
    return sWithLog(id, [size](aLink* link) {
        if (link->packetLog)
            return aErrBusy;
        link->packetLogSize = size < 0 ? 0 : size;
        return aErrNone;
    });
}

aErr aLink_PacketDebug_Enable(aLinkId id)
{
    return sWithLog(id, [](aLink* link) {
        if (!link->packetLog) {
            uint32_t size = link->packetLogSize > 0 ? (uint32_t)link->packetLogSize : aLINK_PACKETLOG_DEFAULT_SIZE;
            link->packetLog = aPacketLog_Create(size);
            if (!link->packetLog)
                return aErrResource;
        }
        link->packetLog->enabled = 1;
        return aErrNone;
    });
}

aErr aLink_PacketDebug_Disable(aLinkId id)
{
    return sWithLog(id, [](aLink* link) {
        if (!link->packetLog)
            return aErrNotReady;
        link->packetLog->enabled = 0;
        return aErrNone;
    });
}

aErr aLink_PacketDebug_Read(aLinkId id, uint32_t* tag, uint32_t* length, uint8_t* buffer)
{
    return sWithLog(id, [=](aLink* link) {
        if (!link->packetLog)
            return aErrNotReady;
        return aPacketLog_Get(link->packetLog, tag, length, buffer);
    });
}

aErr aLink_PacketDebug_Write(aLinkId id, uint8_t tag, uint8_t length, const uint8_t* data)
{
    return sWithLog(id, [=](aLink* link) {
        if (!link->packetLog)
            return aErrNotReady;
        return aPacketLog_Put(link->packetLog, tag, length, data);
    });
}
