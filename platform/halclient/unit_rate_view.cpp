#include "unit_rate_view.h"

#include <chrono>
#include <map>
#include <mutex>

#include "unit_defaults.h"

namespace halclient {
namespace {

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// When each device's rate notification last reached this process, by device. Registered once
// per device; the listener stays for the life of the process (the listener connection
// registers it again after a server restart).
struct Notices {
    std::mutex lock;
    std::map<AudioObjectID, int64_t> heardAt;  // 0: registered, nothing heard yet
};

Notices& notices() {
    static Notices* shared = new Notices();  // lives as long as the process
    return *shared;
}

OSStatus rateChanged(AudioObjectID device, UInt32, const AudioObjectPropertyAddress*, void*) {
    std::lock_guard<std::mutex> guard(notices().lock);
    notices().heardAt[device] = nowNs();
    return kAudioHardwareNoError;
}

int64_t lastHeard(AudioObjectID device) {
    std::lock_guard<std::mutex> guard(notices().lock);
    const auto it = notices().heardAt.find(device);
    return it == notices().heardAt.end() ? 0 : it->second;
}

}  // namespace

void listenForRateChanges(AudioObjectID device) {
    {
        std::lock_guard<std::mutex> guard(notices().lock);
        if (!notices().heardAt.emplace(device, 0).second) return;
    }
    const AudioObjectPropertyAddress address{kAudioDevicePropertyNominalSampleRate,
                                             kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    if (AudioObjectAddPropertyListener(device, &address, rateChanged, nullptr) != 0) {
        std::lock_guard<std::mutex> guard(notices().lock);
        notices().heardAt.erase(device);  // tried again at the next initialisation
    }
}

UnitRateView::UnitRateView() : lagNs_(int64_t{unitFormatLagMs()} * 1000000) {}

void UnitRateView::follow(AudioObjectID device) {
    if (device == device_) return;
    device_ = device;
    known_ = 0;
}

double UnitRateView::seen(AudioObjectID device, double actual) {
    if (device != device_ || device_ == kAudioObjectUnknown || actual == known_) return actual;
    const int64_t now = nowNs();
    const int64_t heard = lastHeard(device);
    if (known_ == 0 || (heard > knownSinceNs_ && now - heard >= lagNs_)) {
        known_ = actual;
        knownSinceNs_ = now;
        return actual;
    }
    return known_;
}

}  // namespace halclient
