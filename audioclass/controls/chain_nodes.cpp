#include "audioclass/controls/chain_nodes.h"

#include "framework/stream_engine.h"
#include "primitives/dsp.h"
#include "audioclass/controls/volume_arithmetic.h"

namespace
{
constexpr ULONG c_PcmTag = WAVE_FORMAT_PCM;
constexpr ULONG c_MuteState = 3;
constexpr float c_QuarterGain = 0.25f;
constexpr float c_LevelPerDecade = 1310720.0f; // 20 dB in 1/65536 dB
// Eight-channel streams carry their side and back pairs the other way round.
constexpr ULONG c_SwapChannels = 8;
constexpr ULONG c_SwapPairs[][2] = {{4, 6}, {5, 7}};

ULONG PcmChannels(const WAVEFORMATEX* format)
{
    return format->nChannels < STREAM_ENGINE_MAX_CHANNELS ? format->nChannels
                                                          : STREAM_ENGINE_MAX_CHANNELS;
}

// A plain node answers IUnknown and the chain-node interface.
NTSTATUS AnswerPlainNode(PCHAINNODE node, REFIID interfaceId, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    const ControlInterfaceEntry entries[] = {{&IID_IChainNode, node}, {&IID_IUnknown, node}};
    return AnswerControlInterface(entries, interfaceId, object);
}
} // namespace

ULONG ChainFormatTag(const WAVEFORMATEX* format)
{
    if (format->wFormatTag != WAVE_FORMAT_EXTENSIBLE)
        return format->wFormatTag;
    return (USHORT) reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(format)->SubFormat.Data1;
}

void SoftMuteBuffers(const WAVEFORMATEX* format, PVOID buffers, ULONG frames)
{
    if (format == nullptr || buffers == nullptr)
        return;
    if (frames > STREAM_ENGINE_CHUNK_FRAMES)
        frames = STREAM_ENGINE_CHUNK_FRAMES;
    if (ChainFormatTag(format) == c_PcmTag)
    {
        float** channels = static_cast<float**>(buffers);
        for (ULONG c = 0; c < PcmChannels(format); ++c)
            DspZero32f(channels[c], (int32_t)frames);
        return;
    }
    // The interleaved buffer holds at most the engine's work buffer.
    ULONG bytes = (ULONG)format->nBlockAlign * frames;
    if (bytes > STREAM_ENGINE_WORK_BUFFER_BYTES)
        bytes = STREAM_ENGINE_WORK_BUFFER_BYTES;
    RtlZeroMemory(buffers, bytes);
}

void ApplyChannelGains(const WAVEFORMATEX* format, PVOID buffers, ULONG frames, const float* gains,
                       ULONG gainCount)
{
    if (format == nullptr || buffers == nullptr || gains == nullptr ||
        ChainFormatTag(format) != c_PcmTag)
        return;
    if (frames > STREAM_ENGINE_CHUNK_FRAMES)
        frames = STREAM_ENGINE_CHUNK_FRAMES;
    float** channels = static_cast<float**>(buffers);
    const ULONG count = PcmChannels(format) < gainCount ? PcmChannels(format) : gainCount;
    for (ULONG c = 0; c < count; ++c)
        DspMulConstInPlace32f(gains[c], channels[c], (int32_t)frames);
}

// ----------------------------------------------------------------------------
// Soft mute

NTSTATUS CSoftMuteNode::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    const ControlInterfaceEntry entries[] = {{&IID_IChainNode, static_cast<IChainNode*>(this)}};
    if (object != nullptr && NT_SUCCESS(AnswerControlInterface(entries, interfaceId, object)))
        return STATUS_SUCCESS;
    return CBooleanControl::NonDelegatingQueryInterface(interfaceId, object);
}

NTSTATUS CSoftMuteNode::Init(ULONG sourceId, ULONG channelCount)
{
    if (channelCount != 1)
        return STATUS_INSUFFICIENT_RESOURCES;
    return CBooleanControl::Init(sourceId, channelCount);
}

NTSTATUS CSoftMuteNode::Process(PWAVEFORMATEX format, PVOID buffers, ULONG frames)
{
    if (m_ChannelValues != nullptr && m_ChannelValues[0] != 0)
        SoftMuteBuffers(format, buffers, frames);
    return STATUS_SUCCESS;
}

// ----------------------------------------------------------------------------
// Mute controls of the device models

NTSTATUS CMuteNodeControl::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    // Only the node whose state a device model sets answers for it.
    IChainNodeState* const state =
        m_Gate == MuteGate::StateIs3 ? static_cast<IChainNodeState*>(this) : nullptr;
    const ControlInterfaceEntry entries[] = {{&IID_IChainNode, static_cast<IChainNode*>(this)},
                                             {&IID_IChainNodeState, state}};
    if (object != nullptr && NT_SUCCESS(AnswerControlInterface(entries, interfaceId, object)))
        return STATUS_SUCCESS;
    return CUacBooleanControl::NonDelegatingQueryInterface(interfaceId, object);
}

// Out of line, so that the classes' tables live with the driver.
CTimedMuteNode::~CTimedMuteNode() = default;
CGatedMuteNode::~CGatedMuteNode() = default;
CGatedMuteNodeEx::~CGatedMuteNodeEx() = default;

NTSTATUS CMuteNodeControl::SetState(ULONG value)
{
    m_State = value;
    return STATUS_SUCCESS;
}

NTSTATUS CMuteNodeControl::SetIndex(ULONG value)
{
    m_Index = value;
    return STATUS_SUCCESS;
}

NTSTATUS CMuteNodeControl::Process(PWAVEFORMATEX format, PVOID buffers, ULONG frames)
{
    const bool gateOpen = m_Gate == MuteGate::Always ||
                          (m_Gate == MuteGate::ModeIsSpdif && m_Mode == CHAIN_GATE_KIND) ||
                          (m_Gate == MuteGate::StateIs3 && m_State == c_MuteState);
    if (gateOpen && m_ChannelValues != nullptr && m_ChannelValues[0] != 0)
        SoftMuteBuffers(format, buffers, frames);
    return STATUS_SUCCESS;
}

// ----------------------------------------------------------------------------
// Gains

CGainNodeControl::~CGainNodeControl()
{
    if (m_Gains != nullptr)
        ExFreePoolWithTag(m_Gains, RANGED_CONTROL_POOL_TAG);
}

NTSTATUS CGainNodeControl::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    const ControlInterfaceEntry entries[] = {
        {&IID_IChainNode, static_cast<IChainNode*>(this)},
        {&IID_IChainNodeState, static_cast<IChainNodeState*>(this)}};
    if (object != nullptr && NT_SUCCESS(AnswerControlInterface(entries, interfaceId, object)))
        return STATUS_SUCCESS;
    return CUacRangedControl::NonDelegatingQueryInterface(interfaceId, object);
}

NTSTATUS CGainNodeControl::SetState(ULONG value)
{
    m_State = value;
    return STATUS_SUCCESS;
}

NTSTATUS CGainNodeControl::SetIndex(ULONG value)
{
    m_Index = value;
    return STATUS_SUCCESS;
}

NTSTATUS CGainNodeControl::CreateSoftVolumeGains(CUacUnit* unit, UCHAR selector, PDEVICE_OBJECT key)
{
    PAGED_CODE();
    NTSTATUS status = CreateRangedControl(unit, selector, key);
    if (!NT_SUCCESS(status))
        return status;
    const ULONG bytes = (m_ChannelCount + 1) * sizeof(float);
    m_Gains =
        static_cast<float*>(ExAllocatePoolWithTag(NonPagedPool, bytes, RANGED_CONTROL_POOL_TAG));
    if (m_Gains == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG c = 0; c <= m_ChannelCount; ++c)
        m_Gains[c] = 1.0f;
    for (ULONG c = 0; c < m_ChannelCount; ++c)
        LevelChanged(c);
    return STATUS_SUCCESS;
}

void CGainNodeControl::LevelChanged(ULONG channel)
{
    if (m_Gains != nullptr && channel < m_ChannelCount)
        m_Gains[channel] = SoftwareGain(m_Levels[channel]);
}

void CGainNodeControl::ApplyGains(PWAVEFORMATEX format, PVOID buffers, ULONG frames)
{
    ApplyChannelGains(format, buffers, frames, m_Gains,
                      m_Gains != nullptr ? m_ChannelCount + 1 : 0);
}

NTSTATUS CGatedVolumeNode::Process(PWAVEFORMATEX format, PVOID buffers, ULONG frames)
{
    if (m_Mode == CHAIN_GATE_KIND)
        ApplyGains(format, buffers, frames);
    return STATUS_SUCCESS;
}

NTSTATUS CUacPseudo130Control::Process(PWAVEFORMATEX format, PVOID buffers, ULONG frames)
{
    if (m_State == m_Index)
        ApplyGains(format, buffers, frames);
    return STATUS_SUCCESS;
}

NTSTATUS CUacPseudo130Control::SetMode(ULONG mode, PVOID notificationTarget)
{
    PAGED_CODE();
    NTSTATUS status = CRangedControl::SetMode(mode, notificationTarget);
    if (NT_SUCCESS(status))
        status = ApplyStoredValues(m_ChannelCount);
    NotifyControlChange(notificationTarget, m_Id);
    return status;
}

// ----------------------------------------------------------------------------
// Plain nodes

NTSTATUS CChainNode::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    return AnswerPlainNode(this, interfaceId, object);
}

NTSTATUS CChainNode::Process(PWAVEFORMATEX format, PVOID buffers, ULONG frames)
{
    if (format == nullptr || buffers == nullptr || ChainFormatTag(format) != c_PcmTag)
        return STATUS_SUCCESS;
    if (m_Mode == 2)
        SoftMuteBuffers(format, buffers, frames);
    else if (m_Mode == 1)
    {
        const float quarter[STREAM_ENGINE_MAX_CHANNELS] = {
            c_QuarterGain, c_QuarterGain, c_QuarterGain, c_QuarterGain,
            c_QuarterGain, c_QuarterGain, c_QuarterGain, c_QuarterGain};
        ApplyChannelGains(format, buffers, frames, quarter, STREAM_ENGINE_MAX_CHANNELS);
    }
    return STATUS_SUCCESS;
}

NTSTATUS CChannelSwapNode::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    return AnswerPlainNode(this, interfaceId, object);
}

NTSTATUS CChannelSwapNode::Process(PWAVEFORMATEX format, PVOID buffers, ULONG)
{
    if (format == nullptr || buffers == nullptr || ChainFormatTag(format) != c_PcmTag ||
        format->nChannels != c_SwapChannels)
        return STATUS_SUCCESS;
    float** channels = static_cast<float**>(buffers);
    for (const auto& pair : c_SwapPairs)
    {
        float* held = channels[pair[0]];
        channels[pair[0]] = channels[pair[1]];
        channels[pair[1]] = held;
    }
    return STATUS_SUCCESS;
}

bool ComputeVolumeGains(const LONG* levels, ULONG count, float* gains)
{
    if (levels == nullptr || gains == nullptr)
        return false;
    const int32_t n = (int32_t)(count < VOLUME_NODE_MAX_GAINS ? count : VOLUME_NODE_MAX_GAINS);
    if (n == 0)
        return true;
    float exponents[VOLUME_NODE_MAX_GAINS];
    float tens[VOLUME_NODE_MAX_GAINS];
    float result[VOLUME_NODE_MAX_GAINS];
    for (int32_t i = 0; i < n; ++i)
        tens[i] = 10.0f;
    if (DspConvert32sTo32f(reinterpret_cast<const int32_t*>(levels), exponents, n) != 0 ||
        DspDivConstInPlace32f(c_LevelPerDecade, exponents, n) != 0 ||
        DspPow32f(tens, exponents, result, n) != 0)
        return false;
    for (int32_t i = 0; i < n; ++i)
        gains[i] = result[i];
    return true;
}

// Every level's gain again, whichever channel changed: the mode and the
// device's values change them all at once.
void CGatedVolumeNode::LevelChanged(ULONG)
{
    if (m_Gains != nullptr && m_Levels != nullptr)
        ComputeVolumeGains(m_Levels, m_ChannelCount, m_Gains);
}
