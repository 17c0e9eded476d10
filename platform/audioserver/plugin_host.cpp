#include "plugin_host.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace audioserver {
namespace {

const PlugInHost* hostOf(AudioServerPlugInHostRef ref) {
    return reinterpret_cast<const PlugInHost*>(ref);
}

OSStatus propertiesChanged(AudioServerPlugInHostRef ref, AudioObjectID object, UInt32 count,
                           const AudioObjectPropertyAddress* addresses) {
    if (ref == nullptr || (count > 0 && addresses == nullptr))
        return kAudioHardwareIllegalOperationError;
    const PlugInHost* host = hostOf(ref);
    PropertyChange change{host->plugIn, object, {addresses, addresses + count}};
    host->queue->pushChange(std::move(change));
    return kAudioHardwareNoError;
}

OSStatus requestConfigurationChange(AudioServerPlugInHostRef ref, AudioObjectID device,
                                    UInt64 action, void* info) {
    if (ref == nullptr) return kAudioHardwareIllegalOperationError;
    const PlugInHost* host = hostOf(ref);
    host->queue->pushRequest({host->plugIn, device, action, info});
    return kAudioHardwareNoError;
}

// Nothing is stored between runs of the server.
OSStatus copyFromStorage(AudioServerPlugInHostRef, CFStringRef, CFPropertyListRef* outData) {
    if (outData != nullptr) *outData = nullptr;
    return kAudioHardwareUnsupportedOperationError;
}
OSStatus writeToStorage(AudioServerPlugInHostRef, CFStringRef, CFPropertyListRef) {
    return kAudioHardwareUnsupportedOperationError;
}
OSStatus deleteFromStorage(AudioServerPlugInHostRef, CFStringRef) {
    return kAudioHardwareUnsupportedOperationError;
}

}  // namespace

HostQueue::HostQueue() : wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

HostQueue::~HostQueue() {
    if (wakeFd_ >= 0) close(wakeFd_);
}

void HostQueue::wake() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
}

void HostQueue::pushChange(PropertyChange change) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        changes_.push_back(std::move(change));
    }
    wake();
}

void HostQueue::pushRequest(ConfigurationRequest request) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        requests_.push_back(request);
    }
    wake();
}

void HostQueue::take(std::vector<PropertyChange>& changes,
                     std::vector<ConfigurationRequest>& requests) {
    uint64_t drained;
    [[maybe_unused]] ssize_t n = read(wakeFd_, &drained, sizeof drained);
    std::lock_guard<std::mutex> guard(lock_);
    changes.swap(changes_);
    requests.swap(requests_);
    changes_.clear();
    requests_.clear();
}

void initPlugInHost(PlugInHost& host, HostQueue* queue, size_t plugIn) {
    host.iface.PropertiesChanged = propertiesChanged;
    host.iface.CopyFromStorage = copyFromStorage;
    host.iface.WriteToStorage = writeToStorage;
    host.iface.DeleteFromStorage = deleteFromStorage;
    host.iface.RequestDeviceConfigurationChange = requestConfigurationChange;
    host.queue = queue;
    host.plugIn = plugIn;
}

}  // namespace audioserver
