#include "bridge/command_line.h"

#include <algorithm>

#include "bridge/help_text.h"
#include "bridge/link_state.h"
#include "bridge/unknown_options.h"

namespace {

const char* const kDefaultHost = "127.0.0.1";

// The first non-empty piece of `text` cut at ':', or "" when there is none.
std::string firstPiece(const std::string& text) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(':', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) return text.substr(start, end - start);
        start = end + 1;
    }
    return "";
}

}  // namespace

BridgeOptions parseCommandLine(const std::vector<std::string>& args) {
    BridgeOptions options;
    options.help = asksForHelp(args);
    options.capture = captureChoiceFrom(args);
    options.unknownOptions = unknownOptions(args);
    if (args.size() < 2) return options;
    options.verbose = std::find(args.begin() + 1, args.end(), kVerboseSwitch) != args.end();
    options.find = std::find(args.begin() + 1, args.end(), kFindSwitch) != args.end();
    auto receiver = std::find(args.begin() + 1, args.end(), kReceiverSwitch);
    if (receiver != args.end() && receiver + 1 != args.end()) {
        options.receiverName = *(receiver + 1);
        options.tcpMode = true;
        return options;
    }
    options.tcpMode = std::find(args.begin() + 1, args.end(), kTcpSwitch) != args.end();
    if (const size_t host = tcpHostArgument(args); host != 0) {
        const std::string piece = firstPiece(args[host]);
        options.tcpHost = piece.empty() ? kDefaultHost : piece;
    }
    return options;
}

size_t tcpHostArgument(const std::vector<std::string>& args) {
    if (args.size() < 2) return 0;
    const auto first = std::find(args.begin() + 1, args.end(), kTcpSwitch);
    if (first == args.end()) return 0;
    const auto next = std::find_if(first + 1, args.end(),
                                   [](const std::string& arg) { return arg != kVerboseSwitch; });
    if (next == args.end() || next->find('.') == std::string::npos) return 0;
    return static_cast<size_t>(next - args.begin());
}

void applyCommandLine(const BridgeOptions& options) {
    tcpMode = options.tcpMode;
    tcpHost = options.tcpHost;
}
