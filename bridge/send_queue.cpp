#include "send_queue.h"

#include <utility>

#include "common/atomic_max.h"

SendQueue::SendQueue() {
    items.reserve(kSendQueueLimit + 1);
}

void SendQueue::push(Bytes frame) {
    std::lock_guard lock(mutex);
    items.push_back(std::move(frame));
    if (items.size() > kSendQueueLimit) {
        items.erase(items.begin(),
                    items.begin() + static_cast<std::ptrdiff_t>(items.size() - kSendQueueLimit));
    }
    qw::raiseAtomicMax(maxDepth, static_cast<int64_t>(items.size()));
    cond.notify_one();
}

std::vector<Bytes> SendQueue::drain() {
    // The replacement list is allocated here, on the consumer's side, so the swap below leaves
    // the queue with its full capacity and push keeps allocating nothing for the list.
    std::vector<Bytes> batch;
    batch.reserve(kSendQueueLimit + 1);
    std::unique_lock lock(mutex);
    cond.wait(lock, [this] { return !items.empty(); });
    items.swap(batch);
    return batch;
}
