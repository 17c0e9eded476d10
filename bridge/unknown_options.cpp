#include "bridge/unknown_options.h"

#include <algorithm>
#include <array>

#include "bridge/command_line.h"
#include "bridge/report_text.h"

namespace {

bool isKnownSwitch(const std::string& arg) {
    const std::array<const char*, 6> known = {kTcpSwitch,      kVerboseSwitch, kFindSwitch,
                                              kReceiverSwitch, kHelpSwitch,    kShortHelpSwitch};
#if !defined(__APPLE__)
    if (arg == kCaptureSwitch) return true;
#endif
    return std::find(known.begin(), known.end(), arg) != known.end();
}

bool takesValue(const std::string& arg) {
#if !defined(__APPLE__)
    if (arg == kCaptureSwitch) return true;
#endif
    return arg == kReceiverSwitch;
}

}  // namespace

std::vector<std::string> unknownOptions(const std::vector<std::string>& args) {
    std::vector<std::string> unknown;
    const size_t host = tcpHostArgument(args);
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (takesValue(arg)) {
            ++i;  // its value, whatever it holds
            continue;
        }
        if (i == host || arg.empty() || arg[0] != '-' || isKnownSwitch(arg)) continue;
        unknown.push_back(arg);
    }
    return unknown;
}

std::string unknownOptionLine(const std::string& option) {
    return "ignoring unknown option " + terminalSafeText(option);
}
