#pragma once
// Where a capture source delivers its sound: audio frames on the send queue, each built in a
// buffer taken from the pool that the sender gives written frames back to. Sound goes in only
// while a link exists (currentTunnel(), link_state.h); what arrives without one is dropped.
// The bridge has one sink, over sendQ and its pool; tests make their own. Sources go through
// take, push and appendAudio, so that a frame the queue drops always stays with the capture's
// side of the pool and the capture's thread never frees.

#include <cstddef>
#include <cstdint>
#include <utility>

#include "bridge/audio_format.h"
#include "bridge/frame_pool.h"
#include "bridge/send_queue.h"

struct FrameSink {
    SendQueue& queue;
    FramePool& pool;
    // The stream format that captured sound is converted to before its 16-bit step (outFmt:
    // 32-bit float, 48000 Hz, 2 channels, non-interleaved).
    const AudioFormat& format;

    // A buffer for the next frame (capture's side of the pool).
    Bytes take() { return pool.take(); }
    // Queues a whole frame; frames it pushes out stay in the pool.
    void push(Bytes frame) { queue.push(std::move(frame), &pool); }
    // Joins audio to the newest queued frame while the sender lags (SendQueue::appendAudio).
    bool appendAudio(const uint8_t* samples, size_t bytes, size_t mostPayload) {
        return queue.appendAudio(samples, bytes, mostPayload, &pool);
    }
};
