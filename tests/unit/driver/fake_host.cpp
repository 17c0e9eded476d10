#include "fake_host.h"

namespace driver_test {

FakeHost::FakeHost(AudioServerPlugInDriverRef driver, bool performAtOnce)
    : driver_(driver), performAtOnce_(performAtOnce) {
    slot_.interface.PropertiesChanged = propertiesChanged;
    slot_.interface.RequestDeviceConfigurationChange = requestChange;
    slot_.owner = this;
    // The storage calls stay null: the driver must never use them.
}

FakeHost& FakeHost::self(AudioServerPlugInHostRef host) {
    return *reinterpret_cast<const Slot*>(host)->owner;
}

OSStatus FakeHost::propertiesChanged(AudioServerPlugInHostRef host, AudioObjectID object,
                                     UInt32 count, const AudioObjectPropertyAddress* addresses) {
    FakeHost& me = self(host);
    std::lock_guard<std::mutex> guard(me.lock_);
    me.notifications_.push_back({object, {addresses, addresses + count}});
    return 0;
}

OSStatus FakeHost::requestChange(AudioServerPlugInHostRef host, AudioObjectID device, UInt64 action,
                                 void* info) {
    FakeHost& me = self(host);
    {
        std::lock_guard<std::mutex> guard(me.lock_);
        me.requests_.push_back({device, action, info});
    }
    if (me.performAtOnce_) me.performPending();
    return 0;
}

std::vector<Notification> FakeHost::notifications() const {
    std::lock_guard<std::mutex> guard(lock_);
    return notifications_;
}

std::vector<ConfigurationRequest> FakeHost::requests() const {
    std::lock_guard<std::mutex> guard(lock_);
    return requests_;
}

void FakeHost::clear() {
    std::lock_guard<std::mutex> guard(lock_);
    notifications_.clear();
    requests_.clear();
    performed_ = 0;
}

void FakeHost::performPending() {
    for (;;) {
        ConfigurationRequest request{};
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (performed_ == requests_.size()) return;
            request = requests_[performed_++];
        }
        (*driver_)->PerformDeviceConfigurationChange(driver_, request.device, request.action,
                                                     request.info);
    }
}

}  // namespace driver_test
