#include "usbaudio/uac1_device.h"

#include <cstring>

#include "usbaudio/endpoint_capabilities.h"
#include "usbaudio/uac1_walkers.h"

const DeviceClassTraits UAC1_DEVICE_TRAITS = {
    "CUsbAudio1Device",        UAC1_POOL_TAG, UAC1_POOL_TAG, "ParseAudioControlUac1",
    "ParseAudioStreamingUac1", FALSE,         TRUE,          MiniportRefresh::Install};

NTSTATUS CUsbAudio1Device::FillCapabilityRecord(PUSBDEVICEIO io)
{
    return ReadUac1CapabilityRecord(io, GetVendorId(), GetProductId(), &m_CapabilityRecord);
}

NTSTATUS CUsbAudio1Device::GetEndpointCapabilities(BOOLEAN isInput, ULONG endpointKind,
                                                   PENDPOINTCAPABILITIES capabilities)
{
    if (capabilities == nullptr)
        return STATUS_UNSUCCESSFUL;
    DeriveUac1EndpointRecord(m_CapabilityRecord, GetVendorId(), GetProductId(), isInput,
                             endpointKind, capabilities);
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudio1Device::ParseAudioControl(struct _USB_INTERFACE_DESCRIPTOR* interfaceDescriptor,
                                             ULONG bytesToEnd)
{
    if (strcmp(Traits().AudioControlWalk, UAC1_DEVICE_TRAITS.AudioControlWalk) != 0)
        return CUsbAudioDevice::ParseAudioControl(interfaceDescriptor, bytesToEnd);
    return ParseAudioControlUac1(this, interfaceDescriptor, bytesToEnd);
}

NTSTATUS
CUsbAudio1Device::ParseAudioStreaming(struct _USB_CONFIGURATION_DESCRIPTOR* configuration,
                                      struct _USB_INTERFACE_DESCRIPTOR* firstStreamingInterface,
                                      ULONG bytesToEnd)
{
    if (strcmp(Traits().AudioStreamingWalk, UAC1_DEVICE_TRAITS.AudioStreamingWalk) != 0)
        return CUsbAudioDevice::ParseAudioStreaming(configuration, firstStreamingInterface,
                                                    bytesToEnd);
    return ParseAudioStreamingUac1(this, configuration, firstStreamingInterface, bytesToEnd);
}
