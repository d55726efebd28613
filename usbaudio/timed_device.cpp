#include "usbaudio/timed_device.h"

#include "usbaudio/endpoint_capabilities.h"

const DeviceClassTraits TIMED_DEVICE_TRAITS = {
    "CUsbAudioTimedDevice",     TIMED_POOL_TAG, UAC1_POOL_TAG, "ParseAudioControlTimed",
    "ParseAudioStreamingTimed", TRUE,           TRUE,          MiniportRefresh::NotifyUnit};

NTSTATUS CUsbAudioTimedDevice::FillCapabilityRecord(PUSBDEVICEIO)
{
    m_CapabilityRecord = TimedCapabilityRecord();
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioTimedDevice::PostParse()
{
    return StepNotBuilt("the register refresh");
}
