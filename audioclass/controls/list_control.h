// The output-type shape of an output terminal: the endpoint kinds its jack
// can be switched to, the one selected, a changed flag that the device's
// CreateMiniports reads and clears, and the controls that follow the kind.
#pragma once

#include "audioclass/controls/control_interfaces.h"

inline constexpr ULONG LIST_CONTROL_POOL_TAG = POOL_TAG("TerT");
inline constexpr ULONG LIST_CONTROL_MAX_ITEMS = 5;

class CListControl : public CAudioControl, public IOutputTypeControl
{
  public:
    CListControl(PUNKNOWN outerUnknown, ULONG id)
        : CAudioControl(outerUnknown, id, CONTROL_KIND_LIST)
    {
    }
    ~CListControl() override;
    DECLARE_CONTROL_UNKNOWN()

    STDMETHODIMP GetCurrent(PULONG endpointKind) override;
    STDMETHODIMP GetCount(PULONG count) override;
    // items: room for the count.
    STDMETHODIMP GetItems(PULONG items) override;
    // A new item sets the changed flag and passes the kind to the listeners
    // as their mode; the current item changes nothing.
    STDMETHODIMP Select(ULONG endpointKind) override;
    STDMETHODIMP_(BOOLEAN) IsChanged() override;
    STDMETHODIMP_(void) ClearChanged() override;
    STDMETHODIMP AddListener(PCONTROLMODESETUP listener) override;
    // 1 to 5 endpoint kinds; the first is selected.
    STDMETHODIMP Init(ULONG sourceId, ULONG count, const ULONG* items) override;

  protected:
    ULONG m_Count = 0;
    PULONG m_Items = nullptr;
    ULONG m_Current = 0;
    ULONG m_Changed = 0;
    CPtrList* m_Listeners = nullptr;
};
