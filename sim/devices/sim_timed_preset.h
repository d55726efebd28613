// The timed chip family as a simulated device: its configuration of the
// chip's fixed layout (playback of 8, 2, 4 and 6 channels and a single-rate
// 96 kHz setting through a mixer with two analog paths; recording from the
// microphone, line, S/PDIF and stereo-mix sources through a selector), its
// model string, its identification bytes, and the register file and jack
// sense behind its class requests; its playback runs at the rate a register
// names, not the class request's.
#pragma once

#include <memory>

#include "sim/devices/sim_vendor_presets.h"

// Entity ids, interfaces and endpoints of the layout.
namespace SimTimed
{
constexpr UCHAR UsbIn = 1, StereoMixRec = 2, Speaker = 3, MicIn = 5, LineIn = 6, SpdifIn = 7,
                MicRec = 8, MicAnalog = 9, LineAnalog = 11, Mixer = 12, Master = 13, StereoMix = 14,
                LineRec = 15, SpdifRec = 16, Selector = 17, UsbOut = 18;
constexpr UCHAR ControlInterface = 0, PlayInterface = 1, RecInterface = 2;
constexpr UCHAR PlayEndpoint = 0x01, RecEndpoint = 0x82;
// The product ids: a device of the family no list names, and the four
// listed devices.
constexpr USHORT Plain = 0x1600, FirstListed = 0x1601, SecondListed = 0x1602, ThirdListed = 0x1603,
                 FourthListed = 0x1604;
constexpr ULONG ConfigurationBytes = 509;
} // namespace SimTimed

// The configuration descriptor of the layout, as the chip sends it.
const std::vector<UCHAR>& SimTimedConfiguration();
// The device descriptor for a product id.
std::vector<UCHAR> SimTimedDeviceDescriptor(USHORT idProduct);

struct SimTimedDevice
{
    std::unique_ptr<SimUsbDevice> Device;
    std::shared_ptr<SimChipRegisters> Chip;
};
// A device of the family at full speed; `identified`: the chip answers the
// identification bytes of the family (0x9F, 3), else (0x9F, 2).
SimTimedDevice SimCreateTimedDevice(USHORT idProduct = SimTimed::Plain, bool identified = true);
