// The unit's view of its device's rate. A unit on the platform learns of a rate change from the
// device's notification, and a client that asks before the unit has caught up still sees the
// old rate. This view does the same: once the unit has been initialised on a device, it takes a
// new rate only after the device's rate notification has reached this process's listeners, and
// a lag after that (unitFormatLagMs), so that a client reading
// the unit's format as soon as it hears of the change reads the old one.
#pragma once
#include <CoreAudio/AudioHardware.h>

#include <cstdint>

namespace halclient {

// Registers, once per device and process, for the device's rate notification. May wait for the
// server's answer: not with the unit's lock held.
void listenForRateChanges(AudioObjectID device);

// Guarded by its unit's lock.
class UnitRateView {
  public:
    UnitRateView();  // reads the lag
    // From now on the view follows `device` (listenForRateChanges first), and takes the next
    // rate it is shown as the one it knows.
    void follow(AudioObjectID device);
    // The rate a client of the unit sees when the device runs at `actual`: `actual` unless
    // the view follows `device` and has not caught up with a change yet.
    double seen(AudioObjectID device, double actual);

  private:
    AudioObjectID device_ = kAudioObjectUnknown;
    double known_ = 0;          // 0: the next rate shown is taken
    int64_t knownSinceNs_ = 0;  // when `known_` was taken (steady clock)
    int64_t lagNs_;
};

}  // namespace halclient
