// An audio server inside the test process, on the process's one socket path, hosting the fake
// plug-in (or the plug-ins of a directory).
#pragma once
#include <memory>
#include <string>
#include <thread>

#include "audio_server.h"
#include "fake_plugin.h"

class ServerHarness {
  public:
    // Hosts the built-in fake plug-in with `config`.
    explicit ServerHarness(const fakeplugin::Config& config = {});
    // Hosts whatever the directory holds.
    explicit ServerHarness(const std::string& plugInDirectory);
    ~ServerHarness();
    void stop();
    audioserver::AudioServer& server() { return *server_; }

    // The socket path every test of the process uses (set in the environment on first use).
    static const std::string& socketPath();

  private:
    void run();
    std::unique_ptr<audioserver::AudioServer> server_;
    std::thread thread_;
};

// The first device named `name` through the HAL calls, or 0.
AudioObjectID deviceNamed(const char* name);
