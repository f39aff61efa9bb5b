// The link engine's threads: the reader assembles packets, answers heartbeats and keeps the
// stream in frame; the writer sends queued packets. Also link start, stop and initialisation.
#include "unix_link_internal.h"

#include "aTime.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

namespace {

// The reader waits this long at most for the stream to become readable, so that a stop is
// seen promptly.
const uint32_t kReaderWaitMs = 20;
// Pause after a failed read.
const uint64_t kErrorPauseMs = 100;
// Transports that cannot wait for readiness (no wait, or a wait that reports ready at once with
// nothing to read, like a driver node without poll support) are polled: the sleep between two
// empty reads grows with the quiet time (an eighth of it), from kMinPollUs up to kMaxPollUs, so
// a busy line is read promptly and an idle one costs little.
const uint64_t kMinPollUs = 50;
const uint64_t kMaxPollUs = 10000;
// A wait that reports ready and a read that then finds nothing, both within this time, count as
// a wait that does not wait; after kEmptyReadyLimit of them in a row the reader polls instead.
const uint64_t kAtOnceUs = 500;
const unsigned kEmptyReadyLimit = 2;
// The writer waits this long at most for a packet, so that a stop is seen promptly.
const uint64_t kWriterWaitMs = 20;
// Packets leave at most one per this many microseconds (the device's pace), and the writer's
// sleeps may end this much late.
const uint64_t kPacketIntervalUs = 1000;
const unsigned long kWriterTimerSlackNs = 10000;
// Start waits at most this long for the reader to run.
const int kStartWaitMs = 2000;

const uint8_t kSyncRequest[aLINK_SYNC_REQUEST_BYTES] = {0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0};

}  // namespace

static void sLogPacket(aLink* link, uint8_t tag, const aPacket* packet)
{
    if (!link->logLock)
        return;
    aMutex_Lock(link->logLock);
    if (link->packetLog && link->packetLog->enabled) {
        uint8_t wire[aPACKET_MAX_WIRE_BYTES];
        wire[0] = packet->address;
        wire[1] = packet->length;
        memcpy(&wire[2], packet->data, packet->length);
        aPacketLog_Put(link->packetLog, tag, (uint8_t)(packet->length + 2), wire);
    }
    aMutex_Unlock(link->logLock);
}

static aErr sWritePacket(aLink* link, const aPacket* packet)
{
    uint8_t wire[aPACKET_MAX_WIRE_BYTES];
    uint8_t length = packet->length > aSTRANDIX_MAX_PACKET_BYTES ? aSTRANDIX_MAX_PACKET_BYTES : packet->length;
    wire[0] = packet->address;
    wire[1] = length;
    memcpy(&wire[2], packet->data, length);
    return aStream_Write(link->stream, wire, (size_t)length + 2);
}

static aErr sPutControl(aLink* link, uint8_t address, uint8_t length, const uint8_t* data)
{
    aPacket* packet = aPacket_CreateWithData(address, length, data);
    if (!packet)
        return aErrMemory;
    aErr err = aPacketFifo_Put(link->outputFifo, packet);
    aPacket_Destroy(&packet);
    return err;
}

static void sStartSync(aLink* link)
{
    aTime_MSSleep(2);
    link->status = LINK_SYNCING;
    link->syncState = 1;
    aPacket_Reset(link->readerPacket);
    if (aStream_Write(link->stream, kSyncRequest, sizeof(kSyncRequest)) == aErrNone)
        link->syncState = 2;
}

static void sSyncByte(aLink* link, uint8_t byte)
{
    switch (link->syncState) {
    case 1:
        sStartSync(link);
        break;
    case 2:
        if (byte != 0 && !(byte & 1)) {
            link->syncAddress = byte;
            link->syncState = 3;
        } else {
            link->syncState = 1;
        }
        break;
    case 3:
        link->syncState = byte == 0 ? 4 : 1;
        break;
    case 4:
        link->syncState = byte == link->syncAddress ? 5 : 1;
        break;
    case 5:
        if (byte == 0) {
            link->syncState = 0;
            link->status = LINK_RUNNING;
        } else {
            link->syncState = 1;
        }
        break;
    default:
        break;
    }
}

// A heartbeat is answered at once and never queued.
static bool sHeartbeat(aLink* link, const aPacket* packet)
{
    if (packet->length != 2 || packet->data[0] != 0 || link->heartbeatState > 1)
        return false;
    if (packet->data[1] == 0)
        link->heartbeatState = 2;
    else if (packet->data[1] == 1)
        link->heartbeatState = 3;
    uint8_t answer[2] = {0, (uint8_t)((packet->data[1] + 2) & 0xFF)};
    aPacket* reply = aPacket_CreateWithData(packet->address, 2, answer);
    if (!reply)
        return true;
    aPacketFifo_Put(link->outputFifo, reply);
    aPacket_Destroy(&reply);
    link->heartbeatState = 0;
    return true;
}

static aErr sHandlePacket(aLink* link)
{
    aPacket* packet = link->readerPacket;
    if (!aPacket_IsComplete(packet))
        return aErrNone;
    sLogPacket(link, aPACKETLOG_RECEIVED, packet);
    aErr err = aErrNone;
    pthread_mutex_lock(&link->filterLock);
    bool taken = link->userFilter && link->userFilter(packet, link->filterRef);
    pthread_mutex_unlock(&link->filterLock);
    if (!taken && !sHeartbeat(link, packet))
        err = aPacketFifo_Put(link->inputFifo, packet);
    aPacket_Reset(packet);
    return err;
}

// The sleep between two empty reads of a transport that is polled, after quietUs of quiet.
static uint64_t sPollSleepUs(uint64_t quietUs)
{
    uint64_t us = quietUs / 8;
    return us < kMinPollUs ? kMinPollUs : us > kMaxPollUs ? kMaxPollUs : us;
}

static void* sReader(void* arg)
{
    aLink* link = static_cast<aLink*>(arg);
    link->heartbeatState = 0;
    link->status = LINK_RUNNING;
    link->syncState = 0;
    link->syncAddress = 1;
    uint64_t quietSince = aTime_MonoUS();
    unsigned emptyReady = 0;
    while (link->running) {
        uint8_t byte;
        aErr err = aStream_Read(link->stream, &byte, 1);
        if (err == aErrNotReady) {
            const uint64_t waitStart = aTime_MonoUS();
            aErr wait = emptyReady >= kEmptyReadyLimit ? aErrUnimplemented : aStream_Wait(link->stream, kReaderWaitMs);
            if (wait == aErrNone) {
                // Ready: the next read tells whether the wait waited at all.
                if (aStream_Read(link->stream, &byte, 1) == aErrNotReady) {
                    emptyReady = aTime_MonoUS() - waitStart < kAtOnceUs ? emptyReady + 1 : 0;
                    continue;
                }
                err = aErrNone;
            } else if (wait == aErrUnimplemented) {
                // Polled; a transport whose wait did not wait is asked again now and then, in
                // case it only did so for a while.
                const uint64_t now = aTime_MonoUS();
                aTime_SleepUntilUS(now + sPollSleepUs(now - quietSince));
                if (emptyReady > 0 && ++emptyReady > kEmptyReadyLimit + 1000)
                    emptyReady = 0;
                continue;
            } else {
                if (wait == aErrConnection) {
                    link->status = LINK_IO_FAULT;
                    aTime_MSSleep(kErrorPauseMs);
                }
                continue;
            }
        }
        quietSince = aTime_MonoUS();
        if (err != aErrNone) {
            link->status = LINK_IO_FAULT;
            aTime_MSSleep(kErrorPauseMs);
            continue;
        }
        if (emptyReady < kEmptyReadyLimit)
            emptyReady = 0;
        linkStatus status = link->status;
        if (status == LINK_SYNCING) {
            sSyncByte(link, byte);
        } else if (status == LINK_IO_FAULT) {
            // Whatever was in flight when the stream failed is lost: find the frame again.
            sStartSync(link);
        } else if (aPacket_AddByte(link->readerPacket, byte) != aErrNone) {
            sStartSync(link);
        } else if (sHandlePacket(link) != aErrNone) {
            link->status = LINK_FAULT;
        }
    }
    return nullptr;
}

static void* sWriter(void* arg)
{
    aLink* link = static_cast<aLink*>(arg);
    prctl(PR_SET_TIMERSLACK, kWriterTimerSlackNs);
    while (link->running) {
        aPacket* packet = aPacketFifo_Await(link->outputFifo, kWriterWaitMs);
        if (!packet)
            continue;
        // The interval runs from the start of this send, so the time a send takes is part of
        // it rather than added to it.
        const uint64_t start = aTime_MonoUS();
        sWritePacket(link, packet);
        sLogPacket(link, aPACKETLOG_SENT, packet);
        aPacket_Destroy(&packet);
        aTime_SleepUntilUS(start + kPacketIntervalUs);  // paces the device
    }
    aPacket* packet;
    while ((packet = aPacketFifo_Get(link->outputFifo)) != nullptr) {
        sWritePacket(link, packet);
        aPacket_Destroy(&packet);
    }
    return nullptr;
}

aErr aLinkIO_Init(aLink* link, aLinkId id, aStream* stream)
{
    link->check = aLINK_CHECK;
    link->id = id;
    link->running = 0;
    link->stream = stream;
    link->status = stream ? LINK_STOPPED : LINK_NO_STREAM;
    link->readerStarted = link->writerStarted = false;
    link->inputFifo = aPacketFifo_Create();
    link->outputFifo = aPacketFifo_Create();
    link->heartbeatState = 0;
    link->syncState = 0;
    link->syncAddress = 1;
    link->readerPacket = aPacket_Create();
    // The packet log and its size stay as they are: a reset link keeps its log.
    if (!link->logLock) {
        char name[64];
        snprintf(name, sizeof(name), "LOG_SEMA_%p", static_cast<void*>(link));
        link->logLock = aMutex_Create(name);
    }
    pthread_mutex_lock(&link->filterLock);
    link->userFilter = nullptr;
    link->filterRef = nullptr;
    pthread_mutex_unlock(&link->filterLock);
    if (!link->inputFifo || !link->outputFifo || !link->readerPacket || !link->logLock)
        return aErrMemory;
    return aErrNone;
}

aErr aLinkIO_Start(aLink* link)
{
    if (link->running)
        return aErrNone;
    link->running = 1;
    link->status = LINK_STARTING;
    link->heartbeatState = 0;
    aErr err = aErrNone;
    link->readerStarted = pthread_create(&link->readerThread, nullptr, sReader, link) == 0;
    if (!link->readerStarted)
        err = aErrResource;
    link->writerStarted = pthread_create(&link->writerThread, nullptr, sWriter, link) == 0;
    if (!link->writerStarted)
        err = aErrResource;
    if (err != aErrNone)
        return err;
    // A started link is in frame once its reader runs; wait for that (briefly), so that a
    // caller may send and await replies as soon as the link is made.
    for (int waited = 0; link->status == LINK_STARTING && waited < kStartWaitMs; waited++)
        aTime_MSSleep(1);
    static const uint8_t open = 0x01;
    return sPutControl(link, aLINK_CONTROL_ADDRESS, 1, &open);
}

static bool sOnOwnThread(const aLink* link)
{
    pthread_t self = pthread_self();
    return (link->readerStarted && pthread_equal(self, link->readerThread)) ||
           (link->writerStarted && pthread_equal(self, link->writerThread));
}

aErr aLinkIO_Stop(aLink* link)
{
    linkStatus status = link->status;
    if ((status == LINK_STOPPED || status == LINK_STOPPING) && !link->running)
        return aErrNone;
    link->status = LINK_STOPPING;
    if (sOnOwnThread(link))
        return aErrNone;
    aErr err = aErrNone;
    if (link->running) {
        // Queued before the flag is cleared, so the writer sends it at the latest in its
        // final drain, after everything queued before it.
        static const uint8_t close = 0x00;
        err = sPutControl(link, aLINK_CONTROL_ADDRESS, 1, &close);
    }
    link->running = 0;
    if (link->readerStarted && pthread_join(link->readerThread, nullptr) != 0)
        err = aErrUnknown;
    if (link->writerStarted && pthread_join(link->writerThread, nullptr) != 0)
        err = aErrUnknown;
    link->readerStarted = link->writerStarted = false;
    aPacket_Reset(link->readerPacket);
    link->status = LINK_STOPPED;
    link->heartbeatState = 0;
    return err;
}

aErr aLinkIO_Release(aLink* link)
{
    aPacketFifo_Destroy(&link->inputFifo);
    aErr err = aPacketFifo_Destroy(&link->outputFifo);
    if (link->readerPacket)
        aPacket_Destroy(&link->readerPacket);
    if (link->stream)
        aStream_Destroy(&link->stream);
    return err;
}
