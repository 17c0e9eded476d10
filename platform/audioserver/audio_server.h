// The audio server: hosts the plug-ins, publishes their devices under IDs of its own, answers
// clients' property calls, opens IO sessions and runs each running device's IO cycle.
// Everything except the IO threads runs on one control thread (run()). One class in four source
// files, each named for its part: audio_server.cpp (plug-ins, devices, connections),
// audio_server_properties.cpp, audio_server_sessions.cpp and audio_server_host_events.cpp.
#pragma once
#include <atomic>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "behaviour.h"
#include "device_io.h"
#include "ipc/protocol.h"
#include "ipc/socket_io.h"
#include "object_registry.h"
#include "plugin_host.h"
#include "plugin_loader.h"

namespace audioserver {

struct ServerOptions {
    std::string socketPath;
    std::vector<std::string> plugInDirectories;
    bool realtime = true;
    bool quiet = false;
    ServerBehaviour behaviour;
};

class AudioServer {
  public:
    explicit AudioServer(ServerOptions options);
    ~AudioServer();
    AudioServer(const AudioServer&) = delete;
    AudioServer& operator=(const AudioServer&) = delete;

    // Loads every plug-in of the plug-in directories; those that fail are logged and skipped.
    void loadPlugIns();
    // Hosts an already created plug-in (also used for built-in plug-ins in tests).
    bool addPlugIn(PlugIn plugIn);
    // Opens the listening socket.
    bool listen();
    // Serves clients until requestStop().
    void run();
    // Safe from any thread and from a signal handler.
    void requestStop();
    // Once run() has returned: ends every session and stops every device.
    void closeAll();

    size_t deviceCount() const;
    // Rules a plug-in broke so far, each logged as a line that starts "VIOLATION:" (the first
    // hundred also kept here). Control thread, or once run() has returned.
    uint64_t violationCount() const { return violationCount_; }
    const std::vector<std::string>& violations() const { return violations_; }

  private:
    struct Device {
        size_t plugIn;
        AudioObjectID local;
        AudioObjectID client;
        std::string uid;
        StreamInfo output, input;
        std::unique_ptr<DeviceIO> io;
        UInt32 ioClient = 0;
        bool alive = true;
        uint64_t reportedStampViolations = 0;
    };
    struct Listener {
        AudioObjectID object;
        AudioObjectPropertyAddress address;
    };
    struct Connection {
        int fd = -1;
        pid_t pid = 0;
        UInt32 clientID = 0;
        std::vector<Listener> listeners;
        std::unique_ptr<Session> session;
        Device* device = nullptr;
        bool broken = false;
    };

    void log(const std::string& line) const;
    void violation(const std::string& line);
    void discoverDevices(size_t plugIn);
    // The checks of a device new to the server; false if it cannot be taken.
    bool acceptDevice(size_t plugIn, AudioObjectID local, const std::string& name,
                      const std::string& uid);
    void reportTimeStampViolations(Device& device);
    Device* deviceByClientID(AudioObjectID client);
    Device* deviceByLocal(size_t plugIn, AudioObjectID local);

    // Plug-ins, devices and client connections (audio_server.cpp).
    void acceptClients();
    void serviceConnection(Connection& conn);
    void handleMessage(Connection& conn, const uint8_t* data, size_t size);
    void closeConnection(Connection& conn);
    void reply(Connection& conn, const void* data, size_t size, const int* fds = nullptr,
               int nfds = 0);

    // Property calls (audio_server_properties.cpp): the system object's properties are the
    // server's own; every other object's go to the plug-in that owns it.
    void handleProperty(Connection& conn, const uint8_t* data, size_t size);
    void answerSystemObject(const qwipc::PropertyRequest& req, const uint8_t* qualifier,
                            qwipc::MessageWriter& out);
    std::vector<AudioObjectID> liveDeviceIDs() const;
    std::vector<AudioObjectID> plugInObjectIDs() const;
    AudioObjectID defaultDevice(bool output) const;
    AudioObjectID deviceWithUID(const qwipc::PropertyRequest& req, const uint8_t* qualifier) const;
    void answerPlugInObject(const qwipc::PropertyRequest& req, const uint8_t* qualifier,
                            const uint8_t* data, pid_t pid, qwipc::MessageWriter& out);

    // Sessions and starting or stopping devices (audio_server_sessions.cpp).
    void handleStartSession(Connection& conn, const uint8_t* data, size_t size);
    void handleStats(Connection& conn, const uint8_t* data, size_t size);
    void endSession(Connection& conn);
    OSStatus startDevice(Device& device, UInt32 clientID);
    void stopDevice(Device& device);
    void restartDevice(Device& device);
    void publishSettings(Device& device, uint32_t state);
    void forEachSession(Device& device, void (*fn)(Connection&, void*), void* arg);

    // Host events and notifications (audio_server_host_events.cpp).
    void processHostEvents();
    void performConfigurationChange(const ConfigurationRequest& req);
    void applyPropertyChange(const PropertyChange& change);
    void notifyFormatChange(const Device& device);
    void notify(AudioObjectID object, const std::vector<AudioObjectPropertyAddress>& addresses);

    ServerOptions options_;
    std::vector<PlugIn> plugIns_;
    std::vector<std::unique_ptr<PlugInHost>> hosts_;
    std::list<Device> devices_;  // stable addresses
    std::list<Connection> connections_;
    ObjectRegistry registry_;
    HostQueue hostQueue_;
    int listenFd_ = -1;
    int stopFd_ = -1;
    UInt32 nextClientID_ = 1;
    std::atomic<bool> stopping_{false};
    uint64_t violationCount_ = 0;
    std::vector<std::string> violations_;
};

}  // namespace audioserver
