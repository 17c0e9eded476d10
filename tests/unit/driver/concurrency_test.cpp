// Several host threads at once: IO reads and writes, clients starting and stopping, property
// reads and changes. Run under ThreadSanitizer; the checks here catch torn blocks.
#include <CoreAudio/AudioHardware.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "driver_harness.h"
#include "fake_host.h"

using namespace driver_test;

namespace {

constexpr UInt32 kFrames = 512;
constexpr int kRounds = 1500;

// Every block written holds one value; a block read must too (a write or a clear of the ring
// never shows half done).
bool uniform(const std::vector<Float32>& samples) {
    for (Float32 v : samples) {
        if (v != samples[0]) return false;
    }
    return true;
}

// Blocks on one grid, one of them across the ring's end (384000 = 750 blocks).
Float64 blockStart(int n) {
    return static_cast<Float64>(n % 1000) * kFrames + kFrames / 2;
}

}  // namespace

TEST(DriverConcurrency, IOStartStopAndPropertiesFromManyThreads) {
    AudioServerPlugInDriverRef driver = createDriver();
    ASSERT_NE(driver, nullptr);
    FakeHost host(driver, /*performAtOnce=*/true);
    const auto& ops = table(driver);
    ASSERT_EQ(ops.Initialize(driver, host.ref()), 0);
    ASSERT_EQ(ops.StartIO(driver, 2, 1), 0);  // keeps the device running throughout

    std::atomic<int> tornBlocks{0};
    std::atomic<int> badAnswers{0};
    std::vector<std::thread> threads;
    for (int writer = 0; writer < 2; ++writer) {
        threads.emplace_back([&, writer] {
            std::vector<Float32> samples(2 * kFrames);
            for (int round = 0; round < kRounds; ++round) {
                std::fill(samples.begin(), samples.end(),
                          static_cast<Float32>(writer * 100000 + round));
                const Float64 start = blockStart(round * 2 + writer);
                doIO(driver, kAudioServerPlugInIOOperationWriteMix, start, kFrames, samples.data());
            }
        });
    }
    threads.emplace_back([&] {
        for (int round = 0; round < kRounds; ++round) {
            if (!uniform(readFrames(driver, blockStart(round), kFrames))) ++tornBlocks;
        }
    });
    threads.emplace_back([&] {
        for (int round = 0; round < kRounds / 10; ++round) {
            ops.StartIO(driver, 2, 2);
            ops.StopIO(driver, 2, 2);
        }
    });
    threads.emplace_back([&] {
        for (int round = 0; round < kRounds; ++round) {
            const UInt32 frames = 16u << (round % 8);
            setValue(driver, 2, kAudioDevicePropertyBufferFrameSize, &frames, sizeof frames);
            const Float64 rate = round % 2 == 0 ? 44100.0 : 96000.0;
            setValue(driver, 2, kAudioDevicePropertyNominalSampleRate, &rate, sizeof rate);
        }
    });
    threads.emplace_back([&] {
        UInt64 lastSeed = 0;
        Float64 lastSampleTime = 0;
        for (int round = 0; round < kRounds; ++round) {
            const auto f = readValue<AudioStreamBasicDescription>(driver, 4, address('sfmt'));
            const auto rate = readValue<Float64>(driver, 2, address('nsrt'));
            const auto size = readValue<UInt32>(driver, 2, address('fsiz'));
            const auto running = readValue<UInt32>(driver, 2, address('goin'));
            Float64 sampleTime = -1;
            UInt64 hostTime = 0, seed = 0;
            ops.GetZeroTimeStamp(driver, 2, 1, &sampleTime, &hostTime, &seed);
            const bool sane = f.mChannelsPerFrame == 2 &&
                              (rate == 44100.0 || rate == 96000.0 || rate == 48000.0) &&
                              size >= 16 && size <= 2048 && running >= 1 && seed >= lastSeed &&
                              (seed > lastSeed || sampleTime >= lastSampleTime) && sampleTime >= 0;
            if (!sane) ++badAnswers;
            lastSeed = seed;
            lastSampleTime = sampleTime;
        }
    });
    for (auto& t : threads) t.join();

    EXPECT_EQ(tornBlocks.load(), 0);
    EXPECT_EQ(badAnswers.load(), 0);
    EXPECT_EQ(readValue<UInt32>(driver, 2, address('goin')), 1u);
    EXPECT_EQ(host.requests().size(), static_cast<size_t>(kRounds));
    EXPECT_EQ(host.notifications().size(), static_cast<size_t>(kRounds));
}

// Several clients starting from idle at once while IO runs: the clear of the ring and the copies
// never overlap.
TEST(DriverConcurrency, StartsFromIdleWhileIORuns) {
    AudioServerPlugInDriverRef driver = createDriver();
    ASSERT_NE(driver, nullptr);
    const auto& ops = table(driver);
    std::atomic<bool> stop{false};
    std::atomic<int> tornBlocks{0};
    std::thread io([&] {
        std::vector<Float32> samples(2 * kFrames, 1.0f);
        while (!stop.load()) {
            doIO(driver, kAudioServerPlugInIOOperationWriteMix, 0, kFrames, samples.data());
            if (!uniform(readFrames(driver, 0, kFrames))) ++tornBlocks;
        }
    });
    std::vector<std::thread> clients;
    for (UInt32 client = 1; client <= 3; ++client) {
        clients.emplace_back([&, client] {
            for (int round = 0; round < 100; ++round) {
                ops.StartIO(driver, 2, client);
                ops.StopIO(driver, 2, client);
            }
        });
    }
    for (auto& t : clients) t.join();
    stop = true;
    io.join();
    EXPECT_EQ(tornBlocks.load(), 0);
    EXPECT_EQ(readValue<UInt32>(driver, 2, address('goin')), 0u);
}
