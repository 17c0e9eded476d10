#include "protocol.h"

#include <CoreAudio/AudioHardware.h>
#include <CoreAudio/AudioServerPlugIn.h>

#include <cstdlib>

namespace qwipc {

std::string serverSocketPath() {
    const char* env = std::getenv(kSocketEnv);
    return (env != nullptr && env[0] != '\0') ? std::string(env) : std::string(kDefaultSocketPath);
}

bool isStringSelector(AudioObjectPropertySelector selector) {
    switch (selector) {
        case kAudioObjectPropertyName:
        case kAudioObjectPropertyModelName:
        case kAudioObjectPropertyManufacturer:
        case kAudioPlugInPropertyBundleID:
        case kAudioPlugInPropertyResourceBundle:
        case kAudioDevicePropertyConfigurationApplication:
        case kAudioDevicePropertyDeviceUID:
        case kAudioDevicePropertyModelUID:
            return true;
        default:
            return false;
    }
}

bool hasStringQualifier(AudioObjectPropertySelector selector) {
    return selector == kAudioPlugInPropertyTranslateUIDToDevice;
}

bool isObjectListSelector(AudioObjectPropertySelector selector) {
    switch (selector) {
        case kAudioHardwarePropertyDevices:  // also kAudioPlugInPropertyDeviceList
        case kAudioObjectPropertyOwnedObjects:
        case kAudioObjectPropertyControlList:
        case kAudioObjectPropertyOwner:
        case kAudioDevicePropertyStreams:
        case kAudioDevicePropertyRelatedDevices:
        case kAudioPlugInPropertyTranslateUIDToDevice:
        case kAudioHardwarePropertyDefaultInputDevice:
        case kAudioHardwarePropertyDefaultOutputDevice:
            return true;
        default:
            return false;
    }
}

bool carriesCallerData(AudioObjectPropertySelector selector) {
    return selector == kAudioLevelControlPropertyConvertScalarToDecibels ||
           selector == kAudioLevelControlPropertyConvertDecibelsToScalar;
}

bool requestCarriesData(MsgType type, AudioObjectPropertySelector selector) {
    return type == MsgType::kSetPropertyData ||
           (type == MsgType::kGetPropertyData && carriesCallerData(selector));
}

}  // namespace qwipc
