#include "rate_follower.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "console.h"
#include "input_unit.h"

namespace {

// Set by the listener (on the platform's notification thread), taken by the follower.
std::mutex gChangeLock;
std::condition_variable gChanged;
bool gChangePending = false;

void announceChange() {
    {
        std::lock_guard<std::mutex> guard(gChangeLock);
        gChangePending = true;
    }
    gChanged.notify_one();
}

OSStatus rateListener(AudioObjectID, UInt32, const AudioObjectPropertyAddress*, void*) {
    announceChange();
    return 0;
}

// Waits for a change; after a failed attempt, a second and then tries again either way.
void waitForChange(bool retrying) {
    std::unique_lock<std::mutex> guard(gChangeLock);
    if (retrying) {
        gChanged.wait_for(guard, std::chrono::seconds(1), [] { return false; });
    } else {
        gChanged.wait(guard, [] { return gChangePending; });
    }
    gChangePending = false;
}

[[noreturn]] void follow(Capture& c, const AudioFormat& out) {
    bool retrying = false;
    for (;;) {
        waitForChange(retrying);
        const double rate = usableDeviceRate(readDeviceRate(c.unit));
        if (!retrying && c.inFmt && c.inFmt->sampleRate() == rate) continue;  // nothing new
        const InputUnitResult result = restartCaptureAt(c, rate, out);
        printLine(result.line);
        retrying = !result.running;
    }
}

OSStatus addRateListener(AudioObjectID device) {
    const AudioObjectPropertyAddress address{kAudioDevicePropertyNominalSampleRate,
                                             kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    return AudioObjectAddPropertyListener(device, &address, rateListener, nullptr);
}

// After a refused registration: tries again every second until it is taken, then reads the rate
// once more, as a change may have been missed meanwhile.
void keepTryingToListen(AudioObjectID device) {
    while (addRateListener(device) != 0) std::this_thread::sleep_for(std::chrono::seconds(1));
    printLine("following the device's rate again");
    announceChange();
}

}  // namespace

void startFollowingDeviceRate(AudioObjectID device, Capture& c, const AudioFormat& out) {
    std::thread([&c, out] { follow(c, out); }).detach();
    const OSStatus status = addRateListener(device);
    if (status != 0) {
        printLine("rate changes not followed: AudioObjectAddPropertyListener failed (" +
                  std::to_string(status) + ") \u2014 trying again every second");
        std::thread([device] { keepTryingToListen(device); }).detach();
    }
    announceChange();  // the rate once more, now that no change can go unheard
}
