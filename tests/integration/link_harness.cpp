// link_harness: the bridge's link half (link supervisor, sender, statistics), fed by a stand-in
// for the render callback that queues one audio frame of 256 sample frames every few
// milliseconds while a link exists. Used by the multi-process link tests against the phone
// stand-ins; takes the bridge's own command line ("--tcp [host]") plus "--frame-us N".
//
// Every sample of a frame holds the same value on both channels (the frame's sequence number),
// so the receiving app can tell a frame spliced from two others ("--verify-pattern").

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bridge/capture/capture_source.h"
#include "bridge/command_line.h"
#include "bridge/frame.h"
#include "bridge/globals.h"
#include "bridge/link_state.h"
#include "bridge/link_supervisor.h"
#include "bridge/sender.h"
#include "bridge/statistics.h"

namespace {

// The stand-in for the render callback, as a capture source: one audio frame of 256 sample
// frames every `frameUs` microseconds while a link exists.
class PatternSource final : public CaptureSource {
  public:
    explicit PatternSource(int frameUs) : period(frameUs) {}
    bool find() override { return true; }
    bool start(FrameSink& into) override {
        sink = &into;
        return true;
    }
    void stop() override { sink = nullptr; }
    void run() override {
        constexpr size_t kSampleFrames = 256;
        uint32_t sequence = 0;
        auto next = std::chrono::steady_clock::now();
        while (sink != nullptr) {
            next += period;
            std::this_thread::sleep_until(next);
            if (currentTunnel() < 0) continue;  // as the render callback: no link, no frame
            const auto value = static_cast<uint16_t>(++sequence % 32768);
            Bytes payload(kSampleFrames * 4);
            for (size_t i = 0; i < payload.size(); i += 2) {
                payload[i] = static_cast<uint8_t>(value);
                payload[i + 1] = static_cast<uint8_t>(value >> 8);
            }
            sink->push(makeFrame(FrameType::audio, payload));
        }
    }
    double takeMaxGapMs() override { return 0.0; }

  private:
    std::chrono::microseconds period;
    FrameSink* sink = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    int frameUs = 5333;  // 256 sample frames at 48 kHz
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--frame-us") frameUs = std::max(100, std::atoi(argv[i + 1]));
    }
    const BridgeOptions options = parseCommandLine(std::vector<std::string>(argv, argv + argc));
    applyCommandLine(options);
    std::thread([options] { runLinkSupervisor(options); }).detach();
    static FramePool pool;
    static const AudioFormat format = *makeOutputFormat();
    static FrameSink sink{sendQ, pool, format};
    static PatternSource source(frameUs);
    source.start(sink);
    std::thread([] { runSender(sink); }).detach();
    std::thread([] { runStatistics(source); }).detach();
    source.run();
}
