// What the server holds a plug-in's objects to when it first sees them, beyond what it needs to
// run them. Each broken rule comes back as one line for the log.
#pragma once
#include <string>
#include <vector>

#include "plugin_loader.h"

namespace audioserver {

// The least zero time stamp period the server takes.
inline constexpr UInt32 kMinZeroTimeStampPeriod = 10923;

// Why a device's zero time stamp period (0: none given) cannot be taken, or empty.
std::string zeroTimeStampPeriodProblem(UInt32 period);

// OwnedObjects of `object` asked with each class qualifier that matters: every object of a named
// class or of a class derived from it, and no other.
void checkOwnedObjects(const PlugIn& plugIn, AudioObjectID object,
                       std::vector<std::string>& violations);

// The plug-in's UID translation: its device's own UID gives the device, a UID that names none of
// its devices gives kAudioObjectUnknown.
void checkUIDTranslation(const PlugIn& plugIn, AudioObjectID device, const std::string& uid,
                         std::vector<std::string>& violations);

}  // namespace audioserver
