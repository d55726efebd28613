#include "streaming/usb/uac2_stream_requests.h"

#include "framework/audio_hal.h"
#include "platform/usb/usbdlib.h"

namespace
{
constexpr USHORT c_ValidAltSettingsControl = USB_AUDIO20_AS_VAL_ALT_SETTINGS_CONTROL << 8;
} // namespace

NTSTATUS SetStreamClockFrequency(CUsbAudioStream* stream, ULONG clockControlId, ULONG hz)
{
    PAGED_CODE();
    if (stream->GetOwner() == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    // The clock is one of the device's objects, not one of the stream's path.
    auto device = static_cast<CAudioHal*>(static_cast<IAdapterCommon*>(stream->GetOwner()));
    CAudioControl* control = nullptr;
    NTSTATUS status = device->FindUnitById(clockControlId, &control);
    if (!NT_SUCCESS(status))
        return status;
    PCLOCKCONTROL clock = nullptr;
    status = control->QueryInterface(IID_IClockControl, (PVOID*)&clock);
    if (!NT_SUCCESS(status))
        return status;
    status = clock->SetFrequency(hz);
    clock->Release();
    return status;
}

NTSTATUS PrepareStreamClock(CUsbAudioStream* stream, ULONG clockControlId, PSTREAMCLIENT client,
                            PULONG frameNumber)
{
    PAGED_CODE();
    if (client == nullptr || frameNumber == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (stream->GetStreamState() != USB_STREAM_CLOSED)
        return STATUS_INSUFFICIENT_RESOURCES;
    return SetStreamClockFrequency(stream, clockControlId, client->Format.Format.nSamplesPerSec);
}

BOOLEAN AltSettingMarkedValid(const UCHAR* reply, ULONG received, UCHAR alternateSetting)
{
    if (received < 2)
        return FALSE;
    const ULONG bitmapBytes = reply[0] < received - 1 ? reply[0] : received - 1;
    if (alternateSetting >= 8 * bitmapBytes)
        return FALSE;
    return (reply[1 + alternateSetting / 8] >> (alternateSetting % 8)) & 1;
}

BOOLEAN QueryAlternateSettingValid(PUSBDEVICEIO io, UCHAR interfaceNumber, UCHAR alternateSetting)
{
    PAGED_CODE();
    if (alternateSetting == 0)
        return TRUE;
    if (io == nullptr)
        return FALSE;
    UCHAR reply[VALID_ALT_SETTINGS_BYTES] = {};
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST urb = {};
    UsbBuildVendorRequest(reinterpret_cast<PURB>(&urb), URB_FUNCTION_CLASS_INTERFACE,
                          (USHORT)sizeof(urb), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                          0, USB_AUDIO20_CUR, c_ValidAltSettingsControl, interfaceNumber, reply,
                          nullptr, VALID_ALT_SETTINGS_BYTES, nullptr);
    if (!NT_SUCCESS(io->SubmitUrbSync(reinterpret_cast<PURB>(&urb))))
        return FALSE;
    const ULONG received = urb.TransferBufferLength < VALID_ALT_SETTINGS_BYTES
                               ? urb.TransferBufferLength
                               : VALID_ALT_SETTINGS_BYTES;
    return AltSettingMarkedValid(reply, received, alternateSetting);
}

BOOLEAN QueryStreamAlternateSettingValid(CUsbAudioStream* stream, UCHAR alternateSetting)
{
    PUSBDEVICEIO io = stream->QueryUsbIo();
    const BOOLEAN valid =
        QueryAlternateSettingValid(io, (UCHAR)stream->GetConstructionValue(), alternateSetting);
    if (io != nullptr)
        io->Release();
    return valid;
}
