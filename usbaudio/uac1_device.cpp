#include "usbaudio/uac1_device.h"

#include "usbaudio/endpoint_capabilities.h"

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
