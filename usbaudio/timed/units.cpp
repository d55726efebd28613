#include "usbaudio/timed/units.h"

#include "audioclass/controls/chain_nodes.h"
#include "audioclass/controls/control_settings.h"
#include "audioclass/requests/unit_requests.h"
#include "audioclass/controls/volume_arithmetic.h"

namespace
{
constexpr ULONG c_IdOffset = 3;
constexpr ULONG c_SourceOffset = 4;
constexpr LONG c_DeviceStep = 256; // 1/256 dB to 1/65536 dB
constexpr SHORT c_DeviceSilence = -32768;
constexpr LONG c_CurveResolution = 16384;
// Register 1's LED and line-switch bits.
constexpr ULONG c_LedRegister = 1;
constexpr USHORT c_LedMask = 0x30;
constexpr USHORT c_LedOn = 0x30;
constexpr USHORT c_LedOff = 0x10;
constexpr USHORT c_SwitchOn = 0x10;
constexpr USHORT c_SwitchOff = 0x30;

// A two-byte chip value in 1/256 dB (the class 1.0 reading multiplied it by 256).
LONG RawOf(LONG level)
{
    return level / c_DeviceStep;
}

// A mute control that is also a chain node, as the unit's first control;
// a unit without a mute fails.
template <typename T> NTSTATUS MakeMuteNode(CUac1FeatureUnit* unit, CAudioHal* device)
{
    if (!unit->FeatureUnitHasControl(USB_AUDIO_FU_MUTE_CONTROL))
        return STATUS_INSUFFICIENT_RESOURCES;
    return MakeRequiredUnitControl<T>(
        unit, device, UAC1_UNIT_POOL_TAG,
        [&](T* c)
        { return c->CreateBooleanControl(unit, USB_AUDIO_FU_MUTE_CONTROL, unit->SettingsKey()); });
}

// The volume control after a made mute, when the unit has one; a volume
// that finds no memory leaves the unit with its mute alone.
template <typename T, typename Init, typename... A>
NTSTATUS MakeVolumeAfterMute(CUac1FeatureUnit* unit, CAudioHal* device, NTSTATUS mute, Init init,
                             A&&... args)
{
    if (!NT_SUCCESS(mute) || !unit->FeatureUnitHasControl(USB_AUDIO_FU_VOLUME_CONTROL))
        return mute;
    NTSTATUS volume =
        MakeUnitControl<T>(unit, device, UAC1_UNIT_POOL_TAG, init, static_cast<A&&>(args)...);
    return volume == STATUS_NO_MEMORY ? mute : volume;
}
} // namespace

LONG TimedScaleFromDevice(LONG level, const TimedLevelScale& scale)
{
    if (level == LEVEL_MINUS_INFINITY)
        return level;
    return level < 0 ? (3 * level) / scale.Divisor : 3 * level;
}

LONG TimedScaleToDevice(LONG level, const TimedLevelScale& scale)
{
    if (level == LEVEL_MINUS_INFINITY)
        return level;
    return level < 0 ? (scale.Divisor * level) / 3 : level / 3;
}

// ----------------------------------------------------------------------------
// Scaled levels

NTSTATUS CTimedScaledFeatureUnit::GetLevel(UCHAR selector, ULONG channel, PLONG level)
{
    NTSTATUS status = CUac1FeatureUnit::GetLevel(selector, channel, level);
    if (NT_SUCCESS(status))
        *level = TimedScaleFromDevice(*level, m_Scale);
    return status;
}

NTSTATUS CTimedScaledFeatureUnit::SetLevel(UCHAR selector, ULONG channel, LONG level)
{
    return CUac1FeatureUnit::SetLevel(selector, channel, TimedScaleToDevice(level, m_Scale));
}

NTSTATUS CTimedScaledFeatureUnit::GetLevelRange(UCHAR selector, PLONG maximum, PLONG minimum,
                                                PLONG resolution)
{
    LONG max = 0, min = 0, res = 0;
    NTSTATUS status = CUac1FeatureUnit::GetLevelRange(selector, &max, &min, &res);
    if (!NT_SUCCESS(status) || maximum == nullptr || minimum == nullptr || resolution == nullptr)
        return NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status;
    if (m_Scale.OneByteTone && IsOneByteLevel(selector))
    {
        *maximum = max, *minimum = min, *resolution = res; // 1/4 dB steps as they are
        return STATUS_SUCCESS;
    }
    // In the chip's 1/256 dB: the maximum on the scale's step, each end
    // scaled and kept to 16 bits.
    auto scaled = [&](LONG raw)
    { return (LONG)(SHORT)TimedScaleFromDevice(raw, m_Scale) * c_DeviceStep; };
    *maximum = scaled((SHORT)(RawOf(max) & m_Scale.MaximumMask));
    *minimum = scaled(RawOf(min));
    *resolution = TIMED_SCALED_RESOLUTION;
    return STATUS_SUCCESS;
}

// ----------------------------------------------------------------------------
// Mute LED unit

void CTimedMuteLedFeatureUnit::ReadUnitState()
{
    CUac1FeatureUnit::ReadUnitState();
    ReadControlSetting(SettingsKey(), NEED_MUTE_LED_VALUE, &m_NeedMuteLed, 1);
    ReadControlSetting(SettingsKey(), REVERSE_MUTE_LED_VALUE, &m_ReverseMuteLed, 1);
}

NTSTATUS CTimedMuteLedFeatureUnit::SetBoolean(UCHAR selector, ULONG channel, UCHAR value)
{
    NTSTATUS status = CUac1FeatureUnit::SetBoolean(selector, channel, value);
    if (!NT_SUCCESS(status) || m_NeedMuteLed == 0)
        return status;
    bool lit = value != 0;
    if (m_ReverseMuteLed == 1)
        lit = !lit;
    m_TimedDevice->WriteRegister(c_LedRegister, lit ? c_LedOn : c_LedOff, c_LedMask);
    return status;
}

NTSTATUS CTimedMuteLedFeatureUnit::GetLevel(UCHAR selector, ULONG channel, PLONG level)
{
    NTSTATUS status = CUac1FeatureUnit::GetLevel(selector, channel, level);
    if (!NT_SUCCESS(status) || IsOneByteLevel(selector))
        return status;
    const LONG raw = RawOf(*level);
    *level =
        raw == c_DeviceSilence ? LEVEL_MINUS_INFINITY : CurveDeviceToReported(raw) * c_DeviceStep;
    return status;
}

NTSTATUS CTimedMuteLedFeatureUnit::SetLevel(UCHAR selector, ULONG channel, LONG level)
{
    if (IsOneByteLevel(selector))
        return CUac1FeatureUnit::SetLevel(selector, channel, level);
    return CUac1FeatureUnit::SetLevel(selector, channel,
                                      (LONG)CurveReportedToDevice(level) * c_DeviceStep);
}

NTSTATUS CTimedMuteLedFeatureUnit::GetLevelRange(UCHAR selector, PLONG maximum, PLONG minimum,
                                                 PLONG resolution)
{
    LONG max = 0, min = 0, res = 0;
    NTSTATUS status = CUac1FeatureUnit::GetLevelRange(selector, &max, &min, &res);
    if (!NT_SUCCESS(status) || maximum == nullptr || minimum == nullptr || resolution == nullptr)
        return NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status;
    *maximum = CurveDeviceToReported(RawOf(max)) * c_DeviceStep;
    *minimum = CurveDeviceToReported(RawOf(min)) * c_DeviceStep;
    *resolution = c_CurveResolution;
    return STATUS_SUCCESS;
}

NTSTATUS CTimedMuteLedFeatureUnit::CreateControls(CAudioHal* device)
{
    PAGED_CODE();
    NTSTATUS status = SetIdentity(c_IdOffset, USB_AUDIO_FEATURE_UNIT, 1, c_SourceOffset);
    if (!NT_SUCCESS(status))
        return status;
    status = MakeMuteNode<CGatedMuteNode>(this, device);
    return MakeVolumeAfterMute<CGatedVolumeNode>(
        this, device, status,
        [&](CGatedVolumeNode* c)
        { return c->CreateSoftVolumeGains(this, USB_AUDIO_FU_VOLUME_CONTROL, SettingsKey()); });
}

// ----------------------------------------------------------------------------
// Soft mute and line units

NTSTATUS CTimedSoftMuteFeatureUnit::CreateControls(CAudioHal* device)
{
    PAGED_CODE();
    NTSTATUS status = SetIdentity(c_IdOffset, USB_AUDIO_FEATURE_UNIT, 1, c_SourceOffset);
    if (!NT_SUCCESS(status))
        return status;
    return MakeMuteNode<CGatedMuteNodeEx>(this, device);
}

NTSTATUS CTimedLineMuteNodeFeatureUnit::CreateControls(CAudioHal* device)
{
    PAGED_CODE();
    NTSTATUS status = SetIdentity(c_IdOffset, USB_AUDIO_FEATURE_UNIT, 1, c_SourceOffset);
    if (!NT_SUCCESS(status))
        return status;
    status = MakeMuteNode<CTimedMuteNode>(this, device);
    return MakeVolumeAfterMute<CUacRangedControl>(
        this, device, status,
        [&](CUacRangedControl* c)
        { return c->CreateRangedControl(this, USB_AUDIO_FU_VOLUME_CONTROL, SettingsKey()); },
        UAC_VOLUME_CONTROL);
}

NTSTATUS CTimedLineSwitchFeatureUnit::CreateControls(CAudioHal* device)
{
    PAGED_CODE();
    NTSTATUS status = CTimedLineFeatureUnit::CreateControls(device);
    if (!NT_SUCCESS(status))
        return status;
    return MakeRequiredUnitControl<CRegisterSwitchControl>(
        this, device, UAC1_UNIT_POOL_TAG,
        [&](CRegisterSwitchControl* c) { return c->CreateSwitchControl(this, SettingsKey()); },
        m_TimedDevice);
}

NTSTATUS CRegisterSwitchControl::GetValue(ULONG channel, PUCHAR value)
{
    if (channel != 0 || value == nullptr || m_ChannelValues == nullptr)
        return STATUS_INVALID_PARAMETER;
    *value = m_ChannelValues[0];
    return STATUS_SUCCESS;
}

NTSTATUS CRegisterSwitchControl::SetValue(ULONG channel, UCHAR value)
{
    PAGED_CODE();
    if (channel != 0 || m_ChannelValues == nullptr)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = m_TimedDevice->WriteRegister(
        c_LedRegister, value != 0 ? c_SwitchOn : c_SwitchOff, c_LedMask);
    if (!NT_SUCCESS(status))
        return status;
    m_ChannelValues[0] = value;
    Persist(0);
    return STATUS_SUCCESS;
}

// ----------------------------------------------------------------------------
// Forced mute

NTSTATUS CTimedForcedMuteFeatureUnit::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    const ControlInterfaceEntry entries[] = {
        {&IID_ITimedForcedMute, static_cast<ITimedForcedMute*>(this)}};
    if (object != nullptr && NT_SUCCESS(AnswerControlInterface(entries, interfaceId, object)))
        return STATUS_SUCCESS;
    return CTimedGainFeatureUnit::NonDelegatingQueryInterface(interfaceId, object);
}

NTSTATUS CTimedForcedMuteFeatureUnit::GetBooleanChannels(UCHAR selector, PULONG count)
{
    if (count == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (!FeatureUnitHasControl(selector))
        return CTimedGainFeatureUnit::GetBooleanChannels(selector, count);
    *count = 1;
    return STATUS_SUCCESS;
}

NTSTATUS CTimedForcedMuteFeatureUnit::GetBoolean(UCHAR selector, ULONG channel, PUCHAR value)
{
    if (channel != 0 || value == nullptr)
        return STATUS_INVALID_PARAMETER;
    UCHAR byte = 0;
    NTSTATUS status = SendUnitRequest(Owner(), AudioClassVersion::Uac1, UnitRequest::GetCurrent,
                                      (UCHAR)m_Id, (USHORT)(selector << 8), false, &byte, 1, 1);
    if (NT_SUCCESS(status))
        *value = m_LastValue = byte;
    return status;
}

NTSTATUS CTimedForcedMuteFeatureUnit::SetBoolean(UCHAR selector, ULONG channel, UCHAR value)
{
    if (channel != 0)
        return STATUS_INVALID_PARAMETER;
    m_LastValue = value;
    UCHAR sent = value | m_ForcedMute;
    return SendUnitRequest(Owner(), AudioClassVersion::Uac1, UnitRequest::SetCurrent, (UCHAR)m_Id,
                           (USHORT)(selector << 8), false, &sent, 1, 0);
}

NTSTATUS CTimedForcedMuteFeatureUnit::SetForcedMute(UCHAR on)
{
    m_ForcedMute = on != 0 ? 1 : 0;
    return SetBoolean(USB_AUDIO_FU_MUTE_CONTROL, 0, m_LastValue);
}
