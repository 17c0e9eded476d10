// Audio unit scopes and properties used with the output unit of the HAL kind.
#pragma once
#include <AudioToolbox/AUComponent.h>

CA_ENUM(AudioUnitScope){
    kAudioUnitScope_Global = 0,
    kAudioUnitScope_Input = 1,
    kAudioUnitScope_Output = 2,
};

CA_ENUM(AudioUnitPropertyID){
    kAudioUnitProperty_StreamFormat = 8,
    kAudioUnitProperty_MaximumFramesPerSlice = 14,
    kAudioUnitProperty_SetRenderCallback = 23,
    kAudioOutputUnitProperty_CurrentDevice = 2000,
    kAudioOutputUnitProperty_IsRunning = 2001,
    kAudioOutputUnitProperty_EnableIO = 2003,
    kAudioOutputUnitProperty_HasIO = 2006,
    kAudioOutputUnitProperty_SetInputCallback = 2005,
};

struct AURenderCallbackStruct {
    AURenderCallback inputProc;
    void* inputProcRefCon;
};
typedef struct AURenderCallbackStruct AURenderCallbackStruct;
