#pragma once
// Driving libpulse's main loop on the calling thread, with a bound on every wait.

#include <pulse/mainloop.h>

#include <functional>

// Runs `loop` until `done()` is true (checked before each round) or `seconds` have passed.
// False on time-out or when the loop fails. Each round waits at most 50 ms for an event.
bool iterateUntil(pa_mainloop* loop, const std::function<bool()>& done, double seconds);
