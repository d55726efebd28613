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
    // 10 ms buffer: 2 ms URBs, 5 URBs ahead of the client at 384 bytes each.
    EXPECT_EQ(0u, header->DriverPosition);
    EXPECT_EQ(1536u, header->PrerollBytes);
    rig.Usb().Device()->Streaming().ClearRecords();
    EmuAdvanceMs(100);
    const ULONG switches = header->SwitchCount;
    EXPECT_EQ(SwitchesSeen(), switches);
    // One URB every 2 ms, less the start lead and the URBs still in flight.
    EXPECT_GE(switches, (100u - 5u - 2u * 4u) / 2u);
    EXPECT_LE(switches, 50u);
    EXPECT_EQ(TRUE, KeReadStateEvent(event));
    const SimOutRecord& out = rig.Usb().Device()->Streaming().OutRecord(kPlay);
    ASSERT_GE(out.Data.size(), 7680u);
    EXPECT_EQ(std::vector<UCHAR>(rig.Data(), rig.Data() + 7680),
              std::vector<UCHAR>(out.Data.begin(), out.Data.begin() + 7680));
    EXPECT_EQ(STATUS_SUCCESS, rig.Asio()->AsioStopStreaming(rig.File(0), nullptr));
}
} // namespace
