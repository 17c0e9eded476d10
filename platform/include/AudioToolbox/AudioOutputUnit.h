#pragma once
#include <AudioToolbox/AUComponent.h>

CF_EXTERN_C_BEGIN
CF_EXPORT OSStatus AudioOutputUnitStart(AudioUnit ci) STANDIN_NONNULL(1);
CF_EXPORT OSStatus AudioOutputUnitStop(AudioUnit ci) STANDIN_NONNULL(1);
CF_EXTERN_C_END
