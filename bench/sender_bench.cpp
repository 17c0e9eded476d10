// The sender path: frames of one render callback (256 sample frames, 1029 bytes) written to a
// local reader over a UNIX stream socket (what a usbmuxd tunnel is) and over TCP on loopback,
// against a bare send() loop of the same bytes on the same kind of socket in the same run.
//
//  - bareWrite: send(MSG_NOSIGNAL) until the frame is out; the floor.
//  - sendBatch1: the sender's batch for one frame (the usual case: one frame per drain), which
//    checks the link under gLock (its own descriptor is kept from batch to batch) and times the
//    write.
//  - sendBatch8: the same for a batch of 8 frames (a sender that fell behind, written in one
//    gathering write), per frame.
//  - queueAndSend: a pooled buffer filled, pushed onto a send queue, drained, sent and given
//    back: the whole hand-over, per frame.
//
// Prints, after Google Benchmark's table, frames per second and each path's time per frame as
// a ratio of bareWrite on the same socket kind.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <string>
#include <thread>

#include "bridge/frame.h"
#include "bridge/link_state.h"
#include "bridge/send_queue.h"
#include "bridge/sender.h"

namespace {

enum Transport { kUnix = 0, kTcp = 1 };

// A connected socket pair of the given kind: `writer` for the bridge, `reader` for the phone.
bool connectedPair(Transport transport, int& writer, int& reader) {
    if (transport == kUnix) {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return false;
        writer = fds[0];
        reader = fds[1];
        return true;
    }
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    bool ok = ::bind(listener, reinterpret_cast<sockaddr*>(&addr), size) == 0 &&
              ::listen(listener, 1) == 0 &&
              ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &size) == 0;
    writer = ::socket(AF_INET, SOCK_STREAM, 0);
    ok = ok && ::connect(writer, reinterpret_cast<sockaddr*>(&addr), size) == 0;
    reader = ok ? ::accept(listener, nullptr, nullptr) : -1;
    ::close(listener);
    int on = 1;
    ::setsockopt(writer, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return ok && reader >= 0;
}

// The phone: reads and discards everything until the link ends.
class Link {
  public:
    explicit Link(Transport transport) {
        int writer = -1;
        ok = connectedPair(transport, writer, readerFd);
        fd = writer;
        reader = std::thread([this] {
            static thread_local uint8_t buffer[1 << 16];
            while (::read(readerFd, buffer, sizeof buffer) > 0) {
            }
        });
    }
    ~Link() {
        if (generation) {
            retireLink(generation);  // shuts the socket down: the reader sees the end
        } else {
            ::shutdown(fd, SHUT_RDWR);
            ::close(fd);
        }
        reader.join();
        ::close(readerFd);
    }
    void publish() { generation = publishLink(fd); }
    bool ok = false;
    int fd = -1;

  private:
    int readerFd = -1;
    uint64_t generation = 0;
    std::thread reader;
};

const Bytes& callbackFrame() {
    static const Bytes frame = makeFrame(FrameType::audio, Bytes(1024, 0x11));
    return frame;
}

void bareWrite(benchmark::State& state) {
    Link link(static_cast<Transport>(state.range(0)));
    if (!link.ok) return state.SkipWithError("no socket pair");
    const Bytes& frame = callbackFrame();
    for (auto _ : state) {
        size_t done = 0;
        while (done < frame.size()) {
            ssize_t n = ::send(link.fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return state.SkipWithError("write failed");
            done += static_cast<size_t>(n);
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void sendBatch1(benchmark::State& state) {
    Link link(static_cast<Transport>(state.range(0)));
    if (!link.ok) return state.SkipWithError("no socket pair");
    link.publish();
    std::atomic<double> maxWriteMs{0.0};
    Sender sender(maxWriteMs);
    const std::vector<Bytes> batch = {callbackFrame()};
    for (auto _ : state) {
        if (sender.send(batch).framesWritten != 1) {
            return state.SkipWithError("write failed");
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void sendBatch8(benchmark::State& state) {
    Link link(static_cast<Transport>(state.range(0)));
    if (!link.ok) return state.SkipWithError("no socket pair");
    link.publish();
    std::atomic<double> maxWriteMs{0.0};
    Sender sender(maxWriteMs);
    const std::vector<Bytes> batch(8, callbackFrame());
    for (auto _ : state) {
        if (sender.send(batch).framesWritten != 8) {
            return state.SkipWithError("write failed");
        }
    }
    state.SetItemsProcessed(state.iterations() * 8);
}

void queueAndSend(benchmark::State& state) {
    Link link(static_cast<Transport>(state.range(0)));
    if (!link.ok) return state.SkipWithError("no socket pair");
    link.publish();
    std::atomic<double> maxWriteMs{0.0};
    Sender sender(maxWriteMs);
    SendQueue queue;
    FramePool pool;
    std::vector<Bytes> batch;
    batch.reserve(kSendQueueLimit);
    for (auto _ : state) {
        Bytes frame = pool.take();
        frame.assign(callbackFrame().begin(), callbackFrame().end());
        queue.push(std::move(frame), &pool);
        queue.drain(batch);
        if (sender.send(batch).framesWritten != 1) return state.SkipWithError("write failed");
        for (Bytes& f : batch) pool.recycle(std::move(f));
        batch.clear();
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(bareWrite)->Arg(kUnix)->Arg(kTcp)->UseRealTime();
BENCHMARK(sendBatch1)->Arg(kUnix)->Arg(kTcp)->UseRealTime();
BENCHMARK(sendBatch8)->Arg(kUnix)->Arg(kTcp)->UseRealTime();
BENCHMARK(queueAndSend)->Arg(kUnix)->Arg(kTcp)->UseRealTime();

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Iteration || r.iterations == 0) continue;
            const auto items = r.counters.find("items_per_second");
            if (items != r.counters.end() && items->second.value > 0) {
                nsPerFrame[r.benchmark_name()] = 1e9 / items->second.value;
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nper frame, as a ratio of a bare write of the same bytes (same run):\n");
        for (const char* transport : {"0", "1"}) {
            const std::string kind = transport[0] == '0' ? "unix" : "tcp ";
            const double base = nsPerFrame["bareWrite/" + std::string(transport) + "/real_time"];
            for (const char* name : {"bareWrite", "sendBatch1", "sendBatch8", "queueAndSend"}) {
                const double t = nsPerFrame[std::string(name) + "/" + transport + "/real_time"];
                std::printf("  %-13s %s %8.0f ns/frame %9.0f frames/s  ratio %.2f\n", name,
                            kind.c_str(), t, t > 0 ? 1e9 / t : 0.0, base > 0 ? t / base : 0.0);
            }
        }
    }

  private:
    std::map<std::string, double> nsPerFrame;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
