// The timed family's feature units. They keep the class 1.0 descriptor
// handling and requests and change how levels are scaled between the chip
// and the system, which software chain nodes stand in for their mute and
// volume, and which chip registers follow their controls (the mute LED, the
// line switch); the line's analog unit of the first listed device carries
// the jack timer's forced mute.
#pragma once

#include "audioclass/controls/uac_level_controls.h"
#include "usbaudio/timed/device.h"
#include "audioclass/units/uac1_units.h"

inline constexpr WCHAR NEED_MUTE_LED_VALUE[] = u"NeedMuteLED";
inline constexpr WCHAR REVERSE_MUTE_LED_VALUE[] = u"ReverseMuteLED";
// The reported resolution of the scaled levels: 1.5 dB.
inline constexpr LONG TIMED_SCALED_RESOLUTION = 0x18000;

// Levels scaled by 3/n below zero and by 3 from zero up (the gain class
// n = 2, the line class n = 8).
struct TimedLevelScale
{
    LONG Divisor;
    USHORT MaximumMask;
    BOOLEAN OneByteTone; // bass, mid and treble ranges in 1/4 dB
};
inline constexpr TimedLevelScale TIMED_GAIN_SCALE = {2, 0xFFF0, FALSE};
inline constexpr TimedLevelScale TIMED_LINE_SCALE = {8, 0xFF00, TRUE};
// The chip's value to the system's, and back; minus infinity stays.
LONG TimedScaleFromDevice(LONG level, const TimedLevelScale& scale);
LONG TimedScaleToDevice(LONG level, const TimedLevelScale& scale);

class CTimedScaledFeatureUnit : public CUac1FeatureUnit
{
  public:
    CTimedScaledFeatureUnit(ULONG index, CUsbAudioTimedDevice* device, const TimedLevelScale& scale)
        : CUac1FeatureUnit(index), m_TimedDevice(device), m_Scale(scale)
    {
    }
    STDMETHODIMP GetLevel(UCHAR selector, ULONG channel, PLONG level) override;
    STDMETHODIMP SetLevel(UCHAR selector, ULONG channel, LONG level) override;
    STDMETHODIMP GetLevelRange(UCHAR selector, PLONG maximum, PLONG minimum,
                               PLONG resolution) override;

  protected:
    CUsbAudioTimedDevice* m_TimedDevice;
    const TimedLevelScale& m_Scale;
};

class CTimedGainFeatureUnit : public CTimedScaledFeatureUnit
{
  public:
    CTimedGainFeatureUnit(ULONG index, CUsbAudioTimedDevice* device)
        : CTimedScaledFeatureUnit(index, device, TIMED_GAIN_SCALE)
    {
    }
};

class CTimedLineFeatureUnit : public CTimedScaledFeatureUnit
{
  public:
    CTimedLineFeatureUnit(ULONG index, CUsbAudioTimedDevice* device)
        : CTimedScaledFeatureUnit(index, device, TIMED_LINE_SCALE)
    {
    }
};

// The master of the playback path: levels through the volume curve, the
// mute LED register after every mute, gated mute and volume nodes.
class CTimedMuteLedFeatureUnit : public CUac1FeatureUnit
{
  public:
    CTimedMuteLedFeatureUnit(ULONG index, CUsbAudioTimedDevice* device)
        : CUac1FeatureUnit(index), m_TimedDevice(device)
    {
    }
    STDMETHODIMP SetBoolean(UCHAR selector, ULONG channel, UCHAR value) override;
    STDMETHODIMP GetLevel(UCHAR selector, ULONG channel, PLONG level) override;
    STDMETHODIMP SetLevel(UCHAR selector, ULONG channel, LONG level) override;
    STDMETHODIMP GetLevelRange(UCHAR selector, PLONG maximum, PLONG minimum,
                               PLONG resolution) override;
    NTSTATUS CreateControls(CAudioHal* device) override;

  protected:
    void ReadUnitState() override;

  private:
    CUsbAudioTimedDevice* m_TimedDevice;
    UCHAR m_NeedMuteLed = 0;
    UCHAR m_ReverseMuteLed = 0;
};

// The S/PDIF input: only a mute, as a node a device model gates.
class CTimedSoftMuteFeatureUnit : public CUac1FeatureUnit
{
  public:
    explicit CTimedSoftMuteFeatureUnit(ULONG index) : CUac1FeatureUnit(index) {}
    NTSTATUS CreateControls(CAudioHal* device) override;
};

// The second listed device's line units: an always-acting mute node and the
// class 1.0 volume.
class CTimedLineMuteNodeFeatureUnit : public CTimedLineFeatureUnit
{
  public:
    using CTimedLineFeatureUnit::CTimedLineFeatureUnit;
    NTSTATUS CreateControls(CAudioHal* device) override;
};

// The third listed device's line units: one more on/off control that
// switches the chip's register 1.
class CTimedLineSwitchFeatureUnit : public CTimedLineFeatureUnit
{
  public:
    using CTimedLineFeatureUnit::CTimedLineFeatureUnit;
    NTSTATUS CreateControls(CAudioHal* device) override;
};

class CRegisterSwitchControl : public CUacBooleanControl
{
  public:
    CRegisterSwitchControl(ULONG id, CUsbAudioTimedDevice* device)
        : CUacBooleanControl(id, UAC_SWITCH_CONTROL), m_TimedDevice(device)
    {
    }
    STDMETHODIMP GetValue(ULONG channel, PUCHAR value) override;
    STDMETHODIMP SetValue(ULONG channel, UCHAR value) override;

  private:
    CUsbAudioTimedDevice* m_TimedDevice;
};

// The first listed device's line analog unit: one master on/off value, sent
// with the forced-mute bit the jack timer sets.
class CTimedForcedMuteFeatureUnit : public CTimedGainFeatureUnit, public ITimedForcedMute
{
  public:
    using CTimedGainFeatureUnit::CTimedGainFeatureUnit;
    DECLARE_CONTROL_UNKNOWN()
    STDMETHODIMP GetBoolean(UCHAR selector, ULONG channel, PUCHAR value) override;
    STDMETHODIMP SetBoolean(UCHAR selector, ULONG channel, UCHAR value) override;
    STDMETHODIMP GetBooleanChannels(UCHAR selector, PULONG count) override;
    STDMETHODIMP SetForcedMute(UCHAR on) override;

  private:
    UCHAR m_ForcedMute = 0;
    UCHAR m_LastValue = 0;
};
