// The running half of an output unit of the HAL kind: its IO session with the server and the
// real-time thread that wakes with the device's IO cycle, hands each cycle's input to the input
// callback and keeps the output queued ahead by calling the render callback.
#pragma once
#include <AudioToolbox/AudioUnit.h>
#include <standin/audio_server.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "ipc/session_shared.h"

namespace halclient {

// A client-side sample format the unit converts to and from: 32-bit float, native endian.
struct ClientFormat {
    uint32_t channels = 2;
    bool interleaved = false;
    double sampleRate = 0;
};
bool parseClientFormat(const AudioStreamBasicDescription& asbd, ClientFormat& out);
AudioStreamBasicDescription describeClientFormat(const ClientFormat& format);

struct UnitIOConfig {
    AudioUnit unit = nullptr;
    AudioObjectID device = 0;
    bool input = false;
    bool output = false;
    ClientFormat inputFormat;   // what AudioUnitRender hands the caller
    ClientFormat outputFormat;  // what the render callback provides
    AURenderCallbackStruct inputCallback{};
    AURenderCallbackStruct renderCallback{};
    uint32_t leadFrames = 0;                   // 0: three IO buffers
    uint32_t maxFrames = qwipc::kMaxIOFrames;  // the most one AudioUnitRender may ask for
};

class UnitIO {
  public:
    // Opens the session and starts the thread; kAudioHardwareBadDeviceError when the device (or
    // the server) is not there.
    static OSStatus start(const UnitIOConfig& config, std::unique_ptr<UnitIO>& out);
    ~UnitIO();  // stops the thread and ends the session
    // Stops the thread; the session stays until destruction.
    void stop();
    UnitIO(const UnitIO&) = delete;
    UnitIO& operator=(const UnitIO&) = delete;

    // The unit whose input callback the calling thread is running, if any.
    static const UnitIO* rendering();
    AudioUnit unit() const { return config_.unit; }
    // Only inside the input callback, on the unit's thread.
    OSStatus render(UInt32 frames, AudioBufferList* data) const;
    bool currentCycle(StandinCycleInfo& out) const;
    StandinUnitCounters counters() const;
    // The rate the device runs at now, as the server last published it (0 before it did). The
    // unit converts no rates: this is also the rate of what it hands the client.
    double deviceRate() const;
    bool gone() const { return gone_.load(std::memory_order_relaxed); }

  private:
    explicit UnitIO(const UnitIOConfig& config) : config_(config) {}
    void threadMain();
    void deliverInput();
    void topUpOutput();
    bool renderOutputBlock(uint32_t frames);

    struct Cycle {
        uint64_t ringPos;
        uint64_t cycle;
        uint64_t readDone;
        double sampleTime;
        uint64_t hostTime;
        uint32_t frames;
        uint32_t flags;
    };

    UnitIOConfig config_;
    int socket_ = -1;
    int eventFd_ = -1;
    qwipc::SessionShared* shared_ = nullptr;
    size_t bytes_ = 0;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> gone_{false};
    // Unit thread only.
    uint64_t nextCycle_ = 0;
    const Cycle* current_ = nullptr;
    bool primed_ = false;
    std::vector<float> outputScratch_;         // the render callback's buffers
    std::vector<float> interleaved_;           // one block in the device's layout (output)
    mutable std::vector<float> inputScratch_;  // one block in the device's layout (input)
    std::vector<uint8_t> bufferList_;          // AudioBufferList with room for every channel
    // Read by other threads.
    std::atomic<uint64_t> inputCycles_{0};
    std::atomic<uint64_t> skippedCycles_{0};
    std::atomic<uint64_t> outputFrames_{0};
};

}  // namespace halclient
