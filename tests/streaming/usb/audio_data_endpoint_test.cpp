// The data endpoint of an AudioStreaming setting: the isochronous data
// endpoint with its class-specific descriptor, never a feedback endpoint nor
// a synch endpoint another endpoint names, wherever they stand; a setting's
// descriptors end at the next interface descriptor and at bytes that do not
// hold a whole descriptor.
#include <gtest/gtest.h>

#include <vector>

#include "streaming/usb/audio_data_endpoint.h"

namespace
{
using Bytes = std::vector<UCHAR>;

const Bytes kSetting = {9, 4, 1, 1, 2, 1, 2, 0, 0};
const Bytes kNextSetting = {9, 4, 1, 2, 1, 1, 2, 0, 0};
const Bytes kClassEndpoint = {7, 0x25, 1, 1, 0, 0, 0};

// A class 1.0 endpoint, naming `synch` as its synch endpoint.
Bytes Endpoint(UCHAR address, UCHAR attributes, UCHAR synch = 0)
{
    return {9, 5, address, attributes, 0x60, 0, 1, 0, synch};
}

// A class 2.0 endpoint.
Bytes Endpoint7(UCHAR address, UCHAR attributes)
{
    return {7, 5, address, attributes, 0x60, 0, 1};
}

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}
} // namespace

TEST(AudioDataEndpoint, TheEndpointThatCarriesTheAudio)
{
    constexpr UCHAR kAdaptive = 0x09, kAsync = 0x05, kSynch = 0x01, kFeedback = 0x11,
                    kImplicit = 0x25, kReserved = 0x31, kInterrupt = 0x03;
    const struct
    {
        const char* What;
        Bytes Setting;
        UCHAR Address;  // 0: none
        size_t Cut = 0; // bytes left off the end
    } cases[] = {
        {"data endpoint", Join({kSetting, Endpoint(0x01, kAdaptive), kClassEndpoint}), 0x01},
        {"explicit feedback first",
         Join({kSetting, Endpoint7(0x81, kFeedback), Endpoint(0x01, kAsync), kClassEndpoint}),
         0x01},
        {"synch endpoint first, named by the data endpoint",
         Join({kSetting, Endpoint(0x81, kSynch), Endpoint(0x01, kAsync, 0x81), kClassEndpoint}),
         0x01},
        {"named synch endpoint, no class-specific descriptor",
         Join({kSetting, Endpoint(0x81, kSynch), Endpoint(0x01, kAsync, 0x81)}), 0x01},
        {"an endpoint naming itself",
         Join({kSetting, Endpoint(0x01, kAsync, 0x01), kClassEndpoint}), 0x01},
        {"the second with its class-specific descriptor",
         Join({kSetting, Endpoint(0x02, kAdaptive), Endpoint(0x01, kAdaptive), kClassEndpoint}),
         0x01},
        {"none with a class-specific descriptor: the first",
         Join({kSetting, Endpoint(0x02, kAdaptive), Endpoint(0x01, kAdaptive)}), 0x02},
        {"implicit feedback data", Join({kSetting, Endpoint7(0x81, kImplicit), kClassEndpoint}),
         0x81},
        {"feedback only", Join({kSetting, Endpoint7(0x81, kFeedback), kClassEndpoint}), 0},
        {"reserved usage", Join({kSetting, Endpoint7(0x81, kReserved), kClassEndpoint}), 0},
        {"interrupt endpoint first",
         Join({kSetting, Endpoint7(0x83, kInterrupt), kClassEndpoint, Endpoint(0x01, kAdaptive)}),
         0x01},
        {"endpoints of the next setting",
         Join({kSetting, kNextSetting, Endpoint(0x01, kAdaptive), kClassEndpoint}), 0},
        {"endpoint cut short", Join({kSetting, Endpoint(0x01, kAdaptive)}), 0, 1},
        {"class-specific descriptor cut short",
         Join({kSetting, Endpoint(0x01, kAdaptive), kClassEndpoint}), 0x01, 1},
        {"endpoint of 6 bytes", Join({kSetting, {6, 5, 0x01, kAdaptive, 0x60, 0}, kClassEndpoint}),
         0},
        {"descriptor of length 0 first",
         Join({kSetting, {0, 0x24}, Endpoint(0x01, kAdaptive), kClassEndpoint}), 0},
    };
    for (const auto& c : cases)
    {
        const UCHAR* end = c.Setting.data() + c.Setting.size() - c.Cut;
        const USB_ENDPOINT_DESCRIPTOR* found = FindAudioDataEndpoint(c.Setting.data(), end);
        EXPECT_EQ(c.Address, found != nullptr ? found->bEndpointAddress : 0) << c.What;
    }
    EXPECT_EQ(nullptr, FindAudioDataEndpoint(kSetting.data(), kSetting.data() + 8));
}
