// The timed family's chip requests: its identification bytes, the jack
// state, and the six 16-bit registers written with a class request. The
// chip cannot be read back, so the driver keeps a shadow of every register:
// a masked write combines the shadow with the new bits. One lock covers the
// read of the shadow, the request and the update, so that writers on the
// jack timer's thread, the property handlers and the return to full power
// never lose each other's bits.
#pragma once

#include "framework/adapter_interfaces.h"
#include "framework/sync_mutex.h"
#include "usbaudio/timed/switches.h"

inline constexpr ULONG TIMED_REGISTER_COUNT = 6;
// The refresh after the parse writes the registers below this one.
inline constexpr ULONG TIMED_REFRESHED_REGISTERS = 5;
inline constexpr UCHAR TIMED_REGISTER_REFRESH = 0x02; // flag: written at refresh
inline constexpr UCHAR TIMED_REGISTER_PENDING = 0x01; // flag: cleared by every write
inline constexpr USHORT TIMED_FULL_MASK = 0xFFFF;
inline constexpr ULONG TIMED_REGISTER_REQUEST_BYTES = 4;
inline constexpr ULONG TIMED_JACK_STATE_BYTES = 3;
inline constexpr UCHAR TIMED_JACK_SENSE_BIT = 0x10;

struct TimedRegister
{
    USHORT Value;
    UCHAR Flags;
};

// The register write's data stage: {0x20, value low, value high, register}.
void BuildTimedRegisterRequest(ULONG reg, USHORT value,
                               UCHAR (&data)[TIMED_REGISTER_REQUEST_BYTES]);

// Both identification requests; the first one's failure is ignored, the
// second one's is returned.
NTSTATUS ReadTimedChipIdentity(PUSBDEVICEIO io, TimedChipIdentity* identity);
// One jack-state request through the caller's URB; *sensed: the jack-sense bit.
NTSTATUS ReadTimedJackSense(PUSBDEVICEIO io, PURB urb, bool* sensed);

class CTimedRegisterFile
{
  public:
    CTimedRegisterFile() { Reset(); }

    // The power-on values, every one marked for the refresh.
    void Reset();
    // Replaces a shadow value before anything is written (a listed device's
    // own start value).
    void SetShadow(ULONG reg, USHORT value);
    TimedRegister Shadow(ULONG reg) const;

    // mask 0: nothing is sent; 0xFFFF: the value as it is; else the shadow's
    // other bits with the value's bits under the mask. The shadow changes
    // only after the device took the write.
    NTSTATUS Write(PUSBDEVICEIO io, ULONG reg, USHORT value, USHORT mask);
    // The chip's start sequence: register 5's bits 12 and 13 cleared, then
    // set again after 1 ms; then every register marked for the refresh.
    NTSTATUS Refresh(PUSBDEVICEIO io);

  private:
    NTSTATUS Send(PUSBDEVICEIO io, ULONG reg, USHORT value);
    // Under the lock.
    NTSTATUS WriteHeld(PUSBDEVICEIO io, ULONG reg, USHORT value, USHORT mask);

    TimedRegister m_Registers[TIMED_REGISTER_COUNT];
    CSyncMutex m_Lock;
};
