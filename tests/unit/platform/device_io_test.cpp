// The IO cycle against the recording fake plug-in: cycle times, the loopback delay, mixing,
// delivery, catching up after a stall, and that the cycle allocates nothing.
#include "device_io.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <new>
#include <thread>

#include "eventually.h"
#include "fake_plugin.h"
#include "plugin_host.h"
#include "plugin_loader.h"

using namespace audioserver;
using namespace std::chrono_literals;

namespace {

std::atomic<long> gIOThreadAllocations{0};

}  // namespace

// Replacing new and delete together keeps them matched; GCC cannot see that.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

// Counts allocations made on the server's IO thread (the thread the fake plug-in saw asking for
// zero time stamps).
void* operator new(size_t size) {
    if (pthread_equal(pthread_self(), fakeplugin::ioThread())) gIOThreadAllocations.fetch_add(1);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}

namespace {

constexpr UInt32 kFrames = 256;

class DeviceIOTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fakeplugin::Config config;
        config.frameSize = kFrames;
        fakeplugin::configure(config);
        std::string error;
        driver_ = instantiatePlugIn(fakeplugin::create, error);
        ASSERT_NE(driver_, nullptr) << error;
        initPlugInHost(host_, &queue_, 0);
        ASSERT_EQ((*driver_)->Initialize(driver_, &host_.iface), 0);
        io_ = std::make_unique<DeviceIO>(driver_, fakeplugin::kDevice, false);
    }

    OSStatus start() {
        IOSettings settings;
        settings.frameSize = kFrames;
        settings.sampleRate = 48000.0;
        settings.zeroTimeStampPeriod = 12000;
        return io_->start({fakeplugin::kOutputStream, 2}, {fakeplugin::kInputStream, 2}, settings,
                          1);
    }

    // Queues `frames` frames of output whose left and right samples are value(n).
    template <class Value>
    static void play(Session& s, uint32_t frames, Value value) {
        qwipc::SessionShared& sh = *s.shared();
        std::vector<float> block(size_t{frames} * 2);
        for (uint32_t n = 0; n < frames; ++n) block[2 * n] = block[2 * n + 1] = value(n);
        const uint64_t at = sh.writePos.load();
        qwipc::ringWrite(qwipc::outputRing(s.shared()), qwipc::kRingFrames, 2, at, block.data(),
                         frames);
        sh.writePos.store(at + frames);
        sh.primed.store(1);
    }

    HostQueue queue_;
    PlugInHost host_{};
    AudioServerPlugInDriverRef driver_ = nullptr;
    std::unique_ptr<DeviceIO> io_;
};

TEST_F(DeviceIOTest, CyclesReadInputBeforeMainAndWriteOutputAfterItOneBufferEachWay) {
    ASSERT_EQ(start(), 0);
    std::this_thread::sleep_for(150ms);
    io_->stop(1);
    const auto log = fakeplugin::ioLog();
    ASSERT_GE(log.size(), 20u);
    for (size_t i = 0; i + 1 < log.size(); i += 2) {
        const auto& read = log[i];
        const auto& write = log[i + 1];
        ASSERT_EQ(read.operation, kAudioServerPlugInIOOperationReadInput);
        ASSERT_EQ(write.operation, kAudioServerPlugInIOOperationWriteMix);
        EXPECT_EQ(read.cycle, i / 2);
        EXPECT_EQ(write.cycle, read.cycle);
        EXPECT_EQ(read.frames, kFrames);
        EXPECT_EQ(read.sampleTime, read.mainTime - kFrames);
        EXPECT_EQ(write.sampleTime, write.mainTime + kFrames);
        EXPECT_EQ(read.mainTime, log[0].mainTime + kFrames * read.cycle);
    }
    EXPECT_EQ(fakeplugin::startCount(), 1);
    EXPECT_EQ(fakeplugin::stopCount(), 1);
}

TEST_F(DeviceIOTest, AFrameWrittenAtOutputTimeTIsReadTwoCyclesLaterAtInputTimeT) {
    auto out = Session::create(qwipc::kSessionOutput, 2, 2, 1, 0);
    auto in = Session::create(qwipc::kSessionInput, 2, 2, 2, 0);
    play(*out, 40 * kFrames, [](uint32_t n) { return static_cast<float>(n + 1); });
    ASSERT_TRUE(io_->attach(out.get()));
    ASSERT_TRUE(io_->attach(in.get()));
    ASSERT_EQ(start(), 0);
    std::this_thread::sleep_for(150ms);
    io_->stop(1);
    io_->detach(out.get());
    io_->detach(in.get());

    std::map<double, fakeplugin::IORecord> writes, reads;
    for (const auto& r : fakeplugin::ioLog()) {
        (r.operation == kAudioServerPlugInIOOperationWriteMix ? writes : reads)[r.sampleTime] = r;
    }
    size_t matched = 0;
    for (const auto& [time, write] : writes) {
        const auto read = reads.find(time);
        if (read == reads.end()) continue;
        EXPECT_EQ(read->second.cycle, write.cycle + 2) << "at sample time " << time;
        EXPECT_EQ(read->second.firstSample, write.firstSample);
        ++matched;
    }
    EXPECT_GE(matched, 10u);

    // The input session got every cycle, in order, with the frames the device read.
    const qwipc::SessionShared& sh = *in->shared();
    const uint64_t cycles = sh.cyclesPublished.load();
    ASSERT_GE(cycles, 10u);
    const double firstInput = reads.begin()->first;
    for (uint64_t c = 0; c < cycles; ++c) {
        const qwipc::CycleRecord& rec = sh.cycles[c];
        EXPECT_EQ(rec.frames.load(), kFrames);
        EXPECT_EQ(rec.ringPos.load(), c * kFrames);
        const double t = qwipc::bitsDouble(rec.sampleTime.load());
        EXPECT_EQ(t, firstInput + static_cast<double>(c * kFrames));
        const float got = qwipc::inputRing(in->shared())[rec.ringPos.load() * 2];
        EXPECT_EQ(got, reads[t].firstSample);
    }
    // The first output frame went out at the first cycle's output time.
    EXPECT_EQ(out->shared()->firstKnown.load(), 1u);
    EXPECT_EQ(qwipc::bitsDouble(out->shared()->firstSampleTime.load()), writes.begin()->first);
}

TEST_F(DeviceIOTest, OutputSessionsAreSummedAndMissingFramesAreCountedAsUnderrun) {
    auto a = Session::create(qwipc::kSessionOutput, 2, 2, 1, 0);
    auto b = Session::create(qwipc::kSessionOutput, 2, 2, 2, 0);
    play(*a, 8 * kFrames, [](uint32_t) { return 0.25f; });
    play(*b, 4 * kFrames, [](uint32_t) { return 0.5f; });
    ASSERT_TRUE(io_->attach(a.get()));
    ASSERT_TRUE(io_->attach(b.get()));
    ASSERT_EQ(start(), 0);
    std::this_thread::sleep_for(120ms);
    io_->stop(1);
    io_->detach(a.get());
    io_->detach(b.get());
    std::vector<float> mixed;
    for (const auto& r : fakeplugin::ioLog()) {
        if (r.operation == kAudioServerPlugInIOOperationWriteMix) mixed.push_back(r.firstSample);
    }
    ASSERT_GE(mixed.size(), 10u);
    for (size_t c = 0; c < mixed.size(); ++c) {
        const float want = (c < 8 ? 0.25f : 0.f) + (c < 4 ? 0.5f : 0.f);
        EXPECT_EQ(mixed[c], want) << "cycle " << c;
    }
    EXPECT_EQ(a->shared()->readPos.load(), 8u * kFrames);
    EXPECT_EQ(b->shared()->underrunFrames.load(), (mixed.size() - 4) * kFrames);
}

TEST_F(DeviceIOTest, AStalledCycleIsCaughtUpWithoutLosingACycle) {
    auto in = Session::create(qwipc::kSessionInput, 2, 2, 1, 0);
    ASSERT_TRUE(io_->attach(in.get()));
    ASSERT_EQ(start(), 0);
    std::this_thread::sleep_for(40ms);
    fakeplugin::setStall(40);  // about seven cycles
    // Stop once the schedule has gone on well past the stall, however slowly the machine runs.
    const qwipc::SessionShared& published = *in->shared();
    EXPECT_TRUE(eventually([&] { return published.cyclesPublished.load() >= 36; }, 10s));
    io_->stop(1);
    io_->detach(in.get());
    const auto stats = io_->stats().snapshot();
    EXPECT_GE(stats.mCatchUpCycles, 6u);
    EXPECT_EQ(stats.mResyncs, 0u);
    const qwipc::SessionShared& sh = *in->shared();
    const uint64_t cycles = sh.cyclesPublished.load();
    const double first = qwipc::bitsDouble(sh.cycles[0].sampleTime.load());
    for (uint64_t c = 0; c < cycles; ++c) {
        EXPECT_EQ(qwipc::bitsDouble(sh.cycles[c].sampleTime.load()),
                  first + static_cast<double>(c * kFrames));
    }
    // After catching up the schedule is back on the clock: about one cycle per 5.3 ms.
    EXPECT_GE(cycles, 30u);
}

TEST_F(DeviceIOTest, AStallTooLongToCatchUpRestartsTheDeviceTimeline) {
    auto in = Session::create(qwipc::kSessionInput, 2, 2, 1, 0);
    ASSERT_TRUE(io_->attach(in.get()));
    ASSERT_EQ(start(), 0);
    std::this_thread::sleep_for(20ms);
    fakeplugin::setStall(DeviceIO::kMaxCatchUpFrames * 1000 / 48000 + 100);
    // The restart follows the stalled cycle (about 0.8 s from now); stopping before it would
    // leave nothing to see on a slow machine. Then one cycle after the restart.
    const qwipc::SessionShared& sh = *in->shared();
    ASSERT_TRUE(eventually([&] { return io_->stats().snapshot().mResyncs >= 1; }, 10s));
    const uint64_t atRestart = sh.cyclesPublished.load();
    ASSERT_TRUE(eventually([&] { return sh.cyclesPublished.load() > atRestart; }, 5s));
    io_->stop(1);
    io_->detach(in.get());
    EXPECT_EQ(io_->stats().snapshot().mResyncs, 1u);
    EXPECT_EQ(fakeplugin::startCount(), 2);
    EXPECT_EQ(fakeplugin::stopCount(), 2);
    EXPECT_EQ(io_->timeStampViolations(), 0u);  // the restart began a timeline with a new seed
    int restarts = 0;
    for (uint64_t c = 1; c < sh.cyclesPublished.load(); ++c) {
        restarts += (sh.cycles[c].flags.load() & qwipc::kCycleFirstAfterStart) != 0;
    }
    EXPECT_EQ(restarts, 1);
}

TEST_F(DeviceIOTest, SessionsComeAndGoWhileTheCycleRunsWithoutAllocatingOnTheIOThread) {
    ASSERT_EQ(start(), 0);
    // The counter is armed once the IO thread has asked for its first zero time stamp.
    ASSERT_TRUE(eventually([] { return !pthread_equal(fakeplugin::ioThread(), pthread_t{}); }, 5s));
    const long before = gIOThreadAllocations.load();
    for (int i = 0; i < 100; ++i) {
        auto in = Session::create(qwipc::kSessionInput, 2, 2, 1, 0);
        auto out = Session::create(qwipc::kSessionOutput, 2, 2, 2, 0);
        play(*out, kFrames, [](uint32_t) { return 0.1f; });
        ASSERT_TRUE(io_->attach(in.get()));
        ASSERT_TRUE(io_->attach(out.get()));
        std::this_thread::sleep_for(std::chrono::microseconds(500 + 97 * i % 3000));
        io_->detach(in.get());
        io_->detach(out.get());
    }
    io_->stop(1);
    EXPECT_GT(io_->stats().snapshot().mCycles, 20u);
    EXPECT_EQ(gIOThreadAllocations.load(), before);
    EXPECT_EQ(io_->sessionCount(), 0u);
}

TEST_F(DeviceIOTest, RefusesBufferSizesItCannotRun) {
    IOSettings settings;
    settings.frameSize = qwipc::kMaxIOFrames + 1;
    EXPECT_EQ(
        io_->start({fakeplugin::kOutputStream, 2}, {fakeplugin::kInputStream, 2}, settings, 1),
        kAudioHardwareIllegalOperationError);
    EXPECT_FALSE(io_->running());
    EXPECT_EQ(fakeplugin::startCount(), 0);
}

}  // namespace
