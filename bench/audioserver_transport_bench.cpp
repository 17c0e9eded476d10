// The transport choice between the audio server and its clients, measured across processes:
// handing one IO buffer (256 stereo float frames, 2 KiB) to a waiting real-time client either
// through shared memory with an eventfd wake-up (what the server does) or as a message on a
// UNIX SOCK_SEQPACKET socket (the simpler alternative, the baseline). The two alternate, one
// hand-over per millisecond, so both see the same machine; the receiver waits in poll() on both
// descriptors as the client library's IO thread does. Latency runs from the sender's clock stamp
// to the receiver holding the frames; send cost is what the sender (the server's IO thread)
// spends per hand-over. --duration=SECONDS (default 60).
#include <benchmark/benchmark.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>

#include <new>
#include <thread>

#include "audioserver_bench_util.h"

namespace {

using namespace qwbench;

constexpr size_t kBufferBytes = 256 * 2 * sizeof(float);

struct Shared {
    std::atomic<uint64_t> stamp{0};
    alignas(64) char frames[kBufferBytes];
    Histogram latency[2];  // socket, eventfd
    Histogram sendCost[2];
};

void makeRealtime(int priority) {
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    sched_param p{};
    p.sched_priority = priority;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &p);
}

void receive(Shared* shared, int sock, int efd, uint64_t count) {
    makeRealtime(70);
    char copy[kBufferBytes + sizeof(uint64_t)];
    pollfd fds[2] = {{sock, POLLIN, 0}, {efd, POLLIN, 0}};
    for (uint64_t got = 0; got < count;) {
        if (poll(fds, 2, 5000) <= 0) break;
        if (fds[0].revents != 0) {
            if (recv(sock, copy, sizeof copy, 0) != static_cast<ssize_t>(sizeof copy)) break;
            uint64_t stamp;
            std::memcpy(&stamp, copy, sizeof stamp);
            const uint64_t now = nowNs();
            shared->latency[0].record(now > stamp ? now - stamp : 0);
            ++got;
        }
        if (fds[1].revents != 0) {
            uint64_t n;  // wake-ups that came while the receiver was busy arrive as one
            if (read(efd, &n, sizeof n) != sizeof n) break;
            const uint64_t stamp = shared->stamp.load(std::memory_order_acquire);
            std::memcpy(copy, shared->frames, kBufferBytes);
            const uint64_t now = nowNs();
            shared->latency[1].record(now > stamp ? now - stamp : 0);
            got += n;
        }
    }
}

void BM_HandOverSocketVersusSharedMemoryAndEventfd(benchmark::State& state) {
    void* map =
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    auto* shared = new (map) Shared();
    const uint64_t count = static_cast<uint64_t>(durationSeconds() * 1000);
    for (auto _ : state) {
        const int efd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        int sv[2];
        socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv);
        const pid_t child = fork();
        if (child == 0) {
            receive(shared, sv[1], efd, count);
            _exit(0);
        }
        std::thread sender([&] {
            makeRealtime(80);
            char message[kBufferBytes + sizeof(uint64_t)] = {};
            const uint64_t start = nowNs();
            for (uint64_t i = 1; i <= count; ++i) {
                const uint64_t planned = start + i * 1000000;
                timespec ts{static_cast<time_t>(planned / 1000000000u),
                            static_cast<long>(planned % 1000000000u)};
                while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
                }
                const bool viaSocket = i % 2 == 0;
                const uint64_t stamp = nowNs();
                if (viaSocket) {
                    std::memcpy(message, &stamp, sizeof stamp);
                    send(sv[0], message, sizeof message, MSG_NOSIGNAL | MSG_DONTWAIT);
                } else {
                    std::memcpy(shared->frames, message, kBufferBytes);
                    shared->stamp.store(stamp, std::memory_order_release);
                    const uint64_t one = 1;
                    [[maybe_unused]] ssize_t n = write(efd, &one, sizeof one);
                }
                shared->sendCost[viaSocket ? 0 : 1].record(nowNs() - stamp);
            }
        });
        sender.join();
        waitpid(child, nullptr, 0);
        close(efd);
        close(sv[0]);
        close(sv[1]);
    }
    const char* names[2] = {"socket", "eventfd"};
    for (int k = 0; k < 2; ++k) {
        const std::string n = names[k];
        state.counters[n + "_p50_us"] = shared->latency[k].percentileUs(0.50);
        state.counters[n + "_p99_us"] = shared->latency[k].percentileUs(0.99);
        state.counters[n + "_max_us"] = shared->latency[k].maxUs();
        state.counters[n + "_send_p50_us"] = shared->sendCost[k].percentileUs(0.50);
    }
    state.counters["eventfd_vs_socket_p50"] =
        shared->latency[1].percentileUs(0.50) / shared->latency[0].percentileUs(0.50);
    state.counters["eventfd_vs_socket_p99"] =
        shared->latency[1].percentileUs(0.99) / shared->latency[0].percentileUs(0.99);
    shared->~Shared();
    munmap(map, sizeof(Shared));
}

BENCHMARK(BM_HandOverSocketVersusSharedMemoryAndEventfd)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    takeDurationOption(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
