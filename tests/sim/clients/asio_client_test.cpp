// The ASIO test client reads a sample-type reply only as far as its bytes
// go: a count they do not hold is refused, and what it had is kept.
#include <gtest/gtest.h>

#include <tuple>

#include "sim/clients/asio_client.h"

TEST(AsioClient, ASampleTypeCountItsBytesDoNotHoldIsRefused)
{
    constexpr ULONG kReply[] = {16, 0, 16, 17, 24, 27, 18, 26};
    for (const auto& [bytes, count, read] : {
             std::tuple{16u, 2u, true},
             {16u, 3u, false},          // one type more than it holds
             {15u, 2u, false},          // the second type cut short
             {32u, 6u, true},           // as many as a reply holds
             {36u, 6u, false},          // more bytes than a reply holds
             {7u, 0u, false},           // shorter than its header
             {16u, 0x40000002u, false}, // whose bytes wrap to those held
         })
    {
        SCOPED_TRACE(testing::Message() << bytes << " bytes, " << count << " types");
        ULONG reply[9] = {};
        std::copy(std::begin(kReply), std::end(kReply), reply);
        reply[1] = count;
        AsioSampleTypes types = {99, {99}};
        EXPECT_EQ(read, AsioReadSampleTypes(reply, bytes, &types));
        EXPECT_EQ(read ? 16u : 99u, types.Current);
        EXPECT_EQ(read ? std::vector<ULONG>(kReply + 2, kReply + 2 + count)
                       : std::vector<ULONG>{99},
                  types.Offered);
    }
}
