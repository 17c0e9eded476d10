#pragma once
// The phone side's own reading and writing of the stream's frames: a 4-byte little-endian length
// (type byte plus payload), the type byte, the payload. Written here from the layout, not taken
// from the product, so that the stand-ins check the product's bytes from outside.

#include <cstddef>
#include <cstdint>

#include "phone_io.h"

namespace phone {

// Appends one whole frame to `out`.
void appendFrame(Bytes& out, uint8_t type, const uint8_t* payload, size_t size);

struct FrameView {
    uint8_t type = 0;
    const uint8_t* payload = nullptr;
    size_t size = 0;
};

enum class Split { frame, incomplete, badLength };

// Looks at `in` from `pos`. A whole frame fills `frame` and moves `pos` past it; a frame still
// missing bytes leaves both alone; a length of 0 or above `maxLength` is stored in `badLength`.
Split splitFrame(const Bytes& in, size_t& pos, uint32_t maxLength, FrameView& frame,
                 uint32_t& badLength);

}  // namespace phone
