/* The Quillwave receiver: turns the byte stream from the bridge into sound for an output device
 * that pulls a fixed number of frames at its own pace. Feed it the connection's bytes on one
 * thread, pull frames on the output's thread; neither call waits for the other, and a pull
 * never allocates. The stream is 48 kHz 16-bit stereo; the output may run at any rate. */
#ifndef QUILLWAVE_RECEIVER_H
#define QUILLWAVE_RECEIVER_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct qw_receiver qw_receiver;

/* The range of the buffer target (qw_receiver_config.latency_ms), the same for this interface,
 * the automatic target's raises and qwreceiver's --latency-ms. A target outside it is refused
 * (QW_RECEIVER_ERROR_LATENCY), never clamped: earlier versions of this interface accepted
 * 0..1000 ms, and now refuse 0..0.5 and 100..1000. */
#define QW_RECEIVER_LATENCY_MIN_MS 0.5
#define QW_RECEIVER_LATENCY_MAX_MS 100.0

/* Error numbers, as qw_receiver_create and qw_receiver_feed give them; qw_receiver_strerror
 * names each in words. */
enum {
    QW_RECEIVER_SUCCESS = 0,
    QW_RECEIVER_ERROR_NO_CONFIG = 1,   /* no configuration was given */
    QW_RECEIVER_ERROR_OUTPUT_RATE = 2, /* output rate not a number in 8000..384000 */
    QW_RECEIVER_ERROR_LATENCY = 3,     /* latency outside the range above, or not a number */
    QW_RECEIVER_ERROR_NO_MEMORY = 4,
    QW_RECEIVER_ERROR_FRAME_LENGTH = 5, /* a frame length of 0 or above 65536: stream broken */
    QW_RECEIVER_ERROR_RESAMPLER = 6 /* a resampler without its calls, or start_frames too large */
};

/* A short English text for an error number; never NULL (unknown numbers have a text too). */
const char* qw_receiver_strerror(int error);

/* A resampler of the embedder's own, in place of the built-in one (zita-resampler's
 * VResampler): interleaved stereo float from the stream's 48000 Hz to the output rate, times a
 * correction that moves slowly (within +-2000 ppm). Its calls come from the output's thread,
 * within the pulls, and must neither block nor allocate. The receiver copies this structure;
 * `state` must outlive the receiver. */
#define QW_RECEIVER_RESAMPLER_MAX_START_FRAMES 4800 /* 100 ms of the stream */
typedef struct qw_receiver_resampler {
    void* state; /* passed to every call */
    /* Forget all input: the next output starts afresh (after an underrun, a new connection). */
    void (*reset)(void* state);
    /* Take input from `in` (*in_frames frames) and fill `out` (*out_frames frames) until either
     * runs out, at output_rate / 48000 x `correction` output frames per input frame; leave in
     * *in_frames and *out_frames what was not taken and not filled. */
    void (*process)(void* state, double correction, const float* in, uint32_t* in_frames,
                    float* out, uint32_t* out_frames);
    /* Input frames it takes in at once after a reset before its first output (at most
     * QW_RECEIVER_RESAMPLER_MAX_START_FRAMES): playing starts with that much more buffered. */
    uint32_t start_frames;
} qw_receiver_resampler;

typedef struct qw_receiver_config {
    double output_rate; /* the output device's frames per second, e.g. 48000 */
    double latency_ms;  /* buffer target; in automatic mode the starting point and the floor */
    int automatic;      /* nonzero: raise the target after underruns, lower it while steady */
    const qw_receiver_resampler* resampler; /* NULL: the built-in one */
} qw_receiver_config;

typedef struct qw_receiver_figures {
    double buffer_ms; /* buffer level, smoothed */
    double target_ms; /* current target */
    double drift_ppm; /* how much faster the output's clock runs than the sender's */
    uint64_t underruns;
    uint64_t overruns;     /* times the oldest frames were dropped, or arrivals found no room */
    uint64_t bad_payloads; /* audio payloads that were not whole stereo frames, dropped */
    uint64_t connections;  /* qw_receiver_new_connection calls */
    uint64_t frames_in;    /* stereo frames received */
    uint64_t frames_out;   /* stereo frames pulled */
    int playing;           /* 0 while the buffer fills (silence) */
} qw_receiver_figures;

/* The defaults for an output running at `output_rate` frames per second: a 5 ms target, raised
 * automatically after underruns, the built-in resampler. Start every configuration from these
 * and change fields afterwards as needed. */
qw_receiver_config qw_receiver_config_init(double output_rate);

/* NULL on a bad configuration or lack of memory; the reason goes to `*error` when `error` is not
 * NULL (QW_RECEIVER_SUCCESS on success). */
qw_receiver* qw_receiver_create(const qw_receiver_config* config, int* error);
void qw_receiver_destroy(qw_receiver* receiver);

/* A new connection: everything buffered from the previous one is discarded. */
void qw_receiver_new_connection(qw_receiver* receiver);
/* The connection's bytes, in pieces of any size. Returns QW_RECEIVER_SUCCESS, or
 * QW_RECEIVER_ERROR_FRAME_LENGTH once the stream is broken (a frame length of 0 or above 65536):
 * the caller ends the connection. */
int qw_receiver_feed(qw_receiver* receiver, const uint8_t* bytes, size_t size);

/* Exactly `frames` frames of interleaved stereo, silence where there is no sound. */
void qw_receiver_pull_float(qw_receiver* receiver, float* out, uint32_t frames);
void qw_receiver_pull_s16(qw_receiver* receiver, int16_t* out, uint32_t frames);

/* The receiver measures the sender's clock and the output's against one monotonic clock: by
 * default the system's, or this one (nanoseconds; e.g. the audio system's host clock). Set it
 * before the first feed or pull. */
void qw_receiver_set_clock(qw_receiver* receiver, int64_t (*now_ns)(void* context), void* context);
/* The output's own playback clock, where the output has one: `frames` played by `now_ns` on
 * that clock, from the output's thread, every few milliseconds or so. Without it the output's
 * rate is measured from the times of the pulls. */
void qw_receiver_output_clock(qw_receiver* receiver, uint64_t frames, int64_t now_ns);

void qw_receiver_get_figures(const qw_receiver* receiver, qw_receiver_figures* figures);
/* The one-line report for the bridge, e.g. "buffer 9.8/10 ms · drift +212 ppm · underruns 0 ·
 * overruns 0", NUL-terminated and cut to `capacity`. Returns its length in bytes. */
size_t qw_receiver_report_text(const qw_receiver* receiver, char* text, size_t capacity);

#ifdef __cplusplus
}
#endif

#endif
