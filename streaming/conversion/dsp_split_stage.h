// First stage of the sample-rate converters: takes in at most 10 ms of
// input, turns its samples into floats, splits them per channel and applies
// the channel conversion from the input to the output channel count. It has
// no filter; its output buffers feed the resampling stages.
#pragma once

#include "streaming/conversion/dsp_src_stage.h"

class CDspSplitStage : public CDspSrcStage
{
  public:
    CDspSplitStage();
    ~CDspSplitStage() override;

    LONG StateSizeUp() override { return sizeof(ULONG); }
    LONG StateSizeDown() override { return sizeof(ULONG); }
    // The split stage never follows another stage: nothing is consumed.
    void Process(ULONG channel, const float* input, ULONG* count) override;
    void Reset() override { ClearCounts(); }

    // Makes the channel conversion (pool tag "DSPS"); fails when it cannot
    // be made or was made before.
    bool CreateChannelConversion();
    void DestroyChannelConversion();

    // Keeps both formats and hands their float versions to the channel
    // conversion, whose answer it returns.
    bool SetFormat(const WAVEFORMATEXTENSIBLE& inFormat, const WAVEFORMATEXTENSIBLE& outFormat);

    // Interleaved input of the stored input format: *frames in, frames taken
    // out. work: room for 10 ms of input as floats.
    void RunInterleaved(const UCHAR* input, float* work, ULONG* frames);
    // One buffer per input channel.
    void RunChannels(const UCHAR* const* inputs, ULONG* frames);

  private:
    // Frames that may be taken now: up to 10 ms held.
    ULONG Admit(ULONG frames) const;
    // The channel conversion of the n samples appended at held, then the
    // counts of the output channels (only they are consumed downstream).
    void Finish(ULONG held, ULONG n);

    CChannelConversion* m_pChannelConversion;
    WAVEFORMATEXTENSIBLE m_InFormat;
    WAVEFORMATEXTENSIBLE m_OutFormat;
    const SrcSampleCodec* m_InCodec;
};
