// The descriptor rules at the edges of every length they compute: one
// byte below, at and above what each subtype and its counts need.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/driver/adapter_rig.h"
#include "audioclass/descriptor_rules.h"

namespace
{
constexpr auto kUac1 = AudioDescriptorVersion::Uac1;
constexpr auto kUac2 = AudioDescriptorVersion::Uac2;
constexpr auto kControl = AudioInterfaceKind::AudioControl;
constexpr auto kStreaming = AudioInterfaceKind::AudioStreaming;

// A class-specific descriptor of `length` bytes with the subtype and the
// count byte at `countAt` (if any), zero elsewhere.
std::vector<UCHAR> Cs(UCHAR length, UCHAR subtype, int countAt = -1, UCHAR count = 0)
{
    std::vector<UCHAR> d(length < 3 ? 3 : length, 0);
    d[0] = length;
    d[1] = 0x24;
    d[2] = subtype;
    if (countAt >= 0 && countAt < (int)d.size())
        d[countAt] = count;
    return d;
}
} // namespace

TEST(DescriptorRules, LengthsPerSubtypeAndVersion)
{
    struct Case
    {
        const char* What;
        AudioDescriptorVersion Version;
        AudioInterfaceKind Kind;
        std::vector<UCHAR> Bytes;
        ULONG Left; // 0: the descriptor's own size
        DescriptorVerdict Verdict;
    } cases[] = {
        {"length 2", kUac1, kControl, Cs(2, 2), 3, DescriptorVerdict::BadLength},
        {"past the end", kUac1, kControl, Cs(12, 2), 11, DescriptorVerdict::BadLength},
        {"input terminal 11", kUac1, kControl, Cs(11, 2), 0, DescriptorVerdict::TooShort},
        {"input terminal 12", kUac1, kControl, Cs(12, 2), 0, DescriptorVerdict::Valid},
        {"output terminal 8", kUac1, kControl, Cs(8, 3), 0, DescriptorVerdict::TooShort},
        {"output terminal 9", kUac1, kControl, Cs(9, 3), 0, DescriptorVerdict::Valid},
        {"header of 2 interfaces, 9", kUac1, kControl, Cs(9, 1, 7, 2), 0,
         DescriptorVerdict::TooShort},
        {"header of 2 interfaces, 10", kUac1, kControl, Cs(10, 1, 7, 2), 0,
         DescriptorVerdict::Valid},
        {"header without its count", kUac1, kControl, Cs(7, 1), 0, DescriptorVerdict::TooShort},
        {"mixer of 2 inputs, 11", kUac1, kControl, Cs(11, 4, 4, 2), 0, DescriptorVerdict::TooShort},
        {"mixer of 2 inputs, 12", kUac1, kControl, Cs(12, 4, 4, 2), 0, DescriptorVerdict::Valid},
        {"selector of 3 inputs, 8", kUac1, kControl, Cs(8, 5, 4, 3), 0,
         DescriptorVerdict::TooShort},
        {"selector of 3 inputs, 9", kUac1, kControl, Cs(9, 5, 4, 3), 0, DescriptorVerdict::Valid},
        {"feature bControlSize 0", kUac1, kControl, Cs(10, 6, 5, 0), 0,
         DescriptorVerdict::BadContent},
        {"feature bControlSize 2, 8", kUac1, kControl, Cs(8, 6, 5, 2), 0,
         DescriptorVerdict::TooShort},
        {"feature bControlSize 2, 9", kUac1, kControl, Cs(9, 6, 5, 2), 0, DescriptorVerdict::Valid},
        {"processing unit", kUac1, kControl, Cs(13, 7, 6, 0), 0, DescriptorVerdict::Valid},
        {"clock source in 1.0", kUac1, kControl, Cs(8, 10), 0, DescriptorVerdict::NoRule},
        {"general 6", kUac1, kStreaming, Cs(6, 1), 0, DescriptorVerdict::TooShort},
        {"general 7", kUac1, kStreaming, Cs(7, 1), 0, DescriptorVerdict::Valid},
        {"two rates, 13", kUac1, kStreaming, Cs(13, 2, 7, 2), 0, DescriptorVerdict::TooShort},
        {"two rates, 14", kUac1, kStreaming, Cs(14, 2, 7, 2), 0, DescriptorVerdict::Valid},
        {"range, 13", kUac1, kStreaming, Cs(13, 2, 7, 0), 0, DescriptorVerdict::TooShort},
        {"range, 14", kUac1, kStreaming, Cs(14, 2, 7, 0), 0, DescriptorVerdict::Valid},
        {"2.0 input terminal 16", kUac2, kControl, Cs(16, 2), 0, DescriptorVerdict::TooShort},
        {"2.0 input terminal 17", kUac2, kControl, Cs(17, 2), 0, DescriptorVerdict::Valid},
        {"2.0 clock source 7", kUac2, kControl, Cs(7, 10), 0, DescriptorVerdict::TooShort},
        {"2.0 clock source 8", kUac2, kControl, Cs(8, 10), 0, DescriptorVerdict::Valid},
        {"2.0 general 15", kUac2, kStreaming, Cs(15, 1), 0, DescriptorVerdict::TooShort},
        {"2.0 effect unit", kUac2, kControl, Cs(16, 7), 0, DescriptorVerdict::NoRule},
    };
    for (const Case& c : cases)
    {
        const ULONG left = c.Left != 0 ? c.Left : (ULONG)c.Bytes.size();
        EXPECT_EQ(c.Verdict, CheckAudioDescriptor(c.Version, c.Kind, c.Bytes.data(), left))
            << c.What;
    }
}

namespace
{
// The class definitions' field layouts, written out here apart from the rule
// table: "name:width" in order; "#" marks the count field, width "n" repeats
// once per count (class 1.0 rates: "r", two for a count of 0), width 0 is a
// part whose length no byte before it states (it may be empty).
struct Layout
{
    AudioDescriptorVersion Version;
    AudioInterfaceKind Kind;
    UCHAR Subtype;
    const char* Fields;
};
const Layout kLayouts[] = {
    {kUac1, kControl, 1, "bcdADC:2 wTotalLength:2 bInCollection:1# baInterfaceNr:n"},
    {kUac1, kControl, 2,
     "bTerminalID:1 wTerminalType:2 bAssocTerminal:1 bNrChannels:1 wChannelConfig:2 "
     "iChannelNames:1 iTerminal:1"},
    {kUac1, kControl, 3, "bTerminalID:1 wTerminalType:2 bAssocTerminal:1 bSourceID:1 iTerminal:1"},
    {kUac1, kControl, 4,
     "bUnitID:1 bNrInPins:1# baSourceID:n bNrChannels:1 wChannelConfig:2 iChannelNames:1 "
     "bmControls:0 iMixer:1"},
    {kUac1, kControl, 5, "bUnitID:1 bNrInPins:1# baSourceID:n iSelector:1"},
    {kUac1, kControl, 6, "bUnitID:1 bSourceID:1 bControlSize:1# bmaControls0:n iFeature:1"},
    {kUac1, kControl, 7,
     "bUnitID:1 wProcessType:2 bNrInPins:1# baSourceID:n bNrChannels:1 wChannelConfig:2 "
     "iChannelNames:1 bControlSize:1 bmControls:0 iProcessing:1 processSpecific:0"},
    {kUac1, kControl, 8,
     "bUnitID:1 wExtensionCode:2 bNrInPins:1# baSourceID:n bNrChannels:1 wChannelConfig:2 "
     "iChannelNames:1 bControlSize:1 bmControls:0 iExtension:1"},
    {kUac1, kStreaming, 1, "bTerminalLink:1 bDelay:1 wFormatTag:2"},
    {kUac1, kStreaming, 2,
     "bFormatType:1 bNrChannels:1 bSubframeSize:1 bBitResolution:1 bSamFreqType:1# tSamFreq:r"},
    {kUac1, kStreaming, 3, "wFormatTag:2"},
    {kUac2, kControl, 1, "bcdADC:2 bCategory:1 wTotalLength:2 bmControls:1"},
    {kUac2, kControl, 2,
     "bTerminalID:1 wTerminalType:2 bAssocTerminal:1 bCSourceID:1 bNrChannels:1 "
     "bmChannelConfig:4 iChannelNames:1 bmControls:2 iTerminal:1"},
    {kUac2, kControl, 3,
     "bTerminalID:1 wTerminalType:2 bAssocTerminal:1 bSourceID:1 bCSourceID:1 bmControls:2 "
     "iTerminal:1"},
    {kUac2, kControl, 4,
     "bUnitID:1 bNrInPins:1# baSourceID:n bNrChannels:1 bmChannelConfig:4 iChannelNames:1 "
     "bmMixerControls:0 bmControls:1 iMixer:1"},
    {kUac2, kControl, 5, "bUnitID:1 bNrInPins:1# baSourceID:n bmControls:1 iSelector:1"},
    {kUac2, kControl, 6, "bUnitID:1 bSourceID:1 bmaControls0:4 iFeature:1"},
    {kUac2, kControl, 8,
     "bUnitID:1 wProcessType:2 bNrInPins:1# baSourceID:n bNrChannels:1 bmChannelConfig:4 "
     "iChannelNames:1 bmControls:2 iProcessing:1 processSpecific:0"},
    {kUac2, kControl, 9,
     "bUnitID:1 wExtensionCode:2 bNrInPins:1# baSourceID:n bNrChannels:1 bmChannelConfig:4 "
     "iChannelNames:1 bmControls:1 iExtension:1"},
    {kUac2, kControl, 10, "bClockID:1 bmAttributes:1 bmControls:1 bAssocTerminal:1 iClockSource:1"},
    {kUac2, kControl, 11, "bClockID:1 bNrInPins:1# baCSourceID:n bmControls:1 iClockSelector:1"},
    {kUac2, kControl, 12, "bClockID:1 bCSourceID:1 bmControls:1 iClockMultiplier:1"},
    {kUac2, kStreaming, 1,
     "bTerminalLink:1 bmControls:1 bFormatType:1 bmFormats:4 bNrChannels:1 bmChannelConfig:4 "
     "iChannelNames:1"},
    {kUac2, kStreaming, 2, "bFormatType:1 bSubslotSize:1 bBitResolution:1"},
};

// The bytes a layout needs with `count` in its count field, and where that
// field sits (-1: none).
ULONG LayoutNeeds(const Layout& layout, UCHAR count, int* countAt)
{
    ULONG bytes = sizeof(USB_AUDIO_CS_DESCRIPTOR_HEADER);
    *countAt = -1;
    std::istringstream fields(layout.Fields);
    std::string field;
    while (fields >> field)
    {
        const std::string width = field.substr(field.find(':') + 1);
        if (width == "n")
            bytes += count;
        else if (width == "r")
            bytes += 3 * (count == 0 ? 2 : count);
        else
        {
            if (width.back() == '#')
                *countAt = (int)bytes;
            bytes += (ULONG)std::stoul(width);
        }
    }
    return bytes;
}
} // namespace

// Every rule, one byte short of its layout and at exactly it, with counts of
// one to three; and no rule without a layout, so none escapes.
TEST(DescriptorRules, EveryRuleMatchesTheClassLayout)
{
    for (const Layout& layout : kLayouts)
        for (UCHAR count = 1; count <= 3; ++count)
        {
            int countAt = -1;
            const ULONG needed = LayoutNeeds(layout, count, &countAt);
            for (ULONG length : {needed - 1, needed})
            {
                const std::vector<UCHAR> d = Cs((UCHAR)length, layout.Subtype, countAt, count);
                EXPECT_EQ(
                    length == needed ? DescriptorVerdict::Valid : DescriptorVerdict::TooShort,
                    CheckAudioDescriptor(layout.Version, layout.Kind, d.data(), (ULONG)d.size()))
                    << (layout.Version == kUac1 ? "1.0 " : "2.0 ")
                    << (layout.Kind == kControl ? "control " : "streaming ") << (int)layout.Subtype
                    << " count " << (int)count << " length " << length;
            }
        }
    for (const AudioDescriptorRule& rule : AUDIO_DESCRIPTOR_RULES)
    {
        bool described = false;
        for (const Layout& layout : kLayouts)
            described =
                described || (layout.Version == rule.Version && layout.Kind == rule.Interface &&
                              layout.Subtype == rule.Subtype);
        EXPECT_TRUE(described) << (int)rule.Subtype;
    }
}

// The simulated device describes with the same rules what a driver refuses.
TEST(DescriptorRules, SimulatorNotesFollowTheRules)
{
    struct Case
    {
        UCHAR ControlSize;
        const char* Note; // "" for none
    } cases[] = {{1, ""}, {0, "a count of 0"}, {4, "shorter than its counts"}};
    for (const Case& c : cases)
    {
        DeviceBytes bytes = ReferenceBytes(SimReference::Uac1SpeakerMic);
        size_t feature = 0;
        for (size_t pos = 9; feature == 0; pos += bytes.Configuration[pos])
            feature = bytes.Configuration[pos + 1] == USB_AUDIO_CS_INTERFACE &&
                              bytes.Configuration[pos + 2] == USB_AUDIO_FEATURE_UNIT
                          ? pos
                          : 0;
        bytes.Configuration[feature + 5] = c.ControlSize;
        std::unique_ptr<SimUsbDevice> device = MakeSimDevice(bytes);
        ASSERT_NE(nullptr, device);
        std::string notes;
        for (const std::string& note : device->Notes())
            notes += note + "\n";
        EXPECT_EQ(*c.Note != 0,
                  notes.find(*c.Note ? c.Note : "driver refuses") != std::string::npos)
            << notes;
    }
}
