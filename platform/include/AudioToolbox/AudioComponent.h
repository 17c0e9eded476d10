// Audio components: on Linux the one output unit of the HAL kind, backed by the stand-in
// audio server (platform/halclient).
#pragma once
#include <CoreAudio/CoreAudioTypes.h>

typedef UInt32 OSType;

struct AudioComponentDescription {
    OSType componentType;
    OSType componentSubType;
    OSType componentManufacturer;
    UInt32 componentFlags;
    UInt32 componentFlagsMask;
};
typedef struct AudioComponentDescription AudioComponentDescription;

typedef struct OpaqueAudioComponent* AudioComponent;
typedef struct ComponentInstanceRecord* AudioComponentInstance;
typedef AudioComponentInstance AudioUnit;

CF_EXTERN_C_BEGIN
CF_EXPORT AudioComponent AudioComponentFindNext(AudioComponent inComponent,
                                                const AudioComponentDescription* inDesc);
CF_EXPORT OSStatus AudioComponentInstanceNew(AudioComponent inComponent,
                                             AudioComponentInstance* outInstance);
CF_EXPORT OSStatus AudioComponentInstanceDispose(AudioComponentInstance inInstance);
CF_EXTERN_C_END
