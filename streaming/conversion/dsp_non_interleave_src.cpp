#include "streaming/conversion/dsp_non_interleave_src.h"

namespace
{
const SrcFormatRules c_Rules = {"CDspNonInterleaveSrc::SetFormat", false, true,
                                "%s m_pBitDepthConvert->SetFormat False\n"};
} // namespace

CDspNonInterleaveSrc::CDspNonInterleaveSrc() : m_StageCount(0) {}

CDspNonInterleaveSrc::~CDspNonInterleaveSrc()
{
    DestroyStages();
}

bool CDspNonInterleaveSrc::CreateStages()
{
    if (m_Created != 0)
    {
        return false;
    }
    if (!CreateResamplingStages() || !CreateSplitStage())
    {
        return false;
    }
    m_Created = 1;
    return true;
}

void CDspNonInterleaveSrc::DestroyStages()
{
    DestroyAllStages();
    m_StageCount = 0;
    m_Created = 0;
}

bool CDspNonInterleaveSrc::SetFormat(const WAVEFORMATEXTENSIBLE& inFormat,
                                     const WAVEFORMATEXTENSIBLE& outFormat)
{
    if (!ApplyFormat(c_Rules, inFormat, outFormat))
    {
        return false;
    }
    if (RtlEqualMemory(&inFormat, &outFormat, sizeof(WAVEFORMATEXTENSIBLE)))
    {
        ClearChain();
        m_StageCount = 0;
        return true;
    }
    m_StageCount = 1;
    while (m_StageCount < SRC_CHAIN_STAGES && m_Chain[m_StageCount] != nullptr)
    {
        ++m_StageCount;
    }
    return true;
}

bool CDspNonInterleaveSrc::Process(const UCHAR* const* inputs, ULONG* inputFrames,
                                   UCHAR* const* outputs, ULONG* outputFrames)
{
    if (m_StageCount == 0)
    {
        PassThrough(inputs, inputFrames, outputs, outputFrames);
        return true;
    }
    const ULONG channels = m_OutFormat.Format.nChannels;
    const ULONG inBytes = SrcCodecOf(m_InFormat)->BytesPerSample;
    ULONG room = *outputFrames;
    ULONG held = LastStage()->GetCount(channels - 1);
    if (held > 0)
    {
        // Samples converted by an earlier call go out first, on their own.
        const ULONG n = held < room ? held : room;
        Deliver(outputs, 0, n);
        *inputFrames = 0;
        *outputFrames = n;
        return true;
    }
    ULONG consumed = 0;
    ULONG produced = 0;
    const UCHAR* positions[MAX_SOFTWARE_DSP_PROCESS_CHANNELS] = {};
    while (consumed < *inputFrames && room > 0)
    {
        for (ULONG c = 0; c < m_InFormat.Format.nChannels; ++c)
        {
            positions[c] = inputs[c] + (SIZE_T)consumed * inBytes;
        }
        ULONG taken = *inputFrames - consumed;
        m_pSplit->RunChannels(positions, &taken);
        consumed += taken;
        RunLinks(channels);
        const ULONG n = Deliverable(channels, room);
        Deliver(outputs, produced, n);
        produced += n;
        room -= n;
        if (taken == 0 && n == 0)
        {
            break; // nothing moves: stop rather than spin
        }
    }
    *inputFrames = consumed;
    *outputFrames = produced;
    return true;
}

void CDspNonInterleaveSrc::PassThrough(const UCHAR* const* inputs, ULONG* inputFrames,
                                       UCHAR* const* outputs, ULONG* outputFrames)
{
    const SrcSampleCodec* codec = SrcCodecOf(m_InFormat);
    ULONG n = *inputFrames < *outputFrames ? *inputFrames : *outputFrames;
    if (codec == nullptr)
    {
        n = 0; // no format yet
    }
    for (ULONG c = 0; c < m_InFormat.Format.nChannels && n > 0; ++c)
    {
        RtlCopyMemory(outputs[c], inputs[c], (SIZE_T)n * codec->BytesPerSample);
    }
    *inputFrames = n;
    *outputFrames = n;
}

void CDspNonInterleaveSrc::Deliver(UCHAR* const* outputs, ULONG at, ULONG n)
{
    if (n == 0)
    {
        return;
    }
    const ULONG channels = m_OutFormat.Format.nChannels;
    const SrcSampleCodec* codec = SrcCodecOf(m_OutFormat);
    CDspSrcStage* last = LastStage();
    for (ULONG c = 0; c < channels; ++c)
    {
        m_OutputPointers[c] = last->GetOutput(c);
        codec->FromFloat(m_OutputPointers[c], outputs[c] + (SIZE_T)at * codec->BytesPerSample,
                         (LONG)n);
    }
    Release(channels, n);
}
