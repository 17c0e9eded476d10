#include "property_printer.h"

#include <CoreAudio/AudioServerPlugIn.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "hal_helpers.h"

namespace qwtools {
namespace {

enum class Kind { kString, kUInt32, kFourCC, kFloat64, kIDs, kRanges, kFormat, kFormats };

struct Known {
    AudioObjectPropertySelector selector;
    Kind kind;
};

const Known kDeviceProperties[] = {
    {kAudioObjectPropertyClass, Kind::kFourCC},
    {kAudioObjectPropertyOwner, Kind::kIDs},
    {kAudioObjectPropertyName, Kind::kString},
    {kAudioObjectPropertyManufacturer, Kind::kString},
    {kAudioDevicePropertyDeviceUID, Kind::kString},
    {kAudioDevicePropertyModelUID, Kind::kString},
    {kAudioDevicePropertyTransportType, Kind::kFourCC},
    {kAudioObjectPropertyOwnedObjects, Kind::kIDs},
    {kAudioDevicePropertyStreams, Kind::kIDs},
    {kAudioDevicePropertyDeviceIsAlive, Kind::kUInt32},
    {kAudioDevicePropertyDeviceIsRunning, Kind::kUInt32},
    {kAudioDevicePropertyNominalSampleRate, Kind::kFloat64},
    {kAudioDevicePropertyAvailableNominalSampleRates, Kind::kRanges},
    {kAudioDevicePropertyBufferFrameSize, Kind::kUInt32},
    {kAudioDevicePropertyBufferFrameSizeRange, Kind::kRanges},
    {kAudioDevicePropertyLatency, Kind::kUInt32},
    {kAudioDevicePropertySafetyOffset, Kind::kUInt32},
    {kAudioDevicePropertyZeroTimeStampPeriod, Kind::kUInt32},
};

const Known kStreamProperties[] = {
    {kAudioObjectPropertyClass, Kind::kFourCC},
    {kAudioStreamPropertyDirection, Kind::kUInt32},
    {kAudioStreamPropertyTerminalType, Kind::kFourCC},
    {kAudioStreamPropertyStartingChannel, Kind::kUInt32},
    {kAudioStreamPropertyLatency, Kind::kUInt32},
    {kAudioStreamPropertyVirtualFormat, Kind::kFormat},
    {kAudioStreamPropertyAvailableVirtualFormats, Kind::kFormats},
};

std::string formatText(const AudioStreamBasicDescription& f) {
    char text[160];
    std::snprintf(text, sizeof text, "%.0f Hz '%s' flags=0x%x %u ch %u bit %u bytes/frame",
                  f.mSampleRate, fourCC(f.mFormatID).c_str(), f.mFormatFlags, f.mChannelsPerFrame,
                  f.mBitsPerChannel, f.mBytesPerFrame);
    return text;
}

void printProperty(AudioObjectID object, const Known& known, const char* indent) {
    const auto address = globalAddress(known.selector);
    if (!AudioObjectHasProperty(object, &address)) return;
    UInt32 size = 0;
    AudioObjectGetPropertyDataSize(object, &address, 0, nullptr, &size);
    std::vector<uint8_t> data(size);
    std::string value;
    if (known.kind == Kind::kString) {
        value.append(1, '"').append(printable(stringProperty(object, known.selector).value_or("")));
        value.append(1, '"');
    } else if (AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, data.data()) != 0) {
        value = "(unreadable)";
    } else {
        char text[64];
        switch (known.kind) {
            case Kind::kUInt32:
            case Kind::kFourCC: {
                UInt32 v = 0;
                if (size >= 4) std::memcpy(&v, data.data(), 4);
                if (known.kind == Kind::kUInt32) {
                    value = std::to_string(v);
                } else {
                    value.append(1, '\'').append(fourCC(v)).append(1, '\'');
                }
                break;
            }
            case Kind::kFloat64: {
                Float64 v = 0;
                if (size >= 8) std::memcpy(&v, data.data(), 8);
                std::snprintf(text, sizeof text, "%.1f", v);
                value = text;
                break;
            }
            case Kind::kIDs:
                for (UInt32 at = 0; at + 4 <= size; at += 4) {
                    AudioObjectID id;
                    std::memcpy(&id, data.data() + at, 4);
                    if (!value.empty()) value.append(1, ' ');
                    value.append(std::to_string(id));
                }
                break;
            case Kind::kRanges:
                for (UInt32 at = 0; at + 16 <= size; at += 16) {
                    AudioValueRange r;
                    std::memcpy(&r, data.data() + at, 16);
                    std::snprintf(text, sizeof text, "%s%.0f-%.0f", value.empty() ? "" : " ",
                                  r.mMinimum, r.mMaximum);
                    value += text;
                }
                break;
            case Kind::kFormat:
                if (size >= sizeof(AudioStreamBasicDescription)) {
                    AudioStreamBasicDescription f;
                    std::memcpy(&f, data.data(), sizeof f);
                    value = formatText(f);
                }
                break;
            case Kind::kFormats:
                value = std::to_string(size / sizeof(AudioStreamRangedDescription));
                value.append(" formats");
                break;
            case Kind::kString:
                break;
        }
    }
    std::printf("%s'%s' %s\n", indent, fourCC(known.selector).c_str(), value.c_str());
}

}  // namespace

void printObject(AudioObjectID device) {
    std::printf("device %u\n", device);
    for (const Known& k : kDeviceProperties) printProperty(device, k, "  ");
    for (AudioObjectID stream : objectList(device, kAudioDevicePropertyStreams)) {
        std::printf("  stream %u\n", stream);
        for (const Known& k : kStreamProperties) printProperty(stream, k, "    ");
    }
}

}  // namespace qwtools
