#include "bridge/globals.h"

std::optional<AudioFormat> outFmt;

// Made once and never destroyed: threads may still use them while the process exits.
Capture& cap = *new Capture;
SendQueue& sendQ = *new SendQueue;

std::optional<AudioFormat> makeOutputFormat() {
    return AudioFormat::make(AudioCommonFormat::pcmFloat32, 48000.0, 2, false);
}
