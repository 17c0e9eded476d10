// AudioServer, part 4 of 4: what the server does with the events its plug-ins raise through the
// host interface (property changes, configuration change requests), and the notifications it
// sends to listening clients. (Part 1: audio_server.cpp, part 2: audio_server_properties.cpp,
// part 3: audio_server_sessions.cpp.)
#include <CoreAudio/AudioHardware.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>

#include "audio_server.h"
#include "ipc/socket_io.h"
#include "plugin_queries.h"

namespace audioserver {

using namespace qwipc;

namespace {

bool contains(const std::vector<AudioObjectPropertyAddress>& addresses,
              AudioObjectPropertySelector selector) {
    for (const auto& a : addresses) {
        if (a.mSelector == selector) return true;
    }
    return false;
}

bool matches(const AudioObjectPropertyAddress& wanted, const AudioObjectPropertyAddress& changed) {
    return (wanted.mSelector == kAudioObjectPropertyScopeWildcard ||
            wanted.mSelector == changed.mSelector) &&
           (wanted.mScope == kAudioObjectPropertyScopeWildcard ||
            changed.mScope == kAudioObjectPropertyScopeWildcard ||
            wanted.mScope == changed.mScope) &&
           (wanted.mElement == kAudioObjectPropertyElementWildcard ||
            changed.mElement == kAudioObjectPropertyElementWildcard ||
            wanted.mElement == changed.mElement);
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

}  // namespace

void AudioServer::processHostEvents() {
    for (Device& device : devices_) reportTimeStampViolations(device);
    std::vector<PropertyChange> changes;
    std::vector<ConfigurationRequest> requests;
    for (int round = 0; round < 8; ++round) {  // events may raise further events; bounded
        changes.clear();
        requests.clear();
        hostQueue_.take(changes, requests);
        if (changes.empty() && requests.empty()) return;
        for (const ConfigurationRequest& req : requests) performConfigurationChange(req);
        for (const PropertyChange& change : changes) applyPropertyChange(change);
    }
}

void AudioServer::reportTimeStampViolations(Device& device) {
    TimeStampViolation v{};
    const uint64_t total = device.io->timeStampViolations();
    const std::string where =
        "device " + std::to_string(device.client) + " of " + plugIns_[device.plugIn].name + ": ";
    uint64_t shown = device.reportedStampViolations;
    if (device.io->takeTimeStampViolation(v)) {
        ++shown;
        violation(where + "zero time stamp (" + number(v.sample) + ", " + std::to_string(v.host) +
                  ") of seed " + std::to_string(v.seed) + " follows (" + number(v.previousSample) +
                  ", " + std::to_string(v.previousHost) +
                  ") of the same seed: not a whole number of periods on, or a step back");
    }
    if (total > shown) {
        violation(where + std::to_string(total - shown) + " more zero time stamps broke the rule");
    }
    device.reportedStampViolations = total;
}

// The host may carry a change out inside StopIO and StartIO, or while IO keeps running; the
// server's behaviour choice says which (behaviour.h).
void AudioServer::performConfigurationChange(const ConfigurationRequest& req) {
    if (req.plugIn >= plugIns_.size()) return;
    const PlugIn& plugIn = plugIns_[req.plugIn];
    Device* device = deviceByLocal(req.plugIn, req.device);
    const bool wasRunning = device != nullptr && device->io->running();
    const bool keepRunning = wasRunning && options_.behaviour.rateChangeWhileRunning;
    if (wasRunning && !keepRunning) {
        device->io->stop(device->ioClient);
        publishSettings(*device, kStateStopped);
    }
    plugIn.table().PerformDeviceConfigurationChange(plugIn.driver, req.device, req.action,
                                                    req.info);
    log("configuration change " + std::to_string(req.action) + " performed on " + plugIn.name +
        (keepRunning ? " while IO ran" : ""));
    if (device == nullptr) return;
    std::string problem;
    device->output = readStream(plugIn, device->local, kAudioObjectPropertyScopeOutput, problem);
    device->input = readStream(plugIn, device->local, kAudioObjectPropertyScopeInput, problem);
    if (keepRunning) {
        if (const auto settings = readIOSettings(plugIn, device->local)) {
            device->io->changeRate(settings->sampleRate);
        }
        publishSettings(*device, kStateRunning);
    } else if (wasRunning && startDevice(*device, device->ioClient) != kAudioHardwareNoError) {
        for (Connection& conn : connections_) {
            if (conn.device == device) conn.broken = true;
        }
    }
    notifyFormatChange(*device);
}

// The plug-in announces nothing for a configuration change; the host does.
void AudioServer::notifyFormatChange(const Device& device) {
    const AudioObjectPropertyScope g = kAudioObjectPropertyScopeGlobal;
    notify(device.client, {{kAudioDevicePropertyNominalSampleRate, g, 0},
                           {kAudioDevicePropertyStreamConfiguration, g, 0}});
    for (const StreamInfo& s : {device.output, device.input}) {
        if (s.local == 0) continue;
        notify(registry_.clientID(device.plugIn, s.local),
               {{kAudioStreamPropertyVirtualFormat, g, 0},
                {kAudioStreamPropertyPhysicalFormat, g, 0}});
    }
}

void AudioServer::applyPropertyChange(const PropertyChange& change) {
    if (change.plugIn >= plugIns_.size()) return;
    notify(registry_.clientID(change.plugIn, change.object), change.addresses);
    if (change.object == kAudioObjectPlugInObject &&
        contains(change.addresses, kAudioPlugInPropertyDeviceList)) {
        discoverDevices(change.plugIn);
        notify(kAudioObjectSystemObject,
               {{kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, 0}});
    }
    Device* device = deviceByLocal(change.plugIn, change.object);
    // A new IO buffer size takes effect by restarting the device's IO cycle.
    if (device != nullptr && contains(change.addresses, kAudioDevicePropertyBufferFrameSize)) {
        restartDevice(*device);
    }
}

void AudioServer::notify(AudioObjectID object,
                         const std::vector<AudioObjectPropertyAddress>& addresses) {
    for (Connection& conn : connections_) {
        if (conn.listeners.empty() || conn.broken) continue;
        Notification note{};
        note.hdr = {static_cast<uint32_t>(MsgType::kNotify), 0};
        note.objectID = object;
        for (const auto& changed : addresses) {
            for (const Listener& l : conn.listeners) {
                if (l.object == object && matches(l.address, changed) &&
                    note.count < kMaxNotifiedAddresses) {
                    note.addresses[note.count++] = changed;
                    break;
                }
            }
        }
        if (note.count == 0) continue;
        const size_t size =
            offsetof(Notification, addresses) + note.count * sizeof(AudioObjectPropertyAddress);
        // A listener that does not read its notifications misses some; nobody waits for it.
        if (!sendMessage(conn.fd, &note, size) && errno != EAGAIN && errno != EWOULDBLOCK) {
            conn.broken = true;
        }
    }
}

}  // namespace audioserver
