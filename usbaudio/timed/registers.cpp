#include "usbaudio/timed/registers.h"

#include "audioclass/requests/control_transfer.h"
#include "usbaudio/device/endpoint_capabilities.h"
#include "usbaudio/device/usb_audio_device.h"

namespace
{
constexpr TimedRegister c_PowerOn[TIMED_REGISTER_COUNT] = {
    {0x2004, TIMED_REGISTER_REFRESH}, {0x3002, TIMED_REGISTER_REFRESH},
    {0xF800, TIMED_REGISTER_REFRESH}, {0x143F, TIMED_REGISTER_REFRESH},
    {0x0000, TIMED_REGISTER_REFRESH}, {0x3000, TIMED_REGISTER_REFRESH}};

constexpr UCHAR c_RegisterWriteTag = 0x20;
constexpr USHORT c_ChipInterface = 3;
constexpr ControlRequest c_RegisterWrite = {URB_FUNCTION_CLASS_INTERFACE, FALSE, 0x09, 0x0200,
                                            c_ChipInterface};
constexpr ControlRequest c_JackState = {URB_FUNCTION_CLASS_INTERFACE, TRUE, 0x01, 0x0100,
                                        c_ChipInterface};
// Identification: wIndex 9 first, then 8.
constexpr ControlRequest c_ChipIdentity[] = {{URB_FUNCTION_VENDOR_OTHER, TRUE, 0x81, 0, 9},
                                             {URB_FUNCTION_VENDOR_OTHER, TRUE, 0x81, 0, 8}};

// Register 5's start sequence.
constexpr ULONG c_StartRegister = 5;
constexpr USHORT c_StartBits = 0x3000;
constexpr LONGLONG c_StartPause100ns = 10000; // 1 ms

PURB AllocateRequestBlock(ULONG tag)
{
    return static_cast<PURB>(ExAllocatePoolWithTag(
        NonPagedPool, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), tag));
}
} // namespace

void BuildTimedRegisterRequest(ULONG reg, USHORT value, UCHAR (&data)[TIMED_REGISTER_REQUEST_BYTES])
{
    data[0] = c_RegisterWriteTag;
    data[1] = (UCHAR)value;
    data[2] = (UCHAR)(value >> 8);
    data[3] = (UCHAR)reg;
}

NTSTATUS ReadTimedChipIdentity(PUSBDEVICEIO io, TimedChipIdentity* identity)
{
    PAGED_CODE();
    PURB urb = AllocateRequestBlock(CAPABILITY_POOL_TAG);
    if (urb == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    UCHAR bytes[2] = {};
    ULONG moved = 0;
    // A chip that does not answer the first request is told by the second.
    SubmitControlRequest(io, urb, c_ChipIdentity[0], &bytes[0], 1, &moved);
    NTSTATUS status = SubmitControlRequest(io, urb, c_ChipIdentity[1], &bytes[1], 1, &moved);
    ExFreePoolWithTag(urb, CAPABILITY_POOL_TAG);
    identity->Index9 = bytes[0];
    identity->Index8 = bytes[1];
    return status;
}

NTSTATUS ReadTimedJackSense(PUSBDEVICEIO io, PURB urb, bool* sensed)
{
    UCHAR state[TIMED_JACK_STATE_BYTES] = {};
    ULONG moved = 0;
    NTSTATUS status = SubmitControlRequest(io, urb, c_JackState, state, sizeof(state), &moved);
    // The sense bit is in the first byte: a reply without it says nothing.
    if (NT_SUCCESS(status) && moved == 0)
        status = STATUS_DEVICE_DATA_ERROR;
    if (NT_SUCCESS(status))
        *sensed = (state[0] & TIMED_JACK_SENSE_BIT) != 0;
    return status;
}

void CTimedRegisterFile::Reset()
{
    for (ULONG r = 0; r < TIMED_REGISTER_COUNT; ++r)
        m_Registers[r] = c_PowerOn[r];
}

void CTimedRegisterFile::SetShadow(ULONG reg, USHORT value)
{
    if (reg < TIMED_REGISTER_COUNT)
        m_Registers[reg].Value = value;
}

TimedRegister CTimedRegisterFile::Shadow(ULONG reg) const
{
    return reg < TIMED_REGISTER_COUNT ? m_Registers[reg] : TimedRegister{0, 0};
}

NTSTATUS CTimedRegisterFile::Send(PUSBDEVICEIO io, ULONG reg, USHORT value)
{
    PURB urb = AllocateRequestBlock(TIMED_POOL_TAG);
    if (urb == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    UCHAR data[TIMED_REGISTER_REQUEST_BYTES];
    BuildTimedRegisterRequest(reg, value, data);
    NTSTATUS status = SubmitControlRequest(io, urb, c_RegisterWrite, data, sizeof(data), nullptr);
    ExFreePoolWithTag(urb, TIMED_POOL_TAG);
    return status;
}

NTSTATUS CTimedRegisterFile::Write(PUSBDEVICEIO io, ULONG reg, USHORT value, USHORT mask)
{
    PAGED_CODE();
    if (reg >= TIMED_REGISTER_COUNT)
        return STATUS_UNSUCCESSFUL;
    if (mask == 0)
        return STATUS_SUCCESS;
    if (io == nullptr)
        return STATUS_INVALID_PARAMETER;
    m_Lock.Lock();
    NTSTATUS status = WriteHeld(io, reg, value, mask);
    m_Lock.Unlock();
    return status;
}

NTSTATUS CTimedRegisterFile::WriteHeld(PUSBDEVICEIO io, ULONG reg, USHORT value, USHORT mask)
{
    TimedRegister& shadow = m_Registers[reg];
    const USHORT next =
        mask == TIMED_FULL_MASK ? value : (USHORT)((shadow.Value & ~mask) | (value & mask));
    NTSTATUS status = Send(io, reg, next);
    if (NT_SUCCESS(status))
    {
        shadow.Value = next;
        shadow.Flags &= (UCHAR)~TIMED_REGISTER_PENDING;
    }
    return status;
}

NTSTATUS CTimedRegisterFile::Refresh(PUSBDEVICEIO io)
{
    PAGED_CODE();
    NTSTATUS status = Write(io, c_StartRegister, 0, c_StartBits);
    if (!NT_SUCCESS(status))
        return status;
    LARGE_INTEGER pause;
    pause.QuadPart = -c_StartPause100ns;
    KeDelayExecutionThread(KernelMode, FALSE, &pause);
    status = Write(io, c_StartRegister, c_StartBits, c_StartBits);
    for (ULONG r = 0; r < TIMED_REFRESHED_REGISTERS && NT_SUCCESS(status); ++r)
    {
        // The shadow is read under the lock: a write in between keeps its bits.
        m_Lock.Lock();
        if ((m_Registers[r].Flags & TIMED_REGISTER_REFRESH) != 0)
            status = WriteHeld(io, r, m_Registers[r].Value, TIMED_FULL_MASK);
        m_Lock.Unlock();
    }
    return status;
}
