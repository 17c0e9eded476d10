#include "session.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <new>

namespace audioserver {

using namespace qwipc;

std::unique_ptr<Session> Session::create(uint32_t directions, uint32_t inputChannels,
                                         uint32_t outputChannels, UInt32 clientID, pid_t pid) {
    if ((directions & kSessionInput) == 0) inputChannels = 0;
    if ((directions & kSessionOutput) == 0) outputChannels = 0;
    if (inputChannels > kMaxChannels || outputChannels > kMaxChannels) return nullptr;
    std::unique_ptr<Session> s(new Session());
    s->directions_ = directions;
    s->clientID_ = clientID;
    s->pid_ = pid;
    s->bytes_ = sessionBytes(inputChannels, outputChannels);
    s->memFd_ = memfd_create("quillwave-session", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (s->memFd_ < 0 || ftruncate(s->memFd_, static_cast<off_t>(s->bytes_)) != 0) return nullptr;
    // A client that could shrink the memory would make the server fault on its next access.
    if (fcntl(s->memFd_, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        return nullptr;
    }
    void* map = mmap(nullptr, s->bytes_, PROT_READ | PROT_WRITE, MAP_SHARED, s->memFd_, 0);
    if (map == MAP_FAILED) return nullptr;
    s->shared_ = new (map) SessionShared{};
    SessionShared& sh = *s->shared_;
    sh.magic = kSessionMagic;
    sh.version = kSessionVersion;
    sh.directions = directions;
    sh.inputChannels = inputChannels;
    sh.outputChannels = outputChannels;
    sh.ringFrames = kRingFrames;
    sh.cycleSlots = kCycleSlots;
    // Touch every page now so the IO thread never takes a page fault on a fresh page.
    std::memset(inputRing(s->shared_), 0,
                size_t{kRingFrames} * (inputChannels + outputChannels) * sizeof(float));
    s->eventFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (s->eventFd_ < 0) return nullptr;
    return s;
}

Session::~Session() {
    if (shared_ != nullptr) {
        shared_->~SessionShared();
        munmap(shared_, bytes_);
    }
    if (memFd_ >= 0) close(memFd_);
    if (eventFd_ >= 0) close(eventFd_);
}

void Session::signal() const {
    const uint64_t one = 1;
    // Non-blocking: a client that never reads only saturates its own counter.
    [[maybe_unused]] ssize_t n = write(eventFd_, &one, sizeof one);
}

void Session::deliverInput(const float* frames, uint32_t count, double sampleTime,
                           uint64_t hostTime, uint64_t readDoneHostTime, uint64_t cycle,
                           bool firstAfterStart) {
    SessionShared& sh = *shared_;
    const uint64_t pos = sh.inputWritePos.load(std::memory_order_relaxed);
    ringWrite(inputRing(shared_), kRingFrames, sh.inputChannels, pos, frames, count);
    CycleRecord& rec = sh.cycles[inputCycles_ & (kCycleSlots - 1)];
    rec.ringPos.store(pos, std::memory_order_relaxed);
    rec.sampleTime.store(doubleBits(sampleTime), std::memory_order_relaxed);
    rec.hostTime.store(hostTime, std::memory_order_relaxed);
    rec.readDoneHostTime.store(readDoneHostTime, std::memory_order_relaxed);
    rec.cycle.store(cycle, std::memory_order_relaxed);
    rec.frames.store(count, std::memory_order_relaxed);
    rec.flags.store(firstAfterStart ? kCycleFirstAfterStart : 0, std::memory_order_relaxed);
    sh.inputWritePos.store(pos + count, std::memory_order_release);
    sh.cyclesPublished.store(++inputCycles_, std::memory_order_release);
}

uint32_t Session::mixOutput(float* mix, uint32_t count, double sampleTime, uint64_t hostTime) {
    SessionShared& sh = *shared_;
    if (sh.primed.load(std::memory_order_acquire) == 0) return 0;
    const uint64_t read = sh.readPos.load(std::memory_order_relaxed);
    const uint64_t written = sh.writePos.load(std::memory_order_acquire);
    // The client writes these positions; a value it could not have written counts as nothing.
    const uint64_t available = written - read <= kRingFrames ? written - read : 0;
    const uint32_t take = available < count ? static_cast<uint32_t>(available) : count;
    if (!outputStarted_) {
        sh.firstSampleTime.store(doubleBits(sampleTime), std::memory_order_relaxed);
        sh.firstKnown.store(1, std::memory_order_release);
        outputStarted_ = true;
    }
    const uint32_t channels = sh.outputChannels;
    const float* ring = outputRing(shared_);
    const uint32_t at = static_cast<uint32_t>(read & (kRingFrames - 1));
    const uint32_t first = take < kRingFrames - at ? take : kRingFrames - at;
    const float* src = ring + size_t{at} * channels;
    for (size_t i = 0, n = size_t{first} * channels; i < n; ++i) mix[i] += src[i];
    float* rest = mix + size_t{first} * channels;
    for (size_t i = 0, n = size_t{take - first} * channels; i < n; ++i) rest[i] += ring[i];
    sh.readPos.store(read + take, std::memory_order_release);

    sh.clockSeq.fetch_add(1, std::memory_order_acq_rel);
    sh.clockReadPos.store(read, std::memory_order_relaxed);
    sh.clockSampleTime.store(doubleBits(sampleTime), std::memory_order_relaxed);
    sh.clockHostTime.store(hostTime, std::memory_order_relaxed);
    sh.clockSeq.fetch_add(1, std::memory_order_release);

    const uint32_t missing = count - take;
    if (missing > 0) sh.underrunFrames.fetch_add(missing, std::memory_order_relaxed);
    return missing;
}

}  // namespace audioserver
