// The on/off shape (mute, AGC, loudness, switches): one byte per channel,
// index 0 the master, kept from non-paged pool for the chain nodes.
#pragma once

#include "audioclass/controls/control_interfaces.h"

inline constexpr ULONG BOOLEAN_CONTROL_POOL_TAG = POOL_TAG("MTag");

class CBooleanControl : public CAudioControl, public IBooleanControl, public IControlModeSetup
{
  public:
    CBooleanControl(PUNKNOWN outerUnknown, ULONG id, ULONG kind)
        : CAudioControl(outerUnknown, id, kind)
    {
    }
    ~CBooleanControl() override;
    DECLARE_CONTROL_UNKNOWN()

    // IBooleanControl: channels 0 to the channel count - 1.
    STDMETHODIMP GetValue(ULONG channel, PUCHAR value) override;
    STDMETHODIMP SetValue(ULONG channel, UCHAR value) override;
    STDMETHODIMP GetChannelCount(PULONG count) override;
    STDMETHODIMP Init(ULONG sourceId, ULONG channelCount) override;
    // IControlModeSetup: keeps the mode, re-applies the values kept for it
    // and, given the device's callback object, tells its listeners.
    STDMETHODIMP SetMode(ULONG mode, PVOID notificationTarget) override;

    ULONG GetMode() const { return m_Mode; }

  protected:
    // The values kept for the new mode go to the device; the shape keeps none.
    virtual NTSTATUS ApplyMode() { return STATUS_SUCCESS; }

    ULONG m_ChannelCount = 0;
    PUCHAR m_ChannelValues = nullptr; // m_ChannelCount + 1 entries
    ULONG m_Mode = 0;
};
