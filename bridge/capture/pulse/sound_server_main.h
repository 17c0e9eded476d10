#pragma once
// The start-up sequence when the bridge captures the desktop's sound server (Linux), after the
// banner: the server and the sink in place of the device lookup, then the same order as with
// the device: command line, link thread, capture, sender thread, statistics thread; then the
// main thread runs the sound server's main loop for the rest of the process's life.

// Returns only on a set-up failure before any thread starts (status 1); later failures exit.
int runWithSoundServer(int argc, char** argv);
