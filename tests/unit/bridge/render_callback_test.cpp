// The render callback against a fake input unit and a fake host clock (bridge_core does not
// link the platform libraries, so this test supplies AudioUnitRender and the clock itself).

// The counting operator new below pairs malloc with free; GCC cannot see that through inlining.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

#include "bridge/capture/coreaudio/render_callback.h"

#include <gtest/gtest.h>
#include <mach/mach_time.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <vector>

#include "bridge/capture.h"
#include "bridge/frame.h"
#include "bridge/frame_pool.h"
#include "bridge/globals.h"
#include "bridge/link_state.h"
#include "published_link.h"
#include "signal_analysis.h"

namespace {

uint64_t gFakeNow = 1'000'000'000;

// What the fake unit renders: sample frame i of channel c is gSignal(c, gRendered + i).
float (*gSignal)(uint32_t channel, uint64_t index) = [](uint32_t, uint64_t) { return 0.0f; };
uint64_t gRendered = 0;
int gRenderCalls = 0;
OSStatus gRenderStatus = 0;
struct RenderArgs {
    AudioUnit unit;
    AudioUnitRenderActionFlags* flags;
    const AudioTimeStamp* timeStamp;
    UInt32 bus;
    UInt32 frames;
    AudioBufferList* list;
} gLastRender{};

// Counts heap allocations made on this thread while armed.
thread_local bool gCountAllocations = false;
std::atomic<int> gAllocations{0};
std::atomic<int> gFrees{0};

}  // namespace

extern "C" uint64_t mach_absolute_time(void) {
    return gFakeNow;
}
extern "C" kern_return_t mach_timebase_info(mach_timebase_info_t info) {
    info->numer = 1;
    info->denom = 1;
    return KERN_SUCCESS;
}

extern "C" OSStatus AudioUnitRender(AudioUnit unit, AudioUnitRenderActionFlags* flags,
                                    const AudioTimeStamp* timeStamp, UInt32 bus, UInt32 frames,
                                    AudioBufferList* list) {
    ++gRenderCalls;
    gLastRender = {unit, flags, timeStamp, bus, frames, list};
    if (gRenderStatus != 0) return gRenderStatus;
    for (UInt32 b = 0; b < list->mNumberBuffers; ++b) {
        auto* dst = static_cast<float*>(list->mBuffers[b].mData);
        for (UInt32 i = 0; i < list->mBuffers[b].mDataByteSize / 4; ++i) {
            dst[i] = gSignal(b, gRendered + i);
        }
    }
    gRendered += frames;
    return 0;
}

void* operator new(size_t size) {
    if (gCountAllocations) ++gAllocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    if (gCountAllocations && p != nullptr) ++gFrees;
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    if (gCountAllocations && p != nullptr) ++gFrees;
    std::free(p);
}

namespace {

AudioStreamBasicDescription clientFormat(double rate) {
    AudioStreamBasicDescription d{};
    d.mSampleRate = rate;
    d.mFormatID = kAudioFormatLinearPCM;
    d.mFormatFlags = 41;
    d.mBytesPerPacket = 4;
    d.mFramesPerPacket = 1;
    d.mBytesPerFrame = 4;
    d.mChannelsPerFrame = 2;
    d.mBitsPerChannel = 32;
    return d;
}

int16_t sampleAt(const Bytes& frame, size_t index) {
    return static_cast<int16_t>(frame.at(5 + 2 * index) | frame.at(6 + 2 * index) << 8);
}

class RenderCallback : public ::testing::Test {
  protected:
    void SetUp() override {
        gFakeNow = 1'000'000'000;
        gRendered = 0;
        gRenderCalls = 0;
        gRenderStatus = 0;
        gSignal = [](uint32_t, uint64_t) { return 0.0f; };
    }
    void TearDown() override {
        setLink(false);
        drainAll();
    }
    // A link up, as the link supervisor publishes it, or none.
    void setLink(bool up) {
        link.reset();
        if (up) link.emplace();
    }
    void prepare(double rate) {
        prepareCapture(c, clientFormat(rate), sink);
        c.unit = reinterpret_cast<AudioUnit>(&unitTag);
    }
    OSStatus call(UInt32 frames) {
        return renderCallback(&c, &flags, &timeStamp, 1, frames, nullptr);
    }
    // Everything queued so far (a push is needed first when nothing is queued: drain waits).
    std::vector<Bytes> drainAll() {
        queue.push(makeFrame(FrameType::report, {}));
        auto batch = queue.drain();
        batch.pop_back();
        return batch;
    }

    SendQueue queue;
    FramePool pool;
    AudioFormat out = *makeOutputFormat();
    FrameSink sink{queue, pool, out};
    std::optional<PublishedLink> link;
    Capture c;
    int unitTag = 0;
    AudioUnitRenderActionFlags flags = 0;
    AudioTimeStamp timeStamp{};
};

TEST_F(RenderCallback, MeasuresTheGapBetweenCallsFromTheSecondCallOn) {
    prepare(48000);
    EXPECT_EQ(call(256), 0);
    EXPECT_EQ(c.maxGapMs.load(), 0.0);  // the first call records no gap
    EXPECT_EQ(c.lastCbNs, 1'000'000'000u);
    gFakeNow += 5'333'334;
    call(256);
    EXPECT_DOUBLE_EQ(c.maxGapMs.load(), 5.333334);
    gFakeNow += 1'000'000;  // a shorter gap does not lower the worst one
    call(256);
    EXPECT_DOUBLE_EQ(c.maxGapMs.load(), 5.333334);
    c.maxGapMs.store(0.0);  // as the statistics reporter does
    gFakeNow += 2'000'000;
    call(256);
    EXPECT_DOUBLE_EQ(c.maxGapMs.load(), 2.0);
}

TEST_F(RenderCallback, WithoutALinkItRendersButQueuesNothing) {
    prepare(48000);
    call(256);
    gFakeNow += 5'000'000;
    call(256);
    EXPECT_EQ(gRenderCalls, 2);
    EXPECT_DOUBLE_EQ(c.maxGapMs.load(), 5.0);
    EXPECT_EQ(c.inBuf->frameLength(), 256u);
    EXPECT_EQ(queue.maxDepth.load(), 0);
    EXPECT_TRUE(drainAll().empty());
}

TEST_F(RenderCallback, PassesItsOwnArgumentsToTheUnitAndRendersIntoTheCaptureBuffer) {
    prepare(48000);
    call(256);
    EXPECT_EQ(gLastRender.unit, c.unit);
    EXPECT_EQ(gLastRender.flags, &flags);
    EXPECT_EQ(gLastRender.timeStamp, &timeStamp);
    EXPECT_EQ(gLastRender.bus, 1u);
    EXPECT_EQ(gLastRender.frames, 256u);
    ASSERT_EQ(gLastRender.list, c.abl);
    ASSERT_EQ(c.abl->mNumberBuffers, 2u);
    for (int b = 0; b < 2; ++b) {
        EXPECT_EQ(c.abl->mBuffers[b].mNumberChannels, 1u);
        EXPECT_EQ(c.abl->mBuffers[b].mDataByteSize, 1024u);
        EXPECT_EQ(c.abl->mBuffers[b].mData, c.inBuf->floatChannelData()[b]);
    }
}

TEST_F(RenderCallback, FailedRenderTooManyFramesAndMissingPiecesQueueNothing) {
    prepare(48000);
    setLink(true);
    gRenderStatus = -10863;
    EXPECT_EQ(call(256), 0);
    EXPECT_EQ(gRenderCalls, 1);

    gRenderStatus = 0;
    gFakeNow += 3'000'000;
    EXPECT_EQ(call(8193), 0);  // more than the capture buffer holds: not rendered
    EXPECT_EQ(gRenderCalls, 1);
    EXPECT_DOUBLE_EQ(c.maxGapMs.load(), 3.0);  // but the gap is still measured

    c.conv.reset();  // no converter: rendered, not queued
    call(256);
    EXPECT_EQ(gRenderCalls, 2);
    c.unit = nullptr;  // no unit: not even rendered
    call(256);
    EXPECT_EQ(gRenderCalls, 2);
    EXPECT_TRUE(drainAll().empty());

    Capture empty;  // nothing set up at all: only the clock is read
    gFakeNow += 1'000'000;
    EXPECT_EQ(renderCallback(&empty, &flags, &timeStamp, 1, 256, nullptr), 0);
    EXPECT_EQ(empty.lastCbNs, gFakeNow);
    EXPECT_EQ(gRenderCalls, 2);
}

TEST_F(RenderCallback, OutputCapacityFollowsTheRateRatioPlus32) {
    setLink(true);
    prepare(48000);
    call(256);
    EXPECT_EQ(c.outBuf->frameCapacity(), 288u);
    EXPECT_EQ(c.outBuf->frameLength(), 256u);  // equal rates: every frame, at once
    call(8192);
    EXPECT_EQ(c.outBuf->frameCapacity(), 8224u);

    Capture c44;
    prepareCapture(c44, clientFormat(44100), sink);
    c44.unit = c.unit;
    renderCallback(&c44, &flags, &timeStamp, 1, 256, nullptr);
    EXPECT_EQ(c44.outBuf->frameCapacity(), 310u);  // 278 + 32
    EXPECT_LE(c44.outBuf->frameLength(), 279u);
    EXPECT_EQ(drainAll().size(), 3u);
}

TEST_F(RenderCallback, FrameCarriesBothChannelsAlternatelyAsLittleEndian16Bit) {
    setLink(true);
    prepare(48000);
    gSignal = [](uint32_t ch, uint64_t i) { return i == 0 ? (ch == 0 ? 0.5f : -0.5f) : 0.0f; };
    call(2);
    const auto frames = drainAll();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], (Bytes{9, 0, 0, 0, 1, 0xFF, 0x3F, 0x01, 0xC0, 0, 0, 0, 0}));
}

TEST_F(RenderCallback, ZeroConvertedFramesStillQueueAnEmptyAudioFrame) {
    setLink(true);
    prepare(44100);
    call(0);
    const auto frames = drainAll();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], (Bytes{1, 0, 0, 0, 1}));
}

TEST(StreamSample, MapsFloatsTo16BitAsSpecifiedAtTheEdges) {
    const struct {
        float in;
        int16_t out;
    } cases[] = {{1.0f, 32767},       {-1.0f, -32767},   {0.5f, 16383},       {-0.5f, -16383},
                 {2.0f, 32767},       {-2.0f, -32767},   {NAN, 32767},        {0.00001f, 0},
                 {-0.00001f, 0},      {INFINITY, 32767}, {-INFINITY, -32767}, {1.0f / 32767, 1},
                 {-1.0f / 32767, -1}, {0.0f, 0}};
    for (const auto& c : cases) EXPECT_EQ(toStreamSample(c.in), c.out) << c.in;
}

TEST(StreamSample, WrittenFrameEqualsMakeFrameOfTheSamePayload) {
    std::vector<float> left, right;
    Bytes payload;
    for (int i = 0; i < 300; ++i) {
        left.push_back(std::sin(i * 0.1f) * 1.2f);
        right.push_back(std::cos(i * 0.37f) * 0.9f);
        for (float v : {left.back(), right.back()}) {
            const auto s = static_cast<uint16_t>(toStreamSample(v));
            payload.push_back(static_cast<uint8_t>(s));
            payload.push_back(static_cast<uint8_t>(s >> 8));
        }
    }
    Bytes frame(5000, 0xAA);  // a recycled buffer, larger and dirty
    writeAudioFrame(frame, left.data(), right.data(), 300);
    EXPECT_EQ(frame, makeFrame(FrameType::audio, payload));
}

TEST_F(RenderCallback, A44100SineArrivesAt48000WithHighSnr) {
    setLink(true);
    prepare(44100);
    gSignal = [](uint32_t ch, uint64_t i) {
        return static_cast<float>((ch == 0 ? 0.5 : -0.25) * std::sin(2 * M_PI * 997.0 * i / 44100));
    };
    std::vector<int16_t> left, right;
    for (int k = 0; k < 400; ++k) {
        call(256);
        for (const Bytes& f : drainAll()) {
            ASSERT_EQ((f.size() - 5) % 4, 0u);
            for (size_t i = 0; i < (f.size() - 5) / 2; i += 2) {
                left.push_back(sampleAt(f, i));
                right.push_back(sampleAt(f, i + 1));
            }
        }
    }
    EXPECT_NEAR(double(left.size()), 400 * 256 * 48000.0 / 44100.0, 2.0);
    const auto l = fitSine(left, 997.0 / 48000.0, 4800, 32767.0);
    const auto r = fitSine(right, 997.0 / 48000.0, 4800, 32767.0);
    EXPECT_GT(l.snrDb, 85.0);
    EXPECT_NEAR(l.amplitude, 0.5, 0.001);
    EXPECT_NEAR(r.amplitude, 0.25, 0.001);
    EXPECT_NEAR(std::remainder(r.phase - l.phase, 2 * M_PI), M_PI, 0.001);  // inverted channel
}

TEST_F(RenderCallback, SteadyStateCallsAllocateNothingWhileFramesComeBack) {
    setLink(true);
    for (double rate : {48000.0, 44100.0}) {
        prepare(rate);
        for (int k = 0; k < 600; ++k) {
            gCountAllocations = true;
            call(256);
            gCountAllocations = false;
            if (k % 4 == 3) {  // a sender draining every few callbacks and giving frames back
                for (Bytes& f : drainAll()) pool.recycle(std::move(f));
            }
            if (k == 99) gAllocations = 0;  // warm-up over
        }
        EXPECT_EQ(gAllocations.load(), 0) << rate;
    }
}

// The sender is stuck writing a full batch while the callback runs on for 2 s: the queue stays
// at 256 frames, dropping the oldest, and the audio thread neither allocates nor frees (the
// dropped frames' memory stays with it for its next frames).
TEST_F(RenderCallback, ThroughATwoSecondSenderStallNothingIsAllocatedOrFreed) {
    setLink(true);
    for (double rate : {48000.0, 44100.0}) {
        prepare(rate);
        for (int k = 0; k < 256; ++k) call(256);
        std::vector<Bytes> inTheSendersHands = drainAll();
        queue.maxDepth = 0;
        gAllocations = 0;
        gFrees = 0;
        const int calls = static_cast<int>(2 * rate / 256);
        gCountAllocations = true;
        for (int k = 0; k < calls; ++k) call(256);
        gCountAllocations = false;
        EXPECT_EQ(gAllocations.load(), 0) << rate;
        EXPECT_EQ(gFrees.load(), 0) << rate;
        EXPECT_EQ(queue.maxDepth.load(), 256) << rate;
        EXPECT_EQ(drainAll().size(), 255u);  // drainAll's marker frame pushed the oldest out
        for (Bytes& f : inTheSendersHands) pool.recycle(std::move(f));
    }
}

}  // namespace

TEST_F(RenderCallback, TenSecondsOfExactZerosWithALinkUpGiveTheSilenceNoticeOnce) {
    prepare(48000);
    const auto calls = [this](int n) {
        for (int i = 0; i < n; ++i) call(256);
        drainAll();
    };
    calls(4000);  // without a link nothing counts
    setLink(true);
    calls(1874);  // 256 frames at 48000 Hz: 1875 calls make 10 s (nanoseconds rounded down)
    EXPECT_FALSE(c.silence.takeNotice());
    // A single sample off zero, in the right channel only, starts the count again.
    gSignal = [](uint32_t channel, uint64_t index) {
        return channel == 1 && index == 1874 * 256 + 4000 * 256 + 100 ? -1e-30f : 0.0f;
    };
    calls(1);
    gSignal = [](uint32_t, uint64_t) { return -0.0f; };  // negative zero is silence too
    calls(1874);
    EXPECT_FALSE(c.silence.takeNotice());
    setLink(false);
    calls(100);
    setLink(true);
    calls(2);  // the link's absence paused the count, it did not restart it
    EXPECT_TRUE(c.silence.takeNotice());
    EXPECT_FALSE(c.silence.takeNotice());  // once per run
    calls(3000);
    EXPECT_FALSE(c.silence.takeNotice());
}
