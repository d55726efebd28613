// The owner's rings on a running USB stream: mapping into the process, the
// kind-5 client each active ring registers, the positions a reset sets,
// render data taken from the ring into the device's packets, buffer switches
// counted against virtual time, stop, power-down and resume mid-stream,
// and close or unmap while streaming.
#include <gtest/gtest.h>

#include "platform/io/io_emu.h"
#include "platform/kernel/emu.h"
#include "tests/asio/asio_rig.h"

namespace
{
constexpr UCHAR kPlay = SimRef1::PlayEndpoint;

class AsioStreaming : public testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(rig.Ok());
        ASSERT_EQ(STATUS_SUCCESS, rig.Open(0));
        ASSERT_EQ(STATUS_SUCCESS, rig.Open(1));
        // Sees every notification of the stream, whichever client it carries.
        ASSERT_EQ(STATUS_SUCCESS, rig.Stream().Register(&observer, PcmFormat(2, 48000, 16), 5, 3));
    }
    void TearDown() override
    {
        if (observer.Record != nullptr)
        {
            EXPECT_EQ(STATUS_SUCCESS, rig.Stream().Control()->UnregisterClient(observer.Key()));
        }
    }
    // Byte notifications addressed to the ASIO client.
    ULONG SwitchesSeen() const
    {
        const AsioRingEntry* entry = rig.Session().Rings().GetEntry(0);
        ULONG n = 0;
        for (const SeenNotification& seen : observer.Seen)
            n += seen.Type == STREAM_NOTIFY_BYTES && entry != nullptr &&
                 seen.Client == entry->Registration;
        return n;
    }
    NTSTATUS Start(PKEVENT* event = nullptr)
    {
        HANDLE handle = rig.NewEvent(event);
        return rig.Asio()->AsioStartStreaming(rig.File(0), &handle);
    }

    AsioRig rig;
    ClientDouble observer{STREAM_CLIENT_KIND_NODE_EARLY, 0x11};
};

TEST_F(AsioStreaming, MappingBuildsOneRingInTheProcessAndRegistersItsClient)
{
    ULONGLONG address = 0;
    ASSERT_EQ(STATUS_SUCCESS, rig.Map(0, 480, {{0, 0}, {0, 1}}, &address));
    AsioRingHeader* header = rig.Header();
    ASSERT_NE(nullptr, header);
    EXPECT_EQ((ULONGLONG)(ULONG_PTR)header, address);
    // 40 ms of 2 x 16-bit frames at 48 kHz.
    EXPECT_EQ(1u, header->Active);
    EXPECT_EQ(0u, header->IsInput);
    EXPECT_EQ(2u, header->Channels);
    EXPECT_EQ(0u, header->FirstChannel);
    EXPECT_EQ(7680u, header->DataBytes);
    EXPECT_EQ(1u, header->Signal);
    std::vector<EmuUserMapping> maps = EmuUserMappings();
    ASSERT_EQ(1u, maps.size());
    EXPECT_EQ(rig.Process(), maps[0].Process);
    EXPECT_EQ(40u + 7680u, maps[0].ByteCount);
    // Whole pages of its own, zero past the ring.
    EXPECT_EQ(0u, BYTE_OFFSET(header));
    EXPECT_EQ(std::vector<UCHAR>(472, 0), std::vector<UCHAR>(rig.Data() + 7680, rig.Data() + 8152));
    const AsioRingEntry* entry = rig.Session().Rings().GetEntry(0);
    ASSERT_NE(nullptr, entry->Registration);
    EXPECT_EQ(STREAM_CLIENT_KIND_ASIO, entry->Registration->Kind);
    EXPECT_EQ(2u, entry->Registration->MsPerUrb);
    EXPECT_EQ(4u, entry->Registration->UrbCount);
    EXPECT_EQ(16, entry->Registration->Format.Format.wBitsPerSample);
    // The owner state is seen by every client.
    ULONG owner = 0;
    EXPECT_EQ(STATUS_SUCCESS, rig.Asio()->AsioGetOwnerState(rig.File(1), &owner));
    EXPECT_EQ(1u, owner);
}

TEST_F(AsioStreaming, StreamingTakesRenderDataFromTheRingAndCountsSwitches)
{
    ASSERT_EQ(STATUS_SUCCESS, rig.Map(0, 480, {{0, 0}, {0, 1}}));
    for (ULONG i = 0; i < 7680; ++i)
        rig.Data()[i] = (UCHAR)(i * 7 + 3);
    PKEVENT event = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Start(&event));
    AsioRingHeader* header = rig.Header();
    // 10 ms buffer: 2 ms URBs, 5 URBs ahead of the client at 384 bytes each,
    // the four in flight taken from the ring's start.
    EXPECT_EQ(1536u, header->PrerollBytes);
    EXPECT_EQ(1536u, header->DriverPosition);
    rig.Usb().Device()->Streaming().ClearRecords();
    EmuAdvanceMs(100);
    const ULONG switches = header->SwitchCount;
    EXPECT_EQ(SwitchesSeen(), switches);
    // One URB every 2 ms, less the start lead and the URBs still in flight.
    EXPECT_GE(switches, (100u - 5u - 2u * 4u) / 2u);
    EXPECT_LE(switches, 50u);
    // The pre-roll is what went before the first URB came back, whatever came after.
    EXPECT_EQ(1536u, header->PrerollBytes);
    EXPECT_EQ(TRUE, KeReadStateEvent(event));
    const SimOutRecord& out = rig.Usb().Device()->Streaming().OutRecord(kPlay);
    ASSERT_GE(out.Data.size(), 7680u);
    EXPECT_EQ(std::vector<UCHAR>(rig.Data(), rig.Data() + 7680),
              std::vector<UCHAR>(out.Data.begin(), out.Data.begin() + 7680));
    EXPECT_EQ(STATUS_SUCCESS, rig.Asio()->AsioStopStreaming(rig.File(0), nullptr));
}
} // namespace

namespace
{
TEST_F(AsioStreaming, AShortBufferStartsAtTheRingsFirstFrame)
{
    // Frames, start, pre-roll: from 2 to 3 ms, two 1 ms URBs of 192 bytes in
    // flight, from the ring's start.
    const ULONG cases[][3] = {{96, 0, 384}, {143, 0, 384}, {144, 0, 384}};
    for (const auto& [frames, start, preroll] : cases)
    {
        ASSERT_EQ(STATUS_SUCCESS, rig.Map(0, frames, {{0, 1}}));
        ASSERT_EQ(STATUS_SUCCESS, Start());
        EXPECT_EQ(start, rig.Header()->StartPosition) << frames;
        // The pre-roll taken from the start position, wrapping at the ring's end.
        EXPECT_EQ((start + preroll) % 7680, rig.Header()->DriverPosition) << frames;
        EXPECT_EQ(preroll, rig.Header()->PrerollBytes) << frames;
        EXPECT_EQ(2u, rig.Session().Rings().GetEntry(0)->Registration->UrbCount) << frames;
        EXPECT_EQ(STATUS_SUCCESS, rig.Asio()->AsioUnmapSharedBuffer(rig.File(0)));
    }
}

TEST_F(AsioStreaming, StopSilencesTheRingAndHandsTheStreamBack)
{
    ASSERT_EQ(STATUS_SUCCESS, rig.Map(0, 480, {{0, 0}}));
    memset(rig.Data(), 0x5A, 7680);
    PKEVENT event = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Start(&event));
    // A second start while the owner has its event changes nothing.
    HANDLE other = rig.NewEvent();
    EXPECT_EQ(STATUS_INVALID_PARAMETER, rig.Asio()->AsioStartStreaming(rig.File(0), &other));
    EmuAdvanceMs(20);
    ASSERT_NE(nullptr, rig.Stream().Stream()->Active());
    EXPECT_EQ(STATUS_SUCCESS, rig.Asio()->AsioStopStreaming(rig.File(0), nullptr));
    EXPECT_EQ(std::vector<UCHAR>(7680, 0), std::vector<UCHAR>(rig.Data(), rig.Data() + 7680));
    EXPECT_EQ(nullptr, rig.Stream().Stream()->Active());
    EXPECT_EQ(FALSE, KeReadStateEvent(event));
    const ULONG switches = rig.Header()->SwitchCount;
    EmuAdvanceMs(20);
    EXPECT_EQ(switches, rig.Header()->SwitchCount);
    // Only the owner with an event stops.
    EXPECT_EQ(STATUS_INVALID_PARAMETER, rig.Asio()->AsioStopStreaming(rig.File(0), nullptr));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, rig.Asio()->AsioStopStreaming(rig.File(1), nullptr));
    // And it starts again.
    EXPECT_EQ(STATUS_SUCCESS, Start());
    EmuAdvanceMs(20);
    EXPECT_GT(rig.Header()->SwitchCount, 0u);
}

TEST_F(AsioStreaming, PowerDownStopsAndD0ResumesMidStream)
{
    ASSERT_EQ(STATUS_SUCCESS, rig.Map(0, 480, {{0, 0}}));
    PKEVENT event = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Start(&event));
    EmuAdvanceMs(30);
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    rig.Adapter()->PowerChangeState(state);
    EXPECT_TRUE(rig.Session().IsPowerDownMarked());
    EXPECT_FALSE(rig.Session().IsRunning());
    EXPECT_EQ(FALSE, KeReadStateEvent(event));
    EmuAdvanceMs(30);
    EXPECT_EQ(nullptr, rig.Stream().Stream()->Active());
    const ULONG stopped = SwitchesSeen();
    EmuAdvanceMs(30);
    EXPECT_EQ(stopped, SwitchesSeen());
    const AsioRingHeader before = *rig.Header();
    // What another client sets meanwhile does not reach the owner's rings.
    ULONG rate = 44100;
    ASSERT_EQ(STATUS_SUCCESS, rig.Asio()->AsioSetSampleRate(rig.File(1), &rate));
    ASSERT_EQ(STATUS_SUCCESS, rig.Asio()->AsioSetSampleType(rig.File(1), 17));
    state.DeviceState = PowerDeviceD0;
    rig.Adapter()->PowerChangeState(state);
    EXPECT_FALSE(rig.Session().IsPowerDownMarked());
    EXPECT_TRUE(rig.Session().IsRunning());
    // The device took every URB of the stop: the ring goes on where it stood.
    EXPECT_EQ(before.SwitchCount, rig.Header()->SwitchCount);
    EXPECT_EQ(before.DriverPosition, rig.Header()->StartPosition);
    EXPECT_EQ(1536u, rig.Header()->PrerollBytes);
    EmuAdvanceMs(40);
    EXPECT_GE(rig.Header()->SwitchCount, before.SwitchCount + (40u - 5u - 8u) / 2u);
    EXPECT_EQ(TRUE, KeReadStateEvent(event));
}

TEST_F(AsioStreaming, StopWhilePoweredDownOnlyClearsTheMark)
{
    ASSERT_EQ(STATUS_SUCCESS, rig.Map(0, 480, {{0, 0}}));
    ASSERT_EQ(STATUS_SUCCESS, Start());
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    rig.Adapter()->PowerChangeState(state);
    state.DeviceState = PowerDeviceD0;
    // Back in D0 with the mark cleared by a stop in between: nothing restarts.
    rig.Session().Stop();
    rig.Adapter()->PowerChangeState(state);
    EXPECT_EQ(STATUS_SUCCESS, rig.Asio()->AsioStopStreaming(rig.File(0), nullptr));
    EXPECT_FALSE(rig.Session().IsRunning());
}

TEST_F(AsioStreaming, CloseWhileStreamingLeavesNothingForTheNextD0)
{
    ASSERT_EQ(STATUS_SUCCESS, rig.Map(0, 480, {{0, 0}}));
    ASSERT_EQ(STATUS_SUCCESS, Start());
    EmuAdvanceMs(20);
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    rig.Adapter()->PowerChangeState(state);
    ASSERT_TRUE(rig.Session().IsPowerDownMarked());
    EXPECT_EQ(STATUS_SUCCESS, rig.Asio()->AsioCloseClient(rig.File(0)));
    EXPECT_FALSE(rig.Session().IsPowerDownMarked());
    EXPECT_EQ(nullptr, rig.Session().GetOwner());
    EXPECT_TRUE(EmuUserMappings().empty());
    EXPECT_EQ(nullptr, rig.Session().Rings().GetEntry(0)->Block);
    state.DeviceState = PowerDeviceD0;
    rig.Adapter()->PowerChangeState(state);
    EXPECT_FALSE(rig.Session().IsRunning());
    EmuAdvanceMs(20);
    EXPECT_EQ(nullptr, rig.Stream().Stream()->Active());
    // Another client may map now.
    EXPECT_EQ(STATUS_SUCCESS, rig.Map(1, 480, {{0, 0}}));
}

TEST_F(AsioStreaming, UnmapWhileStreamingStopsFirstAndOnlyTheOwnerUnmaps)
{
    ASSERT_EQ(STATUS_SUCCESS, rig.Map(0, 480, {{0, 0}}));
    ASSERT_EQ(STATUS_SUCCESS, Start());
    EmuAdvanceMs(20);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, rig.Asio()->AsioUnmapSharedBuffer(rig.File(1)));
    // Not from another process: the mapping is the owner process's.
    PEPROCESS stranger = EmuCreateProcess(false);
    EmuAttachProcess(stranger);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, rig.Asio()->AsioUnmapSharedBuffer(rig.File(0)));
    EmuAttachProcess(rig.Process());
    EmuDeleteProcess(stranger);
    EXPECT_EQ(1u, EmuUserMappings().size());
    EXPECT_EQ(STATUS_SUCCESS, rig.Asio()->AsioUnmapSharedBuffer(rig.File(0)));
    EXPECT_FALSE(rig.Session().IsRunning());
    EXPECT_TRUE(EmuUserMappings().empty());
    EmuAdvanceMs(20);
    EXPECT_EQ(nullptr, rig.Stream().Stream()->Active());
    ULONG owner = 1;
    EXPECT_EQ(STATUS_SUCCESS, rig.Asio()->AsioGetOwnerState(rig.File(0), &owner));
    EXPECT_EQ(0u, owner);
}

TEST_F(AsioStreaming, MappingsThatCannotBeMadeLeaveNothingBehind)
{
    const ULONGLONG blocks = EmuPoolOutstandingCount(ASIO_POOL_TAG);
    std::vector<UCHAR> input = U32s({0, 2, 480, 0, 0, 0, 1});
    ULONGLONG out[4] = {};
    ULONG length = 8;
    // Two pairs announced, one and a half sent: the pairs must lie in the input.
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              rig.Asio()->AsioMapSharedBuffer(rig.File(0), input.data(), 24, out, &length));
    // The header alone, short of it, or an output not of one address per ring.
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              rig.Asio()->AsioMapSharedBuffer(rig.File(0), input.data(), 11, out, &length));
    length = 16;
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              rig.Asio()->AsioMapSharedBuffer(rig.File(0), input.data(), 28, out, &length));
    length = 7;
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              rig.Asio()->AsioMapSharedBuffer(rig.File(0), input.data(), 28, out, &length));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, rig.Map(3, 480, {{0, 0}})); // no client record
    EXPECT_EQ(blocks, EmuPoolOutstandingCount(ASIO_POOL_TAG));
    EXPECT_TRUE(EmuUserMappings().empty());
    EXPECT_EQ(nullptr, rig.Session().GetOwner());
    // A pair count at exactly the input's room maps.
    length = 8;
    EXPECT_EQ(STATUS_SUCCESS,
              rig.Asio()->AsioMapSharedBuffer(rig.File(0), input.data(), 28, out, &length));
    EXPECT_EQ(8u, length);
    // Mapping twice, or by another client, is refused.
    EXPECT_EQ(STATUS_INVALID_PARAMETER, rig.Map(0, 480, {{0, 0}}));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, rig.Map(1, 480, {{0, 0}}));
    EXPECT_EQ(1u, EmuUserMappings().size());
}

TEST_F(AsioStreaming, ARingWithoutAChannelAskedForIsNotRegistered)
{
    // Channel 2 lies in no ring: the ring is mapped, inactive, and no client.
    ASSERT_EQ(STATUS_SUCCESS, rig.Map(0, 480, {{0, 2}, {1, 0}}));
    EXPECT_EQ(0u, rig.Header()->Active);
    EXPECT_EQ(0u, rig.Header()->Signal);
    EXPECT_EQ(nullptr, rig.Session().Rings().GetEntry(0)->Registration);
    // Starting runs nothing on the stream.
    EXPECT_EQ(STATUS_SUCCESS, Start());
    EmuAdvanceMs(20);
    EXPECT_EQ(nullptr, rig.Stream().Stream()->Active());
}

TEST_F(AsioStreaming, StoredSettingsThatCannotStreamAreRefusedAtMapping)
{
    struct Case
    {
        const char16_t* Name;
        ULONG Value;
    };
    // An unknown sample type, a rate below 8 kHz, a DSD rate in PCM mode.
    const Case cases[] = {{u"ASIOMLDataBitDepth", 19},
                          {u"ASIOMLSampleRate", 0},
                          {u"ASIOMLSampleRate", 7999},
                          {u"ASIOMLSampleRate", 2822400}};
    for (const Case& c : cases)
    {
        rig.Usb().SetSetting(c.Name, c.Value);
        ASSERT_EQ(STATUS_SUCCESS, rig.Session().Configure(1));
        EXPECT_EQ(STATUS_INVALID_PARAMETER, rig.Map(0, 480, {{0, 0}})) << c.Value;
        EXPECT_TRUE(EmuUserMappings().empty());
        rig.Usb().SetSetting(u"ASIOMLDataBitDepth", 16);
        rig.Usb().SetSetting(u"ASIOMLSampleRate", 48000);
    }
}
} // namespace

namespace
{
TEST_F(AsioStreaming, UnmapAfterAPowerDownLetsTheOwnerMapAndStartAgain)
{
    ASSERT_EQ(STATUS_SUCCESS, rig.Map(0, 480, {{0, 0}}));
    ASSERT_EQ(STATUS_SUCCESS, Start());
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    rig.Adapter()->PowerChangeState(state);
    ASSERT_EQ(STATUS_SUCCESS, rig.Asio()->AsioUnmapSharedBuffer(rig.File(0)));
    EXPECT_FALSE(rig.Session().IsPowerDownMarked());
    state.DeviceState = PowerDeviceD0;
    rig.Adapter()->PowerChangeState(state);
    EXPECT_FALSE(rig.Session().IsRunning());
    // The event went with the rings: a new start is taken.
    ASSERT_EQ(STATUS_SUCCESS, rig.Map(0, 480, {{0, 0}}));
    EXPECT_EQ(STATUS_SUCCESS, Start());
    EmuAdvanceMs(20);
    EXPECT_GT(rig.Header()->SwitchCount, 0u);
}
} // namespace

TEST_F(AsioStreaming, RingsUnmapInTheProcessThatMappedThemWhoeverClosesOrRemoves)
{
    // {close from the system process, owner exited first, device removal}
    constexpr bool cases[][3] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 0, 1}};
    for (auto [fromSystem, exited, removal] : cases)
    {
        PEPROCESS owner = EmuCreateProcess(false);
        PEPROCESS closer = fromSystem ? PsInitialSystemProcess() : EmuCreateProcess(false);
        EmuAttachProcess(owner);
        ASSERT_EQ(STATUS_SUCCESS, rig.Map(0, 480, {{0, 0}}));
        EmuAttachProcess(closer);
        EmuDeleteProcess(exited ? owner : nullptr);
        EXPECT_EQ(STATUS_SUCCESS,
                  removal ? rig.Session().Configure(1) : rig.Asio()->AsioCloseClient(rig.File(0)));
        EXPECT_TRUE(EmuUserMappings().empty());
        EXPECT_EQ(closer, PsGetCurrentProcess());
        EXPECT_EQ(exited ? 0 : 1, EmuObReferenceCount(owner)); // the mapping's is gone
        EmuAttachProcess(rig.Process());
        EmuDeleteProcess(exited ? closer : owner);
        EmuDeleteProcess(exited ? nullptr : closer);
        rig.Asio()->AsioCloseClient(rig.File(0)); // the next round maps it anew
        ASSERT_EQ(STATUS_SUCCESS, rig.Open(0));
    }
}

namespace
{
void SetPower(AsioRig& rig, DEVICE_POWER_STATE state)
{
    POWER_STATE power;
    power.DeviceState = state;
    rig.Adapter()->PowerChangeState(power);
}

TEST_F(AsioStreaming, ARestartThatFailsIsToldToTheOwner)
{
    PKEVENT settings = nullptr;
    HANDLE handle = rig.NewEvent(&settings);
    ASSERT_EQ(STATUS_SUCCESS, rig.Asio()->AsioSetSettingsEvent(rig.File(0), &handle));
    ASSERT_EQ(STATUS_SUCCESS, rig.Map(0, 480, {{0, 0}}));
    ASSERT_EQ(STATUS_SUCCESS, Start());
    SetPower(rig, PowerDeviceD3);
    EmuPoolInjectFailure(0, 0, 0); // the streams cannot come back
    SetPower(rig, PowerDeviceD0);
    EmuPoolClearInjection();
    EXPECT_EQ(TRUE, KeReadStateEvent(settings));
    ULONG rate = 0; // the owner's next request learns it, once; another client's does not
    EXPECT_EQ(STATUS_SUCCESS, rig.Asio()->AsioGetSampleRate(rig.File(1), &rate));
    EXPECT_TRUE(NT_ERROR(rig.Asio()->AsioGetSampleRate(rig.File(0), &rate)));
    EXPECT_EQ(STATUS_SUCCESS, rig.Asio()->AsioGetSampleRate(rig.File(0), &rate));
}

// The owner's file lives on in another process: the end of the owner's
// process takes its streams and rings down while they are still mapped.
TEST_F(AsioStreaming, AnOwnerWhoseProcessEndsLeavesNoRingsOrStream)
{
    PEPROCESS owner = EmuCreateProcess(false);
    EmuAttachProcess(owner);
    ASSERT_EQ(STATUS_SUCCESS, rig.Map(0, 480, {{0, 0}}));
    HANDLE handle = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, EmuCreateUserEvent(owner, SynchronizationEvent, FALSE, &handle));
    ASSERT_EQ(STATUS_SUCCESS, rig.Asio()->AsioStartStreaming(rig.File(0), &handle));
    EmuAttachProcess(rig.Process());
    EmuCloseUserHandle(owner, handle);
    EmuDeleteProcess(owner);
    EXPECT_TRUE(EmuUserMappings().empty());
    EXPECT_EQ(nullptr, rig.Session().Rings().GetEntry(0)->Registration);
    EmuAdvanceMs(20);
    EXPECT_EQ(nullptr, rig.Stream().Stream()->Active());
    EXPECT_EQ(STATUS_SUCCESS, rig.Map(1, 480, {{0, 0}})); // no owner left
    EXPECT_EQ(STATUS_SUCCESS, rig.Asio()->AsioCloseClient(rig.File(0)));
}
} // namespace
