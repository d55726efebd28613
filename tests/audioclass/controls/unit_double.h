// A unit double for the controls and chain nodes: it answers the on/off,
// level and selector requests from values the test sets and logs what the
// controls send.
#pragma once

#include <string>
#include <vector>

#include "audioclass/controls/uac_unit.h"

struct FakeUnitScript
{
    ULONG Channels = 2;
    LONG Maximum = 0, Minimum = 0, Resolution = 0;
    std::vector<LONG> Levels = std::vector<LONG>(9, 0);
    std::vector<UCHAR> Booleans = std::vector<UCHAR>(9, 0);
    NTSTATUS SetStatus = STATUS_SUCCESS;
    ULONG UnreadChannels = 0;   // bit c: the get of channel c fails
    ULONG ReadOnlyChannels = 0; // bit c: the device declares channel c read-only
    ULONG Inputs = 4, Current = 1;
    std::vector<std::string> Log; // "level 2 0 -256", "boolean 1 0 1", "select 3"
};

// A unit with id `id` whose requests follow the script.
CUacUnit* MakeFakeUnit(FakeUnitScript* script, ULONG id = 9);
