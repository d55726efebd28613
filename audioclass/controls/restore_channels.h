// Which channels of a level or on/off control hold a value worth sending
// back to the device after power-up: one the device gave, one set since, or
// one restored from "Settings"; and whether it is the device's own value, as
// read from it, or one the driver chose. A channel the device declares
// read-only is never sent, and one whose value was never known is not sent
// as a default (a level of 0 dB may be far louder than the device's own
// setting).
#pragma once

#include "platform/kernel/kernel.h"

inline constexpr ULONG RESTORE_CHANNELS_POOL_TAG = POOL_TAG("RsTg");

class CRestoreChannels
{
  public:
    CRestoreChannels() = default;
    ~CRestoreChannels();
    CRestoreChannels(const CRestoreChannels&) = delete;
    CRestoreChannels& operator=(const CRestoreChannels&) = delete;

    // Every channel unknown and writable.
    NTSTATUS Init(ULONG channels);
    // A value the driver chose (a set, or "Settings").
    void MarkKnown(ULONG channel) { Mark(channel, c_Known, c_DeviceOwn); }
    // The device's own value, as it was read from the device.
    void MarkDeviceOwn(ULONG channel) { Mark(channel, c_Known | c_DeviceOwn, 0); }
    void MarkReadOnly(ULONG channel) { Mark(channel, c_ReadOnly, 0); }
    // Known and writable.
    bool Restorable(ULONG channel) const;
    // Known, and last read from the device rather than chosen by the driver.
    bool DeviceOwn(ULONG channel) const;

  private:
    static constexpr UCHAR c_Known = 1;
    static constexpr UCHAR c_ReadOnly = 2;
    static constexpr UCHAR c_DeviceOwn = 4;
    void Mark(ULONG channel, UCHAR set, UCHAR clear);

    PUCHAR m_Flags = nullptr;
    ULONG m_Count = 0;
};
