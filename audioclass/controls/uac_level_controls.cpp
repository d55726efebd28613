#include "audioclass/controls/uac_level_controls.h"

#include "audioclass/controls/control_settings.h"
#include "audioclass/controls/volume_arithmetic.h"
#include "audioclass/device_selectors.h"

const UacBooleanKind UAC_MUTE_CONTROL = {"CUacMuteControl", CONTROL_KIND_MUTE,
                                         USB_AUDIO_FU_MUTE_CONTROL, BooleanSet::DeviceThenKeep};
const UacBooleanKind UAC_AGC_CONTROL = {"CUacAgcControl", CONTROL_KIND_AGC,
                                        USB_AUDIO_FU_AUTOMATIC_GAIN_CONTROL,
                                        BooleanSet::DeviceThenKeep};
const UacBooleanKind UAC_LOUDNESS_CONTROL = {"CUacLoudnessControl", CONTROL_KIND_LOUDNESS,
                                             USB_AUDIO_FU_LOUDNESS_CONTROL,
                                             BooleanSet::DeviceThenKeep};
const UacBooleanKind UAC_SWITCH144_CONTROL = {"CUacSwitch144Control", CONTROL_KIND_SWITCH,
                                              UAC_PSEUDO_SWITCH_SELECTOR,
                                              BooleanSet::KeepIfAccepted};
const UacBooleanKind UAC_SWITCH_CONTROL = {"CUacSwitchControl", CONTROL_KIND_SWITCH2, 0,
                                           BooleanSet::KeepOnly};
const UacRangedKind UAC_VOLUME_CONTROL = {"CUacVolumeControl", CONTROL_KIND_VOLUME,
                                          USB_AUDIO_FU_VOLUME_CONTROL, MinusInfinity::PassThrough,
                                          FALSE};
const UacRangedKind UAC_BASS_CONTROL = {"CUacBassControl", CONTROL_KIND_BASS,
                                        USB_AUDIO_FU_BASS_CONTROL, MinusInfinity::SendMinimum,
                                        FALSE};
const UacRangedKind UAC_MID_CONTROL = {"CUacMidControl", CONTROL_KIND_MID, USB_AUDIO_FU_MID_CONTROL,
                                       MinusInfinity::SendMinimum, FALSE};
const UacRangedKind UAC_TREBLE_CONTROL = {"CUacTrebleControl", CONTROL_KIND_TREBLE,
                                          USB_AUDIO_FU_TREBLE_CONTROL, MinusInfinity::SendMinimum,
                                          FALSE};
const UacRangedKind UAC_GAIN_PAD_CONTROL = {"CUacGainPadControl", CONTROL_KIND_GAIN,
                                            USB_AUDIO20_FU_INPUT_GAIN_PAD_CONTROL,
                                            MinusInfinity::SendKeepMinimum, TRUE};

namespace
{
// Whether "Settings" held a value for the channel (then in *data).
bool ReadChannelSetting(PDEVICE_OBJECT key, ULONG id, ULONG mode, ULONG channel, PVOID data,
                        ULONG bytes)
{
    WCHAR name[CONTROL_VALUE_NAME_CHARS] = {};
    return NT_SUCCESS(FormatChannelValueName(name, id, mode, channel)) &&
           NT_SUCCESS(ReadControlSetting(key, name, data, bytes));
}

// Where a channel's value at creation came from.
enum class KeptFrom : UCHAR
{
    Nowhere,
    Device,  // read from the device, and "Settings" held nothing else
    Settings // "Settings" held another value, which replaced the device's
};

KeptFrom KeptFromReads(bool read, bool stored, bool storedEqualsRead)
{
    if (stored && !(read && storedEqualsRead))
        return KeptFrom::Settings;
    return read ? KeptFrom::Device : KeptFrom::Nowhere;
}

// Sets up which channels a control restores: those whose value `read` (the
// device, then "Settings") gave, of those the unit lets the driver write.
template <typename Read>
NTSTATUS InitRestoreChannels(CRestoreChannels& restore, CUacUnit* unit, UCHAR selector,
                             ULONG channels, Read read)
{
    NTSTATUS status = restore.Init(channels);
    for (ULONG c = 0; NT_SUCCESS(status) && c < channels; ++c)
    {
        const KeptFrom from = read(c);
        if (from == KeptFrom::Device)
            restore.MarkDeviceOwn(c);
        else if (from == KeptFrom::Settings)
            restore.MarkKnown(c);
        if (!unit->ChannelWritable(selector, c))
            restore.MarkReadOnly(c);
    }
    return status;
}

void WriteChannelSetting(PDEVICE_OBJECT key, ULONG id, ULONG mode, ULONG channel, const void* data,
                         ULONG bytes)
{
    WCHAR name[CONTROL_VALUE_NAME_CHARS] = {};
    if (NT_SUCCESS(FormatChannelValueName(name, id, mode, channel)))
        WriteControlSetting(key, name, data, bytes);
}

// Whether a stored value exists for the channel in `mode`; *value is
// replaced only then.
template <typename T>
bool StoredValue(PDEVICE_OBJECT key, ULONG id, ULONG mode, ULONG channel, T* value)
{
    WCHAR name[CONTROL_VALUE_NAME_CHARS] = {};
    return NT_SUCCESS(FormatChannelValueName(name, id, mode, channel)) &&
           NT_SUCCESS(ReadControlSetting(key, name, value, sizeof(T)));
}

LONG Snap(LONG value, LONG resolution)
{
    return resolution != 0 ? (value / resolution) * resolution : value; // toward zero
}
} // namespace

// ----------------------------------------------------------------------------
// On/off controls

NTSTATUS CUacBooleanControl::GetValue(ULONG channel, PUCHAR value)
{
    return CBooleanControl::GetValue(channel, value);
}

NTSTATUS CUacBooleanControl::SetValue(ULONG channel, UCHAR value)
{
    PAGED_CODE();
    if (channel >= m_ChannelCount || m_ChannelValues == nullptr)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = STATUS_SUCCESS;
    if (m_What.Set != BooleanSet::KeepOnly)
        status = m_Unit != nullptr ? m_Unit->SetBoolean(m_Selector, channel, value)
                                   : STATUS_UNSUCCESSFUL;
    if (m_What.Set == BooleanSet::KeepIfAccepted && !NT_SUCCESS(status))
        return status;
    m_ChannelValues[channel] = value;
    m_Restore.MarkKnown(channel);
    Persist(channel);
    return status;
}

void CUacBooleanControl::Persist(ULONG channel)
{
    WriteChannelSetting(m_Key, m_Id, m_Mode, channel, &m_ChannelValues[channel], 1);
}

NTSTATUS CUacBooleanControl::RestoreState()
{
    PAGED_CODE();
    if (m_ChannelCount == 0 || m_ChannelValues == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (m_What.Set == BooleanSet::KeepOnly)
        return STATUS_SUCCESS;
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG c = 0; c < m_ChannelCount && NT_SUCCESS(status); ++c)
        if (m_Restore.Restorable(c))
            status = m_Unit->SetBoolean(m_Selector, c, m_ChannelValues[c]);
    return status;
}

NTSTATUS CUacBooleanControl::UpdateState()
{
    PAGED_CODE();
    if (m_What.Set == BooleanSet::KeepOnly || m_Unit == nullptr)
        return STATUS_SUCCESS;
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG c = 0; c < m_ChannelCount && NT_SUCCESS(status); ++c)
    {
        status = m_Unit->GetBoolean(m_Selector, c, &m_ChannelValues[c]);
        if (NT_SUCCESS(status))
        {
            m_Restore.MarkKnown(c);
            Persist(c);
        }
    }
    return status;
}

NTSTATUS CUacBooleanControl::ApplyMode()
{
    const ULONG channels = ChannelCountForMode(m_Mode, m_ChannelCount);
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG c = 0; c < channels && NT_SUCCESS(status); ++c)
    {
        UCHAR value = m_ChannelValues[c];
        if (StoredValue(m_Key, m_Id, m_Mode, c, &value))
            status = SetValue(c, value);
    }
    return status;
}

NTSTATUS CUacBooleanControl::CreateBooleanControl(CUacUnit* unit, UCHAR selector,
                                                  PDEVICE_OBJECT key)
{
    PAGED_CODE();
    NTSTATUS status = QueryUnitRequests(unit, IID_IUnitBooleanRequests, &m_Unit);
    ULONG channels = 0;
    if (NT_SUCCESS(status))
        status = m_Unit->GetBooleanChannels(selector, &channels);
    if (NT_SUCCESS(status))
        status = Init(0, channels);
    if (!NT_SUCCESS(status))
        return status;
    m_Selector = selector;
    m_Key = key;
    return InitRestoreChannels(
        m_Restore, unit, selector, channels,
        [&](ULONG c)
        {
            const bool read = NT_SUCCESS(m_Unit->GetBoolean(selector, c, &m_ChannelValues[c]));
            const UCHAR device = m_ChannelValues[c];
            const bool stored = ReadChannelSetting(key, m_Id, m_Mode, c, &m_ChannelValues[c], 1);
            return KeptFromReads(read, stored, m_ChannelValues[c] == device);
        });
}

NTSTATUS CUacBooleanControl::CreateSwitchControl(CUacUnit*, PDEVICE_OBJECT key)
{
    PAGED_CODE();
    NTSTATUS status = Init(0, 1);
    if (!NT_SUCCESS(status))
        return status;
    m_Key = key;
    GetValue(0, &m_ChannelValues[0]);
    ReadChannelSetting(key, m_Id, m_Mode, 0, &m_ChannelValues[0], 1);
    return STATUS_SUCCESS;
}

// ----------------------------------------------------------------------------
// Level controls

NTSTATUS CUacRangedControl::GetValue(ULONG channel, PLONG value)
{
    if (m_What.AllChannels && channel == UAC_ALL_CHANNELS)
        channel = 0;
    if (channel >= m_ChannelCount)
        return STATUS_INVALID_PARAMETER;
    return CRangedControl::GetValue(channel, value);
}

NTSTATUS CUacRangedControl::SetValue(ULONG channel, LONG value)
{
    PAGED_CODE();
    if (!(m_What.AllChannels && channel == UAC_ALL_CHANNELS))
        return SetOne(channel, value);
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG c = 0; c < m_ChannelCount && NT_SUCCESS(status); ++c)
        status = SetOne(c, value);
    return status;
}

NTSTATUS CUacRangedControl::SetOne(ULONG channel, LONG value)
{
    if (channel >= m_ChannelCount || m_Levels == nullptr || m_Unit == nullptr || m_Resolution == 0)
        return STATUS_INVALID_PARAMETER;
    LONG kept = Clamp(value);
    if (value == LEVEL_MINUS_INFINITY && m_What.Infinity != MinusInfinity::SendKeepMinimum)
        kept = value;
    NTSTATUS status = m_Unit->SetLevel(m_Selector, channel, DeviceLevel(value));
    if (!NT_SUCCESS(status))
        return status;
    m_Levels[channel] = kept;
    m_Restore.MarkKnown(channel);
    WriteChannelSetting(m_Key, m_Id, m_Mode, channel, &kept, sizeof(kept));
    LevelChanged(channel);
    return STATUS_SUCCESS;
}

NTSTATUS CUacRangedControl::RestoreState()
{
    PAGED_CODE();
    if (m_ChannelCount == 0 || m_Levels == nullptr)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG c = 0; c < m_ChannelCount && NT_SUCCESS(status); ++c)
        if (m_Restore.Restorable(c))
            status = m_Unit->SetLevel(
                m_Selector, c, m_Restore.DeviceOwn(c) ? m_Levels[c] : DeviceLevel(m_Levels[c]));
    return status;
}

LONG CUacRangedControl::Clamp(LONG value) const
{
    return value < m_Minimum ? m_Minimum : (value > m_Maximum ? m_Maximum : value);
}

LONG CUacRangedControl::DeviceLevel(LONG value) const
{
    if (value == LEVEL_MINUS_INFINITY && m_What.Infinity == MinusInfinity::PassThrough)
        return value;
    return Snap(Clamp(value), m_Resolution);
}

NTSTATUS CUacRangedControl::UpdateState()
{
    PAGED_CODE();
    NTSTATUS status = m_Unit != nullptr ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    for (ULONG c = 0; c < m_ChannelCount && NT_SUCCESS(status); ++c)
    {
        status = m_Unit->GetLevel(m_Selector, c, &m_Levels[c]);
        if (NT_SUCCESS(status))
        {
            m_Restore.MarkDeviceOwn(c);
            WriteChannelSetting(m_Key, m_Id, m_Mode, c, &m_Levels[c], sizeof(LONG));
            LevelChanged(c);
        }
    }
    return status;
}

NTSTATUS CUacRangedControl::ApplyMode()
{
    return ApplyStoredValues(ChannelCountForMode(m_Mode, m_ChannelCount));
}

NTSTATUS CUacRangedControl::ApplyStoredValues(ULONG channels)
{
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG c = 0; c < channels && NT_SUCCESS(status); ++c)
    {
        LONG value = m_Levels[c];
        if (StoredValue(m_Key, m_Id, m_Mode, c, &value))
            status = SetOne(c, value);
    }
    return status;
}

NTSTATUS CUacRangedControl::CreateRangedControl(CUacUnit* unit, UCHAR selector, PDEVICE_OBJECT key)
{
    PAGED_CODE();
    NTSTATUS status = QueryUnitRequests(unit, IID_IUnitRangedRequests, &m_Unit);
    ULONG channels = 0;
    LONG maximum = 0, minimum = 0, resolution = 0;
    if (NT_SUCCESS(status))
        status = m_Unit->GetLevelChannels(selector, &channels);
    if (NT_SUCCESS(status))
        status = m_Unit->GetLevelRange(selector, &maximum, &minimum, &resolution);
    // The device's range: sets divide by the resolution and clamp into it.
    if (NT_SUCCESS(status) && (resolution == 0 || minimum > maximum))
        status = STATUS_DEVICE_DATA_ERROR;
    if (NT_SUCCESS(status))
        status = Init(0, channels, maximum, minimum, resolution);
    if (!NT_SUCCESS(status))
        return status;
    m_Selector = selector;
    m_Key = key;
    return InitRestoreChannels(m_Restore, unit, selector, channels,
                               [&](ULONG c)
                               {
                                   const bool read =
                                       NT_SUCCESS(m_Unit->GetLevel(selector, c, &m_Levels[c]));
                                   const LONG device = m_Levels[c];
                                   const bool stored = ReadChannelSetting(
                                       key, m_Id, m_Mode, c, &m_Levels[c], sizeof(LONG));
                                   LevelChanged(c);
                                   return KeptFromReads(read, stored, m_Levels[c] == device);
                               });
}

// ----------------------------------------------------------------------------
// Pseudo controls 139 and 140

NTSTATUS CUacPseudo140Control::SetValue(UCHAR value)
{
    PAGED_CODE();
    if (m_Unit == nullptr)
        return STATUS_UNSUCCESSFUL;
    m_Lock.Lock();
    NTSTATUS status = m_Unit->SetBoolean(m_Selector, 0, value);
    InterlockedCompareExchange(&m_Changed, 1, 0);
    if (NT_SUCCESS(status))
    {
        m_Value = value;
        m_Known = true;
        WCHAR name[CONTROL_VALUE_NAME_CHARS] = {};
        if (NT_SUCCESS(FormatSingleValueName(name, m_Id)))
            WriteControlSetting(m_Key, name, &m_Value, 1);
    }
    m_Lock.Unlock();
    return status;
}

NTSTATUS CUacPseudo140Control::GetValue(PUCHAR value)
{
    if (value == nullptr)
        return STATUS_UNSUCCESSFUL;
    m_Lock.Lock();
    *value = m_Value;
    m_Lock.Unlock();
    return STATUS_SUCCESS;
}

NTSTATUS CUacPseudo140Control::RestoreState()
{
    PAGED_CODE();
    if (m_Unit == nullptr)
        return STATUS_UNSUCCESSFUL;
    return m_Known ? m_Unit->SetBoolean(m_Selector, 0, m_Value) : STATUS_SUCCESS;
}

NTSTATUS CUacPseudo140Control::UpdateState()
{
    PAGED_CODE();
    if (m_Unit == nullptr)
        return STATUS_UNSUCCESSFUL;
    m_Lock.Lock();
    NTSTATUS status = m_Unit->GetBoolean(m_Selector, 0, &m_Value);
    if (NT_SUCCESS(status))
    {
        m_Known = true;
        WCHAR name[CONTROL_VALUE_NAME_CHARS] = {};
        if (NT_SUCCESS(FormatSingleValueName(name, m_Id)))
            WriteControlSetting(m_Key, name, &m_Value, 1);
    }
    m_Lock.Unlock();
    return status;
}

NTSTATUS CUacPseudo140Control::CreatePseudoControl(CUacUnit* unit, UCHAR selector,
                                                   PDEVICE_OBJECT key)
{
    PAGED_CODE();
    NTSTATUS status = QueryUnitRequests(unit, IID_IUnitBooleanRequests, &m_Unit);
    if (NT_SUCCESS(status))
        status = Init(0);
    if (!NT_SUCCESS(status))
        return status;
    m_Selector = selector;
    m_Key = key;
    m_Changed = 0;
    m_Known = NT_SUCCESS(m_Unit->GetBoolean(selector, 0, &m_Value));
    WCHAR name[CONTROL_VALUE_NAME_CHARS] = {};
    if (NT_SUCCESS(FormatSingleValueName(name, m_Id)) &&
        NT_SUCCESS(ReadControlSetting(key, name, &m_Value, 1)))
        m_Known = true;
    return STATUS_SUCCESS;
}
