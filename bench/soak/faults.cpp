#include "faults.h"

const char* faultName(FaultKind kind) {
    switch (kind) {
        case FaultKind::appClose:
            return "app closes";
        case FaultKind::badLength0:
            return "app sends length 0";
        case FaultKind::badLength8192:
            return "app sends length 8192";
        case FaultKind::appStall:
            return "app stops reading";
        case FaultKind::appRefuse:
            return "app refuses connections";
        case FaultKind::usbDetach:
            return "USB detach/reattach";
        case FaultKind::muxRestart:
            return "usbmuxd dies/restarts";
        case FaultKind::playerRestart:
            return "player dies/restarts";
        case FaultKind::cpuLoad:
            return "both cores busy";
    }
    return "?";
}

bool losesLink(FaultKind kind) {
    switch (kind) {
        case FaultKind::appStall:
        case FaultKind::playerRestart:
        case FaultKind::cpuLoad:
            return false;
        default:
            return true;
    }
}

const std::vector<FaultKind>& faultCycle() {
    static const std::vector<FaultKind> cycle = {
        FaultKind::appClose,  FaultKind::badLength0,    FaultKind::appStall,
        FaultKind::usbDetach, FaultKind::playerRestart, FaultKind::badLength8192,
        FaultKind::appRefuse, FaultKind::muxRestart,    FaultKind::cpuLoad,
    };
    return cycle;
}

FaultTiming faultTiming(FaultKind kind, bool shortRun) {
    // The stall outlasts what the socket buffers on the way hold (the app's receive buffer is
    // kept small), so the bridge's queue fills and drops its oldest frames.
    switch (kind) {
        case FaultKind::appStall:
            return {shortRun ? 4.0 : 6.0, shortRun ? 2.0 : 8.0};
        case FaultKind::appRefuse:
        case FaultKind::usbDetach:
        case FaultKind::muxRestart:
            return {shortRun ? 1.5 : 3.0, shortRun ? 1.5 : 8.0};
        case FaultKind::playerRestart:
            return {shortRun ? 1.0 : 2.0, shortRun ? 1.5 : 8.0};
        case FaultKind::cpuLoad:
            return {shortRun ? 2.0 : 10.0, shortRun ? 1.5 : 8.0};
        default:
            return {0.0, shortRun ? 1.5 : 8.0};
    }
}
