#include "bridge/capture/coreaudio/rate_follower.h"

#include <chrono>
#include <string>
#include <thread>

#include "bridge/capture/coreaudio/capture_lines.h"
#include "bridge/capture/coreaudio/input_unit.h"

namespace {

const AudioObjectPropertyAddress kNominalRate{kAudioDevicePropertyNominalSampleRate,
                                              kAudioObjectPropertyScopeGlobal,
                                              kAudioObjectPropertyElementMain};

// The device's nominal rate as the device itself reports it (0 when unreadable).
double readNominalRate(AudioObjectID device) {
    Float64 rate = 0;
    UInt32 size = sizeof rate;
    const OSStatus rc = AudioObjectGetPropertyData(device, &kNominalRate, 0, nullptr, &size, &rate);
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

}  // namespace

RateFollower::RateFollower(AudioObjectID followed, const Capture& capture, Restart restartAt,
                           LineSink printer)
    : device(followed), c(capture), restart(std::move(restartAt)), print(std::move(printer)) {}

OSStatus RateFollower::onRateChanged(AudioObjectID, UInt32, const AudioObjectPropertyAddress*,
                                     void* self) {
    static_cast<RateFollower*>(self)->announceChange();
    return 0;
}

void RateFollower::announceChange() {
    {
        std::lock_guard<std::mutex> guard(changeLock);
        changePending = true;
    }
    changed.notify_one();
}

// Waits for a change; after a failed attempt, a second and then tries again either way.
void RateFollower::waitForChange(bool retrying) {
    std::unique_lock<std::mutex> guard(changeLock);
    if (retrying) {
        changed.wait_for(guard, std::chrono::seconds(1), [] { return false; });
    } else {
        changed.wait(guard, [this] { return changePending; });
    }
    changePending = false;
}

void RateFollower::follow() {
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
        const std::optional<UnitFailure> failure = restart(rate);
        print(failure ? restartFailureLine(rate, *failure) : deviceRateLine(rate));
        retrying = failure.has_value();
    }
}

OSStatus RateFollower::listen() {
    return AudioObjectAddPropertyListener(device, &kNominalRate, onRateChanged, this);
}

// After a refused registration: tries again every second until it is taken, then reads the rate
// once more, as a change may have been missed meanwhile.
void RateFollower::keepTryingToListen() {
    while (listen() != 0) std::this_thread::sleep_for(std::chrono::seconds(1));
    print("following the device's rate again");
    announceChange();
}

void RateFollower::start() {
    std::thread([this] { follow(); }).detach();
    const OSStatus status = listen();
    if (status != 0) {
        print("rate changes not followed: AudioObjectAddPropertyListener failed (" +
              std::to_string(status) + ") \u2014 trying again every second");
        std::thread([this] { keepTryingToListen(); }).detach();
    }
    announceChange();  // the rate once more, now that no change can go unheard
}
