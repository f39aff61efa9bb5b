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
// The writer is woken for every packet queued and for a stop; it looks by itself this often.
const uint64_t kWriterWaitMs = 250;
// Packets leave at most one per this many microseconds (the device's pace), and the sleeps that
// keep that pace may end this much late.
const uint64_t kPacketIntervalUs = 1000;
const unsigned long kPaceTimerSlackNs = 10000;
// Start waits at most this long for the reader to run.
const int kStartWaitMs = 2000;
// The reader thread leaves the stream to the callers while one waits for a reply and for this
// long after the last one stopped waiting: the next request of an exchange comes well within
// it, and its caller then reads the reply itself.
const uint64_t kHandOffLingerUs = 20000;
// A caller that waits while another one reads looks this often whether it may read itself.
const uint64_t kHandOffSliceMs = 2;

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

// --- Writing ------------------------------------------------------------------------------------

// Sleeps until monoUs with a small timer slack: the sleeps that keep the pace end close to
// their time. The slack is the thread's own setting; a thread that paces once keeps it.
static void sSleepPaced(uint64_t monoUs)
{
    static thread_local bool slackSet = false;
    if (!slackSet) {
        prctl(PR_SET_TIMERSLACK, kPaceTimerSlackNs, 0, 0, 0);
        slackSet = true;
    }
    aTime_SleepUntilUS(monoUs);
}

// With writeLock held: waits until the pacing interval from the start of the last packet has
// passed; returns the start of the next one.
static uint64_t sPace(aLink* link)
{
    const uint64_t due = link->lastSendUs + kPacketIntervalUs;
    const uint64_t now = aTime_MonoUS();
    if (now >= due)
        return now;
    sSleepPaced(due);
    return aTime_MonoUS();
}

// With writeLock held: sends one packet in its turn. The interval runs from the start of this
// send, so the time a send takes is part of it rather than added to it.
static void sSend(aLink* link, const aPacket* packet)
{
    const uint64_t start = sPace(link);
    sWritePacket(link, packet);
    link->lastSendUs = start;
    sLogPacket(link, aPACKETLOG_SENT, packet);
}

// Queues a packet for the writer thread.
static aErr sQueue(aLink* link, aPacketFifoId output, const aPacket* packet)
{
    pthread_mutex_lock(&link->writeLock);
    aErr err = aPacketFifo_Put(output, packet);
    pthread_cond_signal(&link->writeCond);
    pthread_mutex_unlock(&link->writeLock);
    return err;
}

static aErr sPutControl(aLink* link, uint8_t address, uint8_t length, const uint8_t* data)
{
    aPacket* packet = aPacket_CreateWithData(address, length, data);
    if (!packet)
        return aErrMemory;
    aErr err = sQueue(link, link->outputFifo, packet);
    aPacket_Destroy(&packet);
    return err;
}

static void* sWriter(void* arg)
{
    aLink* link = static_cast<aLink*>(arg);
    pthread_mutex_lock(&link->writeLock);
    while (link->running) {
        aPacket* packet = aPacketFifo_Get(link->outputFifo);
        if (!packet) {
            const struct timespec until = aTime_MonoTimespec(aTime_MonoUS() + kWriterWaitMs * 1000u);
            pthread_cond_timedwait(&link->writeCond, &link->writeLock, &until);
            continue;
        }
        sSend(link, packet);
        aPacket_Destroy(&packet);
    }
    aPacket* packet;
    while ((packet = aPacketFifo_Get(link->outputFifo)) != nullptr) {
        sWritePacket(link, packet);
        aPacket_Destroy(&packet);
    }
    pthread_mutex_unlock(&link->writeLock);
    return nullptr;
}

aErr aLinkIO_Send(aLink* link, uint32_t generation, aPacketFifoId output, const aPacket* packet)
{
    if (!aVALIDPACKET(packet))
        return aErrParam;
    pthread_mutex_lock(&link->writeLock);
    aErr err = aErrNone;
    // Nothing queued before it: no thread needs waking to send it.
    if (link->running && link->generation == generation && aPacketFifo_GetLength(output) == 0) {
        sSend(link, packet);
    } else {
        err = aPacketFifo_Put(output, packet);
        pthread_cond_signal(&link->writeCond);
    }
    pthread_mutex_unlock(&link->writeLock);
    return err;
}

// --- Reading (readLock held) ----------------------------------------------------------------------

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
    sPutControl(link, packet->address, 2, answer);
    link->heartbeatState = 0;
    return true;
}

// What a reader wants from the stream: a caller waits for the first packet its filter selects
// (every packet with no filter); the reader thread (forCaller false) only hands packets on.
struct ReadFor {
    bool forCaller;
    aPacketFilter filter;
    void* ref;
};

// A complete packet goes to the user filter, else to the heartbeat answer, else to the caller
// reading for it (returned), else to the input FIFO.
static aPacket* sHandlePacket(aLink* link, const ReadFor& reader)
{
    aPacket* packet = link->readerPacket;
    if (!aPacket_IsComplete(packet))
        return nullptr;
    sLogPacket(link, aPACKETLOG_RECEIVED, packet);
    aPacket* mine = nullptr;
    pthread_mutex_lock(&link->filterLock);
    bool taken = link->userFilter && link->userFilter(packet, link->filterRef);
    pthread_mutex_unlock(&link->filterLock);
    if (!taken && !sHeartbeat(link, packet)) {
        if (reader.forCaller && (!reader.filter || reader.filter(packet, reader.ref)))
            mine = aPacket_Create();
        if (mine)
            *mine = *packet;
        else if (aPacketFifo_Put(link->inputFifo, packet) != aErrNone)
            link->status = LINK_FAULT;
    }
    aPacket_Reset(packet);
    return mine;
}

// The sleep between two empty reads of a transport that is polled, after quietUs of quiet.
static uint64_t sPollSleepUs(uint64_t quietUs)
{
    uint64_t us = quietUs / 8;
    return us < kMinPollUs ? kMinPollUs : us > kMaxPollUs ? kMaxPollUs : us;
}

// The next byte of the stream; when there is none and waitMs is not 0, waits for one up to
// waitMs (a polled transport: one poll interval, at most waitMs). aErrNotReady when none came.
static aErr sNextByte(aLink* link, uint32_t waitMs, uint8_t* byte)
{
    aErr err = aStream_Read(link->stream, byte, 1);
    if (err == aErrNotReady && waitMs > 0) {
        const uint64_t waitStart = aTime_MonoUS();
        aErr wait = link->emptyReady >= kEmptyReadyLimit ? aErrUnimplemented : aStream_Wait(link->stream, waitMs);
        if (wait == aErrNone) {
            // Ready: the next read tells whether the wait waited at all.
            err = aStream_Read(link->stream, byte, 1);
            if (err == aErrNotReady) {
                link->emptyReady = aTime_MonoUS() - waitStart < kAtOnceUs ? link->emptyReady + 1 : 0;
                link->polled = link->emptyReady >= kEmptyReadyLimit;
                return aErrNotReady;
            }
            link->polled = false;
        } else if (wait == aErrUnimplemented) {
            // Polled; a transport whose wait did not wait is asked again now and then, in case
            // it only did so for a while.
            link->polled = true;
            const uint64_t now = aTime_MonoUS();
            uint64_t sleepUs = sPollSleepUs(now - link->quietSinceUs);
            if (sleepUs > (uint64_t)waitMs * 1000u)
                sleepUs = (uint64_t)waitMs * 1000u;
            aTime_SleepUntilUS(now + sleepUs);
            if (link->emptyReady > 0 && ++link->emptyReady > kEmptyReadyLimit + 1000) {
                link->emptyReady = 0;
                link->polled = false;
            }
            return aErrNotReady;
        } else {
            if (wait == aErrConnection) {
                link->status = LINK_IO_FAULT;
                aTime_MSSleep(kErrorPauseMs);
            }
            return aErrNotReady;
        }
    }
    if (err == aErrNotReady)
        return err;
    link->quietSinceUs = aTime_MonoUS();
    if (err != aErrNone) {
        link->status = LINK_IO_FAULT;
        aTime_MSSleep(kErrorPauseMs);
        return err;
    }
    if (link->emptyReady < kEmptyReadyLimit)
        link->emptyReady = 0;
    return aErrNone;
}

// Handles one byte: framing, resynchronisation, complete packets.
static aPacket* sHandleByte(aLink* link, uint8_t byte, const ReadFor& reader)
{
    linkStatus status = link->status;
    if (status == LINK_SYNCING)
        sSyncByte(link, byte);
    else if (status == LINK_IO_FAULT)
        sStartSync(link);  // whatever was in flight when the stream failed is lost: find the frame again
    else if (aPacket_AddByte(link->readerPacket, byte) != aErrNone)
        sStartSync(link);
    else
        return sHandlePacket(link, reader);
    return nullptr;
}

// Reads and handles what the stream holds, after waiting up to waitMs for its first byte, until
// it holds no more, a packet for the caller reading is complete (returned), the link stops, or
// (for the reader thread) a caller wants to read.
static aPacket* sReadBurst(aLink* link, uint32_t waitMs, const ReadFor& reader)
{
    uint8_t byte;
    if (sNextByte(link, waitMs, &byte) != aErrNone)
        return nullptr;
    for (;;) {
        aPacket* mine = sHandleByte(link, byte, reader);
        if (mine || !link->running || (!reader.forCaller && !link->polled && link->waiters > 0))
            return mine;
        if (sNextByte(link, 0, &byte) != aErrNone)
            return nullptr;
    }
}

// Callers read the stream while one of them waits for a reply, and for a short while after.
static bool sCallersRead(const aLink* link)
{
    return !link->polled && (link->waiters > 0 || aTime_MonoUS() - link->lastWaitEndUs < kHandOffLingerUs);
}

static void* sReader(void* arg)
{
    aLink* link = static_cast<aLink*>(arg);
    pthread_mutex_lock(&link->readLock);
    link->heartbeatState = 0;
    link->status = LINK_RUNNING;
    link->syncState = 0;
    link->syncAddress = 1;
    link->quietSinceUs = aTime_MonoUS();
    link->emptyReady = 0;
    pthread_mutex_unlock(&link->readLock);
    const ReadFor handOn = {false, nullptr, nullptr};
    while (link->running) {
        if (sCallersRead(link)) {
            aTime_MSSleep(kReaderWaitMs);
            continue;
        }
        pthread_mutex_lock(&link->readLock);
        if (link->running && !sCallersRead(link))
            sReadBurst(link, kReaderWaitMs, handOn);
        pthread_mutex_unlock(&link->readLock);
    }
    return nullptr;
}

static bool sRunning(const aLink* link)
{
    return link->running && link->status == LINK_RUNNING;
}

aPacket* aLinkIO_AwaitFirst(aLink* link, uint32_t generation, aPacketFifoId input, aPacketFilter filter, void* ref,
                            uint64_t untilUs)
{
    const ReadFor me = {true, filter, ref};
    link->waiters++;
    aPacket* packet = nullptr;
    bool read = true;
    for (;;) {
        const uint64_t now = aTime_MonoUS();
        if (packet || !read || now >= untilUs || !sRunning(link))
            break;
        if (!link->polled && pthread_mutex_trylock(&link->readLock) == 0) {
            // This caller reads: what another reader queued first, then the stream.
            read = sRunning(link) && link->generation == generation && !link->polled;
            if (read)
                packet = aPacketFifo_GetFirst(input, filter, ref);
            // Nothing can be sent before the pacing interval of the last packet has passed: the
            // reply to it is read then, in the same wake-up as the next request is written,
            // rather than in one of its own.
            if (read && !packet) {
                const uint64_t due = link->lastSendUs + kPacketIntervalUs;
                if (due > aTime_MonoUS())
                    sSleepPaced(due < untilUs ? due : untilUs);
            }
            for (uint64_t at = aTime_MonoUS(); read && !packet && at < untilUs; at = aTime_MonoUS()) {
                const uint64_t waitMs = (untilUs - at + 999u) / 1000u;
                packet = sReadBurst(link, waitMs < kReaderWaitMs ? (uint32_t)waitMs : kReaderWaitMs, me);
                read = sRunning(link) && !link->polled;
            }
            pthread_mutex_unlock(&link->readLock);
            // A polled stream is the reader thread's: wait for what it queues.
            read = read || link->polled;
        } else {
            // Another thread reads, and queues what is not its own.
            const uint64_t sliceMs = link->polled ? kReaderWaitMs : kHandOffSliceMs;
            const uint64_t leftMs = (untilUs - now + 999u) / 1000u;
            packet = aPacketFifo_AwaitFirst(input, filter, ref, leftMs < sliceMs ? leftMs : sliceMs);
        }
    }
    link->lastWaitEndUs = aTime_MonoUS();
    link->waiters--;
    return packet;
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
    link->quietSinceUs = 0;
    link->emptyReady = 0;
    link->polled = false;
    link->generation++;
    link->readerPacket = aPacket_Create();
    pthread_mutex_lock(&link->writeLock);
    link->lastSendUs = 0;
    pthread_mutex_unlock(&link->writeLock);
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
    pthread_mutex_lock(&link->writeLock);
    pthread_cond_signal(&link->writeCond);
    pthread_mutex_unlock(&link->writeLock);
    if (link->readerStarted && pthread_join(link->readerThread, nullptr) != 0)
        err = aErrUnknown;
    if (link->writerStarted && pthread_join(link->writerThread, nullptr) != 0)
        err = aErrUnknown;
    link->readerStarted = link->writerStarted = false;
    // A caller reading or writing the stream ends its step; the next one finds the link stopped.
    pthread_mutex_lock(&link->readLock);
    aPacket_Reset(link->readerPacket);
    pthread_mutex_unlock(&link->readLock);
    pthread_mutex_lock(&link->writeLock);
    pthread_mutex_unlock(&link->writeLock);
    link->status = LINK_STOPPED;
    link->heartbeatState = 0;
    return err;
}

void aLinkIO_Construct(aLink* link)
{
    pthread_mutex_init(&link->filterLock, nullptr);
    pthread_mutex_init(&link->readLock, nullptr);
    pthread_mutex_init(&link->writeLock, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&link->writeCond, &attr);
    pthread_condattr_destroy(&attr);
}

void aLinkIO_Destruct(aLink* link)
{
    pthread_cond_destroy(&link->writeCond);
    pthread_mutex_destroy(&link->writeLock);
    pthread_mutex_destroy(&link->readLock);
    pthread_mutex_destroy(&link->filterLock);
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
