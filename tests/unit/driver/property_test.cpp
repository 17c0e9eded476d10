// The object and property model of quillwave-driver: what every object answers, list truncation,
// buffer bounds, and agreement between the size, data, has and settable operations.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <set>
#include <string>
#include <tuple>

#include "driver_harness.h"
#include "fake_host.h"

using namespace driver_test;

namespace {

constexpr AudioObjectID kPlugIn = 1, kDevice = 2, kOutput = 3, kInput = 4, kVolume = 6, kMute = 7;
constexpr Float64 kRates[] = {44100, 48000, 88200, 96000, 176400, 192000};

// Every selector the header knows, and a few it does not.
const AudioObjectPropertySelector kSelectors[] = {
    'bcls', 'clas', 'stdv', 'lnam', 'lmod', 'lmak', 'ownd', 'ctrl', 'piid', 'dev#', 'uidd',
    'rsrc', 'capp', 'uid ', 'muid', 'tran', 'akin', 'clkd', 'livn', 'goin', 'dflt', 'sflt',
    'ltnc', 'stm#', 'saft', 'nsrt', 'nsr#', 'hidn', 'dch2', 'srnd', 'ring', 'fsiz', 'fsz#',
    'slay', 'sact', 'sdir', 'term', 'schn', 'sfmt', 'sfma', 'pft ', 'pfta', 'cscp', 'celm',
    'lcsv', 'lcdv', 'lcdr', 'lcsd', 'lcds', 'bcvl', 'zzzz', 0};
const AudioObjectPropertyScope kScopes[] = {'glob', 'inpt', 'outp', 'ptru', '****'};
// Values handed out in whole entries; every other value is all or nothing.
const std::set<AudioObjectPropertySelector> kLists = {'ownd', 'dev#', 'ctrl', 'stm#',
                                                      'nsr#', 'sfma', 'pfta'};

class DriverProperties : public ::testing::Test {
  protected:
    void SetUp() override {
        driver = createDriver();
        ASSERT_NE(driver, nullptr);
    }

    OSStatus sizeOf(AudioObjectID object, AudioObjectPropertyAddress where, UInt32& size) {
        return table(driver).GetPropertyDataSize(driver, object, 0, &where, 0, nullptr, &size);
    }
    UInt32 sizeOf(AudioObjectID object, AudioObjectPropertySelector selector,
                  AudioObjectPropertyScope scope = 'glob') {
        UInt32 size = 0xDEAD;
        EXPECT_EQ(sizeOf(object, address(selector, scope), size), 0);
        return size;
    }
    template <typename T>
    T value(AudioObjectID object, AudioObjectPropertySelector selector) {
        return readValue<T>(driver, object, address(selector));
    }
    std::string text(AudioObjectID object, AudioObjectPropertySelector selector) {
        const auto s = value<CFStringRef>(object, selector);
        const char* c = s == nullptr ? nullptr : CFStringGetCStringPtr(s, kCFStringEncodingUTF8);
        return c == nullptr ? "<none>" : c;
    }
    std::vector<UInt32> ids(AudioObjectID object, AudioObjectPropertySelector selector,
                            UInt32 capacity, AudioObjectPropertyScope scope = 'glob') {
        const PropertyRead read = readProperty(driver, object, address(selector, scope), capacity);
        EXPECT_EQ(read.status, 0);
        std::vector<UInt32> out(read.written / 4);
        if (read.written > 0) std::memcpy(out.data(), read.bytes.data(), read.written);
        return out;
    }

    AudioServerPlugInDriverRef driver = nullptr;
};

AudioStreamBasicDescription expectedFormat(Float64 rate) {
    return {rate,
            kAudioFormatLinearPCM,
            kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked,
            8,
            1,
            8,
            2,
            32,
            0};
}

bool sameFormat(const AudioStreamBasicDescription& a, const AudioStreamBasicDescription& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

TEST_F(DriverProperties, ListsAreCutToWholeEntries) {
    EXPECT_EQ(ids(kDevice, 'ownd', 4), (std::vector<UInt32>{3}));
    EXPECT_EQ(ids(kDevice, 'ownd', 8), (std::vector<UInt32>{3, 4}));
    EXPECT_EQ(ids(kDevice, 'ownd', 7), (std::vector<UInt32>{3}));
    EXPECT_EQ(ids(kDevice, 'ownd', 64), (std::vector<UInt32>{3, 4, 6, 7}));
    EXPECT_EQ(ids(kDevice, 'ctrl', 64), (std::vector<UInt32>{6, 7}));
    EXPECT_EQ(ids(kDevice, 'ctrl', 7), (std::vector<UInt32>{6}));
    EXPECT_TRUE(ids(kDevice, 'ownd', 3).empty());
    EXPECT_EQ(ids(kPlugIn, 'dev#', 4), (std::vector<UInt32>{2}));
    EXPECT_EQ(ids(kPlugIn, 'ownd', 100), (std::vector<UInt32>{2}));
    EXPECT_TRUE(ids(kPlugIn, 'dev#', 3).empty());

    PropertyRead rates = readProperty(driver, kDevice, address('nsr#'), 40);
    EXPECT_EQ(rates.status, 0);
    ASSERT_EQ(rates.written, 32u);
    AudioValueRange two[2];
    std::memcpy(two, rates.bytes.data(), sizeof two);
    EXPECT_EQ(two[0].mMinimum, 44100.0);
    EXPECT_EQ(two[0].mMaximum, 44100.0);
    EXPECT_EQ(two[1].mMinimum, 48000.0);
    EXPECT_EQ(two[1].mMaximum, 48000.0);
    rates = readProperty(driver, kDevice, address('nsr#'), 96);
    ASSERT_EQ(rates.written, 96u);
    for (int i = 0; i < 6; ++i) {
        AudioValueRange r;
        std::memcpy(&r, rates.bytes.data() + 16 * i, sizeof r);
        EXPECT_EQ(r.mMinimum, kRates[i]);
        EXPECT_EQ(r.mMaximum, kRates[i]);
    }

    for (AudioObjectID stream : {kOutput, kInput}) {
        for (AudioObjectPropertySelector sel : {'sfma', 'pfta'}) {
            PropertyRead formats = readProperty(driver, stream, address(sel), 100);
            EXPECT_EQ(formats.status, 0);
            ASSERT_EQ(formats.written, 56u);
            AudioStreamRangedDescription one;
            std::memcpy(&one, formats.bytes.data(), sizeof one);
            EXPECT_TRUE(sameFormat(one.mFormat, expectedFormat(44100)));
            formats = readProperty(driver, stream, address(sel), 55);
            EXPECT_EQ(formats.status, 0);
            EXPECT_EQ(formats.written, 0u);
        }
    }
}

// OwnedObjects with class qualifiers: only objects of a named class or of one derived from it,
// the same in the size and the data, on every object.
TEST_F(DriverProperties, OwnedObjectsHonourTheClassQualifier) {
    struct Case {
        AudioObjectID object;
        std::vector<AudioClassID> classes;
        std::vector<UInt32> owned;
    };
    const Case cases[] = {
        {kPlugIn, {}, {2}},
        {kPlugIn, {kAudioDeviceClassID}, {2}},
        {kPlugIn, {kAudioObjectClassID}, {2}},
        {kPlugIn, {kAudioStreamClassID}, {}},
        {kPlugIn, {'zzzz', kAudioPlugInClassID}, {}},
        {kPlugIn, {'zzzz', kAudioDeviceClassID}, {2}},
        {kDevice, {}, {3, 4, 6, 7}},
        {kDevice, {kAudioStreamClassID}, {3, 4}},
        {kDevice, {kAudioObjectClassID}, {3, 4, 6, 7}},
        {kDevice, {kAudioDeviceClassID}, {}},
        {kDevice, {kAudioControlClassID, kAudioPlugInClassID}, {6, 7}},
        {kDevice, {kAudioLevelControlClassID}, {6}},
        {kDevice, {kAudioMuteControlClassID}, {7}},
        {kDevice, {kAudioBooleanControlClassID, kAudioStreamClassID}, {3, 4, 7}},
        {kVolume, {}, {}},
        {kOutput, {}, {}},
        {kInput, {kAudioObjectClassID}, {}},
    };
    const AudioObjectPropertyAddress where = address('ownd');
    for (const Case& c : cases) {
        const auto qualifierSize = static_cast<UInt32>(c.classes.size() * sizeof(AudioClassID));
        const void* qualifier = c.classes.empty() ? nullptr : c.classes.data();
        UInt32 size = 0xDEAD;
        EXPECT_EQ(table(driver).GetPropertyDataSize(driver, c.object, 0, &where, qualifierSize,
                                                    qualifier, &size),
                  0);
        EXPECT_EQ(size, 4 * c.owned.size()) << c.object << " " << c.classes.size();
        std::vector<UInt32> got(8, 0);
        UInt32 written = 0xDEAD;
        EXPECT_EQ(table(driver).GetPropertyData(driver, c.object, 0, &where, qualifierSize,
                                                qualifier, 32, &written, got.data()),
                  0);
        got.resize(written / 4);
        EXPECT_EQ(got, c.owned) << c.object << " " << c.classes.size();
    }
    // A qualifier part shorter than one class ID is no class.
    const AudioClassID stream = kAudioStreamClassID;
    UInt32 size = 0;
    EXPECT_EQ(table(driver).GetPropertyDataSize(driver, kDevice, 0, &where, 3, &stream, &size), 0);
    EXPECT_EQ(size, 16u);
}

TEST_F(DriverProperties, StreamsFollowTheScope) {
    EXPECT_EQ(ids(kDevice, 'stm#', 64, 'inpt'), (std::vector<UInt32>{4}));
    EXPECT_EQ(ids(kDevice, 'stm#', 64, 'outp'), (std::vector<UInt32>{3}));
    EXPECT_EQ(ids(kDevice, 'stm#', 64, 'glob'), (std::vector<UInt32>{3, 4}));
    EXPECT_EQ(ids(kDevice, 'stm#', 4, 'glob'), (std::vector<UInt32>{3}));
    EXPECT_EQ(ids(kDevice, 'stm#', 4, 'inpt'), (std::vector<UInt32>{4}));
    EXPECT_TRUE(ids(kDevice, 'stm#', 64, 'ptru').empty());
    EXPECT_TRUE(ids(kDevice, 'stm#', 64, '****').empty());
    EXPECT_EQ(sizeOf(kDevice, 'stm#', 'inpt'), 4u);
    EXPECT_EQ(sizeOf(kDevice, 'stm#', 'outp'), 4u);
    EXPECT_EQ(sizeOf(kDevice, 'stm#', 'glob'), 8u);
    EXPECT_EQ(sizeOf(kDevice, 'stm#', 'ptru'), 0u);
    // Everything else ignores the scope.
    EXPECT_EQ(ids(kDevice, 'ownd', 64, 'inpt'), (std::vector<UInt32>{3, 4, 6, 7}));
}

// For every object, selector and scope: HasProperty agrees with GetPropertyDataSize; the data
// written is exactly the reported size; a buffer one byte short gets fewer whole entries of a
// list or nothing at all ('!siz'); nothing is ever written past the buffer.
TEST_F(DriverProperties, SizeDataAndHasAgreeEverywhere) {
    constexpr UInt32 kGuard = 64;
    constexpr unsigned char kFill = 0xA5;
    int present = 0;
    for (AudioObjectID object = 0; object <= 8; ++object) {
        for (AudioObjectPropertySelector sel : kSelectors) {
            for (AudioObjectPropertyScope scope : kScopes) {
                SCOPED_TRACE(::testing::Message()
                             << "object " << object << " selector " << sel << " scope " << scope);
                const AudioObjectPropertyAddress where = address(sel, scope);
                UInt32 size = 0xDEAD;
                const OSStatus sizeStatus = sizeOf(object, where, size);
                EXPECT_EQ(table(driver).HasProperty(driver, object, 0, &where), sizeStatus == 0);
                std::vector<unsigned char> buffer(512 + kGuard, kFill);
                UInt32 written = 0xBEEF;
                const OSStatus dataStatus = table(driver).GetPropertyData(
                    driver, object, 0, &where, 0, nullptr, 512, &written, buffer.data());
                EXPECT_EQ(dataStatus, sizeStatus);
                if (sizeStatus != 0) {
                    EXPECT_TRUE(sizeStatus == kAudioHardwareBadObjectError ||
                                sizeStatus == kAudioHardwareUnknownPropertyError);
                    EXPECT_EQ(sizeStatus == kAudioHardwareBadObjectError,
                              object < 1 || object == 5 || object > 7);
                    EXPECT_EQ(size, 0xDEADu);  // not written on failure
                    EXPECT_EQ(written, 0xBEEFu);
                    continue;
                }
                ++present;
                EXPECT_EQ(written, size);
                for (size_t i = size; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], kFill) << i;
                if (size == 0) continue;

                std::vector<unsigned char> tight(size - 1 + kGuard, kFill);
                written = 0xBEEF;
                const OSStatus shortStatus = table(driver).GetPropertyData(
                    driver, object, 0, &where, 0, nullptr, size - 1, &written, tight.data());
                if (kLists.count(sel) != 0) {
                    EXPECT_EQ(shortStatus, 0);
                    EXPECT_LT(written, size);
                    EXPECT_EQ(std::memcmp(tight.data(), buffer.data(), written), 0);
                } else {
                    EXPECT_EQ(shortStatus, kAudioHardwareBadPropertySizeError);
                    EXPECT_EQ(written, 0xBEEFu);
                    written = 0;
                }
                for (size_t i = written; i < tight.size(); ++i) ASSERT_EQ(tight[i], kFill) << i;
            }
        }
    }
    // Plug-in, device, two streams, volume, mute; every scope.
    EXPECT_EQ(present, (8 + 28 + 2 * 13 + 11 + 7) * 5);
}

TEST_F(DriverProperties, ObjectTreeAndIdentity) {
    EXPECT_EQ(value<UInt32>(kPlugIn, 'bcls'), kAudioObjectClassID);
    EXPECT_EQ(value<UInt32>(kPlugIn, 'clas'), kAudioPlugInClassID);
    EXPECT_EQ(value<UInt32>(kPlugIn, 'stdv'), 0u);
    EXPECT_EQ(text(kPlugIn, 'lmak'), "KelderwickLabs");
    EXPECT_EQ(text(kPlugIn, 'rsrc'), "");
    // The UID translation knows only the device's own UID; any other, or none, is no error.
    AudioObjectPropertyAddress where = address('uidd');
    auto translate = [&](CFStringRef uid, UInt32 qualifierSize) {
        AudioObjectID translated = 99;
        UInt32 written = 0, size = 0;
        EXPECT_EQ(table(driver).GetPropertyDataSize(driver, kPlugIn, 0, &where, qualifierSize, &uid,
                                                    &size),
                  0);
        EXPECT_EQ(size, 4u);
        EXPECT_EQ(table(driver).GetPropertyData(driver, kPlugIn, 0, &where, qualifierSize, &uid,
                                                sizeof translated, &written, &translated),
                  0);
        EXPECT_EQ(written, 4u);
        return translated;
    };
    EXPECT_EQ(translate(CFSTR("QWV_Device_UID"), sizeof(CFStringRef)), 2u);
    EXPECT_EQ(translate(CFSTR("Some_Other_UID"), sizeof(CFStringRef)), kAudioObjectUnknown);
    EXPECT_EQ(translate(CFSTR("QWV_Device_UID "), sizeof(CFStringRef)), kAudioObjectUnknown);
    EXPECT_EQ(translate(nullptr, sizeof(CFStringRef)), kAudioObjectUnknown);
    EXPECT_EQ(translate(CFSTR("QWV_Device_UID"), 0), kAudioObjectUnknown);

    EXPECT_EQ(value<UInt32>(kDevice, 'bcls'), kAudioObjectClassID);
    EXPECT_EQ(value<UInt32>(kDevice, 'clas'), kAudioDeviceClassID);
    EXPECT_EQ(value<UInt32>(kDevice, 'stdv'), 1u);
    EXPECT_EQ(text(kDevice, 'lnam'), "Quillwave");
    EXPECT_EQ(text(kDevice, 'lmak'), "KelderwickLabs");
    EXPECT_EQ(text(kDevice, 'uid '), "QWV_Device_UID");
    EXPECT_EQ(text(kDevice, 'muid'), "QWV_Model_UID");
    EXPECT_EQ(value<UInt32>(kDevice, 'tran'), kAudioDeviceTransportTypeVirtual);
    EXPECT_EQ(value<UInt32>(kDevice, 'akin'), 2u);
    const std::pair<AudioObjectPropertySelector, UInt32> numbers[] = {
        {'clkd', 0}, {'livn', 1}, {'goin', 0}, {'dflt', 1},     {'sflt', 1},
        {'hidn', 0}, {'ltnc', 0}, {'saft', 0}, {'ring', 12000}, {'fsiz', 512}};
    for (const auto& [sel, expected] : numbers)
        EXPECT_EQ(value<UInt32>(kDevice, sel), expected) << sel;
    EXPECT_EQ(value<Float64>(kDevice, 'nsrt'), 48000.0);
    const auto range = value<AudioValueRange>(kDevice, 'fsz#');
    EXPECT_EQ(range.mMinimum, 16.0);
    EXPECT_EQ(range.mMaximum, 2048.0);
    EXPECT_EQ(sizeOf(kDevice, 'ctrl'), 8u);

    for (AudioObjectID stream : {kOutput, kInput}) {
        EXPECT_EQ(value<UInt32>(stream, 'bcls'), kAudioObjectClassID);
        EXPECT_EQ(value<UInt32>(stream, 'clas'), kAudioStreamClassID);
        EXPECT_EQ(value<UInt32>(stream, 'stdv'), 2u);
        EXPECT_EQ(value<UInt32>(stream, 'sact'), 1u);
        EXPECT_EQ(value<UInt32>(stream, 'schn'), 1u);
        EXPECT_EQ(value<UInt32>(stream, 'ltnc'), 0u);
        EXPECT_EQ(sizeOf(stream, 'ownd'), 0u);
    }
    EXPECT_EQ(value<UInt32>(kOutput, 'sdir'), 0u);
    EXPECT_EQ(value<UInt32>(kInput, 'sdir'), 1u);
    EXPECT_EQ(value<UInt32>(kOutput, 'term'), kAudioStreamTerminalTypeSpeaker);
    EXPECT_EQ(value<UInt32>(kInput, 'term'), kAudioStreamTerminalTypeMicrophone);

    const std::tuple<AudioObjectID, AudioClassID, AudioClassID> controls[] = {
        {kVolume, kAudioLevelControlClassID, kAudioVolumeControlClassID},
        {kMute, kAudioBooleanControlClassID, kAudioMuteControlClassID}};
    for (const auto& [control, base, cls] : controls) {
        EXPECT_EQ(value<UInt32>(control, 'bcls'), base);
        EXPECT_EQ(value<UInt32>(control, 'clas'), cls);
        EXPECT_EQ(value<UInt32>(control, 'stdv'), 2u);
        EXPECT_EQ(value<UInt32>(control, 'cscp'), kAudioObjectPropertyScopeOutput);
        EXPECT_EQ(value<UInt32>(control, 'celm'), kAudioObjectPropertyElementMain);
    }
    // At load: full volume, not muted.
    EXPECT_EQ(value<Float32>(kVolume, 'lcsv'), 1.0f);
    EXPECT_EQ(value<Float32>(kVolume, 'lcdv'), 0.0f);
    EXPECT_EQ(value<UInt32>(kMute, 'bcvl'), 0u);
    const auto decibels = value<AudioValueRange>(kVolume, 'lcdr');
    EXPECT_EQ(decibels.mMinimum, -48.0);
    EXPECT_EQ(decibels.mMaximum, 0.0);
    // The conversions take the value in the caller's buffer, clamped into the range.
    const std::tuple<AudioObjectPropertySelector, Float32, Float32> conversions[] = {
        {'lcsd', 0.5f, -24.0f},  {'lcsd', 2.0f, 0.0f},    {'lcsd', -1.0f, -48.0f},
        {'lcds', -6.0f, 0.875f}, {'lcds', -100.0f, 0.0f}, {'lcds', NAN, 0.0f}};
    for (const auto& [sel, in, out] : conversions) {
        Float32 x = in;
        UInt32 written = 0;
        where = address(sel);
        EXPECT_EQ(
            table(driver).GetPropertyData(driver, kVolume, 0, &where, 0, nullptr, 4, &written, &x),
            0);
        EXPECT_EQ(written, 4u);
        EXPECT_EQ(x, out) << sel << " " << in;
    }

    where = address('lnam');
    EXPECT_FALSE(table(driver).HasProperty(driver, kPlugIn, 0, &where));
    EXPECT_FALSE(table(driver).HasProperty(driver, 5, 0, &where));
}

// The channel count, sample format and rates are the same wherever they are stated.
TEST_F(DriverProperties, OneFormatEverywhere) {
    for (Float64 rate : {48000.0, 176400.0}) {
        table(driver).PerformDeviceConfigurationChange(driver, kDevice, static_cast<UInt64>(rate),
                                                       nullptr);
        for (AudioObjectID stream : {kOutput, kInput}) {
            for (AudioObjectPropertySelector sel : {'sfmt', 'pft '}) {
                EXPECT_TRUE(sameFormat(value<AudioStreamBasicDescription>(stream, sel),
                                       expectedFormat(rate)));
            }
            for (AudioObjectPropertySelector sel : {'sfma', 'pfta'}) {
                const PropertyRead all = readProperty(driver, stream, address(sel), 336);
                ASSERT_EQ(all.written, 336u);
                for (int i = 0; i < 6; ++i) {
                    AudioStreamRangedDescription entry;
                    std::memcpy(&entry, all.bytes.data() + 56 * i, sizeof entry);
                    EXPECT_TRUE(sameFormat(entry.mFormat, expectedFormat(kRates[i])));
                    EXPECT_EQ(entry.mSampleRateRange.mMinimum, kRates[i]);
                    EXPECT_EQ(entry.mSampleRateRange.mMaximum, kRates[i]);
                }
            }
        }
    }
    const auto config = value<AudioBufferList>(kDevice, 'slay');
    EXPECT_EQ(config.mNumberBuffers, 1u);
    EXPECT_EQ(config.mBuffers[0].mNumberChannels, 2u);
    EXPECT_EQ(config.mBuffers[0].mDataByteSize, 0u);
    EXPECT_EQ(config.mBuffers[0].mData, nullptr);
    for (AudioObjectPropertyScope scope : {'inpt', 'outp'}) {
        const PropertyRead scoped = readProperty(driver, kDevice, address('slay', scope), 24);
        EXPECT_EQ(std::memcmp(scoped.bytes.data(), &config, 24), 0);
    }
    const auto stereo = value<std::array<UInt32, 2>>(kDevice, 'dch2');
    EXPECT_EQ(stereo, (std::array<UInt32, 2>{1, 2}));
    const auto layout = value<std::array<UInt32, 3>>(kDevice, 'srnd');
    EXPECT_EQ(layout, (std::array<UInt32, 3>{kAudioChannelLayoutTag_Stereo, 0, 0}));
    EXPECT_EQ(kAudioChannelLayoutTag_Stereo & 0xFFFF, config.mBuffers[0].mNumberChannels);
}

TEST_F(DriverProperties, SettabilityAndSetFailures) {
    const std::set<std::pair<AudioObjectID, AudioObjectPropertySelector>> settable = {
        {kDevice, 'nsrt'}, {kDevice, 'fsiz'}, {kOutput, 'sfmt'},
        {kOutput, 'pft '}, {kInput, 'sfmt'},  {kInput, 'pft '},
        {kVolume, 'lcsv'}, {kVolume, 'lcdv'}, {kMute, 'bcvl'}};
    for (AudioObjectID object : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 9u}) {
        for (AudioObjectPropertySelector sel : kSelectors) {
            const AudioObjectPropertyAddress where = address(sel);
            Boolean isSettable = 7;
            EXPECT_EQ(table(driver).IsPropertySettable(driver, object, 0, &where, &isSettable), 0);
            EXPECT_EQ(isSettable != 0, settable.count({object, sel}) != 0) << object << " " << sel;
            EXPECT_LE(isSettable, 1);
            if (settable.count({object, sel}) != 0) continue;
            const unsigned char data[64] = {};
            EXPECT_EQ(setValue(driver, object, sel, data, sizeof data),
                      kAudioHardwareUnsupportedOperationError)
                << object << " " << sel;
        }
    }
    const AudioObjectPropertyAddress where = address('nsrt');
    EXPECT_EQ(table(driver).IsPropertySettable(driver, kDevice, 0, &where, opaqueNull<Boolean>()),
              0);

    const Float64 rate = 44100.0;
    EXPECT_EQ(setValue(driver, kDevice, 'nsrt', &rate, 7), kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(setValue(driver, kDevice, 'nsrt', nullptr, 8),
              kAudioHardwareUnsupportedOperationError);
    const Float64 bad = 22050.0;
    EXPECT_EQ(setValue(driver, kDevice, 'nsrt', &bad, 8), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(value<Float64>(kDevice, 'nsrt'), 48000.0);
}

// Setting the controls: clamped into range, refused when not a number or short, announced to
// the host when (and only when) the value changes.
TEST_F(DriverProperties, ControlsSetClampAndAnnounce) {
    FakeHost host(driver);
    ASSERT_EQ(table(driver).Initialize(driver, host.ref()), 0);
    const Float32 half = 0.5f, loud = 3.0f, quiet = -100.0f, nan = NAN;
    const UInt32 on = 2, off = 0;
    EXPECT_EQ(setValue(driver, kVolume, 'lcsv', &half, 4), 0);
    EXPECT_EQ(setValue(driver, kVolume, 'lcsv', &half, 4), 0);  // no change: no announcement
    EXPECT_EQ(value<Float32>(kVolume, 'lcdv'), -24.0f);
    EXPECT_EQ(setValue(driver, kVolume, 'lcsv', &nan, 4), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(setValue(driver, kVolume, 'lcdv', &half, 3), kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(setValue(driver, kVolume, 'lcdv', &quiet, 4), 0);
    EXPECT_EQ(value<Float32>(kVolume, 'lcsv'), 0.0f);
    EXPECT_EQ(setValue(driver, kVolume, 'lcsv', &loud, 4), 0);
    EXPECT_EQ(value<Float32>(kVolume, 'lcdv'), 0.0f);
    EXPECT_EQ(setValue(driver, kMute, 'bcvl', &on, 4), 0);
    EXPECT_EQ(value<UInt32>(kMute, 'bcvl'), 1u);
    EXPECT_EQ(setValue(driver, kMute, 'bcvl', &off, 4), 0);
    EXPECT_EQ(setValue(driver, kMute, 'bcvl', &off, 4), 0);

    const auto notes = host.notifications();
    ASSERT_EQ(notes.size(), 5u);
    for (size_t i = 0; i < notes.size(); ++i) {
        const bool volume = i < 3;
        EXPECT_EQ(notes[i].object, volume ? kVolume : kMute);
        ASSERT_EQ(notes[i].addresses.size(), volume ? 2u : 1u);
        EXPECT_EQ(notes[i].addresses[0].mSelector, volume ? 'lcsv' : 'bcvl');
        if (volume) {
            EXPECT_EQ(notes[i].addresses[1].mSelector, 'lcdv');
        }
        EXPECT_EQ(notes[i].addresses[0].mScope, kAudioObjectPropertyScopeGlobal);
        EXPECT_EQ(notes[i].addresses[0].mElement, kAudioObjectPropertyElementMain);
    }
}

TEST_F(DriverProperties, IsRunningFollowsTheIOCount) {
    const auto& ops = table(driver);
    EXPECT_EQ(ops.StopIO(driver, kDevice, 1), 0);  // idle stop: count stays 0
    EXPECT_EQ(value<UInt32>(kDevice, 'goin'), 0u);
    ops.StartIO(driver, kDevice, 1);
    ops.StartIO(driver, kDevice, 2);
    ops.StopIO(driver, kDevice, 1);
    EXPECT_EQ(value<UInt32>(kDevice, 'goin'), 1u);
    ops.StopIO(driver, kDevice, 2);
    EXPECT_EQ(value<UInt32>(kDevice, 'goin'), 0u);
    ops.StartIO(driver, kDevice, 3);
    EXPECT_EQ(value<UInt32>(kDevice, 'goin'), 1u);
}
