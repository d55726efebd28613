// The text form of a device's descriptors, as captured from hardware.
#pragma once

#include <string>

#include "sim/devices/sim_descriptor_set.h"

// Reads descriptors from text: one descriptor a line in hex bytes (the device
// descriptor first, then each configuration descriptor followed by what that
// configuration holds), string descriptors as `string <index> "<text>"`, the
// connection's speed as `speed full` or `speed high`, the rates of the
// class 2.0 clock sources as `clock-rates 44100 48000`, and `#` comments. Only
// what no device could send is refused: a line whose bLength differs from its
// bytes, or a configuration whose lines do not add up to its wTotalLength.
// An empty result means success, else the line and the fault.
std::string SimParseDescriptorText(const std::string& text, SimDescriptorSource* source);
