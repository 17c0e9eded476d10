#pragma once
// The lines the Core Audio capture prints on success; failures are in unit_failure.h.

#include <cstdint>
#include <string>

// A rate as the lines print it: the fraction dropped, never a decimal point.
std::string rateText(double rate);

// "Found QWV device (id {id})." and "Quillwave device not found. Install the driver first."
std::string deviceFoundLine(uint32_t id);
inline constexpr const char* kDeviceNotFoundLine =
    "Quillwave device not found. Install the driver first.";

// "AUHAL capturing QWV at {rate} Hz, hw ch={channels}, 256-frame buffer — set Mac output to QWV
// and play."
std::string captureLine(double devRate, uint32_t channels);

// "device rate now {rate} Hz — converting to 48000 Hz", or "— no conversion" at 48000 Hz.
std::string deviceRateLine(double rate);
