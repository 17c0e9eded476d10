// One device's IO cycle: a real-time thread that follows the device's zero time stamps and
// wakes once per IO buffer. Each cycle reads the device's input and hands it to the input
// sessions, then sums what the output sessions played and writes the mix to the device.
// Every zero time stamp is checked against the one before of the same seed (time_stamp_check.h);
// a broken rule is kept for the control thread, which is woken to log it.
//
// Cycle times: the cycle whose main time is M reads input at M - N - input safety offset and
// writes output at M + N + output safety offset (N = IO buffer frame size). With zero offsets a
// frame written in one cycle is read back two cycles later: the loopback delay is 2 N frames.
#pragma once
#include <CoreAudio/AudioServerPlugIn.h>

#include <array>
#include <atomic>
#include <span>
#include <thread>
#include <vector>

#include "behaviour.h"
#include "io_stats.h"
#include "session.h"
#include "time_stamp_check.h"

namespace audioserver {

struct StreamInfo {
    AudioObjectID local = 0;  // 0: the device has no stream in this direction
    uint32_t channels = 0;
};

struct IOSettings {
    uint32_t frameSize = 512;
    double sampleRate = 48000.0;
    uint32_t inputSafetyOffset = 0;
    uint32_t outputSafetyOffset = 0;
    uint32_t zeroTimeStampPeriod = 0;  // 0: not checked
};

// The plug-in's answers to WillDoIOOperation for one operation, asked once as IO starts.
struct OperationPlan {
    bool willDo = false;
    bool inPlace = true;  // ReadInput is always done in place
};

class DeviceIO {
  public:
    static constexpr size_t kMaxSessions = 64;
    // Stalls longer than this many frames are not caught up: the IO restarts afresh.
    static constexpr uint32_t kMaxCatchUpFrames = 32768;

    // `wakeFd` (an eventfd, or -1) is written when a time stamp breaks the rules.
    DeviceIO(AudioServerPlugInDriverRef driver, AudioObjectID device, bool realtime,
             ServerBehaviour behaviour = {}, int wakeFd = -1);
    ~DeviceIO();
    DeviceIO(const DeviceIO&) = delete;
    DeviceIO& operator=(const DeviceIO&) = delete;

    // Control thread. start() calls StartIO and launches the thread; stop() ends the thread and
    // calls StopIO. Streams and settings are taken at start.
    OSStatus start(StreamInfo output, StreamInfo input, const IOSettings& settings,
                   UInt32 clientID);
    void stop(UInt32 clientID);
    bool running() const { return thread_.joinable(); }
    const IOSettings& settings() const { return settings_; }
    // What the plug-in said, as IO started, of ReadInput.
    const OperationPlan& readPlan() const { return read_; }
    // Control thread, while IO runs on through a configuration change: the cycle takes the new
    // rate from its next wake-up.
    void changeRate(double sampleRate);

    // Control thread. The number of zero time stamps that broke the rules so far, and the
    // oldest one not yet taken (false if none is waiting).
    uint64_t timeStampViolations() const {
        return timeStampViolations_.load(std::memory_order_acquire);
    }
    bool takeTimeStampViolation(TimeStampViolation& violation);

    // Control thread. attach() makes the session visible to the next cycle; detach() returns once
    // the IO thread can no longer be touching it.
    bool attach(Session* session);
    void detach(Session* session);
    size_t sessionCount() const;

    IOStatsRecorder& stats() { return stats_; }
    bool isRealtime() const { return realtime_.load(std::memory_order_relaxed); }

  private:
    void threadMain(UInt32 clientID);
    // One IO cycle: the cycle's times, the input read and handed to the sessions, their output
    // mixed and written, the sessions woken.
    void runCycle(double mainTime, double zeroSample, uint64_t zeroHost, uint64_t cycle,
                  bool first);
    AudioServerPlugInIOCycleInfo cycleInfo(double mainTime, double zeroSample, uint64_t zeroHost,
                                           uint64_t cycle) const;
    // Copies the attached sessions into `active` (room for kMaxSessions); returns their count.
    size_t takeSessions(Session** active) const;
    void readInput(const AudioServerPlugInIOCycleInfo& info, std::span<Session* const> sessions,
                   bool first);
    void writeMix(const AudioServerPlugInIOCycleInfo& info, std::span<Session* const> sessions);
    // Begin, do and end one IO operation of the plug-in on `stream` with `buffer`.
    void doOperation(UInt32 operation, AudioObjectID stream,
                     const AudioServerPlugInIOCycleInfo& info, float* buffer);
    OperationPlan askWillDo(UInt32 operation, UInt32 clientID) const;
    // GetZeroTimeStamp, each answer checked.
    void zeroTimeStamp(UInt32 clientID, Float64& sample, UInt64& host, UInt64& seed);
    void takePendingRate();
    uint64_t hostAt(double sampleTime, double zeroSample, uint64_t zeroHost) const;

    AudioServerPlugInDriverRef driver_;
    AudioObjectID device_;
    bool wantRealtime_;
    ServerBehaviour behaviour_;
    int wakeFd_;
    OperationPlan read_, write_;
    // Lasts across starts: the seed a restarted device gives must tell a new timeline too.
    TimeStampCheck stampCheck_;
    std::atomic<uint64_t> timeStampViolations_{0};
    std::atomic<bool> violationWaiting_{false};
    TimeStampViolation violation_{};  // written by the IO thread while none is waiting
    std::atomic<double> pendingRate_{0.0};
    StreamInfo output_, input_;
    IOSettings settings_;
    double ticksPerFrame_ = 0;
    std::vector<float> inputBuffer_, mixBuffer_, scratch_;
    std::array<std::atomic<Session*>, kMaxSessions> sessions_{};
    std::atomic<uint64_t> epoch_{0};  // odd while the IO thread is inside a cycle
    std::atomic<bool> stopping_{false};
    std::atomic<bool> realtime_{false};
    UInt32 ioClient_ = 0;
    std::thread thread_;
    IOStatsRecorder stats_;
};

}  // namespace audioserver
