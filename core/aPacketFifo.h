// Thread-safe FIFOs of packet copies, named by process-wide identifiers (from 1, never reused).
// Every taking operation hands out a new packet that the caller releases with aPacket_Destroy.
// A FIFO holds at most 20 packets: the 21st put empties it.
#ifndef SX_APACKETFIFO_H
#define SX_APACKETFIFO_H

#include <cstdint>
#include "aPacket.h"

#define aPACKETFIFO_CHECK 0xFEED
#define aPACKETFIFO_MAX_PACKETS 20

typedef uint64_t aPacketFifoId;

aPacketFifoId aPacketFifo_Create(void);
// Wakes every waiter, releases the FIFO once no other thread is inside it, nulls the identifier.
aErr aPacketFifo_Destroy(aPacketFifoId* fifo);
// Packets held; 0 for an unknown identifier, -1 while being destroyed.
int64_t aPacketFifo_GetLength(aPacketFifoId fifo);
aErr aPacketFifo_Put(aPacketFifoId fifo, const aPacket* packet);
aPacket* aPacketFifo_Get(aPacketFifoId fifo);
aPacket* aPacketFifo_Await(aPacketFifoId fifo, uint64_t timeoutMs);
aPacket* aPacketFifo_GetFirst(aPacketFifoId fifo, aPacketFilter filter, void* ref);
aPacket* aPacketFifo_AwaitFirst(aPacketFifoId fifo, aPacketFilter filter, void* ref, uint64_t timeoutMs);
uint64_t aPacketFifo_DrainPackets(aPacketFifoId fifo, aPacketFilter filter, void* ref);

#endif
