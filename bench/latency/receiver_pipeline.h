#pragma once
// The receiver pipeline of qw-latency: the whole road into a real sound server.
// qwprobe clicks -> audioserverd + quillwave-driver -> tetherstream --tcp 127.0.0.1 ->
// qwreceiver (port 7000) -> a PulseAudio null sink -> its monitor -> parec -> socat ->
// phone-app --raw --onsets (port 7001). The capture path (parec at 64 frames, socat, the app)
// is the PulseAudio pipeline's at its smallest buffer; its own cost is measured in the same
// run: once with qw-raw-clicks in parec's place (everything after PulseAudio), once with
// qw-pulse-clicks playing into the same sink (a bound that includes PulseAudio's playback
// stream).
// Then the same road into a PipeWire of its own (tests/support/private_pipewire.h) in place of
// PulseAudio, captured the same way through pipewire-pulse: the receiver's native PipeWire output
// at quanta 128 and 256, and its PulseAudio output through pipewire-pulse at quantum 256 (each
// quantum forced with clock.force-quantum, so that the capture's own request does not set it).

#include <memory>
#include <string>
#include <vector>

#include "latency_bench.h"

class ReceiverPipeline {
  public:
    explicit ReceiverPipeline(LatencyBench& bench) : b(bench) {}
    void run(std::vector<LatencyRun>& runs);

  private:
    struct Row {
        std::string pipeline;  // "receiver", "receiver-low" or "old-receiver"
        int frames;
        bool loaded;
        std::vector<std::string> receiverArgs;
        std::string setting;
        std::string binary;  // the qwreceiver that runs
        int quantum = 0;     // > 0: a PipeWire row, at this forced quantum
    };

    std::vector<Row> plannedRows() const;
    void failRest(std::vector<LatencyRun>& runs, const std::string& why);
    ChildProcess& start(const std::vector<std::string>& argv, const std::string& log);
    bool startServers(std::string& why);
    bool startCapture(const std::string& command, std::string& why);
    void measureCapture(std::vector<LatencyRun>& runs);
    void measurePulseClicks(std::vector<LatencyRun>& runs, const std::string& pipeline);
    void runPipeWire(const std::vector<Row>& rows, std::vector<LatencyRun>& runs);
    void measureRows(const std::vector<Row>& rows, std::vector<LatencyRun>& runs);
    LatencyRun clicksThroughReceiver(const Row& row, ChildProcess& receiver);
    std::vector<std::string> appLinesSince(size_t mark) const;

    LatencyBench& b;
    ChildProcess* app = nullptr;
    ChildProcess* pulseDaemon = nullptr;
    ChildProcess* capture = nullptr;
    int connections = 0;
    std::string pulseaudio, parec, socat;
};
