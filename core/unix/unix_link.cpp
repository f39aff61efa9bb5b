// The link table and the link engine's public operations: creation (shared by use count),
// destruction, reset and traffic.
#include "unix_link_internal.h"

#include "aTime.h"

#include <algorithm>
#include <cstdlib>
#include <new>

namespace {

pthread_mutex_t sTableLock = PTHREAD_MUTEX_INITIALIZER;
aLinkEntry* sHead = nullptr;
aLinkId sNextId = 1;

const int kResetAttempts = 20;
const uint64_t kResetPauseMs = 100;
// aLink_Destroy looks this often whether a reset it cancelled has given up.
const uint64_t kResetCancelPollMs = 1;
// aLink_AwaitFirst looks at the link's state at least this often while it waits.
const uint64_t kAwaitSliceMs = 50;

}  // namespace

void aLinkTable_Lock(void)
{
    pthread_mutex_lock(&sTableLock);
}

bool aLinkTable_TryLock(void)
{
    return pthread_mutex_trylock(&sTableLock) == 0;
}

void aLinkTable_Unlock(void)
{
    pthread_mutex_unlock(&sTableLock);
}

aLinkEntry* aLinkTable_Find(aLinkId id)
{
    if (id == 0)
        return nullptr;
    for (aLinkEntry* e = sHead; e; e = e->next)
        if (e->id == id)
            return e;
    return nullptr;
}

aLinkEntry* aLinkTable_Acquire(aLinkId id)
{
    aLinkTable_Lock();
    aLinkEntry* entry = aLinkTable_Find(id);
    if (entry && entry->link)
        entry->refs.fetch_add(1, std::memory_order_relaxed);
    else
        entry = nullptr;
    aLinkTable_Unlock();
    return entry;
}

static void sFreeEntry(aLinkEntry* entry)
{
    if (entry->link) {
        aLinkIO_Release(entry->link);
        aPacketLog_Destroy(&entry->link->packetLog);
        if (entry->link->logLock)
            aMutex_Destroy(&entry->link->logLock);
        aLinkIO_Destruct(entry->link);
        entry->link->check = 0;
        entry->link->~aLink();
        free(entry->link);
    }
    entry->~aLinkEntry();
    free(entry);
}

void aLinkTable_Release(aLinkEntry* entry)
{
    if (entry->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        sFreeEntry(entry);
}

static void sUnlinkEntry(aLinkEntry* entry)
{
    aLinkEntry** at = &sHead;
    while (*at && *at != entry)
        at = &(*at)->next;
    if (*at)
        *at = entry->next;
}

static aLinkEntry* sNewEntry(uint32_t identifier, uint32_t port, linkType type, aLinkStreamOpener opener)
{
    aLinkEntry* entry = static_cast<aLinkEntry*>(calloc(1, sizeof(aLinkEntry)));
    aLink* link = static_cast<aLink*>(calloc(1, sizeof(aLink)));
    if (!entry || !link) {
        free(entry);
        free(link);
        return nullptr;
    }
    new (link) aLink();
    aLinkIO_Construct(link);
    new (entry) aLinkEntry();
    entry->refs = 1;
    entry->id = sNextId++;
    entry->identifier = identifier;
    entry->port = port;
    entry->type = type;
    entry->opener = opener;
    entry->useCount = 0;
    entry->link = link;
    entry->next = sHead;
    sHead = entry;
    return entry;
}

// With the table locked: one more use of the link already made for this identifier, port and
// type, or 0. Two devices behind one IP address (on two ports) are two links.
static aLinkId sShareExisting(uint32_t identifier, uint32_t port, linkType type)
{
    for (aLinkEntry* e = sHead; e; e = e->next) {
        if (e->type != INVALID && e->type == type && e->identifier == identifier && e->port == port) {
            e->useCount++;
            return e->id;
        }
    }
    return 0;
}

// With the table locked: hands the stream (which err says was or was not opened) to a new
// entry's link and starts it, then unlocks the table. A link that needs a stream and has none,
// or that cannot be started, is destroyed. Returns the link's identifier, or 0.
static aLinkId sStartEntry(aLinkEntry* entry, aStream* stream, aErr err, bool requireStream)
{
    aLinkId id = entry->id;
    aErr initErr = aLinkIO_Init(entry->link, id, stream);
    if (err == aErrNone && initErr != aErrNone)
        err = requireStream ? aErrConnection : initErr;
    if (err == aErrNone && (stream || !requireStream)) {
        entry->useCount = 1;
        err = aLinkIO_Start(entry->link);
    }
    aLinkTable_Unlock();
    if (err != aErrNone) {
        aLink_Destroy(&id);
        return 0;
    }
    return id;
}

aLinkId aLink_CreateShared(uint32_t identifier, uint32_t port, linkType type, aLinkStreamOpener opener,
                           bool requireStream)
{
    if (!opener)
        return 0;
    aLinkTable_Lock();
    if (aLinkId shared = sShareExisting(identifier, port, type)) {
        aLinkTable_Unlock();
        return shared;
    }
    aLinkEntry* entry = sNewEntry(identifier, port, type, opener);
    if (!entry) {
        aLinkTable_Unlock();
        return 0;
    }
    aStream* stream = nullptr;
    aErr err = opener(identifier, port, &stream);
    if (!requireStream)
        err = aErrNone;
    return sStartEntry(entry, stream, err, requireStream);
}

static aErr sOpenSocket(uint32_t address, uint32_t port, aStream** out)
{
    return aStream_CreateSocket(address, (uint16_t)port, out);
}

aLinkId aLink_CreateTCPIP(uint32_t address, uint16_t port)
{
    // A device that cannot be reached now still gets a started link: its reader reports
    // LINK_IO_FAULT, and aLink_Reset can connect it later.
    return aLink_CreateShared(address, port, TCPIP, sOpenSocket, false);
}

aLinkId aLink_CreateSerial(uint32_t serialNumber, const char* portPath, uint32_t baudRate)
{
    static const uint32_t rates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    if (!portPath)
        return 0;
    aLinkTable_Lock();
    if (aLinkId shared = sShareExisting(serialNumber, 0, SERIAL)) {
        aLinkTable_Unlock();
        return shared;
    }
    uint32_t baudIndex = 0;
    while (baudIndex < sizeof(rates) / sizeof(rates[0]) && rates[baudIndex] != baudRate)
        baudIndex++;
    if (baudIndex == sizeof(rates) / sizeof(rates[0])) {
        aLinkTable_Unlock();
        return 0;
    }
    aLinkEntry* entry = sNewEntry(serialNumber, 0, SERIAL, nullptr);
    if (!entry) {
        aLinkTable_Unlock();
        return 0;
    }
    aStream* stream = nullptr;
    aErr err = aStream_CreateSerial(portPath, baudIndex, false, aSerial_Bits_8, aSerial_Stop_bits_1, &stream);
    return sStartEntry(entry, stream, err, true);
}

aLinkId aLink_Create(aStream* stream)
{
    if (!aVALIDSTREAM(stream)) {
        aStream_Destroy(&stream);
        return 0;
    }
    aLinkTable_Lock();
    aLinkEntry* entry = sNewEntry(aLINK_STREAM_IDENTIFIER, 0, INVALID, nullptr);
    if (!entry) {
        aLinkTable_Unlock();
        aStream_Destroy(&stream);
        return 0;
    }
    return sStartEntry(entry, stream, aErrNone, true);
}

aErr aLink_Destroy(aLinkId* id)
{
    if (!id)
        return aErrParam;
    aLinkTable_Lock();
    aLinkEntry* entry = aLinkTable_Find(*id);
    *id = 0;
    if (!entry) {
        aLinkTable_Unlock();
        return aErrParam;
    }
    if (--entry->useCount >= 1) {
        aLinkTable_Unlock();
        return aErrNone;
    }
    sUnlinkEntry(entry);
    entry->cancelReset = true;
    aLinkTable_Unlock();
    // A reset in progress gives up at its next attempt; the record is the reset's until then.
    while (entry->resetting.load(std::memory_order_acquire))
        aTime_MSSleep(kResetCancelPollMs);
    if (!entry->link) {
        aLinkTable_Release(entry);
        return aErrUnknown;
    }
    aLinkIO_Stop(entry->link);
    // Destroying the FIFOs wakes every caller still waiting on them; the record itself goes
    // with the last holder.
    // A link whose reset failed has no FIFOs left.
    aPacketFifo_Destroy(&entry->link->inputFifo);
    aErr err = entry->link->outputFifo ? aPacketFifo_Destroy(&entry->link->outputFifo) : aErrNone;
    aLinkTable_Release(entry);
    return err;
}

// Opens the stream of a link being reset again: up to kResetAttempts tries, kResetPauseMs apart,
// until one gives a stream or the reset is cancelled.
static aErr sReopen(aLinkEntry* entry, aStream** stream)
{
    aErr err = aErrConnection;
    for (int attempt = 0; attempt < kResetAttempts && !entry->cancelReset; attempt++) {
        err = entry->opener(entry->identifier, entry->port, stream);
        if (err == aErrNone && *stream)
            return aErrNone;
        if (err == aErrNone)
            err = aErrConnection;
        if (attempt + 1 < kResetAttempts)
            aTime_MSSleep(kResetPauseMs);
    }
    if (*stream)
        aStream_Destroy(stream);
    return entry->cancelReset ? aErrCancel : err;
}

aErr aLink_Reset(aLinkId id)
{
    aLinkTable_Lock();
    aLinkEntry* entry = aLinkTable_Find(id);
    if (!entry || !entry->link) {
        aLinkTable_Unlock();
        return aErrParam;
    }
    // Only links that can be opened again from their address are reset; the others are left
    // running as they are.
    if ((entry->type != USB && entry->type != TCPIP) || !entry->opener) {
        aLinkTable_Unlock();
        return aErrParam;
    }
    if (entry->resetting) {
        aLinkTable_Unlock();
        return aErrBusy;
    }
    // The re-opening may take many seconds: it runs outside the table lock, so that every other
    // link keeps working meanwhile; this link's traffic calls fail with aErrBusy until it is done.
    entry->resetting = true;
    entry->cancelReset = false;
    entry->refs.fetch_add(1, std::memory_order_relaxed);
    aLinkTable_Unlock();

    aLink* link = entry->link;
    aLinkIO_Stop(link);
    aLinkIO_Release(link);
    aStream* stream = nullptr;
    aErr err = sReopen(entry, &stream);
    if (err == aErrNone) {
        err = aLinkIO_Init(link, id, stream);
        if (err == aErrNone)
            err = aLinkIO_Start(link);
    }

    aLinkTable_Lock();
    entry->resetting.store(false, std::memory_order_release);
    aLinkTable_Unlock();
    aLinkTable_Release(entry);
    return err;
}

linkStatus aLink_GetStatus(aLinkId id)
{
    aLinkTable_Lock();
    aLinkEntry* entry = aLinkTable_Find(id);
    linkStatus status = entry && entry->link ? entry->link->status.load() : LINK_NO_STREAM;
    aLinkTable_Unlock();
    return status;
}

// The link's FIFO identifiers, read under the table lock (a reset replaces them): aErrParam for
// an unknown link, aErrBusy while it is being reset.
static aErr sFifos(aLinkId id, aPacketFifoId* input, aPacketFifoId* output, bool* running)
{
    aLinkTable_Lock();
    aLinkEntry* entry = aLinkTable_Find(id);
    aErr err = !entry || !entry->link ? aErrParam : entry->resetting ? aErrBusy : aErrNone;
    if (err == aErrNone) {
        if (input)
            *input = entry->link->inputFifo;
        if (output)
            *output = entry->link->outputFifo;
        if (running)
            *running = entry->link->running && entry->link->status == LINK_RUNNING;
    }
    aLinkTable_Unlock();
    return err;
}

// The traffic of one call: the link's entry, held until aLinkTable_Release, with its FIFOs and
// generation as they were under the table lock. aErrParam for an unknown link, aErrBusy while it
// is being reset.
struct Traffic {
    aLinkEntry* entry;
    aPacketFifoId input;
    aPacketFifoId output;
    uint32_t generation;
    bool running;
};

static aErr sTraffic(aLinkId id, Traffic* traffic)
{
    aLinkTable_Lock();
    aLinkEntry* entry = aLinkTable_Find(id);
    aErr err = !entry || !entry->link ? aErrParam : entry->resetting ? aErrBusy : aErrNone;
    if (err == aErrNone) {
        aLink* link = entry->link;
        entry->refs.fetch_add(1, std::memory_order_relaxed);
        traffic->entry = entry;
        traffic->input = link->inputFifo;
        traffic->output = link->outputFifo;
        traffic->generation = link->generation;
        traffic->running = link->running && link->status == LINK_RUNNING;
    }
    aLinkTable_Unlock();
    return err;
}

aErr aLink_PutPacket(aLinkId id, const aPacket* packet)
{
    Traffic traffic;
    aErr err = sTraffic(id, &traffic);
    if (err != aErrNone)
        return err;
    err = aLinkIO_Send(traffic.entry->link, traffic.generation, traffic.output, packet);
    aLinkTable_Release(traffic.entry);
    return err;
}

aPacket* aLink_GetPacket(aLinkId id)
{
    aPacketFifoId input = 0;
    return sFifos(id, &input, nullptr, nullptr) == aErrNone ? aPacketFifo_Get(input) : nullptr;
}

aPacket* aLink_AwaitPacket(aLinkId id, uint64_t timeoutMs)
{
    aPacketFifoId input = 0;
    return sFifos(id, &input, nullptr, nullptr) == aErrNone ? aPacketFifo_Await(input, timeoutMs) : nullptr;
}

aPacket* aLink_GetFirst(aLinkId id, aPacketFilter filter, void* ref)
{
    aPacketFifoId input = 0;
    return sFifos(id, &input, nullptr, nullptr) == aErrNone ? aPacketFifo_GetFirst(input, filter, ref) : nullptr;
}

aPacket* aLink_AwaitFirst(aLinkId id, aPacketFilter filter, void* ref, uint64_t timeoutMs)
{
    const uint64_t deadlineUs = aTime_MonoUS() + timeoutMs * 1000u;
    for (;;) {
        Traffic traffic;
        if (sTraffic(id, &traffic) != aErrNone)
            return nullptr;
        aPacket* packet = nullptr;
        const uint64_t now = aTime_MonoUS();
        if (!traffic.running)
            packet = nullptr;
        else if (now >= deadlineUs)
            packet = aPacketFifo_GetFirst(traffic.input, filter, ref);
        else
            packet = aLinkIO_AwaitFirst(traffic.entry->link, traffic.generation, traffic.input, filter, ref,
                                        std::min(deadlineUs, now + kAwaitSliceMs * 1000u));
        aLinkTable_Release(traffic.entry);
        if (packet || !traffic.running || now >= deadlineUs)
            return packet;
    }
}

uint64_t aLink_DrainPackets(aLinkId id, aPacketFilter filter, void* ref)
{
    aPacketFifoId input = 0;
    return sFifos(id, &input, nullptr, nullptr) == aErrNone ? aPacketFifo_DrainPackets(input, filter, ref) : 0;
}

aErr aLink_InstallUserPacketFilter(aLinkId id, aPacketFilter filter, void* ref)
{
    aLinkEntry* entry = aLinkTable_Acquire(id);
    if (!entry)
        return aErrParam;
    pthread_mutex_lock(&entry->link->filterLock);
    entry->link->userFilter = filter;
    entry->link->filterRef = filter ? ref : nullptr;
    pthread_mutex_unlock(&entry->link->filterLock);
    aLinkTable_Release(entry);
    return aErrNone;
}
