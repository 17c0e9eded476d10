// The server's side of one client IO session: the shared memory it created for the client,
// the wake-up eventfd, and the IO thread's private bookkeeping for it.
#pragma once
#include <CoreAudio/AudioHardwareBase.h>

#include <cstdint>
#include <memory>

#include "ipc/protocol.h"
#include "ipc/session_shared.h"

namespace audioserver {

class Session {
  public:
    // Creates the shared memory (sealed against resizing, every page touched) and the eventfd.
    static std::unique_ptr<Session> create(uint32_t directions, uint32_t inputChannels,
                                           uint32_t outputChannels, UInt32 clientID, pid_t pid);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    int memFd() const { return memFd_; }
    int eventFd() const { return eventFd_; }
    size_t bytes() const { return bytes_; }
    qwipc::SessionShared* shared() const { return shared_; }
    bool wantsInput() const { return (directions_ & qwipc::kSessionInput) != 0; }
    bool wantsOutput() const { return (directions_ & qwipc::kSessionOutput) != 0; }
    uint32_t inputChannels() const { return shared_->inputChannels; }
    uint32_t outputChannels() const { return shared_->outputChannels; }
    UInt32 clientID() const { return clientID_; }
    pid_t pid() const { return pid_; }

    // IO thread: one wake-up for the client; never blocks.
    void signal() const;
    // IO thread: appends one cycle's input and publishes its record.
    void deliverInput(const float* frames, uint32_t count, double sampleTime, uint64_t hostTime,
                      uint64_t readDoneHostTime, uint64_t cycle, bool firstAfterStart);
    // IO thread: adds up to `count` of the client's frames into `mix`; returns the frames it
    // had to leave silent.
    uint32_t mixOutput(float* mix, uint32_t count, double sampleTime, uint64_t hostTime);

  private:
    Session() = default;
    uint32_t directions_ = 0;
    UInt32 clientID_ = 0;
    pid_t pid_ = 0;
    int memFd_ = -1;
    int eventFd_ = -1;
    size_t bytes_ = 0;
    qwipc::SessionShared* shared_ = nullptr;
    uint64_t inputCycles_ = 0;  // IO thread only
    bool outputStarted_ = false;
};

}  // namespace audioserver
