#pragma once
// What the bridge captures, behind one interface: the Quillwave device through Core Audio
// (capture/coreaudio/; on Linux the stand-in audio server), or on Linux the desktop's sound
// server (capture/pulse/). The start-up sequence in main.cpp is the same for both; the source is
// chosen once, from the options. Each source prints its own lines, through the LineSink it is
// made with, and keeps its own figures.

#include "bridge/capture/frame_sink.h"
#include "bridge/console.h"

class CaptureSource {
  public:
    virtual ~CaptureSource() = default;

    // Start-up, before any thread starts: finds what is captured (the device by its name; the
    // sound server and its sink) and prints the line saying so, or the failure line. False on a
    // failure: the bridge then exits with status 1, nothing else having been started.
    virtual bool find() = 0;

    // Start-up, once the link thread runs: starts delivering the captured sound into `sink` and
    // prints the capture line, or the failure line. The source's own threads (following the
    // device's rate, watching for silence) start here. False on a failure: the bridge then exits
    // with status 1.
    virtual bool start(FrameSink& sink) = 0;

    // Stops delivering sound. The bridge never stops capture (it runs until the process ends);
    // tests and embedders do.
    virtual void stop() = 0;

    // The main thread, after start-up, for the rest of the process's life: the main run loop,
    // or the sound server's main loop. Returns only should the run loop ever return.
    virtual void run() = 0;

    // The longest interval between two deliveries of sound since the last call, in
    // milliseconds, zeroed in the same step (the statistics line's maxGap). Any one thread.
    virtual double takeMaxGapMs() = 0;
};
