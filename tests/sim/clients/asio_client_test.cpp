// The ASIO test client reads a sample-type reply only as far as its bytes
// go: a count they do not hold is refused, and what it had is kept.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "sim/clients/asio_client.h"
#include "tests/sim/clients/stand_in_driver.h"

namespace
{
// The stand-in's reply to every request: g_Bytes bytes said of the current
// type 16, the count g_Count, then the types (as many as the client takes).
ULONG g_Bytes, g_Count;
constexpr ULONG kReply[] = {16, 0, 16, 17, 24, 27, 18, 26};

NTSTATUS SampleTypes(PDEVICE_OBJECT, PIRP irp)
{
    auto* words = static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer);
    memcpy(words, kReply, sizeof(kReply));
    words[1] = g_Count;
    return StandInComplete(irp, STATUS_SUCCESS, g_Bytes);
}

using AsioClient = StandInDriverTest;
} // namespace

TEST_F(AsioClient, ASampleTypeCountItsBytesDoNotHoldIsRefused)
{
    Load(u"AsioReplies", u"ROOT\\ASIOREPLIES\\0000", SampleTypes);
    ASSERT_NE(Device, nullptr);
    AsioTestClient client(Device);
    ASSERT_EQ(STATUS_SUCCESS, client.Open());
    for (const auto& [bytes, count, status] : {
             std::tuple{16u, 2u, STATUS_SUCCESS},
             {16u, 3u, STATUS_INVALID_BUFFER_SIZE},          // one type more than it holds
             {15u, 2u, STATUS_INVALID_BUFFER_SIZE},          // the second type cut short
             {32u, 6u, STATUS_SUCCESS},                      // as many as the client has room for
             {7u, 0u, STATUS_INVALID_BUFFER_SIZE},           // shorter than its header
             {16u, 0x40000002u, STATUS_INVALID_BUFFER_SIZE}, // whose bytes wrap to those held
         })
    {
        SCOPED_TRACE(testing::Message() << bytes << " bytes, " << count << " types");
        g_Bytes = bytes;
        g_Count = count;
        AsioSampleTypes types = {99, {99}};
        ASSERT_EQ(status, client.GetSampleTypes(&types));
        EXPECT_EQ(NT_SUCCESS(status) ? 16u : 99u, types.Current);
        EXPECT_EQ(NT_SUCCESS(status) ? std::vector<ULONG>(kReply + 2, kReply + 2 + count)
                                     : std::vector<ULONG>{99},
                  types.Offered);
    }
}
