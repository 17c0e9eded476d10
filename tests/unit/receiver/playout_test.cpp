// The receiver core over a simulated link: drift following, the buffer's target in fixed and
// automatic mode, underruns, overruns and new connections.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <string>

#include "simulated_link.h"
#include "sine_windows.h"

// Any allocation of this program can be made to fail: the nth from now, or none (0).
namespace {
std::atomic<long> gFailAllocationIn{0};
}  // namespace

// (Replaced, operator new and delete are malloc and free: GCC, once it inlines them, takes free
// for a mismatch with the built-in new.)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
    if (gFailAllocationIn.load(std::memory_order_relaxed) > 0 &&
        gFailAllocationIn.fetch_sub(1) == 1) {
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace {

struct Lock {
    double seconds = -1;  // when the estimate came within 10 ppm and stayed
    double minLevelMs = 1e9, maxLevelMs = -1e9;
};

// Runs 60 simulated seconds and follows the figures once per simulated 100 ms.
Lock runAndFollow(SimulatedLink& link, double ppm) {
    Lock lock;
    double nextLook = 0;
    link.onPull = [&](double t) {
        if (t < nextLook) return;
        nextLook += 0.1;
        const auto f = link.figures();
        const bool near = std::abs(f.drift_ppm - ppm) < 10;
        if (!near) lock.seconds = -1;
        if (near && lock.seconds < 0) lock.seconds = t;
        if (t > 40) {
            lock.minLevelMs = std::min(lock.minLevelMs, f.buffer_ms);
            lock.maxLevelMs = std::max(lock.maxLevelMs, f.buffer_ms);
        }
    };
    link.run(60);
    return lock;
}

class DriftFollowing : public ::testing::TestWithParam<double> {};

TEST_P(DriftFollowing, LocksWithoutUnderrunsAndHoldsTheTarget) {
    const double ppm = GetParam();
    SimulatedLink link(ppm, 5.0, false);
    const Lock lock = runAndFollow(link, ppm);
    const auto f = link.figures();
    EXPECT_GE(lock.seconds, 0) << "estimate " << f.drift_ppm << " for " << ppm;
    EXPECT_LT(lock.seconds, 10) << "took too long to lock";
    EXPECT_NEAR(f.drift_ppm, ppm, 10);
    EXPECT_EQ(f.underruns, 0u);
    EXPECT_EQ(f.overruns, 0u);
    // After lock the smoothed level stays close to the target, at every skew (the correction's
    // limit, 2000 ppm, leaves room to steer the level even at ±1000 ppm).
    EXPECT_GT(lock.minLevelMs, 5.0 - 0.5);
    EXPECT_LT(lock.maxLevelMs, 5.0 + 0.5);
    EXPECT_LT(lock.maxLevelMs - lock.minLevelMs, 0.5);
    // Every frame the sender sent came out, resampled: inputs consumed match the outputs.
    EXPECT_NEAR(static_cast<double>(f.frames_in) - f.buffer_ms * 48,
                static_cast<double>(f.frames_out) / (1 + ppm * 1e-6), 2 * 48 + 256);
}

INSTANTIATE_TEST_SUITE_P(Ppm, DriftFollowing, ::testing::Values(-1000.0, -300.0, 300.0, 1000.0),
                         [](const ::testing::TestParamInfo<double>& param) {
                             return std::string(param.param < 0 ? "minus" : "plus") +
                                    std::to_string(static_cast<int>(std::abs(param.param)));
                         });

TEST(ReceiverPlayout, SineAtPlus300PpmIsCleanInEveryWindowAfterLockAtTheSkewedPitch) {
    SimulatedLink link(300, 5.0, true);
    link.run(35);
    const auto f = link.figures();
    ASSERT_EQ(f.underruns, 0u);
    // The output, read at its nominal 48 kHz, carries 1000 Hz / (1 + 300e-6) = 999.70 Hz.
    // The loop has narrowed after 30 s.
    const size_t from = static_cast<size_t>(30 * link.outputRate());
    const auto fits = fitWindows(link.left, from, 4800, 48000, 999.70, 0.1);
    ASSERT_GE(fits.size(), 45u);
    double worst = 1e9, meanHz = 0;
    for (const auto& w : fits) {
        worst = std::min(worst, w.fit.snrDb);
        meanHz += w.hz / static_cast<double>(fits.size());
        EXPECT_NEAR(w.hz, 1000.0 / 1.0003, 0.02);
        EXPECT_NEAR(w.fit.amplitude, 0.5, 0.001);
    }
    EXPECT_GT(worst, 80.0);
    EXPECT_NEAR(meanHz, 1000.0 / 1.0003, 0.01);
}

TEST(ReceiverPlayout, UnderrunFadesOutCountsRaisesTheTargetAndFadesBackIn) {
    SimulatedLink link(0, 5.0, true);
    link.run(3);
    ASSERT_EQ(link.figures().underruns, 0u);
    EXPECT_DOUBLE_EQ(link.figures().target_ms, 5.0);
    const size_t before = link.left.size();
    link.run(0.05, false);  // the sender stalls for 50 ms
    link.run(1);
    const auto f = link.figures();
    EXPECT_EQ(f.underruns, 1u);
    EXPECT_DOUBLE_EQ(f.target_ms, 8.0);
    // The sound ends and restarts smoothly: no step between neighbouring samples much larger
    // than the sine's own (2π·1000/48000·0.5 ≈ 0.065; the resampler's filter, restarting, may
    // overshoot a little), where a click would jump by up to the full 0.5; and a stretch of true
    // silence between.
    size_t silentRun = 0, longestSilence = 0;
    for (size_t i = before; i < link.left.size(); ++i) {
        EXPECT_LT(std::abs(link.left[i] - link.left[i - 1]), 0.1f) << "at " << i - before;
        silentRun = link.left[i] == 0.0f ? silentRun + 1 : 0;
        longestSilence = std::max(longestSilence, silentRun);
    }
    EXPECT_GT(longestSilence, 48u * 40);
    // Sound is back at full level afterwards.
    const auto tail = fitWindow(link.left, link.left.size() - 4800, 4800, 48000, 1000, 0.5);
    EXPECT_NEAR(tail.fit.amplitude, 0.5, 0.001);
}

TEST(ReceiverPlayout, AutomaticTargetHoldsWhileTheJitterIsRecentThenComesBackToItsFloor) {
    SimulatedLink automatic(0, 5.0, true), fixed(0, 5.0, false);
    for (SimulatedLink* link : {&automatic, &fixed}) {
        link->run(2);
        link->run(0.05, false);
        link->run(0.5);
        link->run(0.05, false);  // two disturbances a second apart: two raises
        link->run(1);
    }
    EXPECT_DOUBLE_EQ(automatic.figures().target_ms, 11.0);
    EXPECT_EQ(automatic.figures().underruns, 2u);
    EXPECT_DOUBLE_EQ(fixed.figures().target_ms, 5.0);
    EXPECT_EQ(fixed.figures().underruns, 2u);
    // Held while the raise and the 50 ms gaps in the arrivals are recent (5 s, 10 s: both came
    // within one second, so they are not stalls that keep coming), then down steadily (1 ms a
    // second, 6 s from 11 ms) to the floor it started from, and never below.
    automatic.run(6);
    EXPECT_DOUBLE_EQ(automatic.figures().target_ms, 11.0);
    automatic.run(20);
    EXPECT_DOUBLE_EQ(automatic.figures().target_ms, 5.0);
    automatic.run(60);
    EXPECT_DOUBLE_EQ(automatic.figures().target_ms, 5.0);
    EXPECT_EQ(automatic.figures().underruns, 2u);
    EXPECT_EQ(automatic.figures().overruns, 0u);
    EXPECT_NEAR(automatic.figures().buffer_ms, 5.0, 0.5);
}

// Below what the sender's and the output's piece sizes need (half of each, plus a
// millisecond), the configured target gives way to that; an underrun raises the target from
// there, and it comes back down to it.
TEST(ReceiverPlayout, AutomaticTargetKeepsWhatThePieceSizesNeedAndRaisesFromThere) {
    for (const uint32_t arrival : {256u, 64u}) {
        SimulatedLink link(300, 1.0, true, arrival, 48);
        const double needMs = 0.5 * (arrival + 48) / 48.0 + 1.0;
        link.run(20);
        auto f = link.figures();
        EXPECT_NEAR(f.target_ms, needMs, 1e-3) << arrival;
        EXPECT_NEAR(f.buffer_ms, needMs, 0.5) << arrival;
        EXPECT_EQ(f.underruns, 0u) << arrival;
        link.run(0.05, false);
        link.run(1);
        f = link.figures();
        EXPECT_EQ(f.underruns, 1u) << arrival;
        EXPECT_NEAR(f.target_ms, needMs + 3.0, 1e-3) << arrival;
        link.run(130);
        f = link.figures();
        EXPECT_NEAR(f.target_ms, needMs, 1e-3) << arrival;
        EXPECT_NEAR(f.buffer_ms, needMs, 0.5) << arrival;
        EXPECT_EQ(f.underruns, 1u) << arrival;
    }
}

TEST(ReceiverPlayout, TargetComingDownMovesNeitherTheEstimateNorThePitchAbruptly) {
    SimulatedLink link(300, 5.0, true);
    link.run(20);
    double worstDrift = 0;
    link.onPull = [&](double) {
        worstDrift = std::max(worstDrift, std::abs(link.figures().drift_ppm - 300));
    };
    link.run(0.05, false);  // an underrun raises the target to 8 ms
    link.run(40);           // held for 10 s, then down to 5 ms within about 6 s
    EXPECT_EQ(link.figures().underruns, 1u);
    EXPECT_DOUBLE_EQ(link.figures().target_ms, 5.0);
    // The estimate comes from the clocks' timelines: the level's drain does not move it.
    EXPECT_LT(worstDrift, 1.0);
    // While the target comes down and the level follows, the pitch moves gently (the level's
    // pull, at most 200 ppm, low-passed): no window shows a jump (a step of the ratio would:
    // about 56 dB for 35 ppm).
    double worst = 1e9;
    const auto from = static_cast<size_t>(25 * link.outputRate());
    for (size_t at = from; at < from + 15 * 48000; at += 4800) {
        const auto w = fitWindow(link.left, at, 4800, 48000, 999.70, 1.0);
        worst = std::min(worst, w.fit.snrDb);
        EXPECT_NEAR(w.hz, 999.70, 0.21);
    }
    EXPECT_GT(worst, 80.0);
    EXPECT_NEAR(link.figures().buffer_ms, 5.0, 1.0);
}

TEST(ReceiverPlayout, BurstBeyondTheBoundDropsTheOldestOnce) {
    SimulatedLink link(0, 5.0, false);
    link.run(2);
    for (int i = 0; i < 3; ++i) link.send(8000);  // half a second at once
    link.run(0.5);
    auto f = link.figures();
    EXPECT_EQ(f.overruns, 1u);
    EXPECT_EQ(f.underruns, 0u);
    link.run(10);
    f = link.figures();
    EXPECT_NEAR(f.buffer_ms, 5.0, 0.5);
    EXPECT_EQ(f.overruns, 1u);
}

TEST(ReceiverPlayout, NewConnectionStartsFromAFreshBufferWithNoStaleAudio) {
    SimulatedLink link(0, 20.0, false);
    link.signal = [](uint64_t) { return int16_t{1000}; };
    link.run(2);
    const size_t before = link.left.size();
    // The old connection's audio is still buffered (20 ms) when the new one comes.
    qw_receiver_new_connection(link.receiver());
    link.signal = [](uint64_t) { return int16_t{-2000}; };
    link.run(2);
    const float oldLevel = 1000 / 32768.0f;
    bool newSeen = false;
    for (size_t i = before + 64; i < link.left.size(); ++i) {
        // One pull may already have been under way; after it, nothing old.
        EXPECT_LE(link.left[i], 0.0f) << "old audio at " << i - before;
        newSeen = newSeen || link.left[i] < -1900 / 32768.0f;
        if (link.left[i] > oldLevel / 2) break;
    }
    EXPECT_TRUE(newSeen);
    const auto f = link.figures();
    EXPECT_EQ(f.connections, 2u);
    EXPECT_EQ(f.underruns, 0u);
    EXPECT_NEAR(f.buffer_ms, 20.0, 1.0);
}

TEST(ReceiverInterface, ConfigurationReportAndExactPulls) {
    // Each refusal names its reason, in words of its own; the defaults make a working receiver.
    const qw_receiver_config defaults = qw_receiver_config_init(44100);
    EXPECT_EQ(defaults.output_rate, 44100);
    EXPECT_EQ(defaults.latency_ms, 5.0);
    EXPECT_EQ(defaults.automatic, 1);
    std::set<std::string> texts;
    const auto refused = [&](const qw_receiver_config* config) {
        int error = -1;
        EXPECT_EQ(qw_receiver_create(config, &error), nullptr);
        texts.insert(qw_receiver_strerror(error));
        return error;
    };
    qw_receiver_config bad = defaults;
    bad.latency_ms = -1;
    EXPECT_EQ(refused(&bad), QW_RECEIVER_ERROR_LATENCY);
    bad.latency_ms = std::nan("");
    EXPECT_EQ(refused(&bad), QW_RECEIVER_ERROR_LATENCY);
    bad = defaults;
    bad.output_rate = 0;
    EXPECT_EQ(refused(&bad), QW_RECEIVER_ERROR_OUTPUT_RATE);
    EXPECT_EQ(refused(nullptr), QW_RECEIVER_ERROR_NO_CONFIG);
    EXPECT_EQ(qw_receiver_create(nullptr, nullptr), nullptr);  // the error slot is optional
    int error = -1;
    qw_receiver* fine = qw_receiver_create(&defaults, &error);
    EXPECT_EQ(error, QW_RECEIVER_SUCCESS);
    ASSERT_NE(fine, nullptr);
    qw_receiver_destroy(fine);
    for (int e : std::initializer_list<int>{QW_RECEIVER_SUCCESS, QW_RECEIVER_ERROR_NO_MEMORY,
                                            QW_RECEIVER_ERROR_FRAME_LENGTH,
                                            QW_RECEIVER_ERROR_RESAMPLER, -7, 999}) {
        texts.insert(qw_receiver_strerror(e));
    }
    EXPECT_EQ(texts.size(), 8u);  // seven numbers with distinct texts, one text for unknown ones

    SimulatedLink link(212, 10.0, false);
    link.run(30);
    char text[200];
    const size_t n = qw_receiver_report_text(link.receiver(), text, sizeof text);
    ASSERT_EQ(n, std::strlen(text));
    double level = 0;
    int drift = 0, underruns = -1, overruns = -1, used = 0;
    ASSERT_EQ(std::sscanf(text,
                          "buffer %lf/10 ms \u00b7 drift %d ppm \u00b7 underruns %d \u00b7 "
                          "overruns %d%n",
                          &level, &drift, &underruns, &overruns, &used),
              4)
        << text;
    EXPECT_EQ(static_cast<size_t>(used), n) << text;
    EXPECT_NE(std::string(text).find("drift +2"), std::string::npos) << text;
    EXPECT_NEAR(level, 10.0, 0.2);
    EXPECT_NEAR(drift, 212, 6);
    EXPECT_EQ(underruns, 0);
    EXPECT_EQ(overruns, 0);
    char small[8];
    EXPECT_EQ(qw_receiver_report_text(link.receiver(), small, sizeof small), 7u);
    EXPECT_EQ(std::string(small), "buffer ");

    // A pull of any size fills exactly what was asked and not a sample more.
    std::vector<int16_t> out(2 * 5000 + 2, 0x5A5A);
    qw_receiver_pull_s16(link.receiver(), out.data(), 5000);
    EXPECT_EQ(out[10000], 0x5A5A);
    EXPECT_EQ(out[10001], 0x5A5A);
    EXPECT_NE(out[9999], 0x5A5A);
    // Bytes that break the stream are refused, and a new connection accepts them again.
    const uint8_t zero[5] = {0, 0, 0, 0, 1};
    EXPECT_EQ(qw_receiver_feed(link.receiver(), zero, 5), QW_RECEIVER_ERROR_FRAME_LENGTH);
    qw_receiver_new_connection(link.receiver());
    const uint8_t empty[5] = {1, 0, 0, 0, 1};
    EXPECT_EQ(qw_receiver_feed(link.receiver(), empty, 5), QW_RECEIVER_SUCCESS);
}

// No exception crosses into the caller's C: each of the allocations a creation makes fails in
// turn, and each time creating reports the lack of memory. (With an embedder's resampler:
// zita-resampler holds a lock of its own while it allocates, which a failure leaves locked.)
TEST(ReceiverInterface, LackOfMemoryWhileCreatingIsAnErrorNumber) {
    qw_receiver_config config = qw_receiver_config_init(48000);
    const qw_receiver_resampler copy = {
        nullptr, [](void*) {}, [](void*, double, const float*, uint32_t*, float*, uint32_t*) {}, 0};
    config.resampler = &copy;
    long n = 1;
    for (;; ++n) {
        int error = -1;
        gFailAllocationIn = n;
        qw_receiver* receiver = qw_receiver_create(&config, &error);
        const bool failed = gFailAllocationIn.exchange(0) == 0;
        if (!failed) {
            EXPECT_EQ(error, QW_RECEIVER_SUCCESS);
            qw_receiver_destroy(receiver);
            break;
        }
        EXPECT_EQ(receiver, nullptr) << n;
        EXPECT_EQ(error, QW_RECEIVER_ERROR_NO_MEMORY) << n;
    }
    EXPECT_GE(n, 4);  // the receiver, its ring, the resampler, the clocks' memory
}

// A resampler of the embedder's own: a plain copy (the output at 48 kHz), counting its calls.
struct CopyResampler {
    int resets = 0;
    double lowest = 2, highest = 0;  // of the corrections asked
    bool stuck = false;              // takes nothing and gives nothing
    qw_receiver_resampler table = {this, reset, process, 64};

    static void reset(void* state) { ++static_cast<CopyResampler*>(state)->resets; }
    static void process(void* state, double correction, const float* in, uint32_t* inFrames,
                        float* out, uint32_t* outFrames) {
        auto& self = *static_cast<CopyResampler*>(state);
        self.lowest = std::min(self.lowest, correction);
        self.highest = std::max(self.highest, correction);
        if (self.stuck) return;
        const uint32_t n = std::min(*inFrames, *outFrames);
        std::memcpy(out, in, size_t{n} * 2 * sizeof(float));
        *inFrames -= n;
        *outFrames -= n;
    }
};

TEST(ReceiverInterface, AnEmbeddersResamplerPlaysEveryFrameInOrderAndIsResetOnRestarts) {
    CopyResampler copy;
    SimulatedLink link(0, 5.0, false, 256, 48, &copy.table);
    link.signal = [](uint64_t n) { return static_cast<int16_t>(n % 16384); };
    link.run(3);
    // Past the fade-in, every sample is the one after the one before: nothing lost or repeated.
    const auto first = std::find_if(link.left.begin(), link.left.end(), [](float v) { return v; });
    const auto start = static_cast<size_t>(first - link.left.begin()) + 200;
    ASSERT_LT(start, link.left.size() / 2);
    size_t outOfOrder = 0;
    for (size_t i = start; i < link.left.size(); ++i) {
        const float step = link.left[i] - link.left[i - 1];
        const bool next = step == 1.0f / 32768 || (link.left[i] == 0 && step < 0);
        outOfOrder += next && link.right[i] == link.left[i] ? 0 : 1;
    }
    EXPECT_EQ(outOfOrder, 0u);
    auto f = link.figures();
    EXPECT_EQ(f.underruns, 0u);
    EXPECT_EQ(f.overruns, 0u);
    EXPECT_NEAR(f.buffer_ms, 5.0 + 64 / 48.0, 0.5);  // the copy holds none of its start frames
    EXPECT_GE(copy.lowest, 1 - 2000e-6);
    EXPECT_LE(copy.highest, 1 + 2000e-6);
    // An underrun and a new connection start it afresh.
    const int resets = copy.resets;
    link.run(0.05, false);
    link.run(1);
    EXPECT_EQ(link.figures().underruns, 1u);
    EXPECT_EQ(copy.resets, resets + 1);
    qw_receiver_new_connection(link.receiver());
    link.run(1);
    EXPECT_EQ(copy.resets, resets + 2);
    // One that takes nothing and gives nothing makes silence, not a pull that never returns.
    copy.stuck = true;
    const size_t stuckFrom = link.left.size();
    link.run(1);
    EXPECT_GE(link.figures().underruns, 2u);
    EXPECT_TRUE(std::all_of(link.left.begin() + static_cast<long>(stuckFrom), link.left.end(),
                            [](float v) { return v == 0; }));

    // A resampler missing a call, or taking in more than the range's ceiling at once: refused.
    qw_receiver_config config = qw_receiver_config_init(48000);
    for (int bad = 0; bad < 3; ++bad) {
        qw_receiver_resampler r = copy.table;
        if (bad == 0) r.reset = nullptr;
        if (bad == 1) r.process = nullptr;
        if (bad == 2) r.start_frames = QW_RECEIVER_RESAMPLER_MAX_START_FRAMES + 1;
        config.resampler = &r;
        int error = -1;
        EXPECT_EQ(qw_receiver_create(&config, &error), nullptr);
        EXPECT_EQ(error, QW_RECEIVER_ERROR_RESAMPLER) << bad;
    }
}

}  // namespace
