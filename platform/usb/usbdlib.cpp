#include "platform/usb/usbdlib.h"

#include "platform/kernel/kernel.h"

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID descriptorBuffer, ULONG totalLength,
                                             PVOID startPosition, LONG descriptorType)
{
    if (descriptorBuffer == nullptr || startPosition == nullptr)
        return nullptr;
    PUCHAR base = static_cast<PUCHAR>(descriptorBuffer);
    PUCHAR end = base + totalLength;
    PUCHAR p = static_cast<PUCHAR>(startPosition);
    if (p < base || p >= end)
        return nullptr;
    // Both header bytes must lie inside the buffer before bLength is trusted.
    while (end - p >= 2)
    {
        UCHAR length = p[0];
        if (length < 2 || length > end - p)
            return nullptr;
        if (p[1] == (UCHAR)descriptorType)
            return reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
        p += length;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR
USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor,
                                    PVOID startPosition, LONG interfaceNumber,
                                    LONG alternateSetting, LONG interfaceClass,
                                    LONG interfaceSubClass, LONG interfaceProtocol)
{
    if (configurationDescriptor == nullptr)
        return nullptr;
    ULONG total = configurationDescriptor->wTotalLength;
    PUCHAR base = reinterpret_cast<PUCHAR>(configurationDescriptor);
    PVOID position = startPosition;
    for (;;)
    {
        PUSB_COMMON_DESCRIPTOR d =
            USBD_ParseDescriptors(base, total, position, USB_INTERFACE_DESCRIPTOR_TYPE);
        if (d == nullptr)
            return nullptr;
        auto* i = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
        if (d->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
            (interfaceNumber == -1 || i->bInterfaceNumber == interfaceNumber) &&
            (alternateSetting == -1 || i->bAlternateSetting == alternateSetting) &&
            (interfaceClass == -1 || i->bInterfaceClass == interfaceClass) &&
            (interfaceSubClass == -1 || i->bInterfaceSubClass == interfaceSubClass) &&
            (interfaceProtocol == -1 || i->bInterfaceProtocol == interfaceProtocol))
            return i;
        position = reinterpret_cast<PUCHAR>(d) + d->bLength;
    }
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY interfaceList)
{
    if (configurationDescriptor == nullptr || interfaceList == nullptr ||
        interfaceList[0].InterfaceDescriptor == nullptr)
        return nullptr;
    ULONG size = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    ULONG count = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY e = interfaceList; e->InterfaceDescriptor != nullptr; ++e)
    {
        size += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
        if (++count > 255 || size > MAXUSHORT)
            return nullptr;
    }
    if (size < sizeof(struct _URB_SELECT_CONFIGURATION))
        size = sizeof(struct _URB_SELECT_CONFIGURATION);
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, size, USBD_POOL_TAG));
    if (urb == nullptr)
        return nullptr;
    RtlZeroMemory(urb, size);
    PUCHAR cursor = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY e = interfaceList; e->InterfaceDescriptor != nullptr; ++e)
    {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
        PUSB_INTERFACE_DESCRIPTOR d = e->InterfaceDescriptor;
        info->Length = (USHORT)GET_USBD_INTERFACE_SIZE(d->bNumEndpoints);
        info->InterfaceNumber = d->bInterfaceNumber;
        info->AlternateSetting = d->bAlternateSetting;
        info->NumberOfPipes = d->bNumEndpoints;
        for (ULONG p = 0; p < d->bNumEndpoints; ++p)
            info->Pipes[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        e->Interface = info;
        cursor += info->Length;
    }
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = (USHORT)size;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = configurationDescriptor;
    return urb;
}
