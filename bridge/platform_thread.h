#pragma once
// The only lines of the bridge that differ between platforms: thread scheduling and the main
// run loop; and threads whose stack size is chosen rather than the platform's default.

#include <cstddef>
#include <functional>

// The link thread's stack, the same on every platform: the 512 KiB macOS gives secondary
// threads, so what runs there is tried with the stack it gets on the Mac.
inline constexpr size_t kLinkThreadStackBytes = 512 * 1024;

// Runs `body` on a new detached thread with a stack of `stackBytes`. False when the thread
// cannot be made.
bool startDetachedThread(std::function<void()> body, size_t stackBytes);

// Raises the calling thread to the highest priority the platform allows it: user-interactive
// quality of service on macOS; on Linux the highest real-time priority (FIFO, else round-robin)
// when permitted, otherwise the thread stays as it is, without a message.
void raiseCurrentThreadPriority();

// Hands the calling (main) thread to the main run loop. It does not return in normal operation.
void runMainRunLoop();
