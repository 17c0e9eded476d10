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

#include "command_line.h"
#include "frame.h"
#include "globals.h"
#include "link_state.h"
#include "link_supervisor.h"
#include "sender.h"
#include "statistics.h"

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    int frameUs = 5333;  // 256 sample frames at 48 kHz
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--frame-us") frameUs = std::max(100, std::atoi(argv[i + 1]));
    }
    applyCommandLine(argc, argv);
    std::thread(runLinkSupervisor).detach();
    std::thread(runSender).detach();
    std::thread(runStatistics).detach();

    constexpr size_t kSampleFrames = 256;
    uint32_t sequence = 0;
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        next += std::chrono::microseconds(frameUs);
        std::this_thread::sleep_until(next);
        if (currentTunnel() < 0) continue;  // as the render callback: no link, no frame
        const auto value = static_cast<uint16_t>(++sequence % 32768);
        Bytes payload(kSampleFrames * 4);
        for (size_t i = 0; i < payload.size(); i += 2) {
            payload[i] = static_cast<uint8_t>(value);
            payload[i + 1] = static_cast<uint8_t>(value >> 8);
        }
        sendQ.push(makeFrame(FrameType::audio, payload));
    }
}
