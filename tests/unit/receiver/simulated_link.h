#pragma once
// A receiver driven in simulated time: a sender at exactly 48 kHz delivering audio frames of a
// fixed size, and an output pulling fixed blocks at 48 kHz × (1 + ppm·10⁻⁶). Events run in
// time order, so a run is fast and the same every time.

#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include "common/little_endian.h"
#include "quillwave_receiver.h"

class SimulatedLink {
  public:
    SimulatedLink(double ppm, double latencyMs, bool automatic, uint32_t arrivalFrames = 256,
                  uint32_t pullFrames = 48)
        : outputRate_(48000.0 * (1 + ppm * 1e-6)),
          arrivalFrames_(arrivalFrames),
          pullFrames_(pullFrames),
          block_(2 * pullFrames) {
        const qw_receiver_config config{48000.0, latencyMs, automatic ? 1 : 0};
        receiver_ = qw_receiver_create(&config, nullptr);
        qw_receiver_new_connection(receiver_);
    }
    ~SimulatedLink() { qw_receiver_destroy(receiver_); }
    SimulatedLink(const SimulatedLink&) = delete;
    SimulatedLink& operator=(const SimulatedLink&) = delete;

    // The sender's signal: sample n of the left and right channels.
    std::function<int16_t(uint64_t)> signal = [](uint64_t n) {
        return static_cast<int16_t>(std::lround(16384 * std::sin(2 * M_PI * 1000.0 * n / 48000)));
    };

    // Runs `seconds` of simulated time; the sender sends only while `sending`.
    void run(double seconds, bool sending = true) {
        const double end = now_ + seconds;
        while (now_ < end) {
            if (nextArrival_ <= nextPull_) {
                now_ = nextArrival_;
                if (sending) send(arrivalFrames_);
                nextArrival_ += arrivalFrames_ / 48000.0;
            } else {
                now_ = nextPull_;
                qw_receiver_pull_float(receiver_, block_.data(), pullFrames_);
                for (uint32_t i = 0; i < pullFrames_; ++i) {
                    left.push_back(block_[2 * i]);
                    right.push_back(block_[2 * i + 1]);
                }
                nextPull_ += pullFrames_ / outputRate_;
                if (onPull) onPull(now_);
            }
        }
    }

    // One audio frame of `frames` sample frames of the signal, fed in two pieces.
    void send(uint32_t frames) {
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
        const size_t half = frame.size() / 2 + 1;
        qw_receiver_feed(receiver_, frame.data(), half);
        qw_receiver_feed(receiver_, frame.data() + half, frame.size() - half);
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

  private:
    qw_receiver* receiver_ = nullptr;
    double outputRate_;
    uint32_t arrivalFrames_, pullFrames_;
    std::vector<float> block_;
    double now_ = 0, nextArrival_ = 0, nextPull_ = 0.0001;
    uint64_t sent_ = 0;
};
