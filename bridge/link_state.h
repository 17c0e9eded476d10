#pragma once
// The program-wide link state and the hand-over of the link socket between threads.
//
// `gTunnels` holds the descriptor of the current link (-1: none) and is only touched under
// `gLock`. The link supervisor publishes a link; the render callback and the sender use it; whoever
// first finds it broken retires it (shut down, closed, -1), exactly once.
//
// Each published link also gets a generation number, kept beside `gTunnels` under `gLock`:
//  - A retire names the generation it means. A sender whose write failed on an old link can
//    therefore never close a newer link that happens to sit in `gTunnels` by then, even one
//    that reuses the old descriptor number.
//  - The sender never writes to the number in `gTunnels` itself: under `gLock` it takes its own
//    duplicate of the descriptor (takeLink, or refreshLink once per link). Its writes can only ever
//    reach the socket of the generation it took, so no byte of a frame begun on an old link lands
//    on a new connection, whatever number the new socket gets. A retire shuts the socket down
//    before closing it, so writes on a duplicate fail at once and a read blocked on the socket (the
//    supervisor's) ends.

#include <pthread.h>

#include <cstdint>
#include <string>

#include "common/wire_format.h"

// The TCP port of the receiving app on the phone.
inline constexpr uint16_t kDevicePort = qw::wire::kAppPort;

extern int32_t gTunnels;       // the current link's descriptor, -1 when there is none
extern pthread_mutex_t gLock;  // guards gTunnels and its generation; statically initialised
extern bool tcpMode;           // plain TCP to tcpHost instead of usbmuxd; set before threads start
extern std::string tcpHost;    // "127.0.0.1" unless the command line names another host

// Publish (link supervisor only): stores `fd` in gTunnels and returns its new generation. The
// caller must have retired its previous link first; gTunnels is -1 when this is called.
uint64_t publishLink(int fd);

// Use, for a quick presence check (render callback): a copy of gTunnels taken under gLock.
int32_t currentTunnel();

// Use, for writing (sender): the current link as a descriptor of the caller's own (a duplicate
// made under gLock, close-on-exec) and its generation. fd is -1 when there is no link (or the
// duplicate could not be made); the caller closes fd when done with it.
struct LinkUse {
    int fd = -1;
    uint64_t generation = 0;
};
LinkUse takeLink();

// Keeps the caller's own copy `use` in step with the published link, under gLock: while the
// link of use.generation is still published, nothing happens. Otherwise use.fd (when open) is
// closed and `use` becomes a fresh duplicate of the current link, as takeLink gives, or
// {-1, 0} when there is none. True when `use` changed to a new link's descriptor.
bool refreshLink(LinkUse& use);

// Retire: if gTunnels still holds the link of `generation`, shuts it down (ending reads and
// writes on every duplicate), closes it and sets gTunnels to -1, all under gLock. Returns true
// when it did so, false when the link was already retired or a newer one has been published.
bool retireLink(uint64_t generation);
