// The text loader refuses only what no device could send; everything else
// that is unusual loads and is noted, for the driver to judge.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "sim/devices/reference_devices.h"

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

// The notes of a device that must load.
std::vector<std::string> LoadNotes(const std::string& text,
                                   std::optional<EmuUsbSpeed> speed = EmuUsbSpeed::Full)
{
    std::string error;
    auto d = SimUsbDevice::CreateFromText(text, speed, &error);
    EXPECT_NE(d, nullptr) << error;
    return d ? d->Notes() : std::vector<std::string>{"not loaded: " + error};
}

} // namespace

TEST(DescriptorText, SmallestDeviceLoads)
{
    std::string text = std::string("# one vendor interface\n") + kDevice +
                       Config("12", "01", "09 04 00 00 00 FF 00 00 00  # no endpoints\n") +
                       "string 1 \"Acme # not a comment\"\n";
    SimDescriptorSource source;
    ASSERT_EQ(SimParseDescriptorText(text, &source), "");
    ASSERT_EQ(source.Configurations.size(), 1u);
    EXPECT_EQ(source.Configurations[0].size(), 18u);
    EXPECT_EQ(source.Strings.at(1), u"Acme # not a comment");
    EXPECT_FALSE(source.Speed.has_value());
    EXPECT_EQ(LoadNotes(text), std::vector<std::string>{});
}

// What no device can put on the wire, and text that is not the format.
TEST(DescriptorText, RefusesOnlyWhatNoDeviceSends)
{
    const std::string vendor = "09 04 00 00 00 FF 00 00 00\n";
    const struct
    {
        std::string Text;
        const char* Error;
    } cases[] = {
        {kDevice + Config("12", "01", "09 04 00 00 00 FF 00 00\n"),
         "line 3: bLength differs from the bytes on the line"},
        {kDevice + Config("12", "01", "09 04 00 00 00 FF 00 00 0G\n"),
         "line 3: bytes must be two hex digits each"},
        // wTotalLength one byte short of the lines, and one byte over them.
        {kDevice + Config("11", "01", vendor), "line 3: descriptor runs past the configuration's "
                                               "wTotalLength"},
        {kDevice + Config("13", "01", vendor), "line 2: wTotalLength differs from the bytes given"},
        {kDevice + Config("13", "01", vendor) + Config("12", "01", vendor),
         "line 2: wTotalLength differs from the bytes given"},
        {kDevice + std::string("05 02 05 00 01\n"),
         "line 2: a configuration descriptor holds at least 9 bytes"},
        {Config("12", "01", vendor), "line 1: the first descriptor must be the device descriptor"},
        {kDevice + vendor, "line 2: the configuration descriptor must follow the device "
                           "descriptor"},
        {kDevice + Config("12", "01", vendor) + "string 0 \"x\"\n",
         "line 4: string index must be 1 to 255"},
        {kDevice + Config("12", "01", vendor) + "string 3 x\n",
         "line 4: string text must be one quoted text"},
        {kDevice + Config("12", "01", vendor) + "speed low\n",
         "line 4: speed must be full or high"},
        {kDevice + std::string("speed full\nspeed high\n") + Config("12", "01", vendor),
         "line 3: speed given twice"},
        {kDevice + Config("12", "01", vendor) + "clock-rates 48000 0\n",
         "line 4: clock rates must be rates in Hz, 1 to 9999999"},
        {kDevice + Config("12", "01", vendor) + "clock-rates 10000000\n",
         "line 4: clock rates must be rates in Hz, 1 to 9999999"},
        {kDevice + Config("12", "01", vendor) + "clock-rates 44.1k\n",
         "line 4: clock rates must be rates in Hz, 1 to 9999999"},
        {kDevice + Config("12", "01", vendor) + "clock-rates  \n",
         "line 4: clock-rates names no rate"},
        {kDevice + std::string("clock-rates 48000\nclock-rates 96000\n") +
             Config("12", "01", vendor),
         "line 3: clock-rates given twice"},
        {kDevice, "text holds no device or no configuration descriptor"},
        // A line of the most characters, and one more.
        {kDevice + Config("12", "01", vendor) + "#" + std::string(4095, 'x') + "\n", ""},
        {kDevice + Config("12", "01", vendor) + "#" + std::string(4096, 'x'),
         "line 4: longer than 4096 characters, more than any descriptor line needs"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LoadError(c.Text), c.Error) << c.Text.substr(0, 200);
}

// A descriptor file is a regular file, read a block at a time within the
// text's bounds: a device or a named pipe is refused unread (no wait for a
// writer), a file past a bound at the line that passes it (a line of no end
// in the block that passes its bound), one of the most bytes read whole
// across its blocks.
TEST(DescriptorText, AFileIsReadWithinItsBounds)
{
    char folder[] = "/tmp/sim_text_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(folder));
    const std::string pipe = folder + std::string("/pipe"), text = folder + std::string("/text");
    ASSERT_EQ(0, mkfifo(pipe.c_str(), 0600));
    const std::string device = kDevice + Config("12", "01", "09 04 00 00 00 FF 00 00 00\n");
    // The device across the first block's end (inside a byte's digits), in a
    // text of the most bytes.
    const std::string most = std::string(65532, '\n') + device +
                             std::string(kSimDescriptorTextMost - 65532 - device.size(), '\n');
    const struct
    {
        std::string Path, Text; // Text: written to Path first
        std::string Error;
    } cases[] = {
        {pipe, "", "cannot read " + pipe + ": not a regular file"},
        {text, std::string(3 << 20, '\0'),
         "line 1: longer than 4096 characters, more than any descriptor line needs"},
        {text, most + "\n",
         "line " + std::to_string(kSimDescriptorTextMost - device.size() + 4) +
             ": the text runs past 1048576 bytes, more than any device's descriptors need"},
        {text, most, ""},
    };
    for (const auto& c : cases)
    {
        if (!c.Text.empty())
            std::ofstream(c.Path, std::ios::binary) << c.Text;
        SimDescriptorSource source;
        EXPECT_EQ(c.Error, SimReadDescriptorFile(c.Path.c_str(), &source)) << c.Path;
    }
    SimDescriptorSource source, fromText;
    ASSERT_EQ("", SimReadDescriptorFile(text.c_str(), &source));
    ASSERT_EQ("", SimParseDescriptorText(device, &fromText));
    EXPECT_EQ(fromText.Device, source.Device);
    EXPECT_EQ(fromText.Configurations, source.Configurations);
    // A gibibyte with no line end (a hole) is refused in its first block: the
    // line is refused once past its bound, not held to the file's end.
    const int fd = open(text.c_str(), O_RDWR | O_TRUNC | O_CLOEXEC);
    ASSERT_EQ(0, ftruncate(fd, 1 << 30));
    EXPECT_EQ("line 1: longer than 4096 characters, more than any descriptor line needs",
              SimReadDescriptorFile(fd, text.c_str(), &source));
    EXPECT_LE(lseek(fd, 0, SEEK_CUR), 64 * 1024) << "more than a block read";
    close(fd);
    std::filesystem::remove_all(folder);
}

// Descriptors off the USB rules that devices still send: loaded and noted.
TEST(DescriptorText, UnusualContentLoadsWithANote)
{
    const struct
    {
        std::string Text;
        const char* Note;
    } cases[] = {
        {kDevice + Config("12", "02", "09 04 00 00 00 FF 00 00 00\n"),
         "configuration 0 offset 4: bNumInterfaces differs from the interfaces present"},
        {kDevice + Config("12", "01", "09 04 00 00 01 FF 00 00 00\n"),
         "configuration 0 offset 18: interface has fewer endpoints than bNumEndpoints"},
        {kDevice + Config("19", "01", "09 04 00 00 01 FF 00 00 00\n07 05 00 02 40 00 00\n"),
         "configuration 0 offset 18: bEndpointAddress not 1 to 15 with the direction bit"},
        // 1023 bytes is the full-speed limit; 1024 is one over it.
        {kDevice + Config("19", "01", "09 04 00 00 01 FF 00 00 00\n07 05 01 01 00 04 01\n"),
         "configuration 0 offset 18: isochronous wMaxPacketSize too large for this speed"},
        {kDevice + Config("19", "01", "09 04 00 00 01 FF 00 00 00\n07 05 01 01 00 08 01\n"),
         "configuration 0 offset 18: wMaxPacketSize transactions per microframe invalid at this "
         "speed"},
        {kDevice + Config("19", "01", "09 04 00 00 01 FF 00 00 00\n07 05 81 03 08 00 00\n"),
         "configuration 0 offset 18: bInterval out of range for this speed"},
        {kDevice + Config("19", "01", "09 04 00 00 01 FF 00 00 00\n07 05 01 01 C0 00 11\n"),
         "configuration 0 offset 18: bInterval out of range for this speed"},
        {kDevice + Config("1B", "01", "09 04 00 00 00 FF 00 00 00\n09 04 00 00 00 FF 00 00 00\n"),
         "configuration 0 offset 18: interface and alternate setting given twice: the first "
         "counts"},
        {kDevice + Config("12", "01", "09 04 00 01 00 FF 00 00 00\n"),
         "configuration 0 offset 9: alternate setting before alternate setting 0"},
        {kDevice + Config("12", "01", "09 04 00 00 00 FF 00 00 04\n"),
         "string 4 named by configuration 0 interface 0 is not given: the device stalls its "
         "request"},
        {std::string("12 01 10 01 00 00 00 40 54 4C 99 10 00 01 00 05 00 01\n") +
             Config("12", "01", "09 04 00 00 00 FF 00 00 00\n"),
         "string 5 named by the device descriptor is not given: the device stalls its request"},
        {std::string("12 01 10 01 00 00 00 07 54 4C 99 10 00 01 00 00 00 01\n") +
             Config("12", "01", "09 04 00 00 00 FF 00 00 00\n"),
         "device descriptor: bMaxPacketSize0 not 8, 16, 32 or 64"},
    };
    for (const auto& c : cases)
    {
        const std::vector<std::string> notes = LoadNotes(c.Text);
        ASSERT_EQ(notes.size(), 1u) << c.Text;
        EXPECT_EQ(notes[0], c.Note) << c.Text;
    }
}

// The limits that depend on the connection, at their edges.
TEST(DescriptorText, EndpointLimitsFollowTheConnectionSpeed)
{
    const struct
    {
        const char* Endpoint;
        EmuUsbSpeed Speed;
        bool Noted;
    } cases[] = {
        {"07 05 01 01 FF 03 01", EmuUsbSpeed::Full, false}, // 1023 bytes
        {"07 05 01 01 00 04 01", EmuUsbSpeed::High, false}, // 1024 bytes
        {"07 05 01 01 01 04 01", EmuUsbSpeed::High, true},  // 1025 bytes
        {"07 05 01 01 00 10 01", EmuUsbSpeed::High, false}, // two transactions
        {"07 05 01 01 00 18 01", EmuUsbSpeed::High, true},  // a fourth one does not exist
        {"07 05 81 03 08 00 FF", EmuUsbSpeed::Full, false}, // 255 frames
        {"07 05 81 03 08 00 10", EmuUsbSpeed::High, false}, // exponent 16
        {"07 05 81 03 08 00 11", EmuUsbSpeed::High, true},
        {"07 05 81 03 08 00 01", EmuUsbSpeed::Full, false},
        {"07 05 01 01 C0 00 10", EmuUsbSpeed::Full, false},
    };
    for (const auto& c : cases)
    {
        const std::string text = std::string("12 01 00 02 00 00 00 40 54 4C 99 10 00 01 00 00 "
                                             "00 01\n") +
                                 Config("19", "01", "09 04 00 00 01 FF 00 00 00\n") + c.Endpoint +
                                 "\n";
        EXPECT_EQ(LoadNotes(text, c.Speed).size(), c.Noted ? 1u : 0u) << c.Endpoint;
    }
}

TEST(DescriptorText, AudioControlOddsAreNoted)
{
    const SimReferenceConfig& r = SimReferenceDescriptors(SimReference::Uac1SpeakerMic);
    std::string error;
    for (UCHAR total : {0x46, 0x48}) // the header's 71, one below and one above
    {
        std::vector<UCHAR> config = r.Configuration;
        config[9 + 9 + 5] = total;
        auto d = SimUsbDevice::Create(r.Device, config, r.Strings, r.Speed, &error);
        ASSERT_NE(d, nullptr) << error;
        EXPECT_EQ(d->Notes(), std::vector<std::string>{"configuration 0 AudioControl descriptor at "
                                                       "offset 18: header wTotalLength differs "
                                                       "from its class-specific descriptors"});
        EXPECT_EQ(SimUsbDevice::Create(r.Device, config, r.Strings, r.Speed, &error,
                                       SimLoadCheck::Strict),
                  nullptr);
        EXPECT_EQ(error, d->Notes()[0]);
    }
    // A 1.1 device on a high-speed connection is noted, not refused; its
    // status endpoint's 32 frames are out of range there.
    auto d = SimUsbDevice::Create(r.Device, r.Configuration, r.Strings, EmuUsbSpeed::High, &error);
    ASSERT_NE(d, nullptr) << error;
    EXPECT_EQ(d->Speed(), EmuUsbSpeed::High);
    EXPECT_EQ(d->Notes(), (std::vector<std::string>{
                              "device descriptor: bcdUSB below 2.00 on a high-speed connection",
                              "configuration 0 offset 89: bInterval out of range for this speed"}));
}

TEST(DescriptorText, AudioControlEntitiesTheFirmwareCannotServeAreLeftOut)
{
    // An entity of an unknown subtype that ends before its id, last in the
    // configuration: noted, and requests to it stall.
    std::string text = std::string(kDevice) + Config("1D", "01",
                                                     "09 04 00 00 00 01 01 00 00\n"
                                                     "08 24 01 00 01 0B 00 00\n"
                                                     "03 24 09\n");
    EXPECT_EQ(LoadNotes(text), std::vector<std::string>{"configuration 0 AudioControl descriptor "
                                                        "at offset 26: shorter than its subtype: "
                                                        "ignored"});
    // With its id it loads clean.
    text = std::string(kDevice) + Config("1E", "01",
                                         "09 04 00 00 00 01 01 00 00\n"
                                         "08 24 01 00 01 0C 00 00\n"
                                         "04 24 09 07\n");
    EXPECT_EQ(LoadNotes(text), std::vector<std::string>{});
    // The same behind an interface descriptor one byte long: the function's
    // descriptors start after all of it.
    text = std::string(kDevice) + Config("1F", "01",
                                         "0A 04 00 00 00 01 01 00 00 00\n"
                                         "08 24 01 00 01 0C 00 00\n"
                                         "04 24 09 07\n");
    EXPECT_EQ(LoadNotes(text), std::vector<std::string>{"configuration 0 offset 9: interface "
                                                        "descriptor longer than 9 bytes"});
    // Id 0, an id used twice, a selector shorter than its inputs.
    text = std::string(kDevice) + Config("2C", "01",
                                         "09 04 00 00 00 01 01 00 00\n"
                                         "08 24 01 00 01 1A 00 00\n"
                                         "04 24 09 00\n"
                                         "04 24 09 07\n"
                                         "04 24 09 07\n"
                                         "06 24 05 08 02 07\n");
    EXPECT_EQ(LoadNotes(text),
              (std::vector<std::string>{
                  "configuration 0 AudioControl descriptor at offset 26: entity id 0 is reserved: "
                  "ignored",
                  "configuration 0 AudioControl descriptor at offset 34: entity id used twice: "
                  "ignored",
                  "configuration 0 AudioControl descriptor at offset 38: selector unit shorter "
                  "than its inputs: ignored"}));
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
    EXPECT_EQ(d->Audio().StreamRate(1), (SimStreamRate{SimStreamRate::Own, 0}));
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
    EXPECT_EQ(d->Audio().StreamRate(1), (SimStreamRate{SimStreamRate::Own, 48000}));
    UCHAR packet[200];
    ULONG length = 0;
    EXPECT_EQ(d->IsochIn(0x81, 0, 0, packet, sizeof(packet), &length), USBD_STATUS_SUCCESS);
    EXPECT_EQ(length, 192u);
}
