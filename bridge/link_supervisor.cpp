#include "bridge/link_supervisor.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "bridge/console.h"
#include "bridge/device_connect.h"
#include "bridge/discovery.h"
#include "bridge/frame.h"
#include "bridge/link_state.h"
#include "bridge/report_text.h"

std::string connectedLine(const LinkTarget& target) {
    std::string line = "✅ connected — streaming";
    if (target.tcpMode) {
        return line + " (tcp " + target.tcpHost + ":" + std::to_string(target.port) + ")";
    }
    return line + " (usbmux)";
}

int connectOnce(const LinkTarget& target, LinkDownReason* why) {
    if (target.tcpMode) return connectTCP(target.tcpHost, target.port, why, kTcpConnectLimit);
    const auto devices = listUSBDevicesAt(target.usbmuxdPath.c_str(), why);
    if (devices.empty()) return -1;
    return connectToDeviceAt(target.usbmuxdPath.c_str(), devices.front(), target.port, why);
}

LinkEnd serveLink(int fd, const LinkTarget& target, const LineSink& print, LinkDown* why) {
    // The supervisor reads on a descriptor of its own: once the link is published, the sender
    // may retire (and close) the published one at any moment, and its number could then be
    // handed to an unrelated socket before this thread's next read.
    const int readFd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (readFd < 0) {
        ::close(fd);
        return LinkEnd::notPublished;
    }
    const uint64_t generation = publishLink(fd);
    print(connectedLine(target));
    LinkDown ended{LinkDownReason::peerClosed};
    while (auto frame = readFrame(readFd, &ended)) {
        if (frame->type == static_cast<uint8_t>(FrameType::report)) {
            print(reportLine(frame->payload));
        }
    }
    print(kLinkLostLine);
    const bool closedHere = retireLink(generation);
    ::close(readFd);
    // Retired elsewhere means the sender got there first, after a failed write.
    if (why != nullptr) *why = closedHere ? ended : LinkDown{LinkDownReason::writeFailed};
    return closedHere ? LinkEnd::retiredHere : LinkEnd::retiredElsewhere;
}

namespace {

// Says why the link is down, when the target asks for it and the reason has changed since the
// last time; a published link clears the reason, so each loss is told once.
class DownReporter {
  public:
    DownReporter(const LinkTarget& linkTarget, const LineSink& sink)
        : target(linkTarget), print(sink) {}
    void linkUp() { last = {}; }
    void note(const LinkDown& down) {
        if (!target.verbose || down == last || down.reason == LinkDownReason::none) return;
        last = down;
        print(linkDownLine(down, target));
    }

  private:
    const LinkTarget& target;
    const LineSink& print;
    LinkDown last;
};

}  // namespace

void superviseLinks(const LinkTarget& target, const LineSink& print,
                    const std::atomic<bool>* stop) {
    auto stopped = [stop] { return stop != nullptr && stop->load(); };
    DownReporter reporter(target, print);
    while (!stopped()) {
        LinkDownReason why = LinkDownReason::none;
        // A named receiver is looked up again each time: it may have moved to another address.
        LinkTarget attempt = target;
        const auto resolving = std::chrono::steady_clock::now();
        const bool resolved = resolveLinkTarget(attempt, &why);
        const auto resolveTime = std::chrono::steady_clock::now() - resolving;
        const int fd = resolved ? connectOnce(attempt, &why) : -1;
        LinkDown end;
        const LinkEnd outcome =
            fd < 0 ? LinkEnd::notPublished : serveLink(fd, attempt, print, &end);
        if (outcome != LinkEnd::notPublished) {
            reporter.linkUp();
            reporter.note(end);
            continue;  // after a loss the next attempt follows at once
        }
        reporter.note({why});
        // Failed attempts are paced; the time a lookup took counts towards the pause.
        std::this_thread::sleep_for(
            kRetryInterval - std::min<std::chrono::nanoseconds>(resolveTime, kRetryInterval));
    }
}

LinkTarget linkTargetFrom(const BridgeOptions& options) {
    LinkTarget target;
    target.tcpMode = tcpMode;
    target.tcpHost = tcpHost;
    target.port = kDevicePort;
    target.verbose = options.verbose;
    target.receiverName = options.receiverName;
    return target;
}

void runLinkSupervisor(const BridgeOptions& options) {
    superviseLinks(linkTargetFrom(options), printLine);
    for (;;) pause();  // not reached: superviseLinks without a stop flag never returns
}
