// Resampling by an integer factor (2: half-band stage, 4: quarter-band stage)
// with a multirate FIR per channel: up (mode 1) interpolates by the factor,
// down (mode 0) decimates by it.
#pragma once

#include "streaming/conversion/dsp_src_stage.h"

class CDspBandStage : public CDspSrcStage
{
  public:
    CDspBandStage(const float* taps, LONG tapCount, LONG factor);

    LONG StateSizeUp() override;
    LONG StateSizeDown() override;
    void Process(ULONG channel, const float* input, ULONG* count) override;
    void Reset() override;

  private:
    ULONG ProcessDown(ULONG channel, const float* input, ULONG count);
    ULONG ProcessUp(ULONG channel, const float* input, ULONG count);

    const float* m_Taps;
    LONG m_TapCount;
    LONG m_Factor;
};

// The two instances the converters use.
CDspBandStage* NewHalfBandStage();
CDspBandStage* NewQuarterBandStage();
