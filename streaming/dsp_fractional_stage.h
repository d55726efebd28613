// Resampling by 160/147 (mode 1, 44.1 to 48 kHz and their multiples) or
// 147/160 (mode 0) with a polyphase bank: per channel a phase into the bank
// and a doubled delay line for one-sample FIR outputs.
#pragma once

#include "streaming/dsp_src_stage.h"

// Floats of each channel's delay line: two copies of the longer bank row.
inline constexpr ULONG SRC_FRACTIONAL_DELAY_FLOATS = 48;
// Inputs and outputs of one chunk of a call, and the samples its windows
// span: the history of the longer row, the chunk's inputs and room for the
// block's loads past them.
inline constexpr ULONG SRC_FRACTIONAL_CHUNK_INPUTS = 256;
inline constexpr ULONG SRC_FRACTIONAL_CHUNK_OUTPUTS = 2 * SRC_FRACTIONAL_CHUNK_INPUTS;
inline constexpr ULONG SRC_FRACTIONAL_LOAD_SLACK = 4;
inline constexpr ULONG SRC_FRACTIONAL_LINEAR_FLOATS =
    24 + SRC_FRACTIONAL_CHUNK_INPUTS + SRC_FRACTIONAL_LOAD_SLACK;

class CDspFractionalStage : public CDspSrcStage
{
  public:
    CDspFractionalStage();

    LONG StateSizeUp() override;
    LONG StateSizeDown() override;
    void Process(ULONG channel, const float* input, ULONG* count) override;
    void Reset() override;

  private:
    // The outputs of one chunk: m_Starts and m_Rows hold, for each, the input
    // it ends at and its bank row.
    struct Plan
    {
        ULONG Used; // inputs consumed
        ULONG Made; // outputs
    };
    Plan PlanUp(ULONG channel, ULONG inputs, ULONG room);
    Plan PlanDown(ULONG channel, ULONG inputs, ULONG room);
    // One one-sample FIR call per output, at whatever level runs.
    void FilterEach(ULONG channel, const float* input, const Plan& plan, int32_t taps, float* out);
    // Level 0: the chunk's outputs in one block over its samples laid out
    // behind the history, then the consumed samples into the delay line.
    void FilterBlock(ULONG channel, const float* input, const Plan& plan, int32_t taps, float* out);
    // The sample enters the delay line without an output.
    void Push(ULONG channel, float sample, int32_t taps);

    ULONG m_Phase[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    float m_DelayLine[MAX_SOFTWARE_DSP_PROCESS_CHANNELS][SRC_FRACTIONAL_DELAY_FLOATS];
    int32_t m_DelayIndex[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    int32_t m_Starts[SRC_FRACTIONAL_CHUNK_OUTPUTS];
    const float* m_Rows[SRC_FRACTIONAL_CHUNK_OUTPUTS];
    float m_Linear[SRC_FRACTIONAL_LINEAR_FLOATS];
};
