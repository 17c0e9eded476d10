#pragma once
// Capture source 1: the Quillwave device's input side, through the HAL output unit switched to
// input (Core Audio; on Linux the stand-in audio server). One object for the process's life:
// it owns the input unit's set-up values, follows the device's rate and watches for silence.
// The capture state itself is `cap` (globals.h), the render callback's context.

#include <AudioToolbox/AudioToolbox.h>
#include <CoreAudio/CoreAudio.h>

#include <optional>

#include "bridge/capture.h"
#include "bridge/capture/capture_source.h"
#include "bridge/capture/coreaudio/rate_follower.h"
#include "bridge/capture/coreaudio/render_callback.h"
#include "bridge/capture/coreaudio/unit_failure.h"

class CoreAudioSource final : public CaptureSource {
  public:
    // Captures into `c` (the program's `cap`), printing through `print`.
    CoreAudioSource(Capture& c, LineSink print);

    // Looks the device "Quillwave" up by name: "Found QWV device (id N)." or the not-found line.
    bool find() override;
    // Configures and starts the input unit on the device found (startInputUnit), prints the
    // capture line or the failure line, then follows the device's rate and watches for silence.
    bool start(FrameSink& sink) override;
    // Stops the input unit: the render callback is no longer called.
    void stop() override;
    // The main run loop (platform_thread.h).
    void run() override;
    // cap.maxGapMs, which the render callback raises.
    double takeMaxGapMs() override;

    // The set-up of the input unit (input_unit.cpp): creates the unit, points it at `device`
    // with input enabled and output disabled, asks for a 256-frame buffer, sets the client format
    // (2 channels of 32-bit float, non-interleaved, at the device's rate), fills the capture
    // state (unit, formats, converter to sink.format, buffers; frames go to `sink`), registers
    // `proc` with the capture state as its context, lets the unit render up to kCaptureFrames
    // per call, initialises and starts the unit. Only a missing component, a failed
    // initialisation and a failed start are failures; other refusals are carried on past.
    std::optional<UnitFailure> startInputUnit(AudioObjectID device, FrameSink& sink,
                                              AURenderCallback proc = renderCallback);

    // Moves running capture to `rate` Hz (input_unit.cpp): makes the converter and buffers for
    // the new rate, then stops the unit, uninitialises it, sets the client format, puts the new
    // converter and buffers in place, initialises and starts the unit again. The render callback
    // never runs while the capture state changes. On a failed step capture stays stopped;
    // calling this again retries every step.
    std::optional<UnitFailure> restartCaptureAt(double rate);

    // The capture line for the set-up last done.
    std::string startedLine() const;

  private:
    Capture& c;
    LineSink print;
    std::optional<AudioObjectID> found;
    std::optional<RateFollower> follower;

    // The input unit's set-up values, kept for the process's life: the platform is handed their
    // addresses. Written once per set-up.
    AudioComponentDescription acd{};
    AudioUnit unit = nullptr;
    UInt32 enableIn = 0;
    UInt32 disableOut = 0;
    AudioObjectID dev = 0;
    UInt32 bufFrames = 0;
    AudioStreamBasicDescription hwFmt{};
    UInt32 fsz = 0;
    Float64 devRate = 0;
    AudioStreamBasicDescription clientFmt{};
    AURenderCallbackStruct cb{};
    UInt32 maxFrames = 0;
    OSStatus initErr = 0;
    OSStatus startErr = 0;
};
