// Base of every device object: owns the device's units and terminals and the
// stream engines of its streams, runs their set-up, start and stop, tells
// listeners about control changes through a named callback object and answers
// capability queries. The adapter common object shares the interface and
// forwards most of it to the device object it owns.
#pragma once

#include "framework/audio_control.h"
#include "framework/callback_object.h"
#include "framework/interfaces.h"
#include "framework/ptr_list.h"

inline constexpr ULONG AUDIO_HAL_POOL_TAG = POOL_TAG("HALB");

// Selectors with more inputs than this are not linked to their input units.
inline constexpr ULONG MAX_LINKED_SELECTOR_INPUTS = 10;

class CAudioHal : public IAdapterCommon, public IAdapterPowerManagement, public CUnknown
{
  public:
    explicit CAudioHal(PUNKNOWN outerUnknown);
    ~CAudioHal() override;

    // Slots 1 to 3 of both tables: the delegating unknown.
    STDMETHODIMP QueryInterface(REFIID interfaceId, PVOID* object) override
    {
        return GetOuterUnknown()->QueryInterface(interfaceId, object);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return GetOuterUnknown()->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return GetOuterUnknown()->Release(); }

    // IAdapterCommon, in slot order.
    STDMETHODIMP GetStreamCapabilities(ULONG streamIndex,
                                       PENDPOINTCAPABILITIES capabilities) override;
    STDMETHODIMP GetComponentId(PVOID reserved, PKSCOMPONENTID componentId) override;
    STDMETHODIMP_(ULONG) GetEngineCount() override;
    STDMETHODIMP GetEngine(ULONG index, CStreamEngine** engine) override;
    STDMETHODIMP_(ULONG) GetUnitCount() override;
    STDMETHODIMP GetUnit(ULONG index, CAudioControl** unit) override;
    STDMETHODIMP_(PDEVICE_OBJECT) GetDeviceObject() override;
    STDMETHODIMP OpenAudioHalCallback(PRESOURCELIST resourceList, PDEVICE_OBJECT deviceObject,
                                      PDEVICE_OBJECT nextDeviceObject,
                                      PDEVICE_OBJECT physicalDeviceObject) override;
    STDMETHODIMP StartAllUnits() override;
    STDMETHODIMP StopAllUnits() override;
    STDMETHODIMP RegisterCallback(PCALLBACK_FUNCTION callback, PVOID context,
                                  PVOID* registration) override;
    STDMETHODIMP UnregisterCallback(PVOID registration) override;
    STDMETHODIMP WakeFromIdle(PIRP request) override;
    STDMETHODIMP InitDevice() override;
    STDMETHODIMP CompleteSetup() override;
    STDMETHODIMP GetEndpointCapabilities(BOOLEAN isInput, ULONG endpointKind,
                                         PENDPOINTCAPABILITIES capabilities) override;

    // IAdapterPowerManagement
    STDMETHODIMP_(void) PowerChangeState(POWER_STATE newState) override;
    STDMETHODIMP QueryPowerChangeState(POWER_STATE newStateQuery) override;
    STDMETHODIMP QueryDeviceCapabilities(PDEVICE_CAPABILITIES powerDeviceCaps) override;

    NTSTATUS NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object) override;

    // Registration during InitDevice: each list keeps one reference.
    NTSTATUS AddUnitObject(CAudioControl* unit);
    NTSTATUS AddStreamObject(CStreamEngine* engine);
    // The last unit in list order with that id, without a reference.
    NTSTATUS FindUnitById(ULONG id, CAudioControl** unit);
    // Brings every unit's device state in line with its stored state; a
    // unit the device refuses is logged and passed, a device that is gone
    // ends the walk with its status.
    NTSTATUS InitAllUnits();
    // Tells every unit that feeds a selector, directly or through a chain of
    // single-input units, which input it feeds and what is selected.
    void LinkSelectorInputs();

    // Notifies every listener of the callback object that the value of the
    // unit or control `id` changed.
    void NotifyHalListeners(ULONG id);
    PCALLBACK_OBJECT GetCallbackObject() const { return m_CallbackObject; }
    ULONG GetPowerState() const { return m_PowerState; }

  protected:
    // The power change of a device class: the base's own steps, then every
    // engine learns the state and, on return to full power, re-installs or
    // removes its wave subdevice; finally the units are started or stopped.
    // model (may be null) runs its hook before the units are restored.
    void DevicePowerChangeState(ULONG newState, PDEVICEMODEL model);

    PDEVICE_OBJECT m_DeviceObject;
    PDEVICE_OBJECT m_NextDeviceObject;
    PDEVICE_OBJECT m_PhysicalDeviceObject;
    ULONG m_PowerState;
    PCALLBACK_OBJECT m_CallbackObject;
    CPtrList* m_UnitList;
    CPtrList* m_EngineList;
    EndpointCapabilities m_CapabilityRecord;

  private:
    void LinkSelectorInput(ULONG inputNumber, PSELECTORCONTROL selector, ULONG unitId);
    void FreeLists();
};
typedef CAudioHal* PAUDIOHAL;
