#pragma once
// Plays through PipeWire natively: an output stream (pw_stream) at 48 kHz stereo on libpipewire's
// thread loop, whose process callback runs on the graph's real-time thread and pulls exactly the
// graph's request from the receiver. The node asks for a latency of --output-latency-ms; the
// graph's own timing (pw_stream_get_time_n) gives the receiver the sink's playback clock, and
// the receiver's resampler follows the drift, so no PipeWire rate control is used.

#include <pipewire/pipewire.h>

#include <atomic>
#include <string>

#include "output.h"
#include "quillwave_receiver.h"

namespace qwr {

class PipeWireOutput : public Output {
  public:
    PipeWireOutput(qw_receiver* receiver, std::string target, double latencyMs);
    ~PipeWireOutput() override;

    bool start(std::string& error) override;
    std::string figures() override;
    // No daemon answered start(): the caller may try another output.
    bool noDaemon() const { return noDaemon_; }
    // The daemon went away or the stream broke after start().
    bool failed() const { return failed_.load(); }

  private:
    static void onProcess(void* self);
    static void onStateChanged(void* self, pw_stream_state old, pw_stream_state state,
                               const char* error);
    static void onCoreError(void* self, uint32_t id, int seq, int res, const char* message);
    void noteTimeline(uint32_t frames);
    bool connectStream(std::string& error);
    bool waitTaken(std::string& error);

    qw_receiver* receiver_;
    std::string target_;
    double latencyMs_;
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_stream* stream_ = nullptr;
    spa_hook coreListener_{};
    spa_hook streamListener_{};
    bool noDaemon_ = false;
    std::atomic<bool> failed_{false};
    std::atomic<pw_stream_state> state_{PW_STREAM_STATE_UNCONNECTED};
    // Written by the graph's thread only, read by figures().
    std::atomic<uint32_t> quantum_{0};
    std::atomic<double> delayMs_{0};
    std::atomic<uint64_t> xruns_{0};
    uint64_t lastTicks_ = 0;  // the graph's thread only
    uint32_t lastFrames_ = 0;
};

}  // namespace qwr
