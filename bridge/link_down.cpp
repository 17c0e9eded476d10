#include "bridge/link_down.h"

#include "bridge/link_supervisor.h"
#include "bridge/report_text.h"

std::string linkDownLine(const LinkDown& down, const LinkTarget& target) {
    const std::string endpoint = target.tcpHost + ":" + std::to_string(target.port);
    switch (down.reason) {
        case LinkDownReason::none:
            return "";
        case LinkDownReason::usbmuxdMissing:
            return "link down: no usbmuxd socket at " + target.usbmuxdPath;
        case LinkDownReason::usbmuxdRefused:
            return "link down: usbmuxd at " + target.usbmuxdPath + " refuses connections";
        case LinkDownReason::usbmuxdNoAnswer:
            return "link down: usbmuxd gave no usable answer";
        case LinkDownReason::noUsbDevice:
            return "link down: no USB phone attached";
        case LinkDownReason::portRefused:
            return "link down: the phone refused port " + std::to_string(target.port) +
                   " (app not listening)";
        case LinkDownReason::tcpBadHost:
            return "link down: " + target.tcpHost + " is not an IPv4 address";
        case LinkDownReason::tcpRefused:
            return "link down: connection to " + endpoint + " refused";
        case LinkDownReason::tcpUnreachable:
            return "link down: " + endpoint + " unreachable";
        case LinkDownReason::peerClosed:
            return "link down: the phone closed the link";
        case LinkDownReason::framingError:
            return "link down: the phone sent a frame length of " + std::to_string(down.length);
        case LinkDownReason::writeFailed:
            return "link down: a write to the phone failed";
        case LinkDownReason::receiverNotFound:
            return "link down: no receiver named \u201C" + terminalSafeText(target.receiverName) +
                   "\u201D answers on the network";
    }
    return "";
}
