// The stream map, the stream filter on the reader thread and the callback worker of a Link.
#include "LinkStreams.h"

#include <chrono>
#include <system_error>

namespace Vantorix {
namespace Strandix {

namespace {

// Wildcard masks tried on a sample's key after the exact key, in this order. The module element
// is never a wildcard.
const uint64_t kWildcardMasks[] = {
    0x00000000FFull, 0x000000FF00ull, 0x000000FFFFull, 0x0000FF0000ull, 0x0000FF00FFull,
    0x0000FFFF00ull, 0x0000FFFFFFull, 0xFF00000000ull, 0xFF000000FFull, 0xFF0000FF00ull,
    0xFF0000FFFFull, 0xFF00FF0000ull, 0xFF00FF00FFull, 0xFF00FFFF00ull, 0xFF00FFFFFFull,
};
const size_t kWildcardCount = sizeof(kWildcardMasks) / sizeof(kWildcardMasks[0]);

// How long the worker sleeps when it finds the queue empty.
const auto kWorkerIdleSleep = std::chrono::milliseconds(1);

bool sSelects(uint64_t key, uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subIndex)
{
    const uint8_t wanted[5] = {module, command, option, index, subIndex};
    for (int element = STREAM_KEY_MODULE; element <= STREAM_KEY_SUBINDEX; element++) {
        if (wanted[element] != kStreamWildcard && Link::getStreamKeyElement(key, element) != wanted[element])
            return false;
    }
    return true;
}

}  // namespace

asyncPacket& asyncPacket::operator=(asyncPacket&& other) noexcept
{
    if (this != &other) {
        if (packet)
            aPacket_Destroy(&packet);
        callback = std::move(other.callback);
        other.callback = nullptr;
        reference = other.reference;
        packet = other.packet;
        other.reference = nullptr;
        other.packet = nullptr;
    }
    return *this;
}

asyncPacket::~asyncPacket()
{
    if (packet)
        aPacket_Destroy(&packet);
}

LinkStreams::~LinkStreams()
{
    stopWorker();
}

bool LinkStreams::linkStreamFilter(const aPacket* packet, void* ref)
{
    // Only complete samples are taken. A reply that merely looks like a stream packet (an
    // information reply about a command with bit 6 set: 49 01 5F 02 00 00) or a byte run goes to
    // the input, where its caller waits for it.
    uint8_t type = 0;
    if (!ref || !Link::isStreamSample(packet) || !Link::getStreamPacketType(packet, &type))
        return false;
    LinkStreams* self = static_cast<LinkStreams*>(ref);
    const uint8_t* d = packet->data;
    const uint8_t subIndex = Link::isSubindexType(type) ? d[4] : 0;
    const uint64_t key = Link::createStreamKey(packet->address, d[0], (uint8_t)(d[1] & 0x3F), (uint8_t)(d[2] & 0x1F),
                                               subIndex);
    uint32_t value = 0;
    const bool decoded = Link::getStreamSample(packet, nullptr, &value, nullptr) == aErrNone;

    std::lock_guard<std::mutex> lock(self->mutex_);
    auto exact = self->entries_.find(key);
    const bool hasExact = exact != self->entries_.end();
    if (hasExact) {
        self->queueCallback(exact->second, packet);
        if (decoded) {
            exact->second.value = value;
            exact->second.fresh = true;
            exact->second.sampled = true;
        }
    }
    // A key whose elements already hold 0xFF gives the same wildcard key under several masks;
    // each entry is called once per sample.
    uint64_t tried[kWildcardCount + 1];
    size_t triedCount = 0;
    tried[triedCount++] = key;
    bool matched = false;
    for (uint64_t mask : kWildcardMasks) {
        const uint64_t wildKey = key | mask;
        bool seen = false;
        for (size_t i = 0; i < triedCount && !seen; i++)
            seen = tried[i] == wildKey;
        if (seen)
            continue;
        tried[triedCount++] = wildKey;
        auto it = self->entries_.find(wildKey);
        if (it == self->entries_.end())
            continue;
        matched = true;
        self->queueCallback(it->second, packet);
    }
    // Later gets of this option are answered from the stream.
    if (!hasExact && matched && decoded) {
        StreamEntry& entry = self->entries_[key];
        entry.key = key;
        entry.value = value;
        entry.fresh = true;
        entry.sampled = true;
    }
    return true;
}

void LinkStreams::queueCallback(const StreamEntry& entry, const aPacket* packet)
{
    if (!entry.callback || !worker_)
        return;
    asyncPacket call;
    call.packet = aPacket_Copy(packet);
    if (!call.packet) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    call.callback = entry.callback;
    call.reference = entry.reference;
    if (!worker_->queue.push(std::move(call)))
        dropped_.fetch_add(1, std::memory_order_relaxed);  // call (and its packet copy) goes here
}

void LinkStreams::asyncWork(std::shared_ptr<WorkerState> state)
{
    while (!state->stop.load(std::memory_order_acquire)) {
        bool ran = false;
        asyncPacket call;
        while (!state->stop.load(std::memory_order_acquire) && state->queue.pop(call)) {
            ran = true;
            if (call.callback)
                call.callback(call.packet, call.reference);
            call = asyncPacket();
        }
        if (!ran)
            std::this_thread::sleep_for(kWorkerIdleSleep);
    }
}

aErr LinkStreams::startWorker()
{
    if (thread_.joinable())
        return aErrNone;
    worker_ = std::make_shared<WorkerState>();
    try {
        thread_ = std::thread(asyncWork, worker_);
    } catch (const std::system_error&) {
        worker_.reset();
        return aErrResource;
    }
    return aErrNone;
}

void LinkStreams::stopWorker()
{
    if (thread_.joinable()) {
        worker_->stop.store(true, std::memory_order_release);
        if (thread_.get_id() == std::this_thread::get_id())
            thread_.detach();  // a callback of this worker: its thread ends after it returns
        else
            thread_.join();
    }
    // Queued calls that did not run are released with the queue; a detached worker holds it on.
    worker_.reset();
}

void LinkStreams::setEntry(uint64_t key, const StreamCallback& callback, void* reference)
{
    std::lock_guard<std::mutex> lock(mutex_);
    StreamEntry& entry = entries_[key];
    entry.key = key;
    entry.callback = callback;
    entry.reference = reference;
}

bool LinkStreams::removeMatching(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subIndex)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (uint64_t key : selectKeys(module, command, option, index, subIndex))
        entries_.erase(key);
    return entries_.empty();
}

bool LinkStreams::empty()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.empty();
}

void LinkStreams::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
}

aErr LinkStreams::value(uint64_t key, uint32_t* out)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(key);
    if (it == entries_.end() || !it->second.sampled)
        return aErrNotFound;
    if (out)
        *out = it->second.value;
    if (it->second.fresh) {
        it->second.fresh = false;
        return aErrNone;
    }
    return aErrStreamStale;
}

void LinkStreams::status(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subIndex,
                         std::map<uint64_t, uint32_t>* out)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (uint64_t key : selectKeys(module, command, option, index, subIndex)) {
        bool concrete = true;
        for (int element = STREAM_KEY_MODULE; element <= STREAM_KEY_SUBINDEX; element++)
            concrete = concrete && Link::getStreamKeyElement(key, element) < kStreamWildcard;
        if (concrete)
            (*out)[key] = entries_[key].value;
    }
}

std::vector<uint64_t> LinkStreams::filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option,
                                                          uint8_t index, uint8_t subIndex, bool lock)
{
    if (!lock)
        return selectKeys(module, command, option, index, subIndex);
    std::lock_guard<std::mutex> guard(mutex_);
    return selectKeys(module, command, option, index, subIndex);
}

std::vector<uint64_t> LinkStreams::selectKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                              uint8_t subIndex) const
{
    std::vector<uint64_t> keys;
    for (const auto& entry : entries_)
        if (sSelects(entry.first, module, command, option, index, subIndex))
            keys.push_back(entry.first);
    return keys;
}

}  // namespace Strandix
}  // namespace Vantorix
