#include "rate_follower.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
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

}  // namespace

void startFollowingDeviceRate(AudioObjectID device, Capture& c, const AudioFormat& out) {
    std::thread([&c, out] { follow(c, out); }).detach();
    const AudioObjectPropertyAddress address{kAudioDevicePropertyNominalSampleRate,
                                             kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    AudioObjectAddPropertyListener(device, &address, rateListener, nullptr);
    announceChange();  // the rate once more, now that no change can go unheard
}
