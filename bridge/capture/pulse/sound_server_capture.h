#pragma once
// The bridge's capture on Linux: the quillwave sink's monitor, from the desktop's sound server.
// One program-wide capture, all on the thread that calls these (the main thread): libpulse's
// main loop runs there, and the monitor's pieces are queued from there.

#include <string>

struct SoundServerStep {
    bool ok = false;
    std::string line;       // the line to print: on success the sink line or capture line,
                            // otherwise the failure
    bool noServer = false;  // failed because no server answered
    std::string why;        // the server's or libpulse's reason for a failure
};

// Start-up, before any thread starts: connects to the server and finds or makes the sink.
SoundServerStep openSoundServer();

// Start-up, once the link thread runs: starts recording the sink's monitor.
SoundServerStep startSoundServerCapture();

// For the rest of the process's life: runs the main loop. When the sink goes, or the server
// goes away or restarts, prints one line and, while the link to the phone carries on, finds or
// makes the sink again (every 0.5 s until it can), prints the sink and capture lines and goes
// on capturing. A failure in that time is printed once each time it changes.
[[noreturn]] void runSoundServerCapture();
