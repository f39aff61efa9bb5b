// The value streams of one Link: the map from stream key to the last streamed value, the packet
// filter that takes stream samples out of the engine link's input on its reader thread, and the
// worker thread that runs the registered callbacks, fed by a lock-free single-producer
// single-consumer queue so that a slow callback never holds up the reader.
//
// Threads: the caller (registration, value and status reads), the engine link's reader (the
// filter) and the worker (callbacks). The map is guarded by one mutex, which is never held while
// a callback runs. The queue has exactly one producer (the filter) and one consumer (the worker).
#ifndef SX_API_LINKSTREAMS_H
#define SX_API_LINKSTREAMS_H

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Link.h"
#include "LocklessQueue.h"
#include "aPacket.h"

namespace Vantorix {
namespace Strandix {

// Slots of a link's callback queue (it holds one call fewer).
constexpr uint16_t kStreamQueueCapacity = 500;
// Wildcard value of a stream key element.
constexpr uint8_t kStreamWildcard = 0xFF;

struct StreamEntry {
    uint64_t key = 0;
    bool fresh = false;
    StreamCallback callback;
    void* reference = nullptr;
    uint32_t value = 0;
    // A sample has been stored. An entry made by a registration holds no value until then.
    bool sampled = false;
};

// One queued callback call: the callback, its reference and an owned copy of the sample packet.
struct asyncPacket {
    StreamCallback callback;
    void* reference = nullptr;
    aPacket* packet = nullptr;

    asyncPacket() = default;
    asyncPacket(const asyncPacket&) = delete;
    asyncPacket& operator=(const asyncPacket&) = delete;
    asyncPacket(asyncPacket&& other) noexcept { *this = std::move(other); }
    asyncPacket& operator=(asyncPacket&& other) noexcept;
    ~asyncPacket();
};

class LinkStreams {
  public:
    LinkStreams() = default;
    // Stops the worker (waiting for a running callback) and releases queued calls.
    ~LinkStreams();
    LinkStreams(const LinkStreams&) = delete;
    LinkStreams& operator=(const LinkStreams&) = delete;

    // The engine link's user packet filter; ref is the LinkStreams. True for every stream packet.
    static bool linkStreamFilter(const aPacket* packet, void* ref);

    // Inserts an entry for key with the callback and reference, or replaces the callback and
    // reference of the entry there (its value and fresh flag stay).
    void setEntry(uint64_t key, const StreamCallback& callback, void* reference);
    // Removes every entry filterActiveStreamKeys selects; true when the map is then empty.
    bool removeMatching(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subIndex);
    bool empty();
    void clear();
    // aErrNotFound for a key without a value; else the value, with aErrNone when fresh (the flag
    // is cleared) or aErrStreamStale.
    aErr value(uint64_t key, uint32_t* out);
    // (key, value) of every selected entry whose elements are all below the wildcard.
    void status(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subIndex,
                std::map<uint64_t, uint32_t>* out);
    // The keys of all entries whose elements each equal the given one (a given 0xFF matching
    // every value). With lock false the caller holds the map's mutex.
    std::vector<uint64_t> filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                                 uint8_t subIndex, bool lock);

    // The worker. startWorker makes a fresh queue and starts the thread when none runs
    // (aErrResource when no thread can be made); it must run before the filter is installed. stopWorker must run after the filter was removed: it
    // stops the thread and waits for it (a callback that stops its own worker is not waited
    // for; its thread keeps the queue alive until it ends), then releases what is still queued.
    bool workerRunning() const { return thread_.joinable(); }
    aErr startWorker();
    void stopWorker();

    // Callback calls dropped because the queue was full.
    uint64_t droppedCalls() const { return dropped_.load(std::memory_order_relaxed); }

    // Whether the filter is installed on the engine link; caller thread only.
    bool filterInstalled = false;

  private:
    struct WorkerState {
        LocklessQueue_SPSC<asyncPacket> queue{kStreamQueueCapacity};
        std::atomic<bool> stop{false};
    };
    static void asyncWork(std::shared_ptr<WorkerState> state);

    // Reader thread, mutex held.
    void queueCallback(const StreamEntry& entry, const aPacket* packet);
    std::vector<uint64_t> selectKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                     uint8_t subIndex) const;

    std::mutex mutex_;
    std::map<uint64_t, StreamEntry> entries_;  // guarded by mutex_
    // Set and cleared only while the filter is not installed; read by the filter.
    std::shared_ptr<WorkerState> worker_;
    std::thread thread_;
    std::atomic<uint64_t> dropped_{0};
};

}  // namespace Strandix
}  // namespace Vantorix

#endif
