// Devices that bend the USB and audio class rules as real ones do: each
// descriptor file loads, says what is unusual, and the device answers as
// its firmware would.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "sim/devices/reference_devices.h"

namespace
{
std::string QuirkPath(const char* name)
{
    return std::string(LT_QUIRKS_DIR) + "/" + name;
}

std::unique_ptr<SimUsbDevice> LoadQuirk(const char* name,
                                        std::optional<EmuUsbSpeed> speed = std::nullopt)
{
    std::string error;
    auto d = SimUsbDevice::CreateFromFile(QuirkPath(name).c_str(), speed, &error);
    EXPECT_NE(d, nullptr) << name << ": " << error;
    return d;
}

// One control request; the IN data, or {} for OUT, or nullopt for a stall.
std::optional<std::vector<UCHAR>> Ask(SimUsbDevice& d, UCHAR type, UCHAR request, USHORT value,
                                      USHORT index, USHORT length)
{
    std::vector<UCHAR> data(length + 1u);
    USB_DEFAULT_PIPE_SETUP_PACKET s{type, request, value, index, length};
    EmuControlAnswer a = d.ControlTransfer(s, data.data(), 0);
    if (a.Handshake != EmuUsbHandshake::Ack)
        return std::nullopt;
    data.resize((type & 0x80) ? a.Length : 0);
    return data;
}

std::optional<std::vector<UCHAR>> ConfigurationAt(SimUsbDevice& d, UCHAR index)
{
    return Ask(d, 0x80, USB_REQUEST_GET_DESCRIPTOR, (USHORT)(0x0200 | index), 0, 0xFFFF);
}

constexpr const char* kNoAudioFunction =
    "holds no AudioStreaming interface: it answers for its own entities only";
} // namespace

TEST(QuirkDevices, EachLoadsWithItsNotes)
{
    const struct
    {
        const char* File;
        EmuUsbSpeed Speed;
        std::vector<std::string> Notes;
    } cases[] = {
        {"two-configurations-one-answer.txt",
         EmuUsbSpeed::Full,
         {"device descriptor: bNumConfigurations 2, 1 configuration(s) given; the missing indexes "
          "answer the first"}},
        {"two-configurations.txt", EmuUsbSpeed::Full, {}},
        {"audio-control-total-long.txt",
         EmuUsbSpeed::Full,
         {"configuration 0 AudioControl descriptor at offset 18: header wTotalLength differs from "
          "its class-specific descriptors"}},
        {"audio-control-total-short.txt",
         EmuUsbSpeed::Full,
         {"configuration 0 AudioControl descriptor at offset 18: header wTotalLength differs from "
          "its class-specific descriptors"}},
        {"midi-control-interface.txt",
         EmuUsbSpeed::Full,
         {std::string("configuration 0 AudioControl interface 2 ") + kNoAudioFunction}},
        {"control-interface-without-streaming.txt",
         EmuUsbSpeed::Full,
         {std::string("configuration 0 AudioControl interface 2 ") + kNoAudioFunction}},
        // bcdUSB 2.00, yet the file's speed line says full speed.
        {"full-speed-interrupt-interval-255.txt", EmuUsbSpeed::Full, {}},
        {"missing-strings.txt",
         EmuUsbSpeed::Full,
         {"string 2 named by the device descriptor is not given: the device stalls its request",
          "string 7 named by configuration 0 interface 1 is not given: the device stalls its "
          "request"}},
        {"hid-and-vendor-interfaces.txt", EmuUsbSpeed::Full, {}},
        {"synchronous-data-with-feedback.txt",
         EmuUsbSpeed::Full,
         {"configuration 0 interface 1 setting 1: data endpoint 0x01 is not asynchronous yet has "
          "a feedback endpoint"}},
        {"implicit-feedback.txt", EmuUsbSpeed::High, {}},
        {"high-speed-feedback-data-interval-4.txt", EmuUsbSpeed::High, {}},
        {"fixed-clock-six-rates.txt", EmuUsbSpeed::High, {}},
        {"full-speed-feedback-endpoint-too-small.txt", EmuUsbSpeed::Full, {}},
        {"high-speed-feedback-endpoint-too-small.txt", EmuUsbSpeed::High, {}},
        {"high-bandwidth-eight-channels.txt", EmuUsbSpeed::High, {}},
        {"uac2-24-bit-only-headset.txt", EmuUsbSpeed::High, {}},
        {"two-audio-functions.txt",
         EmuUsbSpeed::Full,
         {"configuration 0 AudioControl interface 2 is a second audio function's: it answers for "
          "its own entities only"}},
        {"midi-first-uac3-function.txt",
         EmuUsbSpeed::High,
         {std::string("configuration 0 AudioControl interface 0 ") + kNoAudioFunction,
          "configuration 0 AudioControl interface 2 has protocol 0x30: its entities are not "
          "modelled and answer nothing"}},
    };
    for (const auto& c : cases)
    {
        auto d = LoadQuirk(c.File);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->Speed(), c.Speed) << c.File;
        EXPECT_EQ(d->Notes(), c.Notes) << c.File;
        EXPECT_EQ(d->Descriptors().DeviceDescriptor().idVendor, 0x4C54) << c.File;
    }
}

TEST(QuirkDevices, TheSpeedIsTheConnections)
{
    // The same file on a high-speed port: 255 is no interval exponent there.
    auto high = LoadQuirk("full-speed-interrupt-interval-255.txt", EmuUsbSpeed::High);
    ASSERT_NE(high, nullptr);
    EXPECT_EQ(high->Speed(), EmuUsbSpeed::High);
    EXPECT_EQ(high->Notes(), std::vector<std::string>{"configuration 0 offset 58: bInterval out "
                                                      "of range for this speed"});
    // A bcdUSB 1.10 file with a speed line runs at that speed.
    std::string text = SimReferenceText(SimReference::Uac1SpeakerMic);
    std::string error;
    auto d = SimUsbDevice::CreateFromText("speed high\n" + text, std::nullopt, &error);
    ASSERT_NE(d, nullptr) << error;
    EXPECT_EQ(d->Speed(), EmuUsbSpeed::High);
    d = SimUsbDevice::CreateFromText("speed high\n" + text, EmuUsbSpeed::Full, &error);
    ASSERT_NE(d, nullptr) << error;
    EXPECT_EQ(d->Speed(), EmuUsbSpeed::Full);
    EXPECT_TRUE(d->Notes().empty());
}

TEST(QuirkDevices, EveryConfigurationIndexIsAnswered)
{
    auto same = LoadQuirk("two-configurations-one-answer.txt");
    ASSERT_NE(same, nullptr);
    const std::vector<UCHAR>& first = same->Descriptors().Configuration();
    EXPECT_EQ(ConfigurationAt(*same, 0), first);
    EXPECT_EQ(ConfigurationAt(*same, 1), first); // the index is ignored
    EXPECT_EQ(ConfigurationAt(*same, 2), std::nullopt);

    auto two = LoadQuirk("two-configurations.txt");
    ASSERT_NE(two, nullptr);
    auto second = ConfigurationAt(*two, 1);
    ASSERT_TRUE(second.has_value());
    ASSERT_EQ(second->size(), 0x20u);
    EXPECT_EQ((*second)[5], 2); // bConfigurationValue
    EXPECT_EQ(ConfigurationAt(*two, 2), std::nullopt);
    // The host may choose either; the device brings up that one's interfaces.
    ASSERT_TRUE(Ask(*two, 0x00, USB_REQUEST_SET_CONFIGURATION, 2, 0, 0));
    EXPECT_EQ(two->Configuration(), 2);
    EXPECT_FALSE(two->Audio().HasAudioFunction());
    EXPECT_EQ(two->AlternateSetting(0), 0);
    EXPECT_EQ(two->AlternateSetting(1), -1);
    EXPECT_EQ(Ask(*two, 0x00, USB_REQUEST_SET_CONFIGURATION, 3, 0, 0), std::nullopt);
    EXPECT_EQ(two->Configuration(), 2);
    ASSERT_TRUE(Ask(*two, 0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0, 0));
    EXPECT_TRUE(two->Audio().HasAudioFunction());
    EXPECT_EQ(two->AlternateSetting(1), 0);
    ASSERT_TRUE(Ask(*two, 0x01, USB_REQUEST_SET_INTERFACE, 1, 1, 0));
    // The speaker's 48 kHz, through its endpoint's sampling-frequency control.
    EXPECT_EQ(Ask(*two, 0xA2, USB_AUDIO10_GET_CUR, 0x0100, 0x01, 3),
              (std::vector<UCHAR>{0x80, 0xBB, 0x00}));
}

TEST(QuirkDevices, NamedStringsThatAreMissingStall)
{
    auto d = LoadQuirk("missing-strings.txt");
    ASSERT_NE(d, nullptr);
    const USHORT string = USB_STRING_DESCRIPTOR_TYPE << 8;
    EXPECT_EQ(Ask(*d, 0x80, USB_REQUEST_GET_DESCRIPTOR, string | 1, 0x0409, 255)->size(), 26u);
    EXPECT_EQ(Ask(*d, 0x80, USB_REQUEST_GET_DESCRIPTOR, string | 2, 0x0409, 255), std::nullopt);
    EXPECT_EQ(Ask(*d, 0x80, USB_REQUEST_GET_DESCRIPTOR, string | 7, 0x0409, 255), std::nullopt);
    EXPECT_EQ(d->LogText().back(), "80 06 0307 0409 00FF STALL");
}

// Each AudioControl interface answers for its own entities: the speaker's
// feature unit 2 on the audio function's interface only, whichever comes
// first; the MIDI function's interface has none.
TEST(QuirkDevices, EachControlInterfaceAnswersForItsOwnEntities)
{
    const struct
    {
        const char* File;
        UCHAR Audio;
        UCHAR Other;
    } cases[] = {{"midi-control-interface.txt", 0, 2},
                 {"control-interface-without-streaming.txt", 0, 2},
                 {"midi-first-controller.txt", 2, 0}};
    for (const auto& c : cases)
    {
        auto d = LoadQuirk(c.File);
        ASSERT_NE(d, nullptr);
        ASSERT_TRUE(Ask(*d, 0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0, 0)) << c.File;
        EXPECT_EQ(d->Audio().ControlInterface(), c.Audio) << c.File;
        EXPECT_EQ(Ask(*d, 0xA1, USB_AUDIO10_GET_CUR, 0x0100, 0x0200 | c.Audio, 1),
                  std::vector<UCHAR>{0x00})
            << c.File;
        EXPECT_EQ(Ask(*d, 0xA1, USB_AUDIO10_GET_CUR, 0x0100, 0x0200 | c.Other, 1), std::nullopt)
            << c.File;
    }
}

// A class 2.0 AudioControl interface beside a class 1.0 one answers for its
// clock in its own version, with the file's rates; without the line a clock
// offers 48 kHz.
TEST(QuirkDevices, EachControlInterfaceKeepsItsVersion)
{
    auto d = LoadQuirk("control-interfaces-of-two-versions.txt");
    ASSERT_TRUE(d != nullptr && Ask(*d, 0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0, 0));
    EXPECT_FALSE(d->Audio().IsAudioClass2());
    const std::vector<UCHAR> range = {2, 0,    0x44, 0xAC, 0, 0,    0x44, 0xAC, 0, 0, 0, 0, 0,
                                      0, 0x00, 0x77, 0x01, 0, 0x00, 0x77, 0x01, 0, 0, 0, 0, 0};
    EXPECT_EQ(Ask(*d, 0xA1, USB_AUDIO20_RANGE, 0x0100, 0x0902, 26), range);
    EXPECT_EQ(Ask(*d, 0xA1, USB_AUDIO20_CUR, 0x0100, 0x0902, 4),
              (std::vector<UCHAR>{0x44, 0xAC, 0, 0}));
    EXPECT_EQ(Ask(*d, 0xA1, USB_AUDIO10_GET_CUR, 0x0100, 0x0902, 4), std::nullopt);
    auto plain = LoadQuirk("implicit-feedback.txt");
    ASSERT_TRUE(plain != nullptr && Ask(*plain, 0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0, 0));
    EXPECT_EQ(Ask(*plain, 0xA1, USB_AUDIO20_RANGE, 0x0100, 0x0900, 14),
              (std::vector<UCHAR>{1, 0, 0x80, 0xBB, 0, 0, 0x80, 0xBB, 0, 0, 0, 0, 0, 0}));
}

TEST(QuirkDevices, OddlyFlaggedFeedbackStillStreams)
{
    // A synchronous data endpoint paired with a feedback endpoint: the
    // device sends 10.14 feedback of its 48 kHz.
    auto sync = LoadQuirk("synchronous-data-with-feedback.txt");
    ASSERT_NE(sync, nullptr);
    ASSERT_TRUE(Ask(*sync, 0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0, 0));
    ASSERT_TRUE(Ask(*sync, 0x01, USB_REQUEST_SET_INTERFACE, 1, 1, 0));
    UCHAR packet[256] = {};
    ULONG length = 0;
    ASSERT_EQ(sync->IsochIn(0x81, 0, 0, packet, sizeof(packet), &length), USBD_STATUS_SUCCESS);
    ASSERT_EQ(length, 3u);
    EXPECT_EQ(packet[0] | packet[1] << 8 | packet[2] << 16, 48 << 14);
    EXPECT_EQ(sync->IsochOut(0x01, 0, 0, packet, 192), USBD_STATUS_SUCCESS);

    // An implicit-feedback data endpoint is a data endpoint: six stereo
    // 16-bit frames a microframe at 48 kHz.
    auto implicit = LoadQuirk("implicit-feedback.txt");
    ASSERT_NE(implicit, nullptr);
    ASSERT_TRUE(Ask(*implicit, 0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0, 0));
    ASSERT_TRUE(Ask(*implicit, 0x01, USB_REQUEST_SET_INTERFACE, 1, 1, 0));
    ASSERT_EQ(implicit->IsochIn(0x81, 0, 0, packet, sizeof(packet), &length), USBD_STATUS_SUCCESS);
    EXPECT_EQ(length, 6u * 4);
}

// The adaptive speaker as its file is, or with each From of its text made
// its To: an OUT endpoint, adaptive or synchronous, without the rate control
// keeps no rate and follows its data, whatever comes; an asynchronous or IN
// one keeps the first rate its format states; one with the control takes a
// rate between its range's bounds, read in either order, and none past them,
// nor 0 Hz from a range that starts there, nor any from a range too short to
// hold its upper bound; a setting that does not offer the rate set starts at
// its own first rate.
TEST(QuirkDevices, EachEndpointKeepsTheRateItsDescriptorGives)
{
    const std::pair<const char*, const char*> control{"07 25 01 00", "07 25 01 01"},
        reversed{"10 00 7E 13 00 E2 D6 00", "10 00 E2 D6 00 7E 13 00"},
        async{"09 05 01 09", "09 05 01 05"}, fromZero{"7E 13 00 E2", "00 00 00 E2"},
        // 11 bytes: the upper bound would be the endpoint's first three
        shortRange{"0E 24 02 01 02 02 10 00 7E 13 00 E2 D6 00", "0B 24 02 01 02 02 10 00 7E 13 00"},
        shortTotal{"09 02 71 00", "09 02 6E 00"},
        // Setting 2 offers 44.1 kHz only.
        second{"# no sampling frequency control\n",
               "\n09 04 01 02 01 01 02 00 00\n07 24 01 01 01 01 00\n"
               "0B 24 02 01 02 02 10 01 44 AC 00\n09 05 01 09 DC 00 01 00 00\n"
               "07 25 01 01 00 00 00\n"},
        secondTotal{"09 02 71 00", "09 02 9C 00"};
    const SimStreamRate follows{SimStreamRate::FollowsData};
    auto own = [](ULONG hz) { return SimStreamRate{SimStreamRate::Own, hz}; };
    const struct
    {
        std::vector<std::pair<const char*, const char*>> Edits;
        std::optional<ULONG> Asked; // the rate the host sets, and whether it is taken
        bool Taken;
        SimStreamRate Rate; // after a tenth of a second of 48 kHz data
        UCHAR Then = 0;     // the setting selected after the rate is set
    } rows[] = {
        {{}, {}, false, follows},
        {{{"09 05 01 09", "09 05 01 0D"}}, {}, false, follows},   // synchronous
        {{{"09 05 01 09", "09 05 81 09"}}, {}, false, own(4990)}, // IN
        {{async, reversed}, {}, false, own(55010)},
        {{control, reversed}, 4990, true, own(4990)},
        {{control, reversed}, 55010, true, own(55010)},
        {{control, reversed}, 4989, false, own(55010)},
        {{control, reversed}, 55011, false, own(55010)},
        {{control, fromZero}, 0, false, own(0)},
        {{control, fromZero}, 1, true, own(1)},
        {{control, shortRange, shortTotal}, 48000, false, own(4990)},
        {{control, second, secondTotal}, 48000, true, own(44100), 2},
        {{control, second, secondTotal}, 44100, true, own(44100), 2},
    };
    std::ifstream in(QuirkPath("adaptive-speaker-without-rate-control.txt"));
    const std::string file{std::istreambuf_iterator<char>(in), {}};
    for (const auto& row : rows)
    {
        std::string text = file, error;
        for (const auto& [from, to] : row.Edits)
            text.replace(text.find(from), strlen(from), to);
        SCOPED_TRACE(text + std::to_string(row.Asked.value_or(~0u)));
        auto d = SimUsbDevice::CreateFromText(text, std::nullopt, &error);
        ASSERT_NE(d, nullptr) << error;
        ASSERT_TRUE(Ask(*d, 0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0, 0));
        ASSERT_TRUE(Ask(*d, 0x01, USB_REQUEST_SET_INTERFACE, 1, 1, 0));
        const ULONG asked = row.Asked.value_or(0);
        UCHAR rate[3] = {(UCHAR)asked, (UCHAR)(asked >> 8), (UCHAR)(asked >> 16)};
        USB_DEFAULT_PIPE_SETUP_PACKET set{0x22, USB_AUDIO10_SET_CUR, 0x0100, 0x01, 3};
        const auto answer = row.Taken ? EmuUsbHandshake::Ack : EmuUsbHandshake::Stall;
        EXPECT_TRUE(!row.Asked || d->ControlTransfer(set, rate, 0).Handshake == answer);
        if (row.Then != 0)
        {
            ASSERT_TRUE(Ask(*d, 0x01, USB_REQUEST_SET_INTERFACE, row.Then, 1, 0));
        }
        UCHAR packet[192] = {};
        for (ULONG n = 0; n < 100; ++n)
            d->IsochOut(0x01, n, 0, packet, sizeof(packet));
        EXPECT_EQ(row.Rate, d->Audio().StreamRate(1));
    }
}
