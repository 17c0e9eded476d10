#include "bridge/capture/coreaudio/unit_failure.h"

#include "bridge/capture/coreaudio/capture_lines.h"

namespace {

const char* callName(UnitStep step) {
    switch (step) {
        case UnitStep::findComponent:
            return "AudioComponentFindNext";
        case UnitStep::makeInstance:
            return "AudioComponentInstanceNew";
        case UnitStep::setFormat:
            return "AudioUnitSetProperty";
        case UnitStep::initialize:
            return "AudioUnitInitialize";
        case UnitStep::start:
            return "AudioOutputUnitStart";
        case UnitStep::stop:
            return "AudioOutputUnitStop";
        case UnitStep::uninitialize:
            return "AudioUnitUninitialize";
    }
    return "";
}

std::string failedCall(const char* call, OSStatus status) {
    return std::string(call) + " failed (" + std::to_string(status) + ")";
}

}  // namespace

std::string unitFailureLine(const UnitFailure& failure) {
    if (failure.step == UnitStep::findComponent) return "no HAL component";
    // Without an instance there is nothing to configure: it is the initialisation that fails.
    const UnitStep step =
        failure.step == UnitStep::makeInstance ? UnitStep::initialize : failure.step;
    return failedCall(callName(step), failure.status);
}

std::string restartFailureLine(double rate, const UnitFailure& failure) {
    return "capture at " + rateText(rate) +
           " Hz: " + failedCall(callName(failure.step), failure.status) +
           " \u2014 trying again in a second";
}
