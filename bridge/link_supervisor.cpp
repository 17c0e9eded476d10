#include "link_supervisor.h"

#include <fcntl.h>
#include <unistd.h>

#include <thread>

#include "console.h"
#include "device_connect.h"
#include "frame.h"
#include "link_state.h"
#include "report_text.h"

std::string connectedLine(const LinkTarget& target) {
    std::string line = "✅ connected — streaming";
    if (target.tcpMode) {
        return line + " (tcp " + target.tcpHost + ":" + std::to_string(target.port) + ")";
    }
    return line + " (usbmux)";
}

int connectOnce(const LinkTarget& target) {
    if (target.tcpMode) return connectTCP(target.tcpHost, target.port);
    const auto devices = listUSBDevicesAt(target.usbmuxdPath.c_str());
    if (devices.empty()) return -1;
    return connectToDeviceAt(target.usbmuxdPath.c_str(), devices.front(), target.port);
}

LinkEnd serveLink(int fd, const LinkTarget& target, const LineSink& print) {
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
    while (auto frame = readFrame(readFd)) {
        if (frame->type == static_cast<uint8_t>(FrameType::report)) {
            print(reportLine(frame->payload));
        }
    }
    print(kLinkLostLine);
    const bool closedHere = retireLink(generation);
    ::close(readFd);
    return closedHere ? LinkEnd::retiredHere : LinkEnd::retiredElsewhere;
}

void superviseLinks(const LinkTarget& target, const LineSink& print,
                    const std::atomic<bool>* stop) {
    auto stopped = [stop] { return stop != nullptr && stop->load(); };
    while (!stopped()) {
        const int fd = connectOnce(target);
        // After a loss the next attempt follows at once; failed attempts are paced.
        if (fd < 0 || serveLink(fd, target, print) == LinkEnd::notPublished) {
            std::this_thread::sleep_for(kRetryInterval);
        }
    }
}

void runLinkSupervisor() {
    LinkTarget target;
    target.tcpMode = tcpMode;
    target.tcpHost = tcpHost;
    target.port = kDevicePort;
    superviseLinks(target, printLine);
    for (;;) pause();  // not reached: superviseLinks without a stop flag never returns
}
