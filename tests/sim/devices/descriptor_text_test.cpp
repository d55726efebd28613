// The text loader and the descriptor checks refuse what a host could not
// enumerate, naming the fault.
#include <gtest/gtest.h>

#include <unistd.h>

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

TEST(DescriptorText, AudioControlEntityNeedsItsId)
{
    // A class-specific AudioControl descriptor of an unknown subtype that
    // ends before its entity id, last in the configuration.
    std::string text = std::string(kDevice) + Config("1D", "01",
                                                     "09 04 00 00 00 01 01 00 00\n"
                                                     "08 24 01 00 01 0B 00 00\n"
                                                     "03 24 09\n");
    EXPECT_EQ(LoadError(text), "configuration offset 26: AudioControl descriptor shorter than its "
                               "subtype");
    // With its id it loads.
    text = std::string(kDevice) + Config("1E", "01",
                                         "09 04 00 00 00 01 01 00 00\n"
                                         "08 24 01 00 01 0C 00 00\n"
                                         "04 24 09 07\n");
    EXPECT_EQ(LoadError(text), "");
}

TEST(DescriptorText, AStreamFindsItsClockOnlyThroughATerminal)
{
    // The recording interface links to a one-input selector, the last
    // AudioControl descriptor; the byte after that selector is the next
    // interface's bLength, 9, which is also the clock's id.
    const char* text = R"(12 01 00 02 EF 02 01 40 54 4C 05 20 00 01 00 00 00 01
09 02 98 00 02 01 00 80 32
08 0B 00 02 01 00 20 00
09 04 00 00 00 01 01 20 00
09 24 01 00 02 08 47 00 00
08 24 0A 09 01 01 00 00
11 24 02 01 01 02 00 09 02 03 00 00 00 00 00 00 00
11 24 02 02 03 06 00 09 02 03 00 00 00 00 00 00 00
0C 24 03 04 01 01 00 03 09 00 00 00
08 24 05 03 01 01 03 00
09 04 01 00 00 01 02 20 00
09 04 01 01 01 01 02 20 00
10 24 01 03 00 01 01 00 00 00 02 03 00 00 00 00
06 24 02 01 02 10
07 05 81 05 C4 00 01
08 25 01 00 00 00 00 00
)";
    std::string error;
    auto d = SimUsbDevice::CreateFromText(text, EmuUsbSpeed::Full, &error);
    ASSERT_NE(d, nullptr) << error;
    UCHAR none = 0;
    USB_DEFAULT_PIPE_SETUP_PACKET configure{0x00, 9, 1, 0, 0}, select{0x01, 11, 1, 1, 0};
    ASSERT_EQ(d->ControlTransfer(configure, &none, 0).Handshake, EmuUsbHandshake::Ack);
    ASSERT_EQ(d->ControlTransfer(select, &none, 0).Handshake, EmuUsbHandshake::Ack);
    EXPECT_EQ(d->Audio().ClockRate(9), 48000u);
    // No terminal, no clock: the stream has no rate and sends empty packets.
    EXPECT_EQ(d->Audio().StreamRate(1), 0u);
    UCHAR packet[200];
    ULONG length = 1;
    EXPECT_EQ(d->IsochIn(0x81, 0, 0, packet, sizeof(packet), &length), USBD_STATUS_SUCCESS);
    EXPECT_EQ(length, 0u);
}

TEST(DescriptorText, CapturedClass2DeviceReplays)
{
    // A full-speed audio class 2.0 microphone with a line input, a fixed
    // internal clock and a selector between the two, as read from a device.
    const char* text = R"(# captured: full-speed class 2.0 recorder
12 01 00 02 EF 02 01 40 54 4C 05 20 00 01 00 00 00 01
09 02 99 00 02 01 00 80 32
08 0B 00 02 01 00 20 00
09 04 00 00 00 01 01 20 00
09 24 01 00 02 08 48 00 00
08 24 0A 09 01 01 00 00                    # clock 9: internal fixed, frequency read only
11 24 02 01 01 02 00 09 02 03 00 00 00 00 00 00 00
11 24 02 02 03 06 00 09 02 03 00 00 00 00 00 00 00
09 24 05 03 02 01 02 03 00                 # selector 3: microphone or line
0C 24 03 04 01 01 00 03 09 00 00 00
09 04 01 00 00 01 02 20 00
09 04 01 01 01 01 02 20 00
10 24 01 04 00 01 01 00 00 00 02 03 00 00 00 00
06 24 02 01 02 10
07 05 81 05 C4 00 01
08 25 01 00 00 00 00 00
)";
    std::string error;
    char path[] = "/tmp/sim_capture_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text, strlen(text)), (ssize_t)strlen(text));
    close(fd);
    auto d = SimUsbDevice::CreateFromFile(path, EmuUsbSpeed::Full, &error);
    unlink(path);
    ASSERT_NE(d, nullptr) << error;
    EXPECT_EQ(SimUsbDevice::CreateFromFile(path, EmuUsbSpeed::Full, &error), nullptr);
    EXPECT_EQ(error, std::string("cannot read ") + path);
    ASSERT_TRUE(d->Audio().IsAudioClass2());
    USB_DEFAULT_PIPE_SETUP_PACKET s{0x00, 9, 1, 0, 0};
    UCHAR data[16] = {};
    ASSERT_EQ(d->ControlTransfer(s, data, 0).Handshake, EmuUsbHandshake::Ack);
    auto request = [&](UCHAR type, UCHAR req, USHORT value, USHORT index, USHORT length,
                       std::vector<UCHAR> out = {})
    {
        USB_DEFAULT_PIPE_SETUP_PACKET setup{type, req, value, index, length};
        memset(data, 0, sizeof(data));
        if (!out.empty())
            memcpy(data, out.data(), out.size());
        EmuControlAnswer a = d->ControlTransfer(setup, data, 0);
        if (a.Handshake != EmuUsbHandshake::Ack)
            return std::vector<UCHAR>{0xEE};
        return (type & 0x80) ? std::vector<UCHAR>(data, data + a.Length) : std::vector<UCHAR>{};
    };
    const std::vector<UCHAR> stall = {0xEE};
    // The clock is fixed at its one rate; the host may not change it.
    EXPECT_EQ(request(0xA1, 0x01, 0x0100, 0x0900, 4), (std::vector<UCHAR>{0x80, 0xBB, 0, 0}));
    EXPECT_EQ(request(0x21, 0x01, 0x0100, 0x0900, 4, {0x44, 0xAC, 0, 0}), stall);
    // The 2.0 selector control: wValue 0x0100, CUR only.
    EXPECT_EQ(request(0xA1, 0x01, 0x0100, 0x0300, 1), (std::vector<UCHAR>{1}));
    EXPECT_EQ(request(0x21, 0x01, 0x0100, 0x0300, 1, {2}), std::vector<UCHAR>{});
    EXPECT_EQ(d->Audio().SelectorInput(3), 2);
    EXPECT_EQ(request(0x21, 0x01, 0x0100, 0x0300, 1, {3}), stall);
    EXPECT_EQ(request(0x21, 0x01, 0x0100, 0x0300, 1, {0}), stall);
    EXPECT_EQ(request(0xA1, 0x02, 0x0100, 0x0300, 8), stall);
    EXPECT_EQ(request(0xA1, 0x01, 0x0000, 0x0300, 1), stall);
    // Streaming runs at the clock of the terminal the interface is linked to.
    ASSERT_EQ(request(0x01, 11, 1, 1, 0), std::vector<UCHAR>{});
    EXPECT_EQ(d->Audio().StreamRate(1), 48000u);
    UCHAR packet[200];
    ULONG length = 0;
    EXPECT_EQ(d->IsochIn(0x81, 0, 0, packet, sizeof(packet), &length), USBD_STATUS_SUCCESS);
    EXPECT_EQ(length, 192u);
}
