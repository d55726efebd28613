// The data endpoint of an AudioStreaming setting: an isochronous data
// endpoint, the one with its class-specific descriptor first, never a
// feedback endpoint nor a named synch endpoint, within the setting's bytes.
#include <gtest/gtest.h>

#include <vector>

#include "streaming/usb/audio_data_endpoint.h"

namespace
{
using Bytes = std::vector<UCHAR>;

const Bytes kSetting = {9, 4, 1, 1, 2, 1, 2, 0, 0};
const Bytes kClassEndpoint = {7, 0x25, 1, 1, 0, 0, 0};

// A class 1.0 endpoint naming `synch` as its synch endpoint; of 7 bytes, a
// class 2.0 endpoint.
Bytes Endpoint(UCHAR address, UCHAR attributes, UCHAR synch = 0, UCHAR length = 9)
{
    Bytes d = {length, 5, address, attributes, 0x60, 0, 1, 0, synch};
    d.resize(length);
    return d;
}
} // namespace

TEST(AudioDataEndpoint, TheEndpointThatCarriesTheAudio)
{
    constexpr UCHAR kAdaptive = 0x09, kAsync = 0x05, kSynch = 0x01, kFeedback = 0x11,
                    kImplicit = 0x25, kReserved = 0x31, kInterrupt = 0x03;
    const struct
    {
        const char* What;
        std::vector<Bytes> Descriptors; // after the setting's interface descriptor
        UCHAR Address;                  // 0: none
        size_t Cut = 0;                 // bytes left off the end
    } cases[] = {
        {"synch endpoint first", {Endpoint(0x81, kSynch), Endpoint(0x01, kAsync, 0x81)}, 0x01},
        {"an endpoint naming itself", {Endpoint(0x01, kAsync, 0x01), kClassEndpoint}, 0x01},
        {"the second with its class-specific descriptor",
         {Endpoint(0x02, kAdaptive), Endpoint(0x01, kAdaptive), kClassEndpoint},
         0x01},
        {"none with a class-specific descriptor: the first",
         {Endpoint(0x02, kAdaptive), Endpoint(0x01, kAdaptive)},
         0x02},
        {"implicit feedback data", {Endpoint(0x81, kImplicit, 0, 7), kClassEndpoint}, 0x81},
        {"explicit feedback", {Endpoint(0x81, kFeedback, 0, 7), kClassEndpoint}, 0},
        {"reserved usage", {Endpoint(0x81, kReserved, 0, 7), kClassEndpoint}, 0},
        {"interrupt endpoint first",
         {Endpoint(0x83, kInterrupt, 0, 7), kClassEndpoint, Endpoint(0x01, kAdaptive)},
         0x01},
        {"endpoints of the next setting",
         {{9, 4, 1, 2, 1, 1, 2, 0, 0}, Endpoint(0x01, kAdaptive), kClassEndpoint},
         0},
        // Read past its 7 bytes, the feedback endpoint would name 0x04 its synch.
        {"a 7-byte feedback endpoint before an interface descriptor",
         {Endpoint(0x04, kAsync, 0, 7), kClassEndpoint, Endpoint(0x84, kFeedback, 0, 7), kSetting},
         0x04},
        {"endpoint cut short", {Endpoint(0x01, kAdaptive)}, 0, 1},
        {"class descriptor cut short", {Endpoint(0x01, kAdaptive), kClassEndpoint}, 0x01, 1},
        {"endpoint of 6 bytes", {Endpoint(0x01, kAdaptive, 0, 6), kClassEndpoint}, 0},
        {"descriptor of length 0 first", {{0, 0x24}, Endpoint(0x01, kAdaptive), kClassEndpoint}, 0},
    };
    for (const auto& c : cases)
    {
        Bytes setting = kSetting;
        for (const Bytes& d : c.Descriptors)
            setting.insert(setting.end(), d.begin(), d.end());
        const USB_ENDPOINT_DESCRIPTOR* found =
            FindAudioDataEndpoint(setting.data(), setting.data() + setting.size() - c.Cut);
        EXPECT_EQ(c.Address, found != nullptr ? found->bEndpointAddress : 0) << c.What;
    }
    EXPECT_EQ(nullptr, FindAudioDataEndpoint(kSetting.data(), kSetting.data() + 8));
}
