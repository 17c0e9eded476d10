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
    // Hosts the built-in fake plug-in with `config`. Unless told to expect them, a rule the
    // plug-in breaks fails the test when the harness stops.
    explicit ServerHarness(const fakeplugin::Config& config = {},
                           const audioserver::ServerBehaviour& behaviour = {},
                           bool expectViolations = false);
    // Hosts whatever the directory holds.
    explicit ServerHarness(const std::string& plugInDirectory);
    ~ServerHarness();
    void stop();
    audioserver::AudioServer& server() { return *server_; }
    // The server's violation lines; valid after stop().
    const std::vector<std::string>& violations() const { return violations_; }

    // The socket path every test of the process uses (set in the environment on first use).
    static const std::string& socketPath();

  private:
    void run();
    std::unique_ptr<audioserver::AudioServer> server_;
    std::thread thread_;
    bool expectViolations_ = false;
    std::vector<std::string> violations_;
};

// The first device named `name` through the HAL calls, or 0.
AudioObjectID deviceNamed(const char* name);
