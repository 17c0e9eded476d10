// The soak's ramp tracker against the real thing: ramp frames made by qwplay's generator and
// turned into 16-bit samples by the bridge's own conversion.
#include "ramp_tracker.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "bridge/capture/coreaudio/render_callback.h"
#include "signal_generator.h"

namespace {

class Stream {
  public:
    Stream& ramp(uint64_t from, uint64_t count) {
        for (uint64_t n = from; n < from + count; ++n) {
            const qwplay::RampFrame f = qwplay::rampFrame(n);
            sample(toStreamSample(f.left), toStreamSample(f.right));
        }
        return *this;
    }
    Stream& silence(uint64_t count) {
        for (uint64_t i = 0; i < count; ++i) sample(0, 0);
        return *this;
    }
    Stream& sample(int16_t left, int16_t right) {
        for (int16_t v : {left, right}) {
            bytes.push_back(static_cast<uint8_t>(static_cast<uint16_t>(v) & 0xFF));
            bytes.push_back(static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8));
        }
        return *this;
    }
    // Feeds the tracker in uneven pieces, as the WAV file grows.
    void feedTo(RampTracker& t, size_t piece = 1000) const {
        const size_t frames = bytes.size() / 4;
        for (size_t at = 0; at < frames; at += piece) {
            t.feed(bytes.data() + 4 * at, std::min(piece, frames - at), static_cast<double>(at));
        }
    }
    std::vector<uint8_t> bytes;
};

TEST(RampTracker, ModelsTheBridgeConversion) {
    for (int32_t m = -32768; m <= 32767; ++m) {
        ASSERT_EQ(RampTracker::streamValue(m), toStreamSample(static_cast<float>(m) / 32768.0f))
            << "word " << m;
    }
}

TEST(RampTracker, AnUnbrokenRampHasNoGapsAcrossAmbiguousValuesAndWordCarries) {
    // 32767..32769 all arrive as low sample 0; 65535 -> 65536 carries into the high word.
    RampTracker t;
    Stream().ramp(30000, 80000).feedTo(t, 777);
    EXPECT_TRUE(t.gaps().empty());
    EXPECT_EQ(t.rampFrames(), 80000u);
    EXPECT_EQ(*t.first(), 30000);
    EXPECT_EQ(*t.last(), 30000 + 80000 - 1);
    EXPECT_EQ(t.unreadableFrames(), 0u);
}

TEST(RampTracker, RecordsMissingSilentAndRepeatedFramesWhereTheyHappen) {
    RampTracker t;
    Stream()
        .silence(5)       // before the first ramp frame: not a gap
        .ramp(1000, 100)  // 1000..1099
        .ramp(1300, 100)  // 200 missing
        .silence(50)      // the player went away...
        .ramp(5000, 10)   // ...and came back elsewhere
        .silence(3)       // silence inserted, nothing missing
        .ramp(5010, 10)
        .ramp(5015, 10)  // went back: repeated
        .feedTo(t, 64);
    ASSERT_EQ(t.gaps().size(), 4u);
    const RampGap& missing = t.gaps()[0];
    EXPECT_EQ(missing.before, 1099);
    EXPECT_EQ(missing.after, 1300);
    EXPECT_EQ(missing.missing(), 200);
    EXPECT_EQ(missing.silent, 0u);
    EXPECT_EQ(missing.index, 5u + 100u);
    EXPECT_EQ(t.gaps()[1].after, 5000);
    EXPECT_EQ(t.gaps()[1].silent, 50u);
    EXPECT_EQ(t.gaps()[2].missing(), 0);
    EXPECT_EQ(t.gaps()[2].silent, 3u);
    EXPECT_TRUE(t.gaps()[3].repeated());
    EXPECT_EQ(t.silentFrames(), 58u);
}

TEST(RampTracker, ResumingOnAnAmbiguousFrameIsSettledByTheNextOnes) {
    // After each jump the ramp resumes where the low sample is 0 (words -1, 0 or 1), once on
    // the first and once on the last of the three.
    RampTracker t;
    Stream().ramp(100, 10).ramp(32767, 20).ramp(2 * 65536 + 32769, 20).feedTo(t, 3);
    ASSERT_EQ(t.gaps().size(), 2u);
    EXPECT_EQ(t.gaps()[0].after, 32767);
    EXPECT_EQ(t.gaps()[0].index, 10u);
    EXPECT_EQ(t.gaps()[1].before, 32767 + 19);
    EXPECT_EQ(t.gaps()[1].after, 2 * 65536 + 32769);
    EXPECT_EQ(t.gaps()[1].index, 30u);
}

TEST(RampTracker, CountsFramesNoRampCanProduce) {
    // The bridge never sends 32767 for a ramp word, so such a frame is foreign.
    RampTracker t;
    Stream().ramp(10, 5).sample(1234, 32767).ramp(15, 5).feedTo(t);
    EXPECT_EQ(t.unreadableFrames(), 1u);
    EXPECT_TRUE(t.gaps().empty());
}

}  // namespace
