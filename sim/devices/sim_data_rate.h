// The rate a class 1.0 endpoint that is never told its rate locks to: the
// one its data arrives at, among the rates the driver can offer its setting.
#pragma once

#include <vector>

#include "sim/devices/sim_descriptor_set.h"

// The rates the driver can offer a class 1.0 setting: its format's discrete
// list, or the standard rates its continuous range holds, within 0.5% of a
// bound, the bounds in either order; none for a format it cannot read.
std::vector<ULONG> SimOfferedRates(const std::vector<UCHAR>& config, const SimAltSetting& alt);

// The offered rate nearest to `measured` (Hz); 0 where `measured` lies
// farther than 0.5% from every one.
ULONG SimLockedRate(const std::vector<ULONG>& offered, ULONG measured);
