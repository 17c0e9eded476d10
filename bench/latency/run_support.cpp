#include "run_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

std::string onPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const std::string candidate = dir + "/" + name;
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

void pause(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

std::vector<std::string> linesOf(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool waitForClickPlayer(ChildProcess& watched, const std::string& clicksLog, double seconds,
                        const std::atomic<bool>& stop) {
    return watched.waitFor(
        [&](const ChildProcess&) {
            for (const auto& line : linesOf(clicksLog)) {
                if (line.rfind("done", 0) == 0 || line.rfind("failed", 0) == 0) return true;
            }
            return stop.load();
        },
        std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000)));
}

PrivatePulse preparePulse(const TempDir& dir, const std::string& prefix,
                          const std::vector<std::string>& sinks, const std::string& pulseaudio,
                          const std::string& logLevel) {
    const std::string home = dir.file(prefix + "pulse-home");
    const std::string runtime = dir.file(prefix + "pulse-runtime");
    const std::string config = dir.file(prefix + "pulse.pa");
    PrivatePulse pulse{dir.file(prefix + "pulse.sock"), {}};
    ::mkdir(home.c_str(), 0700);
    ::mkdir(runtime.c_str(), 0700);
    {
        std::ofstream out(config);
        for (const std::string& sink : sinks) {
            out << "load-module module-null-sink sink_name=" << sink
                << " rate=48000 format=s16le channels=2 channel_map=front-left,front-right\n";
        }
        out << "load-module module-native-protocol-unix auth-anonymous=1 socket=" << pulse.socket
            << "\n";
    }
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    ::setenv("PULSE_RUNTIME_PATH", runtime.c_str(), 1);
    ::setenv("PULSE_SERVER", ("unix:" + pulse.socket).c_str(), 1);
    pulse.command = {pulseaudio,
                     "-n",
                     "-F",
                     config,
                     "--daemonize=no",
                     "--exit-idle-time=-1",
                     "--use-pid-file=no",
                     "--system=no",
                     "--log-target=stderr",
                     "--log-level=" + logLevel};
    return pulse;
}

bool waitForPath(const std::string& path, double seconds) {
    struct stat st {};
    for (double waited = 0; ::stat(path.c_str(), &st) != 0; waited += 0.02) {
        if (waited >= seconds) return false;
        pause(0.02);
    }
    return true;
}
