// The HAL client calls. On Linux they are answered by the stand-in audio server through the
// client library (platform/halclient); with no server running there are no devices.
#pragma once
#include <CoreAudio/AudioHardwareBase.h>
#include <CoreFoundation/CoreFoundation.h>

CA_ENUM(AudioObjectID){kAudioObjectSystemObject = 1};

CA_ENUM(AudioClassID){kAudioSystemObjectClassID = 'asys'};

CA_ENUM(AudioObjectPropertySelector){
    kAudioHardwarePropertyDevices = 'dev#',
    kAudioHardwarePropertyDefaultInputDevice = 'dIn ',
    kAudioHardwarePropertyDefaultOutputDevice = 'dOut',
    kAudioHardwarePropertyTranslateUIDToDevice = 'uidd',

    kAudioDevicePropertyBufferFrameSize = 'fsiz',
    kAudioDevicePropertyBufferFrameSizeRange = 'fsz#',
    kAudioDevicePropertyStreamConfiguration = 'slay',
};

typedef OSStatus (*AudioObjectPropertyListenerProc)(AudioObjectID inObjectID,
                                                    UInt32 inNumberAddresses,
                                                    const AudioObjectPropertyAddress* inAddresses,
                                                    void* inClientData);

CF_EXTERN_C_BEGIN
CF_EXPORT Boolean AudioObjectHasProperty(AudioObjectID inObjectID,
                                         const AudioObjectPropertyAddress* inAddress)
    STANDIN_NONNULL(2);
CF_EXPORT OSStatus AudioObjectIsPropertySettable(AudioObjectID inObjectID,
                                                 const AudioObjectPropertyAddress* inAddress,
                                                 Boolean* outIsSettable) STANDIN_NONNULL(2, 3);
CF_EXPORT OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID,
                                                  const AudioObjectPropertyAddress* inAddress,
                                                  UInt32 inQualifierDataSize,
                                                  const void* inQualifierData, UInt32* outDataSize)
    STANDIN_NONNULL(2, 5);
CF_EXPORT OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID,
                                              const AudioObjectPropertyAddress* inAddress,
                                              UInt32 inQualifierDataSize,
                                              const void* inQualifierData, UInt32* ioDataSize,
                                              void* outData) STANDIN_NONNULL(2, 5, 6);
CF_EXPORT OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID,
                                              const AudioObjectPropertyAddress* inAddress,
                                              UInt32 inQualifierDataSize,
                                              const void* inQualifierData, UInt32 inDataSize,
                                              const void* inData) STANDIN_NONNULL(2, 6);
CF_EXPORT OSStatus AudioObjectAddPropertyListener(AudioObjectID inObjectID,
                                                  const AudioObjectPropertyAddress* inAddress,
                                                  AudioObjectPropertyListenerProc inListener,
                                                  void* inClientData) STANDIN_NONNULL(2, 3);
CF_EXPORT OSStatus AudioObjectRemovePropertyListener(AudioObjectID inObjectID,
                                                     const AudioObjectPropertyAddress* inAddress,
                                                     AudioObjectPropertyListenerProc inListener,
                                                     void* inClientData) STANDIN_NONNULL(2, 3);
CF_EXTERN_C_END
