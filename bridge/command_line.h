#pragma once
// The bridge's command line, read once at start-up into one BridgeOptions value that goes where
// it is needed. No arguments: USB mode. "--tcp" (anywhere, exact spelling): TCP mode, optionally
// followed by the phone's IPv4 host. "--verbose": say why the link is down. "--find": list the
// receivers on the network and exit. "--receiver NAME": stream to the receiver so announced.
// "--help" or "-h": print the manual and exit. On Linux "--capture standin" captures the
// stand-in audio server instead of the desktop's sound server. Any other argument that looks
// like an option is named in a line after the banner (unknown_options.h); the rest are passed
// over.

#include <cstddef>
#include <string>
#include <vector>

#include "bridge/capture/capture_choice.h"

// The switches, spelled exactly as they must be given.
inline constexpr const char* kTcpSwitch = "--tcp";
inline constexpr const char* kVerboseSwitch = "--verbose";
inline constexpr const char* kFindSwitch = "--find";
inline constexpr const char* kReceiverSwitch = "--receiver";
inline constexpr const char* kCaptureSwitch = "--capture";  // Linux: which audio is captured
inline constexpr const char* kHelpSwitch = "--help";
inline constexpr const char* kShortHelpSwitch = "-h";

struct BridgeOptions {
    bool tcpMode = false;
    std::string tcpHost = "127.0.0.1";
    bool verbose = false;
    bool find = false;         // --find: list the receivers on the network and exit
    std::string receiverName;  // --receiver NAME: stream over TCP to the receiver so announced
    bool help = false;         // --help or -h: print the manual and exit
    CaptureChoice capture = CaptureChoice::soundServer;  // Linux only; the Mac has the device
    std::vector<std::string> unknownOptions;  // as given, in order (unknownOptionLine words them)
};

// `args` are the process's arguments, program path first (it is never taken as an option).
// The argument right after the first "--tcp" names the host only if it contains a "."; it is cut
// at every ":" (empty pieces dropped) and the first piece is the host, so "10.0.0.2:9000" and
// ":10.0.0.2" both give 10.0.0.2. The port is never taken from the command line. "--verbose" is
// passed over when looking for that argument: "--tcp --verbose 10.0.0.5" names 10.0.0.5.
// "--find" (anywhere) asks for the list of receivers on the network. "--receiver NAME" (the first
// one) names a receiver announced on the network and selects TCP mode; its host and port are
// looked up by that name, so "--tcp" and its host are then passed over.
BridgeOptions parseCommandLine(const std::vector<std::string>& args);

// The index in `args` of the argument that names the host after the first "--tcp" (the rule
// above, whether or not "--receiver" overrides it), or 0 when there is none.
size_t tcpHostArgument(const std::vector<std::string>& args);

// Stores the options' link mode and host in tcpMode and tcpHost (link_state.h), before any
// thread starts.
void applyCommandLine(const BridgeOptions& options);
