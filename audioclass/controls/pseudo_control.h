// The shape of the device's own controls (selectors 128 and above): an
// identity GUID, one byte and the lock that serialises its settings. The
// concrete pseudo controls send the byte to the device.
#pragma once

#include "framework/sync_mutex.h"
#include "audioclass/controls/control_interfaces.h"

class CPseudoControl : public CAudioControl, public IPseudoControl
{
  public:
    CPseudoControl(PUNKNOWN outerUnknown, ULONG id, const GUID& identity)
        : CAudioControl(outerUnknown, id, CONTROL_KIND_PSEUDO), m_Identity(identity)
    {
    }
    ~CPseudoControl() override;
    DECLARE_CONTROL_UNKNOWN()

    STDMETHODIMP GetIdentity(GUID* identity) override;
    // Keeps the byte; the shape itself reaches no device and says so.
    STDMETHODIMP SetValue(UCHAR value) override;
    STDMETHODIMP GetValue(PUCHAR value) override;
    STDMETHODIMP GetCurrent(PULONG value) override;
    STDMETHODIMP Reserved1() override { return STATUS_INVALID_PARAMETER; }
    STDMETHODIMP Reserved2() override { return STATUS_INVALID_PARAMETER; }
    STDMETHODIMP Reserved3() override { return STATUS_INVALID_PARAMETER; }
    STDMETHODIMP Init(ULONG sourceId) override;

  protected:
    GUID m_Identity;
    UCHAR m_Value = 0;
    CSyncMutex m_Lock;
};
