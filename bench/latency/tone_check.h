#pragma once
// Reading back what arrived from qw-pulse-clicks --tone (click_tone.h) after a path that may
// resample it: the clicks with the numbers they carry, and the dropouts of the tone under them.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "latency_stats.h"

// Interleaved 16-bit stereo samples of a WAV file as phone-app writes it; empty if unreadable.
std::vector<int16_t> readStereoWav(const std::string& path);

struct HeardClick {
    size_t frame = 0;   // where the left channel first reaches the receiving app's onset level
    int64_t code = -1;  // the click's number modulo click_tone::kCodeCycle
};

// Every onset in the order the receiving app reports them (the left channel reaching its onset
// level from below), with the code the click carries (click_tone::code). A resampler scales a
// click's samples (the app then reports a smaller value than was sent) but not the ratio of its
// two channels.
std::vector<HeardClick> findClicks(const std::vector<int16_t>& stereo);

// Gives the app's onsets, matched one to one in order, the clicks' numbers (modulo 16384, as
// the app reports them): each code read from the recording, unwrapped to the number nearest
// the one after the previous click's. False (and nothing changed) when the counts differ.
bool renumberOnsets(std::vector<ArrivedOnset>& onsets, const std::vector<HeardClick>& clicks);

struct ToneDropouts {
    size_t windows = 0;  // 10 ms windows from the first click heard to the last
    size_t silent = 0;   // windows whose level is below a quarter of the tone's
    size_t broken = 0;   // other windows with a jump no steady tone makes (a skip, a splice)
    size_t gaps = 0;     // runs of consecutive silent or broken windows
};

// Judges the tone between the first and the last click heard; the samples around each click,
// where the player leaves the tone out, are not judged for jumps.
ToneDropouts checkTone(const std::vector<int16_t>& stereo, const std::vector<HeardClick>& clicks);
