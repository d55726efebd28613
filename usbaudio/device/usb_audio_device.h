// What every device class shares: the device-model interface beside the
// device-object base, the device's own unit list, the set-up order of
// InitDevice (capability record, AudioControl parse, AudioStreaming parse,
// model hook), the search of units by id, the capability queries, and the
// renaming and reinstalling of wave subdevices whose output type changed.
// The classes differ in the traits below and in the operations they replace.
#pragma once

#include "framework/adapter_interfaces.h"
#include "framework/audio_hal.h"
#include "framework/stream_engine.h"
#include "framework/sync_mutex.h"
#include "usbaudio/table/device_table.h"
#include "usbaudio/device/interrupt_polling.h"

class CUacUnit;

inline constexpr ULONG UAC1_POOL_TAG = POOL_TAG("UAC1");
inline constexpr ULONG UAC2_POOL_TAG = POOL_TAG("UAC2");
inline constexpr ULONG TIMED_POOL_TAG = POOL_TAG("4405");
inline constexpr ULONG MODEL_A_POOL_TAG = POOL_TAG("4402");
inline constexpr ULONG MODEL_B_POOL_TAG = POOL_TAG("4407");
inline constexpr ULONG MODEL_C_POOL_TAG = POOL_TAG("4410");
// CreateMiniports' name buffer: 51 wide characters, paged.
inline constexpr ULONG MINIPORT_NAME_BYTES = 102;
inline constexpr ULONG MINIPORT_NAME_CHARS = 50;
inline constexpr ULONG MINIPORT_NAME_POOL_TAG = POOL_TAG("Temp");
// The pause after each renamed engine of a class 2.0 device, in ms, from
// "Settings"; no pause when the value is absent.
inline constexpr WCHAR UPDATE_MINIPORT_DELAY_VALUE[] = u"UpdateMiniportDelay";

// How CreateMiniports brings a renamed engine's subdevice back.
enum class MiniportRefresh
{
    Install,          // audio class 1.0 family
    InstallAfterWait, // audio class 2.0: "UpdateMiniportDelay" first
    NotifyUnit        // timed class: the control change of the unit installs
};

struct DeviceClassTraits
{
    ULONG PoolTag;
    ULONG ListTag;         // the unit list: "UAC1" or "UAC2"
    BOOLEAN RunsModelHook; // InitDevice calls PostParse after the parse
    BOOLEAN HasModelHook;  // PostParse is part of the device-model table
    MiniportRefresh Refresh;
};

class CUsbAudioDevice : public CAudioHal,
                        public IDeviceModel,
                        public IDeviceLock,
                        public IPolledDevice
{
  public:
    CUsbAudioDevice(PUNKNOWN outerUnknown, const DeviceClassTraits& traits, USHORT idVendor,
                    USHORT idProduct);
    ~CUsbAudioDevice() override;

    STDMETHODIMP QueryInterface(REFIID interfaceId, PVOID* object) override
    {
        return GetOuterUnknown()->QueryInterface(interfaceId, object);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return GetOuterUnknown()->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return GetOuterUnknown()->Release(); }
    NTSTATUS NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object) override;

    // ---- IAdapterCommon
    STDMETHODIMP GetStreamCapabilities(ULONG streamIndex,
                                       PENDPOINTCAPABILITIES capabilities) override;
    // Open: the device's unit list, then the base's open, which calls
    // InitDevice and CompleteSetup.
    STDMETHODIMP OpenAudioHalCallback(PRESOURCELIST resourceList, PDEVICE_OBJECT deviceObject,
                                      PDEVICE_OBJECT nextDeviceObject,
                                      PDEVICE_OBJECT physicalDeviceObject) override;
    STDMETHODIMP InitDevice() override;
    STDMETHODIMP GetEndpointCapabilities(BOOLEAN isInput, ULONG endpointKind,
                                         PENDPOINTCAPABILITIES capabilities) override;
    // Start and stop of the interrupt-endpoint polling (the class 1.0
    // family starts and stops its units with it).
    STDMETHODIMP StartAllUnits() override;
    STDMETHODIMP StopAllUnits() override;

    // ---- IDeviceLock
    STDMETHODIMP_(void) LockDevice() override { m_DeviceLock.Lock(); }
    STDMETHODIMP_(void) UnlockDevice() override { m_DeviceLock.Unlock(); }

    // ---- IAdapterPowerManagement
    STDMETHODIMP_(void) PowerChangeState(POWER_STATE newState) override;

    // ---- IDeviceModel
    STDMETHODIMP CreateMiniports(ULONG unitId) override;
    STDMETHODIMP GetUnitList(CPtrList** unitList) override;
    // The walkers of the descriptors: each class has its own.
    STDMETHODIMP ParseAudioControl(struct _USB_INTERFACE_DESCRIPTOR* interfaceDescriptor,
                                   ULONG bytesToEnd) override = 0;
    STDMETHODIMP ParseAudioStreaming(struct _USB_CONFIGURATION_DESCRIPTOR* configuration,
                                     struct _USB_INTERFACE_DESCRIPTOR* firstStreamingInterface,
                                     ULONG bytesToEnd) override = 0;
    STDMETHODIMP PostParse() override;

    // ---- set-up steps, for the walkers and tests
    NTSTATUS ParseConfigurationAc(PUSBDEVICEIO io);
    NTSTATUS ParseConfigurationAs(PUSBDEVICEIO io);
    // Takes a reference; new units go to the head, so the list runs newest first.
    NTSTATUS AddDeviceUnit(CAudioControl* unit);
    // Of several units with the id, the one created first (no reference);
    // STATUS_UNSUCCESSFUL for an empty list or no match.
    NTSTATUS FindUnitByIdInDevice(ULONG id, CAudioControl** unit);

    // A control change at a unit: its controls read their values again and
    // each is announced on the callback object; a terminal instead brings
    // every engine's wave subdevice in line with its jacks.
    virtual NTSTATUS NotifyControlChange(ULONG unitId);
    // The class 2.0 form: the unit names the one control that changed.
    NTSTATUS NotifyControlChangeUac2(ULONG entityId, ULONG selector, ULONG channel);
    // ---- IPolledDevice
    PUNKNOWN PollingIoObject() override { return GetOuterUnknown(); }
    UCHAR PolledInterface() const override { return m_AudioControlInterface; }
    // A status message read from the interrupt endpoint (length as read).
    void HandleStatusMessage(const UCHAR* message, ULONG length) override;
    // NotifyControlChange for the ids 0 to the unit count less one.
    void NotifyEveryUnit() override;
    const CInterruptPolling& Polling() const { return m_Polling; }

    const DeviceClassTraits& Traits() const { return m_Traits; }
    USHORT GetVendorId() const { return m_idVendor; }
    USHORT GetProductId() const { return m_idProduct; }
    // The device's row of the device table, read when the object is made.
    const DeviceRecord& GetDeviceRecord() const { return m_DeviceRecord; }
    UCHAR GetAudioControlInterfaceNumber() const { return m_AudioControlInterface; }
    // The first AudioStreaming interface at or after `from` that belongs to
    // the audio function of the device's AudioControl interface.
    struct _USB_INTERFACE_DESCRIPTOR*
    NextFunctionStreamingInterface(struct _USB_CONFIGURATION_DESCRIPTOR* configuration,
                                   PVOID from) const;
    const EndpointCapabilities& GetCapabilityRecord() const { return m_CapabilityRecord; }

  protected:
    // The polling of the class: message size, priority and start-up notes.
    virtual const PollingTraits& PollingKind() const { return UAC1_POLLING; }
    // Whether starting and stopping the polling also starts and stops the units.
    virtual bool PollingRunsUnits() const { return true; }
    // Step 2 of InitDevice: the source capability record of the class.
    virtual NTSTATUS FillCapabilityRecord(PUSBDEVICEIO io) = 0;
    // What InitDevice reads of the device before the walks: the capability
    // record (the timed class reads its chip and switches first).
    virtual NTSTATUS PrepareConfiguration(PUSBDEVICEIO io);

  private:
    // The model hook, for the classes whose InitDevice runs it.
    NTSTATUS RunModelHook(PUSBDEVICEIO io);
    NTSTATUS RefreshEngine(ULONG index, ULONG unitId);
    NTSTATUS NameEngine(ULONG index, CStreamEngine* engine, PWSTR name);
    bool NameTakenByOther(ULONG index, PCWSTR name);
    NTSTATUS InstallEngine(CStreamEngine* engine, ULONG unitId);
    void WaitAfterNaming();
    void RestorePrevious(CStreamEngine* engine, PCWSTR previousName);
    NTSTATUS ReadChangedUnit(ULONG unitId, ULONG selector, ULONG channel, CUacUnit** unit,
                             PULONG controlId);
    NTSTATUS ReinstallEngines(CUacUnit* terminal);

    const DeviceClassTraits& m_Traits;
    USHORT m_idVendor;
    USHORT m_idProduct;
    DeviceRecord m_DeviceRecord;
    UCHAR m_AudioControlInterface;
    CPtrList* m_DeviceUnits;
    // The units' jacks and output types, shared by the polling thread and
    // the property handlers.
    CSyncMutex m_DeviceLock;
    CInterruptPolling m_Polling;
};
typedef CUsbAudioDevice* PUSBAUDIODEVICE;

// The output-type control (type 13) first in the engine's control list, with
// a reference; null when it has none.
POUTPUTTYPECONTROL FindOutputTypeControl(CStreamEngine* engine);
