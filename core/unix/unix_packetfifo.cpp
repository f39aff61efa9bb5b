// Packet FIFOs and their process-wide registry.
//
// Lifetime: the registry holds one reference to each FIFO and every operation takes another
// while it runs (acquired under the registry lock, so a FIFO that has left the registry can
// no longer be acquired). Destroy unregisters the FIFO, cancels it (count -1, every waiter
// woken) and drops the registry's reference; whoever drops the last reference frees the FIFO.
// So no thread ever uses a freed FIFO, whatever the order of Destroy and the other calls.
#include "aPacketFifo.h"
#include "aTime.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <pthread.h>

namespace {

struct FifoNode {
    aPacket packet;
    FifoNode* next;
};

struct PacketFifo {
    FifoNode* head;
    FifoNode* tail;
    int64_t count;  // -1 once cancelled
    pthread_cond_t condition;
    pthread_mutex_t lock;
    uint16_t check;
    std::atomic<int> refs;
};

struct RegistryEntry {
    aPacketFifoId id;
    PacketFifo* fifo;
    RegistryEntry* next;
};

pthread_mutex_t sRegistryLock = PTHREAD_MUTEX_INITIALIZER;
RegistryEntry* sRegistryHead = nullptr;
RegistryEntry* sRegistryTail = nullptr;
aPacketFifoId sNextId = 1;

// While a filter selects nothing, the awaiting scan looks again at least this often, for
// filters whose choice depends on more than the packet.
const uint64_t kRescanMs = 10;

}  // namespace

#define aVALIDFIFO(f) ((f) != nullptr && (f)->check == aPACKETFIFO_CHECK)

static void sFree(PacketFifo* fifo)
{
    FifoNode* node = fifo->head;
    while (node) {
        FifoNode* next = node->next;
        free(node);
        node = next;
    }
    pthread_cond_destroy(&fifo->condition);
    pthread_mutex_destroy(&fifo->lock);
    fifo->refs.~atomic<int>();
    free(fifo);
}

static PacketFifo* sAcquire(aPacketFifoId id)
{
    if (id == 0)
        return nullptr;
    PacketFifo* found = nullptr;
    pthread_mutex_lock(&sRegistryLock);
    for (RegistryEntry* e = sRegistryHead; e; e = e->next) {
        if (e->id == id) {
            found = e->fifo;
            found->refs.fetch_add(1, std::memory_order_relaxed);
            break;
        }
    }
    pthread_mutex_unlock(&sRegistryLock);
    return found;
}

static void sRelease(PacketFifo* fifo)
{
    if (fifo->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        sFree(fifo);
}

static bool sBefore(const struct timespec& a, const struct timespec& b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Unlinks node (whose predecessor is prev, null for the head). Called with the lock held.
static void sUnlink(PacketFifo* fifo, FifoNode* prev, FifoNode* node)
{
    if (prev)
        prev->next = node->next;
    else
        fifo->head = node->next;
    if (fifo->tail == node)
        fifo->tail = prev;
    node->next = nullptr;
    fifo->count--;
}

// The first node the filter selects (every node with no filter), unlinked. Lock held.
static FifoNode* sTakeFirst(PacketFifo* fifo, aPacketFilter filter, void* ref)
{
    if (fifo->count <= 0)
        return nullptr;
    FifoNode* prev = nullptr;
    for (FifoNode* node = fifo->head; node; prev = node, node = node->next) {
        if (!filter || filter(&node->packet, ref)) {
            sUnlink(fifo, prev, node);
            return node;
        }
    }
    return nullptr;
}

// Hands a taken node out as a new packet (outside the lock).
static aPacket* sHandOut(FifoNode* node)
{
    if (!node)
        return nullptr;
    aPacket* packet = aPacket_Create();
    if (packet)
        *packet = node->packet;
    free(node);
    return packet;
}

static uint64_t sDrain(PacketFifo* fifo, aPacketFilter filter, void* ref)
{
    uint64_t drained = 0;
    FifoNode* freeList = nullptr;
    pthread_mutex_lock(&fifo->lock);
    if (fifo->count > 0) {
        FifoNode* prev = nullptr;
        FifoNode* node = fifo->head;
        while (node) {
            FifoNode* next = node->next;
            if (!filter || filter(&node->packet, ref)) {
                sUnlink(fifo, prev, node);
                node->next = freeList;
                freeList = node;
                drained++;
            } else {
                prev = node;
            }
            node = next;
        }
    }
    pthread_mutex_unlock(&fifo->lock);
    while (freeList) {
        FifoNode* next = freeList->next;
        free(freeList);
        freeList = next;
    }
    return drained;
}

aPacketFifoId aPacketFifo_Create(void)
{
    PacketFifo* fifo = static_cast<PacketFifo*>(calloc(1, sizeof(PacketFifo)));
    RegistryEntry* entry = static_cast<RegistryEntry*>(calloc(1, sizeof(RegistryEntry)));
    if (!fifo || !entry) {
        free(fifo);
        free(entry);
        return 0;
    }
    new (&fifo->refs) std::atomic<int>(1);
    pthread_mutex_init(&fifo->lock, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&fifo->condition, &attr);
    pthread_condattr_destroy(&attr);
    fifo->check = aPACKETFIFO_CHECK;
    entry->fifo = fifo;

    pthread_mutex_lock(&sRegistryLock);
    entry->id = sNextId++;
    if (sRegistryTail)
        sRegistryTail->next = entry;
    else
        sRegistryHead = entry;
    sRegistryTail = entry;
    aPacketFifoId id = entry->id;
    pthread_mutex_unlock(&sRegistryLock);
    return id;
}

aErr aPacketFifo_Destroy(aPacketFifoId* id)
{
    if (!id)
        return aErrParam;
    RegistryEntry* entry = nullptr;
    pthread_mutex_lock(&sRegistryLock);
    RegistryEntry* prev = nullptr;
    for (RegistryEntry* e = sRegistryHead; e; prev = e, e = e->next) {
        if (e->id == *id) {
            entry = e;
            if (prev)
                prev->next = e->next;
            else
                sRegistryHead = e->next;
            if (sRegistryTail == e)
                sRegistryTail = prev;
            break;
        }
    }
    pthread_mutex_unlock(&sRegistryLock);
    if (!entry)
        return aErrNotFound;

    PacketFifo* fifo = entry->fifo;
    free(entry);
    pthread_mutex_lock(&fifo->lock);
    FifoNode* node = fifo->head;
    fifo->head = fifo->tail = nullptr;
    fifo->count = -1;
    fifo->check = 0;
    pthread_cond_broadcast(&fifo->condition);
    pthread_mutex_unlock(&fifo->lock);
    while (node) {
        FifoNode* next = node->next;
        free(node);
        node = next;
    }
    sRelease(fifo);
    *id = 0;
    return aErrNone;
}

int64_t aPacketFifo_GetLength(aPacketFifoId id)
{
    PacketFifo* fifo = sAcquire(id);
    if (!fifo)
        return 0;
    pthread_mutex_lock(&fifo->lock);
    int64_t count = fifo->count;
    pthread_mutex_unlock(&fifo->lock);
    sRelease(fifo);
    return count;
}

aErr aPacketFifo_Put(aPacketFifoId id, const aPacket* packet)
{
    if (!aVALIDPACKET(packet))
        return aErrParam;
    PacketFifo* fifo = sAcquire(id);
    if (!fifo)
        return aErrParam;
    FifoNode* node = static_cast<FifoNode*>(malloc(sizeof(FifoNode)));
    if (!node) {
        sRelease(fifo);
        return aErrResource;
    }
    node->packet = *packet;
    node->next = nullptr;

    pthread_mutex_lock(&fifo->lock);
    if (fifo->count < 0) {
        pthread_mutex_unlock(&fifo->lock);
        free(node);
        sRelease(fifo);
        return aErrCancel;
    }
    if (fifo->tail)
        fifo->tail->next = node;
    else
        fifo->head = node;
    fifo->tail = node;
    fifo->count++;
    bool overflow = fifo->count > aPACKETFIFO_MAX_PACKETS;
    // Every waiter re-checks: consumers with different filters may wait on one FIFO.
    pthread_cond_broadcast(&fifo->condition);
    pthread_mutex_unlock(&fifo->lock);

    if (overflow)
        sDrain(fifo, nullptr, nullptr);
    sRelease(fifo);
    return aErrNone;
}

aPacket* aPacketFifo_Get(aPacketFifoId id)
{
    return aPacketFifo_GetFirst(id, nullptr, nullptr);
}

aPacket* aPacketFifo_GetFirst(aPacketFifoId id, aPacketFilter filter, void* ref)
{
    PacketFifo* fifo = sAcquire(id);
    if (!fifo)
        return nullptr;
    pthread_mutex_lock(&fifo->lock);
    FifoNode* node = sTakeFirst(fifo, filter, ref);
    pthread_mutex_unlock(&fifo->lock);
    sRelease(fifo);
    return sHandOut(node);
}

aPacket* aPacketFifo_Await(aPacketFifoId id, uint64_t timeoutMs)
{
    return aPacketFifo_AwaitFirst(id, nullptr, nullptr, timeoutMs);
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketFilter filter, void* ref, uint64_t timeoutMs)
{
    PacketFifo* fifo = sAcquire(id);
    if (!fifo)
        return nullptr;
    const uint64_t deadlineUs = aTime_MonoUS() + timeoutMs * 1000u;
    const struct timespec deadline = aTime_MonoTimespec(deadlineUs);
    FifoNode* node = nullptr;
    pthread_mutex_lock(&fifo->lock);
    while (fifo->count >= 0) {
        node = sTakeFirst(fifo, filter, ref);
        if (node)
            break;
        // Wait for the next put (or the cancel), until the deadline; with packets held that
        // the filter passed over, look again after a short while at the latest.
        struct timespec until = deadline;
        if (fifo->count > 0 && filter) {
            struct timespec rescan = aTime_MonoTimespec(aTime_MonoUS() + kRescanMs * 1000u);
            if (sBefore(rescan, until))
                until = rescan;
        }
        if (aTime_MonoUS() >= deadlineUs)
            break;
        int rc = pthread_cond_timedwait(&fifo->condition, &fifo->lock, &until);
        if (rc != 0 && rc != ETIMEDOUT && rc != EINTR)
            break;
    }
    pthread_mutex_unlock(&fifo->lock);
    sRelease(fifo);
    return sHandOut(node);
}

uint64_t aPacketFifo_DrainPackets(aPacketFifoId id, aPacketFilter filter, void* ref)
{
    PacketFifo* fifo = sAcquire(id);
    if (!fifo)
        return 0;
    // A null filter would select everything; callers name what they drain.
    uint64_t drained = filter ? sDrain(fifo, filter, ref) : 0;
    sRelease(fifo);
    return drained;
}
