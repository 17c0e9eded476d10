#pragma once
// The bridge's capture on Linux: the quillwave sink's monitor, from the desktop's sound server.
// Everything runs on the thread that calls find, start and run (the main thread): libpulse's
// main loop runs there, and the monitor's pieces are queued from there.

#include <pulse/stream.h>

#include <optional>
#include <string>

#include "bridge/capture/capture_source.h"
#include "bridge/capture/frame_sink.h"
#include "bridge/capture/pulse/monitor_stream.h"
#include "bridge/capture/pulse/quillwave_sink.h"
#include "bridge/capture/pulse/server_connection.h"
#include "bridge/capture/pulse/sound_server_cause.h"
#include "bridge/console.h"

class SoundServerSource final : public CaptureSource {
  public:
    // Prints its lines through `print`.
    explicit SoundServerSource(LineSink print);
    ~SoundServerSource() override;
    SoundServerSource(const SoundServerSource&) = delete;
    SoundServerSource& operator=(const SoundServerSource&) = delete;

    // Connects to the server and finds or makes the sink; prints the sink line ("Found
    // Quillwave sink (index 3).") or the failure line ("No sound server (…) — …").
    bool find() override;

    // Makes `sink`'s pool ready for the largest frame a piece becomes, starts recording the
    // sink's monitor into `sink` and prints the capture line ("Pulse capturing …"), or the
    // failure line. Finds the sink first should find() not have done so.
    bool start(FrameSink& sink) override;

    // Stops recording: no more pieces reach the sink. On the thread that started it, while run()
    // does not run.
    void stop() override;

    // Raises the thread's priority and runs the main loop for the rest of the process's life.
    // When the sink goes, or the server goes away or restarts, prints one line and, while the
    // link to the phone carries on, finds or makes the sink again (every 0.5 s until it can),
    // prints the sink and capture lines and goes on capturing. A failure in that time is
    // printed once each time it changes.
    [[noreturn]] void run() override;

    // The longest interval between two reads of the monitor since the last call, ms, zeroed.
    double takeMaxGapMs() override;

  private:
    // Connects when not connected, then finds or makes the sink. False with the failed step.
    bool openServer(SoundServerFailure* why);
    // Starts recording the sink's monitor. False with the failed step.
    bool startCapture(SoundServerFailure* why);
    // One attempt to be capturing again after a loss; see run().
    bool captureAgain(std::optional<SoundServerFailure>& lastFailure);
    void recover();

    LineSink print;
    ServerConnection server;
    std::optional<SinkFound> sink;  // as last found or made
    std::string serverName;         // the server's name and version as it last gave them
    pa_stream* stream = nullptr;    // the monitor's record stream; null while not recording
    MonitorReads reads;             // the read callback's context and the gap figures
};
