#include "streaming/conversion/dsp_src_chain.h"

namespace
{
// A resampling stage of the chain: which one and its direction.
enum SrcLink : UCHAR
{
    None,
    HalfUp,
    HalfDown,
    QuarterUp,
    QuarterDown,
    FracUp,
    FracDown
};

struct ChainEntry
{
    SrcLink Second;
    SrcLink Third;
};

// Stages 2 and 3 by (input rate, output rate), rates in the order of
// g_SrcRates: 44100, 48000, 88200, 96000, 176400, 192000.
constexpr ChainEntry c_ChainTable[SRC_RATE_COUNT][SRC_RATE_COUNT] = {
    {{None, None},
     {FracUp, None},
     {HalfUp, None},
     {FracUp, HalfUp},
     {QuarterUp, None},
     {FracUp, QuarterUp}},
    {{FracDown, None},
     {None, None},
     {FracDown, HalfUp},
     {HalfUp, None},
     {FracDown, QuarterUp},
     {QuarterUp, None}},
    {{HalfDown, None},
     {HalfDown, FracUp},
     {None, None},
     {FracUp, None},
     {HalfUp, None},
     {FracUp, HalfUp}},
    {{HalfDown, FracDown},
     {HalfDown, None},
     {FracDown, None},
     {None, None},
     {FracDown, HalfUp},
     {HalfUp, None}},
    {{QuarterDown, None},
     {QuarterDown, FracUp},
     {HalfDown, None},
     {HalfDown, FracUp},
     {None, None},
     {FracUp, None}},
    {{QuarterDown, FracDown},
     {QuarterDown, None},
     {HalfDown, FracDown},
     {HalfDown, None},
     {FracDown, None},
     {None, None}},
};

template <class Stage> bool Allocate(Stage*& stage, Stage* made)
{
    stage = made;
    return stage != nullptr && stage->AllocateStageBuffers();
}
} // namespace

CDspSrcChain::CDspSrcChain()
    : m_InFormat{}, m_OutFormat{}, m_pSplit(nullptr), m_pHalfBand(nullptr), m_pQuarterBand(nullptr),
      m_pFractional(nullptr), m_OutputPointers{}, m_Created(0), m_Chain{}
{
}

CDspSrcChain::~CDspSrcChain()
{
    DestroyAllStages();
}

bool CDspSrcChain::CreateSplitStage()
{
    return Allocate(m_pSplit, NewSrcStage<CDspSplitStage>()) && m_pSplit->CreateChannelConversion();
}

bool CDspSrcChain::CreateResamplingStages()
{
    return Allocate(m_pHalfBand, NewHalfBandStage()) &&
           Allocate(m_pQuarterBand, NewQuarterBandStage()) &&
           Allocate(m_pFractional, NewSrcStage<CDspFractionalStage>());
}

void CDspSrcChain::DestroyAllStages()
{
    ClearChain();
    DeleteSrcStage(m_pSplit);
    DeleteSrcStage(m_pFractional);
    DeleteSrcStage(m_pQuarterBand);
    DeleteSrcStage(m_pHalfBand);
}

bool CDspSrcChain::ResetConverter()
{
    CDspSrcStage* const stages[] = {m_pHalfBand, m_pQuarterBand, m_pFractional, m_pSplit};
    for (CDspSrcStage* stage : stages)
    {
        if (stage != nullptr)
        {
            stage->Reset();
        }
    }
    return true;
}

void CDspSrcChain::ClearChain()
{
    for (CDspSrcStage*& stage : m_Chain)
    {
        stage = nullptr;
    }
}

bool CDspSrcChain::ApplyFormat(const SrcFormatRules& rules, const WAVEFORMATEXTENSIBLE& inFormat,
                               const WAVEFORMATEXTENSIBLE& outFormat)
{
    if (!SrcCheckConverterFormats(rules, inFormat, outFormat))
    {
        return false;
    }
    if (m_pSplit == nullptr || !m_pSplit->SetFormat(inFormat, outFormat))
    {
        DbgPrint(rules.SplitStageMessage, rules.Name);
        return false;
    }
    BuildChain(inFormat, outFormat);
    return true;
}

void CDspSrcChain::BuildChain(const WAVEFORMATEXTENSIBLE& inFormat,
                              const WAVEFORMATEXTENSIBLE& outFormat)
{
    m_InFormat = inFormat;
    m_OutFormat = outFormat;
    ResetConverter();
    ClearChain();
    m_Chain[0] = m_pSplit;
    const ChainEntry& entry = c_ChainTable[SrcRateIndex(inFormat.Format.nSamplesPerSec)]
                                          [SrcRateIndex(outFormat.Format.nSamplesPerSec)];
    struct
    {
        CDspSrcStage* Stage;
        UCHAR Mode;
    } const links[] = {
        {nullptr, SRC_MODE_DOWN},        {m_pHalfBand, SRC_MODE_UP},
        {m_pHalfBand, SRC_MODE_DOWN},    {m_pQuarterBand, SRC_MODE_UP},
        {m_pQuarterBand, SRC_MODE_DOWN}, {m_pFractional, SRC_MODE_UP},
        {m_pFractional, SRC_MODE_DOWN},
    };
    const SrcLink placed[] = {entry.Second, entry.Third};
    for (ULONG i = 0; i < 2 && placed[i] != None; ++i)
    {
        CDspSrcStage* stage = links[placed[i]].Stage;
        stage->SetMode(links[placed[i]].Mode);
        stage->Reset();
        m_Chain[i + 1] = stage;
    }
}

void CDspSrcChain::RunLinks(ULONG channels)
{
    // Link by link: each channel's samples still pass the links in order,
    // and a stage may take several channels together.
    for (ULONG i = 1; i < SRC_CHAIN_STAGES && m_Chain[i] != nullptr; ++i)
    {
        m_Chain[i]->ProcessChannels(m_Chain[i - 1], channels);
    }
}

CDspSrcStage* CDspSrcChain::LastStage() const
{
    CDspSrcStage* last = m_Chain[0];
    for (ULONG i = 1; i < SRC_CHAIN_STAGES && m_Chain[i] != nullptr; ++i)
    {
        last = m_Chain[i];
    }
    return last;
}

ULONG CDspSrcChain::Deliverable(ULONG channels, ULONG room) const
{
    const ULONG held = LastStage()->GetCount(channels - 1);
    return held < room ? held : room;
}

void CDspSrcChain::Release(ULONG channels, ULONG n)
{
    CDspSrcStage* last = LastStage();
    for (ULONG c = 0; c < channels; ++c)
    {
        last->ConsumeStageOutput(c, n);
    }
}
