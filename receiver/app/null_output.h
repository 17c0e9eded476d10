#pragma once
// The null output: consumes frames at 48000 Hz × (1 + ppm·10⁻⁶) by the monotonic clock, in
// millisecond steps. After a stall it pulls everything that fell due at once, so the number of
// frames taken always matches the clock; optionally writes them to a WAV file.

#include <atomic>
#include <string>
#include <thread>

#include "common/wav_writer.h"
#include "output.h"
#include "quillwave_receiver.h"

namespace qwr {

class NullOutput : public Output {
  public:
    NullOutput(qw_receiver* receiver, double clockPpm, std::string wavPath);
    ~NullOutput() override;

    bool start(std::string& error) override;
    std::string figures() override;

  private:
    void run();

    qw_receiver* receiver_;
    double rate_;
    std::string wavPath_;
    qw::WavWriter wav_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> worstLateUs_{0};
    std::thread thread_;
};

}  // namespace qwr
