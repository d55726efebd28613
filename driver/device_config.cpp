// Device configuration: descriptors, configuration, bus interface, the choice
// and creation of the device class, the device's names and the ASIO state
// every new ASIO client starts from.
#include "driver/adapter_common.h"
#include "framework/audio_function.h"
#include "framework/registry_settings.h"
#include "platform/usb/usbdlib.h"
#include "usbaudio/device_factories.h"
#include "usbaudio/table/device_table.h"

namespace
{
// The driver's own table: its six device classes.
const DeviceClassFactories c_DriverDeviceClasses = {
    CreateUsbAudio2Device,  CreateUsbAudioTimedDevice, CreateUsbAudio1DeviceA,
    CreateUsbAudio1DeviceB, CreateUsbAudio1DeviceC,    CreateUsbAudio1Device,
};
const DeviceClassFactories* volatile g_DeviceClassTable = &c_DriverDeviceClasses;

void FreeChoiceBlock(PVOID block)
{
    if (block != nullptr)
        ExFreePoolWithTag(block, CLASS_CHOICE_POOL_TAG);
}

constexpr ULONG c_InterfaceBytes = 9;

// The first interface (at its alternate setting 0, which the configuration
// selects) whose descriptors hold fewer endpoint descriptors than its
// bNumEndpoints promises: no USB stack selects such a configuration.
PUSB_INTERFACE_DESCRIPTOR FindInterfaceShortOfEndpoints(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                                        PULONG held)
{
    const PUCHAR start = reinterpret_cast<PUCHAR>(configuration);
    const ULONG total = configuration->wTotalLength;
    PUSB_INTERFACE_DESCRIPTOR open = nullptr;
    *held = 0;
    for (ULONG at = configuration->bLength; at + 2 <= total;)
    {
        const PUCHAR d = start + at;
        if (d[0] < 2 || d[0] > total - at)
            break;
        if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE)
        {
            if (open != nullptr && *held < open->bNumEndpoints)
                return open;
            open = d[0] >= c_InterfaceBytes && d[3] == 0
                       ? reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d)
                       : nullptr;
            *held = 0;
        }
        else if (d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE)
            ++*held;
        at += d[0];
    }
    return open != nullptr && *held < open->bNumEndpoints ? open : nullptr;
}

// What each step of the device set-up tried, named with the status it got
// when it fails.
void NameUnreadDescriptors(CAdapterCommon*, NTSTATUS status)
{
    DbgPrint("UsbAudio: the device and configuration descriptors could not be read: 0x%08X\n",
             (unsigned)status);
}

void NameRefusedConfiguration(CAdapterCommon* adapter, NTSTATUS status)
{
    PUSB_CONFIGURATION_DESCRIPTOR configuration = adapter->GetConfigurationDescriptor();
    ULONG held = 0;
    PUSB_INTERFACE_DESCRIPTOR shortOf = FindInterfaceShortOfEndpoints(configuration, &held);
    if (shortOf != nullptr)
        DbgPrint("UsbAudio: configuration %u not selected: interface %u declares %u endpoint(s), "
                 "its descriptors hold %u: 0x%08X\n",
                 configuration->bConfigurationValue, shortOf->bInterfaceNumber,
                 shortOf->bNumEndpoints, held, (unsigned)status);
    else
        DbgPrint("UsbAudio: configuration %u of %u interface(s) not selected: 0x%08X\n",
                 configuration->bConfigurationValue, configuration->bNumInterfaces,
                 (unsigned)status);
}

void NameMissingBusInterface(CAdapterCommon*, NTSTATUS status)
{
    DbgPrint("UsbAudio: the USB bus interface could not be queried: 0x%08X\n", (unsigned)status);
}

void NameRefusedClassChoice(CAdapterCommon* adapter, NTSTATUS status)
{
    PUSB_CONFIGURATION_DESCRIPTOR configuration = adapter->GetConfigurationDescriptor();
    PUSB_INTERFACE_DESCRIPTOR audioControl = FindAudioFunctionControl(configuration);
    if (audioControl == nullptr)
        DbgPrint("UsbAudio: configuration %u has no AudioControl interface: 0x%08X\n",
                 configuration->bConfigurationValue, (unsigned)status);
    else if (audioControl->bInterfaceProtocol != USB_AUDIO_PROTOCOL_UNDEFINED &&
             audioControl->bInterfaceProtocol != USB_AUDIO_PROTOCOL_IP_VERSION_02_00)
        DbgPrint("SelectDeviceClass: AudioControl interface %u has protocol 0x%02X, neither audio "
                 "class 1.0 (0x00) nor 2.0 (0x20): the device is refused\n",
                 audioControl->bInterfaceNumber, audioControl->bInterfaceProtocol);
    else
        DbgPrint("UsbAudio: AudioControl interface %u: the device class of audio class %s could "
                 "not be created: 0x%08X\n",
                 audioControl->bInterfaceNumber,
                 audioControl->bInterfaceProtocol == USB_AUDIO_PROTOCOL_UNDEFINED ? "1.0" : "2.0",
                 (unsigned)status);
}

void NameUnallocatedRings(CAdapterCommon* adapter, NTSTATUS status)
{
    DbgPrint("UsbAudio: the ASIO ring entries of %u stream engine(s) could not be allocated: "
             "0x%08X\n",
             adapter->GetEngineCount(), (unsigned)status);
}
} // namespace

const DeviceClassFactories* SetDeviceClassFactories(const DeviceClassFactories* table)
{
    const DeviceClassFactories* previous = g_DeviceClassTable;
    g_DeviceClassTable = table != nullptr ? table : &c_DriverDeviceClasses;
    return previous;
}

const DeviceClassFactories* GetDeviceClassFactories()
{
    return g_DeviceClassTable;
}

// ----------------------------------------------------------------------------

NTSTATUS CAdapterCommon::ConfigureDevice()
{
    PAGED_CODE();
    if (m_DeviceObject == nullptr || m_NextDeviceObject == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    // One location for the adapter's own completion routine above the
    // lower stack.
    m_IrpStackSize = (CCHAR)(m_DeviceObject->StackSize + 1);

    // The steps in order; the first that fails ends the set-up, named with
    // its status. The device class names what it refuses itself.
    struct Step
    {
        NTSTATUS (CAdapterCommon::*Run)();
        void (*NameFailure)(CAdapterCommon* adapter, NTSTATUS status);
    };
    static const Step steps[] = {
        {&CAdapterCommon::ReadUsbDescriptors, NameUnreadDescriptors},
        {&CAdapterCommon::SelectConfiguration, NameRefusedConfiguration},
        {&CAdapterCommon::QueryUsbBusInterface, NameMissingBusInterface},
        {&CAdapterCommon::SelectDeviceClass, NameRefusedClassChoice},
        {&CAdapterCommon::OpenDeviceObject, nullptr},
        {&CAdapterCommon::ConfigureAsio, NameUnallocatedRings},
    };
    for (const Step& step : steps)
    {
        const NTSTATUS status = (this->*step.Run)();
        if (NT_SUCCESS(status))
            continue;
        if (step.NameFailure != nullptr)
            step.NameFailure(this, status);
        return status;
    }
    return STATUS_SUCCESS;
}

// The device class builds its model of the device from the descriptors.
NTSTATUS CAdapterCommon::OpenDeviceObject()
{
    PAGED_CODE();
    NTSTATUS status = m_DeviceInterface->OpenAudioHalCallback(
        nullptr, m_DeviceObject, m_NextDeviceObject, m_PhysicalDeviceObject);
    if (NT_SUCCESS(status))
        WriteDeviceNames();
    return status;
}

// The ASIO state every new client starts from: a ring entry per engine and
// the stored settings, or the default sample type of a device that streams
// through ASIO and has none stored.
NTSTATUS CAdapterCommon::ConfigureAsio()
{
    PAGED_CODE();
    ULONG engines = m_DeviceInterface->GetEngineCount();
    NTSTATUS status = m_Asio.Configure(engines);
    if (!NT_SUCCESS(status))
        return status;

    engines = m_DeviceInterface->GetEngineCount();
    for (ULONG i = 0; i < engines; ++i)
    {
        EndpointCapabilities capabilities = {};
        m_DeviceInterface->GetStreamCapabilities(i, &capabilities);
        if ((capabilities.ThirdValue & ENDPOINT_CAPS_ASIO_STREAM) == 0)
            continue;
        ULONG stored = 0;
        if (RegistryBinarySetting(m_DeviceObject, SETTINGS_READ, &stored, sizeof(stored),
                                  u"ASIOMLDataBitDepth") == STATUS_OBJECT_NAME_NOT_FOUND)
        {
            ApplyAsioDefaults();
            return STATUS_SUCCESS;
        }
    }
    return STATUS_SUCCESS;
}

// A device that streams through ASIO and has no stored sample type gets the
// one its converter carries best; the listed devices keep it in "Settings".
void CAdapterCommon::ApplyAsioDefaults()
{
    PAGED_CODE();
    const ULONG listed = m_DeviceRecord.AsioSampleType;
    const ULONG type = listed != 0 ? listed : ASIO_DEFAULT_SAMPLE_TYPE;
    ULONG stored = type;
    m_Asio.SetSampleTypeDefault(type);
    if (listed != 0)
        RegistryBinarySetting(m_DeviceObject, SETTINGS_WRITE, &stored, sizeof(stored),
                              u"ASIOMLDataBitDepth");
}

// ----------------------------------------------------------------------------
// Device-class choice

NTSTATUS CAdapterCommon::ReadStringDescriptor(PURB urb, UCHAR index, PVOID buffer, ULONG length)
{
    PAGED_CODE();
    RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    RtlZeroMemory(buffer, length);
    UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_STRING_DESCRIPTOR_TYPE, index, STRING_LANGUAGE_EN_US, buffer,
                                 nullptr, length, nullptr);
    return SubmitUrbSync(urb);
}

NTSTATUS CAdapterCommon::SelectDeviceClass()
{
    PAGED_CODE();
    PUSB_CONFIGURATION_DESCRIPTOR configuration = m_ConfigurationDescriptor;
    if (configuration == nullptr)
        return STATUS_UNSUCCESSFUL;
    // The adapter holds one device object for its whole life.
    if (m_DeviceClassObject != nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    PUSB_INTERFACE_DESCRIPTOR audioControl = FindAudioFunctionControl(configuration);
    if (audioControl == nullptr)
        return STATUS_UNSUCCESSFUL;
    m_AudioControlInterfaceNumber = audioControl->bInterfaceNumber;
    m_DeviceRecord = FindDeviceRecord(m_idVendor, m_idProduct);

    const DeviceClassFactories* table = GetDeviceClassFactories();
    PDEVICE_CLASS_FACTORY factory = nullptr;
    PUCHAR descriptor = nullptr;
    PURB urb = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    if (audioControl->bInterfaceProtocol == USB_AUDIO_PROTOCOL_IP_VERSION_02_00)
        factory = table->CreateUsbAudio2Device;
    else if (audioControl->bInterfaceProtocol == USB_AUDIO_PROTOCOL_UNDEFINED)
    {
        descriptor = static_cast<PUCHAR>(
            ExAllocatePoolWithTag(NonPagedPool, MODEL_STRING_BUFFER_SIZE, CLASS_CHOICE_POOL_TAG));
        urb = static_cast<PURB>(ExAllocatePoolWithTag(
            NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), CLASS_CHOICE_POOL_TAG));
        if (descriptor == nullptr || urb == nullptr)
            status = STATUS_INSUFFICIENT_RESOURCES;
        else
        {
            NTSTATUS read =
                ReadStringDescriptor(urb, MODEL_STRING_INDEX, descriptor, MODEL_STRING_BUFFER_SIZE);
            if (!NT_SUCCESS(read))
                read = ReadStringDescriptor(urb, MODEL_STRING_FALLBACK_INDEX, descriptor,
                                            MODEL_STRING_BUFFER_SIZE);
            factory = table->CreateUsbAudio1Device;
            if (NT_SUCCESS(read))
            {
                ULONG valid = urb->UrbControlDescriptorRequest.TransferBufferLength;
                if (valid > MODEL_STRING_BUFFER_SIZE)
                    valid = MODEL_STRING_BUFFER_SIZE;
                if (valid > descriptor[0])
                    valid = descriptor[0];
                factory = ChooseUac1DeviceClass(*table, descriptor, valid);
            }
        }
    }
    else
        return STATUS_UNSUCCESSFUL; // named by the set-up with the protocol

    if (NT_SUCCESS(status))
        status = CreateDeviceObject(factory);
    FreeChoiceBlock(urb);
    FreeChoiceBlock(descriptor);

    // Each interface the aggregated object handed out counted on the
    // adapter; the adapter does not count itself.
    if (m_DeviceInterface != nullptr)
        static_cast<IUsbDeviceIo*>(this)->Release();
    if (m_DeviceModel != nullptr)
        static_cast<IUsbDeviceIo*>(this)->Release();
    if (m_DevicePower != nullptr)
        static_cast<IUsbDeviceIo*>(this)->Release();
    return status;
}

NTSTATUS CAdapterCommon::CreateDeviceObject(PDEVICE_CLASS_FACTORY factory)
{
    PAGED_CODE();
    if (factory == nullptr)
        return STATUS_NOT_SUPPORTED;
    NTSTATUS status =
        factory(&m_DeviceClassObject, static_cast<IUsbDeviceIo*>(this), m_idVendor, m_idProduct);
    if (!NT_SUCCESS(status))
    {
        m_DeviceClassObject = nullptr;
        return status;
    }
    if (m_DeviceClassObject == nullptr)
        return STATUS_UNSUCCESSFUL;
    status = m_DeviceClassObject->QueryInterface(IID_IAdapterCommon, (PVOID*)&m_DeviceInterface);
    if (!NT_SUCCESS(status))
    {
        m_DeviceInterface = nullptr;
        return status;
    }
    if (!NT_SUCCESS(m_DeviceClassObject->QueryInterface(IID_IDeviceModel, (PVOID*)&m_DeviceModel)))
        m_DeviceModel = nullptr;
    status =
        m_DeviceClassObject->QueryInterface(IID_IAdapterPowerManagement, (PVOID*)&m_DevicePower);
    if (!NT_SUCCESS(status))
        m_DevicePower = nullptr;
    return status;
}
