// IO sessions, starting and stopping devices, and what the server does with the events its
// plug-ins raise through the host interface.
#include <CoreAudio/AudioHardware.h>

#include <algorithm>
#include <cstring>

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

}  // namespace

void AudioServer::handleStartSession(Connection& conn, const uint8_t* data, size_t size) {
    StartSessionRequest req{};
    if (size != sizeof req) {
        conn.broken = true;
        return;
    }
    std::memcpy(&req, data, sizeof req);
    StartSessionReply rep{{static_cast<uint32_t>(MsgType::kReply), req.hdr.seq}, 0, 0, 0};
    const uint32_t directions = req.directions & (kSessionInput | kSessionOutput);
    Device* device = deviceByClientID(req.deviceID);
    if (device == nullptr) {
        rep.status = kAudioHardwareBadDeviceError;
    } else if (conn.session || directions == 0 || directions != req.directions) {
        rep.status = kAudioHardwareIllegalOperationError;
    } else if (((directions & kSessionInput) && device->input.local == 0) ||
               ((directions & kSessionOutput) && device->output.local == 0)) {
        rep.status = kAudioHardwareBadStreamError;
    }
    std::unique_ptr<Session> session;
    if (rep.status == kAudioHardwareNoError) {
        session = Session::create(directions, device->input.channels, device->output.channels,
                                  conn.clientID, conn.pid);
        if (!session) rep.status = kAudioHardwareUnspecifiedError;
    }
    if (rep.status != kAudioHardwareNoError) {
        reply(conn, &rep, sizeof rep);
        return;
    }
    const PlugIn& plugIn = plugIns_[device->plugIn];
    const AudioServerPlugInClientInfo info{conn.clientID, conn.pid, true, nullptr};
    plugIn.table().AddDeviceClient(plugIn.driver, device->local, &info);
    if (!device->io->attach(session.get())) {
        plugIn.table().RemoveDeviceClient(plugIn.driver, device->local, &info);
        rep.status = kAudioHardwareIllegalOperationError;  // too many sessions on the device
        reply(conn, &rep, sizeof rep);
        return;
    }
    conn.session = std::move(session);
    conn.device = device;
    if (!device->io->running()) {
        rep.status = startDevice(*device, conn.clientID);
        if (rep.status != kAudioHardwareNoError) {
            endSession(conn);
            reply(conn, &rep, sizeof rep);
            return;
        }
    } else {
        publishSettings(*device, kStateRunning);
    }
    rep.sharedBytes = conn.session->bytes();
    const int fds[2] = {conn.session->memFd(), conn.session->eventFd()};
    reply(conn, &rep, sizeof rep, fds, 2);
}

void AudioServer::endSession(Connection& conn) {
    Device* device = conn.device;
    if (device != nullptr && conn.session) {
        device->io->detach(conn.session.get());
        const PlugIn& plugIn = plugIns_[device->plugIn];
        const AudioServerPlugInClientInfo info{conn.clientID, conn.pid, true, nullptr};
        plugIn.table().RemoveDeviceClient(plugIn.driver, device->local, &info);
        if (device->io->sessionCount() == 0) {
            device->ioClient = conn.clientID;  // the last client stops the device
            stopDevice(*device);
        }
    }
    conn.session.reset();
    conn.device = nullptr;
}

void AudioServer::handleStats(Connection& conn, const uint8_t* data, size_t size) {
    StatsRequest req{};
    if (size != sizeof req) {
        conn.broken = true;
        return;
    }
    std::memcpy(&req, data, sizeof req);
    StatsReply rep{};
    rep.hdr = {static_cast<uint32_t>(MsgType::kReply), req.hdr.seq};
    Device* device = deviceByClientID(req.deviceID);
    if (device == nullptr) {
        rep.status = kAudioHardwareBadDeviceError;
    } else {
        rep.stats = device->io->stats().snapshot();
        rep.stats.mRunning = device->io->running() ? 1 : 0;
        rep.stats.mIOFrameSize = device->io->settings().frameSize;
        rep.stats.mSampleRate = device->io->settings().sampleRate;
        if (req.reset != 0) device->io->stats().reset();
    }
    reply(conn, &rep, sizeof rep);
}

OSStatus AudioServer::startDevice(Device& device, UInt32 clientID) {
    const PlugIn& plugIn = plugIns_[device.plugIn];
    const auto settings = readIOSettings(plugIn, device.local);
    if (!settings) return kAudioHardwareNotReadyError;
    const OSStatus rc = device.io->start(device.output, device.input, *settings, clientID);
    if (rc != kAudioHardwareNoError) {
        log("device " + std::to_string(device.client) + " did not start: " + std::to_string(rc));
        return rc;
    }
    device.ioClient = clientID;
    publishSettings(device, kStateRunning);
    notify(device.client, {{kAudioDevicePropertyDeviceIsRunning, kAudioObjectPropertyScopeGlobal,
                            kAudioObjectPropertyElementMain}});
    return kAudioHardwareNoError;
}

void AudioServer::stopDevice(Device& device) {
    if (!device.io->running()) return;
    device.io->stop(device.ioClient);
    publishSettings(device, device.alive ? kStateStopped : kStateGone);
    notify(device.client, {{kAudioDevicePropertyDeviceIsRunning, kAudioObjectPropertyScopeGlobal,
                            kAudioObjectPropertyElementMain}});
}

void AudioServer::restartDevice(Device& device) {
    if (!device.io->running()) return;
    device.io->stop(device.ioClient);
    publishSettings(device, kStateStopped);
    if (startDevice(device, device.ioClient) != kAudioHardwareNoError) {
        for (Connection& conn : connections_) {
            if (conn.device == &device) conn.broken = true;
        }
    }
}

void AudioServer::publishSettings(Device& device, uint32_t state) {
    const IOSettings& s = device.io->settings();
    for (Connection& conn : connections_) {
        if (conn.device != &device || !conn.session) continue;
        SessionShared& sh = *conn.session->shared();
        sh.sampleRate.store(doubleBits(s.sampleRate), std::memory_order_relaxed);
        sh.ioFrameSize.store(s.frameSize, std::memory_order_relaxed);
        sh.state.store(state, std::memory_order_release);
        conn.session->signal();
    }
}

void AudioServer::processHostEvents() {
    std::vector<PropertyChange> changes;
    std::vector<ConfigurationRequest> requests;
    for (int round = 0; round < 8; ++round) {  // events may raise further events; bounded
        changes.clear();
        requests.clear();
        hostQueue_.take(changes, requests);
        if (changes.empty() && requests.empty()) return;
        for (const ConfigurationRequest& req : requests) {
            if (req.plugIn >= plugIns_.size()) continue;
            const PlugIn& plugIn = plugIns_[req.plugIn];
            Device* device = deviceByLocal(req.plugIn, req.device);
            const bool wasRunning = device != nullptr && device->io->running();
            if (wasRunning) {
                device->io->stop(device->ioClient);
                publishSettings(*device, kStateStopped);
            }
            plugIn.table().PerformDeviceConfigurationChange(plugIn.driver, req.device, req.action,
                                                            req.info);
            log("configuration change " + std::to_string(req.action) + " performed on " +
                plugIn.name);
            if (device == nullptr) continue;
            std::string problem;
            device->output =
                readStream(plugIn, device->local, kAudioObjectPropertyScopeOutput, problem);
            device->input =
                readStream(plugIn, device->local, kAudioObjectPropertyScopeInput, problem);
            if (wasRunning && startDevice(*device, device->ioClient) != kAudioHardwareNoError) {
                for (Connection& conn : connections_) {
                    if (conn.device == device) conn.broken = true;
                }
            }
            // The plug-in announces nothing for a configuration change; the host does.
            const AudioObjectPropertyScope g = kAudioObjectPropertyScopeGlobal;
            notify(device->client, {{kAudioDevicePropertyNominalSampleRate, g, 0},
                                    {kAudioDevicePropertyStreamConfiguration, g, 0}});
            for (const StreamInfo& s : {device->output, device->input}) {
                if (s.local == 0) continue;
                notify(registry_.clientID(device->plugIn, s.local),
                       {{kAudioStreamPropertyVirtualFormat, g, 0},
                        {kAudioStreamPropertyPhysicalFormat, g, 0}});
            }
        }
        for (const PropertyChange& change : changes) {
            if (change.plugIn >= plugIns_.size()) continue;
            notify(registry_.clientID(change.plugIn, change.object), change.addresses);
            if (change.object == kAudioObjectPlugInObject &&
                contains(change.addresses, kAudioPlugInPropertyDeviceList)) {
                discoverDevices(change.plugIn);
                notify(kAudioObjectSystemObject,
                       {{kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, 0}});
            }
            Device* device = deviceByLocal(change.plugIn, change.object);
            // A new IO buffer size takes effect by restarting the device's IO cycle.
            if (device != nullptr &&
                contains(change.addresses, kAudioDevicePropertyBufferFrameSize)) {
                restartDevice(*device);
            }
        }
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
