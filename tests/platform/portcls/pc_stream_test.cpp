// The test miniport pair installed through PcRegisterSubdevice, connected,
// opened and run by the audio-engine client: enumeration, intersection, pin
// creation and its format checks, the state machine, render and capture data
// through the cyclic buffer, node properties and the control-change event.
#include <gtest/gtest.h>

#include "platform/kernel/emu.h"
#include "sim/clients/audio_engine_client.h"
#include "tests/platform/portcls/pc_rig.h"

namespace
{
class Stream : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_EQ(STATUS_SUCCESS, Rig.Add());
        ASSERT_EQ(STATUS_SUCCESS, Rig.StartDevice());
        Client = new AudioEngineClient(Rig.Pdo);
    }
    void TearDown() override
    {
        delete Client;
        Rig.Remove();
    }
    // Opens the render or capture filter and its streaming pin at 48 kHz stereo.
    void OpenStreaming(bool capture)
    {
        ASSERT_EQ(STATUS_SUCCESS, Client->OpenFilter(capture ? u"MicIn00" : u"SPKOut00", &Filter));
        KSDATARANGE_AUDIO wanted = PcTestRange();
        ASSERT_EQ(STATUS_SUCCESS,
                  Client->OpenPinWithRange(Filter, 0, &wanted.DataRange, &Pin, &Format));
    }
    TestWaveMiniport* Wave(bool capture) { return capture ? Rig.Capture : Rig.Render; }

    PcRig Rig;
    AudioEngineClient* Client = nullptr;
    PFILE_OBJECT Filter = nullptr;
    PFILE_OBJECT Pin = nullptr;
    std::vector<UCHAR> Format;
};

std::vector<UCHAR> Ramp(size_t bytes, unsigned seed)
{
    std::vector<UCHAR> v(bytes);
    for (size_t i = 0; i < bytes; ++i)
        v[i] = (UCHAR)((i * 7 + seed) % 251 + 1); // never 0, the silence byte
    return v;
}
} // namespace

TEST_F(Stream, ClientEnumeratesFiltersConnectionsPinsAndNodes)
{
    auto subdevices = Client->Subdevices();
    ASSERT_EQ(3u, subdevices.size());
    auto connections = Client->PhysicalConnections();
    ASSERT_EQ(2u, connections.size());
    EXPECT_EQ(u"SPKOut00", connections[0].FromName);

    PFILE_OBJECT topo = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Client->OpenFilter(u"Topo", &topo));
    ULONG pins = 0;
    EXPECT_EQ(STATUS_SUCCESS, Client->GetPinCount(topo, &pins));
    EXPECT_EQ(4u, pins);
    std::vector<GUID> nodes;
    ASSERT_EQ(STATUS_SUCCESS, Client->GetNodeTypes(topo, &nodes));
    ASSERT_EQ(2u, nodes.size());
    EXPECT_TRUE(IsEqualGUID(KSNODETYPE_VOLUME, nodes[0]));
    EXPECT_TRUE(IsEqualGUID(KSNODETYPE_MUTE, nodes[1]));
    std::vector<KSTOPOLOGY_CONNECTION> wires;
    ASSERT_EQ(STATUS_SUCCESS, Client->GetConnections(topo, &wires));
    ASSERT_EQ(4u, wires.size());
    EXPECT_EQ(1u, wires[1].ToNode);
    EXPECT_EQ(PCFILTER_NODE, wires[3].FromNode);

    PFILE_OBJECT wave = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Client->OpenFilter(u"SPKOut00", &wave));
    std::vector<UCHAR> ranges;
    ASSERT_EQ(STATUS_SUCCESS, Client->GetPinDataRanges(wave, 0, &ranges));
    ASSERT_EQ(8u + 88u, ranges.size());
    auto range = reinterpret_cast<const KSDATARANGE_AUDIO*>(ranges.data() + 8);
    EXPECT_EQ(48000u, range->MaximumSampleFrequency);
    EXPECT_EQ(44100u, range->MinimumSampleFrequency);
    // A topology filter has no pin to instantiate.
    PFILE_OBJECT pin = nullptr;
    auto format = PcTestFormat();
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST,
              Client->OpenPin(topo, 0, &format, sizeof(format), &pin));
}

TEST_F(Stream, IntersectionAsksForTheSizeFirst)
{
    ASSERT_EQ(STATUS_SUCCESS, Client->OpenFilter(u"SPKOut00", &Filter));
    KSDATARANGE_AUDIO wanted = PcTestRange(1, 44100);
    std::vector<UCHAR> format;
    ASSERT_EQ(STATUS_SUCCESS, Client->Intersect(Filter, 0, &wanted.DataRange, &format));
    ASSERT_EQ(104u, format.size());
    auto wave = reinterpret_cast<const KSDATAFORMAT_WAVEFORMATEXTENSIBLE*>(format.data());
    EXPECT_EQ(1u, wave->WaveFormatExt.Format.nChannels);
    EXPECT_EQ(44100u, wave->WaveFormatExt.Format.nSamplesPerSec);
    // Each client request: the port asks with zero length first, then with the buffer.
    const std::vector<ULONG> expected = {0, 0, 104};
    EXPECT_EQ(expected, Rig.Render->IntersectionLengths);
    // No match for a range the miniport cannot meet.
    wanted.MaximumSampleFrequency = 22050;
    EXPECT_EQ(STATUS_NO_MATCH, Client->Intersect(Filter, 0, &wanted.DataRange, &format));
    // A hostile range list is refused before the miniport sees it.
    Rig.Render->IntersectionLengths.clear();
    wanted = PcTestRange();
    wanted.DataRange.FormatSize = 4096; // the range claims more than the list holds
    std::vector<UCHAR> request(sizeof(KSP_PIN) + 8 + sizeof(wanted));
    KSP_PIN p = {};
    p.Property.Set = KSPROPSETID_Pin;
    p.Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
    p.Property.Flags = KSPROPERTY_TYPE_GET;
    KSMULTIPLE_ITEM list = {8 + (ULONG)sizeof(wanted), 1};
    memcpy(request.data(), &p, sizeof(p));
    memcpy(request.data() + sizeof(p), &list, sizeof(list));
    memcpy(request.data() + sizeof(p) + 8, &wanted, sizeof(wanted));
    UCHAR reply[104];
    ULONG returned = 0;
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              Client->Property(Filter, request.data(), (ULONG)request.size(), reply, sizeof(reply),
                               &returned));
    // A list whose size runs past the request.
    list.Size = 4096;
    memcpy(request.data() + sizeof(p), &list, sizeof(list));
    wanted.DataRange.FormatSize = sizeof(wanted);
    memcpy(request.data() + sizeof(p) + 8, &wanted, sizeof(wanted));
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              Client->Property(Filter, request.data(), (ULONG)request.size(), reply, sizeof(reply),
                               &returned));
    EXPECT_TRUE(Rig.Render->IntersectionLengths.empty());
}

TEST_F(Stream, HostilePinFormatsAreRefusedBeforeTheMiniport)
{
    ASSERT_EQ(STATUS_SUCCESS, Client->OpenFilter(u"SPKOut00", &Filter));
    PFILE_OBJECT pin = nullptr;
    auto good = PcTestFormat();
    struct Case
    {
        const char* What;
        void (*Spoil)(KSDATAFORMAT_WAVEFORMATEXTENSIBLE&);
        NTSTATUS Expected;
    } cases[] = {
        {"FormatSize past the request",
         [](KSDATAFORMAT_WAVEFORMATEXTENSIBLE& f) { f.DataFormat.FormatSize = 105; },
         STATUS_INVALID_PARAMETER},
        {"FormatSize wraps",
         [](KSDATAFORMAT_WAVEFORMATEXTENSIBLE& f) { f.DataFormat.FormatSize = ~0u; },
         STATUS_INVALID_PARAMETER},
        {"cbSize past FormatSize",
         [](KSDATAFORMAT_WAVEFORMATEXTENSIBLE& f) { f.WaveFormatExt.Format.cbSize = 200; },
         STATUS_INVALID_PARAMETER},
        {"attribute flag without a list",
         [](KSDATAFORMAT_WAVEFORMATEXTENSIBLE& f) { f.DataFormat.Flags = KSDATAFORMAT_ATTRIBUTES; },
         STATUS_INVALID_PARAMETER},
        {"format the pin does not take",
         [](KSDATAFORMAT_WAVEFORMATEXTENSIBLE& f)
         { f.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_ANALOG; },
         STATUS_NO_MATCH},
    };
    for (const Case& c : cases)
    {
        auto f = good;
        c.Spoil(f);
        EXPECT_EQ(c.Expected, Client->OpenPin(Filter, 0, &f, sizeof(f), &pin)) << c.What;
    }
    // A truncated request, a bridge pin and a pin that does not exist.
    EXPECT_EQ(STATUS_INVALID_BUFFER_SIZE, Client->OpenPin(Filter, 0, &good, 40, &pin));
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, Client->OpenPin(Filter, 1, &good, sizeof(good), &pin));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Client->OpenPin(Filter, 2, &good, sizeof(good), &pin));
    EXPECT_EQ(0u, Rig.Render->NewStreamCalls);

    // A well-formed one passes, and a second instance is one too many.
    ASSERT_EQ(STATUS_SUCCESS, Client->OpenPin(Filter, 0, &good, sizeof(good), &pin));
    PFILE_OBJECT second = nullptr;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
              Client->OpenPin(Filter, 0, &good, sizeof(good), &second));
    EXPECT_EQ(1u, Rig.Render->NewStreamCalls);
    EXPECT_EQ(STATUS_SUCCESS, Client->Close(pin));
    EXPECT_EQ(nullptr, Rig.Render->Stream);
    EXPECT_EQ(STATUS_SUCCESS, Client->OpenPin(Filter, 0, &good, sizeof(good), &second));
}

TEST_F(Stream, StatesChangeOneStepAtATimeAndFormatsOnlyOutsideRun)
{
    OpenStreaming(false);
    TestWaveStream* stream = Rig.Render->Stream;
    ASSERT_NE(nullptr, stream);
    ASSERT_EQ(STATUS_SUCCESS, Client->SetState(Pin, KSSTATE_RUN));
    KSSTATE state;
    EXPECT_EQ(STATUS_SUCCESS, Client->GetState(Pin, &state));
    EXPECT_EQ(KSSTATE_RUN, state);
    auto format = PcTestFormat(44100);
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, Client->SetFormat(Pin, &format, sizeof(format)));
    ASSERT_EQ(STATUS_SUCCESS, Client->SetState(Pin, KSSTATE_ACQUIRE));
    EXPECT_EQ(STATUS_SUCCESS, Client->SetFormat(Pin, &format, sizeof(format)));
    format.DataFormat.FormatSize = 200;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Client->SetFormat(Pin, &format, sizeof(format)));
    ASSERT_EQ(STATUS_SUCCESS, Client->SetState(Pin, KSSTATE_STOP));
    const std::vector<KSSTATE> expected = {KSSTATE_ACQUIRE, KSSTATE_PAUSE,   KSSTATE_RUN,
                                           KSSTATE_PAUSE,   KSSTATE_ACQUIRE, KSSTATE_STOP};
    EXPECT_EQ(expected, stream->States);
    const std::vector<KSSTATE> formatStates = {KSSTATE_ACQUIRE};
    EXPECT_EQ(formatStates, stream->FormatCalls);
}

TEST_F(Stream, AFailedStepStopsTheWalkWhereItFailed)
{
    OpenStreaming(false);
    TestWaveStream* stream = Rig.Render->Stream;
    stream->FailState = KSSTATE_RUN;
    EXPECT_EQ(STATUS_DEVICE_NOT_READY, Client->SetState(Pin, KSSTATE_RUN));
    KSSTATE state;
    ASSERT_EQ(STATUS_SUCCESS, Client->GetState(Pin, &state));
    EXPECT_EQ(KSSTATE_PAUSE, state);
    stream->FailState = -1;
    ASSERT_EQ(STATUS_SUCCESS, Client->SetState(Pin, KSSTATE_RUN));
    const std::vector<KSSTATE> expected = {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN,
                                           KSSTATE_RUN};
    EXPECT_EQ(expected, stream->States);
    // Closing a running pin walks it down first.
    ASSERT_EQ(STATUS_SUCCESS, Client->Close(Pin));
    EXPECT_EQ(nullptr, Rig.Render->Stream);
}

TEST_F(Stream, PinRequestsOutsideTheConnectionSet)
{
    OpenStreaming(false);
    // Bad state values and unknown connection properties.
    KSPROPERTY p = {};
    p.Set = KSPROPSETID_Connection;
    p.Id = KSPROPERTY_CONNECTION_STATE;
    p.Flags = KSPROPERTY_TYPE_SET;
    ULONG value = 7;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Client->Property(Pin, &p, sizeof(p), &value, 4, nullptr));
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Client->Property(Pin, &p, sizeof(p), &value, 2, nullptr));
    p.Flags = KSPROPERTY_TYPE_GET;
    ULONG returned = 0;
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, Client->Property(Pin, &p, sizeof(p), nullptr, 0, &returned));
    EXPECT_EQ(4u, returned);
    p.Id = KSPROPERTY_CONNECTION_ALLOCATORFRAMING;
    EXPECT_EQ(STATUS_NOT_FOUND, Client->Property(Pin, &p, sizeof(p), &value, 4, nullptr));
    // Node requests on a pin reach the filter's nodes: the DAC has no table.
    LONG level = 0;
    EXPECT_EQ(STATUS_NOT_FOUND,
              Client->GetNodeValue(Pin, 0, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 0,
                                   &level, sizeof(level), &returned));
    // And the pin has no table of its own.
    p.Set = KSPROPSETID_Audio;
    p.Id = KSPROPERTY_AUDIO_POSITION;
    EXPECT_EQ(STATUS_NOT_FOUND, Client->Property(Pin, &p, sizeof(p), &value, 4, nullptr));
}

TEST_F(Stream, AttributesAfterTheFormatReachTheMiniport)
{
    ASSERT_EQ(STATUS_SUCCESS, Client->OpenFilter(u"SPKOut00", &Filter));
    struct
    {
        KSDATAFORMAT_WAVEFORMATEXTENSIBLE Format;
        KSMULTIPLE_ITEM List;
        KSATTRIBUTE_AUDIOSIGNALPROCESSING_MODE Mode;
    } request = {};
    static_assert(offsetof(decltype(request), List) == 104);
    request.Format = PcTestFormat();
    request.Format.DataFormat.Flags = KSDATAFORMAT_ATTRIBUTES;
    request.List = {sizeof(KSMULTIPLE_ITEM) + sizeof(request.Mode), 1};
    request.Mode.AttributeHeader = {sizeof(request.Mode), 0,
                                    KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE};
    request.Mode.SignalProcessingMode = AUDIO_SIGNALPROCESSINGMODE_DEFAULT;
    ASSERT_EQ(STATUS_SUCCESS, Client->OpenPin(Filter, 0, &request, sizeof(request), &Pin));
    EXPECT_TRUE(IsEqualGUID(AUDIO_SIGNALPROCESSINGMODE_DEFAULT, Rig.Render->LastMode));
    // One byte short of the list is refused before the miniport.
    ASSERT_EQ(STATUS_SUCCESS, Client->Close(Pin));
    PFILE_OBJECT pin = nullptr;
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              Client->OpenPin(Filter, 0, &request, sizeof(request) - 1, &pin));
    EXPECT_EQ(1u, Rig.Render->NewStreamCalls);
}

TEST_F(Stream, RenderDataReachesTheDeviceInOrderAndTheLeadHolds)
{
    OpenStreaming(false);
    TestWaveStream* stream = Rig.Render->Stream;
    const ULONG buffer = 192000 / 20;
    EXPECT_EQ(buffer, Client->Statistics(Pin).BufferSize);
    EXPECT_EQ(1920u, Client->Statistics(Pin).FramingSize); // 10 ms at 192000 bytes/s

    std::vector<UCHAR> source = Ramp(192000 / 5, 3); // 200 ms of data
    const std::vector<UCHAR> sent = source;
    // More than a buffer before RUN, so the port never pads with silence while
    // the client keeps up.
    ASSERT_EQ(12000u, Client->Write(Pin, source.data(), 12000));
    source.erase(source.begin(), source.begin() + 12000);
    ASSERT_EQ(STATUS_SUCCESS, Client->SetState(Pin, KSSTATE_RUN));
    Client->Run(Pin, 300, &source, nullptr, 1);
    ASSERT_EQ(STATUS_SUCCESS, Client->SetState(Pin, KSSTATE_STOP));

    // 300 ms at 5 ms a tick: 60 ticks of 960 bytes.
    ASSERT_EQ(60u * 960u, stream->Played.size());
    std::vector<UCHAR> played(stream->Played.begin(), stream->Played.begin() + sent.size());
    EXPECT_TRUE(played == sent);
    for (size_t i = sent.size(); i < stream->Played.size(); ++i)
        ASSERT_EQ(0, stream->Played[i]) << i;

    PcPinStatistics s = Client->Statistics(Pin);
    EXPECT_EQ(0u, s.Overruns);
    EXPECT_EQ(60u * 960u, s.Consumed);
    EXPECT_EQ(sent.size(), s.DataBytes);
    EXPECT_EQ(s.Written, s.DataBytes + s.SilenceBytes);
    EXPECT_EQ(s.Consumed + buffer, s.Written); // always a whole buffer ahead
    EXPECT_EQ(60u, EmuPcNotifyCount(Rig.RenderPort));
    EXPECT_EQ(0u, stream->CopiesBelowDispatch);
    EXPECT_EQ(0u, stream->CopiesOutOfRange);
    // The port served every notification after Notify returned.
    EXPECT_EQ(0u, stream->CallsInsideNotify);
    EXPECT_GE(s.Services, 60u);
}

// A render queue topped up for ten seconds holds its limit and no more after
// each write, as the port lets go of what it copied out to the stream.
TEST_F(Stream, AToppedUpRenderQueueHoldsNoMoreThanItsLimit)
{
    OpenStreaming(false);
    constexpr ULONG limit = 4000;
    ASSERT_EQ(STATUS_SUCCESS, EmuPcPinSetQueueLimit(Pin, limit));
    ASSERT_EQ(STATUS_SUCCESS, Client->SetState(Pin, KSSTATE_RUN));
    ULONGLONG written = 0, held = 0;
    ULONG queued = 0;
    for (ULONG ms = 0; ms < 10000; ++ms, EmuAdvanceMs(1))
    {
        written += Client->Write(Pin, Ramp(limit, 5).data(), limit);
        ASSERT_EQ(STATUS_SUCCESS, EmuPcPinHeld(Pin, &held));
        ASSERT_EQ(limit, held) << ms;
    }
    ASSERT_EQ(STATUS_SUCCESS, EmuPcPinQueued(Pin, &queued));
    EXPECT_EQ(written - queued, Client->Statistics(Pin).DataBytes);
    EXPECT_GT(written, 192000u * 9);
}

TEST_F(Stream, UnregisteredSubdeviceKeepsItsMiniportUntilTheLastPinCloses)
{
    OpenStreaming(false);
    ASSERT_EQ(STATUS_SUCCESS, Client->SetState(Pin, KSSTATE_RUN));
    PUNREGISTERSUBDEVICE unregister = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              Rig.RenderPort->QueryInterface(IID_IUnregisterSubdevice, (PVOID*)&unregister));
    PUNKNOWN port = Rig.RenderPort;
    ASSERT_EQ(STATUS_SUCCESS, unregister->UnregisterSubdevice(Rig.Fdo, port));
    unregister->Release();
    // The stream keeps running on its miniport.
    EmuAdvanceMs(20);
    ASSERT_NE(nullptr, Rig.Render->Stream);
    EXPECT_EQ(4u * 960u, Rig.Render->Stream->Played.size());
    const SIZE_T before = EmuPoolOutstandingCount(POOL_TAG("TsPc"));
    ASSERT_EQ(STATUS_SUCCESS, Client->Close(Pin));
    // Stream, its buffer and the miniport went with the pin.
    EXPECT_EQ(before - 3, EmuPoolOutstandingCount(POOL_TAG("TsPc")));
    PFILE_OBJECT again = nullptr;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Client->OpenFilter(u"SPKOut00", &again));
}

TEST_F(Stream, PositionOvertakingTheWrittenDataIsDetected)
{
    OpenStreaming(false);
    TestWaveStream* stream = Rig.Render->Stream;
    ASSERT_EQ(STATUS_SUCCESS, Client->SetState(Pin, KSSTATE_RUN));
    EmuAdvanceMs(20);
    EXPECT_EQ(0u, Client->Statistics(Pin).Overruns);
    // The stream keeps playing but stops asking for service: after more than a
    // buffer (50 ms) the position has passed what the port wrote.
    stream->NotifyEnabled = false;
    EmuAdvanceMs(60);
    stream->NotifyEnabled = true;
    EmuAdvanceMs(5);
    EXPECT_EQ(1u, Client->Statistics(Pin).Overruns);
    EmuAdvanceMs(20);
    EXPECT_EQ(1u, Client->Statistics(Pin).Overruns);
}

TEST_F(Stream, APositionOutsideTheBufferIsReportedAndNotUsed)
{
    // Render and capture: the position the stream gives when it starts to
    // run, then at a service.
    for (bool capture : {false, true})
    {
        OpenStreaming(capture);
        TestWaveStream* stream = Wave(capture)->Stream;
        const ULONG size = stream->BufferSize();
        ASSERT_NE(size, 0u);
        stream->ReportedPosition = size;
        {
            EmuExpectFailures f;
            EXPECT_EQ(STATUS_UNSUCCESSFUL, Client->SetState(Pin, KSSTATE_RUN));
            EXPECT_TRUE(f.Contains("outside its")) << "capture " << capture;
        }
        KSSTATE state = KSSTATE_RUN;
        ASSERT_EQ(STATUS_SUCCESS, Client->GetState(Pin, &state));
        EXPECT_EQ(KSSTATE_PAUSE, state);
        EXPECT_EQ(stream->States.back(), KSSTATE_PAUSE);
        // Running from a good position, then a bad one at a service.
        stream->ReportedPosition = -1;
        ASSERT_EQ(STATUS_SUCCESS, Client->SetState(Pin, KSSTATE_RUN));
        const ULONGLONG written = Client->Statistics(Pin).Written;
        const ULONGLONG moved = Client->Statistics(Pin).DataBytes;
        stream->ReportedPosition = 0xFFFFFFF0;
        {
            EmuExpectFailures f;
            EmuAdvanceMs(5);
            EXPECT_TRUE(f.Contains("outside its")) << "capture " << capture;
        }
        EXPECT_EQ(written, Client->Statistics(Pin).Written);
        EXPECT_EQ(moved, Client->Statistics(Pin).DataBytes);
        stream->ReportedPosition = -1;
        ASSERT_EQ(STATUS_SUCCESS, Client->SetState(Pin, KSSTATE_STOP));
        ASSERT_EQ(STATUS_SUCCESS, Client->Close(Pin));
        ASSERT_EQ(STATUS_SUCCESS, Client->Close(Filter));
    }
}

TEST_F(Stream, CaptureDataComesOutInOrder)
{
    OpenStreaming(true);
    TestWaveStream* stream = Rig.Capture->Stream;
    ASSERT_EQ(STATUS_SUCCESS, Client->SetState(Pin, KSSTATE_RUN));
    std::vector<UCHAR> captured;
    Client->Run(Pin, 100, nullptr, &captured, 2);
    ASSERT_EQ(STATUS_SUCCESS, Client->SetState(Pin, KSSTATE_PAUSE));
    ASSERT_EQ(20u * 960u, stream->Recorded);
    ASSERT_EQ(stream->Recorded, captured.size());
    for (size_t i = 0; i < captured.size(); ++i)
        ASSERT_EQ((UCHAR)(i & 0xFF), captured[i]) << i;
    EXPECT_EQ(0u, Client->Statistics(Pin).DroppedBytes);

    // A client that does not read loses what does not fit its queue.
    EmuPcPinSetQueueLimit(Pin, 1000);
    ASSERT_EQ(STATUS_SUCCESS, Client->SetState(Pin, KSSTATE_RUN));
    EmuAdvanceMs(10);
    PcPinStatistics s = Client->Statistics(Pin);
    EXPECT_EQ(1920u - 1000u, s.DroppedBytes);
}

TEST_F(Stream, NodePropertiesAndTheirSizeProtocol)
{
    PFILE_OBJECT topo = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Client->OpenFilter(u"Topo", &topo));
    LONG level = 0;
    ULONG returned = 0;
    EXPECT_EQ(STATUS_SUCCESS,
              Client->GetNodeValue(topo, 0, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 1,
                                   &level, sizeof(level), &returned));
    EXPECT_EQ(-6 * 65536, level);
    EXPECT_EQ(4u, returned);
    level = -20 * 65536;
    EXPECT_EQ(STATUS_SUCCESS,
              Client->SetNodeValue(topo, 0, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 1,
                                   &level, sizeof(level)));
    EXPECT_EQ(-20 * 65536, Rig.Topology->Volume[1]);
    EXPECT_EQ(-6 * 65536, Rig.Topology->Volume[0]);
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              Client->GetNodeValue(topo, 0, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 2,
                                   &level, sizeof(level), &returned));
    // Node routing: mute lives on node 1 only; node 2 does not exist.
    BOOL mute = TRUE;
    EXPECT_EQ(STATUS_NOT_FOUND,
              Client->SetNodeValue(topo, 0, KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, 0, &mute,
                                   sizeof(mute)));
    EXPECT_EQ(STATUS_SUCCESS, Client->SetNodeValue(topo, 1, KSPROPSETID_Audio,
                                                   KSPROPERTY_AUDIO_MUTE, 0, &mute, sizeof(mute)));
    EXPECT_TRUE(Rig.Topology->Mute);
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              Client->GetNodeValue(topo, 2, KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, 0, &mute,
                                   sizeof(mute), &returned));

    // Basic support: below 4 bytes the handler says what it needs; 4 bytes
    // get the access flags; the whole size gets the stepped ranges.
    UCHAR reply[88] = {};
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
              Client->NodeBasicSupport(topo, 0, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
                                       reply, 2, &returned));
    EXPECT_EQ(88u, returned);
    EXPECT_EQ(STATUS_SUCCESS,
              Client->NodeBasicSupport(topo, 0, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
                                       reply, 4, &returned));
    EXPECT_EQ(4u, returned);
    EXPECT_EQ(0x203u, *reinterpret_cast<ULONG*>(reply));
    EXPECT_EQ(STATUS_SUCCESS,
              Client->NodeBasicSupport(topo, 0, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
                                       reply, sizeof(reply), &returned));
    EXPECT_EQ(88u, returned);
    auto step = reinterpret_cast<KSPROPERTY_STEPPING_LONG*>(reply + 56);
    EXPECT_EQ(-96 * 65536, step[1].Bounds.SignedMinimum);
    EXPECT_EQ(32768u, step[1].SteppingDelta);
    // Mute has no basic-support handler: the port answers the access flags.
    EXPECT_EQ(STATUS_SUCCESS, Client->NodeBasicSupport(topo, 1, KSPROPSETID_Audio,
                                                       KSPROPERTY_AUDIO_MUTE, reply, 4, &returned));
    EXPECT_EQ(KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET, *reinterpret_cast<ULONG*>(reply));
}

TEST_F(Stream, ControlChangeEventsAreEnabledSignalledAndDisabled)
{
    PFILE_OBJECT topo = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Client->OpenFilter(u"Topo", &topo));
    EXPECT_EQ(STATUS_SUCCESS, Client->NodeEventSupport(topo, 0, KSEVENTSETID_AudioControlChange,
                                                       KSEVENT_CONTROL_CHANGE));
    EXPECT_EQ(1u, Rig.Topology->EventVerbs[2]);
    EXPECT_EQ(STATUS_NOT_FOUND, Client->NodeEventSupport(topo, 1, KSEVENTSETID_AudioControlChange,
                                                         KSEVENT_CONTROL_CHANGE));
    AudioEngineEvent volume = {};
    ASSERT_EQ(STATUS_SUCCESS, Client->EnableNodeEvent(topo, 0, KSEVENTSETID_AudioControlChange,
                                                      KSEVENT_CONTROL_CHANGE, &volume));
    EXPECT_EQ(1u, Rig.Topology->EventVerbs[0]);
    EXPECT_EQ(1u, EmuPcEventLog(Rig.TopologyPort).size()); // the add, recorded
    // The mute node has no event.
    AudioEngineEvent mute = {};
    EXPECT_EQ(STATUS_NOT_FOUND, Client->EnableNodeEvent(topo, 1, KSEVENTSETID_AudioControlChange,
                                                        KSEVENT_CONTROL_CHANGE, &mute));

    Rig.Topology->RaiseChange(1); // another node: not ours
    EXPECT_FALSE(AudioEngineClient::TakeSignal(&volume));
    // From the device's notification path, at DISPATCH_LEVEL.
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    Rig.Topology->RaiseChange(0);
    KeLowerIrql(irql);
    EXPECT_TRUE(AudioEngineClient::TakeSignal(&volume));

    auto log = EmuPcEventLog(Rig.TopologyPort);
    ASSERT_EQ(3u, log.size());
    EXPECT_FALSE(log[0].Generated);
    EXPECT_EQ(0u, log[0].NodeId);
    EXPECT_TRUE(log[1].Generated);
    EXPECT_EQ(1u, log[1].NodeId);
    EXPECT_EQ(0u, log[1].Signalled);
    EXPECT_TRUE(log[2].Generated);
    EXPECT_TRUE(log[2].NodeEvent);
    EXPECT_EQ(1u, log[2].Signalled);

    ASSERT_EQ(STATUS_SUCCESS, Client->DisableEvent(&volume));
    EXPECT_EQ(1u, Rig.Topology->EventVerbs[1]);
    Rig.Topology->RaiseChange(0);
    EXPECT_FALSE(AudioEngineClient::TakeSignal(&volume));
    EXPECT_EQ(0u, EmuPcEventLog(Rig.TopologyPort).back().Signalled);

    // An event left enabled goes when its filter closes.
    ASSERT_EQ(STATUS_SUCCESS, Client->EnableNodeEvent(topo, 0, KSEVENTSETID_AudioControlChange,
                                                      KSEVENT_CONTROL_CHANGE, &volume));
    ASSERT_EQ(STATUS_SUCCESS, Client->Close(topo));
    EXPECT_EQ(2u, Rig.Topology->EventVerbs[1]);
    EXPECT_EQ(0u, EmuPoolOutstandingCount(POOL_TAG("PcEv")));
}

// The port records its event calls in room it took when it was made: a
// generation at DISPATCH_LEVEL allocates nothing. Up to the room's last
// record each call is kept, in order; past it each is counted only.
TEST_F(Stream, EventRecordsKeepTheirRoomAndCountTheRest)
{
    PFILE_OBJECT topo = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Client->OpenFilter(u"Topo", &topo));
    AudioEngineEvent volume = {};
    ASSERT_EQ(STATUS_SUCCESS, Client->EnableNodeEvent(topo, 0, KSEVENTSETID_AudioControlChange,
                                                      KSEVENT_CONTROL_CHANGE, &volume));
    // Generations after the add: the room less one, full, one and two past it.
    for (const size_t generated : {kEmuPcEventLogMost - 1, size_t{1}, size_t{1}, size_t{1}})
    {
        const size_t before = EmuPcEventLog(Rig.TopologyPort).size();
        const size_t unlogged = EmuPcEventsUnlogged(Rig.TopologyPort);
        for (size_t i = 0; i < generated; ++i)
        {
            KIRQL irql;
            KeRaiseIrql(DISPATCH_LEVEL, &irql);
            Rig.Topology->RaiseChange((before + unlogged + i) % 2); // call n on node n % 2
            KeLowerIrql(irql);
        }
        const size_t total = before + unlogged + generated;
        const auto log = EmuPcEventLog(Rig.TopologyPort);
        ASSERT_EQ(std::min(total, kEmuPcEventLogMost), log.size());
        EXPECT_EQ(total - log.size(), EmuPcEventsUnlogged(Rig.TopologyPort));
        for (size_t n = 1; n < log.size(); ++n)
        {
            EXPECT_TRUE(log[n].Generated);
            EXPECT_EQ(n % 2, log[n].NodeId) << n;
            EXPECT_EQ(1 - n % 2, log[n].Signalled) << n;
        }
    }
    EXPECT_TRUE(AudioEngineClient::TakeSignal(&volume));
    ASSERT_EQ(STATUS_SUCCESS, Client->Close(topo));
}
