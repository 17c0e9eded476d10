#pragma once
// Streaming sample-rate conversion from the capture format to the stream format, in the manner
// of a pull converter: the caller hands over an output buffer and an input block, and the
// converter asks the block for input as it needs it. State (filter history, input it could not
// use yet) is kept from one conversion to the next, so a stream converted call by call is the
// same as one converted in one piece.
//
// At equal rates the converter copies samples unchanged (bit for bit, no delay). Otherwise it
// runs the speexdsp resampler. Everything is allocated by make(); converting allocates nothing.

#include <cstdint>
#include <memory>
#include <utility>

#include "bridge/audio_format.h"

typedef struct SpeexResamplerState_ SpeexResamplerState;

enum class ConverterInputStatus { haveData = 0, noDataNow = 1, endOfStream = 2 };
enum class ConverterOutputStatus { haveData = 0, inputRanDry = 1, endOfStream = 2, error = 3 };
enum class ConverterError { none = 0, formatMismatch = 1, inputTooLong = 2, resamplerFailed = 3 };

// speexdsp quality used for capture: 5 adds 40 input frames of delay (0.91 ms at 44100 Hz)
// with about 112 dB SNR on a sine; see docs/capture.md for the measurements.
inline constexpr int kConverterQuality = 5;

// The room a converter output needs for `inputFrames` frames in: the rate ratio times the
// frames, truncated toward zero, plus 32 frames. The render callback gives each call's output
// this capacity, and set-up sizes every buffer that holds a call's output with it.
uint32_t converterOutputCapacity(double outRate, double inRate, uint32_t inputFrames);

// The input block: called with the number of frames the converter would like and a status to
// set; returns the input buffer for haveData, or nothing. A non-owning reference to any
// callable, so that building one allocates nothing.
class InputBlock {
  public:
    template <class F>
    InputBlock(F& f)  // NOLINT(google-explicit-constructor): used like a lambda parameter
        : object(&f), call([](void* o, uint32_t packets, ConverterInputStatus& status) {
              return (*static_cast<F*>(o))(packets, status);
          }) {}
    const PcmBuffer* operator()(uint32_t packets, ConverterInputStatus& status) const {
        return call(object, packets, status);
    }

  private:
    void* object;
    const PcmBuffer* (*call)(void*, uint32_t, ConverterInputStatus&);
};

class Converter {
  public:
    // A converter between two 32-bit float formats with the same channel count. maxInputFrames
    // is the most frames one input buffer may hold (the capture buffer's capacity). Nothing when
    // the formats cannot be converted or the resampler cannot be made.
    static std::unique_ptr<Converter> make(const AudioFormat& from, const AudioFormat& to,
                                           uint32_t maxInputFrames = 8192,
                                           int quality = kConverterQuality);
    ~Converter();
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Fills `out` (from frame 0, at most its capacity) with converted samples and sets its frame
    // length. Input left over from earlier calls is used first; then the block is asked for
    // more until the output is full or the block says noDataNow or endOfStream. Input that does
    // not fit the output is kept for the next call. An output buffer or a block buffer in the
    // wrong format, or a block buffer longer than maxInputFrames, gives the error status and
    // says which in `why` (when given; it is left alone on any other status).
    ConverterOutputStatus convert(PcmBuffer& out, InputBlock input, ConverterError* why = nullptr);

    const AudioFormat& inputFormat() const { return from; }
    const AudioFormat& outputFormat() const { return to; }
    bool isPassThrough() const { return resampler == nullptr; }
    // Delay that the conversion adds, in input frames (0 when passing through).
    uint32_t latencyInputFrames() const;

  private:
    Converter(const AudioFormat& from, const AudioFormat& to, uint32_t maxInputFrames);
    // Converts from `in` (channel pointers, offset applied) into `out` at frame `produced`;
    // returns frames consumed and produced.
    std::pair<uint32_t, uint32_t> process(const float* const* in, uint32_t inFrames, PcmBuffer& out,
                                          uint32_t produced);

    AudioFormat from;
    AudioFormat to;
    uint32_t maxInput;
    SpeexResamplerState* resampler = nullptr;
    std::unique_ptr<PcmBuffer> pending;  // input accepted but not yet converted
    uint32_t pendingOffset = 0;          // first unconverted frame of `pending`
};
