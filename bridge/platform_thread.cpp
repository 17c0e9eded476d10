#include "bridge/platform_thread.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <initializer_list>
#include <utility>

#if defined(__APPLE__)
#include <CoreFoundation/CoreFoundation.h>
#include <pthread/qos.h>
#endif

bool startDetachedThread(std::function<void()> body, size_t stackBytes) {
    struct Start {
        std::function<void()> body;
    };
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    auto* start = new Start{std::move(body)};
    pthread_t thread;
    const bool ok = pthread_attr_setstacksize(&attributes, stackBytes) == 0 &&
                    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0 &&
                    pthread_create(
                        &thread, &attributes,
                        [](void* p) -> void* {
                            const Start s = std::move(*static_cast<Start*>(p));
                            delete static_cast<Start*>(p);
                            s.body();
                            return nullptr;
                        },
                        start) == 0;
    if (!ok) delete start;
    pthread_attr_destroy(&attributes);
    return ok;
}

void raiseCurrentThreadPriority() {
#if defined(__APPLE__)
    pthread_set_qos_class_self_np(QOS_CLASS_USER_INTERACTIVE, 0);
    sched_param param{};
    param.sched_priority = sched_get_priority_max(SCHED_OTHER);
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
#else
    for (int policy : {SCHED_FIFO, SCHED_RR}) {
        sched_param param{};
        param.sched_priority = sched_get_priority_max(policy);
        if (param.sched_priority >= 0 &&
            pthread_setschedparam(pthread_self(), policy, &param) == 0) {
            return;
        }
    }
#endif
}

void runMainRunLoop() {
#if defined(__APPLE__)
    // A run loop with nothing attached returns at once; a timer that never comes due keeps it.
    CFRunLoopTimerRef keepAlive = CFRunLoopTimerCreate(
        nullptr, CFAbsoluteTimeGetCurrent() + 1e10, 1e10, 0, 0, [](CFRunLoopTimerRef, void*) {},
        nullptr);
    CFRunLoopAddTimer(CFRunLoopGetMain(), keepAlive, kCFRunLoopCommonModes);
    CFRunLoopRun();
#else
    // Nothing is ever scheduled on the main thread here; it just waits. Without signal
    // handlers pause() only returns if the process is about to end anyway.
    for (;;) pause();
#endif
}
