// Audio components: on Linux the one output unit of the HAL kind, backed by the stand-in
// audio server (platform/halclient).
#pragma once
#include <CoreAudioTypes/CoreAudioTypes.h>
#include <CoreFoundation/CoreFoundation.h>

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

CF_EXTERN_C_BEGIN
CF_EXPORT AudioComponent AudioComponentFindNext(AudioComponent inComponent,
                                                const AudioComponentDescription* inDesc)
    STANDIN_NONNULL(2);
CF_EXPORT OSStatus AudioComponentInstanceNew(AudioComponent inComponent,
                                             AudioComponentInstance* outInstance)
    STANDIN_NONNULL(1, 2);
CF_EXPORT OSStatus AudioComponentInstanceDispose(AudioComponentInstance inInstance)
    STANDIN_NONNULL(1);
CF_EXTERN_C_END
