#include "streaming/conversion/dsp_interleave_src.h"

namespace
{
const SrcFormatRules c_Rules = {"CDspInterleaveSrc::SetFormat", true, false,
                                "%s m_pSplit->SetFormat False\n"};
} // namespace

CDspInterleaveSrc::CDspInterleaveSrc() : m_WorkBuffer(nullptr) {}

CDspInterleaveSrc::~CDspInterleaveSrc()
{
    DestroyConverterStages();
}

bool CDspInterleaveSrc::CreateConverterStages()
{
    if (m_Created != 0)
    {
        return false;
    }
    if (!CreateSplitStage() || !CreateResamplingStages())
    {
        return false;
    }
    m_WorkBuffer = static_cast<float*>(
        ExAllocatePoolWithTag(NonPagedPool, SRC_WORK_BUFFER_BYTES, DSP_STAGE_POOL_TAG));
    if (m_WorkBuffer == nullptr)
    {
        return false;
    }
    m_Created = 1;
    return true;
}

void CDspInterleaveSrc::DestroyConverterStages()
{
    if (m_WorkBuffer != nullptr)
    {
        ExFreePoolWithTag(m_WorkBuffer, DSP_STAGE_POOL_TAG);
        m_WorkBuffer = nullptr;
    }
    DestroyAllStages();
    m_Created = 0;
}

bool CDspInterleaveSrc::SetFormat(const WAVEFORMATEXTENSIBLE& inFormat,
                                  const WAVEFORMATEXTENSIBLE& outFormat)
{
    return ApplyFormat(c_Rules, inFormat, outFormat);
}

bool CDspInterleaveSrc::Process(const UCHAR* input, ULONG* inputFrames, UCHAR* output,
                                ULONG* outputFrames)
{
    const ULONG channels = m_InFormat.Format.nChannels;
    const ULONG inBlock = m_InFormat.Format.nBlockAlign;
    const ULONG outBlock = m_OutFormat.Format.nBlockAlign;
    ULONG consumed = 0;
    ULONG produced = 0;
    ULONG room = *outputFrames;
    if (m_Chain[0] == nullptr)
    {
        room = 0; // no format yet: nothing to convert with
    }
    while (consumed < *inputFrames && room > 0)
    {
        ULONG taken = *inputFrames - consumed;
        m_pSplit->RunInterleaved(input + (SIZE_T)consumed * inBlock, m_WorkBuffer, &taken);
        consumed += taken;
        RunLinks(channels);
        // The work buffer bounds one pass; the loop carries on with the rest.
        ULONG n = Deliverable(channels, room);
        n = n < SRC_WORK_BUFFER_FRAMES ? n : SRC_WORK_BUFFER_FRAMES;
        if (n > 0)
        {
            Deliver(output + (SIZE_T)produced * outBlock, n);
            Release(channels, n);
        }
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

void CDspInterleaveSrc::Deliver(UCHAR* output, ULONG n)
{
    const ULONG channels = m_OutFormat.Format.nChannels;
    CDspSrcStage* last = LastStage();
    for (ULONG c = 0; c < channels; ++c)
    {
        m_OutputPointers[c] = last->GetOutput(c);
    }
    const SrcSampleCodec* codec = SrcCodecOf(m_OutFormat);
    // Float output is interleaved straight into place.
    if (codec->Float && reinterpret_cast<ULONG_PTR>(output) % sizeof(float) == 0)
    {
        DspInterleave32f(m_OutputPointers, (int32_t)channels, (int32_t)n,
                         reinterpret_cast<float*>(output));
        return;
    }
    DspInterleave32f(m_OutputPointers, (int32_t)channels, (int32_t)n, m_WorkBuffer);
    codec->FromFloat(m_WorkBuffer, output, (LONG)(n * channels));
}
