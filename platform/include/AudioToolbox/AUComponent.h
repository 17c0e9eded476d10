// Audio units: their types and status codes, the render callback, and the calls on a unit.
#pragma once
#include <AudioToolbox/AudioComponent.h>

typedef AudioComponentInstance AudioUnit;

typedef UInt32 AudioUnitPropertyID;
typedef UInt32 AudioUnitScope;
typedef UInt32 AudioUnitElement;
typedef UInt32 AudioUnitRenderActionFlags;

CA_ENUM(UInt32){
    kAudioUnitType_Output = 'auou',
    kAudioUnitSubType_HALOutput = 'ahal',
    kAudioUnitManufacturer_Apple = 'appl',
};

CA_ENUM(OSStatus){
    kAudioUnitErr_InvalidProperty = -10879,
    kAudioUnitErr_InvalidParameter = -10878,
    kAudioUnitErr_InvalidElement = -10877,
    kAudioUnitErr_NoConnection = -10876,
    kAudioUnitErr_FailedInitialization = -10875,
    kAudioUnitErr_TooManyFramesToProcess = -10874,
    kAudioUnitErr_FormatNotSupported = -10868,
    kAudioUnitErr_Uninitialized = -10867,
    kAudioUnitErr_InvalidScope = -10866,
    kAudioUnitErr_PropertyNotWritable = -10865,
    kAudioUnitErr_CannotDoInCurrentContext = -10863,
    kAudioUnitErr_InvalidPropertyValue = -10851,
    kAudioUnitErr_Initialized = -10849,
    kAudioComponentErr_InstanceInvalidated = -66749,
};

typedef OSStatus (*AURenderCallback)(void* inRefCon, AudioUnitRenderActionFlags* ioActionFlags,
                                     const AudioTimeStamp* inTimeStamp, UInt32 inBusNumber,
                                     UInt32 inNumberFrames, AudioBufferList* ioData)
    STANDIN_NONNULL(1, 2, 3);

CF_EXTERN_C_BEGIN
CF_EXPORT OSStatus AudioUnitSetProperty(AudioUnit inUnit, AudioUnitPropertyID inID,
                                        AudioUnitScope inScope, AudioUnitElement inElement,
                                        const void* inData, UInt32 inDataSize) STANDIN_NONNULL(1);
CF_EXPORT OSStatus AudioUnitGetProperty(AudioUnit inUnit, AudioUnitPropertyID inID,
                                        AudioUnitScope inScope, AudioUnitElement inElement,
                                        void* outData, UInt32* ioDataSize) STANDIN_NONNULL(1, 5, 6);
CF_EXPORT OSStatus AudioUnitInitialize(AudioUnit inUnit) STANDIN_NONNULL(1);
CF_EXPORT OSStatus AudioUnitUninitialize(AudioUnit inUnit) STANDIN_NONNULL(1);
CF_EXPORT OSStatus AudioUnitRender(AudioUnit inUnit, AudioUnitRenderActionFlags* ioActionFlags,
                                   const AudioTimeStamp* inTimeStamp, UInt32 inOutputBusNumber,
                                   UInt32 inNumberFrames, AudioBufferList* ioData)
    STANDIN_NONNULL(1, 3, 6);
CF_EXTERN_C_END
