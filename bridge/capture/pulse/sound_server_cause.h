#pragma once
// Why a request to the sound server failed, and which step of getting the capture going it was.
// The connection, sink and stream functions report the cause through an optional out-parameter
// beside their usual result (false, nothing, a null stream); the capture source prints the line
// for it (sound_server_lines.h), where libpulse's error code becomes text.

#include <cstdint>

enum class SoundServerCause : uint8_t {
    none,           // nothing failed (or nothing has been tried yet)
    noClient,       // libpulse could not make a client (no main loop or context)
    noAnswer,       // the server gave no answer in time, or went away meanwhile
    refused,        // the server refused to load the sink's module, without an error code
    sinkNotListed,  // the server made the sink but does not list it
    pulseError,     // the server or libpulse gave an error: its code is `pulseError`
};

// A cause and, for SoundServerCause::pulseError, libpulse's error code (PA_ERR_*).
struct SoundServerError {
    SoundServerCause cause = SoundServerCause::none;
    int pulseError = 0;

    bool operator==(const SoundServerError&) const = default;
};

// libpulse's error `code` when there is one (not 0), otherwise `otherwise`.
inline SoundServerError soundServerErrorFrom(int code, SoundServerCause otherwise) {
    if (code != 0) return {SoundServerCause::pulseError, code};
    return {otherwise, 0};
}

// Stores `error` where the caller asked for it (`out` may be null).
inline void reportSoundServerError(SoundServerError* out, SoundServerError error) {
    if (out != nullptr) *out = error;
}

// The step that failed: connecting to the server, finding or making the sink, or starting to
// record its monitor.
enum class SoundServerStep : uint8_t { none, noServer, sinkRefused, captureRefused };

struct SoundServerFailure {
    SoundServerStep step = SoundServerStep::none;
    SoundServerError error;

    bool operator==(const SoundServerFailure&) const = default;
};
