#include "unit_io.h"

#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "hal_connection.h"
#include "ipc/protocol.h"
#include "ipc/realtime.h"
#include "ipc/socket_io.h"

namespace halclient {

using namespace qwipc;

namespace {

thread_local const UnitIO* tRenderingUnit = nullptr;  // set while the input callback runs

// The device channel that feeds client channel `c` (and the reverse for output): the same
// channel, a mono channel to every side, or nothing (-1: silence).
int mapChannel(uint32_t c, uint32_t from) {
    if (c < from) return static_cast<int>(c);
    return from == 1 ? 0 : -1;
}

}  // namespace

bool parseClientFormat(const AudioStreamBasicDescription& f, ClientFormat& out) {
    const bool interleaved = (f.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0;
    const bool ok = f.mFormatID == kAudioFormatLinearPCM &&
                    (f.mFormatFlags & kAudioFormatFlagIsFloat) != 0 &&
                    (f.mFormatFlags & kAudioFormatFlagIsBigEndian) == 0 &&
                    f.mBitsPerChannel == 32 && f.mFramesPerPacket == 1 &&
                    f.mChannelsPerFrame >= 1 && f.mChannelsPerFrame <= kMaxChannels &&
                    f.mBytesPerFrame == (interleaved ? 4 * f.mChannelsPerFrame : 4u) &&
                    f.mBytesPerPacket == f.mBytesPerFrame && f.mSampleRate > 0;
    if (!ok) return false;
    out.channels = f.mChannelsPerFrame;
    out.interleaved = interleaved;
    out.sampleRate = f.mSampleRate;
    return true;
}

AudioStreamBasicDescription describeClientFormat(const ClientFormat& format) {
    AudioStreamBasicDescription f{};
    f.mSampleRate = format.sampleRate;
    f.mFormatID = kAudioFormatLinearPCM;
    f.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    if (!format.interleaved) f.mFormatFlags |= kAudioFormatFlagIsNonInterleaved;
    f.mBytesPerFrame = format.interleaved ? 4 * format.channels : 4u;
    f.mBytesPerPacket = f.mBytesPerFrame;
    f.mFramesPerPacket = 1;
    f.mChannelsPerFrame = format.channels;
    f.mBitsPerChannel = 32;
    return f;
}

OSStatus UnitIO::start(const UnitIOConfig& config, std::unique_ptr<UnitIO>& out) {
    std::unique_ptr<UnitIO> io(new UnitIO(config));
    io->socket_ = connectTo(serverSocketPath());
    if (io->socket_ < 0) return kAudioHardwareBadDeviceError;  // no server: no device
    StartSessionRequest req{};
    req.hdr = {static_cast<uint32_t>(MsgType::kStartSession), nextSequence()};
    req.deviceID = config.device;
    req.directions = (config.input ? uint32_t{kSessionInput} : 0u) |
                     (config.output ? uint32_t{kSessionOutput} : 0u);
    req.pid = getpid();
    StartSessionReply rep{};
    int fds[2] = {-1, -1};
    int nfds = 0;
    const long n =
        roundTrip(io->socket_, &req, sizeof req, &rep, sizeof rep, kReplyTimeoutMs, fds, 2, &nfds);
    if (n != static_cast<long>(sizeof rep) || rep.status != kAudioHardwareNoError || nfds != 2) {
        for (int i = 0; i < nfds; ++i) close(fds[i]);
        if (n == static_cast<long>(sizeof rep) && rep.status != kAudioHardwareNoError) {
            return rep.status;
        }
        return kAudioHardwareBadDeviceError;
    }
    io->eventFd_ = fds[1];
    struct stat st {};
    const bool sized = fstat(fds[0], &st) == 0 && st.st_size >= 0 &&
                       static_cast<uint64_t>(st.st_size) == rep.sharedBytes &&
                       rep.sharedBytes >= sizeof(SessionShared);
    void* map = sized
                    ? mmap(nullptr, rep.sharedBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fds[0], 0)
                    : MAP_FAILED;
    close(fds[0]);
    if (map == MAP_FAILED) return kAudioHardwareUnspecifiedError;
    io->shared_ = static_cast<SessionShared*>(map);
    io->bytes_ = rep.sharedBytes;
    const SessionShared& sh = *io->shared_;
    if (sh.magic != kSessionMagic || sh.version != kSessionVersion ||
        sh.ringFrames != kRingFrames || sh.cycleSlots != kCycleSlots ||
        sh.inputChannels > kMaxChannels || sh.outputChannels > kMaxChannels ||
        sessionBytes(sh.inputChannels, sh.outputChannels) != rep.sharedBytes) {
        return kAudioHardwareUnspecifiedError;
    }
    const size_t channels = std::max({size_t{sh.inputChannels}, size_t{sh.outputChannels},
                                      size_t{config.outputFormat.channels}, size_t{1}});
    io->outputScratch_.assign(size_t{kMaxIOFrames} * channels, 0.f);
    io->interleaved_.assign(size_t{kMaxIOFrames} * channels, 0.f);
    io->inputScratch_.assign(size_t{kMaxIOFrames} * channels, 0.f);
    io->bufferList_.assign(offsetof(AudioBufferList, mBuffers) + channels * sizeof(AudioBuffer), 0);
    io->nextCycle_ = sh.cyclesPublished.load(std::memory_order_acquire);
    io->thread_ = std::thread(&UnitIO::threadMain, io.get());
    out = std::move(io);
    return kAudioHardwareNoError;
}

void UnitIO::stop() {
    if (!thread_.joinable()) return;
    stopping_.store(true, std::memory_order_release);
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(eventFd_, &one, sizeof one);
    thread_.join();
}

UnitIO::~UnitIO() {
    stop();
    if (shared_ != nullptr) munmap(shared_, bytes_);
    if (eventFd_ >= 0) close(eventFd_);
    if (socket_ >= 0) close(socket_);  // the server ends the session
}

void UnitIO::threadMain() {
    makeCurrentThreadRealtime(kClientIOPriority);
    if (config_.output) topUpOutput();
    pollfd fds[2] = {{eventFd_, POLLIN, 0}, {socket_, POLLIN, 0}};
    while (!stopping_.load(std::memory_order_acquire)) {
        if (poll(fds, 2, -1) < 0) continue;  // EINTR
        if (stopping_.load(std::memory_order_acquire)) break;
        if (fds[1].revents != 0) {
            alignas(8) uint8_t message[kMaxMessageBytes];
            const long n = receiveMessage(socket_, message, sizeof message);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
                gone_.store(true, std::memory_order_relaxed);  // the server has gone
                return;
            }
        }
        if (fds[0].revents != 0) {
            uint64_t count;
            [[maybe_unused]] ssize_t n = read(eventFd_, &count, sizeof count);
        }
        if (shared_->state.load(std::memory_order_acquire) == kStateGone) {
            gone_.store(true, std::memory_order_relaxed);
            return;
        }
        if (config_.input) deliverInput();
        if (config_.output) topUpOutput();
    }
}

void UnitIO::deliverInput() {
    SessionShared& sh = *shared_;
    const uint64_t published = sh.cyclesPublished.load(std::memory_order_acquire);
    constexpr uint64_t kKeep = kCycleSlots / 2;
    if (published - nextCycle_ > kKeep) {  // fell behind: the oldest cycles are gone
        skippedCycles_.fetch_add(published - kKeep - nextCycle_, std::memory_order_relaxed);
        nextCycle_ = published - kKeep;
    }
    for (; nextCycle_ < published && !stopping_.load(std::memory_order_relaxed); ++nextCycle_) {
        const CycleRecord& rec = sh.cycles[nextCycle_ & (kCycleSlots - 1)];
        Cycle c{};
        c.ringPos = rec.ringPos.load(std::memory_order_relaxed);
        c.cycle = rec.cycle.load(std::memory_order_relaxed);
        c.readDone = rec.readDoneHostTime.load(std::memory_order_relaxed);
        c.sampleTime = bitsDouble(rec.sampleTime.load(std::memory_order_relaxed));
        c.hostTime = rec.hostTime.load(std::memory_order_relaxed);
        c.frames = rec.frames.load(std::memory_order_relaxed);
        c.flags = rec.flags.load(std::memory_order_relaxed);
        const bool lapped =
            sh.cyclesPublished.load(std::memory_order_acquire) - nextCycle_ >= kCycleSlots - 1 ||
            sh.inputWritePos.load(std::memory_order_acquire) - c.ringPos >
                kRingFrames - kMaxIOFrames;
        if (lapped || c.frames > kMaxIOFrames) {
            skippedCycles_.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        if (config_.inputCallback.inputProc != nullptr) {
            AudioTimeStamp stamp{};
            stamp.mSampleTime = c.sampleTime;
            stamp.mHostTime = c.hostTime;
            stamp.mRateScalar = 1.0;
            stamp.mFlags = kAudioTimeStampSampleHostTimeValid | kAudioTimeStampRateScalarValid;
            AudioUnitRenderActionFlags flags = 0;
            current_ = &c;
            tRenderingUnit = this;
            config_.inputCallback.inputProc(config_.inputCallback.inputProcRefCon, &flags, &stamp,
                                            1, c.frames, nullptr);
            tRenderingUnit = nullptr;
            current_ = nullptr;
        }
        inputCycles_.fetch_add(1, std::memory_order_relaxed);
    }
}

const UnitIO* UnitIO::rendering() {
    return tRenderingUnit;
}

OSStatus UnitIO::render(UInt32 frames, AudioBufferList* data) const {
    if (tRenderingUnit != this || current_ == nullptr)
        return kAudioUnitErr_CannotDoInCurrentContext;
    if (data == nullptr) return kAudioUnitErr_InvalidParameter;
    if (frames > current_->frames || frames > config_.maxFrames) {
        return kAudioUnitErr_TooManyFramesToProcess;
    }
    const ClientFormat& format = config_.inputFormat;
    const uint32_t deviceChannels = shared_->inputChannels;
    const uint32_t buffers = format.interleaved ? 1 : format.channels;
    const size_t bytesPerBuffer = size_t{frames} * 4 * (format.interleaved ? format.channels : 1);
    if (data->mNumberBuffers < buffers) return kAudioUnitErr_InvalidParameter;
    for (uint32_t b = 0; b < buffers; ++b) {
        if (data->mBuffers[b].mData == nullptr ||
            data->mBuffers[b].mDataByteSize < bytesPerBuffer) {
            return kAudioUnitErr_InvalidParameter;
        }
    }
    ringRead(inputRing(shared_), kRingFrames, deviceChannels, current_->ringPos,
             inputScratch_.data(), frames);
    // A server that lapped this unit while it copied has overwritten what it copied.
    if (shared_->inputWritePos.load(std::memory_order_acquire) - current_->ringPos >
        kRingFrames - kMaxIOFrames) {
        return kAudioUnitErr_NoConnection;
    }
    for (uint32_t c = 0; c < format.channels; ++c) {
        const int from = mapChannel(c, deviceChannels);
        float* dst = static_cast<float*>(data->mBuffers[format.interleaved ? 0 : c].mData);
        const size_t step = format.interleaved ? format.channels : 1;
        if (format.interleaved) dst += c;
        for (uint32_t i = 0; i < frames; ++i) {
            dst[i * step] =
                from < 0 ? 0.f
                         : inputScratch_[size_t{i} * deviceChannels + static_cast<size_t>(from)];
        }
    }
    for (uint32_t b = 0; b < buffers; ++b) {
        data->mBuffers[b].mDataByteSize = static_cast<UInt32>(bytesPerBuffer);
    }
    return kAudioHardwareNoError;
}

bool UnitIO::currentCycle(StandinCycleInfo& out) const {
    if (tRenderingUnit != this || current_ == nullptr) return false;
    out.mCycle = current_->cycle;
    out.mReadInputHostTime = current_->readDone;
    out.mSampleTime = current_->sampleTime;
    out.mFrames = current_->frames;
    out.mFirstAfterStart = (current_->flags & kCycleFirstAfterStart) != 0;
    return true;
}

double UnitIO::deviceRate() const {
    return bitsDouble(shared_->sampleRate.load(std::memory_order_acquire));
}

StandinUnitCounters UnitIO::counters() const {
    StandinUnitCounters c{};
    c.mInputCycles = inputCycles_.load(std::memory_order_relaxed);
    c.mSkippedInputCycles = skippedCycles_.load(std::memory_order_relaxed);
    c.mOutputFrames = outputFrames_.load(std::memory_order_relaxed);
    c.mUnderrunFrames = shared_->underrunFrames.load(std::memory_order_relaxed);
    c.mFirstOutputKnown = shared_->firstKnown.load(std::memory_order_acquire);
    if (c.mFirstOutputKnown != 0) {
        c.mFirstOutputSampleTime =
            bitsDouble(shared_->firstSampleTime.load(std::memory_order_relaxed));
    }
    c.mDeviceGone = gone_.load(std::memory_order_relaxed) ? 1 : 0;
    return c;
}

void UnitIO::topUpOutput() {
    SessionShared& sh = *shared_;
    uint32_t frames = sh.ioFrameSize.load(std::memory_order_relaxed);
    if (frames == 0 || frames > kMaxIOFrames) return;  // the device has not run yet
    uint32_t lead = config_.leadFrames != 0 ? config_.leadFrames : 3 * frames;
    lead = std::clamp<uint32_t>(lead, frames, kRingFrames - kMaxIOFrames);
    for (;;) {
        const uint64_t written = sh.writePos.load(std::memory_order_relaxed);
        const uint64_t queued = written - sh.readPos.load(std::memory_order_acquire);
        if (queued + frames > lead || stopping_.load(std::memory_order_relaxed)) break;
        if (!renderOutputBlock(frames)) break;
    }
    if (!primed_) {
        sh.primed.store(1, std::memory_order_release);
        primed_ = true;
    }
}

bool UnitIO::renderOutputBlock(uint32_t frames) {
    SessionShared& sh = *shared_;
    const ClientFormat& format = config_.outputFormat;
    const uint64_t written = sh.writePos.load(std::memory_order_relaxed);
    auto* list = reinterpret_cast<AudioBufferList*>(bufferList_.data());
    const uint32_t buffers = format.interleaved ? 1 : format.channels;
    list->mNumberBuffers = buffers;
    for (uint32_t b = 0; b < buffers; ++b) {
        AudioBuffer& buffer = list->mBuffers[b];
        buffer.mNumberChannels = format.interleaved ? format.channels : 1;
        buffer.mDataByteSize = frames * 4 * buffer.mNumberChannels;
        buffer.mData = outputScratch_.data() + size_t{b} * frames;
    }
    std::memset(outputScratch_.data(), 0, size_t{frames} * format.channels * sizeof(float));

    // Where these frames will play, as far as the server's last cycle tells.
    AudioTimeStamp stamp{};
    // A sequence lock: the acquire loads keep the second look at the sequence after them.
    const uint64_t seq = sh.clockSeq.load(std::memory_order_acquire);
    const uint64_t clockPos = sh.clockReadPos.load(std::memory_order_acquire);
    const double clockTime = bitsDouble(sh.clockSampleTime.load(std::memory_order_acquire));
    if (seq != 0 && (seq & 1) == 0 && sh.clockSeq.load(std::memory_order_relaxed) == seq) {
        stamp.mSampleTime = clockTime + static_cast<double>(written - clockPos);
        stamp.mRateScalar = 1.0;
        stamp.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampRateScalarValid;
    }
    AudioUnitRenderActionFlags flags = 0;
    if (config_.renderCallback.inputProc != nullptr &&
        config_.renderCallback.inputProc(config_.renderCallback.inputProcRefCon, &flags, &stamp, 0,
                                         frames, list) != kAudioHardwareNoError) {
        std::memset(outputScratch_.data(), 0, size_t{frames} * format.channels * sizeof(float));
    }
    const uint32_t deviceChannels = sh.outputChannels;
    const float* scratch = outputScratch_.data();
    for (uint32_t d = 0; d < deviceChannels; ++d) {
        const int from = mapChannel(d, format.channels);
        for (uint32_t i = 0; i < frames; ++i) {
            float v = 0.f;
            if (from >= 0) {
                const auto f = static_cast<size_t>(from);
                v = format.interleaved ? scratch[size_t{i} * format.channels + f]
                                       : scratch[f * frames + i];
            }
            interleaved_[size_t{i} * deviceChannels + d] = v;
        }
    }
    ringWrite(outputRing(shared_), kRingFrames, deviceChannels, written, interleaved_.data(),
              frames);
    sh.writePos.store(written + frames, std::memory_order_release);
    outputFrames_.fetch_add(frames, std::memory_order_relaxed);
    return true;
}

}  // namespace halclient
