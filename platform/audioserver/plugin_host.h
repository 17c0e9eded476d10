// The host interface the server hands each plug-in. Plug-ins may call it from any thread, also
// from inside a call the server is making into them, so the calls only queue the event and wake
// the server's control thread, which acts on it once the plug-in call has returned.
#pragma once
#include <CoreAudio/AudioServerPlugIn.h>

#include <mutex>
#include <vector>

namespace audioserver {

struct PropertyChange {
    size_t plugIn;
    AudioObjectID object;  // the plug-in's own ID
    std::vector<AudioObjectPropertyAddress> addresses;
};

struct ConfigurationRequest {
    size_t plugIn;
    AudioObjectID device;  // the plug-in's own ID
    UInt64 action;
    void* info;
};

class HostQueue {
  public:
    HostQueue();
    ~HostQueue();
    HostQueue(const HostQueue&) = delete;
    HostQueue& operator=(const HostQueue&) = delete;

    int wakeFd() const { return wakeFd_; }  // readable while events are queued
    void pushChange(PropertyChange change);
    void pushRequest(ConfigurationRequest request);
    // Takes everything queued so far.
    void take(std::vector<PropertyChange>& changes, std::vector<ConfigurationRequest>& requests);

  private:
    void wake();
    std::mutex lock_;
    std::vector<PropertyChange> changes_;
    std::vector<ConfigurationRequest> requests_;
    int wakeFd_;
};

// One per plug-in: the interface table first, so the host reference the plug-in passes back
// leads to the plug-in it belongs to.
struct PlugInHost {
    AudioServerPlugInHostInterface iface;
    HostQueue* queue;
    size_t plugIn;
};

void initPlugInHost(PlugInHost& host, HostQueue* queue, size_t plugIn);

}  // namespace audioserver
