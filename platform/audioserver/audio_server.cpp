// AudioServer, part 1 of 4: plug-ins and their devices, the listening socket, client
// connections and their messages. (Part 2: audio_server_properties.cpp, part 3:
// audio_server_sessions.cpp, part 4: audio_server_host_events.cpp.)
#include "audio_server.h"

#include <CoreAudio/AudioHardware.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "ipc/socket_io.h"
#include "plugin_checks.h"
#include "plugin_queries.h"

namespace audioserver {

using namespace qwipc;

AudioServer::AudioServer(ServerOptions options)
    : options_(std::move(options)), stopFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

AudioServer::~AudioServer() {
    closeAll();
    if (listenFd_ >= 0) {
        close(listenFd_);
        unlink(options_.socketPath.c_str());
    }
    if (stopFd_ >= 0) close(stopFd_);
}

void AudioServer::closeAll() {
    for (Connection& conn : connections_) closeConnection(conn);
    connections_.clear();
    for (Device& device : devices_) stopDevice(device);
}

void AudioServer::log(const std::string& line) const {
    if (!options_.quiet) std::fprintf(stderr, "audioserverd: %s\n", line.c_str());
}

void AudioServer::violation(const std::string& line) {
    ++violationCount_;
    if (violations_.size() < 100) violations_.push_back(line);
    log("VIOLATION: " + line);
}

void AudioServer::loadPlugIns() {
    for (const std::string& directory : options_.plugInDirectories) {
        const auto bundles = listPlugInBundles(directory);
        if (bundles.empty()) log("no plug-ins in " + directory);
        for (const std::string& path : bundles) {
            std::string error;
            auto plugIn = loadPlugInBundle(path, error);
            if (!plugIn) {
                log("skipped plug-in " + path + ": " + error);
                continue;
            }
            addPlugIn(std::move(*plugIn));
        }
    }
}

bool AudioServer::addPlugIn(PlugIn plugIn) {
    const size_t index = plugIns_.size();
    hosts_.push_back(std::make_unique<PlugInHost>());
    PlugInHost& host = *hosts_.back();
    initPlugInHost(host, &hostQueue_, index);
    const OSStatus rc = plugIn.table().Initialize(plugIn.driver, &host.iface);
    if (rc != kAudioHardwareNoError) {
        host.queue = nullptr;  // whatever it calls later is ignored
        log("skipped plug-in " + plugIn.name + ": Initialize returned " + std::to_string(rc));
        return false;
    }
    log("loaded plug-in " + plugIn.name + " (factory " + plugIn.factoryName + ")");
    plugIns_.push_back(std::move(plugIn));
    registry_.clientID(index, kAudioObjectPlugInObject);
    std::vector<std::string> broken;
    checkOwnedObjects(plugIns_[index], kAudioObjectPlugInObject, broken);
    for (const std::string& line : broken) violation(line);
    discoverDevices(index);
    return true;
}

void AudioServer::discoverDevices(size_t index) {
    const PlugIn& plugIn = plugIns_[index];
    const auto ids =
        readObjectList(plugIn, kAudioObjectPlugInObject, kAudioPlugInPropertyDeviceList,
                       kAudioObjectPropertyScopeGlobal);
    if (!ids) {
        log("plug-in " + plugIn.name + " gives no device list");
        return;
    }
    for (Device& device : devices_) {
        if (device.plugIn != index || !device.alive) continue;
        if (std::find(ids->begin(), ids->end(), device.local) != ids->end()) continue;
        device.alive = false;  // gone: its sessions end
        for (Connection& conn : connections_) {
            if (conn.device == &device) conn.broken = true;
        }
        stopDevice(device);
        log("device " + std::to_string(device.client) + " of " + plugIn.name + " is gone");
    }
    for (const AudioObjectID local : *ids) {
        if (deviceByLocal(index, local) != nullptr) continue;
        std::string problem;
        const StreamInfo output =
            readStream(plugIn, local, kAudioObjectPropertyScopeOutput, problem);
        const StreamInfo input = readStream(plugIn, local, kAudioObjectPropertyScopeInput, problem);
        const std::string name = readString(plugIn, local, kAudioObjectPropertyName).value_or("?");
        if ((output.local == 0 && input.local == 0) || !readIOSettings(plugIn, local)) {
            log("skipped device \"" + name + "\" of " + plugIn.name + ": " +
                (problem.empty() ? "no runnable stream or IO settings" : problem));
            continue;
        }
        const std::string uid =
            readString(plugIn, local, kAudioDevicePropertyDeviceUID).value_or("");
        if (!acceptDevice(index, local, name, uid)) continue;
        Device& device = devices_.emplace_back();
        device.plugIn = index;
        device.local = local;
        device.client = registry_.clientID(index, local);
        device.uid = uid;
        device.output = output;
        device.input = input;
        device.io = std::make_unique<DeviceIO>(plugIn.driver, local, options_.realtime,
                                               options_.behaviour, hostQueue_.wakeFd());
        log("device \"" + name + "\" is object " + std::to_string(device.client) + " (" +
            std::to_string(input.channels) + " in, " + std::to_string(output.channels) + " out)");
    }
}

bool AudioServer::acceptDevice(size_t index, AudioObjectID local, const std::string& name,
                               const std::string& uid) {
    const PlugIn& plugIn = plugIns_[index];
    const std::string device = "device \"" + name + "\" of " + plugIn.name;
    const auto settings = readIOSettings(plugIn, local);
    if (const std::string problem =
            zeroTimeStampPeriodProblem(settings ? settings->zeroTimeStampPeriod : 0);
        !problem.empty()) {
        violation("skipped " + device + ": " + problem);
        return false;
    }
    std::vector<std::string> broken;
    checkOwnedObjects(plugIn, local, broken);
    for (AudioObjectPropertyScope scope :
         {kAudioObjectPropertyScopeInput, kAudioObjectPropertyScopeOutput}) {
        const auto streams = readObjectList(plugIn, local, kAudioDevicePropertyStreams, scope);
        for (AudioObjectID stream : streams.value_or(std::vector<AudioObjectID>{})) {
            checkOwnedObjects(plugIn, stream, broken);
        }
    }
    checkUIDTranslation(plugIn, local, uid, broken);
    for (const std::string& line : broken) violation(line);  // each names its object
    return true;
}

size_t AudioServer::deviceCount() const {
    size_t n = 0;
    for (const Device& device : devices_) n += device.alive;
    return n;
}

AudioServer::Device* AudioServer::deviceByClientID(AudioObjectID client) {
    for (Device& device : devices_) {
        if (device.alive && device.client == client) return &device;
    }
    return nullptr;
}

AudioServer::Device* AudioServer::deviceByLocal(size_t plugIn, AudioObjectID local) {
    for (Device& device : devices_) {
        if (device.alive && device.plugIn == plugIn && device.local == local) return &device;
    }
    return nullptr;
}

bool AudioServer::listen() {
    listenFd_ = listenAt(options_.socketPath);
    if (listenFd_ < 0) {
        log("cannot listen at " + options_.socketPath + ": " + std::strerror(errno));
        return false;
    }
    log("listening at " + options_.socketPath);
    return true;
}

void AudioServer::requestStop() {
    stopping_.store(true);
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(stopFd_, &one, sizeof one);
}

void AudioServer::run() {
    std::vector<pollfd> fds;
    std::vector<Connection*> polled;
    while (!stopping_.load()) {
        fds.assign(
            {{stopFd_, POLLIN, 0}, {hostQueue_.wakeFd(), POLLIN, 0}, {listenFd_, POLLIN, 0}});
        polled.clear();
        for (Connection& conn : connections_) {
            fds.push_back({conn.fd, POLLIN, 0});
            polled.push_back(&conn);
        }
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            log(std::string("poll failed: ") + std::strerror(errno));
            break;
        }
        if (fds[0].revents != 0) break;
        if (fds[1].revents != 0) processHostEvents();
        if (fds[2].revents != 0) acceptClients();
        for (size_t i = 0; i < polled.size(); ++i) {
            if (fds[3 + i].revents != 0) serviceConnection(*polled[i]);
        }
        for (auto it = connections_.begin(); it != connections_.end();) {
            if (it->broken) {
                closeConnection(*it);
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }
}

void AudioServer::acceptClients() {
    for (;;) {
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        Connection& conn = connections_.emplace_back();
        conn.fd = fd;
        conn.clientID = nextClientID_++;
        ucred cred{};
        socklen_t len = sizeof cred;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) conn.pid = cred.pid;
    }
}

void AudioServer::serviceConnection(Connection& conn) {
    alignas(8) static uint8_t buffer[kMaxMessageBytes];
    for (int i = 0; i < 64 && !conn.broken; ++i) {
        const long n = receiveMessage(conn.fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n <= 0) {
            conn.broken = true;  // gone, or sent something that is not a message of ours
            return;
        }
        handleMessage(conn, buffer, static_cast<size_t>(n));
    }
}

void AudioServer::handleMessage(Connection& conn, const uint8_t* data, size_t size) {
    MsgHeader hdr{};
    if (size < sizeof hdr) {
        conn.broken = true;
        return;
    }
    std::memcpy(&hdr, data, sizeof hdr);
    switch (static_cast<MsgType>(hdr.type)) {
        case MsgType::kGetPropertyDataSize:
        case MsgType::kGetPropertyData:
        case MsgType::kSetPropertyData:
        case MsgType::kHasProperty:
        case MsgType::kIsPropertySettable:
            handleProperty(conn, data, size);
            break;
        case MsgType::kAddListener:
        case MsgType::kRemoveListener: {
            ListenerRequest req{};
            if (size != sizeof req) {
                conn.broken = true;
                return;
            }
            std::memcpy(&req, data, sizeof req);
            const Listener wanted{req.objectID, req.address};
            auto& list = conn.listeners;
            auto same = [&](const Listener& l) {
                return l.object == wanted.object &&
                       std::memcmp(&l.address, &wanted.address, sizeof l.address) == 0;
            };
            if (hdr.type == static_cast<uint32_t>(MsgType::kAddListener)) {
                if (list.size() < 256 &&
                    std::find_if(list.begin(), list.end(), same) == list.end()) {
                    list.push_back(wanted);
                }
            } else {
                list.erase(std::remove_if(list.begin(), list.end(), same), list.end());
            }
            PropertyReply out{{static_cast<uint32_t>(MsgType::kReply), hdr.seq}, 0, 0, 0};
            reply(conn, &out, sizeof out);
            break;
        }
        case MsgType::kStartSession:
            handleStartSession(conn, data, size);
            break;
        case MsgType::kStats:
            handleStats(conn, data, size);
            break;
        default:
            conn.broken = true;
    }
}

void AudioServer::reply(Connection& conn, const void* data, size_t size, const int* fds, int nfds) {
    // Host events raised by the call (a configuration change, a changed property) are carried
    // out before the client hears back, so what it reads next is already the new state.
    processHostEvents();
    if (!sendMessage(conn.fd, data, size, fds, nfds, 0)) conn.broken = true;
}

void AudioServer::closeConnection(Connection& conn) {
    if (conn.session) endSession(conn);
    if (conn.fd >= 0) close(conn.fd);
    conn.fd = -1;
}

}  // namespace audioserver
