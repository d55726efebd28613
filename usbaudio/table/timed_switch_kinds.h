// The timed family's switch kinds and what a listed device overrides of
// them: the device table names them in its rows, and the timed class reads
// and applies them (usbaudio/timed/switches.h).
#pragma once

#include "platform/io/io.h"

enum TimedSwitch : ULONG
{
    DisableMicInTerminal,
    DisableLineInTerminal,
    DisableSpdifInTerminal,
    DisableMicInAAUnit,
    DisableLineInAAUnit,
    DisableMicInRecUnit,
    DisableLineInRecUnit,
    DisableStereoMixRecUnit,
    SupportHPOut,
    SupportSpdifOut,
    Disable2ChOutSupported,
    Disable4ChOutSupported,
    Disable6ChOutSupported,
    Disable8ChOutSupported,
    TIMED_SWITCH_COUNT
};

constexpr ULONG SwitchBit(TimedSwitch s)
{
    return 1u << s;
}

// A headphone and an S/PDIF output.
inline constexpr ULONG TIMED_OUTPUT_SWITCHES = SwitchBit(SupportHPOut) | SwitchBit(SupportSpdifOut);

// What a listed device (or, for the others, any identified chip) changes
// before the descriptor is rewritten: switches turned on and off, the
// capability mask when SetsMask, the jack timer and register 1. A row that
// needs an identified chip leaves a device without one as "Settings" made it.
struct TimedOverride
{
    BOOLEAN NeedsIdentity = FALSE;
    ULONG SwitchesOn = 0;
    ULONG SwitchesOff = 0;
    BOOLEAN SetsMask = FALSE;
    ULONG CapabilityMask = 0;
    BOOLEAN WantsTimer = FALSE;
    BOOLEAN SetsRegister1 = FALSE;
    USHORT Register1 = 0;
};
