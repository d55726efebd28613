// The clients of a stream: registration and its bounds, the opened and
// started lists ordered by kind, takeover of a running wave-cyclic client by
// an ASIO client and back, the restarts after failed or abandoned takeovers,
// the nodes clients hand over, the formats' alternate settings, and the set-up
// (worker priority, callback object, packets per frame).
#include <gtest/gtest.h>

#include "platform/kernel/emu.h"
#include "platform/portcls/portcls_emu.h"
#include "tests/streaming/usb/usb_stream_rig.h"

namespace
{
constexpr UCHAR kPlay = SimRef1::PlayEndpoint;
constexpr UCHAR kWaveFill = 0x33;
constexpr UCHAR kAsioFill = 0x55;

class NodeDouble : public CUnknown, public IChainNode
{
  public:
    NodeDouble() : CUnknown(nullptr) {}
    DECLARE_STD_UNKNOWN()
    STDMETHODIMP Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP SetFormat(PWAVEFORMATEX) override { return STATUS_SUCCESS; }
    STDMETHODIMP ResetStages() override { return STATUS_SUCCESS; }
    STDMETHODIMP Process(PWAVEFORMATEX, PVOID, ULONG) override { return STATUS_SUCCESS; }
    STDMETHODIMP Flush(PWAVEFORMATEX, PVOID, ULONG) override { return STATUS_SUCCESS; }
};

NTSTATUS NodeDouble::NonDelegatingQueryInterface(REFIID iid, PVOID* object)
{
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IChainNode))
    {
        *object = static_cast<IChainNode*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
}

class StreamClients : public testing::Test
{
  protected:
    void SetUp() override { ASSERT_TRUE(rig.Ok()); }
    PUSBSTREAMCONTROL C() { return rig.Control(); }
    TestUsbStream* S() { return rig.Stream(); }
    void RegisterBoth()
    {
        ASSERT_EQ(STATUS_SUCCESS, rig.Register(&wave, PcmFormat(2, 48000, 16), 5, 3));
        ASSERT_EQ(STATUS_SUCCESS, rig.Register(&asio, PcmFormat(2, 48000, 24), 2, 4));
    }
    // The fill byte and frame size of the packets the device got last.
    void ExpectLastPackets(UCHAR fill, ULONG length)
    {
        EmuAdvanceMs(30);
        const SimOutRecord& out = rig.Device()->Streaming().OutRecord(kPlay);
        ASSERT_FALSE(out.Packets.empty());
        const SimPacketRecord& last = out.Packets.back();
        EXPECT_EQ(length, last.Length);
        EXPECT_EQ(fill, out.Data[last.Offset]);
        EXPECT_EQ(fill, out.Data[last.Offset + last.Length - 1]);
    }
    void LeaveAll()
    {
        for (ClientDouble* c : {&asio, &wave})
            if (c->Record != nullptr)
                rig.Leave(c);
    }

    StreamRig rig;
    ClientDouble wave{STREAM_CLIENT_KIND_WAVE_CYCLIC, kWaveFill};
    ClientDouble asio{STREAM_CLIENT_KIND_ASIO, kAsioFill};
};

// ----------------------------------------------------------------------------
// Registration

struct UrbCountCase
{
    ULONG Asked;
    ULONG Kept;
};

class RegisterCounts : public StreamClients, public testing::WithParamInterface<UrbCountCase>
{
};

TEST_P(RegisterCounts, TheUrbCountIsHeldToOneToTen)
{
    ASSERT_EQ(STATUS_SUCCESS, rig.Register(&wave, PcmFormat(2, 48000, 16), 5, GetParam().Asked));
    EXPECT_EQ(GetParam().Kept, wave.Record->UrbCount);
    EXPECT_EQ(5u, wave.Record->MsPerUrb);
    EXPECT_EQ((ULONGLONG)STREAM_CLIENT_KIND_WAVE_CYCLIC, wave.Record->Kind);
    EXPECT_EQ(0, wave.Record->Started);
    EXPECT_EQ(4, wave.Record->Format.Format.nBlockAlign);
    LeaveAll();
}

INSTANTIATE_TEST_SUITE_P(Bounds, RegisterCounts,
                         testing::Values(UrbCountCase{0, 1}, UrbCountCase{1, 1}, UrbCountCase{9, 9},
                                         UrbCountCase{10, 10}, UrbCountCase{11, 10},
                                         UrbCountCase{0xFFFFFFFF, 10}));

TEST_F(StreamClients, RegistrationRefusesNoMillisecondsAndUnknownFormats)
{
    EXPECT_EQ(STATUS_INVALID_PARAMETER, rig.Register(&wave, PcmFormat(2, 48000, 16), 0, 3));
    EXPECT_EQ(nullptr, wave.Record);
    EXPECT_EQ(STATUS_NO_MATCH, rig.Register(&wave, PcmFormat(2, 96000, 16), 5, 3));
    EXPECT_EQ(STATUS_NO_MATCH, rig.Register(&wave, PcmFormat(1, 48000, 16), 5, 3));
    ASSERT_EQ(STATUS_SUCCESS, rig.Register(&wave, PcmFormat(2, 48000, 16), 1, 3));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, C()->UnregisterClient(nullptr));
    LeaveAll();
}

TEST_F(StreamClients, OpenedOrStartedClientsCannotBeUnregistered)
{
    RegisterBoth();
    ASSERT_EQ(STATUS_SUCCESS, rig.OpenAndStart(&wave));
    ULONG ms = 0, frame = 0;
    ASSERT_EQ(STATUS_SUCCESS, C()->OpenClient(asio.Key(), &ms, &frame));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, C()->UnregisterClient(wave.Key()));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, C()->UnregisterClient(asio.Key()));
    // A started client is stopped before it closes.
    EXPECT_EQ(STATUS_INVALID_PARAMETER, C()->CloseClient(wave.Key()));
    LeaveAll();
}

TEST_F(StreamClients, ASecondClientOfAKindIsRefusedAtOpenAndAtStart)
{
    ClientDouble other{STREAM_CLIENT_KIND_WAVE_CYCLIC, 0x77};
    ASSERT_EQ(STATUS_SUCCESS, rig.Register(&wave, PcmFormat(2, 48000, 16), 5, 3));
    ASSERT_EQ(STATUS_SUCCESS, rig.Register(&other, PcmFormat(2, 44100, 16), 5, 3));
    ULONG ms = 0, frame = 0;
    ASSERT_EQ(STATUS_SUCCESS, C()->OpenClient(wave.Key(), &ms, &frame));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, C()->OpenClient(other.Key(), &ms, &frame));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, C()->StartClient(other.Key(), frame + 2, &ms, nullptr));
    ASSERT_EQ(STATUS_SUCCESS, C()->StartClient(wave.Key(), frame + 2, &ms, nullptr));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, C()->StartClient(wave.Key(), frame + 2, &ms, nullptr));
    EXPECT_EQ(STATUS_SUCCESS, C()->UnregisterClient(other.Key()));
    LeaveAll();
}

TEST_F(StreamClients, StartOnAClosedStreamAndStopOfAStoppedOneAreRefused)
{
    RegisterBoth();
    ULONG ms = 0;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, C()->StartClient(wave.Key(), 100, &ms, nullptr));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, S()->StopStream());
    EXPECT_EQ(STATUS_INVALID_PARAMETER, C()->StopClient(wave.Key(), nullptr));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, C()->CloseClient(wave.Key()));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, S()->UnprepareStream());
    LeaveAll();
}

// Every move between the lists, with the pointer list unable to allocate:
// a registered client's record lives until its own unregistration, and a
// start that could not list its node starts nothing.
TEST_F(StreamClients, NoMoveBetweenTheListsNeedsMemory)
{
    auto node = new (NonPagedPool, kStreamTestTag) NodeDouble();
    node->AddRef();
    ClientDouble late{STREAM_CLIENT_KIND_NODE_LATE, 0x11};
    RegisterBoth();
    ASSERT_EQ(STATUS_SUCCESS, rig.Register(&late, PcmFormat(2, 48000, 16), 5, 3));
    EmuPoolInjectFailure(PTR_LIST_POOL_TAG, 0, 0);
    ASSERT_EQ(STATUS_SUCCESS, rig.OpenAndStart(&wave));
    ASSERT_EQ(STATUS_SUCCESS, rig.OpenAndStart(&asio));
    EXPECT_EQ(asio.Record, S()->Active());
    ULONG ms = 0, frame = 0;
    ASSERT_EQ(STATUS_SUCCESS, C()->OpenClient(late.Key(), &ms, &frame));
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, C()->StartClient(late.Key(), frame, &ms, node));
    EXPECT_EQ(0, late.Record->Started);
    EXPECT_EQ(0u, S()->StageList(3)->GetCount());
    for (ClientDouble* c : {&asio, &late})
    {
        C()->StopClient(c->Key(), nullptr);
        ASSERT_EQ(STATUS_SUCCESS, C()->CloseClient(c->Key()));
        EXPECT_EQ(STATUS_SUCCESS, C()->UnregisterClient(c->Key()));
        c->Record = nullptr;
    }
    EXPECT_EQ(wave.Record, S()->Active());
    EmuPoolClearInjection();
    EXPECT_EQ(0u, node->Release());
    LeaveAll();
}

// ----------------------------------------------------------------------------
// Takeover

TEST_F(StreamClients, AnAsioClientTakesTheStreamOverAndGivesItBack)
{
    RegisterBoth();
    ASSERT_EQ(STATUS_SUCCESS, rig.OpenAndStart(&wave));
    ExpectLastPackets(kWaveFill, 192);
    ASSERT_EQ(1u, wave.Starts().size());

    // Open: stopped, unprepared, prepared for 24 bits.
    ULONG ms = 0, frame = 0;
    ASSERT_EQ(STATUS_SUCCESS, C()->OpenClient(asio.Key(), &ms, &frame));
    EXPECT_EQ(2u, ms);
    EXPECT_EQ((ULONG)USB_STREAM_PREPARED, S()->State());
    EXPECT_EQ(std::vector<UCHAR>({1, 0, 2}), S()->Selected);
    EXPECT_EQ(24, S()->CurrentFormat().Format.wBitsPerSample);
    EXPECT_EQ(asio.Record, S()->Prepared());

    // Start: the ASIO client is active from the frame it names.
    ASSERT_EQ(STATUS_SUCCESS, C()->StartClient(asio.Key(), frame + 3, &ms, nullptr));
    EXPECT_EQ(2u, ms);
    EXPECT_EQ(asio.Record, S()->Active());
    ASSERT_EQ(1u, asio.Starts().size());
    EXPECT_EQ(2u | STREAM_FORMAT_CHANGED, asio.Starts()[0].First);
    EXPECT_EQ(4u, asio.Starts()[0].Second);
    const size_t before = rig.Device()->Streaming().OutRecord(kPlay).Packets.size();
    ExpectLastPackets(kAsioFill, 288);
    EXPECT_EQ(frame + 3, rig.Device()->Streaming().OutRecord(kPlay).Packets[before].Frame);
    // The wave client still hears every record, with the ASIO client's key.
    EXPECT_EQ(asio.Record, wave.Seen.back().Client);

    // Stop: the wave client is active again on 16 bits, five frames after
    // the new preparation.
    const size_t asioPackets = rig.Device()->Streaming().OutRecord(kPlay).Packets.size();
    ASSERT_EQ(STATUS_SUCCESS, C()->StopClient(asio.Key(), nullptr));
    EXPECT_EQ(wave.Record, S()->Active());
    EXPECT_EQ(std::vector<UCHAR>({1, 0, 2, 0, 1}), S()->Selected);
    ASSERT_EQ(2u, wave.Starts().size());
    EXPECT_EQ(5u | STREAM_FORMAT_CHANGED, wave.Starts()[1].First);
    ExpectLastPackets(kWaveFill, 192);
    const auto& packets = rig.Device()->Streaming().OutRecord(kPlay).Packets;
    size_t i = asioPackets;
    while (i < packets.size() && packets[i].Length != 192)
        ++i;
    ASSERT_LT(i, packets.size());
    EXPECT_EQ(S()->LastPrepareFrame + 5, packets[i].Frame);

    // Close of the ASIO client leaves the running stream alone.
    const LONG sent = S()->Sent();
    ASSERT_EQ(STATUS_SUCCESS, C()->CloseClient(asio.Key()));
    EXPECT_EQ((ULONG)USB_STREAM_RUNNING, S()->State());
    EXPECT_EQ(5u, S()->Selected.size());
    EmuAdvanceMs(10);
    EXPECT_GT(S()->Sent(), sent);
    LeaveAll();
}

TEST_F(StreamClients, AFailedTakeoverRestartsThePreviousClient)
{
    RegisterBoth();
    ASSERT_EQ(STATUS_SUCCESS, rig.OpenAndStart(&wave));
    ULONG ms = 0, frame = 0;
    ASSERT_EQ(STATUS_SUCCESS, C()->OpenClient(asio.Key(), &ms, &frame));
    // A frame long past: the bus refuses the first URB.
    EXPECT_FALSE(NT_SUCCESS(C()->StartClient(asio.Key(), frame - 2000, &ms, nullptr)));
    EXPECT_EQ(wave.Record, S()->Active());
    EXPECT_EQ((ULONG)USB_STREAM_RUNNING, S()->State());
    EXPECT_EQ(16, S()->CurrentFormat().Format.wBitsPerSample);
    EXPECT_EQ(1u, S()->Selected.back());
    EXPECT_EQ(STREAM_FORMAT_CHANGED | 5u, wave.Starts().back().First);
    ExpectLastPackets(kWaveFill, 192);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, C()->StopClient(asio.Key(), nullptr));
    LeaveAll();
}

TEST_F(StreamClients, ALowerKindClientStartsOnBuffersPreparedForItsOwnFormat)
{
    RegisterBoth();
    ULONG ms = 0, frame = 0;
    ASSERT_EQ(STATUS_SUCCESS, C()->OpenClient(asio.Key(), &ms, &frame));
    ASSERT_EQ(STATUS_SUCCESS, C()->OpenClient(wave.Key(), &ms, &frame));
    EXPECT_EQ(2u, ms); // the stream stays prepared for the opened head
    EXPECT_EQ(std::vector<UCHAR>({2}), S()->Selected);
    ASSERT_EQ(STATUS_SUCCESS, C()->StartClient(wave.Key(), frame + 2, &ms, nullptr));
    EXPECT_EQ(5u, ms);
    EXPECT_EQ(16, S()->CurrentFormat().Format.wBitsPerSample);
    EXPECT_EQ(1u, S()->Selected.back());
    ExpectLastPackets(kWaveFill, 192);
    LeaveAll();
}

// A lower kind that starts beside the running ASIO client changes nothing:
// the active client hears its own start again, its format flag clear.
TEST_F(StreamClients, ALowerKindJoiningTellsTheActiveClientNothingChanged)
{
    RegisterBoth();
    ASSERT_EQ(STATUS_SUCCESS, rig.OpenAndStart(&asio));
    ASSERT_EQ(STATUS_SUCCESS, rig.OpenAndStart(&wave));
    EXPECT_EQ(asio.Record, S()->Active());
    ASSERT_EQ(2u, asio.Starts().size());
    EXPECT_EQ(2u, asio.Starts()[1].First);
    EXPECT_EQ(4u, asio.Starts()[1].Second);
    EXPECT_EQ(1, wave.Record->Started);
    ExpectLastPackets(kAsioFill, 288);
    LeaveAll();
}

TEST_F(StreamClients, TheLastStopClearsTheActiveClient)
{
    RegisterBoth();
    ASSERT_EQ(STATUS_SUCCESS, rig.OpenAndStart(&wave));
    ASSERT_EQ(STATUS_SUCCESS, C()->StopClient(wave.Key(), nullptr));
    EXPECT_EQ(nullptr, S()->Active());
    EXPECT_EQ(0, wave.Record->Started);
    EXPECT_EQ((ULONG)USB_STREAM_PREPARED, S()->State());
    // The next start is a change of client, told with the format flag.
    ULONG ms = 0;
    ASSERT_EQ(STATUS_SUCCESS,
              C()->StartClient(wave.Key(), rig.Bus()->CurrentFrame() + 3, &ms, nullptr));
    EXPECT_EQ(STREAM_FORMAT_CHANGED | 5u, wave.Starts().back().First);
    LeaveAll();
}

TEST_F(StreamClients, AnAsioClientThatOpensAndClosesGivesTheStreamBack)
{
    RegisterBoth();
    ASSERT_EQ(STATUS_SUCCESS, rig.OpenAndStart(&wave));
    ULONG ms = 0, frame = 0;
    ASSERT_EQ(STATUS_SUCCESS, C()->OpenClient(asio.Key(), &ms, &frame));
    EXPECT_EQ((ULONG)USB_STREAM_PREPARED, S()->State());
    ASSERT_EQ(STATUS_SUCCESS, C()->CloseClient(asio.Key()));
    EXPECT_EQ((ULONG)USB_STREAM_RUNNING, S()->State());
    EXPECT_EQ(std::vector<UCHAR>({1, 0, 2, 0, 1}), S()->Selected);
    EXPECT_EQ(STREAM_FORMAT_CHANGED | 5u, wave.Starts().back().First);
    ExpectLastPackets(kWaveFill, 192);
    LeaveAll();
}

TEST_F(StreamClients, AnAsioOpenWhosePreparationFailsGivesTheStreamBack)
{
    RegisterBoth();
    ASSERT_EQ(STATUS_SUCCESS, rig.OpenAndStart(&wave));
    S()->PrepareFailure = STATUS_INSUFFICIENT_RESOURCES;
    S()->PrepareFailCount = 1;
    ULONG ms = 0, frame = 0;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, C()->OpenClient(asio.Key(), &ms, &frame));
    EXPECT_EQ((ULONG)USB_STREAM_RUNNING, S()->State());
    EXPECT_EQ(wave.Record, S()->Prepared());
    ExpectLastPackets(kWaveFill, 192);
    // Still registered: it may try again.
    ASSERT_EQ(STATUS_SUCCESS, C()->OpenClient(asio.Key(), &ms, &frame));
    LeaveAll();
}

TEST_F(StreamClients, AnOpenWithoutPreparationHandsBackTheCurrentFrame)
{
    RegisterBoth();
    ULONG ms = 0, frame = 0;
    ASSERT_EQ(STATUS_SUCCESS, C()->OpenClient(asio.Key(), &ms, &frame));
    EmuAdvanceMs(40);
    ASSERT_EQ(STATUS_SUCCESS, C()->OpenClient(wave.Key(), &ms, &frame));
    EXPECT_EQ(rig.Bus()->CurrentFrame(), frame);
    EXPECT_GT(frame, 40u);
    LeaveAll();
}

// ----------------------------------------------------------------------------
// Nodes handed over by clients

TEST_F(StreamClients, NodesGoToTheListOfTheirKindAndComeBackOnStop)
{
    ClientDouble late{STREAM_CLIENT_KIND_NODE_LATE, 0x11};
    ClientDouble early{STREAM_CLIENT_KIND_NODE_EARLY, 0x22};
    auto node = new (NonPagedPool, kStreamTestTag) NodeDouble();
    node->AddRef();
    ASSERT_EQ(STATUS_SUCCESS, rig.Register(&wave, PcmFormat(2, 48000, 16), 5, 3));
    ASSERT_EQ(STATUS_SUCCESS, rig.Register(&late, PcmFormat(2, 48000, 16), 5, 3));
    ASSERT_EQ(STATUS_SUCCESS, rig.Register(&early, PcmFormat(2, 48000, 16), 5, 3));
    ASSERT_EQ(STATUS_SUCCESS, rig.OpenAndStart(&wave));
    ULONG ms = 0, frame = 0;
    for (ClientDouble* c : {&late, &early})
    {
        ASSERT_EQ(STATUS_SUCCESS, C()->OpenClient(c->Key(), &ms, &frame));
        ASSERT_EQ(STATUS_SUCCESS, C()->StartClient(c->Key(), frame + 2, &ms, node));
    }
    // Render: kind 1 in the third list, kind 2 in the second.
    EXPECT_EQ(1u, S()->StageList(3)->GetCount());
    EXPECT_EQ(1u, S()->StageList(2)->GetCount());
    EXPECT_EQ(wave.Record, S()->Active());
    EXPECT_EQ(STATUS_INVALID_PARAMETER, C()->StopClient(wave.Key(), node));
    ASSERT_EQ(STATUS_SUCCESS, C()->StopClient(late.Key(), node));
    EXPECT_EQ(0u, S()->StageList(3)->GetCount());
    ASSERT_EQ(STATUS_SUCCESS, C()->StopClient(early.Key(), node));
    EXPECT_EQ(0u, S()->StageList(2)->GetCount());
    // The stream holds no reference any more.
    EXPECT_EQ(0u, node->Release());
    for (ClientDouble* c : {&late, &early})
        rig.Leave(c);
    LeaveAll();
}

// A start that hands a node and is refused, or whose takeover of the stream
// fails, starts nothing and keeps no entry for the node: the pointer list
// holds what it held before. A refusal past the node's entry needs a second
// started client of the kind, which only a record whose kind was changed
// after its open meets (the record is the client's to write).
TEST_F(StreamClients, AFailedStartThatHandsANodeKeepsNoEntryForIt)
{
    auto node = new (NonPagedPool, kStreamTestTag) NodeDouble();
    node->AddRef();
    ClientDouble late{STREAM_CLIENT_KIND_NODE_LATE, 0x11};
    ClientDouble early{STREAM_CLIENT_KIND_NODE_EARLY, 0x22};
    struct Case
    {
        const char* What;
        ClientDouble* Other; // opened (and started, when a node client) before
        ClientDouble* Starting;
        NTSTATUS Status;
    } cases[] = {
        {"refused: a started client of its kind", &late, &early, STATUS_INVALID_PARAMETER},
        {"takeover: its preparation fails", &wave, &late, STATUS_DEVICE_DATA_ERROR},
    };
    for (const Case& c : cases)
    {
        const bool refused = c.Status == STATUS_INVALID_PARAMETER;
        ASSERT_EQ(STATUS_SUCCESS, rig.Register(c.Starting, PcmFormat(2, 48000, 16), 5, 3));
        ASSERT_EQ(STATUS_SUCCESS, rig.Register(c.Other, PcmFormat(2, 48000, 16), 5, 3));
        ULONG ms = 0, frame = 0;
        if (refused)
        {
            ASSERT_EQ(STATUS_SUCCESS, rig.OpenAndStart(c.Other));
        }
        ASSERT_EQ(STATUS_SUCCESS, C()->OpenClient(c.Starting->Key(), &ms, &frame));
        if (refused)
            c.Starting->Record->Kind = c.Other->Kind;
        else
        {
            // The wave client opened after it: the stream is prepared for that one.
            ASSERT_EQ(STATUS_SUCCESS, C()->OpenClient(c.Other->Key(), &ms, &frame));
            S()->PrepareFailure = STATUS_DEVICE_DATA_ERROR;
            S()->PrepareFailCount = 1;
        }
        const SIZE_T entries = EmuPoolOutstandingCount(PTR_LIST_POOL_TAG);
        EXPECT_EQ(c.Status, C()->StartClient(c.Starting->Key(), frame + 2, &ms, node)) << c.What;
        EXPECT_EQ(entries, EmuPoolOutstandingCount(PTR_LIST_POOL_TAG)) << c.What;
        EXPECT_EQ(0, c.Starting->Record->Started) << c.What;
        EXPECT_EQ(0u, S()->StageList(2)->GetCount() + S()->StageList(3)->GetCount()) << c.What;
        c.Starting->Record->Kind = c.Starting->Kind;
        rig.Leave(c.Starting);
        rig.Leave(c.Other);
    }
    // The stream holds no reference to the node.
    EXPECT_EQ(0u, node->Release());
}

// ----------------------------------------------------------------------------
// Formats and alternate settings

TEST_F(StreamClients, AlternateSettingsAreFoundByPlainAndExtensibleFormats)
{
    UCHAR setting = 0xEE;
    WAVEFORMATEX plain = PcmFormat(2, 44100, 16);
    EXPECT_EQ(STATUS_SUCCESS, S()->FindAlternateSetting(&plain, &setting));
    EXPECT_EQ(1, setting);
    plain = PcmFormat(2, 48000, 24);
    EXPECT_EQ(STATUS_SUCCESS, S()->FindAlternateSetting(&plain, &setting));
    EXPECT_EQ(2, setting);
    plain = PcmFormat(2, 48000, 8);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, S()->FindAlternateSetting(&plain, &setting));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, S()->FindAlternateSetting(&plain, nullptr));
    // An extensible query compares its whole record, and never more than 40
    // bytes whatever its extension claims.
    struct
    {
        WAVEFORMATEXTENSIBLE Record;
        UCHAR Tail[64];
    } query = {PcmRecord(2, 48000, 24), {}};
    memset(query.Tail, 0xA5, sizeof(query.Tail));
    for (USHORT cbSize : {23, 64, 0xFFFF})
    {
        query.Record.Format.cbSize = cbSize;
        setting = 0;
        EXPECT_EQ(STATUS_INVALID_PARAMETER,
                  S()->FindAlternateSetting(&query.Record.Format, &setting))
            << cbSize; // the cbSize field itself differs
    }
    query.Record.Format.cbSize = 22;
    query.Record.dwChannelMask = 0x3F;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, S()->FindAlternateSetting(&query.Record.Format, &setting));
    query.Record.dwChannelMask = 3;
    EXPECT_EQ(STATUS_SUCCESS, S()->FindAlternateSetting(&query.Record.Format, &setting));
    EXPECT_EQ(2, setting);
}

TEST(StreamSetup, TheWorkerRunsAtTwentyFourAndTheCallbackObjectCarriesTheAddress)
{
    StreamRig rig;
    ASSERT_TRUE(rig.Ok());
    EXPECT_EQ(24, EmuThreadPriority(rig.Stream()->Worker()));
    WCHAR name[64];
    RtlStringCbPrintfW(name, sizeof(name), u"\\Callback\\CyclicControlAddr%p",
                       static_cast<void*>(rig.Stream()));
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    PCALLBACK_OBJECT object = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, ExCreateCallback(&object, &attributes, FALSE, TRUE));
    ObDereferenceObject(object);
    EXPECT_EQ(0x77u, rig.Stream()->GetTerminalLink());
}

// Rewrites bInterval of the playback endpoint in the configuration the
// adapter holds, as a device could report it.
void SetHeldPlayInterval(StreamRig* rig, UCHAR interval)
{
    auto config = reinterpret_cast<PUCHAR>(rig->Adapter().UsbIo()->GetConfigurationDescriptor());
    const ULONG total = ((PUSB_CONFIGURATION_DESCRIPTOR)config)->wTotalLength;
    const UCHAR endpoint[] = {0x09, 0x05, kPlay, 0x09};
    for (ULONG i = 0; i + 7 <= total; ++i)
        if (memcmp(config + i, endpoint, sizeof(endpoint)) == 0)
            config[i + 6] = interval;
}

struct IntervalCase
{
    UCHAR Interval;
    ULONG Packets;
};

class HighSpeedIntervals : public testing::TestWithParam<IntervalCase>
{
};

TEST_P(HighSpeedIntervals, PacketsPerFrameFollowTheIntervalFromOneToFour)
{
    StreamRig rig(HighSpeedDevice(GetParam().Interval == 0 ? 1 : GetParam().Interval));
    ASSERT_TRUE(rig.Ok());
    SetHeldPlayInterval(&rig, GetParam().Interval);
    EXPECT_EQ(GetParam().Packets, rig.Stream()->PacketsPerFrame(1));
    ClientDouble wave{STREAM_CLIENT_KIND_WAVE_CYCLIC, kWaveFill};
    ASSERT_EQ(STATUS_SUCCESS, rig.Register(&wave, PcmFormat(2, 48000, 16), 2, 3));
    ULONG ms = 0, frame = 0;
    const NTSTATUS open = rig.Control()->OpenClient(wave.Key(), &ms, &frame);
    if (GetParam().Packets == 0)
    {
        // An interval the stream cannot pace is refused; the client stays registered.
        EXPECT_EQ(STATUS_NOT_SUPPORTED, open);
        EXPECT_EQ((ULONG)USB_STREAM_CLOSED, rig.Stream()->State());
        EXPECT_EQ(STATUS_SUCCESS, rig.Control()->UnregisterClient(wave.Key()));
        return;
    }
    ASSERT_EQ(STATUS_SUCCESS, open);
    ASSERT_EQ(STATUS_SUCCESS, rig.Control()->StartClient(wave.Key(), frame + 2, &ms, nullptr));
    EmuAdvanceMs(20);
    const SimOutRecord& out = rig.Device()->Streaming().OutRecord(kPlay);
    const ULONG perPacket = 48 / GetParam().Packets;
    ASSERT_GE(out.Packets.size(), 10u * GetParam().Packets);
    for (const SimPacketRecord& p : out.Packets)
        ASSERT_EQ(perPacket * 4, p.Length);
    rig.Leave(&wave);
}

INSTANTIATE_TEST_SUITE_P(Bounds, HighSpeedIntervals,
                         testing::Values(IntervalCase{0, 0}, IntervalCase{1, 8}, IntervalCase{2, 4},
                                         IntervalCase{3, 2}, IntervalCase{4, 1}, IntervalCase{5, 0},
                                         IntervalCase{16, 0}));

TEST(StreamSetup, AtFullSpeedEveryFrameHoldsOnePacketWhateverTheInterval)
{
    StreamRig rig;
    ASSERT_TRUE(rig.Ok());
    for (UCHAR interval : {0, 1, 4, 5, 16})
    {
        SetHeldPlayInterval(&rig, interval);
        EXPECT_EQ(1u, rig.Stream()->PacketsPerFrame(1)) << (int)interval;
    }
}

TEST(StreamSetup, ObjectsAreFoundByIdInThePathControls)
{
    StreamRig rig;
    ASSERT_TRUE(rig.Ok());
    CAudioControl* found = nullptr;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, rig.Stream()->FindObjectById(4, &found));
    CAudioControl* controls[2] = {};
    const ULONG ids[2] = {4, 9};
    for (int i = 0; i < 2; ++i)
    {
        controls[i] =
            new (NonPagedPool, kStreamTestTag) CAudioControl(nullptr, ids[i], CONTROL_KIND_GENERIC);
        controls[i]->AddRef();
        ASSERT_EQ(STATUS_SUCCESS, rig.Stream()->AddPathControl(controls[i]));
    }
    EXPECT_EQ(STATUS_SUCCESS, rig.Stream()->FindObjectById(9, &found));
    EXPECT_EQ(controls[1], found);
    EXPECT_EQ(STATUS_SUCCESS, rig.Stream()->FindObjectById(4, &found));
    EXPECT_EQ(controls[0], found);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, rig.Stream()->FindObjectById(5, &found));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, rig.Stream()->FindObjectById(4, nullptr));
    for (CAudioControl* control : controls)
        control->Release();
}

TEST(StreamSetup, ContentIdsGoToTheLowerDeviceWithThePipe)
{
    StreamRig rig;
    ASSERT_TRUE(rig.Ok());
    ClientDouble wave{STREAM_CLIENT_KIND_WAVE_CYCLIC, kWaveFill};
    ASSERT_EQ(STATUS_SUCCESS, rig.Register(&wave, PcmFormat(2, 48000, 16), 5, 3));
    ULONG ms = 0, frame = 0;
    ASSERT_EQ(STATUS_SUCCESS, rig.Control()->OpenClient(wave.Key(), &ms, &frame));
    ASSERT_NE(nullptr, rig.Stream()->DataPipe());
    EmuPcClearDrmForwards();
    PDRMAUDIOSTREAM drm = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, rig.Stream()->QueryInterface(IID_IDrmAudioStream, (PVOID*)&drm));
    EXPECT_EQ(STATUS_SUCCESS, drm->SetContentId(7, nullptr));
    drm->Release();
    ASSERT_EQ(1u, EmuPcDrmForwards().size());
    EXPECT_EQ(7u, EmuPcDrmForwards()[0].ContentId);
    EXPECT_EQ(rig.Adapter().Lower(), EmuPcDrmForwards()[0].Forward.DeviceObject);
    EXPECT_EQ(0u, EmuPcDrmForwards()[0].Forward.Flags);
    EXPECT_EQ(rig.Stream()->DataPipe(), EmuPcDrmForwards()[0].Forward.Context);
    EXPECT_EQ(rig.Stream()->DataPipe(), (PVOID)EmuPcDrmForwards()[0].Forward.FileObject);
    rig.Leave(&wave);
}
} // namespace
