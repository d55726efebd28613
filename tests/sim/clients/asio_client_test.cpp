// The ASIO test client reads what a driver replies: a sample-type reply only
// as far as its bytes go, and rates in the order a user expects, each asked
// once, the one chosen set only where the current one is not played.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "sim/clients/asio_client.h"
#include "tests/sim/clients/stand_in_driver.h"

namespace
{
constexpr ULONG kGetSampleTypes = 0x1D600C, kGetSampleRate = 0x1D6028, kCanSampleRate = 0x1DA02C,
                kSetSampleRate = 0x1DA030;

// What the stand-in driver answers: a sample-type reply of `TypeBytes`
// bytes claiming `TypeCount` types, and the rates it runs and plays.
struct Replies
{
    ULONG TypeBytes = 8;
    ULONG TypeCount = 0;
    ULONG Rate = 48000;
    std::vector<ULONG> Played;
    std::vector<ULONG> Asked; // rates asked, in order
    ULONG Set = 0;
};
Replies g_Replies;
constexpr ULONG kTypeReply[] = {16, 0, 16, 17, 24, 27, 18, 26};

NTSTATUS Answer(PDEVICE_OBJECT, PIRP irp)
{
    const auto& p = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl;
    auto* words = static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer);
    switch (p.IoControlCode)
    {
    case kGetSampleTypes:
        memcpy(words, kTypeReply, std::min<ULONG>(sizeof(kTypeReply), p.OutputBufferLength));
        words[1] = g_Replies.TypeCount;
        return StandInComplete(irp, STATUS_SUCCESS, g_Replies.TypeBytes);
    case kGetSampleRate:
        words[0] = g_Replies.Rate;
        return StandInComplete(irp, STATUS_SUCCESS, 4);
    case kCanSampleRate:
        g_Replies.Asked.push_back(words[0]);
        return StandInComplete(irp,
                               std::ranges::count(g_Replies.Played, words[0]) != 0
                                   ? STATUS_SUCCESS
                                   : STATUS_UNSUCCESSFUL,
                               0);
    case kSetSampleRate:
        g_Replies.Set = words[0];
        return StandInComplete(irp, STATUS_SUCCESS, 0);
    default:
        return StandInComplete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

class AsioClient : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_NE(Driver.Device(), nullptr);
        Client = new AsioTestClient(Driver.Device());
        ASSERT_EQ(Client->Open(), STATUS_SUCCESS);
    }
    void TearDown() override { delete Client; }
    StandInDriver Driver{u"AsioReplies", u"ROOT\\ASIOREPLIES\\0000", Answer};
    AsioTestClient* Client = nullptr;
};
} // namespace

TEST_F(AsioClient, ASampleTypeCountItsBytesDoNotHoldIsRefused)
{
    const struct
    {
        ULONG Bytes, Count;
        NTSTATUS Status;
    } rows[] = {
        {8, 0, STATUS_SUCCESS},
        {16, 2, STATUS_SUCCESS},
        {16, 3, STATUS_INVALID_BUFFER_SIZE}, // one type more than it holds
        {15, 2, STATUS_INVALID_BUFFER_SIZE}, // the second type cut short
        {32, 6, STATUS_SUCCESS},             // as many as the client has room for
        {32, 7, STATUS_INVALID_BUFFER_SIZE},
        {7, 0, STATUS_INVALID_BUFFER_SIZE},           // shorter than its header
        {16, 0x40000002, STATUS_INVALID_BUFFER_SIZE}, // whose bytes wrap to those held
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(testing::Message() << row.Bytes << " bytes, " << row.Count << " types");
        g_Replies = Replies();
        g_Replies.TypeBytes = row.Bytes;
        g_Replies.TypeCount = row.Count;
        AsioSampleTypes types = {99, {99}};
        ASSERT_EQ(row.Status, Client->GetSampleTypes(&types));
        const bool read = NT_SUCCESS(row.Status);
        EXPECT_EQ(read ? 16u : 99u, types.Current);
        EXPECT_EQ(read ? std::vector<ULONG>(kTypeReply + 2, kTypeReply + 2 + row.Count)
                       : std::vector<ULONG>{99},
                  types.Offered);
    }
}

TEST_F(AsioClient, TheRateChosenIsTheCurrentOneElseTheFirstPlayedInTheUsualOrder)
{
    const struct
    {
        ULONG Current;
        std::vector<ULONG> Played;
        ULONG Chosen;
    } rows[] = {
        {44100, {48000, 44100}, 44100},
        {96000, {44100, 48000}, 48000},
        {96000, {44100, 88200}, 44100},
        {48000, {384000, 11025, 32000}, 11025},
        {48000, {}, 0},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Current);
        g_Replies.Rate = row.Current;
        g_Replies.Played = row.Played;
        g_Replies.Set = 0;
        g_Replies.Asked.clear();
        ULONG current = 0, chosen = 99;
        ASSERT_EQ(STATUS_SUCCESS, Client->ChooseSampleRate(&current, &chosen));
        EXPECT_EQ(row.Current, current);
        EXPECT_EQ(row.Chosen, chosen);
        EXPECT_EQ(row.Chosen != row.Current ? row.Chosen : 0, g_Replies.Set);
    }
    // Where none is played, every rate was asked once, in order.
    EXPECT_EQ((std::vector<ULONG>{48000, 44100, 8000, 11025, 12000, 16000, 22050, 24000, 32000,
                                  64000, 88200, 96000, 176400, 192000, 352800, 384000}),
              g_Replies.Asked);
}
