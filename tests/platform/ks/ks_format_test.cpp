// Data-format validation and the published GUID values and record layouts.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "platform/ks/ksformat.h"
#include "platform/ks/pcautomation.h"

namespace
{
// Parses "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" independently of DEFINE_GUID.
GUID Parse(const char* text)
{
    unsigned int d1, d2, d3, b[8];
    EXPECT_EQ(11, sscanf(text, "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", &d1, &d2, &d3, &b[0], &b[1],
                         &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]));
    GUID g;
    g.Data1 = d1;
    g.Data2 = (USHORT)d2;
    g.Data3 = (USHORT)d3;
    for (int i = 0; i < 8; ++i)
        g.Data4[i] = (UCHAR)b[i];
    return g;
}

// A 16-bit stereo 48 kHz extensible format, optionally followed by attributes.
std::vector<UCHAR> Format(ULONG flags = 0)
{
    std::vector<UCHAR> bytes(sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE));
    auto f = reinterpret_cast<KSDATAFORMAT_WAVEFORMATEXTENSIBLE*>(bytes.data());
    f->DataFormat.FormatSize = sizeof(*f);
    f->DataFormat.Flags = flags;
    f->DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    f->DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    f->DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    f->WaveFormatExt.Format = {WAVE_FORMAT_EXTENSIBLE, 2, 48000, 192000, 4, 16, 22};
    f->WaveFormatExt.Samples.wValidBitsPerSample = 16;
    f->WaveFormatExt.dwChannelMask = KSAUDIO_SPEAKER_STEREO;
    f->WaveFormatExt.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return bytes;
}

void AppendModeList(std::vector<UCHAR>& bytes, ULONG listSize, ULONG count, ULONG attributeSize)
{
    bytes.resize(KsAttributeListOffset((ULONG)bytes.size()));
    size_t at = bytes.size();
    bytes.resize(at + 8 + sizeof(KSATTRIBUTE_AUDIOSIGNALPROCESSING_MODE));
    KSMULTIPLE_ITEM list = {listSize, count};
    memcpy(&bytes[at], &list, sizeof(list));
    KSATTRIBUTE_AUDIOSIGNALPROCESSING_MODE mode = {};
    mode.AttributeHeader = {attributeSize, 0, KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE};
    mode.SignalProcessingMode = AUDIO_SIGNALPROCESSINGMODE_RAW;
    memcpy(&bytes[at + 8], &mode, sizeof(mode));
}

NTSTATUS Validate(const std::vector<UCHAR>& b, const KSMULTIPLE_ITEM** list = nullptr)
{
    const KSDATAFORMAT* f = nullptr;
    const KSMULTIPLE_ITEM* a = nullptr;
    NTSTATUS s = KsValidateDataFormat(b.data(), (ULONG)b.size(), &f, &a);
    if (list != nullptr)
        *list = a;
    if (NT_SUCCESS(s))
        EXPECT_EQ(static_cast<const void*>(b.data()), f);
    else
        EXPECT_EQ(nullptr, f);
    return s;
}
} // namespace

TEST(KsFormat, WellFormedFormatsPass)
{
    auto b = Format();
    const KSMULTIPLE_ITEM* list = reinterpret_cast<const KSMULTIPLE_ITEM*>(1);
    EXPECT_EQ(STATUS_SUCCESS, Validate(b, &list));
    EXPECT_EQ(nullptr, list);
    // Plain WAVEFORMATEX of 82 bytes with cbSize 0.
    b.resize(82);
    auto w = reinterpret_cast<KSDATAFORMAT_WAVEFORMATEX*>(b.data());
    w->DataFormat.FormatSize = 82;
    w->WaveFormatEx = {WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0};
    EXPECT_EQ(STATUS_SUCCESS, Validate(b));
    EXPECT_EQ(48000u, KsWaveFormatOf(&w->DataFormat)->nSamplesPerSec);

    auto a = Format(KSDATAFORMAT_ATTRIBUTES);
    AppendModeList(a, 48, 1, 40);
    EXPECT_EQ(STATUS_SUCCESS, Validate(a, &list));
    ASSERT_NE(nullptr, list);
    EXPECT_EQ(a.data() + 104, reinterpret_cast<const UCHAR*>(list));
}

TEST(KsFormat, FormatSizeMustLieInsideTheRequest)
{
    auto b = Format();
    const KSDATAFORMAT* f;
    const KSMULTIPLE_ITEM* a;
    EXPECT_EQ(STATUS_INVALID_BUFFER_SIZE, KsValidateDataFormat(b.data(), 63, &f, &a));
    EXPECT_EQ(STATUS_INVALID_BUFFER_SIZE, KsValidateDataFormat(nullptr, 104, &f, &a));
    reinterpret_cast<KSDATAFORMAT*>(b.data())->FormatSize = 105; // one past the buffer
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Validate(b));
    reinterpret_cast<KSDATAFORMAT*>(b.data())->FormatSize = 0xFFFFFFFF;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Validate(b));
    reinterpret_cast<KSDATAFORMAT*>(b.data())->FormatSize = 63;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Validate(b));
    // A wave specifier with no room for WAVEFORMATEX.
    reinterpret_cast<KSDATAFORMAT*>(b.data())->FormatSize = 81;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Validate(b));
}

TEST(KsFormat, CbSizeMustFitFormatSize)
{
    auto b = Format();
    auto f = reinterpret_cast<KSDATAFORMAT_WAVEFORMATEXTENSIBLE*>(b.data());
    f->WaveFormatExt.Format.cbSize = 23; // 64 + 18 + 23 = 105 > 104
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Validate(b));
    f->WaveFormatExt.Format.cbSize = 0xFFFF;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Validate(b));
    // Extensible needs its whole extension.
    f->WaveFormatExt.Format.cbSize = 21;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Validate(b));
    f->WaveFormatExt.Format.cbSize = 22;
    EXPECT_EQ(STATUS_SUCCESS, Validate(b));
}

TEST(KsFormat, HostileAttributeListsAreRefused)
{
    // The flag without a list behind the format.
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Validate(Format(KSDATAFORMAT_ATTRIBUTES)));
    struct Case
    {
        ULONG ListSize, Count, AttributeSize;
    } cases[] = {
        {49, 1, 40},                       // list claims a byte past the request
        {0xFFFFFFF8, 1, 40},               // wrapping size
        {4, 0, 40},                        // below its own header
        {48, 2, 40},                       // two entries cannot fit in 40 bytes
        {48, 0x20000000, 40}, {48, 1, 41}, // entry past the list
        {48, 1, 16},                       // entry below an attribute header
        {48, 1, 0},                        // zero-sized entry would never advance
    };
    for (const Case& c : cases)
    {
        auto b = Format(KSDATAFORMAT_ATTRIBUTES);
        AppendModeList(b, c.ListSize, c.Count, c.AttributeSize);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, Validate(b))
            << c.ListSize << " " << c.Count << " " << c.AttributeSize;
    }
    // The attribute list lies at the 8-byte boundary after an 82-byte format.
    auto b = Format(KSDATAFORMAT_ATTRIBUTES);
    b.resize(82);
    reinterpret_cast<KSDATAFORMAT*>(b.data())->FormatSize = 82;
    reinterpret_cast<KSDATAFORMAT_WAVEFORMATEX*>(b.data())->WaveFormatEx.cbSize = 0;
    reinterpret_cast<KSDATAFORMAT_WAVEFORMATEX*>(b.data())->WaveFormatEx.wFormatTag = 1;
    AppendModeList(b, 48, 1, 40);
    EXPECT_EQ(88u + 48u, b.size());
    const KSMULTIPLE_ITEM* list = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, Validate(b, &list));
    EXPECT_EQ(b.data() + 88, reinterpret_cast<const UCHAR*>(list));
}

TEST(KsGuids, PublishedValues)
{
    struct
    {
        const GUID& Value;
        const char* Text;
    } guids[] = {
        {KSDATAFORMAT_TYPE_AUDIO, "73647561-0000-0010-8000-00AA00389B71"},
        {KSDATAFORMAT_SUBTYPE_PCM, "00000001-0000-0010-8000-00AA00389B71"},
        {KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, "00000003-0000-0010-8000-00AA00389B71"},
        {KSDATAFORMAT_SUBTYPE_ANALOG, "6DBA3190-67BD-11CF-A0F7-0020AFD156E4"},
        {KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, "05589F81-C356-11CE-BF01-00AA0055595A"},
        {KSDATAFORMAT_SPECIFIER_DSOUND, "518590A2-A184-11D0-8522-00C04FD9BAF3"},
        {KSDATAFORMAT_SPECIFIER_NONE, "0F6417D6-C318-11D0-A43F-00A0C9223196"},
        {KSCATEGORY_AUDIO, "6994AD04-93EF-11D0-A3CC-00A0C9223196"},
        {KSCATEGORY_RENDER, "65E8773E-8F56-11D0-A3B9-00A0C9223196"},
        {KSCATEGORY_CAPTURE, "65E8773D-8F56-11D0-A3B9-00A0C9223196"},
        {KSCATEGORY_TOPOLOGY, "DDA54A40-1E4C-11D1-A050-405705C10000"},
        {KSNODETYPE_DAC, "507AE360-C554-11D0-8A2B-00A0C9255AC1"},
        {KSNODETYPE_ADC, "4D837FE0-C555-11D0-8A2B-00A0C9255AC1"},
        {KSNODETYPE_VOLUME, "3A5ACC00-C557-11D0-8A2B-00A0C9255AC1"},
        {KSNODETYPE_MUTE, "02B223C0-C557-11D0-8A2B-00A0C9255AC1"},
        {KSNODETYPE_SPEAKER, "DFF21CE1-F70F-11D0-B917-00A0C9223196"},
        {KSNODETYPE_HDMI_INTERFACE, "D1B9CC2A-F519-417F-91C9-55FA65481001"},
        {KSNODETYPE_DISPLAYPORT_INTERFACE, "E47E4031-3EA6-418D-8F9B-B73843CCBA97"},
        {KSAUDFNAME_MIDRANGE, "A2CBE478-AE84-49A1-8B72-4AD09B78ED34"},
        {KSPROPSETID_Audio, "45FFAAA0-6E1B-11D0-BCF2-444553540000"},
        {KSPROPSETID_Jack, "4509F757-2D46-4637-8E62-CE7DB944F57B"},
        {KSPROPSETID_Connection, "1D58C920-AC9B-11CF-A5D6-28DB04C10000"},
        {KSEVENTSETID_AudioControlChange, "E85E9698-FA2F-11D1-95BD-00C04FB925D3"},
        {KSPROPTYPESETID_General, "97E99BA0-BDEA-11CF-A5D6-28DB04C10000"},
        {KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE, "E1F89EB5-5F46-419B-967B-FF6770B98401"},
        {AUDIO_SIGNALPROCESSINGMODE_RAW, "9E90EA20-B493-4FD1-A1A8-7E1361A956CF"},
        {KSNAME_Pin, "146F1A80-4791-11D0-A5D6-28DB04C10000"},
        {KSPROPSETID_DevicePrivate, "1B4400F0-9627-4EE7-A593-B37C034EF0DE"},
        {KSPROPSETID_NodeIdentity, "00A34C4A-26E6-4095-98E9-77FAE2F11FB6"},
        {KSPROPSETID_OutputType, "ED76304D-B322-4ECB-9B9E-8E13C1465F04"},
        {KSPROPSETID_PseudoControl, "369C31B9-34E6-4640-99B6-ADD16CF11994"},
        {KSPROPSETID_EndpointCapabilities, "A210D309-0822-456B-BD3C-2196567CADA7"},
        {KSNODETYPE_SPDIF_INTERFACE, "DFF21FE5-F70F-11D0-B917-00A0C9223196"},
        {KSNODETYPE_STEREO_MIX_LEGACY, "00DFF077-96E3-11D2-AC4C-00C04F8EFB68"},
        {KSAUDFNAME_TREBLE, "185FEDE1-9905-11D1-95A9-00C04FB925D3"},
        {IID_IUnknown, "00000000-0000-0000-C000-000000000046"},
    };
    for (const auto& g : guids)
        EXPECT_TRUE(IsEqualGUID(g.Value, Parse(g.Text))) << g.Text;
}

TEST(KsLayout, FieldOffsetsOfAudioRecords)
{
    EXPECT_EQ(64u, offsetof(KSDATARANGE_AUDIO, MaximumChannels));
    EXPECT_EQ(80u, offsetof(KSDATARANGE_AUDIO, MaximumSampleFrequency));
    EXPECT_EQ(2u, offsetof(WAVEFORMATEX, nChannels));
    EXPECT_EQ(16u, offsetof(WAVEFORMATEX, cbSize));
    EXPECT_EQ(18u, offsetof(WAVEFORMATEXTENSIBLE, Samples));
    EXPECT_EQ(20u, offsetof(WAVEFORMATEXTENSIBLE, dwChannelMask));
    EXPECT_EQ(24u, offsetof(KSJACK_DESCRIPTION, IsConnected));
    EXPECT_EQ(24u, offsetof(KSPROPERTY_DESCRIPTION, PropTypeSet) + 16);
    EXPECT_EQ(24u + 88u, sizeof(PCPIN_DESCRIPTOR));
    EXPECT_EQ(0x2F0003u, IOCTL_KS_PROPERTY);
    EXPECT_EQ(0x2F0007u, IOCTL_KS_ENABLE_EVENT);
    EXPECT_EQ(0x2F000Bu, IOCTL_KS_DISABLE_EVENT);
}

// A range flagged with attributes is followed in the pin's list by its
// attribute list, which is never handed out as a range.
TEST(KsFormat, PinRangesSkipTheAttributeListAfterAFlaggedRange)
{
    KSDATARANGE plain = {};
    plain.FormatSize = sizeof(KSDATARANGE);
    KSDATARANGE flagged = plain;
    flagged.Flags = KSDATARANGE_ATTRIBUTES;
    KSATTRIBUTE_LIST list = {};
    auto listEntry = reinterpret_cast<PKSDATARANGE>(&list);
    struct Case
    {
        std::vector<PKSDATARANGE> Entries;
        std::vector<const KSDATARANGE*> Expected;
    } const cases[] = {
        {{&plain, &plain}, {&plain, &plain}},
        {{&flagged, listEntry, &plain}, {&flagged, &plain}},
        {{&flagged, listEntry, &flagged, listEntry}, {&flagged, &flagged}},
        {{nullptr, &flagged, listEntry}, {&flagged}},
        {{&plain, &flagged}, {&plain, &flagged}}, // a list cut short ends the walk
        {{}, {}},
    };
    for (const Case& c : cases)
    {
        KSPIN_DESCRIPTOR pin = {};
        pin.DataRangesCount = (ULONG)c.Entries.size();
        pin.DataRanges = c.Entries.empty() ? nullptr : c.Entries.data();
        std::vector<const KSDATARANGE*> seen;
        ULONG entry = 0;
        while (const KSDATARANGE* range = KsNextPinDataRange(pin, &entry))
            seen.push_back(range);
        EXPECT_EQ(c.Expected, seen);
        EXPECT_EQ(pin.DataRangesCount, entry);
    }
}
