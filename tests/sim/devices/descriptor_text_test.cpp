// The text loader and the descriptor checks refuse what a host could not
// enumerate, naming the fault.
#include <gtest/gtest.h>

#include "sim/devices/ReferenceDevices.h"

namespace
{
const char* kDevice = "12 01 10 01 00 00 00 40 54 4C 99 10 00 01 00 00 00 01\n";
std::string Config(const std::string& totalLow, const std::string& interfaces,
                   const std::string& body)
{
    return "09 02 " + totalLow + " 00 " + interfaces + " 01 00 80 32\n" + body;
}

std::string LoadError(const std::string& text)
{
    std::string error;
    auto d = SimUsbDevice::CreateFromText(text, EmuUsbSpeed::Full, &error);
    return d ? std::string() : error;
}
} // namespace

TEST(DescriptorText, SmallestDeviceLoads)
{
    std::string text = std::string("# one vendor interface\n") + kDevice +
                       Config("12", "01", "09 04 00 00 00 FF 00 00 00  # no endpoints\n") +
                       "string 1 \"Acme # not a comment\"\n";
    std::vector<UCHAR> device, config;
    std::map<UCHAR, std::u16string> strings;
    ASSERT_EQ(SimParseDescriptorText(text, &device, &config, &strings), "");
    EXPECT_EQ(config.size(), 18u);
    EXPECT_EQ(strings.at(1), u"Acme # not a comment");
    EXPECT_EQ(LoadError(text), "");
}

TEST(DescriptorText, LinesAreCheckedStrictly)
{
    std::string good = Config("12", "01", "09 04 00 00 00 FF 00 00 00\n");
    EXPECT_EQ(LoadError(std::string(kDevice) + Config("12", "01", "09 04 00 00 00 FF 00 00\n")),
              "line 3: bLength differs from the bytes on the line");
    EXPECT_EQ(LoadError(std::string(kDevice) + Config("12", "01", "09 04 00 00 00 FF 00 00 0G\n")),
              "line 3: bytes must be two hex digits each");
    EXPECT_EQ(LoadError(good), "line 1: the first descriptor must be the device descriptor");
    EXPECT_EQ(LoadError(std::string(kDevice) + "09 04 00 00 00 FF 00 00 00\n"),
              "line 2: the configuration descriptor must follow the device descriptor");
    EXPECT_EQ(LoadError(std::string(kDevice) + good + "string 0 \"x\"\n"),
              "line 4: string index must be 1 to 255");
    EXPECT_EQ(LoadError(std::string(kDevice) + good + "string 3 x\n"),
              "line 4: string text must be one quoted text");
    EXPECT_EQ(LoadError(kDevice), "text holds no device or no configuration descriptor");
}

TEST(DescriptorText, ConfigurationContentIsChecked)
{
    // wTotalLength one byte too many
    EXPECT_EQ(LoadError(std::string(kDevice) + Config("13", "01", "09 04 00 00 00 FF 00 00 00\n")),
              "configuration offset 2: wTotalLength differs from the bytes given");
    // bNumInterfaces says two
    EXPECT_EQ(LoadError(std::string(kDevice) + Config("12", "02", "09 04 00 00 00 FF 00 00 00\n")),
              "configuration offset 4: bNumInterfaces differs from the interfaces present");
    // an interface announcing an endpoint it does not have
    EXPECT_EQ(LoadError(std::string(kDevice) + Config("12", "01", "09 04 00 00 01 FF 00 00 00\n")),
              "configuration offset 18: last interface has fewer endpoints than bNumEndpoints");
    // endpoint 0 inside an interface
    EXPECT_EQ(LoadError(std::string(kDevice) +
                        Config("19", "01", "09 04 00 00 01 FF 00 00 00\n07 05 00 02 40 00 00\n")),
              "configuration offset 18: bEndpointAddress not 1 to 15 with the direction bit");
    // a full-speed isochronous endpoint larger than 1023 bytes
    EXPECT_EQ(LoadError(std::string(kDevice) +
                        Config("19", "01", "09 04 00 00 01 FF 00 00 00\n07 05 01 01 00 04 01\n")),
              "configuration offset 18: isochronous wMaxPacketSize too large");
    // the device names a string that is not given
    std::string named = kDevice;
    named.replace(42, 2, "05");
    EXPECT_EQ(LoadError(named + Config("12", "01", "09 04 00 00 00 FF 00 00 00\n")),
              "device descriptor names a string that is not given");
}

TEST(DescriptorText, AudioControlTotalMustMatch)
{
    const SimReferenceConfig& r = SimReferenceDescriptors(SimReference::Uac1SpeakerMic);
    std::vector<UCHAR> config = r.Configuration;
    config[9 + 9 + 5] = 0x48; // AC header wTotalLength 72 instead of 71
    std::string error;
    EXPECT_EQ(SimUsbDevice::Create(r.Device, config, r.Strings, r.Speed, &error), nullptr);
    EXPECT_EQ(error, "configuration offset 18: AudioControl header wTotalLength differs from its "
                     "class-specific descriptors");
    // A 1.1 device cannot be run at high speed.
    EXPECT_EQ(SimUsbDevice::Create(r.Device, r.Configuration, r.Strings, EmuUsbSpeed::High, &error),
              nullptr);
    EXPECT_EQ(error, "a USB 1.1 device cannot run at high speed");
}
