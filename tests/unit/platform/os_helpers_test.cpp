// The header-only helpers over the platform interfaces (osutil/): a CFString read out whole as
// UTF-8 through CFStringGetBytes, and host ticks to nanoseconds at any timebase.

#include <gtest/gtest.h>
#include <standin/mach_time_control.h>

#include <string>

#include "osutil/cf_utf8.h"
#include "osutil/host_time.h"

namespace {

using namespace std::string_literals;

CFStringRef make(const std::string& bytes) {
    return CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(bytes.data()),
                                   static_cast<CFIndex>(bytes.size()), kCFStringEncodingUTF8,
                                   false);
}

TEST(CfUtf8, ReadsTheWholeStringIncludingNulsAndFourByteCharacters) {
    for (const std::string& text : {""s, "Quillwave"s, "Quillwave\0Pro"s, "\0"s,
                                    "caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x93\x8A!"s}) {
        CFStringRef s = make(text);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(qw::utf8Of(s), text);
        CFRelease(s);
    }
    EXPECT_EQ(qw::utf8Of(nullptr), std::nullopt);
}

TEST(CfUtf8, GetBytesTakesWholeCharactersOfTheRangeAndCountsWithoutABuffer) {
    CFStringRef s = make(
        "a\xC3\xA9\xF0\x9F\x93\x8A"
        "b"s);  // 1 + 1 + 2 + 1 UTF-16 units
    ASSERT_EQ(CFStringGetLength(s), 5);
    CFIndex used = -1;
    EXPECT_EQ(
        CFStringGetBytes(s, CFRangeMake(0, 5), kCFStringEncodingUTF8, 0, false, nullptr, 0, &used),
        5);
    EXPECT_EQ(used, 8);
    UInt8 buffer[8] = {};
    // Room for 4 bytes: 'a' and the 2-byte character fit, the 4-byte one does not.
    EXPECT_EQ(
        CFStringGetBytes(s, CFRangeMake(0, 5), kCFStringEncodingUTF8, 0, false, buffer, 4, &used),
        2);
    EXPECT_EQ(used, 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 3), "a\xC3\xA9");
    EXPECT_EQ(
        CFStringGetBytes(s, CFRangeMake(2, 3), kCFStringEncodingUTF8, 0, false, buffer, 8, &used),
        3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), static_cast<size_t>(used)),
              "\xF0\x9F\x93\x8A"
              "b");
    // ASCII: other characters only with a loss byte.
    EXPECT_EQ(
        CFStringGetBytes(s, CFRangeMake(0, 5), kCFStringEncodingASCII, 0, false, buffer, 8, &used),
        1);
    EXPECT_EQ(CFStringGetBytes(s, CFRangeMake(0, 5), kCFStringEncodingASCII, '?', false, buffer, 8,
                               &used),
              5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), static_cast<size_t>(used)), "a??b");
    CFRelease(s);
}

TEST(HostTime, TicksToNanosecondsAndBackAtAnyTimebase) {
    constexpr mach_timebase_info_data_t kNanos{1, 1};
    constexpr mach_timebase_info_data_t k24MHz{125, 3};
    static_assert(qw::hostTicksToNs(24'000'000, k24MHz) == 1'000'000'000);
    static_assert(qw::nsToHostTicks(1'000'000'000, k24MHz) == 24'000'000);
    static_assert(qw::hostTicksToNs(UINT64_MAX, kNanos) == UINT64_MAX);
    // 400 years of 24 MHz ticks overflow 64 bits when multiplied first, but not here.
    constexpr uint64_t ticks = 24'000'000ull * 3600 * 24 * 365 * 400;
    static_assert(qw::hostTicksToNs(ticks, k24MHz) == ticks / 3 * 125);
    // The stand-in clock counts in ticks of the timebase set before the first use.
    standinSetMachTimebase(125, 3);
    const mach_timebase_info_data_t tb = qw::hostTimebase();
    EXPECT_EQ(tb.numer, 125u);
    EXPECT_EQ(tb.denom, 3u);
    const uint64_t before = qw::hostNowNs();
    const uint64_t ticksNow = mach_absolute_time();
    EXPECT_NEAR(static_cast<double>(qw::hostTicksToNs(ticksNow)), static_cast<double>(before), 1e8);
}

}  // namespace
