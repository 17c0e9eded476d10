#pragma once
// The receiver core: the stream reader and the buffer on the connection's side, the playout on
// the output's side. feed() and newConnection() belong to one thread, pull() to another.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "feed_figures.h"
#include "playout.h"
#include "quillwave_receiver.h"
#include "resampler.h"
#include "sample_ring.h"
#include "sender_clock.h"
#include "stream_reader.h"
#include "target_policy.h"

namespace qw::receiver {

class Receiver final : private AudioSink {
  public:
    // About 1.4 s of stream: far above any sensible target plus its overrun headroom.
    static constexpr size_t kRingFrames = 65536;

    explicit Receiver(const qw_receiver_config& config);
    virtual ~Receiver() = default;

    using Clock = int64_t (*)(void* context);

    // The monotonic clock both timelines are measured by, in nanoseconds (by default the
    // standard library's steady clock). Set before the first feed or pull.
    void setClock(Clock clock, void* context) {
        clock_ = clock;
        clockContext_ = context;
    }
    // The output's playback clock: `frames` played by `ns` of the same clock. On the output's
    // thread.
    void outputClock(uint64_t frames, int64_t ns) {
        playout_.outputClock(static_cast<double>(frames), 1e-9 * static_cast<double>(ns));
    }

    void newConnection();
    bool feed(const uint8_t* bytes, size_t size);
    void pull(float* out, uint32_t frames);
    void pull(int16_t* out, uint32_t frames);
    qw_receiver_figures figures() const;

  private:
    void onAudio(const uint8_t* samples, size_t frames) override;
    void onAudioFrameEnd() override;
    double seconds() const { return 1e-9 * static_cast<double>(clock_(clockContext_)); }

    StreamReader reader_;
    SampleRing ring_;
    TargetPolicy target_;
    std::unique_ptr<Resampler> resampler_;
    PlayoutFigures playoutFigures_;
    Playout playout_;
    Clock clock_ = nullptr;
    void* clockContext_ = nullptr;
    SenderClock sender_;
    FeedFigures feed_;             // the latest handed over
    double connectionFrames_ = 0;  // received on this connection
    double feedSeconds_ = 0;       // when the bytes being fed were read
    std::atomic<uint64_t> framesIn_{0};
    std::atomic<uint64_t> fullDrops_{0};
    std::atomic<uint64_t> badPayloads_{0};
    std::atomic<uint64_t> connections_{0};
    std::array<uint32_t, 8> recentArrivals_{};  // sizes of the latest audio frames
    size_t nextArrival_ = 0;
    std::array<float, 2 * 512> scratch_{};  // the s16 pull converts through this
};

}  // namespace qw::receiver
