#pragma once
// The bridge's command line: no arguments for USB mode, "--tcp" (anywhere, exact spelling) for
// TCP mode, optionally followed by the phone's IPv4 host, and "--verbose" (anywhere, exact
// spelling) to hear why the link is down. Nothing else is recognised and nothing is ever
// reported about unknown arguments.

#include <string>
#include <vector>

struct LinkOptions {
    bool tcpMode = false;
    std::string tcpHost = "127.0.0.1";
    bool verbose = false;
};

// `args` are the process's arguments, program path first (it is never taken as an option).
// The argument right after the first "--tcp" names the host only if it contains a "."; it is cut
// at every ":" (empty pieces dropped) and the first piece is the host, so "10.0.0.2:9000" and
// ":10.0.0.2" both give 10.0.0.2. The port is never taken from the command line. "--verbose" is
// passed over when looking for that argument: "--tcp --verbose 10.0.0.5" names 10.0.0.5.
LinkOptions parseCommandLine(const std::vector<std::string>& args);

// Parses argv and stores the result in tcpMode, tcpHost and verboseMode (before any thread
// starts).
void applyCommandLine(int argc, const char* const* argv);
