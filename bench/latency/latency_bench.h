#pragma once
// Runs the two pipelines that carry clicks to the receiving app (phone-app --onsets) on this
// machine and collects their latencies:
// - Quillwave: qwprobe plays numbered clicks into "Quillwave" (audioserverd with
//   quillwave-driver); tetherstream captures it and streams through phone-usbmuxd; measured
//   at each device buffer size, idle and with both cores loaded.
// - PulseAudio: qw-pulse-clicks plays into a null sink as a low-latency stream; parec captures
//   the sink's monitor and socat carries it over TCP to the same app (--raw). The playback
//   stream's target length and parec's latency are each set to the Quillwave device buffer of
//   the same row; idle and loaded.
// - Linux sound server (desktop_pipeline.cpp): qw-pulse-clicks plays into the quillwave sink
//   that tetherstream makes and captures (its default source on Linux), streaming over TCP to
//   the same app; at the same buffers and loads, with the CPU time it takes beside that of
//   parec and socat.
// - PulseAudio RTP (pulse-rtp, rtp_pipeline.h): module-rtp-send to module-rtp-recv between two
//   null sinks, captured as above, at module-rtp-recv's default and swept latency_msec.
// Call from inside private namespaces (isolated_run.h): port 7000 and /var/run are used.

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "cpu_load.h"
#include "latency_stats.h"
#include "receiver_figures.h"
#include "rtp_figures.h"

struct LatencyOptions {
    std::string buildDir;
    std::vector<int> bufferFrames = {64, 128, 256, 512};
    int clicks = 220;
    int intervalMs = 60;
    bool withPulse = true;
    bool withDesktop = true;
    // The quillwave sink's rates for the Linux sound server's road, each in a daemon of its own
    // (the "desktop-RATE" rows): 48000 is made by the bridge; another is made beforehand, as a
    // user would, and the server converts to 48 kHz.
    std::vector<int> desktopRates = {48000, 44100};
    bool withReceiver = true;
    std::vector<int> receiverBufferFrames = {256, 64};
    // The lower receiver setting of the last receiver row (at the smallest of those buffers).
    double receiverLowLatencyMs = 5, receiverLowPulseMs = 5;
    // Another build's qwreceiver, measured at its defaults beside this one's (the "old-receiver"
    // rows): figures from different runs here spread by milliseconds.
    std::string oldReceiver;
    bool withQuillwave = true;
    bool withRtp = true;
    std::vector<int> rtpLatenciesMs = {10, 20, 40, 80, 160, 300};  // module-rtp-recv latency_msec
    // The longest wait, after module-rtp-recv's session starts, for its buffer to reach its
    // target (within a quarter, or 5 ms) before the clicks.
    int rtpSettleSeconds = 240;
};

struct LatencyRun {
    std::string pipeline;  // "quillwave", "pulseaudio", "desktop" (tetherstream capturing the
                           // quillwave sink), "receiver", "receiver-low", "old-receiver",
                           // "receiver-capture"
                           // (the capture path's own cost) or "pulse-rtp"
    int bufferFrames = 0;  // Quillwave: the device buffer; PulseAudio: stream and capture length;
                           // pulse-rtp: module-rtp-recv's latency_msec (0: its default; -1: the
                           // capture path alone)
    bool loaded = false;
    ClickLatencies latencies;
    std::string note;                  // why the run has no figures, if it has none
    ReceiverRunFigures receiver = {};  // the receiver pipeline's own reports over the run
    // "pulseaudio" and "desktop": CPU time of the capture (parec and socat; tetherstream) per
    // second of the run, in ms; negative when not measured.
    double cpuMsPerAudioSecond = -1;
    double serverCpuMsPerAudioSecond = -1;  // "desktop": the PulseAudio daemon's, the same way
};

class LatencyBench {
  public:
    LatencyBench(LatencyOptions options, const std::atomic<bool>& stop);
    ~LatencyBench();
    LatencyBench(const LatencyBench&) = delete;
    LatencyBench& operator=(const LatencyBench&) = delete;

    // Every configuration, Quillwave first; a pipeline that cannot be brought up leaves runs
    // with a note.
    std::vector<LatencyRun> run();
    // The pulse-rtp rows' other figures, one per pulse-rtp run in order.
    const std::vector<RtpFigures>& rtpFigures() const { return rtp; }

  private:
    void runQuillwave(std::vector<LatencyRun>& runs);
    void runPulse(std::vector<LatencyRun>& runs);
    void runDesktop(std::vector<LatencyRun>& runs);  // desktop_pipeline.cpp
    void runDesktopAt(int sinkRate, std::vector<LatencyRun>& runs);
    LatencyRun desktopClicks(const std::string& pipeline, int frames, bool loaded,
                             const ChildProcess& app, const ChildProcess& bridge,
                             const ChildProcess& daemon);
    void runReceiver(std::vector<LatencyRun>& runs);  // receiver_pipeline.cpp
    friend class ReceiverPipeline;
    void stopAll();
    // Stops everything and records `why` for each row of `pipelines` not measured yet.
    void failRemaining(std::vector<LatencyRun>& runs, const std::vector<std::string>& pipelines,
                       const std::string& why);
    std::string binary(const std::string& relative) const;
    bool waitForLine(const ChildProcess& child, const std::string& needle, int count,
                     double seconds) const;

    LatencyOptions o;
    const std::atomic<bool>& stop;
    TempDir dir;
    std::vector<std::unique_ptr<ChildProcess>> running;
    CpuLoad load;
    std::vector<RtpFigures> rtp;
};
