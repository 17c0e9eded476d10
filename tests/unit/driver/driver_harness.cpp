#include "driver_harness.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include "plugin_bundle.h"

namespace driver_test {
namespace {

void* gModule = nullptr;

std::optional<plugin_bundle::PlugInBundle> readBundle() {
    const auto type =
        plugin_bundle::fromCFUUIDBytes(CFUUIDGetUUIDBytes(kAudioServerPlugInTypeUUID));
    std::string error;
    auto bundle = plugin_bundle::readPlugInBundle(bundlePath(), type, error);
    if (!bundle) ADD_FAILURE() << bundlePath() << ": " << error;
    return bundle;
}

}  // namespace

const char* bundlePath() {
    return QW_DRIVER_BUNDLE;
}

std::string modulePath() {
    const auto bundle = readBundle();
    return bundle ? bundle->executablePath : std::string();
}

Factory loadFactory() {
    const auto bundle = readBundle();
    if (!bundle) return nullptr;
    if (gModule == nullptr) gModule = dlopen(bundle->executablePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (gModule == nullptr) {
        ADD_FAILURE() << "dlopen " << bundle->executablePath << ": " << dlerror();
        return nullptr;
    }
    return reinterpret_cast<Factory>(dlsym(gModule, bundle->factoryFunction.c_str()));
}

void unloadModule() {
    if (gModule != nullptr) dlclose(gModule);
    gModule = nullptr;
}

AudioServerPlugInDriverRef createDriver() {
    Factory factory = loadFactory();
    if (factory == nullptr) return nullptr;
    return static_cast<AudioServerPlugInDriverRef>(factory(nullptr, kAudioServerPlugInTypeUUID));
}

PropertyRead readProperty(AudioServerPlugInDriverRef driver, AudioObjectID object,
                          AudioObjectPropertyAddress where, UInt32 capacity) {
    PropertyRead read;
    read.bytes.assign(capacity, 0);
    read.status = table(driver).GetPropertyData(driver, object, 0, &where, 0, nullptr, capacity,
                                                &read.written, read.bytes.data());
    return read;
}

OSStatus setValue(AudioServerPlugInDriverRef driver, AudioObjectID object,
                  AudioObjectPropertySelector selector, const void* data, UInt32 size) {
    const AudioObjectPropertyAddress where = address(selector);
    return table(driver).SetPropertyData(driver, object, 0, &where, 0, nullptr, size, data);
}

OSStatus doIO(AudioServerPlugInDriverRef driver, UInt32 op, Float64 sampleTime, UInt32 frames,
              Float32* buffer) {
    AudioServerPlugInIOCycleInfo cycle{};
    cycle.mNominalIOBufferFrameSize = frames;
    cycle.mInputTime.mSampleTime = op == kAudioServerPlugInIOOperationReadInput ? sampleTime : -1;
    cycle.mOutputTime.mSampleTime = op == kAudioServerPlugInIOOperationWriteMix ? sampleTime : -1;
    const UInt32 stream = op == kAudioServerPlugInIOOperationReadInput ? 4 : 3;
    return table(driver).DoIOOperation(driver, 2, stream, 1, op, frames, &cycle, buffer, nullptr);
}

std::vector<Float32> readFrames(AudioServerPlugInDriverRef driver, Float64 sampleTime,
                                UInt32 frames) {
    std::vector<Float32> samples(2 * size_t{frames}, -99.0f);
    doIO(driver, kAudioServerPlugInIOOperationReadInput, sampleTime, frames, samples.data());
    return samples;
}

void writeFrames(AudioServerPlugInDriverRef driver, Float64 sampleTime,
                 const std::vector<Float32>& samples) {
    std::vector<Float32> copy = samples;  // the driver works in place
    doIO(driver, kAudioServerPlugInIOOperationWriteMix, sampleTime,
         static_cast<UInt32>(copy.size() / 2), copy.data());
}

}  // namespace driver_test
