// The device changes its rate while the bridge streams: capture follows it, and the phone keeps
// receiving 48000 Hz at the right pitch, over the one link it had from the start.

#include <dirent.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "bridge_fixture.h"
#include "eventually.h"

namespace {

using namespace bridge_e2e;

std::string rateLine(int rate) {
    return "device rate now " + std::to_string(rate) + " Hz \u2014 " +
           (rate == 48000 ? "no conversion" : "converting to 48000 Hz");
}

// The parts of a recording where a tone plays: runs of 10 ms blocks whose left channel goes
// above a tenth of full scale, at least half a second long. A player that stalls (the world, not
// the product: the phone's reports show no sound missing) leaves a hole in its tone, so runs less
// than 150 ms apart are pieces of one tone; tones are further apart than that.
std::vector<std::vector<qwprobe::Pcm16>> toneSegments(const qwprobe::Pcm16& pcm) {
    constexpr size_t kBlock = 480;
    constexpr size_t kSameTone = 7200;
    std::vector<std::vector<qwprobe::Pcm16>> segments;
    size_t lastEnd = 0;
    size_t runStart = 0, quietBlocks = 0;
    bool inRun = false;
    auto close = [&](size_t end) {
        if (end - runStart < 50 * kBlock) return;
        qwprobe::Pcm16 part;
        part.sampleRate = pcm.sampleRate;
        part.left.assign(pcm.left.begin() + long(runStart), pcm.left.begin() + long(end));
        part.right.assign(pcm.right.begin() + long(runStart), pcm.right.begin() + long(end));
        if (segments.empty() || runStart > lastEnd + kSameTone) segments.emplace_back();
        segments.back().push_back(std::move(part));
        lastEnd = end;
    };
    for (size_t at = 0; at + kBlock <= pcm.left.size(); at += kBlock) {
        int16_t peak = 0;
        for (size_t i = at; i < at + kBlock; ++i) {
            peak = std::max<int16_t>(peak, static_cast<int16_t>(std::abs(pcm.left[i])));
        }
        const bool loud = peak > 3276;
        if (loud && !inRun) runStart = at;
        if (loud) quietBlocks = 0;
        if (!loud && inRun && ++quietBlocks == 5) {
            close(at - 4 * kBlock);
            inRun = false;
            continue;
        }
        inRun = inRun || loud;
    }
    if (inRun) close(pcm.left.size());
    return segments;
}

// A number that follows `key` on lines that start with `prefix`, with the line's index: the
// phone's report "📊 frames N seconds S buffer B ms" gives the audio it has received, once a
// second; the statistics line "⏱ maxGap=Gms ..." the longest callback gap of the past second.
std::vector<std::pair<size_t, double>> valuesAfter(const std::vector<std::string>& lines,
                                                   const std::string& prefix,
                                                   const std::string& key) {
    std::vector<std::pair<size_t, double>> values;
    for (size_t i = 0; i < lines.size(); ++i) {
        const size_t at = lines[i].find(key);
        if (lines[i].rfind(prefix, 0) == 0 && at != std::string::npos) {
            values.emplace_back(i, std::strtod(lines[i].c_str() + at + key.size(), nullptr));
        }
    }
    return values;
}

// What each open descriptor of a process is, one per line (for a failure's message).
std::string descriptorsOf(const std::string& proc) {
    std::string out;
    if (DIR* d = ::opendir((proc + "/fd").c_str())) {
        while (const dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.') continue;
            char target[256] = {};
            const std::string link = proc + "/fd/" + e->d_name;
            [[maybe_unused]] const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
            out += std::string(e->d_name) + " -> " + target + "\n";
        }
        ::closedir(d);
    }
    return out;
}

size_t entriesIn(const std::string& dir) {
    size_t n = 0;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

class RateChange : public BridgeEndToEnd {
  protected:
    void setRate(int rate) {
        int status = -1;
        server->qwctl({"--device", "Quillwave", "set-rate", std::to_string(rate)}, &status);
        ASSERT_EQ(status, 0) << rate;
    }
    // As when another app asks for a large device buffer: each callback then brings more frames
    // than the unit renders unless told (1156 by default, QW_STANDIN_UNIT_MAX_FRAMES otherwise).
    void setLargeBuffer() {
        int status = -1;
        server->qwctl({"--device", "Quillwave", "set-buffer", "2048"}, &status);
        ASSERT_EQ(status, 0);
    }
    // 1.6 s of 1 kHz at half scale, from a player started now (it reads the rate once).
    void playTone() { play({"--sine", "1000", "--level", "0.5", "--seconds", "1.6"}); }

    // Each piece of a tone at 1 kHz and its level; a whole tone at least a second long (pieces
    // lose their edges to the fit and their short parts to toneSegments: half a second).
    void expectTone(const std::vector<qwprobe::Pcm16>& pieces, const std::string& what) {
        double seconds = 0;
        for (const auto& piece : pieces) seconds += expectPiece(piece, what);
        EXPECT_GT(seconds, pieces.size() == 1 ? 1.0 : 0.5)
            << what << ", " << pieces.size() << " piece(s)";
    }
    double expectPiece(const qwprobe::Pcm16& segment, const std::string& what) {
        const auto sine = qwprobe::checkSine(segment, 1000.0, 0.1);
        if (!sine) {
            ADD_FAILURE() << what;
            return 0;
        }
        const double db = 20 * std::log10(sine->amplitude / 0.5);
        std::printf("%s: %.3f Hz, amplitude %.5f (%+.3f dB), SNR %.1f dB, %.2f s\n", what.c_str(),
                    sine->measuredFrequency, sine->amplitude, db, sine->snrDb, sine->seconds);
        EXPECT_NEAR(sine->measuredFrequency, 1000.0, 0.5) << what;
        EXPECT_NEAR(db, 0.0, 0.5) << what;
        return sine->seconds;
    }
};

// Under both choices of the audio server: each change inside StopIO and StartIO, or carried out
// while IO keeps running.
class RateChangeRoad : public RateChange, public ::testing::WithParamInterface<const char*> {};

TEST_P(RateChangeRoad, EverySegmentArrivesAt1kHzWithOneLinePerChangeAndNoLoss) {
    const int rates[] = {48000, 44100, 96000, 192000, 48000};
    startServer(GetParam());
    startPhone();
    startStreaming();
    setLargeBuffer();
    std::vector<size_t> changedAt;  // bridge output lines before each change
    for (size_t k = 0; k < std::size(rates); ++k) {
        if (k > 0) {
            changedAt.push_back(linesOf(bridge.output()).size());
            setRate(rates[k]);
            ASSERT_TRUE(bridge.waitForLine(rateLine(rates[k]), 15)) << bridge.output();
            std::this_thread::sleep_for(200ms);
        }
        playTone();
    }
    std::this_thread::sleep_for(1200ms);  // a statistics line after the last change
    EXPECT_TRUE(bridge.running());
    stopAll();

    const auto lines = linesOf(bridge.output());
    std::vector<std::string> rateLines;
    for (const auto& line : lines) {
        if (line.rfind("device rate now ", 0) == 0 || line.rfind("capture at ", 0) == 0) {
            rateLines.push_back(line);
        }
    }
    const std::vector<std::string> expected = {rateLine(44100), rateLine(96000), rateLine(192000),
                                               rateLine(48000)};
    EXPECT_EQ(rateLines, expected) << bridge.output();
    EXPECT_EQ(count(bridge.output(), "link lost"), 0) << bridge.output();
    EXPECT_EQ(count(bridge.output(), connectedLine()), 1) << bridge.output();
    EXPECT_EQ(count(phone->output(), "accepted"), 1) << phone->output();
    EXPECT_EQ(bridge.errors(), "");

    // The gap at each change, in two measures, reported rather than held to the 50 ms goal (a
    // loaded machine stalls): the audio the phone is missing, from its once-a-second reports
    // (seconds between the last report before the change and the first after the rate line,
    // less the audio received in them; about +-6 ms, the reports count whole frames), and the
    // longest callback gap in between. Both hold the server's own restart of the device.
    const auto reports = valuesAfter(lines, "\U0001F4CA frames ", " seconds ");
    const auto gaps = valuesAfter(lines, "\u23F1 maxGap=", "maxGap=");
    size_t change = 0;
    for (size_t i = 0; i < lines.size() && change < changedAt.size(); ++i) {
        if (lines[i].rfind("device rate now ", 0) != 0) continue;
        size_t r0 = 0, r1 = reports.size();
        for (size_t r = 0; r < reports.size(); ++r) {
            if (reports[r].first < changedAt[change]) r0 = r;
            if (reports[r].first > i && r1 == reports.size()) r1 = r;
        }
        ASSERT_LT(r1, reports.size()) << "no report after " << lines[i];
        const double missingMs =
            double(r1 - r0) * 1000.0 - (reports[r1].second - reports[r0].second) * 1000.0;
        double worstGap = 0;
        for (const auto& [line, gap] : gaps) {
            if (line > changedAt[change] && line <= reports[r1].first + 2) {
                worstGap = std::max(worstGap, gap);
            }
        }
        std::printf(
            "gap at the change to %d Hz: %.0f ms of audio missing at the phone, "
            "longest callback gap %.1f ms\n",
            rates[change + 1], missingMs, worstGap);
        EXPECT_LT(missingMs, 1000.0) << lines[i];
        ++change;
    }
    EXPECT_EQ(change, changedAt.size());
    // The same measure over seconds without a change, for comparison (it should be near 0).
    double quietWorst = 0;
    for (size_t r = 1; r + 1 < reports.size(); ++r) {
        const bool changeInside = std::any_of(changedAt.begin(), changedAt.end(), [&](size_t at) {
            return at >= reports[r - 1].first && at <= reports[r + 1].first;
        });
        if (changeInside) continue;
        const double missingMs = 1000.0 - (reports[r].second - reports[r - 1].second) * 1000.0;
        quietWorst = std::max(quietWorst, std::abs(missingMs));
    }
    std::printf("seconds without a change: at most %.0f ms missing or extra\n", quietWorst);

    const auto pcm = received();
    EXPECT_EQ(pcm.sampleRate, 48000u);
    const auto segments = toneSegments(pcm);
    ASSERT_EQ(segments.size(), std::size(rates));
    for (size_t k = 0; k < segments.size(); ++k) {
        expectTone(segments[k],
                   "segment " + std::to_string(k + 1) + " at " + std::to_string(rates[k]) + " Hz");
    }
}

INSTANTIATE_TEST_SUITE_P(RateChange, RateChangeRoad,
                         ::testing::Values("rate-change=restart", "rate-change=running"),
                         [](const auto& p) {
                             return std::string(p.param).find("running") != std::string::npos
                                        ? "WhileIORuns"
                                        : "InsideStopAndStart";
                         });

// A hundred changes, 50 to 200 ms apart, while the bridge streams: it goes on over the same link,
// at the right pitch afterwards, without leaking descriptors or threads.
TEST_F(RateChange, AHundredQuickChangesLeaveTheBridgeStreamingAtTheRightPitch) {
    setenv("QW_STANDIN_UNIT_MAX_FRAMES", "4096", 1);  // the unit's other default, for the bridge
    startServer();
    startPhone();
    startStreaming();
    setLargeBuffer();
    // Counted once capture has followed a first change, so everything the bridge keeps exists.
    setRate(44100);
    ASSERT_TRUE(bridge.waitForLine(rateLine(44100), 15)) << bridge.output();
    std::this_thread::sleep_for(1500ms);  // settled as it will be when counted again
    const std::string proc = "/proc/" + std::to_string(bridge.pid());
    const size_t fdsBefore = entriesIn(proc + "/fd");
    const std::string descriptorsBefore = descriptorsOf(proc);
    const size_t threadsBefore = entriesIn(proc + "/task");

    const int rates[] = {44100, 88200, 96000, 176400, 192000, 48000};
    std::mt19937 random(11);
    std::uniform_int_distribution<int> pause(50, 200);
    int last = 48000;
    for (int i = 0; i < 100; ++i) {
        last = rates[i % std::size(rates)];
        setRate(last);
        std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
    }
    // Settled: the latest line about capture names the last rate, and stays so.
    auto settledAt = [&](int rate) {
        const auto lines = linesOf(bridge.output());
        for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
            if (it->rfind("device rate now ", 0) == 0 || it->rfind("capture at ", 0) == 0) {
                return *it == rateLine(rate);
            }
        }
        return false;
    };
    ASSERT_TRUE(eventually([&] { return settledAt(last); }, 20000ms)) << bridge.output();
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(settledAt(last)) << bridge.output();
    EXPECT_TRUE(bridge.running());
    // A descriptor or thread lost per change would show here a hundredfold, and stay. One
    // descriptor more or a few fewer is allowed: the HAL client reopens its connections to the
    // server after a failed call, and on a loaded machine a reopening or a follower step may
    // still be under way when first counted, so the counts are given a few seconds to settle
    // (the descriptors are listed should they not).
    const auto settled = [&] {
        const size_t fds = entriesIn(proc + "/fd");
        return fds <= fdsBefore + 1 && fds + 3 >= fdsBefore &&
               entriesIn(proc + "/task") == threadsBefore;
    };
    EXPECT_TRUE(eventually(settled, 5000ms))
        << "descriptors " << fdsBefore << " -> " << entriesIn(proc + "/fd") << ", threads "
        << threadsBefore << " -> " << entriesIn(proc + "/task") << "\nbefore:\n"
        << descriptorsBefore << "after:\n"
        << descriptorsOf(proc);

    playTone();
    stopAll();
    EXPECT_EQ(count(bridge.output(), "link lost"), 0) << bridge.output();
    EXPECT_EQ(count(bridge.output(), connectedLine()), 1) << bridge.output();
    EXPECT_EQ(bridge.errors(), "");
    const int changes = count(bridge.output(), "device rate now ");
    std::printf(
        "101 changes requested, %d followed (changes that came together are followed "
        "once), %d failed attempts\n",
        changes, count(bridge.output(), "trying again"));
    EXPECT_GE(changes, 2);
    EXPECT_LE(changes, 101);

    const auto segments = toneSegments(received());
    ASSERT_EQ(segments.size(), 1u);
    expectTone(segments[0], "after 100 changes, at " + std::to_string(last) + " Hz");
}

}  // namespace
