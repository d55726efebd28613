#include "effects/QvrFxNode.h"

#include <new>

#include "effects/ChannelDownmix.h"
#include "primitives/dsp.h"
#include "audioclass/controls/control_settings.h"

namespace
{
constexpr ULONG c_EngineRate44 = 44100;
constexpr ULONG c_EngineRate48 = 48000;
constexpr ULONG c_StereoChannels = 2;
constexpr ULONG c_FirstEffectChannels = 6;
constexpr ULONG c_FadeDivisor = 5;
constexpr ULONG c_FloatBits = 32;
constexpr ULONG c_RoomIndex = 0;
constexpr ULONG c_FlagIndex = 1;

// The engine's start-up settings: headphone mode, room 1 in both modes,
// angle index 3 in both, no crosstalk-cancellation angle.
void SetEngineDefaults(CQvrEngine* engine)
{
    engine->QvrSetEnable(1);
    engine->QvrSetSpeakerMode(0);
    engine->QvrSetSpeakerRoom(1);
    engine->QvrSetHeadphoneRoom(1);
    engine->QvrSetHeadphoneAngle(3);
    engine->QvrSetSpeakerAngle(3);
    engine->QvrSetCtcAngle(0);
}

// The engine's working format: float at the engine rate, at least the two
// channels its result takes.
WAVEFORMATEX WorkingFormatFor(ULONG channels, ULONG rate)
{
    WAVEFORMATEX format = {};
    format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    format.nChannels = (WORD)(channels < c_StereoChannels ? c_StereoChannels : channels);
    format.nSamplesPerSec = rate;
    format.wBitsPerSample = c_FloatBits;
    format.nBlockAlign = (WORD)(format.nChannels * c_FloatBits / 8);
    format.nAvgBytesPerSec = rate * format.nBlockAlign;
    return format;
}

template <typename T> void DestroyInPool(T*& object, ULONG tag)
{
    if (object == nullptr)
        return;
    object->~T();
    ExFreePoolWithTag(object, tag);
    object = nullptr;
}

template <typename T> T* MakeInPool(ULONG tag)
{
    void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(T), tag);
    if (memory == nullptr)
        return nullptr;
    RtlZeroMemory(memory, sizeof(T));
    return new (memory) T();
}

bool ValueAccepted(ULONG index, ULONG value)
{
    return index != c_RoomIndex || value <= QVR_FX_ROOM_MAX;
}
} // namespace

ULONG CQvrFxNode::EngineRate(ULONG streamRate)
{
    return streamRate % 1000 != 0 ? c_EngineRate44 : c_EngineRate48;
}

CQvrFxNode::~CQvrFxNode()
{
    FreeEffectBuffers(m_Plain);
    FreeEffectBuffers(m_Effect);
    FreeEffectBuffers(m_Staging);
    if (m_InputSrc != nullptr)
        m_InputSrc->DestroyStages();
    if (m_OutputSrc != nullptr)
        m_OutputSrc->DestroyStages();
    DestroyInPool(m_InputSrc, EFFECT_NODE_POOL_TAG);
    DestroyInPool(m_OutputSrc, EFFECT_NODE_POOL_TAG);
    if (m_EffectStage != nullptr)
        m_EffectStage->StageDspFree();
    if (m_PlainStage != nullptr)
        m_PlainStage->StageDspFree();
    DestroyInPool(m_EffectStage, QVR_FX_POOL_TAG);
    DestroyInPool(m_PlainStage, QVR_FX_POOL_TAG);
    delete m_Engine;
}

// ----------------------------------------------------------------------------
// Set-up

NTSTATUS CQvrFxNode::QvrFxNodeInit(CUacUnit* unit, UCHAR selector, PDEVICE_OBJECT key)
{
    PAGED_CODE();
    const NTSTATUS status = CreateEffectControl(unit, selector, key);
    if (!NT_SUCCESS(status))
        return status;
    const bool made = MakeEffectBuffers(m_Plain, EFFECT_CHUNK_FRAMES) &&
                      MakeEffectBuffers(m_Effect, EFFECT_CHUNK_FRAMES) &&
                      MakeEffectBuffers(m_Staging, QVR_FX_STAGING_FRAMES) && MakeConverters() &&
                      MakeStages() && MakeEngine();
    if (!made)
        return status;
    m_Values[c_RoomIndex] = (ULONG)m_Engine->QvrGetHeadphoneRoom();
    m_Values[c_FlagIndex] = (ULONG)m_Engine->QvrGetHeadphoneFlag();
    RestoreValues();
    ApplyValues();
    return status;
}

bool CQvrFxNode::MakeConverters()
{
    m_InputSrc = MakeInPool<CDspNonInterleaveSrc>(EFFECT_NODE_POOL_TAG);
    if (m_InputSrc == nullptr || !m_InputSrc->CreateStages())
        return false;
    m_OutputSrc = MakeInPool<CDspNonInterleaveSrc>(EFFECT_NODE_POOL_TAG);
    return m_OutputSrc != nullptr && m_OutputSrc->CreateStages();
}

bool CQvrFxNode::MakeStages()
{
    CStageDspEngine** stages[] = {&m_EffectStage, &m_PlainStage};
    for (CStageDspEngine** stage : stages)
    {
        *stage = MakeInPool<CStageDspEngine>(QVR_FX_POOL_TAG);
        if (*stage == nullptr || (*stage)->StageDspInit() == 0)
            return false;
        (*stage)->StageDspSetMode(0);
        (*stage)->StageDspSetGain(1.0f);
        (*stage)->StageDspSetLimit(1.0f);
    }
    return true;
}

// The engine is kept only when it and its block framing exist and take the
// start-up format; otherwise the node stays without one.
bool CQvrFxNode::MakeEngine()
{
    CQvrEngine* engine = new (NonPagedPool, QVR_FX_POOL_TAG) CQvrEngine(m_Bank);
    if (engine == nullptr)
        return false;
    m_WorkingFormat = WorkingFormatFor(c_StereoChannels, c_EngineRate44);
    m_WorkingFormat.wBitsPerSample = 16;
    m_WorkingFormat.nBlockAlign = 4;
    if (engine->AudioApp() == nullptr || engine->QvrConfigure(&m_WorkingFormat) != 1)
    {
        delete engine;
        return false;
    }
    SetEngineDefaults(engine);
    m_Engine = engine;
    return true;
}

// A kept room the engine has no filters for is not taken.
void CQvrFxNode::RestoreValues()
{
    WCHAR name[CONTROL_VALUE_NAME_CHARS] = {};
    if (!NT_SUCCESS(FormatSingleValueName(name, m_Id)))
        return;
    for (ULONG index = 0; index < QVR_FX_VALUE_COUNT; ++index)
    {
        ULONG value = m_Values[index];
        RegistryIndexedSetting(m_Key, SETTINGS_READ, &value, sizeof(value), name, (LONG)index);
        if (ValueAccepted(index, value))
            m_Values[index] = value;
    }
}

void CQvrFxNode::PersistValue(ULONG index)
{
    WCHAR name[CONTROL_VALUE_NAME_CHARS] = {};
    if (NT_SUCCESS(FormatSingleValueName(name, m_Id)))
        RegistryIndexedSetting(m_Key, SETTINGS_WRITE, &m_Values[index], sizeof(ULONG), name,
                               (LONG)index);
}

void CQvrFxNode::ApplyValues()
{
    const int32_t room = (int32_t)m_Values[c_RoomIndex];
    const int32_t flag = m_Values[c_FlagIndex] != 0 ? 1 : 0;
    if (m_Engine->QvrGetSpeakerMode() != 0)
    {
        if (m_Engine->QvrGetSpeakerRoom() != room)
            m_Engine->QvrSetSpeakerRoom(room);
    }
    else if (m_Engine->QvrGetHeadphoneRoom() != room)
        m_Engine->QvrSetHeadphoneRoom(room);
    if (m_Engine->QvrGetSpeakerFlag() != flag)
        m_Engine->QvrSetSpeakerFlag(flag);
    if (m_Engine->QvrGetHeadphoneFlag() != flag)
        m_Engine->QvrSetHeadphoneFlag(flag);
}

// ----------------------------------------------------------------------------
// Values

NTSTATUS CQvrFxNode::ReadValues(ULONG first, ULONG count, PULONG values)
{
    if (first > QVR_FX_VALUE_COUNT || count > QVR_FX_VALUE_COUNT - first ||
        (count > 0 && values == nullptr))
        return STATUS_INVALID_PARAMETER;
    for (ULONG i = 0; i < count; ++i)
        values[i] = m_Values[first + i];
    return STATUS_SUCCESS;
}

NTSTATUS CQvrFxNode::WriteValues(ULONG first, ULONG count, const ULONG* values)
{
    PAGED_CODE();
    if (count == 0 || first > QVR_FX_VALUE_COUNT || count > QVR_FX_VALUE_COUNT - first ||
        values == nullptr)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    for (ULONG i = 0; i < count; ++i)
    {
        const ULONG index = first + i;
        if (!ValueAccepted(index, values[i]))
            continue;
        m_Values[index] = values[i];
        PersistValue(index);
        status = STATUS_SUCCESS;
    }
    if (NT_SUCCESS(status))
        InterlockedExchange(&m_ValuesChanged, 1);
    return status;
}

// ----------------------------------------------------------------------------
// Chain node

bool CQvrFxNode::ConfigureFormats(PWAVEFORMATEX format)
{
    WAVEFORMATEXTENSIBLE stream = {};
    RtlCopyMemory(&stream, format,
                  format->wFormatTag == WAVE_FORMAT_EXTENSIBLE ? sizeof(WAVEFORMATEXTENSIBLE)
                                                               : sizeof(WAVEFORMATEX));
    if (stream.Format.nChannels < 1 || stream.Format.nChannels > EFFECT_MAX_CHANNELS)
        return false;
    const ULONG engineRate = EngineRate(stream.Format.nSamplesPerSec);
    m_StreamFloat = SrcFloatFormatOf(stream);
    m_EngineFloat = m_StreamFloat;
    m_EngineFloat.Format.nSamplesPerSec = engineRate;
    m_EngineFloat.Format.nAvgBytesPerSec = engineRate * m_EngineFloat.Format.nBlockAlign;
    if (!m_InputSrc->SetFormat(m_StreamFloat, m_EngineFloat) ||
        !m_OutputSrc->SetFormat(m_EngineFloat, m_StreamFloat))
        return false;
    m_InputSrc->ResetConverter();
    m_OutputSrc->ResetConverter();
    m_WorkingFormat = WorkingFormatFor(stream.Format.nChannels, engineRate);
    if (m_Engine->QvrConfigure(&m_WorkingFormat) != 1)
        return false;
    m_EffectStage->StageDspSetFormat(m_EngineFloat);
    m_PlainStage->StageDspSetFormat(m_EngineFloat);
    return true;
}

NTSTATUS CQvrFxNode::SetFormat(PWAVEFORMATEX format)
{
    PAGED_CODE();
    if (format == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (m_Engine == nullptr)
        return STATUS_SUCCESS;
    m_Configured = ConfigureFormats(format);
    // Whatever a block reads before writing it starts silent.
    MakeEffectBuffers(m_Plain, EFFECT_CHUNK_FRAMES);
    MakeEffectBuffers(m_Effect, EFFECT_CHUNK_FRAMES);
    MakeEffectBuffers(m_Staging, QVR_FX_STAGING_FRAMES);
    m_FifoCount = 0;
    m_Ran = false;
    if (InterlockedExchange(&m_ValuesChanged, 0) != 0)
        ApplyValues();
    return STATUS_SUCCESS;
}

NTSTATUS CQvrFxNode::ResetStages()
{
    if (m_EffectStage != nullptr && m_PlainStage != nullptr)
    {
        m_EffectStage->StageDspConfigure();
        m_PlainStage->StageDspConfigure();
    }
    return STATUS_SUCCESS;
}

NTSTATUS CQvrFxNode::Flush(PWAVEFORMATEX, PVOID, ULONG)
{
    return ResetStages();
}

NTSTATUS CQvrFxNode::ResampleBlock(CDspNonInterleaveSrc* converter, ULONG inputFrames,
                                   PULONG produced, const WAVEFORMATEXTENSIBLE& inFormat,
                                   const WAVEFORMATEXTENSIBLE& outFormat, float* const* inputs,
                                   float* const* outputs, ULONG capacity, bool reset)
{
    if (converter == nullptr || produced == nullptr || inputFrames == 0 || capacity == 0 ||
        inputs == nullptr || outputs == nullptr ||
        inFormat.Format.nChannels > EFFECT_MAX_CHANNELS ||
        outFormat.Format.nChannels > EFFECT_MAX_CHANNELS)
        return STATUS_INVALID_PARAMETER;
    if (reset)
        converter->ResetConverter();
    ULONG consumed = 0;
    ULONG position = 0;
    while (consumed < inputFrames && position < capacity)
    {
        const UCHAR* in[EFFECT_MAX_CHANNELS] = {};
        UCHAR* out[EFFECT_MAX_CHANNELS] = {};
        for (ULONG c = 0; c < inFormat.Format.nChannels; ++c)
            in[c] = reinterpret_cast<const UCHAR*>(inputs[c] + consumed);
        for (ULONG c = 0; c < outFormat.Format.nChannels; ++c)
            out[c] = reinterpret_cast<UCHAR*>(outputs[c] + position);
        ULONG taken = inputFrames - consumed;
        ULONG made = capacity - position;
        converter->Process(in, &taken, out, &made);
        if (taken == 0 && made == 0)
            break; // a pass that moves nothing would repeat for ever
        consumed += taken;
        position += made;
    }
    *produced = position;
    return STATUS_SUCCESS;
}

NTSTATUS CQvrFxNode::Process(PWAVEFORMATEX format, PVOID buffers, ULONG frames)
{
    TakeChange();
    if (m_Engine == nullptr || !m_Configured || buffers == nullptr || !EffectIsPcm(format) ||
        frames == 0)
        return STATUS_SUCCESS;
    // Values set since the last block reach the engine between blocks.
    if (InterlockedExchange(&m_ValuesChanged, 0) != 0)
        ApplyValues();
    m_Ran = true;
    const ULONG channels = m_StreamFloat.Format.nChannels;
    ForEachEffectChunk(buffers, frames,
                       [this, channels](float** block, ULONG count)
                       { ProcessBlock(block, channels, count); });
    return STATUS_SUCCESS;
}

BOOLEAN CQvrFxNode::ChangesSamples(PWAVEFORMATEX format)
{
    return m_Engine != nullptr && m_Configured && EffectIsPcm(format) &&
           (m_Ran || IsOn() || SwitchPending() || EffectChannels(format) > c_StereoChannels);
}

void CQvrFxNode::DescribeChange(PWAVEFORMATEX format, PSTR text, ULONG size)
{
    static const EffectWords c_Words = {"the headphone effect",
                                        "the headphone node's delayed fold of %u channels to two",
                                        "the headphone node's delayed plain path"};
    const bool changes = ChangesSamples(format);
    const ULONG channels = changes ? EffectChannels(format) : 0;
    SayChange(changes, channels >= c_FirstEffectChannels && IsOn(), channels, c_Words, text, size);
}

void CQvrFxNode::ProcessBlock(float* const* stream, ULONG channels, ULONG frames)
{
    ULONG n = 0;
    ResampleBlock(m_InputSrc, frames, &n, m_StreamFloat, m_EngineFloat, stream, m_Effect,
                  EFFECT_CHUNK_FRAMES, false);
    if (channels < c_StereoChannels)
        DspZero32f(m_Effect[1], (int32_t)n); // the engine's second output of the last block
    for (ULONG c = 0; c < channels; ++c)
        DspCopy32f(m_Effect[c], m_Plain[c], (int32_t)n);
    ChannelDownmix(m_Plain, channels, c_StereoChannels, n, 1);
    m_PlainStage->StageDspProcess(m_Plain, n);
    m_Engine->QvrProcess(m_Effect, n);
    m_EffectStage->StageDspProcess(m_Effect, n);

    // The effect is heard when on with six to eight channels, and through a
    // switch of any count but two; two channels keep the plain path.
    const bool fading = Fading();
    const bool effect = channels >= c_FirstEffectChannels ? IsOn() || fading
                                                          : fading && channels != c_StereoChannels;
    float* const* source = effect ? m_Effect : m_Plain;
    if (fading)
    {
        const ULONG k = n / c_FadeDivisor;
        for (ULONG c = 0; c < c_StereoChannels; ++c)
            EffectCrossfade(source[c], m_Plain[c], n, k, CrossfadeState(), 0);
        EndCrossfade();
    }
    float* behind[EFFECT_MAX_CHANNELS];
    EffectOffsetTable(m_Staging, m_FifoCount, behind);
    ULONG m = 0;
    ResampleBlock(m_OutputSrc, n, &m, m_EngineFloat, m_StreamFloat, source, behind,
                  QVR_FX_STAGING_FRAMES - m_FifoCount, false);
    Deliver(stream, channels, frames, m);
}

void CQvrFxNode::Deliver(float* const* stream, ULONG channels, ULONG frames, ULONG produced)
{
    m_FifoCount = DeliverStaging(m_Staging, m_FifoCount, stream, channels, frames, produced);
    for (ULONG c = c_StereoChannels; c < channels; ++c)
        DspZero32f(stream[c], (int32_t)frames); // the node hands on two channels
}

ULONG CQvrFxNode::DeliverStaging(float* const* staging, ULONG fifoCount, float* const* stream,
                                 ULONG channels, ULONG frames, ULONG produced)
{
    const ULONG held = fifoCount + produced;
    const ULONG taken = held < frames ? held : frames;
    const ULONG gap = frames - taken; // an underrun: the block starts with silence
    ULONG left = held - taken;
    left = left < QVR_FX_FIFO_FRAMES ? left : QVR_FX_FIFO_FRAMES;
    for (ULONG c = 0; c < channels; ++c)
    {
        if (gap > 0)
            DspZero32f(stream[c], (int32_t)gap);
        if (taken > 0)
            DspCopy32f(staging[c], stream[c] + gap, (int32_t)taken);
        if (left > 0)
            DspMove32f(staging[c] + taken, staging[c], (int32_t)left);
    }
    return left;
}
