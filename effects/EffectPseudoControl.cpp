#include "effects/EffectPseudoControl.h"

#include "primitives/dsp.h"

namespace
{
// Frame of a chunk that starts at crossfade frame `position` where crossfade
// frame p falls, clipped to the chunk.
ULONG Local(ULONG p, ULONG position, ULONG frames)
{
    return p <= position ? 0 : (p - position < frames ? p - position : frames);
}

// One ramp over the chunk's frames [from, to): out[j] = gain x source[j] with
// gain = base + sign x (position + j - start) / span.
void Ramp(float* out, const float* source, ULONG from, ULONG to, ULONG position, ULONG start,
          float span, float base, float sign)
{
    for (ULONG j = from; j < to; ++j)
        out[j] = (base + sign * ((float)(position + j - start) / span)) * source[j];
}
} // namespace

void EffectCrossfade(float* out, const float* plain, ULONG frames, ULONG k, LONG state,
                     ULONG position)
{
    if (state != EFFECT_FADE_TO_EFFECT && state != EFFECT_FADE_TO_PLAIN)
        return;
    const bool toEffect = state == EFFECT_FADE_TO_EFFECT;
    const ULONG fade = 2 * k;
    if (k > 0)
    {
        const float span = (float)(fade - 1);
        // Old signal out over [0, 2k), new signal in over [2k, 4k).
        Ramp(out, toEffect ? plain : out, Local(0, position, frames), Local(fade, position, frames),
             position, 0, span, 1.0f, -1.0f);
        Ramp(out, toEffect ? out : plain, Local(fade, position, frames),
             Local(2 * fade, position, frames), position, fade, span, 0.0f, 1.0f);
    }
    const ULONG rest = Local(2 * fade, position, frames);
    if (!toEffect && frames > rest && out != plain)
        DspCopy32f(plain + rest, out + rest, (int32_t)(frames - rest));
}

void EffectOffsetTable(float* const* buffers, ULONG offset, float** table)
{
    for (ULONG c = 0; c < EFFECT_MAX_CHANNELS; ++c)
        table[c] = buffers[c] + offset;
}

bool MakeEffectBuffers(float** table, ULONG frames)
{
    for (ULONG c = 0; c < EFFECT_MAX_CHANNELS; ++c)
    {
        if (table[c] == nullptr)
            table[c] = static_cast<float*>(
                ExAllocatePoolWithTag(NonPagedPool, frames * sizeof(float), EFFECT_NODE_POOL_TAG));
        if (table[c] == nullptr)
            return false;
        RtlZeroMemory(table[c], frames * sizeof(float));
    }
    return true;
}

void FreeEffectBuffers(float** table)
{
    for (ULONG c = 0; c < EFFECT_MAX_CHANNELS; ++c)
    {
        if (table[c] != nullptr)
            ExFreePoolWithTag(table[c], EFFECT_NODE_POOL_TAG);
        table[c] = nullptr;
    }
}

bool EffectIsPcm(const WAVEFORMATEX* format)
{
    return format != nullptr && ChainFormatTag(format) == WAVE_FORMAT_PCM;
}

ULONG EffectChannels(const WAVEFORMATEX* format)
{
    return format->nChannels < EFFECT_MAX_CHANNELS ? format->nChannels : EFFECT_MAX_CHANNELS;
}

CEffectPseudoControl::CEffectPseudoControl(ULONG id, const GUID& nodeGuid, ULONG valueCount)
    : CUacPseudo140Control(id), m_EffectValueCount(valueCount)
{
    m_Identity = nodeGuid;
}

NTSTATUS CEffectPseudoControl::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (NT_SUCCESS(CUacPseudo140Control::NonDelegatingQueryInterface(interfaceId, object)))
        return STATUS_SUCCESS;
    const ControlInterfaceEntry entries[] = {
        {&IID_IChainNode, static_cast<IChainNode*>(this)},
        {&IID_IEffectPseudoControl, static_cast<IEffectPseudoControl*>(this)},
        {&IID_IChainNodeActivity, static_cast<IChainNodeActivity*>(this)}};
    return AnswerControlInterface(entries, interfaceId, object);
}

NTSTATUS CEffectPseudoControl::GetNodeGuid(GUID* nodeGuid)
{
    if (nodeGuid == nullptr)
        return STATUS_INVALID_PARAMETER;
    *nodeGuid = m_Identity;
    return STATUS_SUCCESS;
}

NTSTATUS CEffectPseudoControl::GetValue(PUCHAR value)
{
    if (value == nullptr)
        return STATUS_INVALID_PARAMETER;
    return CUacPseudo140Control::GetValue(value);
}

NTSTATUS CEffectPseudoControl::GetEffectValueCount(PULONG count)
{
    if (count == nullptr)
        return STATUS_INVALID_PARAMETER;
    *count = m_EffectValueCount;
    return STATUS_SUCCESS;
}

NTSTATUS CEffectPseudoControl::ResetValueList(ULONG value)
{
    PAGED_CODE();
    return SetValueArray(1, &value);
}

NTSTATUS CEffectPseudoControl::CreateEffectControl(CUacUnit* unit, UCHAR selector,
                                                   PDEVICE_OBJECT key)
{
    PAGED_CODE();
    NTSTATUS status = CreatePseudoControl(unit, selector, key);
    if (!NT_SUCCESS(status))
        return status;
    m_Crossfade = EFFECT_FADE_NONE;
    return ResetValueList(0);
}

void CEffectPseudoControl::SayChange(bool changes, bool heard, ULONG channels,
                                     const EffectWords& words, PSTR text, ULONG size) const
{
    char what[STREAM_ENGINE_DESCRIPTION_CHARS];
    if (SwitchPending())
        RtlStringCbPrintfA(what, sizeof(what), "%s's switch", words.Effect);
    else if (heard)
        RtlStringCbCopyA(what, sizeof(what), words.Effect);
    else if (channels > 2)
        RtlStringCbPrintfA(what, sizeof(what), words.Fold, (unsigned)channels);
    else
        RtlStringCbCopyA(what, sizeof(what), words.Otherwise);
    DescribeNodeChange(changes, text, size, what, m_Id);
}

bool CEffectPseudoControl::TakeChange()
{
    if (InterlockedExchange(&m_Changed, 0) != 1)
        return false;
    InterlockedExchange(&m_Crossfade, IsOn() ? EFFECT_FADE_TO_EFFECT : EFFECT_FADE_TO_PLAIN);
    return true;
}
