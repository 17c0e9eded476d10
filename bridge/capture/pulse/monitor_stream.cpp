#include "bridge/capture/pulse/monitor_stream.h"

#include <algorithm>
#include <cstring>

#include "bridge/link_state.h"
#include "bridge/uptime_clock.h"
#include "common/atomic_max.h"
#include "common/frame_header.h"
#include "common/wire_format.h"

namespace {

using namespace qw::wire;

// Hands every piece waiting in the stream on. A hole (no data for a stretch) is skipped.
// `context` is the stream's MonitorReads.
void onReadable(pa_stream* stream, size_t, void* context) {
    auto& reads = *static_cast<MonitorReads*>(context);
    reads.recordRead(uptimeNs());
    while (pa_stream_readable_size(stream) > 0) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
        if (data != nullptr) queueAudio(*reads.sink, static_cast<const uint8_t*>(data), bytes);
        pa_stream_drop(stream);
    }
}

}  // namespace

pa_buffer_attr monitorBufferAttributes() {
    pa_buffer_attr a{};
    a.maxlength = static_cast<uint32_t>(-1);
    a.tlength = static_cast<uint32_t>(-1);
    a.prebuf = static_cast<uint32_t>(-1);
    a.minreq = static_cast<uint32_t>(-1);
    a.fragsize = kPieceFrames * kBytesPerFrame;
    return a;
}

void MonitorReads::recordRead(uint64_t nowNs) {
    if (lastNs != 0) {
        qw::raiseAtomicMax(maxGapMs, static_cast<double>(nowNs - lastNs) / 1000000.0);
    }
    lastNs = nowNs;
}

void queueAudio(FrameSink& sink, const uint8_t* pcm, size_t bytes) {
    bytes -= bytes % kBytesPerFrame;
    if (bytes == 0 || currentTunnel() < 0) return;  // no link: the piece is dropped
    constexpr size_t kMostPayload = kMostFramesPerFrame * kBytesPerFrame;
    while (bytes > 0) {
        const size_t payload = std::min(bytes, kMostPayload);
        // Behind a lagging sender, the piece joins the newest queued frame.
        if (sink.appendAudio(pcm, payload, kMostPayload)) {
            pcm += payload;
            bytes -= payload;
            continue;
        }
        Bytes frame = sink.take();
        frame.resize(kHeaderSize + payload);
        std::memcpy(qw::wire::writeFrameHeader(frame.data(), FrameType::audio, payload), pcm,
                    payload);
        sink.push(std::move(frame));
        pcm += payload;
        bytes -= payload;
    }
}

pa_stream* startMonitorStream(ServerConnection& server, const std::string& monitor,
                              MonitorReads& reads, SoundServerError* why) {
    const pa_sample_spec format{PA_SAMPLE_S16LE, kSampleRate, static_cast<uint8_t>(kChannels)};
    pa_channel_map map;
    pa_channel_map_init_stereo(&map);
    pa_stream* stream = pa_stream_new(server.context(), "Quillwave to the phone", &format, &map);
    if (stream == nullptr) {
        reportSoundServerError(why,
                               {SoundServerCause::pulseError, pa_context_errno(server.context())});
        return nullptr;
    }
    pa_stream_set_read_callback(stream, onReadable, &reads);
    const pa_buffer_attr attributes = monitorBufferAttributes();
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    reads.restart();
    const bool running =
        pa_stream_connect_record(stream, monitor.c_str(), &attributes, flags) >= 0 &&
        server.await([&] {
            return pa_stream_get_state(stream) == PA_STREAM_READY || streamBroken(stream);
        }) &&
        pa_stream_get_state(stream) == PA_STREAM_READY;
    if (!running) {
        reportSoundServerError(why, soundServerErrorFrom(pa_context_errno(server.context()),
                                                         SoundServerCause::noAnswer));
        stopMonitorStream(stream);
        return nullptr;
    }
    return stream;
}

bool streamBroken(pa_stream* stream) {
    const pa_stream_state_t state = pa_stream_get_state(stream);
    return state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED;
}

void stopMonitorStream(pa_stream* stream) {
    if (stream == nullptr) return;
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    if (pa_stream_get_state(stream) == PA_STREAM_READY ||
        pa_stream_get_state(stream) == PA_STREAM_CREATING) {
        pa_stream_disconnect(stream);
    }
    pa_stream_unref(stream);
}
