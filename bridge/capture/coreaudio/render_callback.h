#pragma once
// The audio-thread half of the bridge: called by the input unit once per device buffer.

#include <AudioToolbox/AudioToolbox.h>

#include <cstdint>

#include "bridge/fd_io.h"

// Records the gap since the previous call, renders the frames into c.inBuf and, while a link
// exists, notes in c.silence whether they were all zeros, converts them to the sink's format,
// turns them into 16-bit samples and queues one audio frame on the sink's queue (sendQ), in a
// buffer from its pool. `inRefCon` is the Capture `c` (cap).
// Returns 0 on every path. Takes no lock but gLock (one read) and the queue's (one push); allocates
// nothing once frame buffers circulate.
OSStatus renderCallback(void* inRefCon, AudioUnitRenderActionFlags* ioActionFlags,
                        const AudioTimeStamp* inTimeStamp, UInt32 inBusNumber,
                        UInt32 inNumberFrames, AudioBufferList* ioData);

// One float sample as a 16-bit stream sample: scaled by 32767, clamped to -32767..32767 (a
// sample that is not a number gives 32767), truncated toward zero. Written as two selects (the
// shape of min/max instructions) so that loops over it vectorise.
inline int16_t toStreamSample(float v) {
    float x = v * 32767.0f;
    x = x < 32767.0f ? x : 32767.0f;  // below 32767 the larger of x and -32767; else 32767
    x = x > -32767.0f ? x : -32767.0f;
    return static_cast<int16_t>(static_cast<int32_t>(x));
}

// Overwrites `frame` with a complete audio frame holding the first `frames` sample frames of
// the two channels, interleaved, 16-bit little-endian: the same bytes as makeFrame(audio,
// payload). Reuses the frame's memory when it is large enough.
void writeAudioFrame(Bytes& frame, const float* left, const float* right, uint32_t frames);
