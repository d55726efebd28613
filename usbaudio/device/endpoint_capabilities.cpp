#include "usbaudio/device/endpoint_capabilities.h"

#include "platform/usb/usbdlib.h"
#include "audioclass/requests/control_transfer.h"
#include "usbaudio/table/device_table.h"

namespace
{
constexpr UCHAR c_ProductStringIndex = 0x50;
constexpr UCHAR c_ProductStringFallback = 0x32;

// First model family: the chip's status byte.
constexpr ControlRequest c_StatusRequest = {URB_FUNCTION_VENDOR_OTHER, TRUE, 0x02, 0x51, 0};
constexpr UCHAR c_StatusReady = 0x1F;
// Third model family: two configuration bytes.
constexpr ControlRequest c_ConfigRequests[2] = {
    {URB_FUNCTION_VENDOR_OTHER, TRUE, 0x00, 0x1A, 0},
    {URB_FUNCTION_VENDOR_OTHER, TRUE, 0x00, 0x20, 0},
};
constexpr UCHAR c_ConfigBitsMask = 0x0E;
constexpr UCHAR c_ConfigBlockingBit = 0x02;
constexpr ULONG c_ThirdFamilyMask = 0x3E087;

// What the readers below keep of a mask and add to it. Every feature the
// readers pass on: what a class 2.0 output keeps of the source mask; the
// second family and class 2.0 devices get it whole.
constexpr ULONG c_EveryFeature = 0x3FE0FF;
// What a class 2.0 recording input keeps of the source mask.
constexpr ULONG c_RecordingFeatures = 0x28000;
// Marks the input microphone of the chip maker's own product.
constexpr ULONG c_InputMicrophoneBit = 0x800000;
// The third value of every class 2.0 input: the ASIO bit, and bit 4.
constexpr ULONG c_Uac2InputThird = ENDPOINT_CAPS_ASIO_STREAM | 0x10;

struct FamilyConfiguration
{
    UCHAR Bits;
    ULONG Third;
};
const FamilyConfiguration c_ThirdFamilyConfigurations[] = {{0x08, 0}, {0x0E, 2}};

NTSTATUS ReadProductString(PUSBDEVICEIO io, PURB urb, UCHAR index, PUCHAR buffer, PULONG received)
{
    RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    RtlZeroMemory(buffer, CAPABILITY_STRING_BYTES);
    UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_STRING_DESCRIPTOR_TYPE, index, STRING_LANGUAGE_EN_US, buffer,
                                 nullptr, CAPABILITY_STRING_BYTES, nullptr);
    NTSTATUS status = io->SubmitUrbSync(urb);
    *received = 0;
    if (NT_SUCCESS(status))
    {
        ULONG moved = urb->UrbControlDescriptorRequest.TransferBufferLength;
        if (moved > CAPABILITY_STRING_BYTES)
            moved = CAPABILITY_STRING_BYTES;
        // Only what the device sent and its descriptor claims is text.
        *received = moved < buffer[0] ? moved : buffer[0];
    }
    return status;
}

// The variant's own record where it replaces the class's `record` of `source`.
EndpointCapabilities VariantRecord(const DeviceRecord& device, CapabilitySource source,
                                   const EndpointCapabilities& record)
{
    const CapabilityVariantTraits& traits = device.CapabilityTraits();
    if (traits.Replaces != source)
        return record;
    return MakeCapabilityRecord(traits.Mask, traits.Second, traits.Third);
}

NTSTATUS ReadChipByte(PUSBDEVICEIO io, const ControlRequest& request, PUCHAR value)
{
    return ControlRequestAtLeast(io, request, value, 1, 1);
}

NTSTATUS FirstFamilyRecord(PUSBDEVICEIO io, const DeviceRecord& device,
                           EndpointCapabilities* record)
{
    UCHAR status = 0;
    NTSTATUS result = ReadChipByte(io, c_StatusRequest, &status);
    if (!NT_SUCCESS(result) || status != c_StatusReady)
        return result;
    const ULONG mask = device.CapabilityTraits().FirstFamilyMask;
    *record = MakeCapabilityRecord(mask != 0 ? mask : CAPABILITY_MASK_FIRST_FAMILY, 0,
                                   CAPABILITY_THIRD_FIRST_FAMILY);
    return STATUS_SUCCESS;
}

NTSTATUS ThirdFamilyRecord(PUSBDEVICEIO io, EndpointCapabilities* record)
{
    UCHAR bytes[2] = {};
    for (ULONG i = 0; i < 2; ++i)
    {
        NTSTATUS status = ReadChipByte(io, c_ConfigRequests[i], &bytes[i]);
        if (!NT_SUCCESS(status))
            return status;
    }
    if ((bytes[1] & c_ConfigBlockingBit) != 0)
        return STATUS_UNSUCCESSFUL;
    const UCHAR bits = bytes[0] & c_ConfigBitsMask;
    for (const FamilyConfiguration& configuration : c_ThirdFamilyConfigurations)
        if (configuration.Bits == bits)
        {
            *record = MakeCapabilityRecord(c_ThirdFamilyMask, 0, configuration.Third);
            return STATUS_SUCCESS;
        }
    return STATUS_UNSUCCESSFUL;
}

// Both string reads failed. Ordinary devices have no model string and start
// with the zero record, as an unknown model does; a device that is gone does
// not start.
NTSTATUS UnreadableRecord(NTSTATUS readStatus, const DeviceRecord& device,
                          EndpointCapabilities* record)
{
    if (readStatus == STATUS_NO_SUCH_DEVICE)
        return readStatus;
    *record =
        VariantRecord(device, CapabilitySource::Uac1Unreadable, MakeCapabilityRecord(0, 0, 0));
    return STATUS_SUCCESS;
}

// The class 2.0 inputs whose mask passes the recording features on.
const ULONG c_RecordingKinds[] = {ENDPOINT_KIND_MIC, ENDPOINT_KIND_FMIC, ENDPOINT_KIND_REC};

bool IsRecordingKind(ULONG kind)
{
    for (ULONG k : c_RecordingKinds)
        if (k == kind)
            return true;
    return false;
}
} // namespace

EndpointCapabilities MakeCapabilityRecord(ULONG mask, ULONG second, ULONG third)
{
    EndpointCapabilities record;
    RtlZeroMemory(&record, sizeof(record));
    record.CapabilityMask = mask;
    record.SecondValue = second;
    record.ThirdValue = third;
    return record;
}

NTSTATUS ReadUac1CapabilityRecord(PUSBDEVICEIO io, const DeviceRecord& device,
                                  EndpointCapabilities* record)
{
    PAGED_CODE();
    if (io == nullptr || record == nullptr)
        return STATUS_INVALID_PARAMETER;
    auto buffer = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPool, CAPABILITY_STRING_BYTES, CAPABILITY_POOL_TAG));
    auto urb = static_cast<PURB>(ExAllocatePoolWithTag(
        NonPagedPool, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), CAPABILITY_POOL_TAG));
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (buffer != nullptr && urb != nullptr)
    {
        ULONG received = 0;
        status = ReadProductString(io, urb, c_ProductStringIndex, buffer, &received);
        if (!NT_SUCCESS(status))
            status = ReadProductString(io, urb, c_ProductStringFallback, buffer, &received);
        *record = MakeCapabilityRecord(0, 0, 0);
        if (!NT_SUCCESS(status))
            status = UnreadableRecord(status, device, record);
        else
        {
            switch (FindModelFamily(buffer, received))
            {
            case ModelFamily::First:
                status = FirstFamilyRecord(io, device, record);
                break;
            case ModelFamily::Third:
                status = ThirdFamilyRecord(io, record);
                break;
            case ModelFamily::Second:
                *record = MakeCapabilityRecord(c_EveryFeature, 0, 0);
                break;
            case ModelFamily::None:
                break;
            }
        }
    }
    if (urb != nullptr)
        ExFreePoolWithTag(urb, CAPABILITY_POOL_TAG);
    if (buffer != nullptr)
        ExFreePoolWithTag(buffer, CAPABILITY_POOL_TAG);
    return status;
}

// The classes' own masks and second values, as the chips' maker gave them:
// no bit of them has a name the driver knows.
EndpointCapabilities ModelACapabilityRecord()
{
    return MakeCapabilityRecord(0x3FE02F, 12, 0);
}

EndpointCapabilities ModelBCapabilityRecord(const DeviceRecord& device)
{
    return VariantRecord(device, CapabilitySource::ModelB, MakeCapabilityRecord(0xF, 0, 0));
}

EndpointCapabilities ModelCCapabilityRecord(const DeviceRecord& device)
{
    return VariantRecord(
        device, CapabilitySource::ModelC,
        MakeCapabilityRecord(CAPABILITY_MASK_MODEL_C, 0, CAPABILITY_THIRD_FIRST_FAMILY));
}

EndpointCapabilities TimedCapabilityRecord()
{
    return MakeCapabilityRecord(0x3FE00F, 0, 0);
}

// Every feature the class 2.0 reader lets through, and the third value that
// its inputs always get.
EndpointCapabilities Uac2CapabilityRecord()
{
    return MakeCapabilityRecord(c_EveryFeature, 0, c_Uac2InputThird);
}

void DeriveUac1EndpointRecord(const EndpointCapabilities& source, const DeviceRecord& device,
                              BOOLEAN isInput, ULONG endpointKind, EndpointCapabilities* record)
{
    *record = MakeCapabilityRecord(0, 0, 0);
    if (device.CapabilityTraits().Endpoints == EndpointRecordRule::MicrophoneMarked)
    {
        const bool microphone = isInput == 1 && endpointKind == ENDPOINT_KIND_MIC;
        record->CapabilityMask = source.CapabilityMask | (microphone ? c_InputMicrophoneBit : 0);
        record->ThirdValue = source.ThirdValue;
        return;
    }
    if (endpointKind == ENDPOINT_KIND_SPDIF)
        return;
    *record = MakeCapabilityRecord(source.CapabilityMask, source.SecondValue, source.ThirdValue);
}

void DeriveUac2EndpointRecord(const EndpointCapabilities& source, const DeviceRecord& device,
                              BOOLEAN isInput, ULONG endpointKind, ULONG engineCount,
                              EndpointCapabilities* record)
{
    *record = MakeCapabilityRecord(0, 0, 0);
    if (device.CapabilityTraits().Endpoints == EndpointRecordRule::Fixed)
    {
        // The listed product's own records.
        if (endpointKind == ENDPOINT_KIND_HP)
            *record = MakeCapabilityRecord(0x603F, 0, 3);
        else if (endpointKind == ENDPOINT_KIND_MIC)
            *record = MakeCapabilityRecord(0x29000, 0, 0);
        return;
    }
    if (isInput)
    {
        if (endpointKind == ENDPOINT_KIND_SPDIF)
            return;
        const bool recording = IsRecordingKind(endpointKind);
        *record = MakeCapabilityRecord(recording ? source.CapabilityMask & c_RecordingFeatures : 0,
                                       0, c_Uac2InputThird);
        return;
    }
    if (endpointKind != ENDPOINT_KIND_SPDIF)
        *record =
            MakeCapabilityRecord(source.CapabilityMask & c_EveryFeature, 0, source.ThirdValue);
    else if (engineCount == 1)
        *record = MakeCapabilityRecord(0, 0, source.ThirdValue);
}
