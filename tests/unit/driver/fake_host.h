// A stand-in for the audio server's host interface: records PropertiesChanged and
// RequestDeviceConfigurationChange, and can carry a requested change out through the driver's
// PerformDeviceConfigurationChange, either at once or when asked.
#pragma once
#include <CoreAudio/AudioServerPlugIn.h>

#include <mutex>
#include <vector>

namespace driver_test {

struct Notification {
    AudioObjectID object;
    std::vector<AudioObjectPropertyAddress> addresses;
};

struct ConfigurationRequest {
    AudioObjectID device;
    UInt64 action;
    void* info;
};

class FakeHost {
  public:
    explicit FakeHost(AudioServerPlugInDriverRef driver, bool performAtOnce = false);
    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;

    // What Initialize is given.
    AudioServerPlugInHostRef ref() const { return &slot_.interface; }

    std::vector<Notification> notifications() const;
    std::vector<ConfigurationRequest> requests() const;
    void clear();

    // Carries out every request not yet performed, in order, as the server would.
    void performPending();

  private:
    static FakeHost& self(AudioServerPlugInHostRef host);
    static OSStatus propertiesChanged(AudioServerPlugInHostRef host, AudioObjectID object,
                                      UInt32 count, const AudioObjectPropertyAddress* addresses);
    static OSStatus requestChange(AudioServerPlugInHostRef host, AudioObjectID device,
                                  UInt64 action, void* info);

    // The host ref points at `interface`, the first member, so the callbacks find `owner`.
    struct Slot {
        AudioServerPlugInHostInterface interface;
        FakeHost* owner;
    };
    Slot slot_{};
    AudioServerPlugInDriverRef driver_;
    bool performAtOnce_;
    mutable std::mutex lock_;
    std::vector<Notification> notifications_;
    std::vector<ConfigurationRequest> requests_;
    size_t performed_ = 0;
};

}  // namespace driver_test
