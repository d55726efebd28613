// The device's names from its own string descriptors, its component id from
// its USB vendor and product IDs, and the values of its enumeration keys.
#include "driver/adapter_common.h"
#include "framework/device_enum_key.h"
#include "platform/usb/usbdlib.h"

namespace
{
constexpr ULONG c_NameBufferSize = 260;
constexpr ULONG c_NameTransferLength = 256;
// A name holds at most this many characters before its NUL.
constexpr ULONG c_NameMaxCharacters = 49;

// The USB audio component ids: manufacturer and product GUIDs built from the
// vendor and product IDs.
constexpr ULONG c_UsbAudioMidBase = 0x4E1CECD2;
constexpr ULONG c_UsbAudioPidBase = 0xABCC5A5E;
const GUID c_UsbAudioMid = {
    c_UsbAudioMidBase, 0x1679, 0x463B, {0xA7, 0x2F, 0xA5, 0xBF, 0x64, 0xC8, 0x6E, 0xBA}};
const GUID c_UsbAudioPid = {
    c_UsbAudioPidBase, 0xC263, 0x463B, {0xA7, 0x2F, 0xA5, 0xBF, 0x64, 0xC8, 0x6E, 0xBA}};
const GUID c_UsbAudioComponent = {
    0x8F1275F0, 0x26E9, 0x4264, {0xBA, 0x4D, 0x39, 0xFF, 0xF0, 0x1D, 0x94, 0xAA}};

struct ValueWrite
{
    PCWSTR Name;
    PCWSTR Data;
    ULONG Size;
};

NTSTATUS SetStringValue(HANDLE key, PVOID context)
{
    auto write = static_cast<ValueWrite*>(context);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, write->Name);
    return ZwSetValueKey(key, &name, 0, REG_SZ, (PVOID)write->Data, write->Size);
}

struct ValueRead
{
    PCWSTR Name;
    PVOID Buffer;
    ULONG MaxLength;
};

NTSTATUS ReadPartialValue(HANDLE key, PVOID context)
{
    auto read = static_cast<ValueRead*>(context);
    // Room for a value one byte longer than allowed, so that one is seen.
    const ULONG size = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + read->MaxLength + 1;
    auto info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, size, USB_IO_POOL_TAG));
    if (info == nullptr)
        return STATUS_NO_MEMORY;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, read->Name);
    ULONG returned = 0;
    NTSTATUS status =
        ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, size, &returned);
    if (NT_SUCCESS(status))
    {
        if (info->DataLength <= read->MaxLength)
            RtlCopyMemory(read->Buffer, info->Data, info->DataLength);
        else
            status = STATUS_UNSUCCESSFUL;
    }
    else if (status == STATUS_BUFFER_OVERFLOW)
        status = STATUS_UNSUCCESSFUL; // longer than the caller's variable
    ExFreePoolWithTag(info, USB_IO_POOL_TAG);
    return status;
}
} // namespace

NTSTATUS CAdapterCommon::GetComponentId(PVOID, PKSCOMPONENTID componentId)
{
    if (componentId == nullptr)
        return STATUS_INVALID_PARAMETER;
    RtlZeroMemory(componentId, sizeof(KSCOMPONENTID));
    componentId->Manufacturer = c_UsbAudioMid;
    componentId->Manufacturer.Data1 = c_UsbAudioMidBase + m_idVendor;
    componentId->Product = c_UsbAudioPid;
    componentId->Product.Data1 = c_UsbAudioPidBase + m_idProduct;
    componentId->Component = c_UsbAudioComponent;
    return STATUS_SUCCESS;
}

NTSTATUS CAdapterCommon::WriteDeviceNames()
{
    PAGED_CODE();
    if (m_iProduct != 0)
        WriteNameFromString(m_iProduct, DevicePropertyFriendlyName, USB_IO_POOL_TAG);
    // The chip maker's string names only its listed products, and those
    // even at index 0.
    const bool named = m_DeviceRecord.Has(DEVICE_CHIP_MAKER)
                           ? m_DeviceRecord.Has(DEVICE_NAMED_PRODUCT)
                           : m_iManufacturer != 0;
    if (named)
        WriteNameFromString(m_iManufacturer, DevicePropertyManufacturer,
                            MANUFACTURER_NAME_POOL_TAG);
    return STATUS_SUCCESS;
}

void CAdapterCommon::WriteNameFromString(UCHAR index, ULONG kind, ULONG poolTag)
{
    PAGED_CODE();
    auto buffer =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, c_NameBufferSize, poolTag));
    auto urb = static_cast<PURB>(ExAllocatePoolWithTag(
        NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_IO_POOL_TAG));
    if (buffer != nullptr && urb != nullptr)
    {
        RtlZeroMemory(buffer, c_NameBufferSize);
        RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
        UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                     USB_STRING_DESCRIPTOR_TYPE, index, STRING_LANGUAGE_EN_US,
                                     buffer, nullptr, c_NameTransferLength, nullptr);
        if (NT_SUCCESS(SubmitUrbSync(urb)))
        {
            // Only what the device said and sent is text; a descriptor too
            // short for one character is no string.
            ULONG valid = urb->UrbControlDescriptorRequest.TransferBufferLength;
            if (valid > c_NameTransferLength)
                valid = c_NameTransferLength;
            if (valid > buffer[0])
                valid = buffer[0];
            if (valid >= 4)
            {
                auto text = reinterpret_cast<PWCHAR>(buffer + 2);
                LONG characters = (LONG)(valid - 2) / 2;
                text[characters] = 0;
                for (LONG i = characters - 1; i >= 0 && text[i] == u' '; --i)
                    text[i] = 0;
                ULONG length = 0;
                while (length < c_NameMaxCharacters && text[length] != 0)
                    ++length;
                text[length] = 0; // a longer name is cut
                if (length != 0)
                    WriteDeviceRegistryValue(kind, (length + 1) * sizeof(WCHAR), text);
            }
        }
    }
    if (urb != nullptr)
        ExFreePoolWithTag(urb, USB_IO_POOL_TAG);
    if (buffer != nullptr)
        ExFreePoolWithTag(buffer, poolTag);
}

NTSTATUS CAdapterCommon::WriteDeviceRegistryValue(ULONG kind, ULONG size, PCWSTR data)
{
    PAGED_CODE();
    ValueWrite write = {nullptr, data, size};
    switch (kind)
    {
    case DevicePropertyDeviceDescription:
        write.Name = u"DeviceDesc";
        break;
    case DevicePropertyManufacturer:
        write.Name = u"Mfg";
        break;
    case DevicePropertyFriendlyName:
        write.Name = u"FriendlyName";
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    if (data == nullptr || size < sizeof(WCHAR))
        return STATUS_INVALID_PARAMETER;
    return ForEachDeviceEnumKey(m_PhysicalDeviceObject, nullptr, SetStringValue, &write);
}

NTSTATUS CAdapterCommon::ReadSelectiveSuspend(ULONG which, ULONG maxLength, PVOID buffer)
{
    PAGED_CODE();
    ValueRead read = {nullptr, buffer, maxLength};
    if (which == 1)
        read.Name = u"SelectiveSuspendEnabled";
    else if (which == 0)
        read.Name = u"DeviceSelectiveSuspended";
    else
        return STATUS_INVALID_PARAMETER;
    if (buffer == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (m_PhysicalDeviceObject == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    return ForEachDeviceEnumKey(m_PhysicalDeviceObject, u"Device Parameters", ReadPartialValue,
                                &read);
}
