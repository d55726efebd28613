// The selector shape: the 1-based input in use among the unit's sources, and
// the units that follow the selection (told before and after each change).
#pragma once

#include "audioclass/controls/control_interfaces.h"

inline constexpr ULONG SELECTOR_CONTROL_POOL_TAG = POOL_TAG("SelT");

class CSelectorControl : public CAudioControl, public ISelectorControl
{
  public:
    CSelectorControl(PUNKNOWN outerUnknown, ULONG id)
        : CAudioControl(outerUnknown, id, CONTROL_KIND_SELECTOR)
    {
    }
    ~CSelectorControl() override;
    DECLARE_CONTROL_UNKNOWN()

    STDMETHODIMP GetCurrent(PULONG selection) override;
    // Tells every listener (SelectionChanging, then SetState after the
    // change), also when the input is the current one.
    STDMETHODIMP SetCurrent(ULONG selection) override;
    STDMETHODIMP GetSourceCount(PULONG count) override;
    STDMETHODIMP AddListener(PCHAINNODESTATE listener) override;
    // The sources become the control's values; the listener list is created.
    virtual NTSTATUS Init(ULONG sourceCount, const ULONG* sourceIds);

  protected:
    ULONG m_SourceCount = 0;
    ULONG m_Current = 0;
    CPtrList* m_Listeners = nullptr;
};
