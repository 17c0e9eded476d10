#pragma once
// Where a capture source delivers its sound: audio frames on the send queue, each built in a
// buffer taken from the pool that the sender gives written frames back to. Sound goes in only
// while a link exists (currentTunnel(), link_state.h); what arrives without one is dropped.
// The bridge has one sink, over sendQ and its pool; tests make their own.

#include "bridge/audio_format.h"
#include "bridge/frame_pool.h"
#include "bridge/send_queue.h"

struct FrameSink {
    SendQueue& queue;
    FramePool& pool;
    // The stream format that captured sound is converted to before its 16-bit step (outFmt:
    // 32-bit float, 48000 Hz, 2 channels, non-interleaved).
    const AudioFormat& format;
};
