// Starting the adapter on a class 1.0 device whose configuration descriptor
// is given whole, for the fuzz target and its short run in the tests: the
// speaker-and-microphone reference device with another configuration.
#pragma once

#include <random>
#include <vector>

#include "platform/kernel/nt_types.h"

// False when the simulated device cannot send such a configuration (its
// descriptors do not add up); else *status is the start's result. The
// device is removed again before it returns.
bool StartUac1FromConfiguration(const std::vector<UCHAR>& configuration, NTSTATUS* status);

// One to three changes to a configuration: a byte set to a random or an
// edge value, a descriptor's length moved, or the end cut off; the
// configuration's total length follows.
std::vector<UCHAR> MutateConfiguration(std::vector<UCHAR> configuration, std::mt19937& random);
