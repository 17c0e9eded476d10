#pragma once
// Runs the whole chain (audio server with the driver, multiplexing service, receiving app,
// ramp player, bridge) and injects faults on a schedule, recording what happens. Call from a
// process that is alone in private mount, network and PID namespaces (see main.cpp): the
// children it starts use /var/run/usbmuxd and port 7000.

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "child_process.h"
#include "cpu_load.h"
#include "log_tail.h"
#include "soak_data.h"
#include "wav_follower.h"

class SoakRun {
  public:
    SoakRun(SoakOptions options, const std::atomic<bool>& stopRequested);
    ~SoakRun();
    SoakRun(const SoakRun&) = delete;
    SoakRun& operator=(const SoakRun&) = delete;

    // Runs for the configured time (or until asked to stop) and returns what it saw.
    SoakData& run();

  private:
    struct Marks {
        size_t loss = 0, connected = 0, appListening = 0, muxListening = 0, attached = 0,
               playerStarted = 0;
    };

    bool startChain();
    void stopChain();
    void startMux();
    void startPlayer();
    std::string binary(const std::string& relative) const;

    void pump();
    void pumpBridge(double now);
    void pumpApp(double now);
    void pumpOthers(double now);
    void sampleResources(double now);
    bool waitFor(const std::vector<double>& events, size_t count, double timeout);

    void beginFault(FaultKind kind);
    void stepFault();
    void liftFault();
    void finishFault(double now);
    double firstAfter(const std::vector<double>& events, size_t mark) const;

    const std::atomic<bool>& stop;
    SoakData data;
    TempDir dir;
    std::unique_ptr<ChildProcess> server, mux, app, player, bridge;
    LogTail bridgeLog, appLog, muxLog, playerLog;
    WavFollower wav;
    CpuLoad load;
    std::mt19937 random{20261207};  // the same schedule on every run
    uint64_t framesEnded = 0;       // stream frames of the connections that have ended

    std::vector<double> appListening, muxListening, attached, playerStarted;
    double nextSampleAt = 0;

    bool faultActive = false;
    bool faultLifted = false;
    double liftAt = 0;
    uint64_t sampleFramesAtConnected = 0;
    Marks marks;
    FaultRecord current;
};
