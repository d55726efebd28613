// The timed family's switches: which inputs, outputs, analog paths and
// playback channel counts the device shows. They come from "Settings" over
// their presets, then from the chip's identity and the listed devices, and
// decide how the configuration descriptor is cut before it is parsed.
#pragma once

#include "platform/io/io.h"
#include "usbaudio/table/timed_switch_kinds.h"

// One byte each: 0, or the low byte of the registry value.
struct TimedSwitches
{
    UCHAR Value[TIMED_SWITCH_COUNT] = {};

    bool Has(TimedSwitch s) const { return Value[s] != 0; }
    void Set(TimedSwitch s, UCHAR value = 1) { Value[s] = value; }
    // Every switch of the bit set is on (none / not all: negate).
    bool HasAll(ULONG bits) const;
    bool HasAny(ULONG bits) const;
    void SetBits(ULONG bits, UCHAR value);
};

// The chip's identification bytes (vendor requests to wIndex 9 and 8).
struct TimedChipIdentity
{
    UCHAR Index9 = 0;
    UCHAR Index8 = 0;
    bool Identified() const;
};

// What a device's identity changes before the descriptor is rewritten.
struct TimedDeviceSettings
{
    TimedSwitches Switches;
    ULONG CapabilityMask = 0;
    BOOLEAN WantsTimer = FALSE;
    BOOLEAN SetsRegister1 = FALSE;
    USHORT Register1 = 0;
};

// The presets, then each switch's 4-byte value of "Settings" where present.
void ReadTimedSwitches(PDEVICE_OBJECT settingsKey, TimedSwitches* switches);
// The device's overrides, then the rule that without two-channel playback
// there is neither a headphone nor an S/PDIF output.
void ApplyTimedDeviceOverrides(const TimedOverride& overrides, const TimedChipIdentity& chip,
                               TimedDeviceSettings* settings);
// What one switch implies for the others (a terminal that is gone takes its
// paths with it).
void ApplyTimedSwitchConsequences(TimedSwitches* switches);
