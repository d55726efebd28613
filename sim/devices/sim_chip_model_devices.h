// Devices of the chip maker's three audio class 1.0 chip models, as tests
// and the host program plug them: each names its model in its model string,
// so that the driver picks the model's device class. Models A and B share
// one layout whose feature units 9, 10 and 13 are the chip's reduced units
// (their volume values on the chip's own step scale); model C is the
// speaker-and-microphone reference layout with a pseudo-control table for
// the effects on its playback feature unit.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/devices/sim_usb_device.h"

enum class SimChipModel
{
    A,
    B,
    C
};

// "ChipModelA", "ChipModelB", "ChipModelC".
const char* SimChipModelName(SimChipModel model);
std::vector<std::string> SimChipModelNames();
// The model of a name, or none.
std::optional<SimChipModel> SimChipModelNamed(const std::string& name);

// The configuration descriptor of a model, for tests that change it.
std::vector<UCHAR> SimChipModelConfiguration(SimChipModel model);
// The device of a model; idVendor replaces the family's 0x4C54 (model B's
// headphone rewrite depends on it), `configuration` the model's own.
std::unique_ptr<SimUsbDevice>
SimCreateChipModelDevice(SimChipModel model, std::optional<EmuUsbSpeed> speed = {},
                         USHORT idVendor = 0x4C54,
                         const std::vector<UCHAR>* configuration = nullptr);

// Entity ids and interfaces of the A and B layout: playback 1 -> 9 -> 13 ->
// speaker 6, capture microphone 4 -> 10 -> 7.
namespace SimChipAB
{
constexpr UCHAR UsbIn = 1, FeaturePlay = 9, FeatureLevel = 13, Speaker = 6, Microphone = 4,
                FeatureRec = 10, UsbOut = 7;
constexpr UCHAR ControlInterface = 0, PlayInterface = 1, RecInterface = 2;
} // namespace SimChipAB
