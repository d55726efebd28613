// Converts interleaved PCM or float audio between two formats of the same
// channel count: sample type (16-, 24-, 32-bit integer, 32-bit float) and
// rate (44100 to 192000 Hz). The wave-cyclic stream owns one for its capture
// data.
#pragma once

#include "streaming/conversion/dsp_src_chain.h"

inline constexpr ULONG DSP_INTERLEAVE_SRC_POOL_TAG = POOL_TAG("CCST");
// The interleaving work buffer: 3840 frames of eight float channels.
inline constexpr ULONG SRC_WORK_BUFFER_BYTES = 0x1E000;
inline constexpr ULONG SRC_WORK_BUFFER_FRAMES =
    SRC_WORK_BUFFER_BYTES / (MAX_SOFTWARE_DSP_PROCESS_CHANNELS * sizeof(float));

class CDspInterleaveSrc : public CDspSrcChain
{
  public:
    CDspInterleaveSrc();
    ~CDspInterleaveSrc();

    // Makes the four stages and the work buffer once; false at the first
    // failure (what was made goes with DestroyConverterStages).
    bool CreateConverterStages();
    void DestroyConverterStages();

    // Checks both formats (each failure printed), then builds the chain of
    // the rate pair.
    bool SetFormat(const WAVEFORMATEXTENSIBLE& inFormat, const WAVEFORMATEXTENSIBLE& outFormat);

    // Converts as much as fits: *inputFrames returns the frames consumed,
    // *outputFrames the frames written. Always true.
    bool Process(const UCHAR* input, ULONG* inputFrames, UCHAR* output, ULONG* outputFrames);

  private:
    // Interleaves n frames of the last stage into output.
    void Deliver(UCHAR* output, ULONG n);

    float* m_WorkBuffer;
};
