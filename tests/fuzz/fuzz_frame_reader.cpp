// Feeds arbitrary bytes from the phone through readFrame and reportLine, and checks every frame
// against a plain in-memory reading of the same bytes.

#include <cstdlib>
#include <cstring>

#include "bridge/frame.h"
#include "bridge/report_text.h"
#include "pipe_feed.h"

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

void checkReportLine(const Bytes& payload) {
    const std::string line = reportLine(payload);
    const size_t prefix = std::strlen(kReportPrefix);
    check(line.compare(0, prefix, kReportPrefix) == 0);
    for (size_t i = 0; i < line.size(); ++i) {
        const auto c = static_cast<unsigned char>(line[i]);
        check(c >= 0x20 && c != 0x7F);
        if (c == 0xC2 && i + 1 < line.size()) {
            const auto next = static_cast<unsigned char>(line[i + 1]);
            check(next < 0x80 || next > 0x9F);  // no C1 control
        }
        if (c == 0xE2 && i + 2 < line.size() && static_cast<unsigned char>(line[i + 1]) == 0x80) {
            const auto last = static_cast<unsigned char>(line[i + 2]);
            check(last != 0xA8 && last != 0xA9);  // no U+2028/U+2029
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int fd = feedPipe(data, size);
    if (fd < 0) return 0;
    size_t pos = 0;  // where the in-memory reading stands
    while (true) {
        LinkDown why;
        auto frame = readFrame(fd, &why);
        // In-memory reading of the next frame.
        bool expected = false;
        bool badLength = false;
        uint32_t length = 0;
        if (size - pos >= 4) {
            std::memcpy(&length, data + pos, 4);  // the fuzz hosts are little-endian
            badLength = length < 1 || length > kMaxPhoneFrameLength;
            expected = !badLength && size - pos - 4 >= length;
        }
        check(frame.has_value() == expected);
        if (!frame) {
            check(why == (badLength ? LinkDown{LinkDownReason::framingError, length}
                                    : LinkDown{LinkDownReason::peerClosed}));
            break;
        }
        check(why == LinkDown{});  // a frame read leaves it alone
        check(frame->type == data[pos + 4]);
        check(frame->payload.size() == length - 1);
        check(length == 1 || std::memcmp(frame->payload.data(), data + pos + 5, length - 1) == 0);
        if (frame->type == static_cast<uint8_t>(FrameType::report)) checkReportLine(frame->payload);
        pos += 4 + length;
    }
    ::close(fd);
    return 0;
}
