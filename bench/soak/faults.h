#pragma once
// The faults the soak injects, what each is expected to do to the link, and how long each is
// held in the full and the short run.

#include <string>
#include <vector>

enum class FaultKind {
    appClose,       // the receiving app closes the connection and keeps listening
    badLength0,     // the app sends a frame whose length field is 0
    badLength8192,  // ... or 8192
    appStall,       // the app stops reading for a while
    appRefuse,      // the app closes and refuses connections for a while
    usbDetach,      // the phone detaches at the multiplexing service, then reattaches
    muxRestart,     // the multiplexing service dies (SIGKILL) and is started again
    playerRestart,  // the playing app dies (SIGKILL) and is started again
    cpuLoad,        // two processes keep both cores busy for a while
};

const char* faultName(FaultKind kind);

// Faults after which the bridge must print exactly one loss line and reconnect.
bool losesLink(FaultKind kind);

// Every kind, in the order the soak cycles through them.
const std::vector<FaultKind>& faultCycle();

struct FaultTiming {
    double holdSeconds;   // how long the fault lasts (0: a single event)
    double quietSeconds;  // undisturbed time after recovery, before the next fault
};

FaultTiming faultTiming(FaultKind kind, bool shortRun);
