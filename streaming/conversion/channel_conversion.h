// Maps non-interleaved float audio from one channel count to another in place
// on per-channel buffers, in the WAVE channel order (front left, front right,
// centre, low frequency, then the surround pairs 4/5 and 6/7). The split stage
// of the sample-rate converters owns one and runs it on every block it takes in.
#pragma once

#include "platform/ks/ksmedia.h"
#include "streaming/conversion/src_format.h"

inline constexpr ULONG DSP_STAGE_POOL_TAG = POOL_TAG("DSPS");

class CChannelConversion
{
  public:
    CChannelConversion();

    // The owner's creation marks the object once; a second attempt fails.
    bool Create();

    // Both formats must be IEEE float (an extensible format by its
    // subformat) of 1 to MAX_SOFTWARE_DSP_PROCESS_CHANNELS channels.
    bool SetFormat(const WAVEFORMATEXTENSIBLE& inFormat, const WAVEFORMATEXTENSIBLE& outFormat);

    // channels: eight pointers, each to room for frameCount samples. The
    // result occupies channels 0 .. output count - 1. flag 0 (the only one
    // the system passes) selects the surround weights 0.871 and 0.49.
    bool Process(float* const* channels, ULONG frameCount, ULONG flag);

  private:
    WAVEFORMATEXTENSIBLE m_InFormat;
    WAVEFORMATEXTENSIBLE m_OutFormat;
    UCHAR m_Created;
};
