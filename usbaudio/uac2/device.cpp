#include "usbaudio/uac2/device.h"

#include "usbaudio/device/endpoint_capabilities.h"
#include "usbaudio/uac2/walkers.h"

const DeviceClassTraits UAC2_DEVICE_TRAITS = {.PoolTag = UAC2_POOL_TAG,
                                              .ListTag = UAC2_POOL_TAG,
                                              .RunsModelHook = FALSE,
                                              .HasModelHook = FALSE,
                                              .Refresh = MiniportRefresh::InstallAfterWait};

NTSTATUS CUsbAudio2Device::FillCapabilityRecord(PUSBDEVICEIO)
{
    m_CapabilityRecord = Uac2CapabilityRecord();
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudio2Device::GetEndpointCapabilities(BOOLEAN isInput, ULONG endpointKind,
                                                   PENDPOINTCAPABILITIES capabilities)
{
    if (capabilities == nullptr)
        return STATUS_UNSUCCESSFUL;
    DeriveUac2EndpointRecord(m_CapabilityRecord, GetDeviceRecord(), isInput, endpointKind,
                             GetEngineCount(), capabilities);
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudio2Device::ParseAudioControl(struct _USB_INTERFACE_DESCRIPTOR* interfaceDescriptor,
                                             ULONG bytesToEnd)
{
    return ParseAudioControlUac2(this, interfaceDescriptor, bytesToEnd);
}

NTSTATUS
CUsbAudio2Device::ParseAudioStreaming(struct _USB_CONFIGURATION_DESCRIPTOR* configuration,
                                      struct _USB_INTERFACE_DESCRIPTOR* firstStreamingInterface,
                                      ULONG bytesToEnd)
{
    return ParseAudioStreamingUac2(this, configuration, firstStreamingInterface, bytesToEnd);
}

void CUsbAudio2Device::HandleStatusMessage(const UCHAR* message, ULONG length)
{
    constexpr ULONG c_MessageBytes = 6;
    constexpr UCHAR c_EndpointOrMemory = 0x03; // bInfo: 0 is an interface's control
    if (message == nullptr || length < c_MessageBytes || (message[0] & c_EndpointOrMemory) != 0 ||
        message[1] != USB_AUDIO20_CUR || message[4] != GetAudioControlInterfaceNumber())
        return;
    NotifyControlChangeUac2(message[5], message[3], message[2]);
}
