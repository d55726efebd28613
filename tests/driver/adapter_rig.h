// A simulated USB audio device on the emulated bus with an adapter device on
// top, for the adapter common object's tests: the adapter's lower device is a
// pass-through filter in front of the bus that a test can script (port
// status answers, failing URBs, a refused bus interface); the device classes
// are doubles that record what the adapter asks of them.
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/adapter_common.h"
#include "platform/io/io_emu.h"
#include "platform/usb/emu_usb_bus.h"
#include "sim/devices/reference_devices.h"
#include "tests/framework/bus_device_rig.h"

// ----------------------------------------------------------------------------
// The device classes the factory table creates.
enum class FakeClass
{
    Uac2,
    Timed,
    ModelA,
    ModelB,
    ModelC,
    Uac1
};
const char* FakeClassName(FakeClass which);

struct DeviceClassScript
{
    NTSTATUS FactoryStatus = STATUS_SUCCESS;
    NTSTATUS OpenStatus = STATUS_SUCCESS;
    bool AnswersModel = true;
    bool AnswersPower = true;
    bool AnswersAdapterCommon = true;
    ULONG EngineCount = 0;
    std::vector<EndpointCapabilities> Capabilities; // per engine
    std::vector<CStreamEngine*> Engines;            // per engine, no reference; none fails
    // At D0 the class waits this long (its requests), then installs each
    // engine as a device object does; the statuses, in order.
    ULONG PowerUpDelayMs = 0;
    std::vector<NTSTATUS> Installs;
    // What happened, in order: "create UAC1 4c54:1001", "open", "power 4",
    // "destroy UAC1".
    std::vector<std::string> Log;
    int Created = 0;
    int Destroyed = 0;
    PUNKNOWN Outer = nullptr; // the outer unknown the last factory got
};
DeviceClassScript& ClassScript();
const DeviceClassFactories& FakeClassFactories();

// Built on the interfaces alone: the driver's classes carry no run-time type
// information for test code to derive from.
class FakeDeviceClass : public IAdapterCommon,
                        public IAdapterPowerManagement,
                        public IDeviceModel,
                        public CUnknown
{
  public:
    FakeDeviceClass(PUNKNOWN outer, FakeClass which) : CUnknown(outer), m_Which(which) {}
    ~FakeDeviceClass() override;
    STDMETHODIMP QueryInterface(REFIID iid, PVOID* object) override
    {
        return GetOuterUnknown()->QueryInterface(iid, object);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return GetOuterUnknown()->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return GetOuterUnknown()->Release(); }
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

    // IAdapterCommon
    STDMETHODIMP GetStreamCapabilities(ULONG index, PENDPOINTCAPABILITIES caps) override;
    STDMETHODIMP GetComponentId(PVOID, PKSCOMPONENTID) override
    {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    STDMETHODIMP_(ULONG) GetEngineCount() override;
    STDMETHODIMP GetEngine(ULONG, CStreamEngine** engine) override;
    STDMETHODIMP_(ULONG) GetUnitCount() override { return 0; }
    STDMETHODIMP GetUnit(ULONG, CAudioControl** unit) override;
    STDMETHODIMP_(PDEVICE_OBJECT) GetDeviceObject() override { return m_DeviceObject; }
    STDMETHODIMP OpenAudioHalCallback(PRESOURCELIST, PDEVICE_OBJECT deviceObject,
                                      PDEVICE_OBJECT nextDeviceObject,
                                      PDEVICE_OBJECT physicalDeviceObject) override;
    STDMETHODIMP StartAllUnits() override;
    STDMETHODIMP StopAllUnits() override;
    STDMETHODIMP RegisterCallback(PCALLBACK_FUNCTION, PVOID, PVOID* registration) override;
    STDMETHODIMP UnregisterCallback(PVOID) override { return STATUS_SUCCESS; }
    STDMETHODIMP WakeFromIdle(PIRP) override { return STATUS_SUCCESS; }
    STDMETHODIMP InitDevice() override { return STATUS_SUCCESS; }
    STDMETHODIMP CompleteSetup() override { return STATUS_SUCCESS; }
    STDMETHODIMP GetEndpointCapabilities(BOOLEAN, ULONG, PENDPOINTCAPABILITIES) override
    {
        return STATUS_INVALID_PARAMETER;
    }

    // IAdapterPowerManagement
    STDMETHODIMP_(void) PowerChangeState(POWER_STATE state) override;
    STDMETHODIMP QueryPowerChangeState(POWER_STATE) override { return STATUS_SUCCESS; }
    STDMETHODIMP QueryDeviceCapabilities(PDEVICE_CAPABILITIES) override { return STATUS_SUCCESS; }

    // IDeviceModel
    STDMETHODIMP CreateMiniports(ULONG) override { return STATUS_SUCCESS; }
    STDMETHODIMP GetUnitList(CPtrList** list) override;
    STDMETHODIMP ParseAudioControl(struct _USB_INTERFACE_DESCRIPTOR*, ULONG) override
    {
        return STATUS_SUCCESS;
    }
    STDMETHODIMP ParseAudioStreaming(struct _USB_CONFIGURATION_DESCRIPTOR*,
                                     struct _USB_INTERFACE_DESCRIPTOR*, ULONG) override
    {
        return STATUS_SUCCESS;
    }
    STDMETHODIMP PostParse() override { return STATUS_SUCCESS; }

    FakeClass Which() const { return m_Which; }

  private:
    FakeClass m_Which;
    PDEVICE_OBJECT m_DeviceObject = nullptr;
};

// ----------------------------------------------------------------------------
// The scriptable lower device.
struct LowerScript
{
    // Answered here, one entry per request, while not empty: (status, port
    // status word); otherwise the request goes to the bus.
    std::deque<std::pair<NTSTATUS, ULONG>> PortStatus;
    // Other than STATUS_PENDING: every URB fails with it at once.
    NTSTATUS UrbStatus = STATUS_PENDING;
    bool RefuseBusInterface = false;
    // Pipe requests (abort, reset) as sent: function and pipe.
    std::vector<std::pair<USHORT, USBD_PIPE_HANDLE>> PipeRequests;
    // URBs of this function fail at once with FailStatus.
    std::optional<USHORT> FailFunction;
    NTSTATUS FailStatus = STATUS_UNSUCCESSFUL;
    // An isochronous transfer that fails as a whole comes back with its
    // request's status turned to success, the URB's own status kept.
    bool IsochIrpSucceeds = false;
    ULONG Urbs = 0;
    ULONG PortStatusRequests = 0;
    ULONG PortResets = 0;
    ULONG PortCycles = 0;
};

class UsbAdapterRig
{
  public:
    // A reference device by default.
    explicit UsbAdapterRig(std::unique_ptr<SimUsbDevice> device = nullptr,
                           const WCHAR* instancePath = u"USB\\VID_4C54&PID_1001\\5&1a2b&0&1");
    ~UsbAdapterRig();
    bool Ok() const { return m_Fdo != nullptr; }

    // CreateAdapterCommon, then Init with the functional device, the filter
    // as lower device and the physical device. The fake classes are in the
    // factory table from construction on.
    NTSTATUS Create();
    NTSTATUS Init();
    NTSTATUS Start()
    {
        NTSTATUS status = Create();
        return NT_SUCCESS(status) ? Init() : status;
    }
    CAdapterCommon* Adapter() const { return m_Adapter; }
    PADAPTERCOMMON Primary() const { return static_cast<IAdapterCommon*>(m_Adapter); }
    PUSBDEVICEIO UsbIo() const { return static_cast<IUsbDeviceIo*>(m_Adapter); }
    // Drops the creation reference; the adapter must be gone afterwards.
    void Release();

    EmuUsbBus* Bus() const { return m_Rig.UsbBus(); }
    SimUsbDevice* Device() const { return m_Rig.UsbDevice(); }
    PDEVICE_OBJECT Fdo() const { return m_Fdo; }
    PDEVICE_OBJECT Pdo() const { return m_Rig.Pdo(); }
    PDEVICE_OBJECT Lower() const { return m_Filter.Device(); }
    LowerScript& Script() { return m_Script; }

    // Writes VESTRA.INI under the system root.
    void WriteIni(const std::string& text);

    std::u16string SettingsPath() const;
    std::u16string EnumKeyPath() const;
    void SetSetting(const std::u16string& name, ULONG value);
    bool GetSetting(const std::u16string& name, ULONG* value) const;

  private:
    static NTSTATUS FilterInternal(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS FilterPnp(PDEVICE_OBJECT device, PIRP irp);

    ScratchRoot m_Root{"lt_frame3"};
    BusDeviceRig m_Rig;
    LowerDevice m_Filter;
    // The adapter device once the system has installed it.
    PDEVICE_OBJECT m_Fdo = nullptr;
    CAdapterCommon* m_Adapter = nullptr;
    const DeviceClassFactories* m_PreviousTable = nullptr;
    LowerScript m_Script;
};

// Descriptor sets built from a reference device with changes.
struct DeviceBytes
{
    std::vector<UCHAR> Device;
    std::vector<UCHAR> Configuration;
    std::map<UCHAR, std::u16string> Strings;
    EmuUsbSpeed Speed = EmuUsbSpeed::Full;
};
DeviceBytes ReferenceBytes(SimReference which);
void SetIds(DeviceBytes* bytes, USHORT idVendor, USHORT idProduct, UCHAR iManufacturer,
            UCHAR iProduct);
// Sets bInterfaceProtocol of every AudioControl interface descriptor.
void SetAudioControlProtocol(DeviceBytes* bytes, UCHAR protocol);
std::unique_ptr<SimUsbDevice> MakeSimDevice(const DeviceBytes& bytes);

// A GET_DESCRIPTOR request of the standard type to the device.
SimRequestMatch DescriptorRequest(UCHAR type, UCHAR index);
// How often the device saw GET_DESCRIPTOR for that descriptor.
size_t DescriptorReads(const SimUsbDevice* device, UCHAR type, UCHAR index);
// A string descriptor: bLength, type 3, then the bytes given.
std::vector<UCHAR> StringDescriptor(const std::vector<UCHAR>& body, int bLength = -1);
std::vector<UCHAR> Utf16(const std::u16string& text);
