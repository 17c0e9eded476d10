#pragma once
// Small helpers the latency pipelines share: finding programs, pausing, reading a log, and
// waiting for a clicks' player to finish.

#include <atomic>
#include <string>
#include <vector>

#include "child_process.h"

// The full path of a program on $PATH, or "" when it is not installed.
std::string onPath(const std::string& name);

void pause(double seconds);

// Every line of a text file (none if it cannot be read).
std::vector<std::string> linesOf(const std::string& path);

// Waits up to `seconds` (while `watched` runs) until the clicks' player, qw-pulse-clicks or
// qw-raw-clicks, has logged "done" or "failed" to `clicksLog`, or `stop` is set; false on
// timeout.
bool waitForClickPlayer(ChildProcess& watched, const std::string& clicksLog, double seconds,
                        const std::atomic<bool>& stop);

// A PulseAudio of our own, ready to start: home and runtime directories under `dir` (their
// names, the configuration's and the socket's start with `prefix`), a configuration with one
// null sink at 48 kHz s16le stereo per name in `sinks` and one anonymous native socket, and the
// environment PulseAudio's clients read set to it.
struct PrivatePulse {
    std::string socket;
    std::vector<std::string> command;  // the daemon in the foreground, logging to stderr
};
PrivatePulse preparePulse(const TempDir& dir, const std::string& prefix,
                          const std::vector<std::string>& sinks, const std::string& pulseaudio,
                          const std::string& logLevel);

// Waits up to `seconds` for `path` to exist.
bool waitForPath(const std::string& path, double seconds);
