#include "usbaudio/uac1/device.h"

#include "usbaudio/device/endpoint_capabilities.h"
#include "usbaudio/uac1/walkers.h"

const DeviceClassTraits UAC1_DEVICE_TRAITS = {.PoolTag = UAC1_POOL_TAG,
                                              .ListTag = UAC1_POOL_TAG,
                                              .RunsModelHook = FALSE,
                                              .HasModelHook = TRUE,
                                              .Refresh = MiniportRefresh::Install};

NTSTATUS CUsbAudio1Device::FillCapabilityRecord(PUSBDEVICEIO io)
{
    return ReadUac1CapabilityRecord(io, GetDeviceRecord(), &m_CapabilityRecord);
}

NTSTATUS CUsbAudio1Device::GetEndpointCapabilities(BOOLEAN isInput, ULONG endpointKind,
                                                   PENDPOINTCAPABILITIES capabilities)
{
    if (capabilities == nullptr)
        return STATUS_UNSUCCESSFUL;
    DeriveUac1EndpointRecord(m_CapabilityRecord, GetDeviceRecord(), isInput, endpointKind,
                             capabilities);
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudio1Device::ParseAudioControl(struct _USB_INTERFACE_DESCRIPTOR* interfaceDescriptor,
                                             ULONG bytesToEnd)
{
    return ParseAudioControlUac1(this, interfaceDescriptor, bytesToEnd);
}

NTSTATUS
CUsbAudio1Device::ParseAudioStreaming(struct _USB_CONFIGURATION_DESCRIPTOR* configuration,
                                      struct _USB_INTERFACE_DESCRIPTOR* firstStreamingInterface,
                                      ULONG bytesToEnd)
{
    return ParseAudioStreamingUac1(this, configuration, firstStreamingInterface, bytesToEnd);
}
