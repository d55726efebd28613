#include "audioclass/units/uac2_units.h"

#include "audioclass/controls/uac_clock_control.h"
#include "audioclass/controls/uac_unit_controls.h"
#include "audioclass/descriptor_rules.h"
#include "audioclass/device_selectors.h"

namespace
{
constexpr ULONG c_IdOffset = 3;
constexpr ULONG c_MixerInputCountOffset = 4;
constexpr ULONG c_MixerSourcesOffset = 5;
constexpr ULONG c_ExtensionInputCountOffset = 6;
constexpr ULONG c_ExtensionSourcesOffset = 7;
// The clock source's bmControls: the frequency control's two bits, both set
// when the host may write it.
constexpr ULONG c_ClockControlsOffset = 5;
constexpr UCHAR c_ClockFrequencyBits = 0x03;

// An interrupt's feature-unit selector and the control type it changes.
struct SelectorKind
{
    ULONG Selector;
    ULONG Kind;
};
constexpr SelectorKind c_SelectorKinds[] = {
    {USB_AUDIO_FU_MUTE_CONTROL, CONTROL_KIND_MUTE},
    {USB_AUDIO_FU_VOLUME_CONTROL, CONTROL_KIND_VOLUME},
    {USB_AUDIO_FU_BASS_CONTROL, CONTROL_KIND_BASS},
    {USB_AUDIO_FU_MID_CONTROL, CONTROL_KIND_MID},
    {USB_AUDIO_FU_TREBLE_CONTROL, CONTROL_KIND_TREBLE},
    {USB_AUDIO_FU_AUTOMATIC_GAIN_CONTROL, CONTROL_KIND_AGC},
    {USB_AUDIO_FU_LOUDNESS_CONTROL, CONTROL_KIND_LOUDNESS},
    {UAC_PSEUDO_VOLUME_SELECTOR, CONTROL_KIND_VOLUME},
};
} // namespace

ULONG Uac2ControlKindForSelector(ULONG selector)
{
    for (const SelectorKind& row : c_SelectorKinds)
        if (row.Selector == selector)
            return row.Kind;
    return CONTROL_KIND_NONE_FOR_SELECTOR;
}

// ----------------------------------------------------------------------------
// Clock source

NTSTATUS CUac2ClockSource::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    const ControlInterfaceEntry entries[] = {
        {&IID_IClockControl, static_cast<IClockControl*>(this)}};
    if (NT_SUCCESS(AnswerControlInterface(entries, interfaceId, object)))
        return STATUS_SUCCESS;
    return CUacUnit::NonDelegatingQueryInterface(interfaceId, object);
}

NTSTATUS CUac2ClockSource::GetFrequencies(PULONG count, PULONG frequencies)
{
    PAGED_CODE();
    if (count == nullptr)
        return STATUS_INVALID_PARAMETER;
    ULONG available = 0;
    NTSTATUS status = Requests().GetFrequencyCount(&available);
    if (!NT_SUCCESS(status))
        return status;
    if ((LONG)*count > (LONG)available)
        *count = available;
    if ((LONG)*count <= 0)
        return STATUS_SUCCESS;
    if (frequencies == nullptr)
        return STATUS_INVALID_PARAMETER;
    status = Requests().GetFrequencyList(*count, frequencies);
    // A fixed clock runs only at the rate it reports: its RANGE is read and
    // checked all the same, and stands only when the device will not say.
    ULONG current = 0;
    if (NT_SUCCESS(status) && !FrequencySettable() && NT_SUCCESS(Requests().GetFrequency(&current)))
    {
        frequencies[0] = current;
        *count = 1;
    }
    return status;
}

NTSTATUS CUac2ClockSource::GetCount(PULONG count)
{
    return Requests().GetFrequencyCount(count);
}

// A clock whose frequency control is not writable (a fixed clock) refuses
// the set; it runs at its own rate, and only a format at that rate can play.
NTSTATUS CUac2ClockSource::SetFrequency(ULONG hz)
{
    if (!FrequencySettable())
    {
        ULONG current = 0;
        NTSTATUS status = Requests().GetFrequency(&current);
        if (!NT_SUCCESS(status))
            return status;
        if (current == hz)
            return STATUS_SUCCESS;
        DbgPrint("UsbAudio: clock source %u runs at %u Hz and cannot be set to %u Hz\n",
                 (unsigned)m_Id, (unsigned)current, (unsigned)hz);
        return STATUS_NOT_SUPPORTED;
    }
    return Requests().SetFrequency(hz);
}

bool CUac2ClockSource::FrequencySettable() const
{
    return (DescriptorByte(c_ClockControlsOffset) & c_ClockFrequencyBits) == c_ClockFrequencyBits;
}

NTSTATUS CUac2ClockSource::GetCurrent(PULONG hz)
{
    return Requests().GetFrequency(hz);
}

NTSTATUS CUac2ClockSource::GetClockValid(PUCHAR valid)
{
    return Requests().GetClockValid(valid);
}

NTSTATUS CUac2ClockSource::CreateControls(CAudioHal* device)
{
    PAGED_CODE();
    NTSTATUS status = SetIdentity(c_IdOffset, USB_AUDIO20_CLOCK_SOURCE_SUBTYPE, 0, 0);
    if (!NT_SUCCESS(status))
        return status;
    return MakeRequiredUnitControl<CUacClockControl>(this, device, UAC2_UNIT_POOL_TAG,
                                                     [&](CUacClockControl* c)
                                                     { return c->CreateClockControl(this); });
}

// ----------------------------------------------------------------------------
// Feature unit

NTSTATUS CUac2FeatureUnit::GetSingleControlId(ULONG selector, ULONG, PULONG id)
{
    if (id == nullptr)
        return STATUS_INVALID_PARAMETER;
    // The selector comes from the device's interrupt: only a selector the
    // bitmaps can hold is looked up.
    if (selector > 0xFF || !FeatureUnitHasControl((UCHAR)selector))
        return STATUS_UNSUCCESSFUL;
    const ULONG kind = Uac2ControlKindForSelector(selector);
    if (kind == CONTROL_KIND_NONE_FOR_SELECTOR)
        return STATUS_UNSUCCESSFUL;
    for (ULONG i = 0;; ++i)
    {
        CAudioControl* control = nullptr;
        if (!NT_SUCCESS(UnitGetControl(i, &control)))
            return STATUS_SUCCESS; // none of that type: nothing to name
        if (control->GetKind() == kind)
        {
            *id = control->GetId();
            return STATUS_SUCCESS;
        }
    }
}

// ----------------------------------------------------------------------------
// Mixer and extension units

NTSTATUS CUac2MixerUnit::CreateControls(CAudioHal* device)
{
    PAGED_CODE();
    const bool extension = m_Subtype == USB_AUDIO20_EXTENSION_UNIT;
    NTSTATUS status = SetIdentity(
        c_IdOffset, m_Subtype,
        DescriptorByte(extension ? c_ExtensionInputCountOffset : c_MixerInputCountOffset),
        extension ? c_ExtensionSourcesOffset : c_MixerSourcesOffset);
    if (!NT_SUCCESS(status))
        return status;
    return MakeRequiredUnitControl<CUacMixerControl>(this, device, UAC2_UNIT_POOL_TAG,
                                                     [&](CUacMixerControl* c)
                                                     { return c->CreateMixerControl(this); });
}
