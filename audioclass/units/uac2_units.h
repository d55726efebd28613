// The audio class 2.0 clock source, feature, mixer (and extension) and
// selector units. The feature and selector units are the class 1.0 objects
// with the class 2.0 encodings; the clock source answers the clock
// interface with device requests on every call and keeps no state.
#pragma once

#include "audioclass/units/uac1_units.h"

class CUac2ClockSource : public CUacUnit, public IClockControl
{
  public:
    explicit CUac2ClockSource(ULONG index) : CUacUnit(index) {}
    DECLARE_CONTROL_UNKNOWN()

    // The rates the clock can run at. *count: room on entry, lowered to the
    // device's count. A subrange that is not a single rate makes the result
    // STATUS_INVALID_PARAMETER; the single rates are written all the same.
    // A clock the host cannot set gives the one rate it reports running at.
    STDMETHODIMP GetFrequencies(PULONG count, PULONG frequencies) override;
    // The rates the device's RANGE lists, a fixed clock's included.
    STDMETHODIMP GetCount(PULONG count) override;
    STDMETHODIMP SetFrequency(ULONG hz) override;
    STDMETHODIMP GetCurrent(PULONG hz) override;
    STDMETHODIMP GetClockValid(PUCHAR valid) override;
    // The rates live on the device.
    STDMETHODIMP Init(ULONG, const ULONG*) override { return STATUS_NOT_IMPLEMENTED; }
    using CUacUnit::Init;
    NTSTATUS CreateControls(CAudioHal* device) override;

  protected:
    UCHAR Subtype() const override { return USB_AUDIO20_CLOCK_SOURCE_SUBTYPE; }

  private:
    CEntityRequests Requests() const
    {
        return CEntityRequests(Owner(), AudioClassVersion::Uac2, (UCHAR)m_Id);
    }
    // Whether bmControls lets the host write the frequency.
    bool FrequencySettable() const;
};

class CUac2FeatureUnit : public CUac1FeatureUnit
{
  public:
    explicit CUac2FeatureUnit(ULONG index) : CUac1FeatureUnit(index, AudioClassVersion::Uac2)
    {
        TakeDeclaredControls();
    }
    // The first control of the type an interrupt's selector stands for.
    NTSTATUS GetSingleControlId(ULONG selector, ULONG channel, PULONG id) override;
};

// Mixer units (subtype 4) and extension units (subtype 9) alike: one mixer
// control over their inputs.
class CUac2MixerUnit : public CUacUnit
{
  public:
    CUac2MixerUnit(ULONG index, UCHAR subtype) : CUacUnit(index), m_Subtype(subtype) {}
    NTSTATUS CreateControls(CAudioHal* device) override;

  protected:
    UCHAR Subtype() const override { return m_Subtype; }

  private:
    UCHAR m_Subtype;
};

class CUac2SelectorUnit : public CUac1SelectorUnit
{
  public:
    explicit CUac2SelectorUnit(ULONG index) : CUac1SelectorUnit(index, AudioClassVersion::Uac2) {}
};

// The control type an interrupt's feature-unit selector stands for;
// CONTROL_KIND_NONE_FOR_SELECTOR when none.
inline constexpr ULONG CONTROL_KIND_NONE_FOR_SELECTOR = 0xFFFFFFFF;
ULONG Uac2ControlKindForSelector(ULONG selector);
