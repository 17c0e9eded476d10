#include "bridge/capture/coreaudio/silence_watch.h"

#include <chrono>
#include <thread>

std::string silenceNoticeLine() {
    return "\u26A0 only silence captured for " + std::to_string(kSilenceNoticeSeconds) +
           " s: if something is playing to Quillwave, macOS may be withholding the device "
           "\u2014 allow tetherstream (or the terminal it runs in) in System Settings \u2192 "
           "Privacy & Security \u2192 Microphone. It can also be plain silence.";
}

void SilenceWatch::note(bool silent, uint32_t frames, double rate) noexcept {
    if (!silent || !(rate > 0)) {
        silentNs_.store(0, std::memory_order_relaxed);
        return;
    }
    const auto ns = static_cast<uint64_t>(static_cast<double>(frames) * 1e9 / rate);
    silentNs_.store(silentNs_.load(std::memory_order_relaxed) + ns, std::memory_order_relaxed);
}

bool SilenceWatch::takeNotice() noexcept {
    if (silentNs_.load(std::memory_order_relaxed) < kSilenceNoticeSeconds * 1000000000) {
        return false;
    }
    return !told_.exchange(true, std::memory_order_relaxed);
}

bool allZero(const float* const* data, uint32_t channels, uint32_t frames) noexcept {
    for (uint32_t c = 0; c < channels; ++c) {
        const float* samples = data[c];
        for (uint32_t i = 0; i < frames; ++i) {
            if (samples[i] != 0.0f) return false;
        }
    }
    return true;
}

void runSilenceWatch(SilenceWatch& watch, const LineSink& print) {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        if (watch.takeNotice()) print(silenceNoticeLine());
    }
}
