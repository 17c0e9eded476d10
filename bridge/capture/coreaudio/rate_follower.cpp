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

// The device's nominal rate as the device itself reports it (0 when unreadable).
double readNominalRate(AudioObjectID device) {
    const AudioObjectPropertyAddress address{kAudioDevicePropertyNominalSampleRate,
                                             kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    Float64 rate = 0;
    UInt32 size = sizeof rate;
    const OSStatus rc = AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, &rate);
    return rc == 0 && size == sizeof rate ? rate : 0.0;
}

// The rate capture should run at: the device's own, or when that cannot be read, the one its
// input side reports through the unit.
double deviceRateNow(AudioObjectID device, AudioUnit unit) {
    const double nominal = readNominalRate(device);
    return usableDeviceRate(nominal > 0 ? nominal : readDeviceRate(unit));
}

// The unit may go on reporting the old rate for a while after the device's notification, and
// refuses a client format at the new one meanwhile: asks it every 100 ms, for at most 2 s,
// whether it has caught up. Gives the device's rate then (the latest, should it change again).
double awaitUnitAgreeing(AudioObjectID device, AudioUnit unit, double rate) {
    constexpr auto kStep = std::chrono::milliseconds(100);
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (usableDeviceRate(readDeviceRate(unit)) != rate &&
           std::chrono::steady_clock::now() + kStep <= giveUp) {
        std::this_thread::sleep_for(kStep);
        rate = deviceRateNow(device, unit);
    }
    return rate;
}

[[noreturn]] void follow(AudioObjectID device, Capture& c, const AudioFormat& out) {
    bool retrying = false;
    for (;;) {
        waitForChange(retrying);
        const auto isCurrent = [&](double rate) {
            return !retrying && c.inFmt && c.inFmt->sampleRate() == rate;
        };
        double rate = deviceRateNow(device, c.unit);
        if (isCurrent(rate)) continue;  // nothing new
        rate = awaitUnitAgreeing(device, c.unit, rate);
        if (isCurrent(rate)) continue;  // changed back meanwhile
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
    std::thread([device, &c, out] { follow(device, c, out); }).detach();
    const OSStatus status = addRateListener(device);
    if (status != 0) {
        printLine("rate changes not followed: AudioObjectAddPropertyListener failed (" +
                  std::to_string(status) + ") \u2014 trying again every second");
        std::thread([device] { keepTryingToListen(device); }).detach();
    }
    announceChange();  // the rate once more, now that no change can go unheard
}
