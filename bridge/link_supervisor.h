#pragma once
// The link supervisor: the body of the link thread. It keeps one link to the receiving app open
// at all times: connect (usbmuxd or TCP), publish the socket, read the phone's frames and print
// its reports, and on any read failure or framing error print the loss, retire the link and
// connect again at once. Failed attempts are repeated every 0.5 s, silently unless the target is
// verbose: then one line says why the link is down each time that reason changes.

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "bridge/command_line.h"
#include "bridge/console.h"
#include "bridge/link_down.h"
#include "bridge/usbmux.h"
#include "common/wire_format.h"

inline constexpr std::chrono::milliseconds kRetryInterval{500};

// Where and how the supervisor connects.
struct LinkTarget {
    bool tcpMode = false;
    std::string tcpHost = "127.0.0.1";
    uint16_t port = qw::wire::kAppPort;
    std::string usbmuxdPath = kUsbmuxdPath;
    bool verbose = false;  // print why the link is down, once per change of reason
    // A receiver announced on the network (--receiver NAME): resolved to tcpHost and port
    // afresh before each attempt, in TCP mode.
    std::string receiverName;
};

// The line printed once a link is published: "✅ connected — streaming (usbmux)" or
// "✅ connected — streaming (tcp 127.0.0.1:7000)".
std::string connectedLine(const LinkTarget& target);
inline constexpr const char* kLinkLostLine = "link lost — reconnecting…";

// One connection attempt: TCP, or the first USB device of a fresh list through usbmuxd (only the
// first is ever tried). A descriptor or -1; on -1 `why` (when given) says why.
int connectOnce(const LinkTarget& target, LinkDownReason* why = nullptr);

// The --verbose line for `down`: "link down: " and the reason in plain words, naming the
// service's path or the TCP host and port where they matter. Empty for LinkDownReason::none.
std::string linkDownLine(const LinkDown& down, const LinkTarget& target);

enum class LinkEnd {
    notPublished,      // no descriptor could be spared for reading; fd closed, nothing printed
    retiredHere,       // the supervisor's own retire step closed the link
    retiredElsewhere,  // the sender had retired it first; the supervisor closed nothing
};

// Serves one link from publication to retirement: publishes `fd`, prints the connected line,
// reads frames until the link ends (printing reports), prints the loss line and retires the
// link. Takes ownership of `fd`. `why` (when given) receives how a published link ended: the
// phone closed it (or a read failed), it sent a bad frame length, or the sender's write failed.
LinkEnd serveLink(int fd, const LinkTarget& target, const LineSink& print, LinkDown* why = nullptr);

// The supervisor loop for `target`, printing to `print`. Runs until `stop` is set (checked
// between attempts and after each link ends); forever when `stop` is null.
void superviseLinks(const LinkTarget& target, const LineSink& print,
                    const std::atomic<bool>* stop = nullptr);

// The target the bridge's options name: tcpMode, tcpHost and kDevicePort (link_state.h), and
// the options' --verbose and --receiver.
LinkTarget linkTargetFrom(const BridgeOptions& options);

// The link thread's body: superviseLinks with linkTargetFrom(options), printing with printLine
// (console.h). Never returns.
[[noreturn]] void runLinkSupervisor(const BridgeOptions& options);
