#include "device_io.h"

#include <mach/mach_time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "ipc/realtime.h"
#include "osutil/host_time.h"

namespace audioserver {
namespace {

// Sleeps until the host clock reads `ticks` (host ticks follow CLOCK_MONOTONIC).
void sleepUntilHost(uint64_t ticks) {
    const uint64_t ns = qw::hostTicksToNs(ticks);
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / 1000000000u);
    ts.tv_nsec = static_cast<long>(ns % 1000000000u);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

void setStamp(AudioTimeStamp& stamp, double sampleTime, uint64_t hostTime) {
    stamp = AudioTimeStamp{};
    stamp.mSampleTime = sampleTime;
    stamp.mHostTime = hostTime;
    stamp.mRateScalar = 1.0;
    stamp.mFlags = kAudioTimeStampSampleHostTimeValid | kAudioTimeStampRateScalarValid;
}

}  // namespace

DeviceIO::DeviceIO(AudioServerPlugInDriverRef driver, AudioObjectID device, bool realtime,
                   ServerBehaviour behaviour, int wakeFd)
    : driver_(driver),
      device_(device),
      wantRealtime_(realtime),
      behaviour_(behaviour),
      wakeFd_(wakeFd) {}

DeviceIO::~DeviceIO() {
    stop(ioClient_);
}

OSStatus DeviceIO::start(StreamInfo output, StreamInfo input, const IOSettings& settings,
                         UInt32 clientID) {
    if (running()) return kAudioHardwareNoError;
    if (settings.frameSize == 0 || settings.frameSize > qwipc::kMaxIOFrames) {
        return kAudioHardwareIllegalOperationError;
    }
    if (!(settings.sampleRate > 0) || output.channels > qwipc::kMaxChannels ||
        input.channels > qwipc::kMaxChannels) {
        return kAudioDeviceUnsupportedFormatError;
    }
    output_ = output;
    input_ = input;
    settings_ = settings;
    const mach_timebase_info_data_t tb = qw::hostTimebase();
    ticksPerFrame_ = 1e9 / settings.sampleRate * tb.denom / tb.numer;
    // Allocated and touched here, before the thread exists: the cycle itself allocates nothing.
    const size_t maxChannels =
        std::max({size_t{output.channels}, size_t{input.channels}, size_t{1}});
    inputBuffer_.assign(size_t{qwipc::kMaxIOFrames} * std::max<size_t>(input.channels, 1), 0.f);
    mixBuffer_.assign(size_t{qwipc::kMaxIOFrames} * std::max<size_t>(output.channels, 1), 0.f);
    scratch_.assign(size_t{qwipc::kMaxIOFrames} * maxChannels, 0.f);
    stampCheck_.setPeriod(settings.zeroTimeStampPeriod);
    pendingRate_.store(0.0, std::memory_order_relaxed);
    const OSStatus rc = (*driver_)->StartIO(driver_, device_, clientID);
    if (rc != kAudioHardwareNoError) return rc;
    // Asked as IO starts, never inside the cycle.
    read_ = askWillDo(kAudioServerPlugInIOOperationReadInput, clientID);
    write_ = askWillDo(kAudioServerPlugInIOOperationWriteMix, clientID);
    stopping_.store(false, std::memory_order_relaxed);
    ioClient_ = clientID;
    thread_ = std::thread(&DeviceIO::threadMain, this, clientID);
    return kAudioHardwareNoError;
}

void DeviceIO::stop(UInt32 clientID) {
    if (!running()) return;
    stopping_.store(true, std::memory_order_release);
    thread_.join();
    (*driver_)->StopIO(driver_, device_, clientID);
}

bool DeviceIO::attach(Session* session) {
    for (auto& slot : sessions_) {
        Session* empty = nullptr;
        if (slot.compare_exchange_strong(empty, session, std::memory_order_seq_cst)) return true;
    }
    return false;
}

void DeviceIO::detach(Session* session) {
    for (auto& slot : sessions_) {
        Session* expected = session;
        if (slot.compare_exchange_strong(expected, nullptr, std::memory_order_seq_cst)) break;
    }
    if (!running()) return;
    // Wait out a cycle that may have picked the session up before it left its slot.
    const uint64_t seen = epoch_.load(std::memory_order_seq_cst);
    if ((seen & 1) == 0) return;
    while (epoch_.load(std::memory_order_seq_cst) == seen) {
        timespec pause{0, 100000};
        nanosleep(&pause, nullptr);
    }
}

size_t DeviceIO::sessionCount() const {
    size_t n = 0;
    for (const auto& slot : sessions_) n += slot.load(std::memory_order_relaxed) != nullptr;
    return n;
}

uint64_t DeviceIO::hostAt(double sampleTime, double zeroSample, uint64_t zeroHost) const {
    const auto offset =
        static_cast<int64_t>(std::llround((sampleTime - zeroSample) * ticksPerFrame_));
    return zeroHost + static_cast<uint64_t>(offset);
}

OperationPlan DeviceIO::askWillDo(UInt32 operation, UInt32 clientID) const {
    Boolean will = false, inPlace = true;
    const OSStatus rc =
        (*driver_)->WillDoIOOperation(driver_, device_, clientID, operation, &will, &inPlace);
    return {rc == kAudioHardwareNoError && will != 0, inPlace != 0};
}

void DeviceIO::changeRate(double sampleRate) {
    if (!(sampleRate > 0)) return;
    settings_.sampleRate = sampleRate;
    pendingRate_.store(sampleRate, std::memory_order_release);
}

bool DeviceIO::takeTimeStampViolation(TimeStampViolation& violation) {
    if (!violationWaiting_.load(std::memory_order_acquire)) return false;
    violation = violation_;
    violationWaiting_.store(false, std::memory_order_release);
    return true;
}

void DeviceIO::zeroTimeStamp(UInt32 clientID, Float64& sample, UInt64& host, UInt64& seed) {
    (*driver_)->GetZeroTimeStamp(driver_, device_, clientID, &sample, &host, &seed);
    TimeStampViolation v{};
    if (stampCheck_.take(sample, host, seed, v)) return;
    timeStampViolations_.fetch_add(1, std::memory_order_acq_rel);
    if (violationWaiting_.load(std::memory_order_acquire)) return;  // the log has one to show
    violation_ = v;
    violationWaiting_.store(true, std::memory_order_release);
    if (wakeFd_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);  // non-blocking eventfd
    }
}

// The new rate of a configuration change carried out while IO ran.
void DeviceIO::takePendingRate() {
    const double rate = pendingRate_.exchange(0.0, std::memory_order_acq_rel);
    if (rate <= 0) return;
    const mach_timebase_info_data_t tb = qw::hostTimebase();
    ticksPerFrame_ = 1e9 / rate * tb.denom / tb.numer;
}

void DeviceIO::threadMain(UInt32 clientID) {
    realtime_.store(wantRealtime_ && qwipc::makeCurrentThreadRealtime(qwipc::kServerIOPriority),
                    std::memory_order_relaxed);
    const AudioServerPlugInDriverInterface& t = **driver_;
    const uint32_t frames = settings_.frameSize;
    Float64 zeroSample = 0;
    UInt64 zeroHost = 0, seed = 0;
    // The first cycle whose input lies wholly after the latest zero time stamp and not before now.
    auto anchor = [&]() {
        zeroTimeStamp(clientID, zeroSample, zeroHost, seed);
        const double now = zeroSample + static_cast<double>(
                                            static_cast<int64_t>(mach_absolute_time() - zeroHost)) /
                                            ticksPerFrame_;
        const double cycles = std::max(1.0, std::ceil((now - zeroSample) / frames));
        return zeroSample + cycles * frames;
    };
    double mainTime = anchor();
    UInt64 anchorSeed = seed;
    uint64_t cycle = 0;
    bool first = true;
    while (!stopping_.load(std::memory_order_acquire)) {
        const double ticksPerFrame = ticksPerFrame_;
        takePendingRate();
        zeroTimeStamp(clientID, zeroSample, zeroHost, seed);
        if (seed != anchorSeed) {  // the device's timeline changed: start afresh
            mainTime = anchor();
            anchorSeed = seed;
            first = true;
        } else if (ticksPerFrame != ticksPerFrame_) {  // the same timeline at a new rate
            mainTime = anchor();
        }
        const uint64_t planned = hostAt(mainTime, zeroSample, zeroHost);
        sleepUntilHost(planned);
        if (stopping_.load(std::memory_order_acquire)) break;
        const uint64_t woke = mach_absolute_time();
        stats_.jitter.record(woke > planned ? qw::hostTicksToNs(woke - planned) : 0);
        epoch_.fetch_add(1, std::memory_order_seq_cst);
        for (;;) {
            runCycle(mainTime, zeroSample, zeroHost, cycle++, first);
            first = false;
            mainTime += frames;
            const uint64_t now = mach_absolute_time();
            const uint64_t next = hostAt(mainTime, zeroSample, zeroHost);
            if (next > now || stopping_.load(std::memory_order_acquire)) break;
            if (static_cast<double>(now - next) / ticksPerFrame_ > kMaxCatchUpFrames) {
                // Too far behind to catch up: restart the device's timeline. Skipping ahead
                // instead would leave ring positions unwritten that later cycles read.
                t.StopIO(driver_, device_, clientID);
                t.StartIO(driver_, device_, clientID);
                mainTime = anchor();
                anchorSeed = seed;
                first = true;
                stats_.resyncs.fetch_add(1, std::memory_order_relaxed);
                break;
            }
            stats_.catchUpCycles.fetch_add(1, std::memory_order_relaxed);
        }
        const uint64_t busy = qw::hostTicksToNs(mach_absolute_time() - woke);
        stats_.work.record(busy);
        stats_.workTotalNs.fetch_add(busy, std::memory_order_relaxed);
        epoch_.fetch_add(1, std::memory_order_seq_cst);
    }
}

void DeviceIO::runCycle(double mainTime, double zeroSample, uint64_t zeroHost, uint64_t cycle,
                        bool first) {
    const AudioServerPlugInIOCycleInfo info = cycleInfo(mainTime, zeroSample, zeroHost, cycle);
    const AudioServerPlugInDriverInterface& t = **driver_;
    const UInt32 frames = info.mNominalIOBufferFrameSize;
    stats_.cycles.fetch_add(1, std::memory_order_relaxed);
    Session* active[kMaxSessions];
    const std::span<Session* const> sessions(active, takeSessions(active));
    if (behaviour_.cycleOperations) {
        t.BeginIOOperation(driver_, device_, ioClient_, kAudioServerPlugInIOOperationCycle, frames,
                           &info);
    }
    if (input_.local != 0) readInput(info, sessions, first);
    if (output_.local != 0) writeMix(info, sessions);
    if (behaviour_.cycleOperations) {
        t.EndIOOperation(driver_, device_, ioClient_, kAudioServerPlugInIOOperationCycle, frames,
                         &info);
    }
    for (Session* s : sessions) {
        if (s->wantsOutput()) s->signal();
    }
}

AudioServerPlugInIOCycleInfo DeviceIO::cycleInfo(double mainTime, double zeroSample,
                                                 uint64_t zeroHost, uint64_t cycle) const {
    const uint32_t frames = settings_.frameSize;
    AudioServerPlugInIOCycleInfo info{};
    info.mIOCycleCounter = cycle;
    info.mNominalIOBufferFrameSize = frames;
    const double inputTime = mainTime - frames - settings_.inputSafetyOffset;
    const double outputTime = mainTime + frames + settings_.outputSafetyOffset;
    setStamp(info.mInputTime, inputTime, hostAt(inputTime, zeroSample, zeroHost));
    setStamp(info.mOutputTime, outputTime, hostAt(outputTime, zeroSample, zeroHost));
    setStamp(info.mCurrentTime, mainTime, hostAt(mainTime, zeroSample, zeroHost));
    info.mDeviceHostTicksPerFrame = ticksPerFrame_;
    return info;
}

size_t DeviceIO::takeSessions(Session** active) const {
    size_t count = 0;
    for (const auto& slot : sessions_) {
        if (Session* s = slot.load(std::memory_order_seq_cst)) active[count++] = s;
    }
    return count;
}

void DeviceIO::readInput(const AudioServerPlugInIOCycleInfo& info,
                         std::span<Session* const> sessions, bool first) {
    const uint32_t frames = settings_.frameSize;
    if (read_.willDo) {
        doOperation(kAudioServerPlugInIOOperationReadInput, input_.local, info,
                    inputBuffer_.data());
    } else {
        std::memset(inputBuffer_.data(), 0, size_t{frames} * input_.channels * sizeof(float));
    }
    const uint64_t readDone = mach_absolute_time();
    for (Session* s : sessions) {
        if (!s->wantsInput() || s->inputChannels() != input_.channels) continue;
        s->deliverInput(inputBuffer_.data(), frames, info.mInputTime.mSampleTime,
                        info.mInputTime.mHostTime, readDone, info.mIOCycleCounter, first);
        if (!s->wantsOutput()) s->signal();
    }
}

void DeviceIO::writeMix(const AudioServerPlugInIOCycleInfo& info,
                        std::span<Session* const> sessions) {
    const uint32_t frames = settings_.frameSize;
    std::memset(mixBuffer_.data(), 0, size_t{frames} * output_.channels * sizeof(float));
    uint64_t missing = 0;
    bool playing = false;
    for (Session* s : sessions) {
        if (s->wantsOutput() && s->outputChannels() == output_.channels) {
            playing = true;
            missing += s->mixOutput(mixBuffer_.data(), frames, info.mOutputTime.mSampleTime,
                                    info.mOutputTime.mHostTime);
        }
    }
    if (missing > 0) stats_.underrunFrames.fetch_add(missing, std::memory_order_relaxed);
    if (write_.willDo && (playing || behaviour_.writeMixWhileIdle)) {
        doOperation(kAudioServerPlugInIOOperationWriteMix, output_.local, info, mixBuffer_.data());
    }
}

// The secondary buffer is always passed, for a plug-in that works out of place.
void DeviceIO::doOperation(UInt32 operation, AudioObjectID stream,
                           const AudioServerPlugInIOCycleInfo& info, float* buffer) {
    const AudioServerPlugInDriverInterface& t = **driver_;
    const UInt32 frames = info.mNominalIOBufferFrameSize;
    t.BeginIOOperation(driver_, device_, ioClient_, operation, frames, &info);
    t.DoIOOperation(driver_, device_, stream, ioClient_, operation, frames, &info, buffer,
                    scratch_.data());
    t.EndIOOperation(driver_, device_, ioClient_, operation, frames, &info);
}

}  // namespace audioserver
