// The adapter common object: the one object that owns the USB audio device
// for the whole driver. Every other object reaches the device through its
// USB I/O interface; it chooses, creates and holds the device object of the
// device's class and forwards most of the device-object interface to it; the
// ASIO interface keeps its clients, settings and rings here; the port-class
// library sees its power management, and the idle timer lives here.
#pragma once

#include "asio/asio_session.h"
#include "driver/adapter_asio_host.h"
#include "framework/adapter_interfaces.h"
#include "framework/audio_hal.h"
#include "framework/sync_mutex.h"
#include "usbaudio/table/device_table.h"

inline constexpr ULONG ADAPTER_POOL_TAG = POOL_TAG("PcCr");
// Every buffer of the USB device I/O, the configuration descriptor, the
// interface information copies and the ASIO ring array.
inline constexpr ULONG USB_IO_POOL_TAG = POOL_TAG("USBd");
inline constexpr ULONG INI_READER_BLOCK_SIZE = 312;
// The class choice's string descriptor buffer and URB.
inline constexpr ULONG CLASS_CHOICE_POOL_TAG = POOL_TAG("pmet");
// The manufacturer name buffer of the device naming.
inline constexpr ULONG MANUFACTURER_NAME_POOL_TAG = POOL_TAG("str ");

// Interlocked busy count of an adapter with nothing in flight.
inline constexpr LONG ADAPTER_BUSY_IDLE = 1;
// 1 ms system timer resolution, in 100 ns units.
inline constexpr ULONG ADAPTER_TIMER_RESOLUTION = 10000;
// Synchronous URBs wait this long before they are cancelled (100 ns units).
inline constexpr LONGLONG URB_TIMEOUT_100NS = 5000000;
// The pause before a port-status request is retried.
inline constexpr LONGLONG PORT_RETRY_DELAY_100NS = 1000000;
// The idle timer: first expiry, then period.
inline constexpr LONGLONG IDLE_TIMER_DUE_100NS = 50000000;
inline constexpr LONG IDLE_TIMER_PERIOD_MS = 5000;

// String descriptor reads of the class choice and the naming.
inline constexpr UCHAR MODEL_STRING_INDEX = 0x50;
inline constexpr UCHAR MODEL_STRING_FALLBACK_INDEX = 0x32;
inline constexpr ULONG MODEL_STRING_BUFFER_SIZE = 104;

class CIniFile;

class CAdapterCommon : public IUsbDeviceIo,
                       public IAsioPrivate,
                       public IAsioCleanup,
                       public CAudioHal
{
  public:
    CAdapterCommon();
    ~CAdapterCommon() override;

    // The delegating unknown of every table; the adapter is never aggregated.
    STDMETHODIMP QueryInterface(REFIID interfaceId, PVOID* object) override
    {
        return GetOuterUnknown()->QueryInterface(interfaceId, object);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return GetOuterUnknown()->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return GetOuterUnknown()->Release(); }
    NTSTATUS NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object) override;

    // ---- IUsbDeviceIo
    STDMETHODIMP_(PUSB_CONFIGURATION_DESCRIPTOR) GetConfigurationDescriptor() override;
    STDMETHODIMP_(USBD_CONFIGURATION_HANDLE) GetConfigurationHandle() override;
    STDMETHODIMP_(UCHAR) GetAudioControlInterfaceNumber() override;
    STDMETHODIMP SetDevicePresent(UCHAR present) override;
    STDMETHODIMP CallLowerDriver(PIRP irp) override;
    STDMETHODIMP SubmitUrbSync(PURB urb) override;
    STDMETHODIMP GetCurrentFrameNumber(PULONG frameNumber) override;
    STDMETHODIMP_(PIRP) AllocateIrp() override;
    STDMETHODIMP FreeIrp(PIRP irp) override;
    STDMETHODIMP_(BOOLEAN) IsHighSpeed() override;
    STDMETHODIMP_(BOOLEAN) ResetPortIfNeeded() override;
    STDMETHODIMP_(BOOLEAN) CyclePort() override;
    STDMETHODIMP_(PDEVICE_OBJECT) GetLowerDeviceObject() override;
    STDMETHODIMP_(LONG) IncrementActiveStreamCount() override;
    STDMETHODIMP_(LONG) DecrementActiveStreamCount() override;
    STDMETHODIMP SelectDeviceClass() override;

    // ---- IAsioPrivate
    STDMETHODIMP AsioOpenClient(PFILE_OBJECT fileObject) override;
    STDMETHODIMP AsioUnused(PFILE_OBJECT fileObject) override;
    STDMETHODIMP AsioCloseClient(PFILE_OBJECT fileObject) override;
    STDMETHODIMP AsioGetDeviceName(PFILE_OBJECT fileObject, PVOID buffer,
                                   PULONG outputLength) override;
    STDMETHODIMP AsioGetChannelCounts(PFILE_OBJECT fileObject, PVOID buffer,
                                      ULONG outputLength) override;
    STDMETHODIMP AsioGetChannelInfo(PFILE_OBJECT fileObject, PVOID buffer,
                                    ULONG outputLength) override;
    STDMETHODIMP AsioSetSettingsEvent(PFILE_OBJECT fileObject, PHANDLE userEvent) override;
    STDMETHODIMP AsioReleaseSettingsEvent(PFILE_OBJECT fileObject) override;
    STDMETHODIMP AsioGetOwnerState(PFILE_OBJECT fileObject, PVOID buffer) override;
    STDMETHODIMP AsioGetSampleTypes(PFILE_OBJECT fileObject, PVOID buffer,
                                    PULONG outputLength) override;
    STDMETHODIMP AsioGetLatencyTable(PFILE_OBJECT fileObject, PVOID buffer,
                                     PULONG outputLength) override;
    STDMETHODIMP AsioSetSampleType(PFILE_OBJECT fileObject, ULONG sampleType) override;
    STDMETHODIMP AsioSetLatency(PFILE_OBJECT fileObject, ULONG latencyIndex) override;
    STDMETHODIMP AsioGetLatencies(PFILE_OBJECT fileObject, PVOID buffer) override;
    STDMETHODIMP AsioGetSampleRate(PFILE_OBJECT fileObject, PVOID buffer) override;
    STDMETHODIMP AsioCanSampleRate(PFILE_OBJECT fileObject, PVOID buffer) override;
    STDMETHODIMP AsioSetSampleRate(PFILE_OBJECT fileObject, PVOID buffer) override;
    STDMETHODIMP AsioGetBufferSize(PFILE_OBJECT fileObject, PVOID buffer) override;
    STDMETHODIMP AsioMapSharedBuffer(PFILE_OBJECT fileObject, PVOID input, ULONG inputLength,
                                     PVOID outputArray, PULONG outputLength) override;
    STDMETHODIMP AsioUnmapSharedBuffer(PFILE_OBJECT fileObject) override;
    STDMETHODIMP AsioStartStreaming(PFILE_OBJECT fileObject, PHANDLE bufferSwitchEvent) override;
    STDMETHODIMP AsioStopStreaming(PFILE_OBJECT fileObject, PIRP request) override;
    STDMETHODIMP AsioCheckMode(PFILE_OBJECT fileObject, PVOID buffer) override;
    STDMETHODIMP AsioSetMode(PFILE_OBJECT fileObject, PVOID buffer) override;
    STDMETHODIMP AsioGetMode(PFILE_OBJECT fileObject, PVOID buffer) override;

    // ---- IAdapterCommon: the device-object interface, forwarded to the
    // device object where the adapter has nothing of its own.
    STDMETHODIMP GetStreamCapabilities(ULONG streamIndex,
                                       PENDPOINTCAPABILITIES capabilities) override;
    STDMETHODIMP GetComponentId(PVOID reserved, PKSCOMPONENTID componentId) override;
    STDMETHODIMP_(ULONG) GetEngineCount() override;
    STDMETHODIMP GetEngine(ULONG index, CStreamEngine** engine) override;
    STDMETHODIMP_(ULONG) GetUnitCount() override;
    STDMETHODIMP GetUnit(ULONG index, CAudioControl** unit) override;
    // The adapter's Init: its slot is the base's OpenAudioHalCallback.
    STDMETHODIMP OpenAudioHalCallback(PRESOURCELIST resourceList, PDEVICE_OBJECT deviceObject,
                                      PDEVICE_OBJECT nextDeviceObject,
                                      PDEVICE_OBJECT physicalDeviceObject) override
    {
        return Init(resourceList, deviceObject, nextDeviceObject, physicalDeviceObject);
    }
    STDMETHODIMP StartAllUnits() override;
    STDMETHODIMP StopAllUnits() override;
    STDMETHODIMP RegisterCallback(PCALLBACK_FUNCTION callback, PVOID context,
                                  PVOID* registration) override;
    STDMETHODIMP UnregisterCallback(PVOID registration) override;
    STDMETHODIMP WakeFromIdle(PIRP request) override;
    // The adapter's InitDevice: the device set-up.
    STDMETHODIMP InitDevice() override { return ConfigureDevice(); }
    STDMETHODIMP CompleteSetup() override { return STATUS_SUCCESS; }

    // ---- IAdapterPowerManagement
    STDMETHODIMP_(void) PowerChangeState(POWER_STATE newState) override;

    // ---- start-up
    NTSTATUS Init(PRESOURCELIST resourceList, PDEVICE_OBJECT functionalDeviceObject,
                  PDEVICE_OBJECT lowerDeviceObject, PDEVICE_OBJECT physicalDeviceObject);
    NTSTATUS ConfigureDevice();

    // ---- set-up steps of the device configuration
    NTSTATUS ReadUsbDescriptors();
    NTSTATUS SelectConfiguration();
    NTSTATUS QueryUsbBusInterface();
    NTSTATUS OpenDeviceObject();
    NTSTATUS ConfigureAsio();

    // ---- device naming
    // Writes the product and manufacturer strings as the device's names;
    // always succeeds.
    NTSTATUS WriteDeviceNames();
    // kind: 0 "DeviceDesc", 8 "Mfg", 9 "FriendlyName"; data is wide text with
    // its NUL, size in bytes. The status of the last write attempted.
    NTSTATUS WriteDeviceRegistryValue(ULONG kind, ULONG size, PCWSTR data);
    // which: 1 "SelectiveSuspendEnabled", 0 "DeviceSelectiveSuspended", read
    // from the device's "Device Parameters" key.
    NTSTATUS ReadSelectiveSuspend(ULONG which, ULONG maxLength, PVOID buffer);

    // ---- ASIO streaming of the owner's rings, shared by the ASIO operations
    // and the power changes (which stop it on leaving D0 and restart it on
    // the way back). Each runs under m_AsioLock.
    NTSTATUS AsioStart();
    NTSTATUS AsioStop();
    void ResetAsioRings(PKEVENT bufferSwitchEvent);
    // The process-exit notification, at PASSIVE_LEVEL in the exiting process.
    void AsioProcessExit(HANDLE processId);

    // ---- the ASIO stop request kept while the device is not in D0
    // Keeps the request (marked pending, cancellable) until the next D0;
    // STATUS_PENDING, STATUS_INVALID_PARAMETER while another one is kept,
    // STATUS_DEVICE_REMOVED once the device is going. Runs under m_AsioLock.
    NTSTATUS HoldAsioStopRequest(PIRP request);
    // Completes the kept request with STATUS_CANCELLED when it was made on
    // the file object (on any, for null): its client or the device is going.
    void CancelAsioStopRequest(PFILE_OBJECT fileObject);
    PIRP GetHeldAsioStopRequest() const { return m_AsioHeldStopRequest; }
    // IAsioCleanup
    STDMETHODIMP_(void) CancelHeldRequests(PFILE_OBJECT fileObject) override
    {
        if (fileObject != nullptr)
            CancelAsioStopRequest(fileObject);
    }
    // The device is going: the kept request completes, and none is kept
    // any more (HoldAsioStopRequest answers STATUS_DEVICE_REMOVED).
    STDMETHODIMP_(void) CancelAllHeldRequests() override;
    // The device is going (removal or surprise removal has begun): no
    // request is kept, no synchronous request reaches the bus, no engine
    // installs its subdevice and no power-up of the adapter's own starts.
    void MarkDeviceGoing();

    // ---- state, for the other parts of the driver and for tests
    USHORT GetVendorId() const { return m_idVendor; }
    USHORT GetProductId() const { return m_idProduct; }
    // The device's row of the device table, read at the class choice.
    const DeviceRecord& GetDeviceRecord() const { return m_DeviceRecord; }
    UCHAR GetManufacturerIndex() const { return m_iManufacturer; }
    UCHAR GetProductIndex() const { return m_iProduct; }
    ULONG GetInterfaceCount() const { return m_InterfaceCount; }
    // The selected interface's information with its pipe handles; null for
    // an index not below the count.
    PUSBD_INTERFACE_INFORMATION GetInterfaceInformation(ULONG index) const;
    BOOLEAN IsDevicePresent() const { return m_DevicePresent != 0; }
    LONG GetBusyCount() const { return m_BusyCount; }
    LONG GetActiveStreamCount() const { return m_ActiveStreamCount; }
    CCHAR GetIrpStackSize() const { return m_IrpStackSize; }
    BOOLEAN IsSelectiveSuspendEnabled() const { return m_SelectiveSuspendEnabled != 0; }
    ULONG GetAsioSampleType() const { return m_Asio.GetSampleType(); }
    ULONG GetAsioLatencyIndex() const { return m_Asio.GetLatencyIndex(); }
    ULONG GetAsioSampleRate() const { return m_Asio.GetSampleRate(); }
    CAsioSession& GetAsioSession() { return m_Asio; }
    const AsioRingEntry* GetAsioRings() const { return m_Asio.Rings().GetEntries(); }
    PUNKNOWN GetDeviceClassObject() const { return m_DeviceClassObject; }
    PADAPTERCOMMON GetDeviceInterface() const { return m_DeviceInterface; }
    PADAPTERPOWERMANAGEMENT GetDevicePower() const { return m_DevicePower; }
    PDEVICEMODEL GetDeviceModel() const { return m_DeviceModel; }
    const USB_BUS_INTERFACE_USBDI_V1& GetUsbBusInterface() const { return m_UsbBusInterface; }

  protected:
    // The ASIO session reaches the adapter through `asioHost` instead of the
    // adapter's own link (a test's recording double); it must outlive the
    // adapter, whose teardown may still stop streaming.
    explicit CAdapterCommon(CAsioHost* asioHost);

    ULONG GetAsioRunning() const { return m_Asio.IsRunning() ? 1 : 0; }
    void SetAsioRunning(UCHAR running) { m_Asio.SetRunning(running != 0); }
    void SetAsioOwner(AsioClientRecord* owner) { m_Asio.SetOwner(owner); }
    BOOLEAN GetAsioPowerDownMark() const { return m_Asio.IsPowerDownMarked() ? 1 : 0; }
    void SetAsioPowerDownMark(UCHAR mark) { m_Asio.SetPowerDownMark(mark != 0); }
    CSyncMutex& GetAsioLock() { return m_AsioLock; }

  private:
    // Routines given to the system.
    static KDEFERRED_ROUTINE IdleTimerDpc;
    static IO_COMPLETION_ROUTINE IoCompletionSetEvent;
    static IO_WORKITEM_ROUTINE IdleWorkItem;
    static IO_COMPLETION_ROUTINE IdleNotificationCompletion;
    static void IdleCallback(PVOID context);
    static REQUEST_POWER_COMPLETE PowerRequestSetEvent;
    static REQUEST_POWER_COMPLETE PowerRequestDone;
    static DRIVER_CANCEL CancelHeldStopRequest;

    void ImportIniFile(CIniFile* ini, PDEVICE_OBJECT deviceObject);
    void ArmIdleTimer();
    bool IsDeviceIdle() const;
    NTSTATUS SubmitNotifyIrp();
    // Takes the idle request when the device is not idle (any time, when
    // forced) and cancels it.
    void CancelNotifyIrp(bool force = false);
    void DropIdleRequestReference(PIRP request);
    void RequestDevicePowerD2();
    // Teardown: no timer, DPC, work item, idle request or power request of
    // the idle machinery may outlive the object.
    void StopIdleMachinery();
    // Takes the kept stop request away from its cancel routine; null when
    // there is none or it is being cancelled.
    PIRP TakeHeldStopRequest(PFILE_OBJECT fileObject);
    // An internal device-control request to the lower device without
    // buffers, Argument1 as given; waits for it without a time-out. False
    // when the request could not be built: then nothing was asked.
    bool SendPortRequest(ULONG ioControlCode, PVOID argument1, NTSTATUS* status);
    // The port check's second look after the port said it has no device:
    // a connected port is reset, a failing one cycled.
    void RetryPortStatus();
    NTSTATUS ReadStringDescriptor(PURB urb, UCHAR index, PVOID buffer, ULONG length);
    NTSTATUS CreateDeviceObject(PDEVICE_CLASS_FACTORY factory);
    void ApplyAsioDefaults();
    void FreeInterfaceInformation();
    // Reads string descriptor `index` and writes it as the value of `kind`.
    void WriteNameFromString(UCHAR index, ULONG kind, ULONG poolTag);

    // The device object and the three interfaces the adapter holds of it;
    // only the non-delegating unknown counts on the device object itself.
    PUNKNOWN m_DeviceClassObject;
    PADAPTERCOMMON m_DeviceInterface;
    PADAPTERPOWERMANAGEMENT m_DevicePower;
    PDEVICEMODEL m_DeviceModel;

    USHORT m_idVendor;
    USHORT m_idProduct;
    DeviceRecord m_DeviceRecord = {};
    UCHAR m_iManufacturer;
    UCHAR m_iProduct;
    PUSB_CONFIGURATION_DESCRIPTOR m_ConfigurationDescriptor;
    USBD_CONFIGURATION_HANDLE m_ConfigurationHandle;
    PUSBD_INTERFACE_INFORMATION* m_InterfaceInformation;
    ULONG m_InterfaceCount;
    USB_BUS_INTERFACE_USBDI_V1 m_UsbBusInterface;
    CCHAR m_IrpStackSize;
    volatile UCHAR m_DevicePresent;
    UCHAR m_AudioControlInterfaceNumber;
    UCHAR m_HighSpeed;
    volatile LONG m_BusyCount;
    volatile LONG m_ActiveStreamCount;
    volatile LONG m_CyclePortDone;
    CSyncMutex m_PortResetLock;
    CSyncMutex m_AsioLock;

    // The ASIO session the IAsioPrivate operations forward to, under m_AsioLock,
    // and the link it reaches the adapter through.
    CAdapterAsioHost m_AsioHost;
    CAsioSession m_Asio;
    PIRP m_AsioHeldStopRequest;
    // Set under the cancel spin lock, as the kept request; read without it.
    volatile BOOLEAN m_DeviceGoing;

    // Idle detection and selective suspend.
    BOOLEAN m_IdleInitialized;
    KSPIN_LOCK m_IdleLock;
    KDPC m_IdleDpc;
    KTIMER m_IdleTimer;
    KEVENT m_IdleFinishedEvent;
    KEVENT m_WorkFinishedEvent;
    KEVENT m_WakeFinishedEvent;
    ULONG m_SelectiveSuspendEnabled;
    PUSB_IDLE_CALLBACK_INFO m_IdleCallbackInfo;
    PIRP m_IdleRequest;
    volatile LONG m_IdleOutstanding;
    volatile LONG m_IdleRequestReferences;
    // The 1 ms timer resolution is held: from construction, then from every
    // entry into D0 until the device leaves it.
    BOOLEAN m_TimerResolutionHeld;
    BOOLEAN m_IdleStopping;   // teardown has begun: nothing is armed or queued again
    BOOLEAN m_IdleWorkQueued; // an idle work item is queued or running
};
typedef CAdapterCommon* PADAPTERCOMMONOBJECT;

// Allocates, zero-fills and constructs the adapter and hands out its
// IAdapterCommon interface with one reference.
NTSTATUS CreateAdapterCommon(PUNKNOWN* unknown);
