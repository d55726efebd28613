#include "usbaudio/chip_model/devices.h"

#include "usbaudio/chip_model/walkers.h"
#include "usbaudio/device/endpoint_capabilities.h"

const DeviceClassTraits MODEL_A_DEVICE_TRAITS = {.PoolTag = MODEL_A_POOL_TAG,
                                                 .ListTag = UAC1_POOL_TAG,
                                                 .RunsModelHook = TRUE,
                                                 .HasModelHook = TRUE,
                                                 .Refresh = MiniportRefresh::Install};
const DeviceClassTraits MODEL_B_DEVICE_TRAITS = {.PoolTag = MODEL_B_POOL_TAG,
                                                 .ListTag = UAC1_POOL_TAG,
                                                 .RunsModelHook = TRUE,
                                                 .HasModelHook = TRUE,
                                                 .Refresh = MiniportRefresh::Install};
const DeviceClassTraits MODEL_C_DEVICE_TRAITS = {.PoolTag = MODEL_C_POOL_TAG,
                                                 .ListTag = UAC1_POOL_TAG,
                                                 .RunsModelHook = TRUE,
                                                 .HasModelHook = TRUE,
                                                 .Refresh = MiniportRefresh::Install};

NTSTATUS CUsbAudio1DeviceA::FillCapabilityRecord(PUSBDEVICEIO)
{
    m_CapabilityRecord = ModelACapabilityRecord();
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudio1DeviceB::FillCapabilityRecord(PUSBDEVICEIO)
{
    m_CapabilityRecord = ModelBCapabilityRecord(GetDeviceRecord());
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudio1DeviceC::FillCapabilityRecord(PUSBDEVICEIO)
{
    m_CapabilityRecord = ModelCCapabilityRecord(GetDeviceRecord());
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudio1DeviceA::ParseAudioControl(struct _USB_INTERFACE_DESCRIPTOR* interfaceDescriptor,
                                              ULONG bytesToEnd)
{
    return ParseAudioControlModelA(this, interfaceDescriptor, bytesToEnd);
}

NTSTATUS CUsbAudio1DeviceB::ParseAudioControl(struct _USB_INTERFACE_DESCRIPTOR* interfaceDescriptor,
                                              ULONG bytesToEnd)
{
    return ParseAudioControlModelB(this, interfaceDescriptor, bytesToEnd);
}

NTSTATUS CUsbAudio1DeviceC::ParseAudioControl(struct _USB_INTERFACE_DESCRIPTOR* interfaceDescriptor,
                                              ULONG bytesToEnd)
{
    return ParseAudioControlModelC(this, interfaceDescriptor, bytesToEnd);
}

NTSTATUS
CUsbAudio1DeviceC::ParseAudioStreaming(struct _USB_CONFIGURATION_DESCRIPTOR* configuration,
                                       struct _USB_INTERFACE_DESCRIPTOR* firstStreamingInterface,
                                       ULONG bytesToEnd)
{
    return ParseAudioStreamingModelC(this, configuration, firstStreamingInterface, bytesToEnd);
}
