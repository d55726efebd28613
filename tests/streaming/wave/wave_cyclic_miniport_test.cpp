// The wave miniport against a hand-built stream engine: its ranges, its
// intersection, its stream bookkeeping, modes, identity and property.
#include <gtest/gtest.h>

#include "platform/kernel/emu.h"
#include "platform/portcls/portcls_emu.h"
#include "sim/clients/audio_engine_client.h"
#include "streaming/wave/wave_data_format.h"
#include "tests/streaming/wave/wave_rig.h"

namespace
{
const WAVEFORMATEXTENSIBLE kDsd = []
{
    WAVEFORMATEXTENSIBLE r = WaveRecord(2, 2822400, 32);
    r.SubFormat = KSDATAFORMAT_SUBTYPE_LT_DSD;
    return r;
}();

struct Engine
{
    explicit Engine(std::vector<WAVEFORMATEXTENSIBLE> formats, ULONG direction = 0)
        : Stream(MakeHandStream(direction, formats))
    {
    }
    ~Engine() { EXPECT_EQ(0u, Stream->Release()); }
    HandStream* Stream;
};

const PCPIN_DESCRIPTOR& Pin(CWaveCyclicMiniport* miniport, ULONG pin)
{
    PPCFILTER_DESCRIPTOR d = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, miniport->GetDescription(&d));
    return d->Pins[pin];
}

const KSDATARANGE_AUDIO& Range(CWaveCyclicMiniport* miniport, ULONG index)
{
    return *reinterpret_cast<const KSDATARANGE_AUDIO*>(
        Pin(miniport, 0).KsPinDescriptor.DataRanges[2 * index]);
}

// The ranges the cases ask with, in the audio engine client's own form.
constexpr auto ClientRange = &AudioClientRange;
} // namespace

TEST(WaveMiniport, FormatsOfOneSubformatMergeIntoOneRange)
{
    Engine engine({WaveRecord(2, 44100, 16), WaveRecord(8, 96000, 24), kDsd});
    WaveRig rig(engine.Stream);
    ASSERT_TRUE(rig.Ok());
    const PCPIN_DESCRIPTOR& pin = Pin(rig.Miniport(), 0);
    ASSERT_EQ(2u, pin.KsPinDescriptor.DataRangesCount); // one range and its attributes
    const KSDATARANGE_AUDIO& r = Range(rig.Miniport(), 0);
    EXPECT_EQ(88u, r.DataRange.FormatSize);
    EXPECT_EQ(KSDATARANGE_ATTRIBUTES, r.DataRange.Flags);
    EXPECT_TRUE(IsEqualGUID(KSDATAFORMAT_SUBTYPE_PCM, r.DataRange.SubFormat));
    EXPECT_EQ(8u, r.MaximumChannels);
    EXPECT_EQ(16u, r.MinimumBitsPerSample);
    EXPECT_EQ(24u, r.MaximumBitsPerSample);
    EXPECT_EQ(44100u, r.MinimumSampleFrequency);
    EXPECT_EQ(96000u, r.MaximumSampleFrequency);
    auto list = reinterpret_cast<const KSATTRIBUTE_LIST*>(pin.KsPinDescriptor.DataRanges[1]);
    ASSERT_EQ(1u, list->Count);
    EXPECT_EQ(24u, list->Attributes[0]->Size);
    EXPECT_TRUE(
        IsEqualGUID(KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE, list->Attributes[0]->Attribute));
}

TEST(WaveMiniport, PcmRangeComesFirst)
{
    Engine engine(
        {WaveRecord(2, 48000, 32, 3), WaveRecord(2, 48000, 16), WaveRecord(2, 96000, 32, 3)});
    WaveRig rig(engine.Stream);
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(4u, Pin(rig.Miniport(), 0).KsPinDescriptor.DataRangesCount);
    EXPECT_TRUE(
        IsEqualGUID(KSDATAFORMAT_SUBTYPE_PCM, Range(rig.Miniport(), 0).DataRange.SubFormat));
    EXPECT_EQ(3u, Range(rig.Miniport(), 1).DataRange.SubFormat.Data1);
    EXPECT_EQ(96000u, Range(rig.Miniport(), 1).MaximumSampleFrequency);
}

// No PCM format is a refusal of its own, told apart from a failure to
// allocate the ranges, which the same engine with PCM gets.
TEST(WaveMiniport, EngineWithoutPcmFailsInit)
{
    const std::vector<std::vector<WAVEFORMATEXTENSIBLE>> engines = {
        {kDsd}, {WaveRecord(2, 48000, 32, 3)}, {}, {WaveRecord(2, 48000, 16)}};
    for (const auto& formats : engines)
    {
        const bool pcm = formats.size() == 1 && formats[0].SubFormat.Data1 == 1;
        Engine engine(formats);
        if (pcm)
            EmuPoolInjectFailure(WAVE_CYCLIC_POOL_TAG, 1); // past the miniport itself
        WaveRig rig(engine.Stream);
        EXPECT_EQ(pcm ? STATUS_INSUFFICIENT_RESOURCES : STATUS_NO_MATCH, rig.InitStatus());
        PPCFILTER_DESCRIPTOR d = nullptr;
        EXPECT_EQ(STATUS_DEVICE_CONFIGURATION_ERROR, rig.Miniport()->GetDescription(&d));
    }
}

TEST(WaveMiniport, FilterDescriptorFollowsTheDirection)
{
    for (ULONG direction : {0u, 1u})
    {
        Engine engine({WaveRecord(2, 48000, 16)}, direction);
        WaveRig rig(engine.Stream);
        ASSERT_TRUE(rig.Ok());
        PPCFILTER_DESCRIPTOR d = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, rig.Miniport()->GetDescription(&d));
        EXPECT_EQ(112u, d->PinSize);
        EXPECT_EQ(2u, d->PinCount);
        EXPECT_EQ(1u, d->NodeCount);
        EXPECT_EQ(3u, d->CategoryCount);
        EXPECT_TRUE(IsEqualGUID(direction ? KSNODETYPE_ADC : KSNODETYPE_DAC, *d->Nodes[0].Type));
        EXPECT_TRUE(
            IsEqualGUID(direction ? KSCATEGORY_CAPTURE : KSCATEGORY_RENDER, d->Categories[1]));
        const KSPIN_DESCRIPTOR& streaming = d->Pins[0].KsPinDescriptor;
        const KSPIN_DESCRIPTOR& bridge = d->Pins[1].KsPinDescriptor;
        EXPECT_EQ(direction ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN, streaming.DataFlow);
        EXPECT_EQ(direction ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT, bridge.DataFlow);
        EXPECT_EQ(KSPIN_COMMUNICATION_SINK, streaming.Communication);
        EXPECT_EQ(KSPIN_COMMUNICATION_NONE, bridge.Communication);
        EXPECT_EQ(1u, d->Pins[0].MaxFilterInstanceCount);
        EXPECT_EQ(0u, d->Pins[1].MaxFilterInstanceCount);
        EXPECT_TRUE(IsEqualGUID(KSDATAFORMAT_SUBTYPE_ANALOG, bridge.DataRanges[0]->SubFormat));
        // Data runs from the streaming pin to the bridge for render, back for capture.
        const ULONG from = direction ? 1 : 0;
        EXPECT_EQ(PCFILTER_NODE, d->Connections[0].FromNode);
        EXPECT_EQ(from, d->Connections[0].FromNodePin);
        EXPECT_EQ(1u, d->Connections[0].ToNodePin);
        EXPECT_EQ(1 - from, d->Connections[1].ToNodePin);
    }
}

TEST(WaveMiniport, NameIsTheEnginesWithWaveCutToFit)
{
    struct Case
    {
        std::u16string Engine;
        std::u16string Expected;
    } const cases[] = {
        {u"SPKOut00", u"SPKOut00Wave"},
        {std::u16string(46, u'a'), std::u16string(46, u'a') + u"Wave"},
        {std::u16string(47, u'a'), std::u16string(47, u'a') + u"Wav"},
        {std::u16string(50, u'a'), std::u16string(50, u'a')},
    };
    for (const Case& c : cases)
    {
        Engine engine({WaveRecord(2, 48000, 16)});
        ASSERT_EQ(STATUS_SUCCESS, engine.Stream->SetName(c.Engine.c_str()));
        WaveRig rig(engine.Stream);
        ASSERT_TRUE(rig.Ok());
        PWSTR name = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, rig.Miniport()->GetFilterName(&name));
        EXPECT_EQ(c.Expected, std::u16string(name));
    }
}

TEST(WaveMiniport, IntersectionSizeQueryAndRefusals)
{
    Engine engine({WaveRecord(2, 48000, 16), WaveRecord(2, 44100, 16), WaveRecord(2, 48000, 24)});
    WaveRig rig(engine.Stream);
    ASSERT_TRUE(rig.Ok());
    auto own = const_cast<PKSDATARANGE>(&Range(rig.Miniport(), 0).DataRange);
    UCHAR out[WAVE_INTERSECTION_BYTES + 8] = {};
    struct Case
    {
        KSDATARANGE_AUDIO Client;
        ULONG Length;
        NTSTATUS Expected;
        ULONG ExpectedLength;
    };
    KSDATARANGE_AUDIO good = ClientRange(KSDATAFORMAT_SUBTYPE_PCM, 2, 8, 32, 8000, 192000);
    KSDATARANGE_AUDIO dsound = good;
    dsound.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_DSOUND;
    KSDATARANGE_AUDIO video = good;
    video.DataRange.MajorFormat = KSDATAFORMAT_SPECIFIER_NONE;
    KSDATARANGE_AUDIO floats =
        ClientRange(KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, 2, 32, 32, 48000, 48000);
    KSDATARANGE_AUDIO short_ = good;
    short_.DataRange.FormatSize = 87;
    Case cases[] = {
        {good, 0, STATUS_BUFFER_OVERFLOW, 104},
        {good, 103, STATUS_BUFFER_TOO_SMALL, 0},
        {good, 104, STATUS_SUCCESS, 104},
        {dsound, 104, STATUS_NOT_SUPPORTED, 0},
        {video, 104, STATUS_NO_MATCH, 0},
        {floats, 104, STATUS_NO_MATCH, 0},
        {short_, 104, STATUS_INVALID_PARAMETER, 0},
        {short_, 0, STATUS_BUFFER_OVERFLOW, 104},
        {ClientRange(KSDATAFORMAT_SUBTYPE_PCM, 2, 8, 32, 48001, 96000), 104, STATUS_NO_MATCH, 0},
        {ClientRange(KSDATAFORMAT_SUBTYPE_PCM, 2, 8, 32, 8000, 44099), 104, STATUS_NO_MATCH, 0},
        {ClientRange(KSDATAFORMAT_SUBTYPE_PCM, 2, 25, 32, 8000, 48000), 104, STATUS_NO_MATCH, 0},
        {ClientRange(KSDATAFORMAT_SUBTYPE_PCM, 2, 8, 15, 8000, 48000), 104, STATUS_NO_MATCH, 0},
        {ClientRange(KSDATAFORMAT_SUBTYPE_PCM, 2, 8, 16, 8000, 44100), 104, STATUS_SUCCESS, 104},
        // Overlapping but no record of 6 channels.
        {ClientRange(KSDATAFORMAT_SUBTYPE_PCM, 6, 8, 32, 8000, 48000), 104, STATUS_SUCCESS, 104},
    };
    cases[13].Client.MaximumChannels = 2; // min(6, 2) is 2: a record exists
    for (const Case& c : cases)
    {
        ULONG length = 0;
        KSDATARANGE_AUDIO client = c.Client;
        EXPECT_EQ(c.Expected, rig.Miniport()->DataRangeIntersection(0, &client.DataRange, own,
                                                                    c.Length, out, &length));
        EXPECT_EQ(c.ExpectedLength, length);
    }
}

TEST(WaveMiniport, IntersectionResultIsTheEnginesRecord)
{
    WAVEFORMATEXTENSIBLE r48 = WaveRecord(2, 48000, 24);
    r48.dwChannelMask = 0x33; // only the record carries this
    Engine engine({WaveRecord(2, 48000, 16), WaveRecord(2, 44100, 16), r48});
    WaveRig rig(engine.Stream);
    ASSERT_TRUE(rig.Ok());
    auto own = const_cast<PKSDATARANGE>(&Range(rig.Miniport(), 0).DataRange);
    struct Case
    {
        KSDATARANGE_AUDIO Client;
        bool NullSpecifier;
        WAVEFORMATEXTENSIBLE Expected;
        ULONG SampleSize;
    } const cases[] = {
        {ClientRange(KSDATAFORMAT_SUBTYPE_PCM, 8, 8, 32, 8000, 192000), false, r48, 6},
        {ClientRange(KSDATAFORMAT_SUBTYPE_PCM, 2, 16, 16, 8000, 44100), false,
         WaveRecord(2, 44100, 16), 4},
        {ClientRange(KSDATAFORMAT_SUBTYPE_PCM, 0, 0, 0, 0, 0), true, r48, 0},
    };
    for (const Case& c : cases)
    {
        KSDATARANGE_AUDIO client = c.Client;
        client.DataRange.Flags = KSDATARANGE_ATTRIBUTES;
        if (c.NullSpecifier)
            client.DataRange.Specifier = GUID_NULL;
        UCHAR out[WAVE_INTERSECTION_BYTES] = {};
        ULONG length = 0;
        ASSERT_EQ(STATUS_SUCCESS, rig.Miniport()->DataRangeIntersection(0, &client.DataRange, own,
                                                                        sizeof(out), out, &length));
        auto header = reinterpret_cast<const KSDATAFORMAT*>(out);
        EXPECT_EQ(104u, header->FormatSize);
        EXPECT_EQ(0u, header->Flags); // no attribute list follows the result
        EXPECT_EQ(c.SampleSize, header->SampleSize);
        EXPECT_TRUE(IsEqualGUID(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, header->Specifier));
        EXPECT_EQ(0, memcmp(&c.Expected, out + sizeof(KSDATAFORMAT), 40));
    }
}

// The engine's format sets against client ranges: where the largest
// channels, rate and bits taken apart are no record, the result is the
// record inside both ranges with the most channels, then the highest rate,
// then the most bits; no such record is no match. Either direction.
TEST(WaveMiniport, IntersectionFindsARecordInsideBothRanges)
{
    WAVEFORMATEXTENSIBLE twelve = WaveRecord(2, 48000, 16);
    twelve.Samples.wValidBitsPerSample = 12;
    std::vector<WAVEFORMATEXTENSIBLE> sets[7] = {
        {},
        {WaveRecord(1, 48000, 16), WaveRecord(1, 44100, 24)},
        {WaveRecord(8, 48000, 16), WaveRecord(2, 48000, 24)},
        {},
        {twelve, WaveRecord(2, 48000, 24)},
        {WaveRecord(2, 48000, 16), WaveRecord(2, 48000, 24), WaveRecord(2, 44100, 32)},
        // IEEE float beside PCM: a record of another subformat is never the answer.
        {WaveRecord(2, 48000, 16), WaveRecord(2, 44100, 32), WaveRecord(2, 48000, 32, 3)}};
    for (ULONG rate : {8000u, 11025u, 16000u, 22050u, 32000u, 44100u, 48000u})
        for (USHORT bits : {16, 24})
        {
            for (USHORT ch = 1; rate >= 44100 && ch <= 2; ++ch)
                sets[0].push_back(WaveRecord(ch, rate, bits)); // every combination
            if (bits == 16 || rate <= 32000) // 24-bit packets above 32 kHz do not fit
                sets[3].push_back(WaveRecord(8, rate, bits));
        }
    const auto pcm = [](ULONG ch, ULONG minBits, ULONG maxBits, ULONG minRate, ULONG maxRate)
    { return ClientRange(KSDATAFORMAT_SUBTYPE_PCM, ch, minBits, maxBits, minRate, maxRate); };
    KSDATARANGE_AUDIO unnamed = pcm(32, 8, 32, 1, 768000);
    unnamed.DataRange.Specifier = GUID_NULL;
    const struct
    {
        int Set;
        KSDATARANGE_AUDIO Client;
        USHORT Channels; // 0: no match
        ULONG Rate;
        USHORT Bits;
    } rows[] = {
        {0, pcm(32, 8, 32, 1, 768000), 2, 48000, 24},
        {0, pcm(1, 16, 16, 44100, 44100), 1, 44100, 16},
        {0, pcm(2, 20, 32, 8000, 46000), 2, 44100, 24},
        {0, pcm(8, 25, 32, 8000, 192000), 0, 0, 0},
        {1, unnamed, 1, 48000, 16},
        {1, pcm(32, 8, 32, 1, 768000), 1, 48000, 16},
        {1, pcm(1, 24, 24, 44100, 44100), 1, 44100, 24},
        {1, pcm(2, 20, 24, 8000, 48000), 1, 44100, 24},
        {1, pcm(2, 24, 24, 48000, 48000), 0, 0, 0},
        {2, pcm(32, 8, 32, 1, 768000), 8, 48000, 16},
        {2, pcm(2, 24, 24, 48000, 48000), 2, 48000, 24},
        {2, pcm(6, 16, 32, 44100, 48000), 2, 48000, 24},
        {2, pcm(1, 16, 32, 8000, 48000), 0, 0, 0},
        {3, pcm(32, 8, 32, 1, 768000), 8, 48000, 16},
        {3, pcm(8, 24, 24, 32000, 32000), 8, 32000, 24},
        {3, pcm(8, 18, 24, 22050, 44100), 8, 32000, 24},
        {3, pcm(8, 24, 24, 44100, 48000), 0, 0, 0},
        // No more valid bits than the client takes, none fewer than it asks.
        {4, pcm(2, 16, 16, 48000, 48000), 0, 0, 0},
        {4, pcm(2, 13, 23, 8000, 48000), 0, 0, 0},
        {5, pcm(2, 16, 32, 8000, 192000), 2, 48000, 24},
        {6, unnamed, 2, 48000, 16},
    };
    for (ULONG direction : {0u, 1u})
        for (const auto& row : rows)
        {
            SCOPED_TRACE(testing::Message() << direction << " " << row.Set << " " << row.Channels
                                            << "/" << row.Rate << "/" << row.Bits);
            Engine engine(sets[row.Set], direction);
            WaveRig rig(engine.Stream);
            ASSERT_TRUE(rig.Ok());
            auto own = const_cast<PKSDATARANGE>(&Range(rig.Miniport(), 0).DataRange);
            KSDATARANGE_AUDIO client = row.Client;
            UCHAR out[WAVE_INTERSECTION_BYTES] = {};
            ULONG length = 0;
            const NTSTATUS status = rig.Miniport()->DataRangeIntersection(
                0, &client.DataRange, own, sizeof(out), out, &length);
            EXPECT_EQ(row.Channels == 0 ? STATUS_NO_MATCH : STATUS_SUCCESS, status);
            const WAVEFORMATEXTENSIBLE expected = WaveRecord(row.Channels, row.Rate, row.Bits);
            EXPECT_TRUE(row.Channels == 0 ||
                        memcmp(&expected, out + sizeof(KSDATAFORMAT), sizeof(expected)) == 0);
        }
}

TEST(WaveMiniport, OneStreamAtATime)
{
    Engine engine({WaveRecord(2, 48000, 16)});
    WaveRig rig(engine.Stream);
    ASSERT_TRUE(rig.Ok());
    const auto format = DataFormat(WaveRecord(2, 48000, 16));
    ASSERT_EQ(STATUS_SUCCESS, rig.Open(format));
    EXPECT_TRUE(rig.Miniport()->IsStreamOpen());
    PMINIPORTWAVECYCLICSTREAM second = nullptr;
    PDMACHANNEL dma = nullptr;
    PSERVICEGROUP group = nullptr;
    std::vector<UCHAR> copy = format;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
              rig.Miniport()->NewStream(&second, nullptr, NonPagedPool, 0, FALSE,
                                        reinterpret_cast<PKSDATAFORMAT>(copy.data()), &dma,
                                        &group));
    EXPECT_EQ(nullptr, second);
    rig.Close();
    EXPECT_FALSE(rig.Miniport()->IsStreamOpen());
    EXPECT_EQ(STATUS_SUCCESS, rig.Open(format));
}

TEST(WaveMiniport, NewStreamChecksFormatsAndModes)
{
    Engine engine({WaveRecord(2, 48000, 16), WaveRecord(2, 22050, 8)});
    WaveRig rig(engine.Stream);
    ASSERT_TRUE(rig.Ok());
    auto base = DataFormat(WaveRecord(2, 48000, 16));
    auto plain = DataFormat(WaveRecord(2, 48000, 16, 1, false), false);
    auto withMode = [&](const std::vector<UCHAR>& f, const GUID& mode, ULONG size)
    {
        auto copy = f;
        AppendModeAttribute(&copy, mode, size);
        return copy;
    };
    auto sized = [](std::vector<UCHAR> f, ULONG size)
    {
        reinterpret_cast<KSDATAFORMAT*>(f.data())->FormatSize = size;
        f.resize(size < f.size() ? f.size() : size);
        return f;
    };
    auto edit = [](std::vector<UCHAR> f, void (*change)(WAVEFORMATEX*))
    {
        change(reinterpret_cast<WAVEFORMATEX*>(f.data() + sizeof(KSDATAFORMAT)));
        return f;
    };
    struct Case
    {
        const char* Name;
        std::vector<UCHAR> Format;
        NTSTATUS Expected;
    } const cases[] = {
        {"extensible", base, STATUS_SUCCESS},
        {"plain, 82 bytes", plain, STATUS_SUCCESS},
        {"plain with cbSize 1", edit(plain, [](WAVEFORMATEX* w) { w->cbSize = 1; }),
         STATUS_INVALID_PARAMETER},
        {"81 bytes", sized(plain, 81), STATUS_INVALID_PARAMETER},
        {"83 bytes", sized(plain, 83), STATUS_INVALID_PARAMETER},
        {"88 bytes without attributes", sized(plain, 88), STATUS_INVALID_PARAMETER},
        {"raw mode", withMode(base, AUDIO_SIGNALPROCESSINGMODE_RAW, 40), STATUS_SUCCESS},
        {"default mode", withMode(base, AUDIO_SIGNALPROCESSINGMODE_DEFAULT, 40),
         STATUS_INVALID_DEVICE_REQUEST},
        {"mode attribute of 39", withMode(base, AUDIO_SIGNALPROCESSINGMODE_RAW, 39),
         STATUS_INVALID_PARAMETER},
        {"mode attribute of 41", withMode(base, AUDIO_SIGNALPROCESSINGMODE_RAW, 41),
         STATUS_INVALID_PARAMETER},
        {"82 bytes with attributes", withMode(plain, AUDIO_SIGNALPROCESSINGMODE_RAW, 40),
         STATUS_INVALID_PARAMETER},
        {"block align off by one", edit(plain, [](WAVEFORMATEX* w) { w->nBlockAlign = 5; }),
         STATUS_SUCCESS}, // a plain format takes the engine's record
        {"extensible byte rate off", edit(base, [](WAVEFORMATEX* w) { w->nAvgBytesPerSec += 4; }),
         STATUS_INVALID_PARAMETER},
        {"no such rate", edit(base, [](WAVEFORMATEX* w) { w->nSamplesPerSec = 96000; }),
         STATUS_INVALID_PARAMETER},
        {"11025 Hz is no format here", DataFormat(WaveRecord(2, 11025, 16)),
         STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(c.Expected, rig.Open(c.Format));
        if (c.Expected == STATUS_SUCCESS)
        {
            EXPECT_EQ(4u, (ULONG)rig.Stream()->HostFormat().Format.nBlockAlign);
            EXPECT_EQ(192000u, (ULONG)rig.Stream()->HostFormat().Format.nAvgBytesPerSec);
        }
        rig.Close();
    }
}

TEST(WaveMiniport, ModesOfTheStreamingPin)
{
    Engine engine({WaveRecord(2, 48000, 16)});
    WaveRig rig(engine.Stream);
    ASSERT_TRUE(rig.Ok());
    GUID modes[2] = {};
    struct Case
    {
        ULONG Pin;
        GUID* Buffer;
        ULONG Count;
        NTSTATUS Expected;
        ULONG CountAfter;
    } const cases[] = {
        {1, modes, 2, STATUS_NOT_SUPPORTED, 2},
        {0, nullptr, 0, STATUS_SUCCESS, 1},
        {0, modes, 0, STATUS_BUFFER_TOO_SMALL, 1},
        {0, modes, 2, STATUS_SUCCESS, 1},
    };
    for (const Case& c : cases)
    {
        ULONG count = c.Count;
        EXPECT_EQ(c.Expected, rig.Miniport()->GetModes(c.Pin, c.Buffer, &count));
        EXPECT_EQ(c.CountAfter, count);
    }
    EXPECT_TRUE(IsEqualGUID(AUDIO_SIGNALPROCESSINGMODE_RAW, modes[0]));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, rig.Miniport()->GetModes(0, modes, nullptr));
}

// The stream's terminal is the one its interface links to (0x77), whatever
// kind it reports, not the last of the streaming kind; none, no id.
TEST(WaveMiniport, ConnectionIdIsTheTerminalTheStreamLinksTo)
{
    for (ULONG direction : {0u, 1u})
    {
        Engine engine({WaveRecord(2, 48000, 16)}, direction);
        // Terminal kind equals the direction for the USB side: input terminal
        // (0) for render, output terminal (1) for capture.
        auto* a = new (NonPagedPool, 0x41414141) TerminalDouble(4, direction, ENDPOINT_KIND_STREAM);
        auto* b =
            new (NonPagedPool, 0x41414141) TerminalDouble(7, 1 - direction, ENDPOINT_KIND_STREAM);
        auto* c = new (NonPagedPool, 0x41414141) TerminalDouble(9, direction, ENDPOINT_KIND_SPK);
        auto* d =
            new (NonPagedPool, 0x41414141) TerminalDouble(11, direction, ENDPOINT_KIND_STREAM);
        auto* e =
            new (NonPagedPool, 0x41414141) TerminalDouble(13, direction, ENDPOINT_KIND_STREAM);
        e->Answers = false;
        auto* f = new (NonPagedPool, 0x41414141) TerminalDouble(0x77, direction, ENDPOINT_KIND_AUX);
        for (TerminalDouble* t : {a, b, c, f, d, e})
        {
            EXPECT_EQ(STATUS_SUCCESS, engine.Stream->AddPathControl(t));
        }
        WaveRig rig(engine.Stream);
        ASSERT_TRUE(rig.Ok());
        ULONG id = 0xFFFF;
        EXPECT_EQ(STATUS_SUCCESS, rig.Miniport()->GetConnectionId(&id));
        EXPECT_EQ(0x77u, id);
    }
    Engine empty({WaveRecord(2, 48000, 16)});
    WaveRig rig(empty.Stream);
    ULONG id = 0xFFFF;
    EXPECT_EQ(STATUS_NOT_FOUND, rig.Miniport()->GetConnectionId(&id));
    EXPECT_EQ(0xFFFFu, id);
}

TEST(WaveMiniport, PowerStatesInRangeAreKept)
{
    Engine engine({WaveRecord(2, 48000, 16)});
    WaveRig rig(engine.Stream);
    ASSERT_TRUE(rig.Ok());
    EXPECT_EQ(1u, rig.Miniport()->GetDevicePowerState());
    const std::pair<ULONG, ULONG> steps[] = {{3, 3}, {0, 3}, {5, 3}, {4, 4}, {1, 1}};
    for (auto [state, kept] : steps)
    {
        POWER_STATE p;
        p.DeviceState = (DEVICE_POWER_STATE)state;
        rig.Miniport()->PowerChangeNotify(p);
        EXPECT_EQ(kept, rig.Miniport()->GetDevicePowerState());
    }
}

TEST(WaveMiniport, CapabilityPropertyAsksTheAdapterForItsEngine)
{
    Engine engine({WaveRecord(2, 48000, 16)});
    WaveRig rig(engine.Stream);
    ASSERT_TRUE(rig.Ok());
    PPCFILTER_DESCRIPTOR d = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, rig.Miniport()->GetDescription(&d));
    ASSERT_EQ(1u, d->AutomationTable->PropertyCount);
    const PCPROPERTY_ITEM& item = d->AutomationTable->Properties[0];
    EXPECT_TRUE(IsEqualGUID(KSPROPSETID_DevicePrivate, *item.Set));
    EXPECT_EQ(1u, item.Id);
    EXPECT_EQ((ULONG)PCPROPERTY_ITEM_FLAG_GET, item.Flags);
    PMINIPORT major = rig.Miniport();
    PCPROPERTY_ITEM other = item;
    other.Id = 2;
    struct Case
    {
        const PCPROPERTY_ITEM* Item;
        ULONG Size;
        NTSTATUS Expected;
    } const cases[] = {
        {&item, 31, STATUS_INVALID_DEVICE_REQUEST},
        {&item, 32, STATUS_SUCCESS},
        {&item, 33, STATUS_SUCCESS},
        {&other, 32, STATUS_INVALID_DEVICE_REQUEST},
    };
    for (const Case& c : cases)
    {
        UCHAR value[40] = {};
        PCPROPERTY_REQUEST request = {};
        request.MajorTarget = major;
        request.PropertyItem = c.Item;
        request.Verb = KSPROPERTY_TYPE_GET;
        request.ValueSize = c.Size;
        request.Value = value;
        EXPECT_EQ(c.Expected, item.Handler(&request));
        if (c.Expected == STATUS_SUCCESS)
        {
            EXPECT_EQ(32u, request.ValueSize);
            EXPECT_EQ(0, memcmp(&rig.Adapter()->Capabilities, value, 32));
        }
    }
    EXPECT_EQ(std::vector<ULONG>({0, 0}), rig.Adapter()->CapabilityIndexes);
}

TEST(WaveMiniport, InterfacesItAnswers)
{
    Engine engine({WaveRecord(2, 48000, 16)});
    WaveRig rig(engine.Stream);
    ASSERT_TRUE(rig.Ok());
    const GUID answered[] = {IID_IUnknown,
                             IID_IMiniport,
                             IID_IMiniportWaveCyclic,
                             IID_IMiniportAudioSignalProcessing,
                             IID_IMiniportIdentity,
                             IID_IPowerNotify};
    for (const GUID& iid : answered)
    {
        PUNKNOWN object = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, rig.Miniport()->QueryInterface(iid, (PVOID*)&object));
        ASSERT_NE(nullptr, object);
        object->Release();
    }
    PUNKNOWN object = reinterpret_cast<PUNKNOWN>(1);
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              rig.Miniport()->QueryInterface(IID_IMiniportTopology, (PVOID*)&object));
    EXPECT_EQ(nullptr, object);
}
