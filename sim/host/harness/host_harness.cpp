#include "sim/host/harness/host_harness.h"

#include <cstdio>

#include "framework/adapter_extension.h"
#include "framework/audio_function.h"
#include "framework/adapter_interfaces.h"
#include "driver/driver_entry.h"
#include "driver/start_device.h"
#include "platform/io/io_emu.h"
#include "platform/kernel/emu.h"
#include "platform/portcls/portcls_emu.h"
#include "platform/usb/emu_usb_bus.h"
#include "sim/devices/sim_chip_model_devices.h"
#include "sim/devices/sim_timed_preset.h"

namespace
{
const WCHAR kServiceName[] = u"ltusbaudio";

// The reference devices, with the one speed a device of them runs at: the
// class 2.0 ones' endpoints carry their formats at high speed only.
struct ReferenceRow
{
    SimReference Which;
    std::optional<EmuUsbSpeed> Only;
};
constexpr ReferenceRow kReferences[] = {
    {SimReference::Uac1SpeakerMic, std::nullopt},
    {SimReference::Uac1Surround71, std::nullopt},
    {SimReference::Uac2HighSpeed, EmuUsbSpeed::High},
    {SimReference::Uac2Spdif, EmuUsbSpeed::High},
};

// The timed chip family's devices by name: one no list names, and the
// first listed device (the one with the jack timer). The family is made at
// full speed only.
struct TimedName
{
    const char* Name;
    USHORT Product;
};
constexpr TimedName kTimedDevices[] = {{"TimedChip", SimTimed::Plain},
                                       {"TimedChipListed", SimTimed::FirstListed}};
constexpr EmuUsbSpeed kTimedSpeed = EmuUsbSpeed::Full;

struct NodeTypeName
{
    const GUID* Type;
    const char* Name;
};
const NodeTypeName kNodeTypes[] = {
    {&KSNODETYPE_MUTE, "mute"}, {&KSNODETYPE_VOLUME, "volume"},
    {&KSNODETYPE_MUX, "mux"},   {&KSNODETYPE_SUM, "sum"},
    {&KSNODETYPE_AGC, "agc"},   {&KSNODETYPE_LOUDNESS, "loudness"},
    {&KSNODETYPE_TONE, "tone"}, {&KSNODETYPE_DEV_SPECIFIC, "device-specific"},
    {&KSNODETYPE_DAC, "dac"},   {&KSNODETYPE_ADC, "adc"}};

std::string NodeTypeText(const GUID* type)
{
    for (const NodeTypeName& n : kNodeTypes)
        if (type != nullptr && IsEqualGUID(*type, *n.Type))
            return n.Name;
    return "other";
}

std::string Narrow(const std::u16string& s)
{
    std::string r;
    for (char16_t c : s)
        r += c < 0x80 ? (char)c : '?';
    return r;
}

std::string GuidText(const GUID& g)
{
    char buf[40];
    snprintf(buf, sizeof(buf), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
             (unsigned)g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
             g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

// The protocol of the AudioControl interface the driver chooses (that of
// the audio function, which need not be the first); -1 when there is none.
int AudioControlProtocol(const SimUsbDevice* device)
{
    if (device == nullptr)
        return -1;
    std::vector<UCHAR> configuration = device->Descriptors().Configuration();
    if (configuration.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return -1;
    auto* header = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
    // The driver reads no further than the configuration's own length.
    if (header->wTotalLength > configuration.size())
        return -1;
    const PUSB_INTERFACE_DESCRIPTOR control = FindAudioFunctionControl(header);
    return control != nullptr ? control->bInterfaceProtocol : -1;
}

// Whether the device-class table holds a class for the protocol, and its family name.
bool HasDeviceClass(int protocol, std::string* family)
{
    const DeviceClassFactories* table = GetDeviceClassFactories();
    if (protocol == USB_AUDIO_PROTOCOL_IP_VERSION_02_00)
    {
        *family = "audio class 2.0";
        return table->CreateUsbAudio2Device != nullptr;
    }
    *family = "audio class 1.0 family";
    return table->CreateUsbAudio1Device != nullptr || table->CreateUsbAudioTimedDevice != nullptr ||
           table->CreateUsbAudio1DeviceA != nullptr || table->CreateUsbAudio1DeviceB != nullptr ||
           table->CreateUsbAudio1DeviceC != nullptr;
}

bool IsWave(const std::vector<EmuPcSubdeviceInfo>& subdevices)
{
    for (const EmuPcSubdeviceInfo& s : subdevices)
        if (s.WaveCyclic)
            return true;
    return false;
}
} // namespace

// A status with its name as written.
#define NAMED(status)                                                                              \
    {                                                                                              \
        status, #status                                                                            \
    }

std::string HostStatusText(NTSTATUS status)
{
    static const struct
    {
        NTSTATUS Status;
        const char* Name;
    } names[] = {
        NAMED(STATUS_SUCCESS),
        NAMED(STATUS_PENDING),
        NAMED(STATUS_TIMEOUT),
        NAMED(STATUS_BUFFER_OVERFLOW),
        NAMED(STATUS_NO_MORE_ENTRIES),
        NAMED(STATUS_MORE_ENTRIES),
        NAMED(STATUS_UNSUCCESSFUL),
        NAMED(STATUS_NOT_IMPLEMENTED),
        NAMED(STATUS_INVALID_INFO_CLASS),
        NAMED(STATUS_INFO_LENGTH_MISMATCH),
        NAMED(STATUS_ACCESS_VIOLATION),
        NAMED(STATUS_INVALID_HANDLE),
        NAMED(STATUS_INVALID_PARAMETER),
        NAMED(STATUS_NO_SUCH_DEVICE),
        NAMED(STATUS_NO_SUCH_FILE),
        NAMED(STATUS_INVALID_DEVICE_REQUEST),
        NAMED(STATUS_END_OF_FILE),
        NAMED(STATUS_NO_MEMORY),
        NAMED(STATUS_ACCESS_DENIED),
        NAMED(STATUS_BUFFER_TOO_SMALL),
        NAMED(STATUS_OBJECT_TYPE_MISMATCH),
        NAMED(STATUS_OBJECT_NAME_INVALID),
        NAMED(STATUS_OBJECT_NAME_NOT_FOUND),
        NAMED(STATUS_OBJECT_NAME_COLLISION),
        NAMED(STATUS_OBJECT_PATH_NOT_FOUND),
        NAMED(STATUS_INSUFFICIENT_RESOURCES),
        NAMED(STATUS_DEVICE_NOT_READY),
        NAMED(STATUS_IO_TIMEOUT),
        NAMED(STATUS_NOT_SUPPORTED),
        NAMED(STATUS_DEVICE_BUSY),
        NAMED(STATUS_CANCELLED),
        NAMED(STATUS_INVALID_BUFFER_SIZE),
        NAMED(STATUS_NOT_FOUND),
        NAMED(STATUS_RETRY),
        NAMED(STATUS_NO_MATCH),
        NAMED(STATUS_DEVICE_NOT_CONNECTED),
        NAMED(STATUS_DEVICE_REMOVED),
        NAMED(STATUS_POWER_STATE_INVALID),
        NAMED(STATUS_DEVICE_CONFIGURATION_ERROR),
        NAMED(STATUS_DEVICE_DATA_ERROR),
        NAMED(STATUS_DEVICE_POWER_FAILURE),
        NAMED(STATUS_INVALID_DEVICE_STATE),
        NAMED(STATUS_INTEGER_OVERFLOW),
    };
    char hex[16];
    snprintf(hex, sizeof(hex), "0x%08X", (unsigned)status);
    for (const auto& n : names)
        if (n.Status == status)
            return std::string(hex) + " " + n.Name;
    return hex;
}
#undef NAMED

std::vector<std::string> HostHarness::ReferenceNames()
{
    std::vector<std::string> names;
    for (const ReferenceRow& r : kReferences)
        names.push_back(SimReferenceDescriptors(r.Which).Name);
    for (const std::string& chip : SimChipModelNames())
        names.push_back(chip);
    for (const TimedName& timed : kTimedDevices)
        names.push_back(timed.Name);
    return names;
}

std::optional<EmuUsbSpeed> HostHarness::OnlySpeed(const std::string& name)
{
    for (const ReferenceRow& r : kReferences)
        if (name == SimReferenceDescriptors(r.Which).Name)
            return r.Only;
    for (const TimedName& timed : kTimedDevices)
        if (name == timed.Name)
            return kTimedSpeed;
    return std::nullopt;
}

std::string HostHarness::SpeedRefusal(const std::string& name, std::optional<EmuUsbSpeed> speed)
{
    const std::optional<EmuUsbSpeed> only = OnlySpeed(name);
    if (!only || !speed || *speed == *only)
        return "";
    return name + " runs at " + HostSpeedText(*only) + " speed only";
}

const char* HostSpeedText(EmuUsbSpeed speed)
{
    return speed == EmuUsbSpeed::High ? "high" : "full";
}

HostHarness::~HostHarness()
{
    if (Fdo() != nullptr && EmuPcIsAdapterDevice(Fdo()))
        RemoveDevice();
    Unplug();
    UnloadDriver();
}

NTSTATUS HostHarness::LoadDriver()
{
    if (m_Driver != nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    return EmuLoadDriver(kServiceName, DriverEntry, &m_Driver);
}

void HostHarness::UnloadDriver()
{
    if (m_Driver != nullptr)
        EmuUnloadDriver(m_Driver);
    m_Driver = nullptr;
}

NTSTATUS HostHarness::PlugReference(const std::string& name, std::string* error,
                                    std::optional<EmuUsbSpeed> speed)
{
    std::unique_ptr<SimUsbDevice> device;
    bool named = false;
    for (const ReferenceRow& r : kReferences)
        if (name == SimReferenceDescriptors(r.Which).Name)
        {
            named = true;
            device = SimCreateReferenceDevice(r.Which, speed);
        }
    if (std::optional<SimChipModel> chip = SimChipModelNamed(name))
    {
        named = true;
        device = SimCreateChipModelDevice(*chip, speed);
    }
    for (const TimedName& timed : kTimedDevices)
        if (name == timed.Name)
        {
            named = true;
            device = SimCreateTimedDevice(timed.Product).Device;
        }
    if (!named)
    {
        *error = "no reference device is named \"" + name + "\"";
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (std::string refusal = SpeedRefusal(name, speed); !refusal.empty())
    {
        *error = std::move(refusal);
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = m_Port.Plug(std::move(device));
    if (NT_SUCCESS(status))
        m_DeviceName = name;
    else if (error->empty())
        *error = "the emulated port refused the device: " + HostStatusText(status);
    return status;
}

NTSTATUS HostHarness::PlugDescriptorFile(const std::string& path, std::string* error,
                                         std::optional<EmuUsbSpeed> speed)
{
    std::unique_ptr<SimUsbDevice> device = SimUsbDevice::CreateFromFile(path.c_str(), speed, error);
    if (!device)
        return STATUS_INVALID_PARAMETER;
    m_DeviceName = path;
    NTSTATUS status = m_Port.Plug(std::move(device));
    if (!NT_SUCCESS(status))
        *error = "the emulated port refused the device: " + HostStatusText(status);
    return status;
}

NTSTATUS HostHarness::PlugDevice(std::unique_ptr<SimUsbDevice> device, const std::string& name)
{
    if (!device)
        return STATUS_INVALID_PARAMETER;
    m_DeviceName = name;
    return m_Port.Plug(std::move(device));
}

NTSTATUS HostHarness::PlugFunction(EmuUsbFunction* device, USHORT vendor, USHORT product,
                                   USHORT revision)
{
    m_DeviceName = "a bare device";
    return m_Port.PlugFunction(device, vendor, product, revision);
}

void HostHarness::Unplug()
{
    m_Port.Remove();
}

PDEVICE_OBJECT HostHarness::Fdo() const
{
    PDEVICE_OBJECT pdo = Pdo();
    if (pdo == nullptr)
        return nullptr;
    PDEVICE_OBJECT top = IoGetAttachedDevice(pdo);
    return top != pdo ? top : nullptr;
}

NTSTATUS HostHarness::AddDevice()
{
    if (m_Driver == nullptr || Pdo() == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    return EmuPnpAddDevice(m_Driver, Pdo());
}

NTSTATUS HostHarness::StartDevice()
{
    if (Fdo() == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    m_StartDebugLines = EmuDbgOutput().size();
    return EmuPnpStartDevice(Pdo());
}

std::string HostHarness::DriverSaid() const
{
    const std::vector<std::string>& output = EmuDbgOutput();
    for (size_t i = output.size(); i > m_StartDebugLines && i <= output.size(); --i)
    {
        std::string line = output[i - 1];
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        if (!line.empty())
            return "the driver says \"" + line + "\"";
    }
    return "";
}

NTSTATUS HostHarness::RemoveDevice()
{
    if (Fdo() == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    return EmuPnpSendMinor(Pdo(), IRP_MN_REMOVE_DEVICE);
}

bool HostHarness::DevicePresent() const
{
    return Bus() != nullptr && Bus()->IsPresent();
}

NTSTATUS HostHarness::SurpriseRemoval()
{
    if (Fdo() == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    return EmuPnpSendMinor(Pdo(), IRP_MN_SURPRISE_REMOVAL);
}

HostStartStep HostHarness::ExplainStart(NTSTATUS status) const
{
    if (NT_SUCCESS(status))
        return {"", ""};
    PDEVICE_OBJECT fdo = Fdo();
    if (fdo == nullptr)
        return {"adapter device", "no adapter device on the stack"};
    if (status == STATUS_UNSUCCESSFUL && EmuPcGetVersion() < (DWORD)MINIMUM_PORTCLS_VERSION)
        return {"port-class version",
                "the library reports version " + std::to_string(EmuPcGetVersion())};
    const std::vector<EmuPcSubdeviceInfo> subdevices = EmuPcSubdevices(fdo);
    if (!EmuPcHasPowerManagement(fdo))
    {
        // The adapter's set-up ended before it was registered: the USB device,
        // its configuration, or the device class.
        // The driver says what it was refused: its line follows the host's.
        const std::string said = DriverSaid();
        const std::string saidToo = said.empty() ? "" : "; " + said;
        // A device may take the configuration that the bus then refuses
        // for its interfaces.
        if (Device() != nullptr &&
            (Device()->Configuration() == 0 || (Bus() && Bus()->SelectedConfiguration() == 0)))
            return {"USB device set-up", "no configuration was selected" + saidToo};
        std::string family;
        const int protocol = AudioControlProtocol(Device());
        if (protocol < 0)
            return {"device-class choice", "the device has no AudioControl interface" + saidToo};
        // The driver refuses any other protocol before it looks for a class.
        if (protocol != USB_AUDIO_PROTOCOL_UNDEFINED &&
            protocol != USB_AUDIO_PROTOCOL_IP_VERSION_02_00)
        {
            char text[96];
            snprintf(text, sizeof(text),
                     "the AudioControl protocol 0x%02X is neither audio class 1.0 (0x00) nor "
                     "2.0 (0x20)",
                     protocol);
            return {"device-class choice", text + saidToo};
        }
        if (!HasDeviceClass(protocol, &family))
            return {"device-class choice (" + family + ")",
                    "the device-class table holds no " + family + " class"};
        return {"device-class set-up (" + family + ")",
                said.empty() ? "the device class failed" : said};
    }
    const AdapterMiniportFactories* miniports = GetAdapterMiniportFactories();
    if (subdevices.empty())
    {
        if (miniports->CreateMiniportTopology == nullptr)
            return {"topology subdevice", "the miniport table holds no topology miniport"};
        const std::string said = DriverSaid();
        return {"topology subdevice", "the topology subdevice could not be installed" +
                                          (said.empty() ? "" : "; " + said)};
    }
    if (miniports->CreateMiniportWaveCyclic == nullptr && status == STATUS_NO_SUCH_DEVICE &&
        !IsWave(subdevices))
        return {"wave subdevices", "the miniport table holds no wave miniport"};
    const std::string said = DriverSaid();
    return {"wave subdevices, device start or interfaces",
            "after " + std::to_string(subdevices.size()) + " subdevice(s)" +
                (said.empty() ? "" : "; " + said)};
}

std::vector<HostFilter> HostHarness::Filters() const
{
    std::vector<HostFilter> filters;
    for (const EmuPcSubdeviceInfo& s : EmuPcSubdevices(Fdo()))
    {
        HostFilter filter{Narrow(s.Name), s.WaveCyclic, {}, {}, {}};
        for (ULONG i = 0; s.Descriptor != nullptr && i < s.Descriptor->PinCount; ++i)
        {
            const PCPIN_DESCRIPTOR* pin = PcFilterPin(s.Descriptor, i);
            if (pin == nullptr)
                break;
            const KSPIN_DESCRIPTOR& ks = pin->KsPinDescriptor;
            filter.Pins.push_back({i, ks.DataFlow, ks.Communication, ks.DataRangesCount});
        }
        for (ULONG i = 0; s.Descriptor != nullptr && i < s.Descriptor->NodeCount; ++i)
            if (const PCNODE_DESCRIPTOR* node = PcFilterNode(s.Descriptor, i))
                filter.Nodes.push_back(NodeTypeText(node->Type));
        for (ULONG i = 0; s.Descriptor != nullptr && i < s.Descriptor->ConnectionCount; ++i)
        {
            const PCCONNECTION_DESCRIPTOR& c = s.Descriptor->Connections[i];
            filter.Links.push_back({c.FromNode, c.FromNodePin, c.ToNode, c.ToNodePin});
        }
        filters.push_back(filter);
    }
    return filters;
}

std::vector<HostConnection> HostHarness::Connections() const
{
    std::vector<HostConnection> connections;
    for (const EmuPcConnectionInfo& c : EmuPcPhysicalConnections(Fdo()))
        connections.push_back({Narrow(c.FromName), c.FromPin, Narrow(c.ToName), c.ToPin});
    return connections;
}

std::vector<HostInterface> HostHarness::Interfaces() const
{
    std::vector<HostInterface> interfaces;
    for (const EmuDeviceInterface& i : EmuDeviceInterfaces())
    {
        if (i.PhysicalDeviceObject != Pdo())
            continue;
        std::string kind = GuidText(i.InterfaceClass);
        if (IsEqualGUID(i.InterfaceClass, GUID_DEVINTERFACE_ASIO_PRIVATE))
            kind = "ASIO";
        else if (IsEqualGUID(i.InterfaceClass, GUID_DEVINTERFACE_ENUM_PRIVATE))
            kind = "enumeration";
        interfaces.push_back({kind, Narrow(i.ReferenceString), Narrow(i.SymbolicLink), i.Enabled});
    }
    return interfaces;
}
