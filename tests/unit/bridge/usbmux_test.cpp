#include "bridge/usbmux.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "fd_count.h"
#include "socket_pair.h"

namespace {

using namespace std::string_literals;

// Runs `body` on a thread with the 512 KiB stack macOS gives secondary threads, and waits.
template <class F>
void runOnSmallStack(F body) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 512 * 1024);
    pthread_t thread;
    ASSERT_EQ(pthread_create(
                  &thread, &attributes,
                  [](void* f) -> void* {
                      (*static_cast<F*>(f))();
                      return nullptr;
                  },
                  &body),
              0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
}

Bytes le32(uint32_t v) {
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

Bytes toBytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// A raw message as the service would send it.
Bytes message(uint32_t length, const Bytes& payload, uint32_t version = 1, uint32_t type = 8,
              uint32_t tag = 1) {
    Bytes out;
    for (uint32_t v : {length, version, type, tag}) {
        auto b = le32(v);
        out.insert(out.end(), b.begin(), b.end());
    }
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes message(const Bytes& payload) {
    return message(static_cast<uint32_t>(payload.size() + 16), payload);
}

std::string xmlOf(plist_t node) {
    char* xml = nullptr;
    uint32_t size = 0;
    plist_to_xml(node, &xml, &size);
    std::string out(xml, size);
    plist_to_xml_free(xml);
    return out;
}

Plist dictWith(const char* key, const std::string& value) {
    Plist dict(plist_new_dict());
    plist_dict_set_item(dict.get(), key, plist_new_string(value.c_str()));
    return dict;
}

std::string stringAt(const Plist& dict, const char* key) {
    plist_t node = plist_dict_get_item(dict.get(), key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return "<absent>";
    char* value = nullptr;
    plist_get_string_val(node, &value);
    std::string out(value);
    std::free(value);
    return out;
}

const Bytes kReplyXml = toBytes(xmlOf(dictWith("MessageType", "Result").get()));

TEST(UsbmuxSend, HeaderAndPayloadOnTheWire) {
    // Pad one string so that the XML form is exactly 300 bytes.
    const size_t base = xmlOf(dictWith("MessageType", "").get()).size();
    ASSERT_LT(base, 300u);
    Plist request = dictWith("MessageType", std::string(300 - base, 'L'));
    const std::string xml = xmlOf(request.get());
    ASSERT_EQ(xml.size(), 300u);

    SocketPair s;
    ASSERT_TRUE(usbmuxSend(s.a, request.get(), 0xA1B2C3D4));
    s.closeA();
    auto wire = readN(s.b, 316);
    ASSERT_TRUE(wire);
    EXPECT_EQ(Bytes(wire->begin(), wire->begin() + 16),
              (Bytes{0x3C, 0x01, 0, 0, 1, 0, 0, 0, 8, 0, 0, 0, 0xD4, 0xC3, 0xB2, 0xA1}));
    EXPECT_EQ(std::string(wire->begin() + 16, wire->end()), xml);
    uint8_t extra;
    EXPECT_EQ(::read(s.b, &extra, 1), 0);  // nothing beyond the 316 bytes
}

TEST(UsbmuxSend, FailuresReturnFalseWithoutSigpipe) {
    signal(SIGPIPE, SIG_DFL);  // a SIGPIPE would kill the test binary
    Plist request = dictWith("MessageType", "ListDevices");
    SocketPair s;
    EXPECT_FALSE(usbmuxSend(s.a, nullptr, 1));  // nothing to serialise, nothing written
    s.closeA();
    uint8_t byte;
    EXPECT_EQ(::read(s.b, &byte, 1), 0);

    SocketPair gone;
    gone.closeB();
    EXPECT_FALSE(usbmuxSend(gone.a, request.get(), 1));
    EXPECT_FALSE(usbmuxSend(-1, request.get(), 1));
}

TEST(UsbmuxRecv, AcceptsAnyHeaderAndReadsAcrossShortReads) {
    SocketPair s;
    Bytes stream = message(static_cast<uint32_t>(kReplyXml.size() + 16), kReplyXml, 7, 99, 12345);
    Bytes second = message(kReplyXml);
    stream.insert(stream.end(), second.begin(), second.end());
    std::thread writer = dribble(s.b, stream, false);
    Plist first = usbmuxRecv(s.a);
    Plist next = usbmuxRecv(s.a);
    writer.join();
    ASSERT_TRUE(first);
    EXPECT_EQ(stringAt(first, "MessageType"), "Result");
    ASSERT_TRUE(next);
    EXPECT_EQ(stringAt(next, "MessageType"), "Result");
}

TEST(UsbmuxRecv, BadLengthFields) {
    for (uint32_t length : {0u, 1u, 15u}) {
        SocketPair s;
        // Only the header is read; what follows is left for the caller.
        Bytes stream = message(length, toBytes("rest"));
        writeAllTo(s.b, stream);
        EXPECT_FALSE(usbmuxRecv(s.a)) << length;
        EXPECT_EQ(readN(s.a, 4), toBytes("rest")) << length;
    }
    {  // exactly 16: empty payload, which is no property list
        SocketPair s;
        Bytes stream = message(16, {});
        Bytes good = message(kReplyXml);
        stream.insert(stream.end(), good.begin(), good.end());
        writeAllTo(s.b, stream);
        EXPECT_FALSE(usbmuxRecv(s.a));
        EXPECT_TRUE(usbmuxRecv(s.a));  // the next message starts right after the header
    }
    {  // beyond 1 MiB: refused without waiting for the payload, which never comes
        SocketPair s;
        timeval timeout{5, 0};  // a reader that waited for the payload fails after this instead
        ::setsockopt(s.a, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        Bytes stream = message(kMaxUsbmuxReply + 1, {});
        Bytes good = message(kReplyXml);
        stream.insert(stream.end(), good.begin(), good.end());
        writeAllTo(s.b, stream);
        EXPECT_FALSE(usbmuxRecv(s.a));
        EXPECT_TRUE(usbmuxRecv(s.a));
        writeAllTo(s.b, message(0xFFFFFFFF, {}));
        EXPECT_FALSE(usbmuxRecv(s.a));
    }
}

TEST(UsbmuxRecv, ReplyOfExactly1MiBIsAccepted) {
    const size_t base = xmlOf(dictWith("Pad", "").get()).size();
    const std::string xml =
        xmlOf(dictWith("Pad", std::string(kMaxUsbmuxReply - 16 - base, 'p')).get());
    ASSERT_EQ(xml.size() + 16, kMaxUsbmuxReply);
    SocketPair s;
    std::thread writer([&] { writeAllTo(s.b, message(toBytes(xml))); });
    Plist reply = usbmuxRecv(s.a);
    writer.join();
    ASSERT_TRUE(reply);
    EXPECT_EQ(stringAt(reply, "Pad").size(), kMaxUsbmuxReply - 16 - base);
}

TEST(UsbmuxRecv, PayloadsThatAreNotAStringKeyedDictionary) {
    Plist array(plist_new_array());
    plist_array_append_item(array.get(), plist_new_string("x"));
    // A binary property list whose one dictionary has an integer key (5 -> 7).
    const Bytes intKeyBinary = {'b',  'p',  'l',  'i',  's',  't',  '0',  '0',  0xD1, 0x01,
                                0x02, 0x10, 0x05, 0x10, 0x07, 0x08, 0x0B, 0x0D, 0,    0,
                                0,    0,    0,    0,    1,    1,    0,    0,    0,    0,
                                0,    0,    0,    3,    0,    0,    0,    0,    0,    0,
                                0,    0,    0,    0,    0,    0,    0,    0,    0,    15};
    for (const Bytes& payload :
         {toBytes(xmlOf(array.get())), toBytes("<plist><string>x</string></plist>"),
          toBytes("not a property list"), Bytes(40, 0), intKeyBinary,
          Bytes(kReplyXml.begin(), kReplyXml.end() - 20)}) {
        SocketPair s;
        writeAllTo(s.b, message(payload));
        EXPECT_FALSE(usbmuxRecv(s.a)) << std::string(payload.begin(), payload.end());
    }
    {  // binary property lists are refused, even a well-formed string-keyed dictionary
        char* bin = nullptr;
        uint32_t size = 0;
        Plist dict = dictWith("MessageType", "Result");
        plist_to_bin(dict.get(), &bin, &size);
        const Bytes payload(bin, bin + size);
        plist_to_bin_free(bin);
        EXPECT_FALSE(parseUsbmuxPayload(payload));
    }
}

TEST(UsbmuxRecv, RepliesLibplistCannotReadSafelyAreRefused) {
    // A NUL byte inside a string or a key: libplist keeps it, and its getters then abort the
    // process on an assertion. Replies like these must never reach a caller.
    const std::string head = "<plist version=\"1.0\"><dict>";
    const std::string tail = "</dict></plist>";
    for (const std::string& body : {"<key>ConnectionType</key><string>US\0B</string>"s,
                                    "<key>Connection\0Type</key><string>USB</string>"s,
                                    "<key>a</key><array><string>x\0</string></array>"s}) {
        EXPECT_FALSE(parseUsbmuxPayload(toBytes(head + body + tail))) << body.size();
    }

    // Nesting: libplist frees trees recursively, so a deep reply would exhaust a thread's stack.
    auto nested = [&](int levels, const std::string& open, const std::string& close) {
        std::string xml = head + "<key>k</key>";
        for (int i = 0; i < levels; ++i) xml += open;
        xml += "<string>deep</string>";
        for (int i = 0; i < levels; ++i) xml += close;
        return toBytes(xml + tail);
    };
    EXPECT_TRUE(parseUsbmuxPayload(nested(20, "<array>", "</array>")));
    EXPECT_FALSE(parseUsbmuxPayload(nested(40, "<array>", "</array>")));
    EXPECT_FALSE(parseUsbmuxPayload(nested(100000, "<array>", "</array>")));
    // Tags that might look self-closing to a careless count are still counted.
    EXPECT_FALSE(parseUsbmuxPayload(nested(40, "<array a=\"/>\">", "</array>")));
    // Many empty elements side by side are not nesting.
    std::string wide = head + "<key>k</key><array>";
    for (int i = 0; i < 1000; ++i) wide += "<array/><true/><dict/>";
    EXPECT_TRUE(parseUsbmuxPayload(toBytes(wide + "</array>" + tail)));

    {  // through the socket, the same refusals
        SocketPair s;
        const Bytes deep = message(nested(60000, "<array>", "</array>"));  // just under 1 MiB
        ASSERT_LT(deep.size(), kMaxUsbmuxReply);
        std::thread writer([&] { writeAllTo(s.b, deep); });
        EXPECT_FALSE(usbmuxRecv(s.a));
        writer.join();
    }
}

// The nesting count must see every tag the parser sees. A "</" inside a comment or CDATA section
// is no closing tag, so such a reply once built trees thousands of levels deep; freeing one
// recursed past the 512 KiB stack of a secondary thread on macOS. Replies keep their XML
// declaration and one document type declaration; other markup that could hide a tag is refused.
TEST(UsbmuxRecv, MarkupThatCouldHideTagsFromTheNestingCountIsRefused) {
    const std::string decl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    const std::string doctype =
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n";
    const std::string head = "<plist version=\"1.0\"><dict><key>k</key>";
    const std::string tail = "</dict></plist>";
    // Each level opens an element and hides a "</" where libplist accepts it.
    struct Level {
        std::string open, close;
    };
    auto bomb = [&](const Level& level) {
        std::string xml = decl + doctype + head;
        for (int i = 0; i < 20000; ++i) xml += level.open;
        xml += "<string>deep</string>";
        for (int i = 0; i < 20000; ++i) xml += level.close;
        return toBytes(xml + tail);
    };
    for (const Level& level : {Level{"<array><!--</a>-->", "</array>"},
                               Level{"<dict><key><![CDATA[</a>]]></key>", "</dict>"},
                               Level{"<array><?pi </a>?>", "</array>"}}) {
        const Bytes payload = bomb(level);
        ASSERT_LT(payload.size() + 16, kMaxUsbmuxReply);
        EXPECT_FALSE(parseUsbmuxPayload(payload)) << level.open;
        SocketPair s;  // and through the socket, parsed on a thread with a macOS-sized stack
        std::thread writer([&] { writeAllTo(s.b, message(payload)); });
        bool refused = false;
        runOnSmallStack([&] { refused = !usbmuxRecv(s.a); });
        EXPECT_TRUE(refused) << level.open;
        writer.join();
    }

    // What a real reply looks like is accepted, with or without the declarations.
    const std::string body = "<string>USB</string>" + tail;
    EXPECT_TRUE(parseUsbmuxPayload(toBytes(decl + doctype + head + body)));
    EXPECT_TRUE(parseUsbmuxPayload(toBytes(decl + head + body)));
    EXPECT_TRUE(parseUsbmuxPayload(toBytes(head + body)));
    EXPECT_TRUE(
        parseUsbmuxPayload(toBytes("<plist><dict><key>it's</key><string>a > b</string>"
                                   "</dict></plist>")));
    // One comment, CDATA section or instruction alone is refused as well: usbmuxd sends none.
    for (const std::string& bad : {
             decl + doctype + "<!-- note -->" + head + body,
             decl + doctype + head + "<string><![CDATA[USB]]></string>" + tail,
             decl + "<?xml-stylesheet href=\"a\"?>" + head + body,
             " " + decl + head + body,  // the declaration only comes first
             decl + doctype + doctype + head + body,
             decl + head + doctype + body,  // after the root element
             decl + "<!DOCTYPE plist [<!ENTITY e \"x\">]>" + head + body,
             decl + "<!ENTITY e \"x\">" + head + body,
             decl + head + "<string a=\"<array>\">USB</string>" + tail,
             decl + head + "<array a=\">\"/>" + tail,
             decl + head + "<string>USB</string></dict></plist",  // markup that does not end
         }) {
        EXPECT_FALSE(parseUsbmuxPayload(toBytes(bad))) << bad;
    }
}

TEST(UsbmuxRecv, ServiceClosingMidMessage) {
    const Bytes whole = message(kReplyXml);
    for (size_t cut : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{17}, whole.size() / 2,
                       whole.size() - 1}) {
        SocketPair s;
        writeAllTo(s.b, Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut)));
        s.closeB();
        EXPECT_FALSE(usbmuxRecv(s.a)) << "cut at " << cut;
    }
    EXPECT_FALSE(usbmuxRecv(-1));
}

// A temporary directory with a listening UNIX socket in it.
struct TempService {
    std::string dir;
    std::string path;
    int listener = -1;
    TempService() {
        char pattern[] = "/tmp/qw-usbmux-XXXXXX";
        dir = ::mkdtemp(pattern);
        path = dir + "/usbmuxd";
    }
    bool listen() {
        listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        return ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
               ::listen(listener, 4) == 0;
    }
    ~TempService() {
        if (listener >= 0) ::close(listener);
        ::unlink(path.c_str());
        ::rmdir(dir.c_str());
    }
};

TEST(ConnectUsbmuxd, FailuresLeaveNoDescriptorOpen) {
    TempService service;
    const int before = openDescriptorCount();
    EXPECT_EQ(connectUsbmuxdAt(service.path.c_str()), -1);           // nothing there
    EXPECT_EQ(connectUsbmuxdAt(service.dir.c_str()), -1);            // a directory, not a socket
    EXPECT_EQ(connectUsbmuxdAt(std::string(200, 'x').c_str()), -1);  // does not fit the address
    EXPECT_EQ(connectUsbmuxdAt(nullptr), -1);
    {  // a socket file nobody listens on any more
        ASSERT_TRUE(service.listen());
        ::close(service.listener);
        service.listener = -1;
        EXPECT_EQ(connectUsbmuxdAt(service.path.c_str()), -1);
    }
    // Failed receives on a connection do not leak either.
    for (int i = 0; i < 3; ++i) {
        SocketPair s;
        writeAllTo(s.b, message(kMaxUsbmuxReply + 1, {}));
        EXPECT_FALSE(usbmuxRecv(s.a));
    }
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST(ConnectUsbmuxd, RequestAndReplyThroughAListeningSocket) {
    TempService service;
    ASSERT_TRUE(service.listen());
    std::string seenType;
    std::thread peer([&] {
        const int conn = ::accept(service.listener, nullptr, nullptr);
        Plist request = usbmuxRecv(conn);
        if (request) seenType = stringAt(request, "MessageType");
        Plist reply = dictWith("MessageType", "Result");
        usbmuxSend(conn, reply.get(), 1);
        ::close(conn);
    });
    const int fd = connectUsbmuxdAt(service.path.c_str());
    ASSERT_GE(fd, 0);
    Plist request = dictWith("MessageType", "ListDevices");
    EXPECT_TRUE(usbmuxSend(fd, request.get(), 1));
    Plist reply = usbmuxRecv(fd);
    peer.join();
    ::close(fd);
    EXPECT_EQ(seenType, "ListDevices");
    ASSERT_TRUE(reply);
    EXPECT_EQ(stringAt(reply, "MessageType"), "Result");
    EXPECT_STREQ(kUsbmuxdPath, "/var/run/usbmuxd");
}

}  // namespace
