// Audio unit calls and constants used with the output unit of the HAL kind.
#pragma once
#include <AudioToolbox/AudioComponent.h>
#include <CoreAudio/AudioHardwareBase.h>

typedef UInt32 AudioUnitPropertyID;
typedef UInt32 AudioUnitScope;
typedef UInt32 AudioUnitElement;
typedef UInt32 AudioUnitRenderActionFlags;

CA_ENUM(UInt32){
    kAudioUnitType_Output = 'auou',
    kAudioUnitSubType_HALOutput = 'ahal',
    kAudioUnitManufacturer_Apple = 'appl',
};

CA_ENUM(AudioUnitScope){
    kAudioUnitScope_Global = 0,
    kAudioUnitScope_Input = 1,
    kAudioUnitScope_Output = 2,
};

CA_ENUM(AudioUnitPropertyID){
    kAudioUnitProperty_StreamFormat = 8,
    kAudioUnitProperty_SetRenderCallback = 23,
    kAudioOutputUnitProperty_CurrentDevice = 2000,
    kAudioOutputUnitProperty_IsRunning = 2001,
    kAudioOutputUnitProperty_EnableIO = 2003,
    kAudioOutputUnitProperty_HasIO = 2006,
    kAudioOutputUnitProperty_SetInputCallback = 2005,
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
                                     UInt32 inNumberFrames, AudioBufferList* ioData);

struct AURenderCallbackStruct {
    AURenderCallback inputProc;
    void* inputProcRefCon;
};
typedef struct AURenderCallbackStruct AURenderCallbackStruct;

CF_EXTERN_C_BEGIN
CF_EXPORT OSStatus AudioUnitSetProperty(AudioUnit inUnit, AudioUnitPropertyID inID,
                                        AudioUnitScope inScope, AudioUnitElement inElement,
                                        const void* inData, UInt32 inDataSize);
CF_EXPORT OSStatus AudioUnitGetProperty(AudioUnit inUnit, AudioUnitPropertyID inID,
                                        AudioUnitScope inScope, AudioUnitElement inElement,
                                        void* outData, UInt32* ioDataSize);
CF_EXPORT OSStatus AudioUnitInitialize(AudioUnit inUnit);
CF_EXPORT OSStatus AudioUnitUninitialize(AudioUnit inUnit);
CF_EXPORT OSStatus AudioOutputUnitStart(AudioUnit ci);
CF_EXPORT OSStatus AudioOutputUnitStop(AudioUnit ci);
CF_EXPORT OSStatus AudioUnitRender(AudioUnit inUnit, AudioUnitRenderActionFlags* ioActionFlags,
                                   const AudioTimeStamp* inTimeStamp, UInt32 inOutputBusNumber,
                                   UInt32 inNumberFrames, AudioBufferList* ioData);
CF_EXTERN_C_END
