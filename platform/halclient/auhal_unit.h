// The output unit of the HAL kind: its properties, initialisation and start/stop. Element 1 is
// the input element (device input side), element 0 the output element; on each, the scope that
// faces the device carries the device's format and the other the client's.
#pragma once
#include <AudioToolbox/AudioUnit.h>

#include <memory>
#include <mutex>
#include <optional>

#include "unit_defaults.h"
#include "unit_io.h"
#include "unit_rate_view.h"

namespace halclient {

class AUHALUnit {
  public:
    explicit AUHALUnit(AudioUnit self) : self_(self) {}
    OSStatus setProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         const void* data, UInt32 size);
    OSStatus getProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         void* data, UInt32* size);
    OSStatus initialize();
    OSStatus uninitialize();
    OSStatus start();
    OSStatus stop();
    OSStatus render(UInt32 frames, AudioBufferList* data);

  private:
    // One function per property (auhal_properties.cpp); called with lock_ held.
    OSStatus setEnableIO(AudioUnitScope scope, AudioUnitElement element, const void* data,
                         UInt32 size);
    OSStatus setCurrentDevice(AudioUnitScope scope, const void* data, UInt32 size);
    OSStatus setBufferFrameSize(const void* data, UInt32 size);
    OSStatus setStreamFormat(AudioUnitScope scope, AudioUnitElement element, const void* data,
                             UInt32 size);
    OSStatus setCallback(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         const void* data, UInt32 size);
    OSStatus setOutputLead(const void* data, UInt32 size);
    OSStatus setMaxFramesPerSlice(AudioUnitScope scope, const void* data, UInt32 size);
    OSStatus getCurrentCycle(void* data, UInt32* size) const;  // without the lock
    OSStatus getEnableIO(AudioUnitScope scope, AudioUnitElement element, void* data,
                         UInt32* size) const;
    OSStatus getBufferFrameSize(void* data, UInt32* size) const;
    OSStatus getStreamFormat(AudioUnitScope scope, AudioUnitElement element, void* data,
                             UInt32* size) const;

    // The device's own format on one side, from the server, at the rate the unit has caught up
    // with (rateView_).
    OSStatus deviceFormat(bool input, AudioStreamBasicDescription& out) const;
    AudioObjectID effectiveDevice() const;
    // The client-side format of one element as the unit works with it now.
    ClientFormat currentClientFormat(bool input, const AudioStreamBasicDescription& device) const;

    AudioUnit self_;
    mutable std::mutex lock_;
    UInt32 enableInput_ = 0;
    UInt32 enableOutput_ = 1;
    AudioObjectID device_ = kAudioObjectUnknown;
    std::optional<ClientFormat> inputFormat_;   // output scope, element 1
    std::optional<ClientFormat> outputFormat_;  // input scope, element 0
    AURenderCallbackStruct inputCallback_{};
    AURenderCallbackStruct renderCallback_{};
    UInt32 leadFrames_ = 0;
    UInt32 maxFrames_ = defaultMaxFramesPerSlice();
    mutable UnitRateView rateView_;
    bool initialized_ = false;
    std::unique_ptr<UnitIO> io_;
    StandinUnitCounters lastCounters_{};
};

}  // namespace halclient
