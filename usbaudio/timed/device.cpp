#include "usbaudio/timed/device.h"

#include "audioclass/controls/chain_nodes.h"
#include "usbaudio/device/endpoint_capabilities.h"
#include "usbaudio/timed/descriptor_rewrite.h"
#include "usbaudio/timed/walkers.h"

const DeviceClassTraits TIMED_DEVICE_TRAITS = {.PoolTag = TIMED_POOL_TAG,
                                               .ListTag = UAC1_POOL_TAG,
                                               .RunsModelHook = TRUE,
                                               .HasModelHook = TRUE,
                                               .Refresh = MiniportRefresh::NotifyUnit};

CUsbAudioTimedDevice::~CUsbAudioTimedDevice()
{
    PAGED_CODE();
    StopInterruptPolling();
    if (m_JackNode != nullptr)
        m_JackNode->Release();
    m_JackNode = nullptr;
}

NTSTATUS CUsbAudioTimedDevice::FillCapabilityRecord(PUSBDEVICEIO)
{
    m_CapabilityRecord = TimedCapabilityRecord();
    m_CapabilityRecord.CapabilityMask = m_Settings.CapabilityMask;
    return STATUS_SUCCESS;
}

PUSBDEVICEIO CUsbAudioTimedDevice::QueryUsbIo()
{
    PUSBDEVICEIO io = nullptr;
    if (!NT_SUCCESS(GetOuterUnknown()->QueryInterface(IID_IUsbDeviceIo, (PVOID*)&io)))
        return nullptr;
    return io;
}

NTSTATUS CUsbAudioTimedDevice::PrepareConfiguration(PUSBDEVICEIO io)
{
    m_Registers.Reset();
    TimedChipIdentity chip;
    NTSTATUS status = ReadTimedChipIdentity(io, &chip);
    if (!NT_SUCCESS(status))
        return status;
    ReadTimedSwitches(m_DeviceObject, &m_Settings.Switches);
    m_Settings.CapabilityMask = TimedCapabilityRecord().CapabilityMask;
    ApplyTimedDeviceOverrides(GetDeviceRecord().TimedTraits().Overrides, chip, &m_Settings);
    if (m_Settings.SetsRegister1)
        m_Registers.SetShadow(1, m_Settings.Register1);
    status = FillCapabilityRecord(io);
    PUSB_CONFIGURATION_DESCRIPTOR configuration = io->GetConfigurationDescriptor();
    if (NT_SUCCESS(status) && configuration == nullptr)
        status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status))
        status = RewriteTimedConfiguration(reinterpret_cast<PUCHAR>(configuration),
                                           configuration->wTotalLength, &m_Settings.Switches);
    return status;
}

NTSTATUS CUsbAudioTimedDevice::PostParse()
{
    PAGED_CODE();
    PUSBDEVICEIO io = QueryUsbIo();
    if (io == nullptr)
        return STATUS_UNSUCCESSFUL;
    NTSTATUS status = m_Registers.Refresh(io);
    io->Release();
    return status;
}

NTSTATUS CUsbAudioTimedDevice::WriteRegister(ULONG reg, USHORT value, USHORT mask)
{
    PAGED_CODE();
    if (reg >= TIMED_REGISTER_COUNT)
        return STATUS_UNSUCCESSFUL;
    if (mask == 0)
        return STATUS_SUCCESS;
    PUSBDEVICEIO io = QueryUsbIo();
    if (io == nullptr)
        return STATUS_UNSUCCESSFUL;
    NTSTATUS status = m_Registers.Write(io, reg, value, mask);
    io->Release();
    return status;
}

NTSTATUS
CUsbAudioTimedDevice::ParseAudioControl(struct _USB_INTERFACE_DESCRIPTOR* interfaceDescriptor,
                                        ULONG bytesToEnd)
{
    return ParseAudioControlTimed(this, interfaceDescriptor, bytesToEnd);
}

NTSTATUS
CUsbAudioTimedDevice::ParseAudioStreaming(struct _USB_CONFIGURATION_DESCRIPTOR* configuration,
                                          struct _USB_INTERFACE_DESCRIPTOR* firstStreamingInterface,
                                          ULONG bytesToEnd)
{
    return ParseAudioStreamingTimed(this, configuration, firstStreamingInterface, bytesToEnd);
}

// The chip has no interrupt endpoint: the base finds nothing to poll, and
// the jack timer runs in its place while the device is at full power.
NTSTATUS CUsbAudioTimedDevice::StartAllUnits()
{
    PAGED_CODE();
    NTSTATUS status = CUsbAudio1Device::StartAllUnits();
    return NT_SUCCESS(status) ? StartInterruptPolling() : status;
}

NTSTATUS CUsbAudioTimedDevice::StopAllUnits()
{
    PAGED_CODE();
    StopInterruptPolling();
    return CUsbAudio1Device::StopAllUnits();
}

NTSTATUS CUsbAudioTimedDevice::StartInterruptPolling()
{
    PAGED_CODE();
    if (!WantsJackTimer())
        return STATUS_SUCCESS;
    return m_JackTimer.Start(this);
}

NTSTATUS CUsbAudioTimedDevice::StopInterruptPolling()
{
    PAGED_CODE();
    m_JackTimer.Stop();
    return STATUS_SUCCESS;
}

void CUsbAudioTimedDevice::SetJackNode(CChainNode* node)
{
    if (node != nullptr)
        node->AddRef();
    if (m_JackNode != nullptr)
        m_JackNode->Release();
    m_JackNode = node;
}

void CUsbAudioTimedDevice::ApplyJackState(ULONG state)
{
    ForceLineMute(state == JACK_STATE_SENSED ? 1 : 0);
    if (m_JackNode != nullptr)
        m_JackNode->SetNodeMode(state);
}

// The switches can remove unit 11, and any device may name another unit 11:
// the unit is looked up and asked for its forced mute every time.
void CUsbAudioTimedDevice::ForceLineMute(UCHAR on)
{
    CAudioControl* unit = nullptr;
    if (!NT_SUCCESS(FindUnitByIdInDevice(TIMED_JACK_MUTE_UNIT, &unit)))
        return;
    PTIMEDFORCEDMUTE forced = nullptr;
    if (!NT_SUCCESS(unit->QueryInterface(IID_ITimedForcedMute, (PVOID*)&forced)))
        return;
    forced->SetForcedMute(on);
    forced->Release();
}
