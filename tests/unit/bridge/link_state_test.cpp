#include "bridge/link_state.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include "socket_pair.h"

namespace {

bool isOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

TEST(LinkState, PublishUseRetire) {
    EXPECT_EQ(currentTunnel(), -1);
    EXPECT_EQ(takeLink().fd, -1);

    SocketPair pair;
    const int published = pair.a;
    const uint64_t generation = publishLink(published);
    pair.a = -1;  // owned by the link state now
    EXPECT_EQ(currentTunnel(), published);

    // The user's descriptor is its own, but it reaches the same socket.
    LinkUse use = takeLink();
    ASSERT_GE(use.fd, 0);
    EXPECT_NE(use.fd, published);
    EXPECT_EQ(use.generation, generation);
    EXPECT_TRUE(::fcntl(use.fd, F_GETFD) & FD_CLOEXEC);
    ASSERT_EQ(::write(use.fd, "x", 1), 1);
    char c = 0;
    ASSERT_EQ(::read(pair.b, &c, 1), 1);

    EXPECT_TRUE(retireLink(generation));
    EXPECT_EQ(currentTunnel(), -1);
    EXPECT_FALSE(isOpen(published));
    EXPECT_FALSE(retireLink(generation));  // closed once only
    // The retire shut the socket down: the user's duplicate can no longer write...
    EXPECT_LT(::send(use.fd, "y", 1, MSG_NOSIGNAL), 0);
    // ...and the peer sees the end of the stream.
    EXPECT_EQ(::read(pair.b, &c, 1), 0);
    ::close(use.fd);
}

TEST(LinkState, StaleRetireNeverClosesANewerLinkOnTheSameNumber) {
    SocketPair first;
    const int number = first.a;
    const uint64_t oldGeneration = publishLink(number);
    first.a = -1;
    ASSERT_TRUE(retireLink(oldGeneration));  // the supervisor noticed the loss first

    // The next link gets the very same descriptor number (the lowest free one, or forced).
    SocketPair second;
    if (second.a != number) {
        ASSERT_EQ(::dup2(second.a, number), number);
        second.closeA();
    }
    second.a = -1;
    const uint64_t newGeneration = publishLink(number);
    EXPECT_NE(newGeneration, oldGeneration);

    EXPECT_FALSE(retireLink(oldGeneration));  // a late retire for the old link
    EXPECT_EQ(currentTunnel(), number);
    EXPECT_TRUE(isOpen(number));
    ASSERT_EQ(::write(number, "z", 1), 1);
    char c = 0;
    EXPECT_EQ(::read(second.b, &c, 1), 1);

    EXPECT_TRUE(retireLink(newGeneration));
    EXPECT_EQ(currentTunnel(), -1);
}

TEST(LinkState, RetireEndsAReadBlockedOnADuplicate) {
    SocketPair pair;
    const uint64_t generation = publishLink(pair.a);
    pair.a = -1;
    LinkUse reader = takeLink();
    ASSERT_GE(reader.fd, 0);
    auto readResult = std::async(std::launch::async, [fd = reader.fd] {
        char c;
        return ::read(fd, &c, 1);
    });
    // Give the read time to block, then retire from this thread.
    EXPECT_EQ(readResult.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    EXPECT_TRUE(retireLink(generation));
    ASSERT_EQ(readResult.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(readResult.get(), 0);
    ::close(reader.fd);
}

}  // namespace
