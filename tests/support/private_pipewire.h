#pragma once
// A PipeWire of the caller's own, for tests and the latency report: pipewire, wireplumber (on a
// private session bus) and pipewire-pulse, all in a private runtime directory under `dir`, with
// one null sink "qwnull" at 48 kHz stereo on the monotonic clock. The environment that
// PipeWire's and PulseAudio's clients read is pointed at it (PulseAudio's clients reach
// pipewire-pulse through PULSE_RUNTIME_PATH). Only the processes started here are ended, by
// their process ids.
//
// Its own configuration, not the system's: 0.3.65's pipewire.conf raises
// default.clock.min-quantum to 1024 inside virtual machines and pipewire-pulse.conf raises
// pulse.min.quantum the same way; here both are kMinQuantum, so that the quantum is what the
// streams ask for (or what forceQuantum() sets).

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"

class PrivatePipeWire {
  public:
    static constexpr int kMinQuantum = 64;

    static bool installed() {
        for (const char* p : {"/usr/bin/pipewire", "/usr/bin/wireplumber", "/usr/bin/pw-metadata",
                              "/usr/bin/pipewire-pulse", "/usr/bin/dbus-daemon"}) {
            if (::access(p, X_OK) != 0) return false;
        }
        return true;
    }

    explicit PrivatePipeWire(std::string dir) : dir_(std::move(dir)) {
        runtime_ = dir_ + "/pw-runtime";
        const std::string wireplumber = dir_ + "/pw-home/wireplumber";
        for (const std::string& d :
             {runtime_, runtime_ + "/pulse", dir_ + "/pw-home", wireplumber,
              wireplumber + "/main.lua.d", wireplumber + "/bluetooth.lua.d"}) {
            ::mkdir(d.c_str(), 0700);
        }
        writeConfigs();
        ::setenv("HOME", (dir_ + "/pw-home").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (dir_ + "/pw-home").c_str(), 1);
        ::setenv("XDG_STATE_HOME", (dir_ + "/pw-home").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
        ::setenv("PIPEWIRE_RUNTIME_DIR", runtime_.c_str(), 1);
        ::setenv("PULSE_RUNTIME_PATH", (runtime_ + "/pulse").c_str(), 1);
        ::unsetenv("PULSE_SERVER");
        ::unsetenv("PIPEWIRE_REMOTE");
        const std::string bus = "unix:path=" + runtime_ + "/bus";
        ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);
        dbus_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile",
                                     "--address=" + bus},
            dir_ + "/pw-dbus.log");
    }

    // Starts (or starts again) the daemons; false, with `why`, when the sink does not appear.
    bool start(std::string& why) {
        ++starts_;
        const std::string n = std::to_string(starts_);
        waitPath(runtime_ + "/bus", 5);
        pipewire_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/bin/pipewire", "-c", dir_ + "/pw.conf"},
            dir_ + "/pipewire-" + n + ".log");
        if (!waitPath(runtime_ + "/pipewire-0", 10)) {
            why = "pipewire did not start: " + pipewire_->output().substr(0, 400);
            return false;
        }
        wireplumber_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/bin/wireplumber"}, dir_ + "/wireplumber-" + n + ".log");
        pulse_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/bin/pipewire", "-c", dir_ + "/pw-pulse.conf"},
            dir_ + "/pipewire-pulse-" + n + ".log");
        if (!waitPath(runtime_ + "/pulse/native", 10)) {
            why = "pipewire-pulse did not start: " + pulse_->output().substr(0, 400);
            return false;
        }
        // wireplumber links the streams to the sink; give it its moment to come up.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        if (wireplumber_->waitExit(std::chrono::milliseconds(0)) != -1) {
            why = "wireplumber ended: " + wireplumber_->output().substr(0, 400) +
                  "\npipewire: " + pipewire_->output().substr(0, 400) +
                  "\nbus: " + dbus_->output().substr(0, 400);
            return false;
        }
        return true;
    }

    // Ends the daemons (as a restart of the user's sound server would), the bus stays.
    void stop() {
        for (auto* p : {&pulse_, &wireplumber_, &pipewire_}) p->reset();
    }

    // The graph's quantum from now on, whatever the streams ask for; 0 lets them choose again.
    // The metadata's value after the change, as pw-metadata reports it ("" when unknown).
    std::string forceQuantum(int frames) const {
        const std::string log = dir_ + "/pw-metadata.log";
        ChildProcess set({"/usr/bin/pw-metadata", "-n", "settings", "0", "clock.force-quantum",
                          std::to_string(frames)},
                         log);
        set.waitExit(std::chrono::seconds(5));
        return metadata("clock.force-quantum");
    }

    // A value of the "settings" metadata (clock.force-quantum, clock.min-quantum...).
    std::string metadata(const std::string& key) const {
        const std::string log = dir_ + "/pw-metadata-read.log";
        std::remove(log.c_str());
        ChildProcess get({"/usr/bin/pw-metadata", "-n", "settings", "0", key}, log);
        get.waitExit(std::chrono::seconds(5));
        const std::string text = get.output();
        const std::string mark = "value:'";
        const size_t at = text.find(mark);
        if (at == std::string::npos) return "";
        return text.substr(at + mark.size(), text.find('\'', at + mark.size()) - at - mark.size());
    }

  private:
    static bool waitPath(const std::string& path, double seconds) {
        struct stat st {};
        for (int i = 0; i < seconds * 50; ++i) {
            if (::stat(path.c_str(), &st) == 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return ::stat(path.c_str(), &st) == 0;
    }

    void writeConfigs() const {
        // wireplumber links the streams and nothing else: no sound card, camera or Bluetooth of
        // the machine's is touched (and Bluetooth's logind watch needs a /run/systemd).
        const std::string wireplumber = dir_ + "/pw-home/wireplumber";
        std::ofstream(wireplumber + "/main.lua.d/60-qw-test.lua")
            << "alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\n"
               "libcamera_monitor.enabled = false\n";
        std::ofstream(wireplumber + "/bluetooth.lua.d/60-qw-test.lua")
            << "bluez_monitor.enabled = false\n";
        const std::string libs =
            "context.spa-libs = {\n"
            "  audio.convert.* = audioconvert/libspa-audioconvert\n"
            "  support.* = support/libspa-support\n}\n";
        const std::string rt =
            "  { name = libpipewire-module-rt args = { nice.level = -11 } "
            "flags = [ ifexists nofail ] }\n";
        const std::string q = std::to_string(kMinQuantum);
        std::ofstream(dir_ + "/pw.conf")
            << "context.properties = {\n  core.daemon = true\n  core.name = pipewire-0\n"
            << "  default.clock.rate = 48000\n  default.clock.quantum = 256\n"
            << "  default.clock.min-quantum = " << q << "\n  default.clock.max-quantum = 2048\n"
            << "  support.dbus = false\n}\n"
            << libs << "context.modules = [\n"
            << rt
            << "  { name = libpipewire-module-protocol-native }\n"
               "  { name = libpipewire-module-profiler }\n"
               "  { name = libpipewire-module-access }\n"
               "  { name = libpipewire-module-metadata }\n"
               "  { name = libpipewire-module-spa-node-factory }\n"
               "  { name = libpipewire-module-client-node }\n"
               "  { name = libpipewire-module-adapter }\n"
               "  { name = libpipewire-module-link-factory }\n]\n"
               "context.objects = [\n"
               "  { factory = spa-node-factory args = { factory.name = support.node.driver\n"
               "      node.name = Dummy-Driver node.group = pipewire.dummy "
               "priority.driver = 20000 } }\n"
               "  { factory = adapter args = { factory.name = support.null-audio-sink\n"
               "      node.name = qwnull media.class = Audio/Sink audio.position = [ FL FR ]\n"
               "      audio.rate = 48000 object.linger = true monitor.channel-volumes = true\n"
               "      priority.driver = 30000 priority.session = 30000 } }\n]\n";
        std::ofstream(dir_ + "/pw-pulse.conf")
            << "context.properties = { support.dbus = false }\n"
            << libs << "context.modules = [\n"
            << rt
            << "  { name = libpipewire-module-protocol-native }\n"
               "  { name = libpipewire-module-client-node }\n"
               "  { name = libpipewire-module-adapter }\n"
               "  { name = libpipewire-module-metadata }\n"
               "  { name = libpipewire-module-protocol-pulse }\n]\n"
               "pulse.properties = {\n  server.address = [ \"unix:native\" ]\n"
            << "  pulse.min.req = " << q << "/48000\n  pulse.min.frag = " << q << "/48000\n"
            << "  pulse.min.quantum = " << q << "/48000\n}\n";
    }

    std::string dir_, runtime_;
    int starts_ = 0;
    std::unique_ptr<ChildProcess> dbus_, pipewire_, wireplumber_, pulse_;
};
