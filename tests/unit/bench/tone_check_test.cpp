// Reading back clicks over a tone (qw-pulse-clicks --tone) after a path that scales, smears,
// silences or skips audio.
#include "tone_check.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "click_tone.h"
#include "common/little_endian.h"

namespace {

constexpr int64_t kInterval = 2880;  // 60 ms

// What the player writes: the tone, left out around each click, and the clicks of `numbers`
// one every 60 ms from frame 4800 (a number left out: that click is missing, the tone goes on).
std::vector<int16_t> played(const std::vector<int64_t>& numbers) {
    const int64_t last = numbers.empty() ? 0 : numbers.back();
    const int64_t frames = 4800 + (last + 1) * kInterval + 4800;
    std::vector<int16_t> s(static_cast<size_t>(2 * frames), 0);
    std::vector<bool> present(static_cast<size_t>(last + 1), false);
    for (int64_t n : numbers) present[static_cast<size_t>(n)] = true;
    for (int64_t f = 0; f < frames; ++f) {
        const int64_t sinceFirst = f - 4800;
        const int64_t nearest = (sinceFirst + kInterval / 2) / kInterval;
        const int64_t offset = sinceFirst - nearest * kInterval;
        const bool click = sinceFirst + kInterval / 2 >= 0 && nearest <= last &&
                           present[static_cast<size_t>(nearest)];
        if (!click || offset < -click_tone::kGateBefore || offset >= click_tone::kGateAfter) {
            s[static_cast<size_t>(2 * f)] = click_tone::sample(false, f);
            s[static_cast<size_t>(2 * f + 1)] = click_tone::sample(true, f);
        }
        if (click && offset == 0) {
            s[static_cast<size_t>(2 * f)] = 16384;
            s[static_cast<size_t>(2 * f + 1)] = click_tone::code(nearest);
        }
    }
    return s;
}

std::vector<int64_t> range(int64_t from, int64_t to) {
    std::vector<int64_t> v;
    for (int64_t n = from; n < to; ++n) v.push_back(n);
    return v;
}

// A crude resampler's smear: every sample becomes a weighted sum of its neighbours, the same on
// both channels, and a click's peak drops to 0.72 of its height.
std::vector<int16_t> smeared(const std::vector<int16_t>& in) {
    const double taps[5] = {-0.045, 0.135, 0.72, 0.135, -0.045};
    std::vector<int16_t> out(in.size(), 0);
    const size_t frames = in.size() / 2;
    for (size_t f = 2; f + 2 < frames; ++f) {
        for (size_t ch = 0; ch < 2; ++ch) {
            double acc = 0;
            for (size_t t = 0; t < 5; ++t) acc += taps[t] * in[2 * (f + t - 2) + ch];
            out[2 * f + ch] = static_cast<int16_t>(std::lround(acc));
        }
    }
    return out;
}

std::string writeWav(const std::vector<int16_t>& stereo) {
    char path[] = "/tmp/tone-check-XXXXXX";
    const int fd = ::mkstemp(path);
    std::vector<uint8_t> bytes(44 + 2 * stereo.size());
    std::copy_n("RIFF", 4, bytes.begin());
    std::copy_n("WAVEfmt ", 8, bytes.begin() + 8);
    qw::putLe32(bytes.data() + 16, 16);
    std::copy_n("data", 4, bytes.begin() + 36);
    qw::putLe32(bytes.data() + 40, static_cast<uint32_t>(2 * stereo.size()));
    for (size_t i = 0; i < stereo.size(); ++i) {
        const auto v = static_cast<uint16_t>(stereo[i]);
        bytes[44 + 2 * i] = static_cast<uint8_t>(v & 0xFF);
        bytes[45 + 2 * i] = static_cast<uint8_t>(v >> 8);
    }
    EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
    return path;
}

TEST(ToneCheck, ACleanRecordingHasEveryClickAndNoDropout) {
    const auto stereo = played(range(0, 20));
    const std::string path = writeWav(stereo);
    EXPECT_EQ(readStereoWav(path), stereo);
    std::remove(path.c_str());

    const auto clicks = findClicks(stereo);
    ASSERT_EQ(clicks.size(), 20u);
    EXPECT_EQ(clicks[0].frame, 4800u);
    EXPECT_EQ(clicks[19].code, 19);
    const ToneDropouts d = checkTone(stereo, clicks);
    EXPECT_EQ(d.windows, 114u);  // whole 10 ms windows from the first click to the last
    EXPECT_EQ(d.silent, 0u);
    EXPECT_EQ(d.broken, 0u);
    EXPECT_EQ(d.gaps, 0u);
}

TEST(ToneCheck, SmearedClicksAreRenumberedAcrossTheCodeCycleDespiteLosses) {
    auto numbers = range(0, 1030);
    numbers.erase(numbers.begin() + 700, numbers.begin() + 720);  // lost on the way
    numbers.erase(numbers.begin() + 3);
    const auto stereo = smeared(played(numbers));
    const auto clicks = findClicks(stereo);
    ASSERT_EQ(clicks.size(), numbers.size());
    std::vector<ArrivedOnset> onsets;
    size_t scaled = 0;
    for (size_t i = 0; i < clicks.size(); ++i) {
        EXPECT_EQ(clicks[i].code, numbers[i] % click_tone::kCodeCycle);
        // What the app reads: the right channel at the onset, scaled down with the click.
        const int16_t read = stereo[2 * clicks[i].frame + 1];
        scaled += read != click_tone::code(numbers[i]);
        onsets.push_back({static_cast<int64_t>(i), read});
    }
    EXPECT_GT(scaled, numbers.size() * 9 / 10);
    ASSERT_TRUE(renumberOnsets(onsets, clicks));
    for (size_t i = 0; i < onsets.size(); ++i) ASSERT_EQ(onsets[i].code, numbers[i]) << i;
    onsets.pop_back();
    onsets[0].code = 77;
    EXPECT_FALSE(renumberOnsets(onsets, clicks));  // counts differ: left as they are
    EXPECT_EQ(onsets[0].code, 77);
    const ToneDropouts d = checkTone(stereo, clicks);
    EXPECT_EQ(d.silent + d.broken, 0u);  // smearing alone, or a missing click, is no dropout
}

TEST(ToneCheck, SilenceAndSkippedAudioAreCountedAsGaps) {
    auto stereo = played(range(0, 30));
    // 25 ms of silence inserted by an underrun, away from any click ...
    const size_t silenceAt = 2 * (4800 + 5 * kInterval + 600);
    stereo.insert(stereo.begin() + static_cast<long>(silenceAt), 2 * 1200, int16_t{0});
    // ... and, later, 317 frames (a packet) skipped.
    const size_t skipAt = 2 * (4800 + 1200 + 20 * kInterval + 700);
    stereo.erase(stereo.begin() + static_cast<long>(skipAt),
                 stereo.begin() + static_cast<long>(skipAt + 2 * 317));
    const auto clicks = findClicks(stereo);
    ASSERT_EQ(clicks.size(), 30u);
    const ToneDropouts d = checkTone(stereo, clicks);
    EXPECT_GE(d.silent, 1u);  // 25 ms covers at least one whole window
    EXPECT_LE(d.silent, 3u);
    EXPECT_GE(d.broken, 1u);  // the edges of the silence and the skip
    EXPECT_EQ(d.gaps, 2u);
}

}  // namespace
