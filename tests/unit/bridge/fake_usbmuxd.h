#pragma once
// Test helper: a scripted usbmuxd on a UNIX socket in a temporary directory, run on its own
// thread. Each connection gets one request read and parsed (independently of the bridge's
// message layer), and the responder decides the raw bytes sent back, well-formed or not. A
// connection whose reply is marked as a tunnel stays open for the test; the others are closed
// after the reply.

#include <fcntl.h>
#include <plist/plist.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fake {

using Bytes = std::vector<uint8_t>;

inline void putLe32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A raw message: header (length, version, type, tag) and payload, the length as given.
inline Bytes rawMessage(uint32_t length, const std::string& payload, uint32_t tag = 0) {
    Bytes out;
    putLe32(out, length);
    putLe32(out, 1);
    putLe32(out, 8);
    putLe32(out, tag);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

inline Bytes message(const std::string& xml, uint32_t tag = 0) {
    return rawMessage(static_cast<uint32_t>(16 + xml.size()), xml, tag);
}

inline std::string plistXml(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + body +
           "</plist>\n";
}

// One "DeviceList" element with the given DeviceID and ConnectionType.
inline std::string deviceEntry(const std::string& id, const std::string& type) {
    return "<dict><key>DeviceID</key><integer>" + id +
           "</integer><key>MessageType</key><string>Attached</string><key>Properties</key><dict>"
           "<key>ConnectionType</key><string>" +
           type + "</string><key>DeviceID</key><integer>" + id +
           "</integer><key>SerialNumber</key><string>s" + id + "</string></dict></dict>";
}

inline Bytes deviceList(const std::vector<std::string>& entries) {
    std::string body = "<dict><key>DeviceList</key><array>";
    for (const auto& e : entries) body += e;
    return message(plistXml(body + "</array></dict>"), 1);
}

inline Bytes result(const std::string& numberElement) {
    return message(plistXml("<dict><key>MessageType</key><string>Result</string><key>Number</key>" +
                            numberElement + "</dict>"),
                   2);
}

struct Request {
    uint32_t tag = 0;
    std::string messageType;
    std::string clientVersion;
    std::string progName;
    int64_t deviceId = -1;
    int64_t portNumber = -1;
};

struct Reply {
    Bytes bytes;          // sent as they are
    bool tunnel = false;  // keep the connection open and hand it to the test
};

class Usbmuxd {
  public:
    using Responder = std::function<Reply(const Request&)>;

    explicit Usbmuxd(Responder respond) : responder(std::move(respond)) {
        char pattern[] = "/tmp/qw-fakemux-XXXXXX";
        if (::mkdtemp(pattern)) dir = pattern;
        path = dir + "/usbmuxd";
        listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        if (::bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listenFd, 8) != 0) {
            ::close(listenFd);
            listenFd = -1;
        }
        if (::pipe2(stopPipe, O_CLOEXEC) != 0) stopPipe[0] = stopPipe[1] = -1;
        thread = std::thread([this] { serve(); });
    }

    ~Usbmuxd() {
        if (stopPipe[1] >= 0 && ::write(stopPipe[1], "x", 1) < 0) {
        }
        thread.join();
        for (int fd : {listenFd, stopPipe[0], stopPipe[1]}) {
            if (fd >= 0) ::close(fd);
        }
        for (int fd : tunnels) ::close(fd);
        ::unlink(path.c_str());
        ::rmdir(dir.c_str());
    }

    std::vector<Request> requests() const {
        std::lock_guard lock(mutex);
        return seen;
    }

    size_t requestCount() const {
        std::lock_guard lock(mutex);
        return seen.size();
    }

    // The service side of every tunnel opened so far, oldest first (owned by the fake).
    std::vector<int> tunnelEnds() const {
        std::lock_guard lock(mutex);
        return tunnels;
    }

    std::string path;

  private:
    void serve() {
        for (;;) {
            pollfd fds[2] = {{listenFd, POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) continue;
            if (fds[1].revents) return;
            int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            Request request;
            if (!readRequest(fd, request)) {
                ::close(fd);
                continue;
            }
            Reply reply = responder(request);
            {
                // Recorded before the reply goes out: the client may look as soon as it has it.
                std::lock_guard lock(mutex);
                seen.push_back(request);
                if (reply.tunnel) tunnels.push_back(fd);
            }
            size_t done = 0;
            while (done < reply.bytes.size()) {
                ssize_t n =
                    ::send(fd, reply.bytes.data() + done, reply.bytes.size() - done, MSG_NOSIGNAL);
                if (n <= 0) break;
                done += static_cast<size_t>(n);
            }
            if (!reply.tunnel) ::close(fd);
        }
    }

    static bool readAll(int fd, uint8_t* dst, size_t size) {
        while (size > 0) {
            ssize_t n = ::read(fd, dst, size);
            if (n <= 0) return false;
            dst += n;
            size -= static_cast<size_t>(n);
        }
        return true;
    }

    static bool readRequest(int fd, Request& request) {
        uint8_t header[16];
        if (!readAll(fd, header, 16)) return false;
        auto le = [&](int at) {
            return uint32_t{header[at]} | uint32_t{header[at + 1]} << 8 |
                   uint32_t{header[at + 2]} << 16 | uint32_t{header[at + 3]} << 24;
        };
        const uint32_t length = le(0);
        if (length < 16 || length > 65536 || le(4) != 1 || le(8) != 8) return false;
        request.tag = le(12);
        std::string xml(length - 16, '\0');
        if (!readAll(fd, reinterpret_cast<uint8_t*>(xml.data()), xml.size())) return false;
        plist_t dict = nullptr;
        plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &dict);
        if (!dict) return false;
        auto text = [&](const char* key) {
            plist_t node = plist_dict_get_item(dict, key);
            if (!node || plist_get_node_type(node) != PLIST_STRING) return std::string("(none)");
            char* value = nullptr;
            plist_get_string_val(node, &value);
            std::string result = value ? value : "";
            std::free(value);
            return result;
        };
        auto number = [&](const char* key) -> int64_t {
            plist_t node = plist_dict_get_item(dict, key);
            if (!node || plist_get_node_type(node) != PLIST_UINT) return -1;
            uint64_t value = 0;
            plist_get_uint_val(node, &value);
            return static_cast<int64_t>(value);
        };
        request.messageType = text("MessageType");
        request.clientVersion = text("ClientVersionString");
        request.progName = text("ProgName");
        request.deviceId = number("DeviceID");
        request.portNumber = number("PortNumber");
        plist_free(dict);
        return true;
    }

    Responder responder;
    std::string dir;
    int listenFd = -1;
    int stopPipe[2] = {-1, -1};
    std::thread thread;
    mutable std::mutex mutex;
    std::vector<Request> seen;
    std::vector<int> tunnels;
};

}  // namespace fake
