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

// A plain node answers IUnknown, the chain-node and the activity interface.
NTSTATUS AnswerPlainNode(PCHAINNODE node, PCHAINNODEACTIVITY activity, REFIID interfaceId,
                         PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    const ControlInterfaceEntry entries[] = {
        {&IID_IChainNode, node}, {&IID_IUnknown, node}, {&IID_IChainNodeActivity, activity}};
    return AnswerControlInterface(entries, interfaceId, object);
}

bool IsPcm(const WAVEFORMATEX* format)
{
    return format != nullptr && ChainFormatTag(format) == c_PcmTag;
}

ULONG GainChannels(const WAVEFORMATEX* format, ULONG gainCount)
{
    return PcmChannels(format) < gainCount ? PcmChannels(format) : gainCount;
}

constexpr LONG c_Silence = (LONG)0x80000000;
constexpr LONGLONG c_LevelPerDb = 65536;
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
    if (buffers == nullptr || gains == nullptr || !IsPcm(format))
        return;
    if (frames > STREAM_ENGINE_CHUNK_FRAMES)
        frames = STREAM_ENGINE_CHUNK_FRAMES;
    float** channels = static_cast<float**>(buffers);
    for (ULONG c = 0; c < GainChannels(format, gainCount); ++c)
        DspMulConstInPlace32f(gains[c], channels[c], (int32_t)frames);
}

bool ChannelGainsChange(const WAVEFORMATEX* format, const float* gains, ULONG gainCount)
{
    if (gains == nullptr || !IsPcm(format))
        return false;
    for (ULONG c = 0; c < GainChannels(format, gainCount); ++c)
        if (gains[c] != 1.0f)
            return true;
    return false;
}

void DescribeNodeChange(bool changes, PSTR text, ULONG size, PCSTR what)
{
    if (text != nullptr && size != 0)
        RtlStringCbCopyA(text, size, changes ? what : "");
}

void DescribeNodeChange(bool changes, PSTR text, ULONG size, PCSTR what, ULONG id)
{
    char said[STREAM_ENGINE_DESCRIPTION_CHARS];
    RtlStringCbPrintfA(said, sizeof(said), "%s on control %u", what, (unsigned)id);
    DescribeNodeChange(changes, text, size, said);
}

void FormatLevelDb(LONG level, PSTR text, ULONG size)
{
    if (level == c_Silence)
    {
        RtlStringCbCopyA(text, size, "-inf");
        return;
    }
    // Tenths of a decibel, rounded half away from zero.
    const LONGLONG scaled = (LONGLONG)level * 10;
    const LONGLONG tenths =
        (scaled + (scaled < 0 ? -c_LevelPerDb / 2 : c_LevelPerDb / 2)) / c_LevelPerDb;
    const LONGLONG magnitude = tenths < 0 ? -tenths : tenths;
    RtlStringCbPrintfA(text, size, "%s%d.%d", tenths < 0 ? "-" : (tenths > 0 ? "+" : ""),
                       (int)(magnitude / 10), (int)(magnitude % 10));
}

// ----------------------------------------------------------------------------
// Soft mute

NTSTATUS CSoftMuteNode::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    const ControlInterfaceEntry entries[] = {
        {&IID_IChainNode, static_cast<IChainNode*>(this)},
        {&IID_IChainNodeActivity, static_cast<IChainNodeActivity*>(this)}};
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
    if (ChangesSamples(format))
        SoftMuteBuffers(format, buffers, frames);
    return STATUS_SUCCESS;
}

BOOLEAN CSoftMuteNode::ChangesSamples(PWAVEFORMATEX)
{
    return m_ChannelValues != nullptr && m_ChannelValues[0] != 0;
}

void CSoftMuteNode::DescribeChange(PWAVEFORMATEX format, PSTR text, ULONG size)
{
    DescribeNodeChange(ChangesSamples(format), text, size, "mute", m_Id);
}

// ----------------------------------------------------------------------------
// Mute controls of the device models

NTSTATUS CMuteNodeControl::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    // Only the node whose state a device model sets answers for it.
    IChainNodeState* const state =
        m_Gate == MuteGate::StateIs3 ? static_cast<IChainNodeState*>(this) : nullptr;
    const ControlInterfaceEntry entries[] = {
        {&IID_IChainNode, static_cast<IChainNode*>(this)},
        {&IID_IChainNodeState, state},
        {&IID_IChainNodeActivity, static_cast<IChainNodeActivity*>(this)}};
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

bool CMuteNodeControl::Mutes() const
{
    const bool gateOpen = m_Gate == MuteGate::Always ||
                          (m_Gate == MuteGate::ModeIsSpdif && m_Mode == CHAIN_GATE_KIND) ||
                          (m_Gate == MuteGate::StateIs3 && m_State == c_MuteState);
    return gateOpen && m_ChannelValues != nullptr && m_ChannelValues[0] != 0;
}

NTSTATUS CMuteNodeControl::Process(PWAVEFORMATEX format, PVOID buffers, ULONG frames)
{
    if (Mutes())
        SoftMuteBuffers(format, buffers, frames);
    return STATUS_SUCCESS;
}

BOOLEAN CMuteNodeControl::ChangesSamples(PWAVEFORMATEX)
{
    return Mutes();
}

void CMuteNodeControl::DescribeChange(PWAVEFORMATEX, PSTR text, ULONG size)
{
    DescribeNodeChange(Mutes(), text, size, "mute", m_Id);
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
        {&IID_IChainNodeState, static_cast<IChainNodeState*>(this)},
        {&IID_IChainNodeActivity, static_cast<IChainNodeActivity*>(this)}};
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
    if (GateOpen())
        ApplyChannelGains(format, buffers, frames, m_Gains, GainCount());
}

BOOLEAN CGainNodeControl::ChangesSamples(PWAVEFORMATEX format)
{
    return GateOpen() && ChannelGainsChange(format, m_Gains, GainCount());
}

// "volume -6.0 dB", or "volume -20.0 to -6.0 dB" where the channels that
// change differ.
void CGainNodeControl::DescribeChange(PWAVEFORMATEX format, PSTR text, ULONG size)
{
    const bool changes = ChangesSamples(format);
    LONG lowest = 0, highest = 0;
    bool found = false;
    for (ULONG c = 0; changes && c < GainChannels(format, GainCount()) && c < m_ChannelCount; ++c)
    {
        if (m_Gains[c] == 1.0f || m_Levels == nullptr)
            continue;
        const LONG level = m_Levels[c];
        lowest = !found || level < lowest ? level : lowest;
        highest = !found || level > highest ? level : highest;
        found = true;
    }
    char low[16], high[16], what[48];
    FormatLevelDb(lowest, low, sizeof(low));
    FormatLevelDb(highest, high, sizeof(high));
    if (lowest == highest)
        RtlStringCbPrintfA(what, sizeof(what), "volume %s dB", low);
    else
        RtlStringCbPrintfA(what, sizeof(what), "volume %s to %s dB", low, high);
    DescribeNodeChange(changes, text, size, what, m_Id);
}

NTSTATUS CGatedVolumeNode::Process(PWAVEFORMATEX format, PVOID buffers, ULONG frames)
{
    ApplyGains(format, buffers, frames);
    return STATUS_SUCCESS;
}

NTSTATUS CUacPseudo130Control::Process(PWAVEFORMATEX format, PVOID buffers, ULONG frames)
{
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
    return AnswerPlainNode(this, this, interfaceId, object);
}

BOOLEAN CChainNode::ChangesSamples(PWAVEFORMATEX format)
{
    return IsPcm(format) && (m_Mode == 1 || m_Mode == 2);
}

void CChainNode::DescribeChange(PWAVEFORMATEX format, PSTR text, ULONG size)
{
    DescribeNodeChange(ChangesSamples(format), text, size,
                       m_Mode == 1 ? "the jack node's attenuation to a quarter"
                                   : "the jack node's silence");
}

NTSTATUS CChainNode::Process(PWAVEFORMATEX format, PVOID buffers, ULONG frames)
{
    if (buffers == nullptr || !IsPcm(format))
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
    return AnswerPlainNode(this, this, interfaceId, object);
}

BOOLEAN CChannelSwapNode::ChangesSamples(PWAVEFORMATEX format)
{
    return IsPcm(format) && format->nChannels == c_SwapChannels;
}

void CChannelSwapNode::DescribeChange(PWAVEFORMATEX format, PSTR text, ULONG size)
{
    DescribeNodeChange(ChangesSamples(format), text, size, "the channel swap of eight-channel PCM");
}

NTSTATUS CChannelSwapNode::Process(PWAVEFORMATEX format, PVOID buffers, ULONG)
{
    if (buffers == nullptr || !ChangesSamples(format))
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
