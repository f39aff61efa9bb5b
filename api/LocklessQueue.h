// A bounded ring for exactly one producer thread and exactly one consumer thread, without locks:
// the head index belongs to the producer, the tail index to the consumer, and each index is
// published only after its slot has been written (push) or read (pop). Head equal to tail means
// empty, so a ring of n slots holds at most n - 1 items.
#ifndef SX_API_LOCKLESSQUEUE_H
#define SX_API_LOCKLESSQUEUE_H

#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

namespace Vantorix {

template <typename T>
class LocklessQueue_SPSC {
  public:
    // capacity: number of slots, 2 to 65535.
    explicit LocklessQueue_SPSC(uint16_t capacity) : capacity_(capacity < 2 ? 2 : capacity), slots_(capacity_)
    {
    }
    LocklessQueue_SPSC(const LocklessQueue_SPSC&) = delete;
    LocklessQueue_SPSC& operator=(const LocklessQueue_SPSC&) = delete;

    uint16_t capacity() const { return capacity_; }

    // Producer only. False, leaving item untouched, when the ring is full.
    bool push(T&& item)
    {
        const uint16_t head = head_.load(std::memory_order_relaxed);
        const uint16_t next = _increment(head);
        if (next == tail_.load(std::memory_order_acquire))
            return false;
        slots_[next] = std::move(item);
        head_.store(next, std::memory_order_release);
        return true;
    }

    // Consumer only. False when the ring is empty.
    bool pop(T& out)
    {
        const uint16_t tail = tail_.load(std::memory_order_relaxed);
        if (tail == head_.load(std::memory_order_acquire))
            return false;
        const uint16_t next = _increment(tail);
        out = std::move(slots_[next]);
        slots_[next] = T();
        tail_.store(next, std::memory_order_release);
        return true;
    }

    // Either side; only a snapshot while the other side works.
    bool empty() const { return head_.load(std::memory_order_acquire) == tail_.load(std::memory_order_acquire); }

  private:
    uint16_t _increment(uint16_t i) const { return (uint16_t)(i + 1 >= capacity_ ? 0 : i + 1); }

    const uint16_t capacity_;
    std::vector<T> slots_;
    std::atomic<uint16_t> head_{0};
    std::atomic<uint16_t> tail_{0};
};

}  // namespace Vantorix

#endif
