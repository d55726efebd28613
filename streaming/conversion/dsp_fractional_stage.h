// Resampling by 160/147 (mode 1, 44.1 to 48 kHz and their multiples) or
// 147/160 (mode 0) with a polyphase bank: per channel a phase into the bank
// and a doubled delay line for one-sample FIR outputs.
#pragma once

#include "streaming/conversion/dsp_src_stage.h"

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
    // At level 0, four or eight channels at a time where they stand at the same point
    // (the same phase, delay index, held samples and input), which the
    // converters' channels always do; the rest one at a time.
    void ProcessChannels(CDspSrcStage* previous, ULONG channels) override;

  private:
    // The outputs of one chunk: m_Starts and m_Rows hold, for each, the input
    // it ends at and its bank row.
    struct Plan
    {
        ULONG Used; // inputs consumed
        ULONG Made; // outputs
    };
    // Converts up to count samples of the lanes (1, 4 or 8) channels from first
    // on, all standing at the same point; returns the samples consumed.
    ULONG Run(ULONG first, ULONG lanes, const float* const* input, ULONG count);
    bool InStep(const CDspSrcStage* previous, ULONG first, ULONG lanes) const;
    Plan PlanUp(ULONG channel, ULONG inputs, ULONG room);
    Plan PlanDown(ULONG channel, ULONG inputs, ULONG room);
    // One one-sample FIR call per output, at whatever level runs.
    void FilterEach(ULONG channel, const float* input, const Plan& plan, int32_t taps, float* out);
    // Level 0: the chunk's outputs in one block over its samples laid out
    // behind the history, then the consumed samples into the delay line.
    void FilterBlock(ULONG channel, const float* input, const Plan& plan, int32_t taps, float* out);
    // Level 0, four channels side by side over their samples interleaved.
    void FilterQuad(ULONG first, const float* const* input, const Plan& plan, int32_t taps,
                    ULONG produced);
    // The samples that index the windows of a chunk: the history and the span.
    ULONG Span(const Plan& plan) const;
    // The consumed samples enter the delay line (only the last taps matter).
    void Remember(ULONG channel, const float* input, const Plan& plan, int32_t taps);

    ULONG m_Phase[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    float m_DelayLine[MAX_SOFTWARE_DSP_PROCESS_CHANNELS][SRC_FRACTIONAL_DELAY_FLOATS];
    int32_t m_DelayIndex[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    int32_t m_Starts[SRC_FRACTIONAL_CHUNK_OUTPUTS];
    const float* m_Rows[SRC_FRACTIONAL_CHUNK_OUTPUTS];
    float m_Linear[SRC_FRACTIONAL_LINEAR_FLOATS];
    float m_Quad[4 * SRC_FRACTIONAL_LINEAR_FLOATS];
};
