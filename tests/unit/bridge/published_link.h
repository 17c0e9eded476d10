#pragma once
// Test helper: a link published in gTunnels for as long as the object lives, one end of a socket
// pair, retired (and so closed) by the link state's own interface when it goes.

#include <unistd.h>

#include <cstdint>

#include "bridge/link_state.h"
#include "socket_pair.h"

class PublishedLink {
  public:
    PublishedLink() : generation(publishLink(::dup(pair.a))) {}
    ~PublishedLink() { retireLink(generation); }
    PublishedLink(const PublishedLink&) = delete;
    PublishedLink& operator=(const PublishedLink&) = delete;

    SocketPair pair;  // `b` is the phone's end

  private:
    uint64_t generation;
};
