// The audio component calls: one component, the output unit of the HAL kind.
#include <AudioToolbox/AudioToolbox.h>
#include <standin/audio_server.h>

#include <cstring>

#include "auhal_unit.h"
#include "hal_connection.h"
#include "ipc/protocol.h"

struct OpaqueAudioComponent {
    AudioComponentDescription description;
};

struct ComponentInstanceRecord {
    explicit ComponentInstanceRecord(AudioUnit self) : unit(self) {}
    halclient::AUHALUnit unit;
};

namespace {

OpaqueAudioComponent gHALOutput{
    {kAudioUnitType_Output, kAudioUnitSubType_HALOutput, kAudioUnitManufacturer_Apple, 0, 0}};

// Zero fields of a description match anything, as on the platform.
bool fieldMatches(OSType wanted, OSType have) {
    return wanted == 0 || wanted == have;
}

}  // namespace

AudioComponent AudioComponentFindNext(AudioComponent inComponent,
                                      const AudioComponentDescription* inDesc) {
    if (inComponent != nullptr || inDesc == nullptr) return nullptr;  // there is only one
    const AudioComponentDescription& have = gHALOutput.description;
    if (fieldMatches(inDesc->componentType, have.componentType) &&
        fieldMatches(inDesc->componentSubType, have.componentSubType) &&
        fieldMatches(inDesc->componentManufacturer, have.componentManufacturer)) {
        return &gHALOutput;
    }
    return nullptr;
}

OSStatus AudioComponentInstanceNew(AudioComponent inComponent,
                                   AudioComponentInstance* outInstance) {
    if (inComponent != &gHALOutput || outInstance == nullptr) return kAudioUnitErr_InvalidParameter;
    auto* record =
        static_cast<ComponentInstanceRecord*>(operator new(sizeof(ComponentInstanceRecord)));
    new (record) ComponentInstanceRecord(record);
    *outInstance = record;
    return kAudioHardwareNoError;
}

OSStatus AudioComponentInstanceDispose(AudioComponentInstance inInstance) {
    if (inInstance == nullptr) return kAudioUnitErr_InvalidParameter;
    inInstance->unit.uninitialize();
    inInstance->~ComponentInstanceRecord();
    operator delete(inInstance);
    return kAudioHardwareNoError;
}

OSStatus AudioUnitSetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, const void* inData, UInt32 inDataSize) {
    if (inUnit == nullptr) return kAudioUnitErr_InvalidParameter;
    return inUnit->unit.setProperty(inID, inScope, inElement, inData, inDataSize);
}

OSStatus AudioUnitGetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, void* outData, UInt32* ioDataSize) {
    if (inUnit == nullptr) return kAudioUnitErr_InvalidParameter;
    return inUnit->unit.getProperty(inID, inScope, inElement, outData, ioDataSize);
}

OSStatus AudioUnitInitialize(AudioUnit inUnit) {
    return inUnit == nullptr ? kAudioUnitErr_InvalidParameter : inUnit->unit.initialize();
}

OSStatus AudioUnitUninitialize(AudioUnit inUnit) {
    return inUnit == nullptr ? kAudioUnitErr_InvalidParameter : inUnit->unit.uninitialize();
}

OSStatus AudioOutputUnitStart(AudioUnit ci) {
    return ci == nullptr ? kAudioUnitErr_InvalidParameter : ci->unit.start();
}

OSStatus AudioOutputUnitStop(AudioUnit ci) {
    return ci == nullptr ? kAudioUnitErr_InvalidParameter : ci->unit.stop();
}

OSStatus AudioUnitRender(AudioUnit inUnit, AudioUnitRenderActionFlags*, const AudioTimeStamp*,
                         UInt32, UInt32 inNumberFrames, AudioBufferList* ioData) {
    if (inUnit == nullptr) return kAudioUnitErr_InvalidParameter;
    return inUnit->unit.render(inNumberFrames, ioData);
}

OSStatus StandinGetDeviceIOStats(AudioObjectID inDevice, Boolean inReset,
                                 StandinDeviceIOStats* outStats) {
    if (outStats == nullptr) return kAudioHardwareIllegalOperationError;
    qwipc::StatsRequest req{
        {static_cast<uint32_t>(qwipc::MsgType::kStats), 0}, inDevice, inReset ? 1u : 0u};
    qwipc::MessageWriter w;
    w.put(req);
    std::vector<uint8_t> reply;
    if (!halclient::HalConnection::shared().call(w.bytes(), reply)) {
        return kAudioHardwareNotRunningError;
    }
    qwipc::StatsReply rep{};
    if (reply.size() != sizeof rep) return kAudioHardwareUnspecifiedError;
    std::memcpy(&rep, reply.data(), sizeof rep);
    if (rep.status == kAudioHardwareNoError) *outStats = rep.stats;
    return rep.status;
}
