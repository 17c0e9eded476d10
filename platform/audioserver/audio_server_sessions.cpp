// AudioServer, part 3 of 4: IO sessions (start, end, statistics) and starting, stopping and
// restarting devices. (Part 1: audio_server.cpp, part 2: audio_server_properties.cpp, part 4:
// audio_server_host_events.cpp.)
#include <CoreAudio/AudioHardware.h>

#include <algorithm>
#include <cstring>

#include "audio_server.h"
#include "ipc/socket_io.h"
#include "plugin_queries.h"

namespace audioserver {

using namespace qwipc;

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
    if (device.io->readPlan().willDo && !device.io->readPlan().inPlace) {
        violation("device " + std::to_string(device.client) + " of " + plugIn.name +
                  ": ReadInput not in place, though it always is");
    }
    publishSettings(device, kStateRunning);
    notify(device.client, {{kAudioDevicePropertyDeviceIsRunning, kAudioObjectPropertyScopeGlobal,
                            kAudioObjectPropertyElementMain}});
    return kAudioHardwareNoError;
}

void AudioServer::stopDevice(Device& device) {
    if (!device.io->running()) return;
    device.io->stop(device.ioClient);
    reportTimeStampViolations(device);
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

}  // namespace audioserver
