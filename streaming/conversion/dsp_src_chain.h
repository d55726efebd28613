// What the interleaved and the non-interleaved sample-rate converters share:
// their formats, the four stages (split, half-band, quarter-band, fractional)
// each made once, and the chain of at most three of them that the rate pair
// selects. The owner serialises every call; nothing allocates after creation.
#pragma once

#include "streaming/conversion/dsp_band_stage.h"
#include "streaming/conversion/dsp_fractional_stage.h"
#include "streaming/conversion/dsp_split_stage.h"

inline constexpr ULONG SRC_CHAIN_STAGES = 3;

class CDspSrcChain
{
  public:
    CDspSrcChain();
    ~CDspSrcChain();
    CDspSrcChain(const CDspSrcChain&) = delete;
    CDspSrcChain& operator=(const CDspSrcChain&) = delete;

    // Clears the history of every stage; true.
    bool ResetConverter();

    // The active chain (null entries unused), for inspection.
    CDspSrcStage* GetChainStage(ULONG index) const { return m_Chain[index]; }

  protected:
    // Checks the formats by the converter's rules, hands them to the split
    // stage and builds the chain; false (and the chain kept) on a refusal.
    bool ApplyFormat(const SrcFormatRules& rules, const WAVEFORMATEXTENSIBLE& inFormat,
                     const WAVEFORMATEXTENSIBLE& outFormat);

    bool CreateSplitStage();
    bool CreateResamplingStages();
    // The split stage (its channel conversion first), then the fractional,
    // quarter-band and half-band stages.
    void DestroyAllStages();

    // Stores the formats, resets and rebuilds the chain: the split stage
    // first, then the resampling stages of the rate pair, each set to its
    // direction and reset.
    void BuildChain(const WAVEFORMATEXTENSIBLE& inFormat, const WAVEFORMATEXTENSIBLE& outFormat);
    void ClearChain();

    // Moves every channel's samples along the chain's links.
    void RunLinks(ULONG channels);
    CDspSrcStage* LastStage() const;
    // Frames the last stage can hand out now, up to room.
    ULONG Deliverable(ULONG channels, ULONG room) const;
    // The last stage gives up n samples of every channel.
    void Release(ULONG channels, ULONG n);

    WAVEFORMATEXTENSIBLE m_InFormat;
    WAVEFORMATEXTENSIBLE m_OutFormat;
    CDspSplitStage* m_pSplit;
    CDspBandStage* m_pHalfBand;
    CDspBandStage* m_pQuarterBand;
    CDspFractionalStage* m_pFractional;
    float* m_OutputPointers[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    UCHAR m_Created;
    CDspSrcStage* m_Chain[SRC_CHAIN_STAGES];
};
