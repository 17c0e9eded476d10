// The C interface over the receiver core.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>

#include "quillwave_receiver.h"
#include "receiver.h"
#include "report_text.h"

struct qw_receiver {
    explicit qw_receiver(const qw_receiver_config& config) : core(config) {}
    qw::receiver::Receiver core;
};

#define QW_TEXT(x) QW_TEXT_OF(x)
#define QW_TEXT_OF(x) #x

extern "C" {

const char* qw_receiver_strerror(int error) {
    switch (error) {
        case QW_RECEIVER_SUCCESS:
            return "no error";
        case QW_RECEIVER_ERROR_NO_CONFIG:
            return "no configuration given";
        case QW_RECEIVER_ERROR_OUTPUT_RATE:
            return "output rate outside 8000..384000 frames per second";
        case QW_RECEIVER_ERROR_LATENCY:
            return "latency outside " QW_TEXT(QW_RECEIVER_LATENCY_MIN_MS) ".." QW_TEXT(
                QW_RECEIVER_LATENCY_MAX_MS) " ms";
        case QW_RECEIVER_ERROR_NO_MEMORY:
            return "out of memory";
        case QW_RECEIVER_ERROR_FRAME_LENGTH:
            return "bad frame length";
        case QW_RECEIVER_ERROR_RESAMPLER:
            return "resampler without reset or process, or with start_frames above " QW_TEXT(
                QW_RECEIVER_RESAMPLER_MAX_START_FRAMES);
        default:
            return "unknown error";
    }
}

qw_receiver_config qw_receiver_config_init(double output_rate) {
    qw_receiver_config config{};
    config.output_rate = output_rate;
    config.latency_ms = 5.0;
    config.automatic = 1;
    return config;
}

static int configError(const qw_receiver_config* config) {
    if (config == nullptr) return QW_RECEIVER_ERROR_NO_CONFIG;
    if (!std::isfinite(config->output_rate) || config->output_rate < 8000 ||
        config->output_rate > 384000) {
        return QW_RECEIVER_ERROR_OUTPUT_RATE;
    }
    // (Written so that NaN is refused too.)
    if (!(config->latency_ms >= QW_RECEIVER_LATENCY_MIN_MS &&
          config->latency_ms <= QW_RECEIVER_LATENCY_MAX_MS)) {
        return QW_RECEIVER_ERROR_LATENCY;
    }
    const qw_receiver_resampler* r = config->resampler;
    if (r != nullptr && (r->reset == nullptr || r->process == nullptr ||
                         r->start_frames > QW_RECEIVER_RESAMPLER_MAX_START_FRAMES)) {
        return QW_RECEIVER_ERROR_RESAMPLER;
    }
    return QW_RECEIVER_SUCCESS;
}

qw_receiver* qw_receiver_create(const qw_receiver_config* config, int* error) {
    int result = configError(config);
    qw_receiver* receiver = nullptr;
    // No exception may cross into the caller's C: the core's allocations throw std::bad_alloc.
    try {
        if (result == QW_RECEIVER_SUCCESS) receiver = new qw_receiver(*config);
    } catch (const std::bad_alloc&) {
        result = QW_RECEIVER_ERROR_NO_MEMORY;
    } catch (const std::invalid_argument&) {
        result = QW_RECEIVER_ERROR_OUTPUT_RATE;
    }
    if (error != nullptr) *error = result;
    return receiver;
}

void qw_receiver_destroy(qw_receiver* receiver) {
    delete receiver;
}

void qw_receiver_new_connection(qw_receiver* receiver) {
    receiver->core.newConnection();
}

int qw_receiver_feed(qw_receiver* receiver, const uint8_t* bytes, size_t size) {
    return receiver->core.feed(bytes, size) ? QW_RECEIVER_SUCCESS : QW_RECEIVER_ERROR_FRAME_LENGTH;
}

void qw_receiver_pull_float(qw_receiver* receiver, float* out, uint32_t frames) {
    receiver->core.pull(out, frames);
}

void qw_receiver_pull_s16(qw_receiver* receiver, int16_t* out, uint32_t frames) {
    receiver->core.pull(out, frames);
}

void qw_receiver_set_clock(qw_receiver* receiver, int64_t (*now_ns)(void* context), void* context) {
    if (now_ns != nullptr) receiver->core.setClock(now_ns, context);
}

void qw_receiver_output_clock(qw_receiver* receiver, uint64_t frames, int64_t now_ns) {
    receiver->core.outputClock(frames, now_ns);
}

void qw_receiver_get_figures(const qw_receiver* receiver, qw_receiver_figures* figures) {
    *figures = receiver->core.figures();
}

size_t qw_receiver_report_text(const qw_receiver* receiver, char* text, size_t capacity) {
    const std::string report = qw::receiver::reportText(receiver->core.figures());
    if (capacity == 0) return 0;
    const size_t n = std::min(report.size(), capacity - 1);
    std::memcpy(text, report.data(), n);
    text[n] = '\0';
    return n;
}
}
