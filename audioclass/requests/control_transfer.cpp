#include "audioclass/requests/control_transfer.h"

#include "platform/usb/usbdlib.h"

NTSTATUS SubmitControlRequest(PUSBDEVICEIO io, PURB urb, const ControlRequest& request,
                              PVOID buffer, ULONG length, PULONG transferred)
{
    PAGED_CODE();
    if (transferred != nullptr)
        *transferred = 0;
    if (io == nullptr || urb == nullptr || (buffer == nullptr && length != 0))
        return STATUS_INVALID_PARAMETER;
    RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    if (request.In && length != 0)
        RtlZeroMemory(buffer, length);
    UsbBuildVendorRequest(urb, request.Function,
                          (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          request.In ? USBD_TRANSFER_DIRECTION_IN : 0, 0, request.Request,
                          request.Value, request.Index, buffer, nullptr, length, nullptr);
    NTSTATUS status = io->SubmitUrbSync(urb);
    if (!NT_SUCCESS(status))
        DbgPrint("UsbAudio: request %s bRequest 0x%02X wValue 0x%04X wIndex 0x%04X wLength %u "
                 "refused: status 0x%08X, USBD status 0x%08X\n",
                 request.In ? "IN" : "OUT", request.Request, request.Value, request.Index,
                 (unsigned)length, (unsigned)status, (unsigned)urb->UrbHeader.Status);
    if (NT_SUCCESS(status) && transferred != nullptr)
    {
        const ULONG moved = urb->UrbControlVendorClassRequest.TransferBufferLength;
        *transferred = moved < length ? moved : length;
    }
    return status;
}

NTSTATUS ControlRequestAtLeast(PUSBDEVICEIO io, const ControlRequest& request, PVOID buffer,
                               ULONG length, ULONG needed)
{
    PAGED_CODE();
    URB urb;
    ULONG transferred = 0;
    NTSTATUS status = SubmitControlRequest(io, &urb, request, buffer, length, &transferred);
    if (NT_SUCCESS(status) && request.In && transferred < needed)
    {
        DbgPrint("UsbAudio: request IN bRequest 0x%02X wValue 0x%04X wIndex 0x%04X answered %u "
                 "of the %u bytes needed\n",
                 request.Request, request.Value, request.Index, (unsigned)transferred,
                 (unsigned)needed);
        status = STATUS_DEVICE_DATA_ERROR;
    }
    return status;
}
