// The clocks' estimates under stalls, in simulated time: the lower-edge fit of one timeline, and
// the whole receiver with its sender and its output stalled for 20, 50 and 100 ms at known
// moments, at output clocks from −1000 to +1000 ppm.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "simulated_link.h"
#include "sine_windows.h"
#include "timeline_fit.h"

namespace {

std::string ppmName(const ::testing::TestParamInfo<double>& param) {
    return std::string(param.param < 0 ? "minus" : "plus") +
           std::to_string(static_cast<int>(std::abs(param.param)));
}

class ClockUnderStalls : public ::testing::TestWithParam<double> {};

// Events every 256 frames of a clock `ppm` off its nominal 48 kHz, each up to 1 ms late;
// stalls hold events back and let them all through at their end; one step loses 32 ms of
// frames. The rate stays put through all of it, and each event's lateness is what was done
// to it.
TEST_P(ClockUnderStalls, LowerEdgeFitHoldsTheRateThroughStallsBurstsAndASteppedTimeline) {
    const double ppm = GetParam();
    const double rate = 48000 * (1 + ppm * 1e-6);
    struct Stall {
        double at, seconds;
    };
    const Stall stalls[] = {{10.3, 0.020}, {20.1, 0.050}, {30.7, 0.100}};
    qw::receiver::TimelineFit fit(48000);
    uint64_t random = 99;
    double frames = 0, worstPpm = 0, worstLaterPpm = 0, worstOrdinaryLate = 0;
    double burstLate[3] = {0, 0, 0};
    for (int k = 0; k < 60 * 48000 / 256; ++k) {
        frames += 256;
        if (k == 45 * 48000 / 256) frames += 1536;  // lost on the way
        const double due = frames / rate;
        random = random * 6364136223846793005ull + 1442695040888963407ull;
        double at = due + 0.001 * static_cast<double>(random >> 11) / 9007199254740992.0;
        int stalled = -1;
        for (int s = 0; s < 3; ++s) {
            if (at >= stalls[s].at && at < stalls[s].at + stalls[s].seconds) stalled = s;
        }
        if (stalled >= 0) at = stalls[stalled].at + stalls[stalled].seconds;
        const double late = fit.add(frames, at);
        if (at < 1.5) {
            EXPECT_FALSE(fit.valid()) << at;
        }
        if (at > 3) {
            ASSERT_TRUE(fit.valid()) << at;
        }
        const double off = std::abs(fit.rateRatio() - (1 + ppm * 1e-6));
        if (at > 10) worstPpm = std::max(worstPpm, off);
        if (at > 20) worstLaterPpm = std::max(worstLaterPpm, off);
        if (stalled >= 0) burstLate[stalled] = std::max(burstLate[stalled], late);
        const bool nearStep = at > 44.9 && at < 45.6;
        if (at > 5 && stalled < 0 && !nearStep) {
            worstOrdinaryLate = std::max(worstOrdinaryLate, late);
        }
    }
    // A short window's noise at first (half-second minima of 1 ms of jitter), then less.
    EXPECT_LT(worstPpm * 1e6, 5.0);
    EXPECT_LT(worstLaterPpm * 1e6, 2.0);
    EXPECT_LT(worstOrdinaryLate, 0.0011);
    // The most held back of a burst waited nearly the whole stall (its due time fell within
    // an arrival's 5.3 ms of the stall's start).
    for (int s = 0; s < 3; ++s) {
        EXPECT_GT(burstLate[s], stalls[s].seconds - 0.0065) << s;
        EXPECT_LT(burstLate[s], stalls[s].seconds + 0.0011) << s;
    }
}

// A first event that comes alone, ahead of the steady ones: an output's first request (PulseAudio
// asks for a piece, then starts the stream 0.77 s later), or a sender's first frame, which comes a
// whole piece ahead of the next (the bridge's capture settling). Neither holds the line: the rate
// is found from the steady events within seconds (the early frame alone had tilted it by 2400
// ppm at 2 s, still 430 ppm at 6 s).
TEST_P(ClockUnderStalls, ALoneFirstEventAheadOfTheRestDoesNotHoldTheLine) {
    const double ppm = GetParam();
    const double rate = 48000 * (1 + ppm * 1e-6);
    for (const auto& [pause, frames] :
         {std::pair{0.766, 146.0}, std::pair{2 * 256 / rate, 256.0}}) {
        qw::receiver::TimelineFit fit(48000);
        fit.add(frames, 0.0);
        double total = frames, worstPpm = 0;
        for (double at = pause; at < 30; at += frames / rate) {
            total += frames;
            fit.add(total, at);
            if (at > 3)
                worstPpm = std::max(worstPpm, std::abs(fit.rateRatio() - rate / 48000) * 1e6);
        }
        EXPECT_TRUE(fit.valid());
        EXPECT_LT(worstPpm, 20.0) << "first event " << pause << " s ahead";
    }
}

// A playback clock that pauses now and then for a few milliseconds (PulseAudio's stream waits
// to refill after an underflow): once at the start, before the line has seen two seconds,
// then forward and back on a settled line, with events up to 1 ms late. Each pause is a step
// of the timeline, not a change of rate (the old fit bent to them: 1600 ppm off).
TEST_P(ClockUnderStalls, PausesOfAFewMillisecondsAreStepsNotRate) {
    const double ppm = GetParam();
    const double rate = 48000 * (1 + ppm * 1e-6);
    const double at[] = {3, 12, 24, 36}, pause[] = {0.006, -0.004, 0.003, 0.008};
    double worstPpm = 0;
    for (unsigned seed = 1; seed <= 20; ++seed) {
        qw::receiver::TimelineFit fit(48000);
        uint64_t state = seed * 0x9E3779B97F4A7C15ull;
        for (double t = 0; t < 60; t += 0.05) {
            double paused = 0;
            for (int i = 0; i < 4; ++i) paused += t >= at[i] ? pause[i] : 0;
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            const double late = 0.001 * static_cast<double>(state >> 11) / 9007199254740992.0;
            fit.add((t + 0.01 - paused) * rate, t + late);
            if (t > 6 && fit.valid()) {
                worstPpm = std::max(worstPpm, std::abs(fit.rateRatio() - rate / 48000) * 1e6);
            }
        }
        EXPECT_TRUE(fit.valid());
    }
    EXPECT_LT(worstPpm, 300.0);
}

struct StallRun {
    double lockSeconds = -1;  // from when the estimate stayed within 20 ppm
    double worstAfterLockPpm = 0;
    // From the last sender stall's end until the target stayed within 1 ms of its floor.
    double backAtFloorSeconds = -1;
    double highestTargetMs = 0;
    std::vector<std::pair<double, double>> silences;  // from an underrun to playing again
};

// The whole receiver: the sender stalls at 12, 22 and 32 s, the output at 42, 52 and 62 s,
// for 20, 50 and 100 ms, then nothing for 70 s; arrivals come up to 0.5 ms late besides.
StallRun runWithStalls(SimulatedLink& link, double ppm) {
    StallRun run;
    link.arrivalJitter = 0.0005;
    double nextLook = 0;
    bool playing = false;
    link.onPull = [&](double t) {
        const auto f = link.figures();
        if (playing && !f.playing) run.silences.push_back({t, 1e9});
        if (!playing && f.playing && !run.silences.empty()) run.silences.back().second = t;
        playing = f.playing != 0;
        if (t < nextLook) return;
        nextLook += 0.1;
        const double off = std::abs(f.drift_ppm - ppm);
        if (off > 20) run.lockSeconds = -1;
        if (off <= 20 && run.lockSeconds < 0) run.lockSeconds = t;
        if (run.lockSeconds >= 0) run.worstAfterLockPpm = std::max(run.worstAfterLockPpm, off);
        run.highestTargetMs = std::max(run.highestTargetMs, f.target_ms);
        if (t > 32.1 && f.target_ms > 6.0) run.backAtFloorSeconds = -1;
        if (t > 32.1 && f.target_ms <= 6.0 && run.backAtFloorSeconds < 0) {
            run.backAtFloorSeconds = t - 32.1;
        }
    };
    link.run(12);
    for (double stall : {0.020, 0.050, 0.100}) {
        link.stallSender(stall);
        link.run(10);
    }
    for (double stall : {0.020, 0.050, 0.100}) {
        link.stallOutput(stall);
        link.run(10);
    }
    link.run(70);
    return run;
}

TEST_P(ClockUnderStalls, ReceiverLocksFastHoldsTheDriftAndBringsTheTargetBack) {
    const double ppm = GetParam();
    SimulatedLink link(ppm, 5.0, true);
    const StallRun run = runWithStalls(link, ppm);
    const auto f = link.figures();
    EXPECT_GE(run.lockSeconds, 0) << f.drift_ppm;
    EXPECT_LT(run.lockSeconds, 10);
    EXPECT_LT(run.worstAfterLockPpm, 5.0);
    // Each sender stall outlasts a 5 ms buffer once; the output's do not empty it (they fill
    // it, and the output takes it all when it resumes), nor do they overrun it.
    EXPECT_EQ(f.underruns, 3u);
    EXPECT_EQ(run.silences.size(), 3u);
    EXPECT_EQ(f.overruns, 0u);
    EXPECT_GE(run.highestTargetMs, 7.0);
    // The floor is the configured 5 ms (above what the pieces need, 4.2 ms). The sender's
    // stalls came 10 s apart, which holds the target up until the last of them is one and a
    // half gaps old (15–20 s in 5 s stretches); from there it comes down at 1 ms a second.
    EXPECT_GE(run.backAtFloorSeconds, 0);
    EXPECT_LT(run.backAtFloorSeconds, 20 + 12);
    // Twice the arrivals' 0.5 ms of lateness on top of the pieces' 4.2 ms: just above the floor.
    EXPECT_NEAR(f.target_ms, 5.16, 0.02);
    // The level follows more slowly (200 ppm at most, 0.2 ms a second).
    EXPECT_NEAR(f.buffer_ms, 5.0, 1.0);
    // Every frame the sender sent came out, resampled, but for what the restarts dropped.
    EXPECT_NEAR(static_cast<double>(f.frames_in) - f.buffer_ms * 48,
                static_cast<double>(f.frames_out) / (1 + ppm * 1e-6), 3 * 1000 + 256);

    if (ppm != 300) return;
    // The sound, away from the silences, is a clean sine at the skewed pitch: every 100 ms
    // window from 0.3 s after the restart to 1.5 s after each stall, and a window every five
    // seconds elsewhere, from a second after lock. The level's pull moves the pitch a little while
    // it brings the level back to the target after a restart (at most 200 ppm, 0.2 Hz).
    const double hz = 1000.0 / (1 + ppm * 1e-6);
    std::vector<double> pitches;
    for (double at = run.lockSeconds + 1; at + 0.1 < link.now(); at += 0.1) {
        const bool nearStall = std::any_of(
            run.silences.begin(), run.silences.end(),
            [&](const auto& s) { return at + 0.1 > s.first - 0.3 && at < s.second + 0.3; });
        const double stallsAt[] = {12, 22, 32, 42, 52, 62};
        const bool afterStall = std::any_of(std::begin(stallsAt), std::end(stallsAt),
                                            [&](double s) { return at > s && at < s + 1.5; });
        const bool everySecond = std::fmod(at + 1e-6, 5.0) < 0.1;
        if (nearStall || !(afterStall || everySecond)) continue;
        const auto w =
            fitWindow(link.left, static_cast<size_t>(at * link.outputRate()), 4800, 48000, hz, 0.2);
        EXPECT_GT(w.fit.snrDb, 80.0) << "window at " << at << " s";
        EXPECT_NEAR(w.hz, hz, 0.21) << "window at " << at << " s";
        pitches.push_back(w.hz);
    }
    ASSERT_GT(pitches.size(), 70u);
    std::nth_element(pitches.begin(), pitches.begin() + pitches.size() / 2, pitches.end());
    EXPECT_NEAR(pitches[pitches.size() / 2], hz, 0.01);
}

// A stall of the sender that keeps coming back, every 20 s: the first few underrun and raise the
// target; once it covers the stall it stays up while the stalls go on, so they underrun no
// more (the target is not let down between them to be underrun again, as one that followed only
// the last seconds would be); once they stop it comes back to its floor.
// The same for stalls of the receiver itself, whose backlog is read at once when it goes on:
// the first frames of that backlog came late, as much as the sender's would have.
class StallsThatKeepComing : public ::testing::TestWithParam<std::tuple<double, bool>> {};

TEST_P(StallsThatKeepComing, HoldTheTargetUpUntilTheyStop) {
    const double ppm = std::get<0>(GetParam());
    const bool receiverStalls = std::get<1>(GetParam());
    SimulatedLink link(ppm, 5.0, true);
    link.arrivalJitter = 0.0005;
    link.run(10);
    std::vector<uint64_t> underrunsAfter;  // the count after each stall's 20 s
    double lowestAfterRaises = 1e9, highest = 0;
    for (int i = 0; i < 16; ++i) {
        if (receiverStalls) {
            link.stallReceiver(0.020);
        } else {
            link.stallSender(0.012);
        }
        link.run(20);
        const auto f = link.figures();
        underrunsAfter.push_back(f.underruns);
        highest = std::max(highest, f.target_ms);
        if (i >= 3) lowestAfterRaises = std::min(lowestAfterRaises, f.target_ms);
    }
    // How far below the target the level is when a stall begins depends on where it falls among
    // the arrivals and the output's pulls, which the clock's skew moves: 11–17 ms cover a 12 ms
    // stall of the sender, 20–26 ms a 20 ms stall of the receiver (the output's catch-up takes
    // it all at once, before the backlog is read). Each raise is 3 ms; the first is forgotten (a
    // single stall, not yet one that keeps coming), the others hold, and after the eighth stall
    // only the unluckiest phases underrun once or twice more. (Were the backlog one arrival,
    // its lateness would be a few milliseconds and every stall of the receiver would underrun.)
    EXPECT_LE(underrunsAfter.back(), receiverStalls ? 8u : 6u);
    EXPECT_LE(underrunsAfter.back() - underrunsAfter[7], receiverStalls ? 2u : 1u);
    EXPECT_GE(lowestAfterRaises, 11.0);
    EXPECT_LE(highest, receiverStalls ? 26.5 : 17.5);  // no raise beyond what they asked for
    double backAtFloor = -1;
    link.onPull = [&](double t) {
        const double target = link.figures().target_ms;
        if (target > 6.0) backAtFloor = -1;
        if (target <= 6.0 && backAtFloor < 0) backAtFloor = t;
    };
    const double lastStall = link.now() - 20;
    link.run(100);
    const auto f = link.figures();
    // Held while the next may come (one and a half gaps: 30–35 s), then 1 ms a second.
    EXPECT_GE(backAtFloor, 0);
    EXPECT_LT(backAtFloor - lastStall, 35 + 25);
    EXPECT_NEAR(f.target_ms, 5.16, 0.02);
    EXPECT_EQ(f.overruns, 0u);
}

// Two stalls a few seconds apart and no more: the target they raised holds while another may come
// (one and a half times their gap), then comes down. It does not wait for them to be a minute old.
TEST(StallsCloseTogether, AreForgottenWithinSeconds) {
    SimulatedLink link(300, 5.0, true);
    link.arrivalJitter = 0.0005;
    link.run(10);
    link.stallSender(0.012);
    link.run(6);
    link.stallSender(0.012);
    const double lastStall = link.now();
    double highest = 0, backAtFloor = -1;
    link.onPull = [&](double t) {
        const double target = link.figures().target_ms;
        highest = std::max(highest, target);
        if (target > 6.0) backAtFloor = -1;
        if (target <= 6.0 && backAtFloor < 0) backAtFloor = t;
    };
    link.run(40);
    EXPECT_GE(link.figures().underruns, 1u);
    EXPECT_GE(highest, 8.0);
    EXPECT_GE(backAtFloor, 0);
    // Nine to fifteen seconds' hold (the gap's stretches), then 1 ms a second from at most 11 ms.
    EXPECT_LT(backAtFloor - lastStall, 20.0);
}

INSTANTIATE_TEST_SUITE_P(Ppm, StallsThatKeepComing,
                         ::testing::Combine(::testing::Values(-1000.0, -300.0, 300.0, 1000.0),
                                            ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<double, bool>>& param) {
                             const double ppm = std::get<0>(param.param);
                             return std::string(ppm < 0 ? "minus" : "plus") +
                                    std::to_string(static_cast<int>(std::abs(ppm))) +
                                    (std::get<1>(param.param) ? "_receiver" : "_sender");
                         });

INSTANTIATE_TEST_SUITE_P(Ppm, ClockUnderStalls, ::testing::Values(-1000.0, -300.0, 300.0, 1000.0),
                         ppmName);

}  // namespace
