#pragma once
// A receiver driven in simulated time: a sender at exactly 48 kHz delivering audio frames of a
// fixed size, and an output pulling fixed blocks at 48 kHz × (1 + ppm·10⁻⁶), both on a clock
// the receiver reads. Either side can stall: a stalled sender's frames come late, in a burst at
// the end; a stalled output then takes everything that fell due at once, in requests of up to
// 4800 frames (as the null output does). A stalled receiver stops both: the sender's frames
// wait in the connection meanwhile and are read all at once, after the output's catch-up. Arrivals
// may also come up to `arrivalJitter` seconds late, drawn from a fixed sequence. Events run in time
// order, so a run is fast and the same every time.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include "common/little_endian.h"
#include "quillwave_receiver.h"

class SimulatedLink {
  public:
    SimulatedLink(double ppm, double latencyMs, bool automatic, uint32_t arrivalFrames = 256,
                  uint32_t pullFrames = 48, const qw_receiver_resampler* resampler = nullptr)
        : outputRate_(48000.0 * (1 + ppm * 1e-6)),
          arrivalFrames_(arrivalFrames),
          pullFrames_(pullFrames),
          block_(2 * pullFrames) {
        qw_receiver_config config = qw_receiver_config_init(48000.0);
        config.latency_ms = latencyMs;
        config.automatic = automatic ? 1 : 0;
        config.resampler = resampler;
        receiver_ = qw_receiver_create(&config, nullptr);
        qw_receiver_set_clock(
            receiver_,
            [](void* self) {
                return static_cast<int64_t>(
                    std::llround(static_cast<SimulatedLink*>(self)->now_ * 1e9));
            },
            this);
        qw_receiver_new_connection(receiver_);
    }
    ~SimulatedLink() { qw_receiver_destroy(receiver_); }
    SimulatedLink(const SimulatedLink&) = delete;
    SimulatedLink& operator=(const SimulatedLink&) = delete;

    // The sender's signal: sample n of the left and right channels.
    std::function<int16_t(uint64_t)> signal = [](uint64_t n) {
        return static_cast<int16_t>(std::lround(16384 * std::sin(2 * M_PI * 1000.0 * n / 48000)));
    };

    // Runs `seconds` of simulated time; the sender's frames are lost while not `sending`.
    void run(double seconds, bool sending = true) {
        const double end = now_ + seconds;
        while (now_ < end) {
            const double arrival = std::max(arrivalDue_, senderHeldUntil_);
            const double pull = std::max(nextPull_, outputHeldUntil_);
            if (arrival <= pull) {
                now_ = arrival;
                // The output's catch-up comes first (the worse case), then the backlog.
                if (!backlog_.empty() && now_ >= receiverHeldUntil_) {
                    qw_receiver_feed(receiver_, backlog_.data(), backlog_.size());
                    backlog_.clear();
                }
                if (sending && now_ < receiverHeldUntil_) {
                    const auto frame = makeFrame(arrivalFrames_);
                    backlog_.insert(backlog_.end(), frame.begin(), frame.end());
                } else if (sending) {
                    send(arrivalFrames_);
                }
                nextArrival_ += arrivalFrames_ / 48000.0;
                arrivalDue_ = std::max(nextArrival_ + arrivalJitter * nextRandom(), now_);
            } else {
                now_ = pull;
                uint64_t due = 0;  // pulls that fell due by now, all taken at once
                for (; nextPull_ <= now_; nextPull_ += pullFrames_ / outputRate_)
                    due += pullFrames_;
                while (due > 0) {
                    const auto n = static_cast<uint32_t>(std::min<uint64_t>(due, 4800));
                    pullOnce(n);
                    due -= n;
                }
                if (onPull) onPull(now_);
            }
        }
    }

    // The sender or the output stands still for `seconds` from now.
    void stallSender(double seconds) { senderHeldUntil_ = now_ + seconds; }
    void stallOutput(double seconds) { outputHeldUntil_ = now_ + seconds; }
    void stallReceiver(double seconds) {
        receiverHeldUntil_ = now_ + seconds;
        stallOutput(seconds);
    }

    // One audio frame of `frames` sample frames of the signal, fed in two pieces.
    void send(uint32_t frames) {
        const auto frame = makeFrame(frames);
        const size_t half = frame.size() / 2 + 1;
        qw_receiver_feed(receiver_, frame.data(), half);
        qw_receiver_feed(receiver_, frame.data() + half, frame.size() - half);
    }

    std::vector<uint8_t> makeFrame(uint32_t frames) {
        std::vector<uint8_t> frame(5 + size_t{frames} * 4);
        qw::putLe32(frame.data(), frames * 4 + 1);
        frame[4] = 1;
        for (uint32_t i = 0; i < frames; ++i, ++sent_) {
            const auto v = static_cast<uint16_t>(signal(sent_));
            for (int c = 0; c < 2; ++c) {
                frame[5 + 4 * i + 2 * c] = static_cast<uint8_t>(v);
                frame[6 + 4 * i + 2 * c] = static_cast<uint8_t>(v >> 8);
            }
        }
        return frame;
    }

    void pullOnce(uint32_t frames) {
        block_.resize(2 * size_t{frames});
        qw_receiver_pull_float(receiver_, block_.data(), frames);
        for (uint32_t i = 0; i < frames; ++i) {
            left.push_back(block_[2 * i]);
            right.push_back(block_[2 * i + 1]);
        }
    }

    qw_receiver_figures figures() const {
        qw_receiver_figures f{};
        qw_receiver_get_figures(receiver_, &f);
        return f;
    }

    qw_receiver* receiver() { return receiver_; }
    double now() const { return now_; }
    double outputRate() const { return outputRate_; }

    std::vector<float> left, right;      // everything pulled
    std::function<void(double)> onPull;  // after each pull, with the simulated time
    double arrivalJitter = 0;

  private:
    qw_receiver* receiver_ = nullptr;
    double outputRate_;
    uint32_t arrivalFrames_, pullFrames_;
    std::vector<float> block_;
    // A fixed sequence in [0, 1).
    double nextRandom() {
        random_ = random_ * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<double>(random_ >> 11) / 9007199254740992.0;
    }

    double now_ = 0, nextArrival_ = 0, arrivalDue_ = 0, nextPull_ = 0.0001;
    double senderHeldUntil_ = 0, outputHeldUntil_ = 0, receiverHeldUntil_ = 0;
    std::vector<uint8_t> backlog_;  // sent while the receiver was stalled
    uint64_t random_ = 12345;
    uint64_t sent_ = 0;
};
