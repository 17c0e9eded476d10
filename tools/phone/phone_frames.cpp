#include "phone_frames.h"

namespace phone {

void appendFrame(Bytes& out, uint8_t type, const uint8_t* payload, size_t size) {
    appendLe32(out, static_cast<uint32_t>(size + 1));
    out.push_back(type);
    out.insert(out.end(), payload, payload + size);
}

Split splitFrame(const Bytes& in, size_t& pos, uint32_t maxLength, FrameView& frame,
                 uint32_t& badLength) {
    if (in.size() - pos < 4) return Split::incomplete;
    const uint32_t length = loadLe32(in.data() + pos);
    if (length == 0 || length > maxLength) {
        badLength = length;
        return Split::badLength;
    }
    if (in.size() - pos - 4 < length) return Split::incomplete;
    const uint8_t* body = in.data() + pos + 4;
    frame = FrameView{body[0], body + 1, size_t{length} - 1};
    pos += 4 + size_t{length};
    return Split::frame;
}

}  // namespace phone
