// Feeds arbitrary bytes from the service through usbmuxRecv, and arbitrary payloads through the
// property-list parsing behind it; every reply accepted must be a string-keyed dictionary that
// libplist's getters read without an assertion. The work runs on a thread with a 512 KiB stack,
// the size macOS gives secondary threads, so a reply nested deep enough to exhaust it crashes.
// That one thread lives for the whole campaign and is handed each input in turn: a new thread
// per input would grow the sanitizer's per-thread bookkeeping until memory runs out.

#include <pthread.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "bridge/usbmux.h"
#include "pipe_feed.h"

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

// Walks an accepted reply the way a caller would.
void walk(plist_t node, int depth) {
    if (depth > 64) return;
    switch (plist_get_node_type(node)) {
        case PLIST_DICT: {
            plist_dict_iter iter = nullptr;
            plist_dict_new_iter(node, &iter);
            for (uint32_t i = 0, n = plist_dict_get_size(node); iter && i < n; ++i) {
                char* key = nullptr;
                plist_t value = nullptr;
                plist_dict_next_item(node, iter, &key, &value);
                check(key != nullptr && value != nullptr);
                std::free(key);
                walk(value, depth + 1);
            }
            std::free(iter);
            break;
        }
        case PLIST_ARRAY:
            for (uint32_t i = 0, n = plist_array_get_size(node); i < n; ++i) {
                walk(plist_array_get_item(node, i), depth + 1);
            }
            break;
        case PLIST_STRING: {
            char* text = nullptr;
            plist_get_string_val(node, &text);
            std::free(text);
            break;
        }
        case PLIST_UINT: {
            uint64_t value = 0;
            plist_get_uint_val(node, &value);
            break;
        }
        default:
            break;
    }
}

void checkReply(const Plist& reply) {
    if (!reply) return;
    check(plist_get_node_type(reply.get()) == PLIST_DICT);
    walk(reply.get(), 0);
}

struct Input {
    const uint8_t* data;
    size_t size;
};

void runOne(const Input& input) {
    const uint8_t* data = input.data;
    const size_t size = input.size;
    const int fd = feedPipe(data, size);  // only inputs that fit a pipe's buffer
    if (fd >= 0) {
        for (int i = 0; i < 8; ++i) {  // several replies may follow each other
            Plist reply = usbmuxRecv(fd);
            if (!reply) break;
            checkReply(reply);
        }
        ::close(fd);
    }
    // The payload parser on its own: for inputs whose header does not match, and for replies
    // too large for the pipe (up to the 1 MiB a reply may have).
    if (size > kUsbmuxHeaderSize) {
        checkReply(parseUsbmuxPayload(Bytes(data + kUsbmuxHeaderSize, data + size)));
    }
}

// The thread with the 512 KiB stack: runs one input at a time, as the fuzzer hands them over.
class Worker {
  public:
    Worker() {
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setstacksize(&attributes, 512 * 1024);
        pthread_t thread;
        check(pthread_create(&thread, &attributes, loop, this) == 0);
        pthread_attr_destroy(&attributes);
        pthread_detach(thread);
    }
    // Runs `input` on the worker and returns when it is done.
    void run(const Input& input) {
        std::unique_lock lock(mutex);
        next = &input;
        changed.notify_all();
        changed.wait(lock, [this] { return next == nullptr; });
    }

  private:
    static void* loop(void* self) {
        auto& worker = *static_cast<Worker*>(self);
        std::unique_lock lock(worker.mutex);
        for (;;) {
            worker.changed.wait(lock, [&] { return worker.next != nullptr; });
            runOne(*worker.next);
            worker.next = nullptr;
            worker.changed.notify_all();
        }
    }

    std::mutex mutex;
    std::condition_variable changed;
    const Input* next = nullptr;  // the input to run; null once it has run
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Worker& worker = *new Worker;  // kept for the whole campaign
    worker.run(Input{data, size});
    return 0;
}
