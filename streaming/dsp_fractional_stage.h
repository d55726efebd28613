// Resampling by 160/147 (mode 1, 44.1 to 48 kHz and their multiples) or
// 147/160 (mode 0) with a polyphase bank: per channel a phase into the bank
// and a doubled delay line for one-sample FIR outputs.
#pragma once

#include "streaming/dsp_src_stage.h"

// Floats of each channel's delay line: two copies of the longer bank row.
inline constexpr ULONG SRC_FRACTIONAL_DELAY_FLOATS = 48;

class CDspFractionalStage : public CDspSrcStage
{
  public:
    CDspFractionalStage();

    LONG StateSizeUp() override;
    LONG StateSizeDown() override;
    void Process(ULONG channel, const float* input, ULONG* count) override;
    void Reset() override;

  private:
    ULONG ProcessUp(ULONG channel, const float* input, ULONG count);
    ULONG ProcessDown(ULONG channel, const float* input, ULONG count);
    // The sample enters the delay line without an output.
    void Push(ULONG channel, float sample);

    ULONG m_Phase[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    float m_DelayLine[MAX_SOFTWARE_DSP_PROCESS_CHANNELS][SRC_FRACTIONAL_DELAY_FLOATS];
    int32_t m_DelayIndex[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
};
