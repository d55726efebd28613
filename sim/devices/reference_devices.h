// The reference devices every test and the host program can name: complete
// descriptor sets written byte by byte, with the model state a real unit of
// each would have (clock rates, jacks).
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/devices/sim_usb_device.h"

enum class SimReference
{
    // Audio class 1.0, full speed: stereo speaker (16-bit at 48 or 44.1 kHz,
    // 24-bit at 48 kHz) and mono microphone, interrupt status endpoint.
    Uac1SpeakerMic,
    // Audio class 1.0, full speed: 7.1 output (and a stereo setting) through
    // a mixer unit that also takes a line input, a capture selector unit
    // between microphone and line input, continuous capture rates.
    Uac1Surround71,
    // Audio class 2.0, high speed: one clock source (44.1 to 192 kHz),
    // asynchronous playback with explicit feedback in 16- and 24-bit
    // settings, 16-bit capture, interrupt status endpoint.
    Uac2HighSpeed,
    // Audio class 2.0, high speed: S/PDIF output and a headphone output with
    // a connector control, line input with a connector control.
    Uac2Spdif
};

struct SimReferenceConfig
{
    const char* Name;
    EmuUsbSpeed Speed;
    std::vector<UCHAR> Device;
    std::vector<UCHAR> Configuration;
    std::map<UCHAR, std::u16string> Strings;
};

const SimReferenceConfig& SimReferenceDescriptors(SimReference which);
// A device built from the reference descriptors, with its model state set,
// on a connection of its own speed unless another is given.
std::unique_ptr<SimUsbDevice> SimCreateReferenceDevice(SimReference which,
                                                       std::optional<EmuUsbSpeed> speed = {});
// The reference descriptors in the text form the loader reads.
std::string SimReferenceText(SimReference which);

// Entity ids and endpoint addresses of the reference devices.
namespace SimRef1
{
constexpr UCHAR UsbIn = 1, FeaturePlay = 2, Speaker = 3, Microphone = 4, FeatureRec = 5, UsbOut = 6;
constexpr UCHAR ControlInterface = 0, PlayInterface = 1, RecInterface = 2;
constexpr UCHAR PlayEndpoint = 0x01, RecEndpoint = 0x82, StatusEndpoint = 0x83;
} // namespace SimRef1
namespace SimRef2
{
constexpr UCHAR UsbIn = 1, LineIn = 2, Mixer = 3, FeaturePlay = 4, Speaker = 5, Microphone = 6,
                Selector = 7, FeatureRec = 8, UsbOut = 9;
constexpr UCHAR ControlInterface = 0, PlayInterface = 1, RecInterface = 2;
constexpr UCHAR PlayEndpoint = 0x01, RecEndpoint = 0x82;
} // namespace SimRef2
namespace SimRef3
{
constexpr UCHAR Clock = 0x10, UsbIn = 1, FeaturePlay = 2, Speaker = 3, Microphone = 4,
                FeatureRec = 5, UsbOut = 6;
constexpr UCHAR ControlInterface = 0, PlayInterface = 1, RecInterface = 2;
constexpr UCHAR PlayEndpoint = 0x01, FeedbackEndpoint = 0x81, RecEndpoint = 0x82,
                StatusEndpoint = 0x83;
} // namespace SimRef3
namespace SimRef4
{
constexpr UCHAR Clock = 0x20, UsbIn = 1, FeaturePlay = 2, Spdif = 3, Headphones = 5, LineIn = 6,
                UsbOut = 7;
constexpr UCHAR ControlInterface = 0, PlayInterface = 1, RecInterface = 2;
constexpr UCHAR PlayEndpoint = 0x01, RecEndpoint = 0x82, StatusEndpoint = 0x83;
} // namespace SimRef4
