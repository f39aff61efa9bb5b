// The link record and the link table, shared by the files of the link engine only.
#ifndef SX_UNIX_LINK_INTERNAL_H
#define SX_UNIX_LINK_INTERNAL_H

#include <atomic>
#include <pthread.h>

#include "aLink.h"
#include "aMutex.h"
#include "aPacketFifo.h"
#include "aPacketLog.h"

struct aLink {
    uint16_t check;
    aLinkId id;
    std::atomic<uint8_t> running;
    std::atomic<linkStatus> status;
    aPacketFifoId inputFifo;
    aPacket* readerPacket;
    aPacketFifoId outputFifo;
    pthread_t readerThread;
    pthread_t writerThread;
    bool readerStarted;  // the thread handles hold a thread only while these are set
    bool writerStarted;
    aStream* stream;
    // Each Init starts a new generation: a caller that found the link before a reset does not
    // use the new stream with the old FIFOs.
    std::atomic<uint32_t> generation;
    // Reading: whoever holds readLock reads the stream and keeps the state below (the frame,
    // the sync machine, the polling figures): the reader thread, or a caller waiting for a
    // reply, which then needs no other thread to wake it. While callers wait (and shortly
    // after, so that the next request of a running exchange finds it so), the reader thread
    // leaves the stream to them.
    pthread_mutex_t readLock;
    std::atomic<int> waiters;            // callers in a reading wait
    std::atomic<uint64_t> lastWaitEndUs;  // when the last of them left (monotonic)
    std::atomic<bool> polled;            // the stream cannot wait for readiness: callers leave it to the reader thread
    std::atomic<uint32_t> heartbeatState;
    uint32_t syncState;
    uint8_t syncAddress;
    uint64_t quietSinceUs;
    unsigned emptyReady;
    // Writing: packets start at least a pacing interval apart. A packet put while none is queued
    // is written at once by the caller (after the rest of the interval); the writer thread sends
    // what is queued. writeCond (with writeLock) tells the writer that something was queued.
    pthread_mutex_t writeLock;
    pthread_cond_t writeCond;
    std::atomic<uint64_t> lastSendUs;  // start of the last packet sent; written under writeLock
    // The packet log and its settings; used only under logLock.
    aPacketLog* packetLog;
    int32_t packetLogSize;
    aMutex* logLock;
    // The user filter; called and changed only under filterLock.
    pthread_mutex_t filterLock;
    aPacketFilter userFilter;
    void* filterRef;
};

struct aLinkEntry {
    aLinkId id;
    uint32_t identifier;
    uint32_t port;
    linkType type;
    int16_t useCount;
    aLink* link;
    aLinkStreamOpener opener;
    // Set under the table lock while aLink_Reset re-opens the link outside it: the traffic calls
    // then fail at once with aErrBusy and leave the record alone. cancelReset asks the reset to
    // give up (the link is being destroyed).
    std::atomic<bool> resetting;
    std::atomic<bool> cancelReset;
    // Holders: the table itself, plus every call that works on the record outside the table
    // lock. The last release frees the record.
    std::atomic<int> refs;
    aLinkEntry* next;
};

// Link table lock (static, not recursive).
void aLinkTable_Lock(void);
bool aLinkTable_TryLock(void);
void aLinkTable_Unlock(void);
// With the table locked: the entry of a link, or null.
aLinkEntry* aLinkTable_Find(aLinkId id);
// The entry of a link, held until aLinkTable_Release; null for an unknown link.
aLinkEntry* aLinkTable_Acquire(aLinkId id);
void aLinkTable_Release(aLinkEntry* entry);

// Engine internals (unix_linkio.cpp). Init and Start run with the table locked, or during a reset.
aErr aLinkIO_Init(aLink* link, aLinkId id, aStream* stream);
aErr aLinkIO_Start(aLink* link);
aErr aLinkIO_Stop(aLink* link);
// Locks of a new record, and their release when it is freed.
void aLinkIO_Construct(aLink* link);
void aLinkIO_Destruct(aLink* link);
// Traffic from callers holding a reference on the link's entry, with the generation and FIFOs
// read under the table lock. Send writes the packet at once when nothing is queued before it
// (waiting out the pacing interval), else queues it for the writer thread. AwaitFirst waits
// until untilUs for the first packet the filter selects, reading the stream itself while no
// other caller does; null when the time passed or the link stopped running meanwhile.
aErr aLinkIO_Send(aLink* link, uint32_t generation, aPacketFifoId output, const aPacket* packet);
aPacket* aLinkIO_AwaitFirst(aLink* link, uint32_t generation, aPacketFifoId input, aPacketFilter filter, void* ref,
                            uint64_t untilUs);
// Releases what Init made (FIFOs, reader packet, stream), not the packet log, which stays with
// the link across resets; the result is that of destroying the output FIFO.
aErr aLinkIO_Release(aLink* link);

#endif
