#pragma once
// Capture follows the device when its nominal sample rate changes: a listener on the device
// wakes a thread of the follower's own, which moves capture to the new rate off the audio thread.

#include <CoreAudio/CoreAudio.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>

#include "bridge/capture.h"
#include "bridge/capture/coreaudio/unit_failure.h"
#include "bridge/console.h"

class RateFollower {
  public:
    // Moves capture to a rate (CoreAudioSource::restartCaptureAt).
    using Restart = std::function<std::optional<UnitFailure>(double rate)>;

    // Follows `device` for the capture state `c`, moving it with `restart` and printing through
    // `print`. Lives as long as the process: its threads keep using it.
    RateFollower(AudioObjectID device, const Capture& c, Restart restart, LineSink print);
    RateFollower(const RateFollower&) = delete;
    RateFollower& operator=(const RateFollower&) = delete;

    // Once capture runs: registers the rate listener on the device, starts the follower thread
    // and has it read the rate once more, so that a change between set-up and registration is
    // not missed. For each change the follower reads the device's own rate and, once the unit
    // reports the same (asked every 100 ms, for at most 2 s: the unit may lag behind the
    // notification), restarts capture at it and prints the rate line; a failed step prints its
    // line and is tried again a second later. A refused registration prints one line and is
    // tried again every second (one more line once it is taken). The link is never touched.
    void start();

  private:
    static OSStatus onRateChanged(AudioObjectID, UInt32, const AudioObjectPropertyAddress*,
                                  void* self);
    void announceChange();
    void waitForChange(bool retrying);
    [[noreturn]] void follow();
    OSStatus listen();
    void keepTryingToListen();

    const AudioObjectID device;
    const Capture& c;
    const Restart restart;
    const LineSink print;

    // Set by the listener (on the platform's notification thread), taken by the follower.
    std::mutex changeLock;
    std::condition_variable changed;
    bool changePending = false;
};
