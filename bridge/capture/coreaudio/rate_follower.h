#pragma once
// Capture follows the device when its nominal sample rate changes: a listener on the device
// wakes a thread of its own, which moves capture to the new rate off the audio thread.

#include <CoreAudio/CoreAudio.h>

#include "audio_format.h"
#include "capture.h"

// Once capture runs: registers the rate listener on `device`, starts the follower thread and
// has it read the rate once more, so that a change between set-up and registration is not
// missed. For each change the follower reads the device's own rate and, once the unit reports
// the same (asked every 100 ms, for at most 2 s: the unit may lag behind the notification),
// restarts capture at it (restartCaptureAt) and prints the rate line; a failed step prints its line
// and is tried again a second later. A refused registration prints one line and is tried again
// every second (one more line once it is taken). The link is never touched.
void startFollowingDeviceRate(AudioObjectID device, Capture& c, const AudioFormat& out);
