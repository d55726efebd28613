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

    NTSTATUS status = ReadUsbDescriptors();
    if (NT_SUCCESS(status))
        status = SelectConfiguration();
    if (NT_SUCCESS(status))
        status = QueryUsbBusInterface();
    if (NT_SUCCESS(status))
        status = SelectDeviceClass();
    if (!NT_SUCCESS(status))
        return status;

    // The device class builds its model of the device from the descriptors.
    status = m_DeviceInterface->OpenAudioHalCallback(nullptr, m_DeviceObject, m_NextDeviceObject,
                                                     m_PhysicalDeviceObject);
    if (!NT_SUCCESS(status))
        return status;

    WriteDeviceNames();

    ULONG engines = m_DeviceInterface->GetEngineCount();
    status = m_Asio.Configure(engines);
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
    {
        DbgPrint("SelectDeviceClass: AudioControl interface %u has protocol 0x%02X, neither audio "
                 "class 1.0 (0x00) nor 2.0 (0x20): the device is refused\n",
                 audioControl->bInterfaceNumber, audioControl->bInterfaceProtocol);
        return STATUS_UNSUCCESSFUL;
    }

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
