// findDevice against a fake HAL (this test supplies the two property calls).

#include "bridge/capture/coreaudio/device_lookup.h"

#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

struct FakeHal {
    std::vector<AudioObjectID> devices;
    std::optional<UInt32> reportedSize;  // overrides the size answer when set
    std::optional<UInt32> filledCount;   // fills only this many entries of the list
    std::map<AudioObjectID, std::string> names;
    std::map<AudioObjectID, OSStatus> nameFailures;
    std::vector<CFStringRef> handedOut;
    int sizeCalls = 0;
    int listCalls = 0;
    std::vector<AudioObjectID> asked;
} gHal;

}  // namespace

extern "C" OSStatus AudioObjectGetPropertyDataSize(AudioObjectID object,
                                                   const AudioObjectPropertyAddress* address,
                                                   UInt32, const void*, UInt32* size) {
    ++gHal.sizeCalls;
    EXPECT_EQ(object, kAudioObjectSystemObject);
    EXPECT_EQ(address->mSelector, kAudioHardwarePropertyDevices);
    EXPECT_EQ(address->mScope, kAudioObjectPropertyScopeGlobal);
    EXPECT_EQ(address->mElement, kAudioObjectPropertyElementMain);
    *size = gHal.reportedSize.value_or(UInt32(gHal.devices.size() * 4));
    return 0;
}

extern "C" OSStatus AudioObjectGetPropertyData(AudioObjectID object,
                                               const AudioObjectPropertyAddress* address, UInt32,
                                               const void*, UInt32* size, void* data) {
    if (address->mSelector == kAudioHardwarePropertyDevices) {
        ++gHal.listCalls;
        EXPECT_EQ(object, kAudioObjectSystemObject);
        const UInt32 room = *size / 4;
        const UInt32 n =
            std::min<UInt32>({room, UInt32(gHal.devices.size()), gHal.filledCount.value_or(room)});
        auto* out = static_cast<AudioObjectID*>(data);
        for (UInt32 i = 0; i < n; ++i) out[i] = gHal.devices[i];
        *size = n * 4;
        return 0;
    }
    EXPECT_EQ(address->mSelector, kAudioObjectPropertyName);
    EXPECT_EQ(address->mScope, kAudioObjectPropertyScopeGlobal);
    EXPECT_EQ(*size, sizeof(CFStringRef));
    EXPECT_EQ(*static_cast<CFStringRef*>(data), nullptr);
    gHal.asked.push_back(object);
    if (auto f = gHal.nameFailures.find(object); f != gHal.nameFailures.end()) return f->second;
    auto it = gHal.names.find(object);
    if (it == gHal.names.end()) return 'who?';
    CFStringRef s = CFStringCreateWithBytes(
        nullptr, reinterpret_cast<const UInt8*>(it->second.data()),
        static_cast<CFIndex>(it->second.size()), kCFStringEncodingUTF8, false);
    CFRetain(s);  // one for the test, to check the caller releases its own
    gHal.handedOut.push_back(s);
    *static_cast<CFStringRef*>(data) = s;
    return 0;
}

namespace {

class FindDevice : public ::testing::Test {
  protected:
    void SetUp() override { gHal = {}; }
    void TearDown() override {
        for (CFStringRef s : gHal.handedOut) {
            EXPECT_EQ(CFGetRetainCount(s), 1);  // findDevice released its reference
            CFRelease(s);
        }
    }
};

TEST_F(FindDevice, NoDevicesMeansNoSecondCall) {
    EXPECT_EQ(findDevice("Quillwave"), std::nullopt);
    EXPECT_EQ(gHal.sizeCalls, 1);
    EXPECT_EQ(gHal.listCalls, 0);
    gHal.reportedSize = 3;  // less than one ID
    EXPECT_EQ(findDevice("Quillwave"), std::nullopt);
    EXPECT_EQ(gHal.listCalls, 0);
}

TEST_F(FindDevice, FirstExactMatchInListOrderWins) {
    gHal.devices = {40, 41, 42, 43, 44};
    gHal.names = {{40, "quillwave"},
                  {41, "Quillwave Pro"},
                  {42, "My Quillwave"},
                  {43, "Quillwave"},
                  {44, "Quillwave"}};
    EXPECT_EQ(findDevice("Quillwave"), 43u);
    EXPECT_EQ(gHal.asked, (std::vector<AudioObjectID>{40, 41, 42, 43}));  // stops at the match
    EXPECT_EQ(findDevice("Quill"), std::nullopt);
    EXPECT_EQ(findDevice(""), std::nullopt);
}

TEST_F(FindDevice, DevicesWhoseNameCannotBeReadAreSkipped) {
    gHal.devices = {7, 8, 9};
    gHal.nameFailures = {{7, 'who?'}};
    gHal.names = {{9, "Quillwave"}};  // 8 answers with success but no string
    gHal.nameFailures[8] = 0;
    EXPECT_EQ(findDevice("Quillwave"), 9u);
}

TEST_F(FindDevice, ShortOrOddAnswersAreHandledSafely) {
    gHal.devices = {5, 6, 7};
    gHal.names = {{0, "Quillwave"}, {7, "Quillwave"}};
    gHal.filledCount = 1;  // entries 2 and 3 stay 0, and 0 is asked like any other
    EXPECT_EQ(findDevice("Quillwave"), 0u);
    EXPECT_EQ(gHal.asked, (std::vector<AudioObjectID>{5, 0}));

    gHal.asked.clear();
    gHal.filledCount.reset();
    gHal.names.erase(0);
    gHal.reportedSize = 3 * 4 + 3;  // a remainder is dropped, never written past
    EXPECT_EQ(findDevice("Quillwave"), 7u);
}

// A name is compared whole, past any NUL character: "Quillwave", a NUL and more is another
// device, however it is read out of the string.
TEST_F(FindDevice, NamesWithANulInsideAreComparedWhole) {
    using namespace std::string_literals;
    gHal.devices = {50, 51, 52, 53};
    gHal.names = {
        {50, "Quillwave\0"s}, {51, "Quillwave\0Pro"s}, {52, "\0Quillwave"s}, {53, "Quillwave"}};
    EXPECT_EQ(findDevice("Quillwave"), 53u);
    EXPECT_EQ(gHal.asked, (std::vector<AudioObjectID>{50, 51, 52, 53}));
    EXPECT_EQ(findDevice("Quillwave\0Pro"s), 51u);
    EXPECT_EQ(findDevice("Quillwave\0"s), 50u);
    EXPECT_EQ(findDevice("\0"s), std::nullopt);
}

TEST_F(FindDevice, NonAsciiNamesCompareByTheirBytes) {
    gHal.devices = {3, 4};
    gHal.names = {{3, "Quillwav\xC3\xA9"}, {4, "Quillwave"}};
    EXPECT_EQ(findDevice("Quillwav\xC3\xA9"), 3u);
    EXPECT_EQ(findDevice("Quillwave"), 4u);
}

}  // namespace
