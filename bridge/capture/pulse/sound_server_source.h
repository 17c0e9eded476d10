#pragma once
// TEMPORARY adapter (replaced by the sound-server source proper).
#include "capture_source.h"

class SoundServerSource final : public CaptureSource {
  public:
    explicit SoundServerSource(LineSink print);
    bool find() override;
    bool start(FrameSink& sink) override;
    void stop() override;
    void run() override;
    double takeMaxGapMs() override;

  private:
    LineSink print;
};
