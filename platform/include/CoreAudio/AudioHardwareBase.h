// Audio object model types, selectors and status codes shared by HAL clients and plug-ins.
#pragma once
#include <CoreAudioTypes/CoreAudioTypes.h>

typedef UInt32 AudioObjectID;
typedef UInt32 AudioClassID;
typedef UInt32 AudioObjectPropertySelector;
typedef UInt32 AudioObjectPropertyScope;
typedef UInt32 AudioObjectPropertyElement;

struct AudioObjectPropertyAddress {
    AudioObjectPropertySelector mSelector;
    AudioObjectPropertyScope mScope;
    AudioObjectPropertyElement mElement;
};
typedef struct AudioObjectPropertyAddress AudioObjectPropertyAddress;

struct AudioStreamRangedDescription {
    AudioStreamBasicDescription mFormat;
    AudioValueRange mSampleRateRange;
};
typedef struct AudioStreamRangedDescription AudioStreamRangedDescription;

CA_ENUM(OSStatus){
    kAudioHardwareNoError = 0,
    kAudioHardwareNotRunningError = 'stop',
    kAudioHardwareUnspecifiedError = 'what',
    kAudioHardwareUnknownPropertyError = 'who?',
    kAudioHardwareBadPropertySizeError = '!siz',
    kAudioHardwareIllegalOperationError = 'nope',
    kAudioHardwareBadObjectError = '!obj',
    kAudioHardwareBadDeviceError = '!dev',
    kAudioHardwareBadStreamError = '!str',
    kAudioHardwareUnsupportedOperationError = 'unop',
    kAudioHardwareNotReadyError = 'nrdy',
    kAudioDeviceUnsupportedFormatError = '!dat',
    kAudioDevicePermissionsError = '!hog',
};

CA_ENUM(AudioObjectID){kAudioObjectUnknown = 0};

CA_ENUM(AudioObjectPropertyScope){
    kAudioObjectPropertyScopeGlobal = 'glob',   kAudioObjectPropertyScopeInput = 'inpt',
    kAudioObjectPropertyScopeOutput = 'outp',   kAudioObjectPropertyScopePlayThrough = 'ptru',
    kAudioObjectPropertyScopeWildcard = '****',
};

CA_ENUM(AudioObjectPropertyElement){
    kAudioObjectPropertyElementMain = 0,
    kAudioObjectPropertyElementMaster = 0,
    kAudioObjectPropertyElementWildcard = 0xFFFFFFFF,
};

CA_ENUM(AudioClassID){
    kAudioObjectClassID = 'aobj',
    kAudioPlugInClassID = 'aplg',
    kAudioDeviceClassID = 'adev',
    kAudioStreamClassID = 'astr',
};

CA_ENUM(AudioClassID){kAudioControlClassID = 'actl'};

CA_ENUM(AudioObjectPropertySelector){
    kAudioControlPropertyScope = 'cscp',
    kAudioControlPropertyElement = 'celm',
};

CA_ENUM(AudioClassID){
    kAudioLevelControlClassID = 'levl',
    kAudioVolumeControlClassID = 'vlme',
};

CA_ENUM(AudioObjectPropertySelector){
    kAudioLevelControlPropertyScalarValue = 'lcsv',
    kAudioLevelControlPropertyDecibelValue = 'lcdv',
    kAudioLevelControlPropertyDecibelRange = 'lcdr',
    kAudioLevelControlPropertyConvertScalarToDecibels = 'lcsd',
    kAudioLevelControlPropertyConvertDecibelsToScalar = 'lcds',
};

CA_ENUM(AudioClassID){
    kAudioBooleanControlClassID = 'togl',
    kAudioMuteControlClassID = 'mute',
};

CA_ENUM(AudioObjectPropertySelector){kAudioBooleanControlPropertyValue = 'bcvl'};

CA_ENUM(AudioObjectPropertySelector){
    kAudioObjectPropertySelectorWildcard = '****',
    kAudioObjectPropertyBaseClass = 'bcls',
    kAudioObjectPropertyClass = 'clas',
    kAudioObjectPropertyOwner = 'stdv',
    kAudioObjectPropertyName = 'lnam',
    kAudioObjectPropertyModelName = 'lmod',
    kAudioObjectPropertyManufacturer = 'lmak',
    kAudioObjectPropertyOwnedObjects = 'ownd',
    kAudioObjectPropertyControlList = 'ctrl',

    kAudioPlugInPropertyBundleID = 'piid',
    kAudioPlugInPropertyDeviceList = 'dev#',
    kAudioPlugInPropertyTranslateUIDToDevice = 'uidd',

    kAudioDevicePropertyConfigurationApplication = 'capp',
    kAudioDevicePropertyDeviceUID = 'uid ',
    kAudioDevicePropertyModelUID = 'muid',
    kAudioDevicePropertyTransportType = 'tran',
    kAudioDevicePropertyRelatedDevices = 'akin',
    kAudioDevicePropertyClockDomain = 'clkd',
    kAudioDevicePropertyDeviceIsAlive = 'livn',
    kAudioDevicePropertyDeviceIsRunning = 'goin',
    kAudioDevicePropertyDeviceCanBeDefaultDevice = 'dflt',
    kAudioDevicePropertyDeviceCanBeDefaultSystemDevice = 'sflt',
    kAudioDevicePropertyLatency = 'ltnc',
    kAudioDevicePropertyStreams = 'stm#',
    kAudioDevicePropertySafetyOffset = 'saft',
    kAudioDevicePropertyNominalSampleRate = 'nsrt',
    kAudioDevicePropertyAvailableNominalSampleRates = 'nsr#',
    kAudioDevicePropertyIsHidden = 'hidn',
    kAudioDevicePropertyPreferredChannelsForStereo = 'dch2',
    kAudioDevicePropertyPreferredChannelLayout = 'srnd',

    kAudioStreamPropertyIsActive = 'sact',
    kAudioStreamPropertyDirection = 'sdir',
    kAudioStreamPropertyTerminalType = 'term',
    kAudioStreamPropertyStartingChannel = 'schn',
    kAudioStreamPropertyLatency = 'ltnc',
    kAudioStreamPropertyVirtualFormat = 'sfmt',
    kAudioStreamPropertyAvailableVirtualFormats = 'sfma',
    kAudioStreamPropertyPhysicalFormat = 'pft ',
    kAudioStreamPropertyAvailablePhysicalFormats = 'pfta',
};

CA_ENUM(UInt32){
    kAudioDeviceTransportTypeUnknown = 0,
    kAudioDeviceTransportTypeBuiltIn = 'bltn',
    kAudioDeviceTransportTypeVirtual = 'virt',
    kAudioDeviceTransportTypeUSB = 'usb ',
};

CA_ENUM(UInt32){
    kAudioStreamTerminalTypeUnknown = 0,
    kAudioStreamTerminalTypeLine = 'line',
    kAudioStreamTerminalTypeSpeaker = 'spkr',
    kAudioStreamTerminalTypeMicrophone = 'micr',
};

#ifdef __cplusplus
static_assert(sizeof(AudioStreamRangedDescription) == 56, "ranged description layout");
#endif
