// The test signals and the WAV reader of qwplay.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "signal_generator.h"
#include "wav_file.h"

using namespace qwplay;

namespace {

TEST(RampTest, EveryFrameDecodesToItsNumber) {
    for (uint64_t n : {uint64_t{0}, uint64_t{1}, uint64_t{32767}, uint64_t{32768}, uint64_t{65535},
                       uint64_t{65536}, uint64_t{123456789}, (uint64_t{1} << 31) - 1}) {
        const RampFrame f = rampFrame(n);
        EXPECT_EQ(decodeRamp(f.left, f.right), n) << n;
    }
    for (uint64_t n = 0; n < 300000; ++n) {
        const RampFrame f = rampFrame(n);
        ASSERT_EQ(decodeRamp(f.left, f.right), n);
    }
    EXPECT_EQ(rampFrame(0).left, -1.0f);
    EXPECT_EQ(rampFrame(0).right, -1.0f);
}

TEST(RampTest, SilenceAndOtherValuesAreNotRampFrames) {
    EXPECT_EQ(decodeRamp(0.f, 0.f), std::nullopt);
    EXPECT_EQ(decodeRamp(0.1f, -1.f), std::nullopt);
    EXPECT_EQ(decodeRamp(1.0f, -1.f), std::nullopt);  // one past the top of a channel
    EXPECT_EQ(decodeRamp(-1.5f, -1.f), std::nullopt);
    EXPECT_EQ(decodeRamp(NAN, -1.f), std::nullopt);
    // A ramp frame with a constant level added is recognisable after taking it off again.
    const RampFrame f = rampFrame(77777);
    EXPECT_EQ(decodeRamp(f.left + 0.125f - 0.125f, f.right + 0.125f - 0.125f), 77777u);
}

TEST(SignalGeneratorTest, RampContinuesAcrossCallsAndClicksRecur) {
    SignalGenerator ramp({SignalKind::kRamp, 0, 0, 0, 1000}, 48000);
    float l[100], r[100];
    ramp.render(l, r, 60);
    ramp.render(l + 60, r + 60, 40);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(decodeRamp(l[i], r[i]), 1000u + i);
    EXPECT_EQ(ramp.framesRendered(), 100u);

    SignalGenerator clicks({SignalKind::kClicks, 0, 0.75, 1.0, 0}, 48000);  // every 48 frames
    clicks.render(l, r, 100);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(l[i], i % 48 == 0 ? 0.75f : 0.f) << i;

    SignalGenerator sine({SignalKind::kSine, 12000, 0.5, 0, 0}, 48000);  // a quarter cycle a frame
    sine.render(l, r, 4);
    EXPECT_NEAR(l[0], 0.f, 1e-6);
    EXPECT_NEAR(l[1], 0.5f, 1e-6);
    EXPECT_NEAR(l[3], -0.5f, 1e-6);
}

std::vector<uint8_t> wav(uint16_t format, uint16_t channels, uint32_t rate, uint16_t bits,
                         const std::vector<uint8_t>& data, bool extraChunk = false) {
    std::vector<uint8_t> b;
    auto u32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    auto u16 = [&](uint16_t v) {
        b.push_back(static_cast<uint8_t>(v));
        b.push_back(static_cast<uint8_t>(v >> 8));
    };
    auto tag = [&](const char* t) {
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(t[i]));
    };
    tag("RIFF");
    u32(0);
    tag("WAVE");
    if (extraChunk) {
        tag("LIST");
        u32(3);
        b.insert(b.end(), {1, 2, 3, 0});  // odd size: padded
    }
    tag("fmt ");
    u32(16);
    u16(format);
    u16(channels);
    u32(rate);
    u32(rate * channels * bits / 8);
    u16(static_cast<uint16_t>(channels * bits / 8));
    u16(bits);
    tag("data");
    u32(static_cast<uint32_t>(data.size()));
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

TEST(WavTest, ReadsPcmAndFloatInEveryWidth) {
    std::string error;
    // 16-bit stereo: 0x4000 = 0.5, 0xC000 = -0.5.
    auto a = parseWav(wav(1, 2, 44100, 16, {0x00, 0x40, 0x00, 0xC0}, true), error);
    ASSERT_TRUE(a) << error;
    EXPECT_EQ(a->sampleRate, 44100);
    ASSERT_EQ(a->left.size(), 1u);
    EXPECT_EQ(a->left[0], 0.5f);
    EXPECT_EQ(a->right[0], -0.5f);
    // 24-bit mono: 0x400000 = 0.5, copied to both sides.
    auto b = parseWav(wav(1, 1, 48000, 24, {0x00, 0x00, 0x40}), error);
    ASSERT_TRUE(b) << error;
    EXPECT_EQ(b->left[0], 0.5f);
    EXPECT_EQ(b->right[0], 0.5f);
    // Float, three channels: the first two are kept.
    std::vector<uint8_t> floats(12);
    const float v[3] = {0.25f, -0.75f, 0.9f};
    std::memcpy(floats.data(), v, 12);
    auto c = parseWav(wav(3, 3, 48000, 32, floats), error);
    ASSERT_TRUE(c) << error;
    EXPECT_EQ(c->left[0], 0.25f);
    EXPECT_EQ(c->right[0], -0.75f);
}

TEST(WavTest, RefusesWhatItCannotPlayAndKeepsWhatATruncatedFileHas) {
    std::string error;
    EXPECT_FALSE(parseWav({'R', 'I', 'F', 'F'}, error));
    EXPECT_FALSE(parseWav(wav(1, 2, 48000, 8, {1, 2}), error));         // 8-bit
    EXPECT_FALSE(parseWav(wav(2, 2, 48000, 16, {1, 2, 3, 4}), error));  // ADPCM
    EXPECT_FALSE(parseWav(wav(1, 0, 48000, 16, {}), error));
    auto bytes = wav(1, 2, 48000, 16, std::vector<uint8_t>(400, 0));
    bytes.erase(bytes.end() - 201, bytes.end());  // the data chunk says more than there is
    auto cut = parseWav(bytes, error);
    ASSERT_TRUE(cut) << error;
    EXPECT_EQ(cut->left.size(), 49u);
}

TEST(WavTest, ResamplingKeepsTheDurationAndTheTone) {
    WavAudio audio;
    audio.sampleRate = 44100;
    for (int i = 0; i < 44100; ++i) {
        const float s = 0.5f * static_cast<float>(std::sin(2 * M_PI * 1000.0 * i / 44100.0));
        audio.left.push_back(s);
        audio.right.push_back(s);
    }
    const WavAudio out = resample(audio, 48000);
    EXPECT_NEAR(static_cast<double>(out.left.size()), 48000.0, 2.0);
    // Away from the edges the output is the same 1 kHz tone at 48 kHz, give or take a fraction
    // of a frame of filter delay.
    double worst = 1e9;
    for (double shift = -2.0; shift <= 2.0; shift += 0.25) {
        double err = 0;
        for (int i = 1000; i < 47000; ++i) {
            const double want = 0.5 * std::sin(2 * M_PI * 1000.0 * (i + shift) / 48000.0);
            err = std::max(err, std::fabs(out.left[i] - want));
        }
        worst = std::min(worst, err);
    }
    EXPECT_LT(worst, 0.01);
}

}  // namespace
