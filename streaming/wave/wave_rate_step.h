// Bytes of the wave stream's cyclic buffer that correspond to bytes the USB
// stream moved in another format: whole milliseconds of the device's byte
// rate become milliseconds of the host's, each rate's fraction of a byte per
// millisecond carried over from step to step. 32-bit unsigned arithmetic
// throughout: the device byte remainder may drop one below zero and wraps
// back with the next step's sum.
#pragma once

#include "platform/kernel/kernel.h"

struct WaveRateStep
{
    ULONG DeviceByteRemainder;
    ULONG HostBytesPerMs;
    ULONG HostRemainderPerMs; // 0..999
    ULONG HostCarry;
    ULONG DeviceBytesPerMs;
    ULONG DeviceRemainderPerMs;
    ULONG DeviceCarry;

    // The host's byte rate; its carry restarts.
    void SetHost(ULONG hostBytesPerSecond);
    // The device's byte rate; its carry and byte remainder restart.
    void SetDevice(ULONG deviceBytesPerSecond);
    // The host bytes of `deviceBytes` bytes the device moved.
    ULONG HostBytes(ULONG deviceBytes);
};
