// The per-channel sibling of CDspInterleaveSrc: input and output are arrays
// of channel buffers, the channel counts may differ (the split stage mixes
// them), and identical formats pass straight through. The effect nodes use it
// to bring a stream's samples to their working rate and back.
#pragma once

#include "streaming/conversion/dsp_src_chain.h"

class CDspNonInterleaveSrc : public CDspSrcChain
{
  public:
    CDspNonInterleaveSrc();
    ~CDspNonInterleaveSrc();

    bool CreateStages();
    void DestroyStages();

    bool SetFormat(const WAVEFORMATEXTENSIBLE& inFormat, const WAVEFORMATEXTENSIBLE& outFormat);

    // inputs: one buffer per input channel, outputs one per output channel,
    // each holding samples of its format's size. *inputFrames returns the
    // frames consumed, *outputFrames the frames written. Always true.
    bool Process(const UCHAR* const* inputs, ULONG* inputFrames, UCHAR* const* outputs,
                 ULONG* outputFrames);

    ULONG GetStageCount() const { return m_StageCount; }

  private:
    void PassThrough(const UCHAR* const* inputs, ULONG* inputFrames, UCHAR* const* outputs,
                     ULONG* outputFrames);
    // Writes n frames of the last stage at frame `at` of the outputs and
    // releases them.
    void Deliver(UCHAR* const* outputs, ULONG at, ULONG n);

    ULONG m_StageCount;
};
