// The unit's behaviours that the documentation leaves open, each with the platform's choice as
// its default and the other one chosen through the environment, so that tests run both. Read
// when a unit is made.
#pragma once
#include <MacTypes.h>

namespace halclient {

// The most frames one render may ask for unless the client sets MaximumFramesPerSlice:
// QW_STANDIN_UNIT_MAX_FRAMES (1 to 8192), else 1156.
UInt32 defaultMaxFramesPerSlice();

// How long after the device's rate notification the unit keeps reporting the old rate:
// QW_STANDIN_UNIT_FORMAT_LAG_MS (0 to 10000), else 300 ms.
UInt32 unitFormatLagMs();

}  // namespace halclient
