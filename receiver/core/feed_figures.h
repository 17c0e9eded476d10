#pragma once
// What the connection's side knows after an arrival, handed to the output's side as one whole
// snapshot (LatestValue) instead of figure by figure.

#include <cstdint>

namespace qw::receiver {

struct FeedFigures {
    uint32_t arrivalFrames = 0;   // the usual audio frame's size (the smallest of the latest)
    double arrivalLevel = -1;     // the ring's level right after it, less half of that; <0: none
    double senderRatio = 0;       // the sender's clock over its nominal rate; 0: not known
    double latenessSeconds = -1;  // what the buffer has to cover (TargetPolicy); <0: not known
    double latestDueSeconds =
        -1;  // when the latest arrival was due by the sender's line; <0: not known
};

}  // namespace qw::receiver
