#pragma once
// Plays through PulseAudio (or PipeWire's PulseAudio service, pipewire-pulse): a playback stream on
// libpulse's threaded main loop, whose write callback pulls exactly what the server asks for from
// the receiver. The stream asks for a short server-side buffer (--pulse-latency-ms). The server's
// timing information gives the receiver the sink's playback clock.

#include <pulse/pulseaudio.h>

#include <atomic>
#include <string>

#include "output.h"
#include "quillwave_receiver.h"

namespace qwr {

class PulseOutput : public Output {
  public:
    PulseOutput(qw_receiver* receiver, std::string sink, double latencyMs);
    ~PulseOutput() override;

    bool start(std::string& error) override;
    std::string figures() override;
    bool failed() const { return failed_.load(); }
    // No server answered start(): the caller may say so in its own words.
    bool noServer() const { return noServer_; }

  private:
    static void onContextState(pa_context* context, void* self);
    static void onStreamState(pa_stream* stream, void* self);
    static void onWrite(pa_stream* stream, size_t bytes, void* self);
    static void onUnderflow(pa_stream* stream, void* self);
    static void onTiming(pa_stream* stream, void* self);
    bool waitReady(bool forStream, std::string& error);
    bool startStream(std::string& error);
    std::string contextError(const char* what) const;

    qw_receiver* receiver_;
    std::string sink_;
    double latencyMs_;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    bool noServer_ = false;
    std::atomic<bool> failed_{false};
    std::atomic<uint64_t> underflows_{0};
    std::atomic<double> latencyMsNow_{0};
};

}  // namespace qwr
