#include "connection_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/frame_header.h"
#include "common/monotonic_clock.h"

namespace qwr {

namespace {

// Report frames waiting beyond this are not queued: a peer that reads nothing cannot make the
// receiver grow.
constexpr size_t kMaxPendingOut = 64 * 1024;

int64_t nowMs() {
    return qw::monotonicNs() / 1000000;
}

void say(const std::string& line) {
    const std::string text = line + "\n";
    (void)!::write(STDOUT_FILENO, text.data(), text.size());
}

}  // namespace

ConnectionServer::ConnectionServer(qw_receiver* receiver, std::function<std::string()> extraFigures)
    : receiver_(receiver), extraFigures_(std::move(extraFigures)) {}

ConnectionServer::~ConnectionServer() {
    if (fd_ >= 0) ::close(fd_);
    if (listenFd_ >= 0) ::close(listenFd_);
}

bool ConnectionServer::listen(const std::string& address, uint16_t port) {
    const std::string where = address + ":" + std::to_string(port);
    const auto fail = [&](const char* why) {
        say("cannot listen on " + where + ": " + why);
        return false;
    };
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
        return fail("not an IPv4 address");
    }
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    if (listenFd_ < 0 || ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 4) != 0) {
        return fail(std::strerror(errno));
    }
    say("listening on " + where);
    return true;
}

void ConnectionServer::accept() {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length,
                             SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    char host[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &peer.sin_addr, host, sizeof host);
    if (!allow_.permits(peer.sin_addr)) {
        ::close(fd);
        refusals_.refused(host);
        return tellRefusals();
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (fd_ >= 0) {
        ++replaced_;
        endConnection("replaced by a new connection");
    }
    fd_ = fd;
    ++connections_;
    out_.clear();
    qw_receiver_new_connection(receiver_);
    say("connection " + std::to_string(connections_) + " from " + host);
}

void ConnectionServer::tellRefusals() {
    if (auto line = refusals_.due(nowMs())) say(*line);
}

void ConnectionServer::endConnection(const char* why) {
    ::close(fd_);
    fd_ = -1;
    say("connection " + std::to_string(connections_) + " ended (" + why + ")");
}

void ConnectionServer::readSome() {
    uint8_t chunk[65536];
    const ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) return endConnection(n == 0 ? "peer closed" : "read error");
    const int error = qw_receiver_feed(receiver_, chunk, static_cast<size_t>(n));
    if (error != QW_RECEIVER_SUCCESS) endConnection(qw_receiver_strerror(error));
}

void ConnectionServer::flushOut() {
    while (!out_.empty()) {
        const ssize_t n = ::send(fd_, out_.data(), out_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return;
        if (n <= 0) return endConnection("write error");
        out_.erase(out_.begin(), out_.begin() + n);
    }
}

void ConnectionServer::everySecond() {
    char text[qw::wire::kMaxAppFrameLength];
    const size_t length = qw_receiver_report_text(receiver_, text, sizeof text);
    qw_receiver_figures f{};
    qw_receiver_get_figures(receiver_, &f);
    std::string line = std::string("figures: ") + text + " · connections " +
                       std::to_string(connections_) + " · replaced " + std::to_string(replaced_) +
                       " · bad payloads " + std::to_string(f.bad_payloads) + " · frames in " +
                       std::to_string(f.frames_in) + " out " + std::to_string(f.frames_out);
    const std::string extra = extraFigures_ ? extraFigures_() : "";
    if (!extra.empty()) line += " · " + extra;
    say(line);
    if (fd_ < 0 || out_.size() > kMaxPendingOut) return;
    uint8_t header[qw::wire::kHeaderSize];
    qw::wire::writeFrameHeader(header, qw::wire::FrameType::report, length);
    out_.insert(out_.end(), header, header + sizeof header);
    out_.insert(out_.end(), text, text + length);
    flushOut();
}

void ConnectionServer::run(const std::function<bool()>& keepGoing) {
    int64_t nextSecond = nowMs() + 1000;
    while (keepGoing()) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {fd_, POLLIN, 0}};
        if (!out_.empty()) fds[1].events |= POLLOUT;
        const int64_t wait = std::max<int64_t>(0, std::min<int64_t>(100, nextSecond - nowMs()));
        if (::poll(fds, fd_ >= 0 ? 2 : 1, static_cast<int>(wait)) < 0 && errno != EINTR) break;
        if (fds[0].revents & POLLIN) accept();
        // A connection just accepted is not the one polled; its bytes are read next time round.
        if (fd_ >= 0 && fds[1].fd == fd_) {
            if (fds[1].revents & POLLOUT) flushOut();
            if (fd_ >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) readSome();
        }
        if (nowMs() >= nextSecond) {
            nextSecond += 1000;
            everySecond();
        }
        tellRefusals();
    }
}

}  // namespace qwr
