// qw-sine-quality: the quality of a sine recorded from the receiver (a 16-bit stereo WAV, or raw
// 16-bit stereo with --raw). Fits every 100 ms window of the left channel, from FROM seconds
// after the sound begins, with its frequency free within ±1 Hz of HZ, and prints the worst and
// the median window's SNR, the median pitch and how many windows fall below 80 dB; with --list,
// also each of those windows: where it starts (seconds since the sound began), SNR and pitch;
// with --all, every window so, after the sample where the sound begins.
//
//   qw-sine-quality FILE HZ FROM [--raw] [--list | --all]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "sine_windows.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: qw-sine-quality FILE HZ FROM [--raw] [--list | --all]\n");
        return 2;
    }
    bool raw = false, list = false, all = false;
    for (int i = 4; i < argc; ++i) {
        raw = raw || std::strcmp(argv[i], "--raw") == 0;
        list = list || std::strcmp(argv[i], "--list") == 0;
        all = all || std::strcmp(argv[i], "--all") == 0;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    std::vector<int16_t> left;
    for (size_t i = raw ? 0 : 44; i + 4 <= bytes.size(); i += 4) {
        left.push_back(static_cast<int16_t>(static_cast<uint8_t>(bytes[i]) |
                                            static_cast<uint8_t>(bytes[i + 1]) << 8));
    }
    size_t first = 0, last = left.size();
    while (first < left.size() && std::abs(left[first]) < 300) ++first;
    while (last > first && std::abs(left[last - 1]) < 300) --last;
    left.resize(last);
    const double fromSeconds = std::atof(argv[3]);
    const size_t from = first + static_cast<size_t>(fromSeconds * 48000);
    const auto fits = fitWindows(left, from, 4800, 48000, std::atof(argv[2]), 1.0, 32768.0);
    if (fits.size() < 3) {
        std::printf("too little sound\n");
        return 1;
    }
    std::vector<double> snr, hz;
    // The last window may hold the fade at the end of the sound.
    for (size_t i = 0; i + 1 < fits.size(); ++i) {
        snr.push_back(fits[i].fit.snrDb);
        hz.push_back(fits[i].hz);
    }
    const int below =
        static_cast<int>(std::count_if(snr.begin(), snr.end(), [](double s) { return s < 80; }));
    std::sort(snr.begin(), snr.end());
    std::sort(hz.begin(), hz.end());
    std::printf("windows %zu worst %.1f dB median %.1f dB below80 %d pitch %.3f Hz\n", snr.size(),
                snr.front(), snr[snr.size() / 2], below, hz[hz.size() / 2]);
    // --all: every window, and where the sound starts (its sample in the file), so that the
    // windows can be set beside the receiver's own counts of frames played.
    if (all) std::printf("sound from sample %zu\n", first);
    for (size_t i = 0; (list || all) && i + 1 < fits.size(); ++i) {
        if (fits[i].fit.snrDb >= 80 && !all) continue;
        std::printf("%s at %.1f s: %.1f dB, %.3f Hz\n", all ? "window" : "below80",
                    fromSeconds + 0.1 * double(i), fits[i].fit.snrDb, fits[i].hz);
    }
    return 0;
}
