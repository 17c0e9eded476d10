// The volume and mute controls: their properties, their state and its changes.
#include "controls.h"

#include <CoreAudio/AudioHardware.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <initializer_list>

#include "gain_ramp.h"
#include "object_classes.h"
#include "volume_taper.h"

namespace {

// Read without a lock; written, together with the gain target, under gStateMutex.
std::atomic<Float32> gVolumeScalar{1.0f};
std::atomic<bool> gMuted{false};

bool leadingFloat32(const PropertyBytes& bytes, Float32& x) {
    if (bytes.data == nullptr || bytes.size < sizeof x) return false;
    std::memcpy(&x, bytes.data, sizeof x);
    return true;
}

// Properties every control has.
bool commonControlProperty(AudioObjectID objectID, AudioObjectPropertySelector selector,
                           PropertyValue& value) {
    switch (selector) {
        case kAudioObjectPropertyBaseClass:
            setValue(value, baseClassOf(classOf(objectID)));
            return true;
        case kAudioObjectPropertyClass:
            setValue(value, classOf(objectID));
            return true;
        case kAudioObjectPropertyOwner:
            setValue(value, AudioObjectID{kDeviceObjectID});
            return true;
        case kAudioObjectPropertyOwnedObjects:
            value.size = 0;
            value.entrySize = sizeof(AudioObjectID);
            return true;
        case kAudioControlPropertyScope:
            setValue(value, AudioObjectPropertyScope{kAudioObjectPropertyScopeOutput});
            return true;
        case kAudioControlPropertyElement:
            setValue(value, AudioObjectPropertyElement{kAudioObjectPropertyElementMain});
            return true;
        default:
            return false;
    }
}

OSStatus volumeProperty(AudioObjectPropertySelector selector, const PropertyBytes& callerData,
                        PropertyValue& value) {
    Float32 x = 0;
    switch (selector) {
        case kAudioLevelControlPropertyScalarValue:
            setValue(value, gVolumeScalar.load(std::memory_order_relaxed));
            return 0;
        case kAudioLevelControlPropertyDecibelValue:
            setValue(value, volumeDecibelsOfScalar(gVolumeScalar.load(std::memory_order_relaxed)));
            return 0;
        case kAudioLevelControlPropertyDecibelRange:
            setValue(value, AudioValueRange{kVolumeMinDecibels, kVolumeMaxDecibels});
            return 0;
        case kAudioLevelControlPropertyConvertScalarToDecibels:
            leadingFloat32(callerData, x);  // no value in: the bottom of the range
            setValue(value, volumeDecibelsOfScalar(x));
            return 0;
        case kAudioLevelControlPropertyConvertDecibelsToScalar:
            if (!leadingFloat32(callerData, x)) x = kVolumeMinDecibels;
            setValue(value, volumeScalarOfDecibels(x));
            return 0;
        default:
            return kAudioHardwareUnknownPropertyError;
    }
}

void announce(AudioObjectID objectID, std::initializer_list<AudioObjectPropertySelector> changed) {
    AudioServerPlugInHostRef host = gHost.load(std::memory_order_acquire);
    if (host == nullptr) return;
    AudioObjectPropertyAddress addresses[2];
    UInt32 count = 0;
    for (AudioObjectPropertySelector selector : changed) {
        addresses[count++] = {selector, kAudioObjectPropertyScopeGlobal,
                              kAudioObjectPropertyElementMain};
    }
    host->PropertiesChanged(host, objectID, count, addresses);
}

struct ControlState {
    Float32 scalar;
    bool muted;
};

// Applies `change` to the state and sets the gain it asks for; true when something changed.
// gStateMutex keeps the state and the gain target in step when two clients set at once.
template <typename Change>
bool update(Change change) {
    pthread_mutex_lock(&gStateMutex);
    const ControlState before{gVolumeScalar.load(std::memory_order_relaxed),
                              gMuted.load(std::memory_order_relaxed)};
    ControlState after = before;
    change(after);
    gVolumeScalar.store(after.scalar, std::memory_order_relaxed);
    gMuted.store(after.muted, std::memory_order_relaxed);
    setGainTarget(after.muted ? 0.0f : volumeGainOfScalar(after.scalar));
    pthread_mutex_unlock(&gStateMutex);
    return after.scalar != before.scalar || after.muted != before.muted;
}

OSStatus setMute(bool muted) {
    if (update([muted](ControlState& s) { s.muted = muted; })) {
        announce(kMuteControlObjectID, {kAudioBooleanControlPropertyValue});
    }
    return kAudioHardwareNoError;
}

OSStatus setVolume(Float32 scalar) {
    if (update([scalar](ControlState& s) { s.scalar = scalar; })) {
        announce(kVolumeControlObjectID,
                 {kAudioLevelControlPropertyScalarValue, kAudioLevelControlPropertyDecibelValue});
    }
    return kAudioHardwareNoError;
}

}  // namespace

bool isControl(AudioObjectID objectID) {
    return objectID == kVolumeControlObjectID || objectID == kMuteControlObjectID;
}

OSStatus controlProperty(AudioObjectID objectID, AudioObjectPropertySelector selector,
                         const PropertyBytes& callerData, PropertyValue& value) {
    if (commonControlProperty(objectID, selector, value)) return 0;
    if (objectID == kVolumeControlObjectID) return volumeProperty(selector, callerData, value);
    if (selector != kAudioBooleanControlPropertyValue) return kAudioHardwareUnknownPropertyError;
    setValue(value, UInt32{gMuted.load(std::memory_order_relaxed) ? 1U : 0U});
    return 0;
}

bool isControlPropertySettable(AudioObjectID objectID, AudioObjectPropertySelector selector) {
    if (objectID == kVolumeControlObjectID) {
        return selector == kAudioLevelControlPropertyScalarValue ||
               selector == kAudioLevelControlPropertyDecibelValue;
    }
    return objectID == kMuteControlObjectID && selector == kAudioBooleanControlPropertyValue;
}

OSStatus setControlProperty(AudioObjectID objectID, AudioObjectPropertySelector selector,
                            UInt32 size, const void* data) {
    if (!isControlPropertySettable(objectID, selector) || data == nullptr || size < 4) {
        return kAudioHardwareUnsupportedOperationError;
    }
    if (objectID == kMuteControlObjectID) {
        UInt32 on;
        std::memcpy(&on, data, sizeof on);
        return setMute(on != 0);
    }
    Float32 x;
    std::memcpy(&x, data, sizeof x);
    if (!std::isfinite(x)) return kAudioHardwareIllegalOperationError;
    const bool isScalar = selector == kAudioLevelControlPropertyScalarValue;
    return setVolume(isScalar ? volumeClampedScalar(x) : volumeScalarOfDecibels(x));
}
