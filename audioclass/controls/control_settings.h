// Where controls keep their values in the device's "Settings" key: per
// channel under "Unit<id>_<mode>_<channel>" (the mode two wide, space
// padded), single values under "Unit<id>_".
#pragma once

#include "framework/registry_settings.h"

// Room for any value name these routines build, terminator included.
inline constexpr ULONG CONTROL_VALUE_NAME_CHARS = 32;

// "Unit03_ 2_1": control 3, mode 2, channel 1 (0 is the master).
NTSTATUS FormatChannelValueName(PWSTR name, ULONG controlId, ULONG mode, ULONG channel);
// "Unit03_": selectors, output types and pseudo controls.
NTSTATUS FormatSingleValueName(PWSTR name, ULONG controlId);

// Reads a stored value over *data (left as it is when there is none) or
// writes it; `bytes`: 1 for on/off and pseudo values, 4 for the others.
NTSTATUS ReadControlSetting(PDEVICE_OBJECT deviceObject, PCWSTR name, PVOID data, ULONG bytes);
NTSTATUS WriteControlSetting(PDEVICE_OBJECT deviceObject, PCWSTR name, const void* data,
                             ULONG bytes);
