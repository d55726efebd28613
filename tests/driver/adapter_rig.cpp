#include "tests/driver/adapter_rig.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "framework/adapter_extension.h"
#include "framework/stream_engine.h"
#include "platform/portcls/portcls_emu.h"

namespace
{
constexpr ULONG c_FakeClassTag = POOL_TAG("FkDc");
UsbAdapterRig* g_Rig = nullptr;
LowerScript* g_Script = nullptr;
PDEVICE_OBJECT g_BusPdo = nullptr;

NTSTATUS CompleteHere(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassDown(PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(g_BusPdo, irp);
}

NTSTATUS IsochSucceeds(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    return STATUS_CONTINUE_COMPLETION;
}

bool IsPipeRequest(USHORT function)
{
    return function == URB_FUNCTION_ABORT_PIPE ||
           function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL ||
           function == URB_FUNCTION_SYNC_RESET_PIPE;
}

// What the script does with one URB on its way down.
NTSTATUS FilterUrb(LowerScript& script, PIRP irp, PURB urb)
{
    const USHORT function = urb->UrbHeader.Function;
    if (IsPipeRequest(function))
        script.PipeRequests.push_back({function, urb->UrbPipeRequest.PipeHandle});
    if (function == script.FailFunction)
        return CompleteHere(irp, script.FailStatus);
    if (!script.IsochIrpSucceeds || function != URB_FUNCTION_ISOCH_TRANSFER)
        return PassDown(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, IsochSucceeds, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(g_BusPdo, irp);
}

template <FakeClass Which>
NTSTATUS CreateFake(PUNKNOWN* object, PUNKNOWN outer, USHORT idVendor, USHORT idProduct)
{
    DeviceClassScript& script = ClassScript();
    char line[64];
    snprintf(line, sizeof(line), "create %s %04x:%04x", FakeClassName(Which), idVendor, idProduct);
    script.Log.push_back(line);
    script.Outer = outer;
    if (!NT_SUCCESS(script.FactoryStatus))
        return script.FactoryStatus;
    auto* fake = new (NonPagedPool, c_FakeClassTag) FakeDeviceClass(outer, Which);
    if (fake == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    ++script.Created;
    *object = fake->GetNonDelegatingUnknown();
    (*object)->AddRef();
    return STATUS_SUCCESS;
}

const DeviceClassFactories c_FakeFactories = {
    CreateFake<FakeClass::Uac2>,   CreateFake<FakeClass::Timed>,  CreateFake<FakeClass::ModelA>,
    CreateFake<FakeClass::ModelB>, CreateFake<FakeClass::ModelC>, CreateFake<FakeClass::Uac1>,
};

const std::u16string c_Ccs = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet";
} // namespace

const char* FakeClassName(FakeClass which)
{
    switch (which)
    {
    case FakeClass::Uac2:
        return "UAC2";
    case FakeClass::Timed:
        return "Timed";
    case FakeClass::ModelA:
        return "A";
    case FakeClass::ModelB:
        return "B";
    case FakeClass::ModelC:
        return "C";
    case FakeClass::Uac1:
        return "UAC1";
    }
    return "?";
}

DeviceClassScript& ClassScript()
{
    static DeviceClassScript script;
    return script;
}

const DeviceClassFactories& FakeClassFactories()
{
    return c_FakeFactories;
}

// ----------------------------------------------------------------------------
// The device-class double

FakeDeviceClass::~FakeDeviceClass()
{
    ++ClassScript().Destroyed;
    ClassScript().Log.push_back(std::string("destroy ") + FakeClassName(m_Which));
}

NTSTATUS FakeDeviceClass::NonDelegatingQueryInterface(REFIID iid, PVOID* object)
{
    DeviceClassScript& script = ClassScript();
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    *object = nullptr;
    PUNKNOWN answer = nullptr;
    if (IsEqualGUID(iid, IID_IUnknown))
        answer = GetNonDelegatingUnknown();
    else if (IsEqualGUID(iid, IID_IAdapterCommon) && script.AnswersAdapterCommon)
        answer = static_cast<IAdapterCommon*>(this);
    else if (IsEqualGUID(iid, IID_IAdapterPowerManagement) && script.AnswersPower)
        answer = static_cast<IAdapterPowerManagement*>(this);
    else if (IsEqualGUID(iid, IID_IDeviceModel) && script.AnswersModel)
        answer = static_cast<IDeviceModel*>(this);
    if (answer == nullptr)
        return STATUS_INVALID_PARAMETER;
    answer->AddRef();
    *object = answer;
    return STATUS_SUCCESS;
}

NTSTATUS FakeDeviceClass::OpenAudioHalCallback(PRESOURCELIST, PDEVICE_OBJECT deviceObject,
                                               PDEVICE_OBJECT nextDeviceObject,
                                               PDEVICE_OBJECT physicalDeviceObject)
{
    m_DeviceObject = deviceObject;
    char line[64];
    snprintf(line, sizeof(line), "open %s",
             deviceObject != nullptr && nextDeviceObject != nullptr &&
                     physicalDeviceObject != nullptr
                 ? "devices"
                 : "no devices");
    ClassScript().Log.push_back(line);
    return ClassScript().OpenStatus;
}

ULONG FakeDeviceClass::GetEngineCount()
{
    return ClassScript().EngineCount;
}

NTSTATUS FakeDeviceClass::GetEngine(ULONG index, CStreamEngine** engine)
{
    if (engine == nullptr)
        return STATUS_INVALID_PARAMETER;
    const auto& all = ClassScript().Engines;
    *engine = index < all.size() ? all[index] : nullptr;
    return *engine != nullptr ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NTSTATUS FakeDeviceClass::GetUnit(ULONG, CAudioControl** unit)
{
    if (unit != nullptr)
        *unit = nullptr;
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS FakeDeviceClass::StartAllUnits()
{
    ClassScript().Log.push_back("start");
    return STATUS_SUCCESS;
}

NTSTATUS FakeDeviceClass::StopAllUnits()
{
    ClassScript().Log.push_back("stop");
    return STATUS_SUCCESS;
}

NTSTATUS FakeDeviceClass::RegisterCallback(PCALLBACK_FUNCTION, PVOID, PVOID* registration)
{
    if (registration != nullptr)
        *registration = nullptr;
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS FakeDeviceClass::GetStreamCapabilities(ULONG index, PENDPOINTCAPABILITIES caps)
{
    if (caps == nullptr)
        return STATUS_INVALID_PARAMETER;
    const auto& all = ClassScript().Capabilities;
    if (index >= all.size())
        return STATUS_INVALID_PARAMETER;
    *caps = all[index];
    return STATUS_SUCCESS;
}

void FakeDeviceClass::PowerChangeState(POWER_STATE state)
{
    DeviceClassScript& script = ClassScript();
    script.Log.push_back("power " + std::to_string((int)state.DeviceState));
    if (state.DeviceState != PowerDeviceD0)
        return;
    LARGE_INTEGER delay;
    delay.QuadPart = -(LONGLONG)script.PowerUpDelayMs * 10000;
    if (script.PowerUpDelayMs != 0)
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    for (CStreamEngine* engine : script.Engines)
        script.Installs.push_back(
            engine->InstallMiniport(m_DeviceObject, nullptr, GetOuterUnknown()));
}

NTSTATUS FakeDeviceClass::GetUnitList(CPtrList** list)
{
    if (list == nullptr)
        return STATUS_UNSUCCESSFUL;
    *list = nullptr;
    return STATUS_SUCCESS;
}

// ----------------------------------------------------------------------------
// The rig

UsbAdapterRig::UsbAdapterRig(std::unique_ptr<SimUsbDevice> device, const WCHAR* instancePath)
{
    g_Rig = this;
    g_Script = &m_Script;
    ClassScript() = DeviceClassScript();
    m_PreviousTable = SetDeviceClassFactories(&c_FakeFactories);
    if (!device)
        device = SimCreateReferenceDevice(SimReference::Uac1SpeakerMic);
    // Room for the driver's own block, which the device classes read.
    if (!device || !m_Rig.Load({.InstancePath = instancePath,
                                .DriverName = u"ltf3adapter",
                                .ExtensionSize = sizeof(AdapterExtension),
                                .UsbDevice = std::move(device)}))
        return;
    g_BusPdo = m_Rig.Pdo();
    if (!m_Filter.Create(
            u"ltf3filter",
            {{IRP_MJ_INTERNAL_DEVICE_CONTROL, FilterInternal}, {IRP_MJ_PNP, FilterPnp}},
            g_BusPdo) ||
        !NT_SUCCESS(m_Rig.Add()))
        return;
    // The driver key exists once the system has installed the device.
    HANDLE key = nullptr;
    if (!NT_SUCCESS(
            IoOpenDeviceRegistryKey(g_BusPdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key)))
        return;
    ZwClose(key);
    m_Fdo = m_Rig.Fdo();
}

UsbAdapterRig::~UsbAdapterRig()
{
    if (m_Adapter != nullptr)
        Release();
    // The filter goes between the removal and the bus.
    m_Rig.RemoveAdapterDevice();
    m_Filter.Delete();
    m_Rig.Unload();
    SetDeviceClassFactories(m_PreviousTable);
    g_Rig = nullptr;
    g_Script = nullptr;
    g_BusPdo = nullptr;
}

NTSTATUS UsbAdapterRig::Create()
{
    PUNKNOWN unknown = nullptr;
    NTSTATUS status = CreateAdapterCommon(&unknown);
    if (NT_SUCCESS(status))
        m_Adapter = static_cast<CAdapterCommon*>(reinterpret_cast<IAdapterCommon*>(unknown));
    return status;
}

NTSTATUS UsbAdapterRig::Init()
{
    return m_Adapter->Init(nullptr, m_Fdo, m_Filter.Device(), Pdo());
}

void UsbAdapterRig::Release()
{
    PADAPTERCOMMON primary = Primary();
    m_Adapter = nullptr;
    EXPECT_EQ(0u, primary->Release());
}

void UsbAdapterRig::WriteIni(const std::string& text)
{
    m_Root.WriteFile("VESTRA.INI", text);
}

std::u16string UsbAdapterRig::SettingsPath() const
{
    WCHAR name[128] = {};
    ULONG length = 0;
    if (!NT_SUCCESS(IoGetDeviceProperty(Pdo(), DevicePropertyDriverKeyName, sizeof(name) - 2, name,
                                        &length)))
        return u"";
    return c_Ccs + u"\\Control\\Class\\" + std::u16string(name) + u"\\Settings";
}

std::u16string UsbAdapterRig::EnumKeyPath() const
{
    return c_Ccs + u"\\Enum\\" + EmuDeviceInstancePath(Pdo());
}

void UsbAdapterRig::SetSetting(const std::u16string& name, ULONG value)
{
    EmuRegistrySetBinary(
        SettingsPath(), name,
        {(UCHAR)value, (UCHAR)(value >> 8), (UCHAR)(value >> 16), (UCHAR)(value >> 24)});
}

bool UsbAdapterRig::GetSetting(const std::u16string& name, ULONG* value) const
{
    ULONG type = 0;
    std::vector<UCHAR> data;
    if (!EmuRegistryGetValue(SettingsPath(), name, &type, &data) || data.size() != 4)
        return false;
    *value = data[0] | data[1] << 8 | data[2] << 16 | (ULONG)data[3] << 24;
    return true;
}

NTSTATUS UsbAdapterRig::FilterInternal(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    LowerScript& script = *g_Script;
    switch (stack->Parameters.DeviceIoControl.IoControlCode)
    {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        ++script.Urbs;
        if (script.UrbStatus != STATUS_PENDING)
            return CompleteHere(irp, script.UrbStatus);
        return FilterUrb(script, irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
        ++script.PortStatusRequests;
        if (!script.PortStatus.empty())
        {
            auto [status, word] = script.PortStatus.front();
            script.PortStatus.pop_front();
            *static_cast<PULONG>(stack->Parameters.Others.Argument1) = word;
            return CompleteHere(irp, status);
        }
        break;
    case IOCTL_INTERNAL_USB_RESET_PORT:
        ++script.PortResets;
        break;
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
        ++script.PortCycles;
        break;
    default:
        break;
    }
    return PassDown(irp);
}

NTSTATUS UsbAdapterRig::FilterPnp(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_QUERY_INTERFACE && g_Script->RefuseBusInterface)
        return CompleteHere(irp, irp->IoStatus.Status);
    return PassDown(irp);
}

// ----------------------------------------------------------------------------
// Descriptor helpers

DeviceBytes ReferenceBytes(SimReference which)
{
    const SimReferenceConfig& r = SimReferenceDescriptors(which);
    DeviceBytes b;
    b.Device = r.Device;
    b.Configuration = r.Configuration;
    b.Strings = r.Strings;
    b.Speed = r.Speed;
    return b;
}

void SetIds(DeviceBytes* bytes, USHORT idVendor, USHORT idProduct, UCHAR iManufacturer,
            UCHAR iProduct)
{
    bytes->Device[8] = (UCHAR)idVendor;
    bytes->Device[9] = (UCHAR)(idVendor >> 8);
    bytes->Device[10] = (UCHAR)idProduct;
    bytes->Device[11] = (UCHAR)(idProduct >> 8);
    bytes->Device[14] = iManufacturer;
    bytes->Device[15] = iProduct;
}

void SetAudioControlProtocol(DeviceBytes* bytes, UCHAR protocol)
{
    auto& c = bytes->Configuration;
    for (size_t pos = 0; pos + 1 < c.size() && c[pos] >= 2; pos += c[pos])
        if (c[pos + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && c[pos] >= 9 && c[pos + 5] == 1 &&
            c[pos + 6] == 1)
            c[pos + 7] = protocol;
}

std::unique_ptr<SimUsbDevice> MakeSimDevice(const DeviceBytes& bytes)
{
    std::string error;
    auto device =
        SimUsbDevice::Create(bytes.Device, bytes.Configuration, bytes.Strings, bytes.Speed, &error);
    EXPECT_TRUE(device != nullptr) << error;
    return device;
}

SimRequestMatch DescriptorRequest(UCHAR type, UCHAR index)
{
    SimRequestMatch m;
    m.RequestType = 0x80;
    m.Request = USB_REQUEST_GET_DESCRIPTOR;
    m.Value = type << 8 | index;
    return m;
}

size_t DescriptorReads(const SimUsbDevice* device, UCHAR type, UCHAR index)
{
    size_t n = 0;
    for (const SimRequestRecord& r : device->Log())
        if (r.Setup.bmRequestType == 0x80 && r.Setup.bRequest == USB_REQUEST_GET_DESCRIPTOR &&
            r.Setup.wValue == (type << 8 | index))
            ++n;
    return n;
}

std::vector<UCHAR> Utf16(const std::u16string& text)
{
    std::vector<UCHAR> out;
    for (char16_t c : text)
    {
        out.push_back((UCHAR)(c & 0xFF));
        out.push_back((UCHAR)(c >> 8));
    }
    return out;
}

std::vector<UCHAR> StringDescriptor(const std::vector<UCHAR>& body, int bLength)
{
    std::vector<UCHAR> d(body.size() + 2);
    d[0] = (UCHAR)(bLength >= 0 ? bLength : (int)body.size() + 2);
    d[1] = USB_STRING_DESCRIPTOR_TYPE;
    for (size_t i = 0; i < body.size(); ++i)
        d[i + 2] = body[i];
    return d;
}
