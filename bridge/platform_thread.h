#pragma once
// The only lines of the bridge that differ between platforms: thread scheduling and the main
// run loop.

// Raises the calling thread to the highest priority the platform allows it: user-interactive
// quality of service on macOS; on Linux the highest real-time priority (FIFO, else round-robin)
// when permitted, otherwise the thread stays as it is, without a message.
void raiseCurrentThreadPriority();

// Hands the calling (main) thread to the main run loop. It does not return in normal operation.
void runMainRunLoop();
