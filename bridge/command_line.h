#pragma once
// The bridge's command line: no arguments for USB mode, "--tcp" (anywhere, exact spelling) for
// TCP mode, optionally followed by the phone's IPv4 host, and "--verbose" (anywhere, exact
// spelling) to hear why the link is down. Arguments that are not recognised are passed over;
// unknown_options.h words the line the bridge prints about each one that looks like an option.

#include <cstddef>
#include <string>
#include <vector>

// The switches, spelled exactly as they must be given.
inline constexpr const char* kTcpSwitch = "--tcp";
inline constexpr const char* kVerboseSwitch = "--verbose";
inline constexpr const char* kFindSwitch = "--find";
inline constexpr const char* kReceiverSwitch = "--receiver";
inline constexpr const char* kCaptureSwitch = "--capture";  // Linux: which audio is captured
inline constexpr const char* kHelpSwitch = "--help";
inline constexpr const char* kShortHelpSwitch = "-h";

struct LinkOptions {
    bool tcpMode = false;
    std::string tcpHost = "127.0.0.1";
    bool verbose = false;
    bool find = false;         // --find: list the receivers on the network and exit
    std::string receiverName;  // --receiver NAME: stream over TCP to the receiver so announced
};

// `args` are the process's arguments, program path first (it is never taken as an option).
// The argument right after the first "--tcp" names the host only if it contains a "."; it is cut
// at every ":" (empty pieces dropped) and the first piece is the host, so "10.0.0.2:9000" and
// ":10.0.0.2" both give 10.0.0.2. The port is never taken from the command line. "--verbose" is
// passed over when looking for that argument: "--tcp --verbose 10.0.0.5" names 10.0.0.5.
// "--find" (anywhere) asks for the list of receivers on the network. "--receiver NAME" (the first
// one) names a receiver announced on the network and selects TCP mode; its host and port are
// looked up by that name, so "--tcp" and its host are then passed over.
LinkOptions parseCommandLine(const std::vector<std::string>& args);

// The index in `args` of the argument that names the host after the first "--tcp" (the rule
// above, whether or not "--receiver" overrides it), or 0 when there is none.
size_t tcpHostArgument(const std::vector<std::string>& args);

// Parses argv and stores the result in tcpMode, tcpHost, verboseMode and receiverName (before
// any thread starts); returns the options.
LinkOptions applyCommandLine(int argc, const char* const* argv);
