// UNIX SOCK_SEQPACKET helpers shared by the audio server and its clients: one message per
// packet, descriptors passed with SCM_RIGHTS, never SIGPIPE, never an unbounded wait.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qwipc {

inline constexpr int kMaxPassedFds = 4;

// A non-blocking, close-on-exec connection to `path`; -1 when nothing listens there.
int connectTo(const std::string& path);

// A non-blocking, close-on-exec listening socket at `path` (a stale socket file is replaced);
// -1 on failure.
int listenAt(const std::string& path);

// Sends one message with optional descriptors, waiting at most timeoutMs for buffer space.
bool sendMessage(int fd, const void* data, size_t size, const int* fds = nullptr, int nfds = 0,
                 int timeoutMs = 0);

// Receives one message without waiting. Returns its size, 0 when the peer has gone, -1 when
// nothing is there (errno EAGAIN) or on error. A truncated message is an error. Descriptors
// that arrive beyond `maxFds` are closed.
long receiveMessage(int fd, void* buffer, size_t capacity, int* fds = nullptr, int maxFds = 0,
                    int* nfds = nullptr);

// Waits until `fd` is readable or has hung up; false on timeout.
bool waitReadable(int fd, int timeoutMs);

// Sends a request and waits for the reply whose header carries the same sequence number
// (anything else arriving meanwhile is dropped). Returns the reply size, or -1 on failure or
// timeout.
long roundTrip(int fd, const void* request, size_t size, void* reply, size_t capacity,
               int timeoutMs, int* fds = nullptr, int maxFds = 0, int* nfds = nullptr);

// Message building and parsing over a byte vector.
class MessageWriter {
  public:
    template <class T>
    void put(const T& value) {
        putBytes(&value, sizeof value);
    }
    void putBytes(const void* data, size_t size);
    const std::vector<uint8_t>& bytes() const { return bytes_; }
    std::vector<uint8_t>& bytes() { return bytes_; }

  private:
    std::vector<uint8_t> bytes_;
};

class MessageReader {
  public:
    MessageReader(const void* data, size_t size)
        : data_(static_cast<const uint8_t*>(data)), size_(size) {}
    template <class T>
    bool get(T& value) {
        return getBytes(&value, sizeof value);
    }
    bool getBytes(void* out, size_t size);
    // Points at the next `size` bytes without copying; null if fewer remain.
    const uint8_t* view(size_t size);
    size_t remaining() const { return size_ - offset_; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

}  // namespace qwipc
