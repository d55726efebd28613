// The descriptor rules at the edges of every length they compute: one
// byte below, at and above what each subtype and its counts need.
#include <gtest/gtest.h>

#include <vector>

#include "tests/driver/adapter_rig.h"
#include "usbaudio/descriptor_rules.h"

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

// Every class 2.0 row one byte short of what it needs and at exactly that,
// counts included (mixer and selector sources, processing and extension
// inputs, clock selector inputs).
TEST(DescriptorRules, Uac2RowsAtTheirLengths)
{
    struct Row
    {
        AudioInterfaceKind Kind;
        UCHAR Subtype;
        UCHAR Needed;
        int CountAt;
        UCHAR Count;
    } rows[] = {
        {kControl, 1, 9, -1, 0},   {kControl, 2, 17, -1, 0}, {kControl, 3, 12, -1, 0},
        {kControl, 4, 15, 4, 2},   {kControl, 5, 10, 4, 3},  {kControl, 6, 10, -1, 0},
        {kControl, 8, 19, 6, 2},   {kControl, 9, 17, 6, 1},  {kControl, 10, 8, -1, 0},
        {kControl, 11, 9, 4, 2},   {kControl, 12, 7, -1, 0}, {kStreaming, 1, 16, -1, 0},
        {kStreaming, 2, 6, -1, 0},
    };
    for (const Row& r : rows)
    {
        const UCHAR lengths[2] = {(UCHAR)(r.Needed - 1), r.Needed};
        for (UCHAR length : lengths)
        {
            const std::vector<UCHAR> d = Cs(length, r.Subtype, r.CountAt, r.Count);
            EXPECT_EQ(length == r.Needed ? DescriptorVerdict::Valid : DescriptorVerdict::TooShort,
                      CheckAudioDescriptor(kUac2, r.Kind, d.data(), (ULONG)d.size()))
                << (int)r.Subtype << " at " << (int)length;
        }
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
            feature =
                bytes.Configuration[pos + 1] == 0x24 && bytes.Configuration[pos + 2] == 6 ? pos : 0;
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
