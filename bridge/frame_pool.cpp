#include "bridge/frame_pool.h"

#include <algorithm>
#include <utility>

FramePool::FramePool(size_t count) : slots(count + 1) {
    grown.reserve(count);
}

Bytes FramePool::take() {
    if (!grown.empty()) {
        Bytes frame = std::move(grown.back());
        grown.pop_back();
        return frame;
    }
    return takeFromRing();
}

Bytes FramePool::takeFromRing() {
    const size_t h = head.load(std::memory_order_relaxed);
    if (h == tail.load(std::memory_order_acquire)) return {};
    Bytes frame = std::move(slots[h]);
    head.store((h + 1) % slots.size(), std::memory_order_release);
    return frame;
}

void FramePool::recycle(Bytes&& frame) {
    const size_t least = minimumBytes.load(std::memory_order_relaxed);
    if (frame.capacity() < least) frame.reserve(least);
    const size_t t = tail.load(std::memory_order_relaxed);
    const size_t next = (t + 1) % slots.size();
    if (next == head.load(std::memory_order_acquire))
        return;  // full: `frame` is freed by the caller's scope
    slots[t] = std::move(frame);
    tail.store(next, std::memory_order_release);
}

void FramePool::keep(Bytes&& frame) {
    if (grown.size() < grown.capacity()) grown.push_back(std::move(frame));
}

void FramePool::growBuffers(size_t count, size_t bytes) {
    minimumBytes.store(bytes, std::memory_order_relaxed);
    for (size_t waiting = available(); waiting > 0; --waiting) grown.push_back(takeFromRing());
    grown.reserve(std::max(slots.size(), count));
    while (grown.size() < count) grown.emplace_back();
    for (Bytes& frame : grown) frame.reserve(bytes);
}

size_t FramePool::available() const {
    const size_t h = head.load(std::memory_order_acquire);
    const size_t t = tail.load(std::memory_order_acquire);
    return (t + slots.size() - h) % slots.size();
}
