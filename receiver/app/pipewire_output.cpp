#include "pipewire_output.h"

#include <spa/param/audio/format-utils.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "common/wire_format.h"

namespace qwr {

namespace {

constexpr double kStartSeconds = 5;  // the longest wait for the daemon to take the stream

const pw_stream_events kStreamEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    return events;
}();

}  // namespace

PipeWireOutput::PipeWireOutput(qw_receiver* receiver, std::string target, double latencyMs)
    : receiver_(receiver), target_(std::move(target)), latencyMs_(latencyMs) {
    pw_init(nullptr, nullptr);
}

PipeWireOutput::~PipeWireOutput() {
    if (loop_ != nullptr) pw_thread_loop_stop(loop_);
    if (stream_ != nullptr) pw_stream_destroy(stream_);
    if (core_ != nullptr) pw_core_disconnect(core_);
    if (context_ != nullptr) pw_context_destroy(context_);
    if (loop_ != nullptr) pw_thread_loop_destroy(loop_);
    pw_deinit();
}

// On the graph's real-time thread: the graph wants one cycle of sound. The receiver fills the
// graph's own buffer; nothing here allocates or waits.
void PipeWireOutput::onProcess(void* self) {
    auto& me = *static_cast<PipeWireOutput*>(self);
    pw_buffer* buffer = pw_stream_dequeue_buffer(me.stream_);
    if (buffer == nullptr) return;
    spa_data& data = buffer->buffer->datas[0];
    uint32_t frames = 0;
    if (data.data != nullptr) {
        const uint32_t room = data.maxsize / qw::wire::kBytesPerFrame;
        const auto wanted = static_cast<uint32_t>(buffer->requested);
        frames = std::min(room, wanted != 0 ? wanted : me.quantum_.load());
        if (frames == 0) frames = std::min<uint32_t>(room, 256);
        qw_receiver_pull_s16(me.receiver_, static_cast<int16_t*>(data.data), frames);
    }
    data.chunk->offset = 0;
    data.chunk->stride = qw::wire::kBytesPerFrame;
    data.chunk->size = frames * qw::wire::kBytesPerFrame;
    pw_stream_queue_buffer(me.stream_, buffer);
    me.noteTimeline(frames);
}

// The graph's clock: its position (ticks, at the driver's rate) at the cycle's start (now, on
// the monotonic clock) is the output's playback clock. A position that moves on by more than
// one and a half of the last cycle is a cycle the graph missed: an xrun.
void PipeWireOutput::noteTimeline(uint32_t frames) {
    pw_time time{};
    if (pw_stream_get_time_n(stream_, &time, sizeof time) != 0 || time.rate.denom == 0 ||
        time.now <= 0) {
        return;
    }
    const double toFrames =
        static_cast<double>(qw::wire::kSampleRate) * time.rate.num / time.rate.denom;
    const double advance = static_cast<double>(time.ticks - lastTicks_) * toFrames;
    if (lastTicks_ != 0 && lastFrames_ != 0 && advance > 1.5 * lastFrames_) xruns_.fetch_add(1);
    if (time.ticks != lastTicks_) {
        qw_receiver_output_clock(
            receiver_, static_cast<uint64_t>(static_cast<double>(time.ticks) * toFrames), time.now);
    }
    lastTicks_ = time.ticks;
    lastFrames_ = frames;
    quantum_.store(frames);
    const double queued = static_cast<double>(time.queued) / qw::wire::kBytesPerFrame +
                          static_cast<double>(time.buffered);
    delayMs_.store(1000.0 * (static_cast<double>(time.delay) * toFrames + queued) /
                   qw::wire::kSampleRate);
}

void PipeWireOutput::onStateChanged(void* self, pw_stream_state, pw_stream_state state,
                                    const char*) {
    auto& me = *static_cast<PipeWireOutput*>(self);
    me.state_.store(state);
    if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) me.failed_ = true;
    pw_thread_loop_signal(me.loop_, false);
}

// The connection to the daemon broke (-EPIPE when it went away), or it refused the stream.
void PipeWireOutput::onCoreError(void* self, uint32_t id, int, int res, const char*) {
    auto& me = *static_cast<PipeWireOutput*>(self);
    if (id == PW_ID_CORE || res == -EPIPE) me.failed_ = true;
    pw_thread_loop_signal(me.loop_, false);
}

bool PipeWireOutput::start(std::string& error) {
    loop_ = pw_thread_loop_new("qw-pipewire", nullptr);
    context_ =
        loop_ != nullptr ? pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0) : nullptr;
    if (context_ == nullptr) {
        error = "pipewire: cannot create a context";
        return false;
    }
    pw_thread_loop_lock(loop_);
    bool ok = pw_thread_loop_start(loop_) == 0;
    if (!ok) error = "pipewire: cannot start the thread loop";
    ok = ok && connectStream(error);
    pw_thread_loop_unlock(loop_);
    return ok;
}

// With the loop locked: the daemon, then a stream it has taken (paused or streaming).
bool PipeWireOutput::connectStream(std::string& error) {
    core_ = pw_context_connect(context_, nullptr, 0);
    if (core_ == nullptr) {
        noDaemon_ = true;
        error = std::string("pipewire: no daemon answers: ") + std::strerror(errno);
        return false;
    }
    static const pw_core_events coreEvents = [] {
        pw_core_events events{};
        events.version = PW_VERSION_CORE_EVENTS;
        events.error = onCoreError;
        return events;
    }();
    pw_core_add_listener(core_, &coreListener_, &coreEvents, this);
    char latency[32];
    std::snprintf(latency, sizeof latency, "%ld/%u",
                  std::max(1L, std::lround(latencyMs_ * qw::wire::kSampleRate / 1000)),
                  qw::wire::kSampleRate);
    pw_properties* props =
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                          PW_KEY_MEDIA_ROLE, "Music", PW_KEY_APP_NAME, "qwreceiver",
                          PW_KEY_NODE_NAME, "qwreceiver", PW_KEY_NODE_LATENCY, latency, nullptr);
    // 0.3.65 links to the node named by target.object (node.target is the older, deprecated key).
    if (!target_.empty()) pw_properties_set(props, PW_KEY_TARGET_OBJECT, target_.c_str());
    static const pw_stream_events streamEvents = [] {
        pw_stream_events events = kStreamEvents;
        events.state_changed = onStateChanged;
        events.process = onProcess;
        return events;
    }();
    stream_ = pw_stream_new(core_, "Quillwave", props);
    if (stream_ == nullptr) {
        error = "pipewire: cannot create a stream";
        return false;
    }
    pw_stream_add_listener(stream_, &streamListener_, &streamEvents, this);
    uint8_t space[256];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(space, sizeof space);
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_S16_LE;
    info.rate = qw::wire::kSampleRate;
    info.channels = qw::wire::kChannels;
    info.position[0] = SPA_AUDIO_CHANNEL_FL;
    info.position[1] = SPA_AUDIO_CHANNEL_FR;
    const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    const auto flags = static_cast<pw_stream_flags>(
        PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    if (pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) != 0) {
        error = "pipewire: cannot connect the stream";
        return false;
    }
    return waitTaken(error);
}

// With the loop locked: until the daemon has taken the stream, or refused it, or kStartSeconds.
bool PipeWireOutput::waitTaken(std::string& error) {
    timespec deadline{};
    pw_thread_loop_get_time(loop_, &deadline, static_cast<int64_t>(kStartSeconds * 1e9));
    for (;;) {
        const pw_stream_state state = state_.load();
        if (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING) return true;
        if (failed_.load() || state == PW_STREAM_STATE_ERROR) break;
        if (pw_thread_loop_timed_wait_full(loop_, &deadline) != 0) break;
    }
    const char* reason = nullptr;
    pw_stream_get_state(stream_, &reason);
    error =
        std::string("pipewire: the stream failed: ") + (reason != nullptr ? reason : "no answer");
    return false;
}

std::string PipeWireOutput::figures() {
    char text[112];
    std::snprintf(text, sizeof text,
                  "pipewire quantum %u \xC2\xB7 delay %.1f ms \xC2\xB7 xruns %llu", quantum_.load(),
                  delayMs_.load(), static_cast<unsigned long long>(xruns_.load()));
    return text;
}

}  // namespace qwr
