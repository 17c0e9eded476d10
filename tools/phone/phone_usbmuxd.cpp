// phone-usbmuxd: stands in for the USB multiplexing service. Listens on a UNIX socket, answers
// "ListDevices" with a configurable list of devices, answers "Connect" by opening a TCP
// connection to the device's port and relaying bytes both ways, and supports "Listen" with
// attach/detach events. Devices come and go through commands on standard input or a timeline
// given on the command line. Every event is printed as one line on standard output.

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "phone_io.h"
#include "plist_message.h"

using namespace phone;

namespace {

constexpr uint32_t kHeaderSize = 16;
constexpr uint32_t kMaxRequest = 1 << 20;   // no client request comes anywhere near this
constexpr size_t kRelayBuffer = 64 * 1024;  // per direction; a full buffer stops reading
constexpr uint64_t kResultOk = 0;
constexpr uint64_t kResultBadCommand = 1;
constexpr uint64_t kResultBadDevice = 2;
constexpr uint64_t kResultRefused = 3;

struct Device {
    uint64_t id = 0;
    std::string connectionType = "USB";
    std::string serial;
    std::string host = "127.0.0.1";  // where the device's ports are reached
};

struct Client {
    int fd = -1;
    Bytes in;
    Bytes out;
    bool listening = false;
};

struct Tunnel {
    int clientFd = -1;
    int appFd = -1;
    uint64_t deviceId = 0;
    Bytes toApp;
    Bytes toClient;
    bool clientEof = false;
    bool appEof = false;
    bool dead = false;
};

struct TimedCommand {
    int64_t atMs;
    std::string command;
};

const char* kUsage =
    "usage: phone-usbmuxd [--socket PATH] [--device ID[:TYPE[:SERIAL[:HOST]]]]...\n"
    "                     [--at MS:COMMAND]...\n"
    "commands (standard input or --at): attach ID [TYPE [SERIAL [HOST]]] | detach ID | list\n";

volatile std::sig_atomic_t gStop = 0;
void onStopSignal(int) {
    gStop = 1;
}

std::vector<std::string> splitWords(const std::string& text, char separator) {
    std::vector<std::string> words;
    std::string word;
    std::istringstream in(text);
    while (std::getline(in, word, separator)) {
        if (!word.empty()) words.push_back(word);
    }
    return words;
}

std::optional<Device> parseDevice(const std::vector<std::string>& words) {
    if (words.empty()) return std::nullopt;
    auto id = parseNumber(words[0], 0, int64_t{0xFFFFFFFF});
    if (!id) return std::nullopt;
    Device d;
    d.id = static_cast<uint64_t>(*id);
    if (words.size() > 1) d.connectionType = words[1];
    d.serial = words.size() > 2 ? words[2] : "qwvphone" + words[0];
    if (words.size() > 3) d.host = words[3];
    return d;
}

class Service {
  public:
    Service(std::string path, std::vector<Device> initialDevices,
            std::vector<TimedCommand> commands)
        : socketPath(std::move(path)),
          devices(std::move(initialDevices)),
          timeline(std::move(commands)) {}

    int run() {
        if (!openListener()) return 1;
        const int64_t start = nowMs();
        for (auto& t : timeline) t.atMs += start;
        while (!gStop) step();
        for (auto& c : clients) ::close(c.fd);
        for (auto& t : tunnels) closeTunnel(t);
        ::close(listenFd);
        ::unlink(socketPath.c_str());
        say("exiting");
        return 0;
    }

  private:
    bool openListener() {
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        if (socketPath.size() >= sizeof addr.sun_path) {
            say("socket path too long: " + socketPath);
            return false;
        }
        std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
        listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::unlink(socketPath.c_str());
        if (listenFd < 0 || ::bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) ||
            ::listen(listenFd, 16)) {
            say("cannot listen on " + socketPath + ": " + strerror(errno));
            return false;
        }
        ::chmod(socketPath.c_str(), 0666);
        say("listening on " + socketPath);
        return true;
    }

    void step() {
        std::vector<pollfd> fds;
        fds.push_back({listenFd, POLLIN, 0});
        if (stdinOpen) fds.push_back({STDIN_FILENO, POLLIN, 0});
        for (auto& c : clients) {
            fds.push_back({c.fd, static_cast<short>(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0});
        }
        for (auto& t : tunnels) {
            short clientEvents = 0, appEvents = 0;
            if (!t.clientEof && t.toApp.size() < kRelayBuffer) clientEvents |= POLLIN;
            if (!t.toClient.empty()) clientEvents |= POLLOUT;
            if (!t.appEof && t.toClient.size() < kRelayBuffer) appEvents |= POLLIN;
            if (!t.toApp.empty()) appEvents |= POLLOUT;
            fds.push_back({t.clientFd, clientEvents, 0});
            fds.push_back({t.appFd, appEvents, 0});
        }
        int timeout = 1000;
        if (!timeline.empty()) {
            timeout =
                static_cast<int>(std::clamp<int64_t>(timeline.front().atMs - nowMs(), 0, 1000));
        }
        if (::poll(fds.data(), fds.size(), timeout) < 0) return;  // EINTR: check gStop

        size_t i = 0;
        const pollfd& listener = fds[i++];
        if (stdinOpen && (fds[i++].revents & (POLLIN | POLLHUP))) readCommands();
        // Serving a client may turn it into a new tunnel (appended at the end of the list);
        // only the tunnels that were polled are looked at here.
        const size_t polledTunnels = tunnels.size();
        for (auto& c : clients) serveClient(c, fds[i++].revents);
        auto t = tunnels.begin();
        for (size_t k = 0; k < polledTunnels; ++k, ++t) {
            short clientRevents = fds[i++].revents;
            short appRevents = fds[i++].revents;
            relay(*t, clientRevents, appRevents);
        }
        if (listener.revents & POLLIN) acceptClient();
        runTimeline();
        reap();
    }

    void acceptClient() {
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) clients.push_back(Client{fd, {}, {}, false});
    }

    void readCommands() {
        char chunk[4096];
        ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n <= 0) {
            stdinOpen = false;
            return;
        }
        commandText.append(chunk, static_cast<size_t>(n));
        size_t newline;
        while ((newline = commandText.find('\n')) != std::string::npos) {
            runCommand(commandText.substr(0, newline));
            commandText.erase(0, newline + 1);
        }
    }

    void runTimeline() {
        const int64_t now = nowMs();
        while (!timeline.empty() && timeline.front().atMs <= now) {
            runCommand(timeline.front().command);
            timeline.erase(timeline.begin());
        }
    }

    void runCommand(const std::string& line) {
        auto words = splitWords(line, ' ');
        if (words.empty()) return;
        const std::string verb = words[0];
        words.erase(words.begin());
        if (verb == "attach") {
            auto d = parseDevice(words);
            if (!d) return say("bad command: " + line);
            detach(d->id, false);
            devices.push_back(*d);
            say("attached " + std::to_string(d->id) + " " + d->connectionType + " " + d->serial);
            for (auto& c : clients) {
                if (c.listening) queueMessage(c, attachedMessage(*d).get(), 0);
            }
        } else if (verb == "detach" && words.size() == 1) {
            auto id = parseNumber(words[0], 0, int64_t{0xFFFFFFFF});
            if (!id) return say("bad command: " + line);
            detach(static_cast<uint64_t>(*id), true);
        } else if (verb == "list") {
            say("devices: " + std::to_string(devices.size()));
        } else {
            say("bad command: " + line);
        }
    }

    // Removes a device; its tunnels end, as they do when a phone is unplugged.
    void detach(uint64_t id, bool announce) {
        auto it = std::find_if(devices.begin(), devices.end(),
                               [id](const Device& d) { return d.id == id; });
        if (it == devices.end()) return;
        devices.erase(it);
        for (auto& t : tunnels) {
            if (t.deviceId == id) t.dead = true;
        }
        if (!announce) return;
        say("detached " + std::to_string(id));
        PlistPtr message = newDict();
        dictSet(message.get(), "MessageType", plist_new_string("Detached"));
        dictSet(message.get(), "DeviceID", plist_new_uint(id));
        for (auto& c : clients) {
            if (c.listening) queueMessage(c, message.get(), 0);
        }
    }

    void serveClient(Client& c, short revents) {
        if (c.fd < 0) return;
        if (revents & POLLOUT) flush(c.fd, c.out);
        if (!(revents & (POLLIN | POLLHUP | POLLERR))) return;
        uint8_t chunk[16384];
        ssize_t n = ::read(c.fd, chunk, sizeof chunk);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n <= 0) return dropClient(c);
        c.in.insert(c.in.end(), chunk, chunk + n);
        while (c.fd >= 0 && c.in.size() >= kHeaderSize) {
            const uint32_t length = loadLe32(c.in.data());
            if (length < kHeaderSize || length > kHeaderSize + kMaxRequest) {
                say("malformed request header (length " + std::to_string(length) + ")");
                return dropClient(c);
            }
            if (c.in.size() < length) return;
            const uint32_t messageType = loadLe32(c.in.data() + 8);
            const uint32_t tag = loadLe32(c.in.data() + 12);
            Bytes payload(c.in.begin() + kHeaderSize, c.in.begin() + length);
            c.in.erase(c.in.begin(), c.in.begin() + length);
            handleRequest(c, messageType, tag, payload);
        }
    }

    void handleRequest(Client& c, uint32_t messageType, uint32_t tag, const Bytes& payload) {
        PlistPtr request = messageType == kPlistMessage ? parseDict(payload) : nullptr;
        const std::string kind = request ? dictString(request.get(), "MessageType") : "";
        if (kind == "ListDevices") {
            say("request ListDevices: " + std::to_string(devices.size()) + " devices");
            PlistPtr reply = newDict();
            plist_t list = plist_new_array();
            for (const auto& d : devices)
                plist_array_append_item(list, attachedMessage(d).release());
            dictSet(reply.get(), "DeviceList", list);
            queueMessage(c, reply.get(), tag);
        } else if (kind == "Connect") {
            connect(c, request.get(), tag);
        } else if (kind == "Listen") {
            say("request Listen");
            c.listening = true;
            queueResult(c, kResultOk, tag);
            for (const auto& d : devices) queueMessage(c, attachedMessage(d).get(), 0);
        } else if (kind == "ReadBUID") {
            PlistPtr reply = newDict();
            dictSet(reply.get(), "BUID", plist_new_string("00000000-0000-0000-0000-000000000000"));
            queueMessage(c, reply.get(), tag);
        } else {
            say("request " + (kind.empty() ? std::string("(unreadable)") : kind) + ": unsupported");
            queueResult(c, kResultBadCommand, tag);
        }
    }

    void connect(Client& c, plist_t request, uint32_t tag) {
        const auto id = dictUint(request, "DeviceID");
        const auto portField = dictUint(request, "PortNumber");
        // The port travels with its two bytes exchanged.
        const uint16_t port =
            portField ? static_cast<uint16_t>((*portField & 0xFF) << 8 | (*portField >> 8 & 0xFF))
                      : 0;
        std::string what = "request Connect device " + (id ? std::to_string(*id) : "?") + " port " +
                           std::to_string(port) + ": ";
        auto device = std::find_if(devices.begin(), devices.end(),
                                   [&](const Device& d) { return id && d.id == *id; });
        if (device == devices.end() || !portField) {
            say(what + "unknown device");
            return queueResult(c, kResultBadDevice, tag);
        }
        int appFd = connectTcp(device->host, port);
        if (appFd < 0) {
            say(what + "refused");
            return queueResult(c, kResultRefused, tag);
        }
        say(what + "ok");
        setNonBlocking(appFd);
        queueResult(c, kResultOk, tag);
        // From here the connection is a byte pipe: the reply goes first, then the relay.
        Tunnel t;
        t.clientFd = c.fd;
        t.appFd = appFd;
        t.deviceId = device->id;
        t.toClient = std::move(c.out);
        t.toApp = std::move(c.in);
        c.fd = -1;
        flush(t.clientFd, t.toClient);
        tunnels.push_back(std::move(t));
    }

    void relay(Tunnel& t, short clientRevents, short appRevents) {
        if (t.dead) return;
        if ((clientRevents & POLLOUT) && !flush(t.clientFd, t.toClient)) t.dead = true;
        if ((appRevents & POLLOUT) && !flush(t.appFd, t.toApp)) t.dead = true;
        if (!t.dead && (clientRevents & (POLLIN | POLLHUP | POLLERR)) && !t.clientEof) {
            t.clientEof = !pull(t.clientFd, t.toApp);
            if (!t.toApp.empty() && !flush(t.appFd, t.toApp)) t.dead = true;
        }
        if (!t.dead && (appRevents & (POLLIN | POLLHUP | POLLERR)) && !t.appEof) {
            t.appEof = !pull(t.appFd, t.toClient);
            if (!t.toClient.empty() && !flush(t.clientFd, t.toClient)) t.dead = true;
        }
        // Once one side has gone and what it sent has been passed on, the tunnel ends.
        if ((t.clientEof && t.toApp.empty()) || (t.appEof && t.toClient.empty())) t.dead = true;
    }

    // Reads what is available into `buffer` (bounded); false at end of stream or on error.
    static bool pull(int fd, Bytes& buffer) {
        uint8_t chunk[16384];
        size_t room = std::min(sizeof chunk, kRelayBuffer - std::min(kRelayBuffer, buffer.size()));
        if (room == 0) return true;
        ssize_t n = ::read(fd, chunk, room);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        if (n <= 0) return false;
        buffer.insert(buffer.end(), chunk, chunk + n);
        return true;
    }

    // Writes as much of `buffer` as the socket takes now; false on a write error.
    static bool flush(int fd, Bytes& buffer) {
        while (!buffer.empty()) {
            ssize_t n = ::send(fd, buffer.data(), buffer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) return true;
            if (n <= 0) return false;
            buffer.erase(buffer.begin(), buffer.begin() + n);
        }
        return true;
    }

    void queueResult(Client& c, uint64_t number, uint32_t tag) {
        PlistPtr reply = newDict();
        dictSet(reply.get(), "MessageType", plist_new_string("Result"));
        dictSet(reply.get(), "Number", plist_new_uint(number));
        queueMessage(c, reply.get(), tag);
    }

    void queueMessage(Client& c, plist_t message, uint32_t tag) {
        Bytes bytes = encodeMessage(message, tag);
        c.out.insert(c.out.end(), bytes.begin(), bytes.end());
        if (c.fd >= 0 && !flush(c.fd, c.out)) dropClient(c);
    }

    PlistPtr attachedMessage(const Device& d) const {
        PlistPtr entry = newDict();
        plist_t props = plist_new_dict();
        plist_dict_set_item(props, "ConnectionSpeed", plist_new_uint(480000000));
        plist_dict_set_item(props, "ConnectionType", plist_new_string(d.connectionType.c_str()));
        plist_dict_set_item(props, "DeviceID", plist_new_uint(d.id));
        plist_dict_set_item(props, "LocationID", plist_new_uint(0));
        plist_dict_set_item(props, "ProductID", plist_new_uint(0x12A8));
        plist_dict_set_item(props, "SerialNumber", plist_new_string(d.serial.c_str()));
        if (d.connectionType == "Network") {
            // A sockaddr_in in the service's form: length, family, port, address.
            const char address[16] = {16, 2, 0, 0, 127, 0, 0, 1};
            plist_dict_set_item(props, "NetworkAddress", plist_new_data(address, sizeof address));
        }
        dictSet(entry.get(), "DeviceID", plist_new_uint(d.id));
        dictSet(entry.get(), "MessageType", plist_new_string("Attached"));
        dictSet(entry.get(), "Properties", props);
        return entry;
    }

    void dropClient(Client& c) {
        if (c.fd >= 0) ::close(c.fd);
        c.fd = -1;
    }

    void closeTunnel(Tunnel& t) {
        if (t.clientFd >= 0) ::close(t.clientFd);
        if (t.appFd >= 0) ::close(t.appFd);
        t.clientFd = t.appFd = -1;
    }

    void reap() {
        clients.remove_if([](const Client& c) { return c.fd < 0; });
        for (auto& t : tunnels) {
            if (t.dead && t.clientFd >= 0) {
                closeTunnel(t);
                say("tunnel to device " + std::to_string(t.deviceId) + " closed");
            }
        }
        tunnels.remove_if([](const Tunnel& t) { return t.clientFd < 0; });
    }

    std::string socketPath;
    std::vector<Device> devices;
    std::vector<TimedCommand> timeline;
    int listenFd = -1;
    bool stdinOpen = true;
    std::string commandText;
    std::list<Client> clients;
    std::list<Tunnel> tunnels;
};

}  // namespace

int main(int argc, char** argv) {
    std::string path = "/var/run/usbmuxd";
    std::vector<Device> devices;
    std::vector<TimedCommand> timeline;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::optional<std::string> value;
        if (i + 1 < argc) value = argv[++i];
        if (arg == "--socket" && value) {
            path = *value;
        } else if (arg == "--device" && value) {
            auto d = parseDevice(splitWords(*value, ':'));
            if (!d) return std::fputs(kUsage, stderr), 2;
            devices.push_back(*d);
        } else if (arg == "--at" && value) {
            auto colon = value->find(':');
            auto ms = parseNumber(value->substr(0, colon), 0, int64_t{1} << 40);
            if (colon == std::string::npos || !ms) return std::fputs(kUsage, stderr), 2;
            timeline.push_back({*ms, value->substr(colon + 1)});
        } else {
            return std::fputs(kUsage, stderr), 2;
        }
    }
    std::stable_sort(timeline.begin(), timeline.end(),
                     [](const TimedCommand& a, const TimedCommand& b) { return a.atMs < b.atMs; });
    struct sigaction stop = {};
    stop.sa_handler = onStopSignal;
    ::sigaction(SIGTERM, &stop, nullptr);
    ::sigaction(SIGINT, &stop, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    return Service(path, std::move(devices), std::move(timeline)).run();
}
