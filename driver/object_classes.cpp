// The class family tree of the driver's objects and the OwnedObjects class qualifier.
#include "object_classes.h"

#include <cstring>

namespace {

struct ClassLink {
    AudioClassID classID;
    AudioClassID baseClassID;
};

constexpr ClassLink kClassTree[] = {
    {kAudioPlugInClassID, kAudioObjectClassID},
    {kAudioDeviceClassID, kAudioObjectClassID},
    {kAudioStreamClassID, kAudioObjectClassID},
    {kAudioControlClassID, kAudioObjectClassID},
    {kAudioLevelControlClassID, kAudioControlClassID},
    {kAudioVolumeControlClassID, kAudioLevelControlClassID},
    {kAudioBooleanControlClassID, kAudioControlClassID},
    {kAudioMuteControlClassID, kAudioBooleanControlClassID},
};

bool derivesFrom(AudioClassID classID, AudioClassID wanted) {
    // The tree is shallow: every step goes up one level and ends at 'aobj', whose base is 0.
    for (AudioClassID c = classID; c != 0; c = baseClassOf(c)) {
        if (c == wanted) return true;
    }
    return false;
}

}  // namespace

AudioClassID classOf(AudioObjectID objectID) {
    switch (objectID) {
        case kPlugInObjectID:
            return kAudioPlugInClassID;
        case kDeviceObjectID:
            return kAudioDeviceClassID;
        case kOutputStreamObjectID:
        case kInputStreamObjectID:
            return kAudioStreamClassID;
        case kVolumeControlObjectID:
            return kAudioVolumeControlClassID;
        case kMuteControlObjectID:
            return kAudioMuteControlClassID;
        default:
            return 0;
    }
}

AudioClassID baseClassOf(AudioClassID classID) {
    for (const ClassLink& link : kClassTree) {
        if (link.classID == classID) return link.baseClassID;
    }
    return 0;
}

bool passesClassQualifier(AudioObjectID objectID, UInt32 qualifierSize, const void* qualifier) {
    const UInt32 count = qualifier == nullptr ? 0 : qualifierSize / sizeof(AudioClassID);
    if (count == 0) return true;
    const AudioClassID objectClass = classOf(objectID);
    for (UInt32 k = 0; k < count; ++k) {
        AudioClassID wanted;
        std::memcpy(&wanted, static_cast<const unsigned char*>(qualifier) + k * sizeof wanted,
                    sizeof wanted);
        if (derivesFrom(objectClass, wanted)) return true;
    }
    return false;
}
