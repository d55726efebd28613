// The level shape (volume, gain, bass, mid, treble): a signed level per
// channel in the units of the unit's requests (1/65536 dB for volume), index
// 0 the master, with the device's range.
#pragma once

#include "audioclass/controls/control_interfaces.h"

inline constexpr ULONG RANGED_CONTROL_POOL_TAG = POOL_TAG("VTag");

class CRangedControl : public CAudioControl, public IRangedControl, public IControlModeSetup
{
  public:
    CRangedControl(PUNKNOWN outerUnknown, ULONG id, ULONG kind)
        : CAudioControl(outerUnknown, id, kind)
    {
    }
    ~CRangedControl() override;
    DECLARE_CONTROL_UNKNOWN()

    // IRangedControl: channels 0 to the channel count (one more than the
    // on/off shape: the master and every channel).
    STDMETHODIMP GetValue(ULONG channel, PLONG value) override;
    STDMETHODIMP SetValue(ULONG channel, LONG value) override;
    STDMETHODIMP GetRange(PLONG maximum, PLONG minimum, PLONG resolution) override;
    STDMETHODIMP GetChannelCount(PULONG count) override;
    STDMETHODIMP Init(ULONG sourceId, ULONG channelCount, LONG maximum, LONG minimum,
                      LONG resolution) override;
    STDMETHODIMP SetMode(ULONG mode, PVOID notificationTarget) override;

    ULONG GetMode() const { return m_Mode; }

  protected:
    // The values kept for the new mode go to the device; the shape keeps none.
    virtual NTSTATUS ApplyMode() { return STATUS_SUCCESS; }

    ULONG m_ChannelCount = 0;
    PLONG m_Levels = nullptr; // m_ChannelCount + 1 entries
    LONG m_Maximum = 0;
    LONG m_Minimum = 0;
    LONG m_Resolution = 0;
    ULONG m_Mode = 0;
};
