#pragma once
// Whether the captured sound has been nothing but exact zeros for a while with a link up. On a
// Mac that is what a program gets when the system withholds the input device for want of the
// microphone permission: silence, and no error. The bridge then says so, once per run.

#include <atomic>
#include <cstdint>
#include <string>

#include "bridge/console.h"

// How much silence, in seconds of captured sound with a link up, makes the bridge say so.
inline constexpr uint64_t kSilenceNoticeSeconds = 10;

// The line the bridge prints then: that macOS may be withholding the input, where to allow it,
// and that this can be plain silence.
std::string silenceNoticeLine();

class SilenceWatch {
  public:
    // Audio thread only: `frames` sample frames at `rate` Hz were captured while a link was up;
    // `silent` when every sample of them was exactly zero. Takes no lock, allocates nothing.
    void note(bool silent, uint32_t frames, double rate) noexcept;

    // Any one thread: true the first time the silence has lasted kSilenceNoticeSeconds, and
    // never again in this run.
    bool takeNotice() noexcept;

  private:
    std::atomic<uint64_t> silentNs_{0};  // written by the audio thread alone
    std::atomic<bool> told_{false};
};

// Whether the first `frames` samples of each of the `channels` channels are all exactly zero.
bool allZero(const float* const* data, uint32_t channels, uint32_t frames) noexcept;

// Thread body: once a second, prints silenceNoticeLine() through `print` when `watch` has its
// notice.
[[noreturn]] void runSilenceWatch(SilenceWatch& watch, const LineSink& print);
