#include "bridge/converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "signal_analysis.h"

namespace {

AudioFormat fmt(double rate) {
    return *AudioFormat::make(AudioCommonFormat::pcmFloat32, rate, 2, false);
}

// Feeds `in` once, then says there is no more data now: the capture pipeline's rule.
struct OnceBlock {
    const PcmBuffer* buffer;
    int calls = 0;
    const PcmBuffer* operator()(uint32_t, ConverterInputStatus& status) {
        if (calls++ == 0) {
            status = ConverterInputStatus::haveData;
            return buffer;
        }
        status = ConverterInputStatus::noDataNow;
        return nullptr;
    }
};

// Converts `samples` (same on both channels) in blocks of `block` frames with output capacity
// ratio x block + 32, as the render callback does; returns channel 0 of the output and checks
// both channels agree and every call stays within its bound.
std::vector<float> convertInBlocks(Converter& conv, const std::vector<float>& samples,
                                   uint32_t block) {
    const double ratio = conv.outputFormat().sampleRate() / conv.inputFormat().sampleRate();
    auto in = PcmBuffer::make(conv.inputFormat(), 8192);
    auto out = PcmBuffer::make(conv.outputFormat(), 9000);
    std::vector<float> result;
    for (size_t pos = 0; pos + block <= samples.size(); pos += block) {
        std::memcpy(in->floatChannelData()[0], &samples[pos], block * sizeof(float));
        std::memcpy(in->floatChannelData()[1], &samples[pos], block * sizeof(float));
        in->setFrameLength(block);
        const auto capacity = static_cast<uint32_t>(ratio * block) + 32;
        EXPECT_TRUE(out->reuseWithCapacity(capacity));
        OnceBlock once{in.get()};
        auto why = ConverterError::none;
        const auto status = conv.convert(*out, once, &why);
        EXPECT_EQ(why, ConverterError::none);
        EXPECT_EQ(status, ConverterOutputStatus::inputRanDry);
        EXPECT_EQ(once.calls, 2);  // once with data, once told "no data now"
        EXPECT_LE(out->frameLength(), static_cast<uint32_t>(std::ceil(ratio * block)) + 1);
        for (uint32_t i = 0; i < out->frameLength(); ++i) {
            EXPECT_EQ(
                std::memcmp(&out->floatChannelData()[0][i], &out->floatChannelData()[1][i], 4), 0);
            result.push_back(out->floatChannelData()[0][i]);
        }
    }
    return result;
}

std::vector<float> sine(double freq, double rate, size_t n, double amplitude = 0.5) {
    std::vector<float> s(n);
    for (size_t i = 0; i < n; ++i) {
        s[i] = static_cast<float>(amplitude * std::sin(2 * M_PI * freq * double(i) / rate));
    }
    return s;
}

TEST(Converter, EqualRatesPassEveryBitThroughWithoutDelay) {
    auto conv = Converter::make(fmt(48000), fmt(48000));
    ASSERT_TRUE(conv);
    EXPECT_TRUE(conv->isPassThrough());
    EXPECT_EQ(conv->latencyInputFrames(), 0u);
    // Arbitrary bit patterns, including denormals, infinities and NaN payloads.
    std::mt19937 rng(7);
    std::vector<float> samples(256 * 40);
    for (auto& s : samples) {
        const uint32_t bits = rng();
        std::memcpy(&s, &bits, sizeof s);
    }
    const auto out = convertInBlocks(*conv, samples, 256);
    ASSERT_EQ(out.size(), samples.size());
    EXPECT_EQ(std::memcmp(out.data(), samples.data(), samples.size() * sizeof(float)), 0);
}

TEST(Converter, ResamplesA44100SineTo48000CleanlyAndAtTheRightRate) {
    auto conv = Converter::make(fmt(44100), fmt(48000));
    ASSERT_TRUE(conv);
    EXPECT_FALSE(conv->isPassThrough());
    EXPECT_EQ(conv->latencyInputFrames(), 40u);  // 0.91 ms at 44100 Hz
    const auto in = sine(1000, 44100, 256 * 400);
    const auto out = convertInBlocks(*conv, in, 256);
    // Every input frame accounted for: output length follows the rate ratio within a frame.
    EXPECT_NEAR(double(out.size()), in.size() * 48000.0 / 44100.0, 2.0);
    const auto fit = fitSine(out, 1000.0 / 48000.0, 4800);  // skip the first 0.1 s
    EXPECT_GT(fit.snrDb, 100.0);
    EXPECT_NEAR(fit.amplitude, 0.5, 0.001);
}

TEST(Converter, KeepsStateAcrossCallsSoBlocksEqualOnePiece) {
    // The same signal converted in 256-frame blocks and in 4096-frame blocks gives the same
    // samples: nothing is reset, lost or repeated between calls.
    const auto in = sine(3000, 44100, 4096 * 4);
    auto a = Converter::make(fmt(44100), fmt(48000));
    auto b = Converter::make(fmt(44100), fmt(48000));
    const auto small = convertInBlocks(*a, in, 256);
    const auto large = convertInBlocks(*b, in, 4096);
    const size_t n = std::min(small.size(), large.size());
    ASSERT_GT(n, 17000u);
    for (size_t i = 0; i < n; ++i) ASSERT_NEAR(small[i], large[i], 1e-6f) << i;
}

TEST(Converter, OutputNeverExceedsCapacityAndKeepsWhatDidNotFit) {
    auto conv = Converter::make(fmt(48000), fmt(48000));
    auto in = PcmBuffer::make(fmt(48000), 8192);
    auto out = PcmBuffer::make(fmt(48000), 100);
    for (uint32_t i = 0; i < 256; ++i) {
        in->floatChannelData()[0][i] = float(i);
        in->floatChannelData()[1][i] = -float(i);
    }
    in->setFrameLength(256);
    auto why = ConverterError::none;
    OnceBlock once{in.get()};
    EXPECT_EQ(conv->convert(*out, once, &why), ConverterOutputStatus::haveData);
    EXPECT_EQ(once.calls, 1);  // output full before more input was needed
    EXPECT_EQ(out->frameLength(), 100u);

    // The rest comes out first on the next calls, before the block is asked again.
    std::vector<float> rest;
    for (int call = 0; call < 3; ++call) {
        OnceBlock none{nullptr, 1};
        conv->convert(*out, none, &why);
        for (uint32_t i = 0; i < out->frameLength(); ++i) {
            rest.push_back(out->floatChannelData()[0][i]);
        }
    }
    ASSERT_EQ(rest.size(), 156u);
    for (uint32_t i = 0; i < 156; ++i) EXPECT_EQ(rest[i], float(100 + i));
    EXPECT_EQ(why, ConverterError::none);
}

TEST(Converter, RefusesWhatItCannotConvert) {
    auto mono = *AudioFormat::make(AudioCommonFormat::pcmFloat32, 48000, 1, false);
    auto interleaved = *AudioFormat::make(AudioCommonFormat::pcmFloat32, 48000, 2, true);
    EXPECT_FALSE(Converter::make(mono, fmt(48000)));
    EXPECT_FALSE(Converter::make(interleaved, fmt(48000)));
    EXPECT_FALSE(Converter::make(fmt(48000), fmt(48000), 0));

    auto conv = Converter::make(fmt(44100), fmt(48000), 512);
    auto out = PcmBuffer::make(fmt(48000), 600);
    auto why = ConverterError::none;

    auto wrongRate = PcmBuffer::make(fmt(48000), 256);
    wrongRate->setFrameLength(256);
    OnceBlock a{wrongRate.get()};
    EXPECT_EQ(conv->convert(*out, a, &why), ConverterOutputStatus::error);
    EXPECT_EQ(why, ConverterError::formatMismatch);

    auto tooLong = PcmBuffer::make(fmt(44100), 1024);
    tooLong->setFrameLength(1024);
    OnceBlock b{tooLong.get()};
    EXPECT_EQ(conv->convert(*out, b, &why), ConverterOutputStatus::error);
    EXPECT_EQ(why, ConverterError::inputTooLong);

    auto wrongOut = PcmBuffer::make(fmt(44100), 600);
    OnceBlock c{tooLong.get()};
    EXPECT_EQ(conv->convert(*wrongOut, c, &why), ConverterOutputStatus::error);
    EXPECT_EQ(why, ConverterError::formatMismatch);
    // Without a place for the reason the refusal is the same; a later good call leaves the
    // reason of the last failure where it was.
    OnceBlock d{tooLong.get()};
    EXPECT_EQ(conv->convert(*wrongOut, d), ConverterOutputStatus::error);
    auto fits = PcmBuffer::make(fmt(44100), 256);
    fits->setFrameLength(256);
    OnceBlock e{fits.get()};
    EXPECT_EQ(conv->convert(*out, e, &why), ConverterOutputStatus::inputRanDry);
    EXPECT_EQ(why, ConverterError::formatMismatch);
}

TEST(AudioFormat, ClientStreamDescriptionRoundTripsAndOddOnesAreRefused) {
    AudioStreamBasicDescription d{};
    d.mSampleRate = 44100;
    d.mFormatID = kAudioFormatLinearPCM;
    d.mFormatFlags = 41;
    d.mBytesPerPacket = 4;
    d.mFramesPerPacket = 1;
    d.mBytesPerFrame = 4;
    d.mChannelsPerFrame = 2;
    d.mBitsPerChannel = 32;
    auto f = AudioFormat::fromStreamDescription(d);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->sampleRate(), 44100.0);
    EXPECT_EQ(f->channelCount(), 2u);
    EXPECT_FALSE(f->isInterleaved());
    const auto back = f->streamDescription();
    EXPECT_EQ(std::memcmp(&back, &d, sizeof d), 0);

    auto bad = d;
    bad.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
    EXPECT_FALSE(AudioFormat::fromStreamDescription(bad));
    bad = d;
    bad.mSampleRate = 0;
    EXPECT_FALSE(AudioFormat::fromStreamDescription(bad));
    bad = d;
    bad.mSampleRate = NAN;
    EXPECT_FALSE(AudioFormat::fromStreamDescription(bad));
    bad = d;
    bad.mChannelsPerFrame = 0;
    EXPECT_FALSE(AudioFormat::fromStreamDescription(bad));
}

TEST(PcmBuffer, LengthAndReuseStayWithinTheMemoryItWasMadeWith) {
    auto buf = PcmBuffer::make(fmt(48000), 300);
    ASSERT_TRUE(buf);
    EXPECT_FALSE(PcmBuffer::make(fmt(48000), 0));
    EXPECT_FALSE(buf->setFrameLength(301));
    EXPECT_TRUE(buf->setFrameLength(300));
    EXPECT_EQ(buf->floatChannelData()[1] - buf->floatChannelData()[0], 300);
    EXPECT_TRUE(buf->reuseWithCapacity(288));
    EXPECT_EQ(buf->frameCapacity(), 288u);
    EXPECT_EQ(buf->frameLength(), 0u);
    EXPECT_FALSE(buf->setFrameLength(289));
    EXPECT_FALSE(buf->reuseWithCapacity(301));
    EXPECT_EQ(buf->frameCapacity(), 288u);
}

}  // namespace
