// The receiver's stream reader alone (stream_reader_check.h), without the rest of the receiver
// core, so that a campaign of minutes runs to millions of inputs.

#include <cstdint>

#include "stream_reader_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // The first byte chooses the piece size for the feed: 1 to 256 bytes.
    checkStreamReader(data + 1, size - 1, size_t{data[0]} + 1);
    return 0;
}
