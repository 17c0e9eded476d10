#include "pulse_output.h"

#include <algorithm>
#include <cstdio>

#include "common/monotonic_clock.h"
#include "common/wire_format.h"

namespace qwr {

PulseOutput::PulseOutput(qw_receiver* receiver, std::string sink, double latencyMs)
    : receiver_(receiver), sink_(std::move(sink)), latencyMs_(latencyMs) {}

PulseOutput::~PulseOutput() {
    if (loop_ == nullptr) return;
    pa_threaded_mainloop_stop(loop_);
    if (stream_ != nullptr) pa_stream_unref(stream_);
    if (context_ != nullptr) {
        pa_context_disconnect(context_);
        pa_context_unref(context_);
    }
    pa_threaded_mainloop_free(loop_);
}

void PulseOutput::onContextState(pa_context* context, void* self) {
    auto& me = *static_cast<PulseOutput*>(self);
    const pa_context_state_t state = pa_context_get_state(context);
    if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) me.failed_ = true;
    pa_threaded_mainloop_signal(me.loop_, 0);
}

void PulseOutput::onStreamState(pa_stream* stream, void* self) {
    auto& me = *static_cast<PulseOutput*>(self);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) me.failed_ = true;
    pa_threaded_mainloop_signal(me.loop_, 0);
}

// On the main loop's thread: the server wants `bytes` more. The receiver fills the server's own
// buffer directly; nothing here allocates or waits.
void PulseOutput::onWrite(pa_stream* stream, size_t bytes, void* self) {
    auto& me = *static_cast<PulseOutput*>(self);
    while (bytes >= qw::wire::kBytesPerFrame) {
        void* data = nullptr;
        size_t size = bytes;
        if (pa_stream_begin_write(stream, &data, &size) < 0 || data == nullptr) return;
        const auto frames = static_cast<uint32_t>(size / qw::wire::kBytesPerFrame);
        if (frames == 0) {
            pa_stream_cancel_write(stream);
            return;
        }
        qw_receiver_pull_s16(me.receiver_, static_cast<int16_t*>(data), frames);
        pa_stream_write(stream, data, size_t{frames} * qw::wire::kBytesPerFrame, nullptr, 0,
                        PA_SEEK_RELATIVE);
        bytes -= std::min(bytes, size_t{frames} * qw::wire::kBytesPerFrame);
    }
    pa_usec_t usec = 0;
    int negative = 0;
    if (pa_stream_get_latency(stream, &usec, &negative) == 0) {
        me.latencyMsNow_.store(negative ? 0.0 : static_cast<double>(usec) / 1000.0);
    }
}

// On the main loop's thread: the server's timing information has come. What the sink has
// played by now (what the server read from the stream, less what the sink still holds) is the
// output's playback clock; the information was taken before it arrived, so this moment is
// late, never early, as the receiver's fit of a clock's timeline expects.
void PulseOutput::onTiming(pa_stream* stream, void* self) {
    auto& me = *static_cast<PulseOutput*>(self);
    const pa_timing_info* info = pa_stream_get_timing_info(stream);
    if (info == nullptr || info->read_index_corrupt || info->read_index < 0) return;
    const double played = static_cast<double>(info->read_index / qw::wire::kBytesPerFrame) -
                          static_cast<double>(info->sink_usec) * qw::wire::kSampleRate / 1e6;
    if (played <= 0) return;
    qw_receiver_output_clock(me.receiver_, static_cast<uint64_t>(played), qw::monotonicNs());
}

void PulseOutput::onUnderflow(pa_stream*, void* self) {
    static_cast<PulseOutput*>(self)->underflows_.fetch_add(1);
}

bool PulseOutput::waitReady(bool forStream, std::string& error) {
    for (;;) {
        if (forStream) {
            const pa_stream_state_t s = pa_stream_get_state(stream_);
            if (s == PA_STREAM_READY) return true;
            if (s == PA_STREAM_FAILED || s == PA_STREAM_TERMINATED) break;
        } else {
            const pa_context_state_t s = pa_context_get_state(context_);
            if (s == PA_CONTEXT_READY) return true;
            if (s == PA_CONTEXT_FAILED || s == PA_CONTEXT_TERMINATED) break;
        }
        pa_threaded_mainloop_wait(loop_);
    }
    error = contextError(forStream ? "the stream failed" : "cannot reach the server");
    return false;
}

std::string PulseOutput::contextError(const char* what) const {
    return std::string("pulseaudio: ") + what + ": " +
           (context_ != nullptr ? pa_strerror(pa_context_errno(context_)) : "out of memory");
}

// Each step's result is checked; a failure is one line for the caller, who exits non-zero.
bool PulseOutput::start(std::string& error) {
    loop_ = pa_threaded_mainloop_new();
    if (loop_ == nullptr) {
        error = "pulseaudio: cannot create the main loop";
        return false;
    }
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "qwreceiver");
    if (context_ == nullptr) {
        error = contextError("cannot create a context");
        return false;
    }
    pa_context_set_state_callback(context_, onContextState, this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        noServer_ = true;
        error = contextError("cannot connect");
        return false;
    }
    pa_threaded_mainloop_lock(loop_);
    bool ok = pa_threaded_mainloop_start(loop_) == 0;
    if (!ok) error = "pulseaudio: cannot start the main loop";
    noServer_ = ok && !waitReady(false, error);
    ok = ok && !noServer_ && startStream(error);
    pa_threaded_mainloop_unlock(loop_);
    return ok;
}

// With the main loop locked and the context ready.
bool PulseOutput::startStream(std::string& error) {
    const pa_sample_spec sampleFormat{PA_SAMPLE_S16LE, qw::wire::kSampleRate, qw::wire::kChannels};
    stream_ = pa_stream_new(context_, "Quillwave", &sampleFormat, nullptr);
    if (stream_ == nullptr) {
        error = contextError("cannot create a stream");
        return false;
    }
    pa_stream_set_state_callback(stream_, onStreamState, this);
    pa_stream_set_write_callback(stream_, onWrite, this);
    pa_stream_set_underflow_callback(stream_, onUnderflow, this);
    pa_stream_set_latency_update_callback(stream_, onTiming, this);
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength =
        static_cast<uint32_t>(latencyMs_ * qw::wire::kSampleRate / 1000) * qw::wire::kBytesPerFrame;
    attr.prebuf = static_cast<uint32_t>(-1);
    // Asked for in small pieces (2 ms), so that the receiver's buffer never has to hold
    // a large request at once.
    attr.minreq = std::min(attr.tlength / 2, uint32_t{96} * qw::wire::kBytesPerFrame);
    attr.fragsize = static_cast<uint32_t>(-1);
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_INTERPOLATE_TIMING);
    if (pa_stream_connect_playback(stream_, sink_.empty() ? nullptr : sink_.c_str(), &attr, flags,
                                   nullptr, nullptr) != 0) {
        error = contextError("cannot connect the stream");
        return false;
    }
    return waitReady(true, error);
}

std::string PulseOutput::figures() {
    char text[96];
    std::snprintf(text, sizeof text, "pulse latency %.1f ms · pulse underflows %llu",
                  latencyMsNow_.load(), static_cast<unsigned long long>(underflows_.load()));
    return text;
}

}  // namespace qwr
