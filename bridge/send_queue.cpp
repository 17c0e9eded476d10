#include "bridge/send_queue.h"

#include <cstring>
#include <utility>

#include "common/atomic_max.h"
#include "common/frame_header.h"

size_t sampleFramesIn(const Bytes& frame) {
    using namespace qw::wire;
    return frame.size() > kHeaderSize ? (frame.size() - kHeaderSize) / kBytesPerFrame : 0;
}

SendQueue::SendQueue() : ring(kSendQueueLimit) {}

void SendQueue::dropOldest(FramePool* dropsTo) {
    Bytes dropped = std::move(ring[first]);
    first = (first + 1) % ring.size();
    --count;
    sampleFrames -= sampleFramesIn(dropped);
    if (dropsTo != nullptr) dropsTo->keep(std::move(dropped));
}

void SendQueue::dropBeyondTime(FramePool* dropsTo) {
    while (count > 1 && sampleFrames > kSendQueueSampleLimit) dropOldest(dropsTo);
}

void SendQueue::recordDepth() {
    qw::raiseAtomicMax(maxDepth, static_cast<int64_t>(count));
    qw::raiseAtomicMax(maxDepthSampleFrames, static_cast<int64_t>(sampleFrames));
}

void SendQueue::push(Bytes frame, FramePool* dropsTo) {
    const size_t added = sampleFramesIn(frame);
    std::lock_guard lock(mutex);
    const bool wasEmpty = count == 0;
    if (count == ring.size()) dropOldest(dropsTo);
    ring[(first + count) % ring.size()] = std::move(frame);
    ++count;
    sampleFrames += added;
    dropBeyondTime(dropsTo);
    recordDepth();
    // The consumer only ever waits on an empty queue, so only the first frame needs to wake it.
    if (wasEmpty) cond.notify_one();
}

bool SendQueue::appendAudio(const uint8_t* samples, size_t bytes, size_t mostPayload,
                            FramePool* dropsTo) {
    using namespace qw::wire;
    std::lock_guard lock(mutex);
    if (count == 0 || bytes % kBytesPerFrame != 0) return false;
    Bytes& newest = ring[(first + count - 1) % ring.size()];
    if (newest.size() < kHeaderSize || newest[kLengthFieldSize] != uint8_t(FrameType::audio)) {
        return false;
    }
    const size_t payload = newest.size() - kHeaderSize + bytes;
    if (payload > mostPayload || kHeaderSize + payload > newest.capacity()) return false;
    const size_t end = newest.size();
    newest.resize(kHeaderSize + payload);  // within its capacity: no allocation
    std::memcpy(newest.data() + end, samples, bytes);
    writeFrameHeader(newest.data(), FrameType::audio, payload);
    sampleFrames += bytes / kBytesPerFrame;
    dropBeyondTime(dropsTo);
    recordDepth();
    return true;
}

void SendQueue::drain(std::vector<Bytes>& batch) {
    std::unique_lock lock(mutex);
    cond.wait(lock, [this] { return count > 0; });
    for (; count > 0; --count) {
        batch.push_back(std::move(ring[first]));
        first = (first + 1) % ring.size();
    }
    sampleFrames = 0;
}

std::vector<Bytes> SendQueue::drain() {
    std::vector<Bytes> batch;
    batch.reserve(kSendQueueLimit);
    drain(batch);
    return batch;
}
