#include "audioclass/units/uac1_units.h"

#include <new>

#include "audioclass/controls/chain_nodes.h"
#include "audioclass/descriptor_rules.h"
#include "audioclass/device_selectors.h"
#include "audioclass/controls/uac_unit_controls.h"

namespace
{
constexpr ULONG c_IdOffset = 3;
constexpr ULONG c_FeatureSourceOffset = 4;

// The feature unit's controls, in the order they are made, each in the
// class versions that have it: class 2.0 has no controls 139 and 140, and
// adds the gain pad, switch 144 and the soft volume 130, last.
enum class FeatureControl : UCHAR
{
    Boolean,
    Ranged,
    Pseudo,
    SoftVolume
};
enum FeatureControlVersions : UCHAR
{
    InUac1 = 1,
    InUac2 = 2,
    InBoth = InUac1 | InUac2
};
struct FeatureControlRow
{
    UCHAR Selector;
    FeatureControl Shape;
    const UacBooleanKind* Boolean;
    const UacRangedKind* Ranged;
    UCHAR Versions;
    bool In(AudioClassVersion version) const
    {
        return (Versions & (version == AudioClassVersion::Uac1 ? InUac1 : InUac2)) != 0;
    }
};
const FeatureControlRow c_FeatureControls[] = {
    {USB_AUDIO_FU_MUTE_CONTROL, FeatureControl::Boolean, &UAC_MUTE_CONTROL, nullptr, InBoth},
    {USB_AUDIO_FU_VOLUME_CONTROL, FeatureControl::Ranged, nullptr, &UAC_VOLUME_CONTROL, InBoth},
    {USB_AUDIO_FU_BASS_CONTROL, FeatureControl::Ranged, nullptr, &UAC_BASS_CONTROL, InBoth},
    {USB_AUDIO_FU_MID_CONTROL, FeatureControl::Ranged, nullptr, &UAC_MID_CONTROL, InBoth},
    {USB_AUDIO_FU_TREBLE_CONTROL, FeatureControl::Ranged, nullptr, &UAC_TREBLE_CONTROL, InBoth},
    {USB_AUDIO_FU_AUTOMATIC_GAIN_CONTROL, FeatureControl::Boolean, &UAC_AGC_CONTROL, nullptr,
     InBoth},
    {USB_AUDIO_FU_LOUDNESS_CONTROL, FeatureControl::Boolean, &UAC_LOUDNESS_CONTROL, nullptr,
     InBoth},
    {UAC_PSEUDO_DELAY_SELECTOR, FeatureControl::Pseudo, nullptr, nullptr, InUac1},
    {UAC_PSEUDO_HEADPHONE_SELECTOR, FeatureControl::Pseudo, nullptr, nullptr, InUac1},
    {USB_AUDIO20_FU_INPUT_GAIN_PAD_CONTROL, FeatureControl::Ranged, nullptr, &UAC_GAIN_PAD_CONTROL,
     InUac2},
    {UAC_PSEUDO_SWITCH_SELECTOR, FeatureControl::Boolean, &UAC_SWITCH144_CONTROL, nullptr, InUac2},
    {UAC_PSEUDO_VOLUME_SELECTOR, FeatureControl::SoftVolume, nullptr, nullptr, InUac2},
};
} // namespace

// ----------------------------------------------------------------------------
// Feature unit

CUac1FeatureUnit::~CUac1FeatureUnit()
{
    if (m_Requests != nullptr)
    {
        m_Requests->~CFeatureUnitRequests();
        ExFreePoolWithTag(m_Requests, PoolTag());
    }
}

NTSTATUS CUac1FeatureUnit::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    const ControlInterfaceEntry entries[] = {
        {&IID_IUnitBooleanRequests, static_cast<IUnitBooleanRequests*>(this)},
        {&IID_IUnitRangedRequests, static_cast<IUnitRangedRequests*>(this)}};
    if (NT_SUCCESS(AnswerControlInterface(entries, interfaceId, object)))
        return STATUS_SUCCESS;
    return CUacUnit::NonDelegatingQueryInterface(interfaceId, object);
}

ULONG CUac1FeatureUnit::PoolTag() const
{
    if (m_ModelPoolTag != 0)
        return m_ModelPoolTag;
    return m_Version == AudioClassVersion::Uac1 ? UAC1_UNIT_POOL_TAG : UAC2_UNIT_POOL_TAG;
}

bool CUac1FeatureUnit::HasBitmap(UCHAR selector, ULONG channel) const
{
    const bool either = m_Version == AudioClassVersion::Uac2;
    return selector >= UAC_PSEUDO_SELECTOR_BASE
               ? m_Requests->Table().Has(selector, channel, false, either)
               : m_Requests->Bitmaps().Has(selector, channel, false, either);
}

void CUac1FeatureUnit::ReadUnitState()
{
    void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(CFeatureUnitRequests), PoolTag());
    if (block == nullptr)
        return; // CreateControls finds no request block
    m_Requests =
        new (block) CFeatureUnitRequests(Owner(), m_Version, m_Descriptor, m_Descriptor[0]);
    m_Requests->ReadPseudoControlTable(); // no table: no pseudo controls
}

NTSTATUS CUac1FeatureUnit::GetSingleControlId(ULONG, ULONG, PULONG id)
{
    return id != nullptr ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NTSTATUS CUac1FeatureUnit::ChannelCount(UCHAR selector, PULONG count) const
{
    if (count == nullptr)
        return STATUS_INVALID_PARAMETER;
    *count = 0;
    if (m_Requests == nullptr || DescriptorByte(1) != USB_AUDIO_CS_INTERFACE ||
        DescriptorByte(2) != USB_AUDIO_FEATURE_UNIT)
        return STATUS_INVALID_PARAMETER;
    const bool pseudo = selector >= UAC_PSEUDO_SELECTOR_BASE;
    if (pseudo && !m_Requests->HasPseudoControlTable())
        return STATUS_INVALID_PARAMETER;
    const ULONG channels =
        pseudo ? m_Requests->Table().EntryCount() - 1 : m_Requests->Bitmaps().LogicalChannels();
    auto has = [&](ULONG c) { return HasBitmap(selector, c); };
    for (ULONG c = 1; c <= channels; ++c)
        *count += has(c) ? 1 : 0;
    if (*count != 0)
        return STATUS_SUCCESS;
    if (has(0))
    {
        *count = 1;
        return STATUS_SUCCESS;
    }
    return STATUS_UNSUCCESSFUL;
}

bool CUac1FeatureUnit::FeatureUnitHasControl(UCHAR selector) const
{
    if (m_Requests == nullptr)
        return false;
    if (selector >= UAC_PSEUDO_SELECTOR_BASE)
    {
        for (ULONG c = 0; c < m_Requests->Table().EntryCount(); ++c)
            if (HasBitmap(selector, c))
                return true;
        return false;
    }
    for (ULONG c = 0; c <= m_Requests->Bitmaps().LogicalChannels(); ++c)
        if (HasBitmap(selector, c))
            return true;
    return false;
}

bool CUac1FeatureUnit::ChannelWritable(UCHAR selector, ULONG channel)
{
    ULONG channels = 0;
    UCHAR wire = 0;
    return NT_SUCCESS(ChannelCount(selector, &channels)) &&
           NT_SUCCESS(m_Requests->ChannelFor(selector, channel, channels, true, &wire));
}

NTSTATUS CUac1FeatureUnit::GetBooleanChannels(UCHAR selector, PULONG count)
{
    return ChannelCount(selector, count);
}

NTSTATUS CUac1FeatureUnit::GetLevelChannels(UCHAR selector, PULONG count)
{
    return ChannelCount(selector, count);
}

template <typename Request> NTSTATUS CUac1FeatureUnit::WithChannels(UCHAR selector, Request request)
{
    ULONG channels = 0;
    NTSTATUS status = ChannelCount(selector, &channels);
    return NT_SUCCESS(status) ? request(channels) : status;
}

NTSTATUS CUac1FeatureUnit::GetBoolean(UCHAR selector, ULONG channel, PUCHAR value)
{
    return WithChannels(selector, [&](ULONG n)
                        { return m_Requests->GetBoolean(selector, channel, n, value); });
}

NTSTATUS CUac1FeatureUnit::SetBoolean(UCHAR selector, ULONG channel, UCHAR value)
{
    return WithChannels(selector, [&](ULONG n)
                        { return m_Requests->SetBoolean(selector, channel, n, value); });
}

NTSTATUS CUac1FeatureUnit::GetLevel(UCHAR selector, ULONG channel, PLONG level)
{
    return WithChannels(selector,
                        [&](ULONG n) { return m_Requests->GetLevel(selector, channel, n, level); });
}

NTSTATUS CUac1FeatureUnit::SetLevel(UCHAR selector, ULONG channel, LONG level)
{
    return WithChannels(selector,
                        [&](ULONG n) { return m_Requests->SetLevel(selector, channel, n, level); });
}

NTSTATUS CUac1FeatureUnit::GetLevelRange(UCHAR selector, PLONG maximum, PLONG minimum,
                                         PLONG resolution)
{
    ULONG channels = 0;
    ChannelCount(selector, &channels);
    if (m_Requests == nullptr)
        return STATUS_INVALID_PARAMETER;
    const NTSTATUS status =
        m_Requests->GetLevelRange(selector, channels, maximum, minimum, resolution);
    if (status == STATUS_UNSUCCESSFUL)
        NoteRefusal("feature unit", "level RANGE holds several subranges");
    return status;
}

NTSTATUS CUac1FeatureUnit::CreateControls(CAudioHal* device)
{
    PAGED_CODE();
    NTSTATUS status = SetIdentity(c_IdOffset, USB_AUDIO_FEATURE_UNIT, 1, c_FeatureSourceOffset);
    if (!NT_SUCCESS(status))
        return status;
    if (m_Requests == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    // The models' units are built for paths that need their mute; the class
    // walks take a unit with whatever controls it declares, none included.
    if (m_MuteRequired && !FeatureUnitHasControl(USB_AUDIO_FU_MUTE_CONTROL))
        return STATUS_INSUFFICIENT_RESOURCES;
    for (const FeatureControlRow& row : c_FeatureControls)
    {
        if (!row.In(m_Version) || !FeatureUnitHasControl(row.Selector))
            continue;
        status = CreateOne(row.Selector, device);
        if (status == STATUS_NO_MEMORY && row.Selector != USB_AUDIO_FU_MUTE_CONTROL)
            status = STATUS_SUCCESS; // a later control that cannot be made is left out
        if (!NT_SUCCESS(status))
            return status == STATUS_NO_MEMORY ? STATUS_INSUFFICIENT_RESOURCES : status;
    }
    return STATUS_SUCCESS;
}

// STATUS_NO_MEMORY: the control object could not be allocated. A level
// whose device range cannot be used is left out as well: its sets would
// divide by the resolution.
NTSTATUS CUac1FeatureUnit::CreateOne(UCHAR selector, CAudioHal* device)
{
    const PDEVICE_OBJECT key = SettingsKey();
    for (const FeatureControlRow& row : c_FeatureControls)
    {
        if (row.Selector != selector || !row.In(m_Version))
            continue;
        if (row.Shape == FeatureControl::Boolean)
            return MakeUnitControl<CUacBooleanControl>(
                this, device, PoolTag(),
                [&](CUacBooleanControl* c) { return c->CreateBooleanControl(this, selector, key); },
                *row.Boolean);
        NTSTATUS status = STATUS_SUCCESS;
        if (row.Shape == FeatureControl::Ranged)
            status = MakeUnitControl<CUacRangedControl>(
                this, device, PoolTag(),
                [&](CUacRangedControl* c) { return c->CreateRangedControl(this, selector, key); },
                *row.Ranged);
        else if (row.Shape == FeatureControl::SoftVolume)
            status = MakeUnitControl<CUacPseudo130Control>(
                this, device, PoolTag(),
                [&](CUacPseudo130Control* c)
                { return c->CreateSoftVolumeGains(this, selector, key); });
        else
            return CreatePseudoControl(selector, device);
        return status == STATUS_DEVICE_DATA_ERROR ? STATUS_SUCCESS : status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUac1FeatureUnit::CreatePseudoControl(UCHAR selector, CAudioHal* device)
{
    const PDEVICE_OBJECT key = SettingsKey();
    return MakeUnitControl<CUacPseudo140Control>(
        this, device, PoolTag(),
        [&](CUacPseudo140Control* c) { return c->CreatePseudoControl(this, selector, key); });
}

// ----------------------------------------------------------------------------
// Mixer unit

NTSTATUS CUac1MixerUnit::CreateControls(CAudioHal* device)
{
    PAGED_CODE();
    NTSTATUS status = SetIdentity(c_IdOffset, USB_AUDIO_MIXER_UNIT,
                                  DescriptorByte(UAC1_INPUT_COUNT_OFFSET), UAC1_SOURCES_OFFSET);
    if (!NT_SUCCESS(status))
        return status;
    return MakeRequiredUnitControl<CUacMixerControl>(this, device, UAC1_UNIT_POOL_TAG,
                                                     [&](CUacMixerControl* c)
                                                     { return c->CreateMixerControl(this); });
}

// ----------------------------------------------------------------------------
// Selector unit

NTSTATUS CUac1SelectorUnit::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    const ControlInterfaceEntry entries[] = {
        {&IID_ISelectorControl, static_cast<ISelectorControl*>(this)}};
    if (NT_SUCCESS(AnswerControlInterface(entries, interfaceId, object)))
        return STATUS_SUCCESS;
    return CUacUnit::NonDelegatingQueryInterface(interfaceId, object);
}

bool CUac1SelectorUnit::IsSelector() const
{
    return DescriptorByte(1) == USB_AUDIO_CS_INTERFACE &&
           DescriptorByte(2) == USB_AUDIO_SELECTOR_UNIT;
}

NTSTATUS CUac1SelectorUnit::GetCurrent(PULONG selection)
{
    if (selection == nullptr || !IsSelector())
        return STATUS_INVALID_PARAMETER;
    UCHAR input = 0;
    NTSTATUS status = CEntityRequests(Owner(), m_Version, (UCHAR)m_Id).GetCurrentInput(&input);
    if (NT_SUCCESS(status))
        *selection = input;
    return status;
}

NTSTATUS CUac1SelectorUnit::SetCurrent(ULONG selection)
{
    if (!IsSelector() || selection == 0 || selection > DescriptorByte(UAC1_INPUT_COUNT_OFFSET))
        return STATUS_INVALID_PARAMETER;
    return CEntityRequests(Owner(), m_Version, (UCHAR)m_Id).SelectInput((UCHAR)selection);
}

NTSTATUS CUac1SelectorUnit::GetSourceCount(PULONG count)
{
    if (count == nullptr || !IsSelector())
        return STATUS_INVALID_PARAMETER;
    *count = DescriptorByte(UAC1_INPUT_COUNT_OFFSET);
    return STATUS_SUCCESS;
}

NTSTATUS CUac1SelectorUnit::AddListener(PCHAINNODESTATE)
{
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS CUac1SelectorUnit::CreateControls(CAudioHal* device)
{
    PAGED_CODE();
    NTSTATUS status = SetIdentity(c_IdOffset, USB_AUDIO_SELECTOR_UNIT,
                                  DescriptorByte(UAC1_INPUT_COUNT_OFFSET), UAC1_SOURCES_OFFSET);
    if (!NT_SUCCESS(status))
        return status;
    return MakeRequiredUnitControl<CUacSelectorControl>(
        this, device,
        m_Version == AudioClassVersion::Uac1 ? UAC1_UNIT_POOL_TAG : UAC2_UNIT_POOL_TAG,
        [&](CUacSelectorControl* c) { return c->CreateSelectorControl(this, SettingsKey()); });
}
