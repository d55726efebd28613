#include "streaming/conversion/dsp_split_stage.h"

CDspSplitStage::CDspSplitStage()
    : m_pChannelConversion(nullptr), m_InFormat{}, m_OutFormat{}, m_InCodec(nullptr)
{
}

CDspSplitStage::~CDspSplitStage()
{
    DestroyChannelConversion();
}

void CDspSplitStage::Process(ULONG channel, const float* input, ULONG* count)
{
    UNREFERENCED_PARAMETER(channel);
    UNREFERENCED_PARAMETER(input);
    *count = 0;
}

bool CDspSplitStage::CreateChannelConversion()
{
    if (m_pChannelConversion == nullptr)
    {
        PVOID block =
            ExAllocatePoolWithTag(NonPagedPool, sizeof(CChannelConversion), DSP_STAGE_POOL_TAG);
        if (block == nullptr)
        {
            return false;
        }
        m_pChannelConversion = new (block) CChannelConversion();
    }
    return m_pChannelConversion->Create();
}

void CDspSplitStage::DestroyChannelConversion()
{
    if (m_pChannelConversion != nullptr)
    {
        m_pChannelConversion->~CChannelConversion();
        ExFreePoolWithTag(m_pChannelConversion, DSP_STAGE_POOL_TAG);
        m_pChannelConversion = nullptr;
    }
}

bool CDspSplitStage::SetFormat(const WAVEFORMATEXTENSIBLE& inFormat,
                               const WAVEFORMATEXTENSIBLE& outFormat)
{
    m_InFormat = inFormat;
    m_OutFormat = outFormat;
    m_InCodec = SrcCodecOf(inFormat);
    return m_pChannelConversion != nullptr && m_InCodec != nullptr &&
           m_pChannelConversion->SetFormat(SrcFloatFormatOf(inFormat), SrcFloatFormatOf(outFormat));
}

ULONG CDspSplitStage::Admit(ULONG frames) const
{
    const ULONG limit = m_InFormat.Format.nSamplesPerSec / 100;
    const ULONG held = m_Count[0];
    const ULONG free = held < limit ? limit - held : 0;
    return frames < free ? frames : free;
}

void CDspSplitStage::RunInterleaved(const UCHAR* input, float* work, ULONG* frames)
{
    const ULONG n = Admit(*frames);
    *frames = n;
    if (n == 0)
    {
        return;
    }
    const ULONG channels = m_InFormat.Format.nChannels;
    const ULONG held = m_Count[0];
    // Float input in place is split straight from where it lies.
    const bool inPlace =
        m_InCodec->Float && reinterpret_cast<ULONG_PTR>(input) % sizeof(float) == 0;
    if (!inPlace)
    {
        m_InCodec->ToFloat(input, work, (LONG)(n * channels));
    }
    const float* samples = inPlace ? reinterpret_cast<const float*>(input) : work;
    float* targets[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    for (ULONG c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c)
    {
        targets[c] = m_Output[c] + held;
    }
    DspDeinterleave32f(samples, (int32_t)channels, (int32_t)n, targets);
    Finish(held, n);
}

void CDspSplitStage::RunChannels(const UCHAR* const* inputs, ULONG* frames)
{
    const ULONG n = Admit(*frames);
    *frames = n;
    if (n == 0)
    {
        return;
    }
    const ULONG held = m_Count[0];
    for (ULONG c = 0; c < m_InFormat.Format.nChannels; ++c)
    {
        m_InCodec->ToFloat(inputs[c], m_Output[c] + held, (LONG)n);
    }
    Finish(held, n);
}

void CDspSplitStage::Finish(ULONG held, ULONG n)
{
    const ULONG in = m_InFormat.Format.nChannels;
    const ULONG out = m_OutFormat.Format.nChannels;
    float* channels[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    for (ULONG c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c)
    {
        channels[c] = m_Output[c] + held;
        // Output channels that no input fills start silent, so a mix that
        // leaves them unchanged never hands on stale samples.
        if (c >= in && c < out)
        {
            DspZero32f(channels[c], (int32_t)n);
        }
    }
    m_pChannelConversion->Process(channels, n, 0);
    // Every output channel holds the same count; channels beyond the output
    // were only scratch for the mix and hold nothing.
    for (ULONG c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c)
    {
        m_Count[c] = c < out ? held + n : 0;
    }
}
