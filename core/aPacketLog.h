// Ring buffer of tagged byte records (the packet log). Takes no lock: a log shared between
// threads is guarded by its owner's mutex.
#ifndef SX_APACKETLOG_H
#define SX_APACKETLOG_H

#include <cstdint>
#include "aDefs.h"

#define aPACKETLOG_SENT 1
#define aPACKETLOG_RECEIVED 2
#define aPACKETLOG_MARKER 3

typedef struct aPacketLog {
    uint8_t enabled;
    uint8_t* buffer;
    uint32_t size;
    uint32_t tail;
    uint32_t head;
} aPacketLog;

typedef aPacketLog* aPacketLogRef;

aPacketLogRef aPacketLog_Create(uint32_t size);
aErr aPacketLog_Put(aPacketLogRef log, uint8_t tag, uint8_t length, const uint8_t* data);
aErr aPacketLog_Get(aPacketLogRef log, uint32_t* tag, uint32_t* length, uint8_t* data);
aErr aPacketLog_Destroy(aPacketLogRef* log);

#endif
