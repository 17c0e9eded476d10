#include "server_harness.h"

#include <CoreAudio/AudioHardware.h>
#include <CoreFoundation/CFString.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <vector>

const std::string& ServerHarness::socketPath() {
    static char dir[] = "/tmp/qw-server-test-XXXXXX";
    static const std::string path = [] {
        if (mkdtemp(dir) == nullptr) return std::string("/tmp/qw-server-test.sock");
        std::atexit([] { rmdir(dir); });  // each server removes its socket when it stops
        std::string socket = std::string(dir) + "/audio.sock";
        setenv("QW_AUDIO_SERVER_SOCKET", socket.c_str(), 1);
        return socket;
    }();
    return path;
}

ServerHarness::ServerHarness(const fakeplugin::Config& config,
                             const audioserver::ServerBehaviour& behaviour, bool expectViolations)
    : expectViolations_(expectViolations) {
    fakeplugin::configure(config);
    audioserver::ServerOptions options;
    options.socketPath = socketPath();
    options.quiet = true;
    options.realtime = false;
    options.behaviour = behaviour;
    server_ = std::make_unique<audioserver::AudioServer>(options);
    audioserver::PlugIn plugIn;
    std::string error;
    plugIn.name = "fake";
    plugIn.factoryName = "create";
    plugIn.driver = audioserver::instantiatePlugIn(fakeplugin::create, error);
    server_->addPlugIn(std::move(plugIn));
    run();
}

ServerHarness::ServerHarness(const std::string& plugInDirectory) {
    audioserver::ServerOptions options;
    options.socketPath = socketPath();
    options.plugInDirectories = {plugInDirectory};
    options.quiet = true;
    options.realtime = false;
    server_ = std::make_unique<audioserver::AudioServer>(options);
    server_->loadPlugIns();
    run();
}

void ServerHarness::run() {
    if (!server_->listen()) return;
    thread_ = std::thread([this] { server_->run(); });
}

void ServerHarness::stop() {
    if (!server_) return;
    if (thread_.joinable()) {
        server_->requestStop();
        thread_.join();
    }
    server_->closeAll();  // stops the devices: their last violations are logged
    violations_ = server_->violations();
    if (!expectViolations_) {
        for (const std::string& line : violations_) ADD_FAILURE() << "VIOLATION: " << line;
    }
    server_.reset();
}

ServerHarness::~ServerHarness() {
    stop();
}

AudioObjectID deviceNamed(const char* name) {
    const AudioObjectPropertyAddress devices{kAudioHardwarePropertyDevices,
                                             kAudioObjectPropertyScopeGlobal, 0};
    UInt32 size = 0;
    AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &devices, 0, nullptr, &size);
    std::vector<AudioObjectID> ids(size / 4);
    AudioObjectGetPropertyData(kAudioObjectSystemObject, &devices, 0, nullptr, &size, ids.data());
    for (AudioObjectID id : ids) {
        const AudioObjectPropertyAddress nameAddress{kAudioObjectPropertyName,
                                                     kAudioObjectPropertyScopeGlobal, 0};
        CFStringRef s = nullptr;
        UInt32 n = sizeof s;
        if (AudioObjectGetPropertyData(id, &nameAddress, 0, nullptr, &n, &s) != 0 || s == nullptr) {
            continue;
        }
        const bool same = std::strcmp(CFStringGetCStringPtr(s, kCFStringEncodingUTF8), name) == 0;
        CFRelease(s);
        if (same) return id;
    }
    return 0;
}
