// The concrete on/off and level controls of a unit: mute, automatic gain,
// loudness and the switches; volume, bass, mid, treble and the gain pad; and
// the device's pseudo controls 139 and 140. Each talks to the device only
// through its unit's request interfaces, keeps one value per channel and
// persists every accepted change under the value name of its mode.
#pragma once

#include "audioclass/controls/boolean_control.h"
#include "audioclass/controls/pseudo_control.h"
#include "audioclass/controls/ranged_control.h"
#include "audioclass/controls/restore_channels.h"
#include "audioclass/controls/uac_unit.h"

// What a set of an on/off control does.
enum class BooleanSet : UCHAR
{
    DeviceThenKeep, // mute, AGC, loudness: keep whatever the device answers
    KeepIfAccepted, // switch 144: keep only what the device took
    KeepOnly        // switch 22: no device request
};

// What a level control sends and keeps for minus infinity.
enum class MinusInfinity : UCHAR
{
    PassThrough,    // volume: sent and kept as it is
    SendMinimum,    // tone: the snapped minimum goes out, minus infinity stays
    SendKeepMinimum // gain pad: the snapped minimum goes out and is kept
};

struct UacBooleanKind
{
    const char* ClassName;
    ULONG Kind;
    UCHAR Selector;
    BooleanSet Set;
};
struct UacRangedKind
{
    const char* ClassName;
    ULONG Kind;
    UCHAR Selector;
    MinusInfinity Infinity;
    BOOLEAN AllChannels; // channel 0xFFFFFFFF sets every channel
};

extern const UacBooleanKind UAC_MUTE_CONTROL, UAC_AGC_CONTROL, UAC_LOUDNESS_CONTROL,
    UAC_SWITCH144_CONTROL, UAC_SWITCH_CONTROL;
extern const UacRangedKind UAC_VOLUME_CONTROL, UAC_BASS_CONTROL, UAC_MID_CONTROL,
    UAC_TREBLE_CONTROL, UAC_GAIN_PAD_CONTROL;
inline constexpr ULONG UAC_ALL_CHANNELS = 0xFFFFFFFF;

class CUacBooleanControl : public CBooleanControl
{
  public:
    CUacBooleanControl(ULONG id, const UacBooleanKind& kind)
        : CBooleanControl(nullptr, id, kind.Kind), m_What(kind)
    {
    }
    STDMETHODIMP GetValue(ULONG channel, PUCHAR value) override;
    STDMETHODIMP SetValue(ULONG channel, UCHAR value) override;
    NTSTATUS RestoreState() override;
    NTSTATUS UpdateState() override;

    // Channels from the unit, each value from the device then "Settings".
    NTSTATUS CreateBooleanControl(CUacUnit* unit, UCHAR selector, PDEVICE_OBJECT key);
    // One channel, no device: the kept value, then "Settings".
    NTSTATUS CreateSwitchControl(CUacUnit* unit, PDEVICE_OBJECT key);

  protected:
    NTSTATUS ApplyMode() override;
    void Persist(ULONG channel);

    const UacBooleanKind& m_What;
    PUNITBOOLEANREQUESTS m_Unit = nullptr; // no reference: the unit holds this control
    UCHAR m_Selector = 0;
    PDEVICE_OBJECT m_Key = nullptr;
    CRestoreChannels m_Restore;
};

class CUacRangedControl : public CRangedControl
{
  public:
    CUacRangedControl(ULONG id, const UacRangedKind& kind)
        : CRangedControl(nullptr, id, kind.Kind), m_What(kind)
    {
    }
    STDMETHODIMP GetValue(ULONG channel, PLONG value) override;
    STDMETHODIMP SetValue(ULONG channel, LONG value) override;
    NTSTATUS RestoreState() override;
    NTSTATUS UpdateState() override;

    // Channels and range from the unit; a range the arithmetic cannot use
    // (resolution 0, minimum above maximum) is refused.
    NTSTATUS CreateRangedControl(CUacUnit* unit, UCHAR selector, PDEVICE_OBJECT key);

  protected:
    NTSTATUS ApplyMode() override;
    // Sets each of the first `channels` channels to its value stored for the mode.
    NTSTATUS ApplyStoredValues(ULONG channels);
    NTSTATUS SetOne(ULONG channel, LONG value);
    LONG Clamp(LONG value) const;
    // What a set of `value` sends the device, and what a restore sends for a
    // value the driver chose: clamped into the range and snapped toward zero
    // to the resolution; minus infinity as the control's kind says.
    LONG DeviceLevel(LONG value) const;
    // Called after a channel's kept value changed.
    virtual void LevelChanged(ULONG) {}

    const UacRangedKind& m_What;
    PUNITRANGEDREQUESTS m_Unit = nullptr;
    UCHAR m_Selector = 0;
    PDEVICE_OBJECT m_Key = nullptr;
    CRestoreChannels m_Restore;
};

// The device's own on/off controls 139 and 140, serialised by the
// control's lock; the effect nodes read the changed flag.
class CUacPseudo140Control : public CPseudoControl
{
  public:
    explicit CUacPseudo140Control(ULONG id) : CPseudoControl(nullptr, id, GUID{}) {}
    STDMETHODIMP SetValue(UCHAR value) override;
    STDMETHODIMP GetValue(PUCHAR value) override;
    NTSTATUS RestoreState() override;
    NTSTATUS UpdateState() override;
    NTSTATUS CreatePseudoControl(CUacUnit* unit, UCHAR selector, PDEVICE_OBJECT key);
    LONG Changed() const { return m_Changed; }

  protected:
    PUNITBOOLEANREQUESTS m_Unit = nullptr;
    UCHAR m_Selector = 0;
    PDEVICE_OBJECT m_Key = nullptr;
    volatile LONG m_Changed = 0;
    bool m_Known = false; // from the device, "Settings" or a set: worth restoring
};
