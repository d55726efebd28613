#include "effects/DelayFxNode.h"

#include <new>

#include "effects/ChannelDownmix.h"
#include "primitives/dsp.h"

namespace
{
// Keeps silence and the filters' tails out of denormal arithmetic.
constexpr float c_InputOffset = 1e-12f;
constexpr float c_EngineGain = 2.0f;
constexpr ULONG c_FirstNetworkChannels = 6;
constexpr ULONG c_StereoChannels = 2;

// The container above which the back-conversion truncates.
constexpr USHORT c_RoundedBits = 24;

// Channels beyond the node's two-channel result go silent, so that a node
// after it folds nothing in a second time.
void SilenceAbove(float* const* channels, ULONG first, ULONG end, ULONG frames)
{
    for (ULONG c = first; c < end; ++c)
        DspZero32f(channels[c], (int32_t)frames);
}
} // namespace

CDelayFxNode::~CDelayFxNode()
{
    FreeEffectBuffers(m_Plain);
    if (m_Engine != nullptr)
    {
        m_Engine->~CDelayFxEngine();
        ExFreePoolWithTag(m_Engine, EFFECT_NODE_POOL_TAG);
    }
}

NTSTATUS CDelayFxNode::DelayFxNodeInit(CUacUnit* unit, UCHAR selector, PDEVICE_OBJECT key)
{
    PAGED_CODE();
    const NTSTATUS status = CreateEffectControl(unit, selector, key);
    if (!NT_SUCCESS(status) || !MakeEffectBuffers(m_Plain, EFFECT_CHUNK_FRAMES))
        return status;
    void* memory =
        ExAllocatePoolWithTag(NonPagedPool, sizeof(CDelayFxEngine), EFFECT_NODE_POOL_TAG);
    if (memory == nullptr)
        return status;
    RtlZeroMemory(memory, sizeof(CDelayFxEngine));
    m_Engine = new (memory) CDelayFxEngine();
    m_Engine->DelayFxReset();
    return status;
}

NTSTATUS CDelayFxNode::SetFormat(PWAVEFORMATEX format)
{
    PAGED_CODE();
    if (format == nullptr)
        return STATUS_INVALID_PARAMETER;
    const SIZE_T bytes = format->wFormatTag == WAVE_FORMAT_EXTENSIBLE ? sizeof(WAVEFORMATEXTENSIBLE)
                                                                      : sizeof(WAVEFORMATEX);
    RtlZeroMemory(&m_StreamFormat, sizeof(m_StreamFormat));
    RtlCopyMemory(&m_StreamFormat, format, bytes);
    if (m_Engine != nullptr)
    {
        m_Engine->DelayFxSetRate((int32_t)format->nSamplesPerSec,
                                 format->nChannels > 0 ? format->nChannels - 1u : 0u);
        MakeEffectBuffers(m_Plain, EFFECT_CHUNK_FRAMES); // zeroes what Init made
    }
    return STATUS_SUCCESS;
}

NTSTATUS CDelayFxNode::Flush(PWAVEFORMATEX, PVOID, ULONG)
{
    if (m_Engine != nullptr)
        m_Engine->DelayFxClear();
    return STATUS_SUCCESS;
}

NTSTATUS CDelayFxNode::Process(PWAVEFORMATEX format, PVOID buffers, ULONG frames)
{
    if (TakeChange())
        m_FadePosition = 0;
    if (m_Engine == nullptr || buffers == nullptr || !EffectIsPcm(format) || frames == 0)
        return STATUS_SUCCESS;
    const ULONG channelCount = EffectChannels(format);
    if (channelCount == 0)
        return STATUS_SUCCESS;
    ForEachEffectChunk(buffers, frames,
                       [this, channelCount](float** chunk, ULONG count)
                       { ProcessChunk(chunk, channelCount, count); });
    return STATUS_SUCCESS;
}

BOOLEAN CDelayFxNode::ChangesSamples(PWAVEFORMATEX format)
{
    return m_Engine != nullptr && EffectIsPcm(format) &&
           (SwitchPending() || EffectChannels(format) > c_StereoChannels ||
            format->wBitsPerSample > c_RoundedBits);
}

void CDelayFxNode::DescribeChange(PWAVEFORMATEX format, PSTR text, ULONG size)
{
    static const EffectWords c_Words = {"the delay effect",
                                        "the delay node's fold of %u channels to two",
                                        "the delay node's denormal guard"};
    const bool changes = ChangesSamples(format);
    const ULONG channels = changes ? EffectChannels(format) : 0;
    SayChange(changes, channels >= c_FirstNetworkChannels && IsOn(), channels, c_Words, text, size);
}

void CDelayFxNode::ProcessChunk(float** channels, ULONG channelCount, ULONG frames)
{
    for (ULONG c = 0; c < channelCount; ++c)
        DspAddConstInPlace32f(c_InputOffset, channels[c], (int32_t)frames);
    const bool fading = Fading();
    if (fading)
    {
        for (ULONG c = 0; c < channelCount; ++c)
            DspCopy32f(channels[c], m_Plain[c], (int32_t)frames);
        ChannelDownmix(m_Plain, channelCount, c_StereoChannels, frames, 1);
    }
    // The network is heard when on with six to eight channels; it runs
    // through a switch of any other count but two, whose fade needs it.
    const bool network =
        channelCount >= c_FirstNetworkChannels ? IsOn() || fading : fading && channelCount != 2;
    if (network)
        RunEngine(channels, channelCount, frames);
    else
        ChannelDownmix(channels, channelCount, c_StereoChannels, frames, 1);
    if (fading)
    {
        const ULONG k = FadeUnit();
        const LONG state = CrossfadeState();
        for (ULONG c = 0; c < c_StereoChannels; ++c)
            EffectCrossfade(channels[c], m_Plain[c], frames, k, state, m_FadePosition);
        m_FadePosition += frames;
        if (m_FadePosition >= 4 * k)
            EndCrossfade();
    }
    SilenceAbove(channels, c_StereoChannels, channelCount, frames);
}

void CDelayFxNode::RunEngine(float** channels, ULONG channelCount, ULONG frames)
{
    // The network reads eight channels; those the stream lacks are silence.
    SilenceAbove(channels, channelCount, EFFECT_MAX_CHANNELS, frames);
    m_Engine->DelayFxProcess(channels, channels, (int32_t)frames);
    DspMulConstInPlace32f(c_EngineGain, channels[0], (int32_t)frames);
    DspMulConstInPlace32f(c_EngineGain, channels[1], (int32_t)frames);
}
