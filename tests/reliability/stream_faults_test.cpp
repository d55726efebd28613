// Faults while the device streams: packets that fail one at a time, runs of
// them long enough to fail whole URBs, and the device pulled out at each
// frame of a URB's span, on render and capture pins and on the ASIO client.
// After packet errors the stream must go on by itself; after the device is
// pulled out, the stop, the close and the removal must end cleanly.
#include <gtest/gtest.h>

#include "platform/kernel/emu.h"
#include "platform/usb/emu_usb_bus.h"
#include "sim/host/harness/host_stream.h"
#include "tests/reliability/scenario_checks.h"

namespace
{
constexpr ULONG kLeadMs = 40;   // running before the fault
constexpr ULONG kAfterMs = 100; // measured after the fault has passed
// A stream that failed recovers within this, and then moves a whole span's
// packets but for one URB of the longest (10 ms).
constexpr ULONG kRecoveryBoundMs = 3000;
constexpr ULONG kSlackMs = 10;
constexpr ULONGLONG kBoundMs = 10000;

// A run of failing packets: its length in milliseconds of the stream's
// packets (0: a single packet) and the status they fail with. Twelve
// milliseconds cover at least one whole 5 ms URB of the wave streams and the
// ASIO client's URBs; forty cover several of either.
struct ErrorRun
{
    ULONG Ms;
    USBD_STATUS Status;
    const char* Name;
};
const ErrorRun kErrorRuns[] = {
    {0, USBD_STATUS_XACT_ERROR, "OnePacket"},
    {12, USBD_STATUS_CRC, "WholeUrb"},
    {40, USBD_STATUS_DEV_NOT_RESPONDING, "ManyUrbs"},
};

using ErrorParam = std::tuple<const char*, RoadCase, ErrorRun>;
class PacketErrors : public testing::TestWithParam<ErrorParam>
{
};

// The stream goes on after the failed packets: as many packets in the
// measured span as in the same span before the fault, give or take one URB's
// worth, and the client's progress moves on.
TEST_P(PacketErrors, TheStreamGoesOnByItself)
{
    const std::string device = std::get<0>(GetParam());
    const RoadCase road = std::get<1>(GetParam());
    const ErrorRun errors = std::get<2>(GetParam());
    if (!ScenarioHasRoad(device, road.Kind))
        GTEST_SKIP() << device << " has no " << road.Name << " road";
    ScenarioHost host(device);
    ASSERT_EQ(STATUS_SUCCESS, host.Start());
    {
        ScenarioRoad running(host, road.Kind);
        ASSERT_TRUE(running.Running());
        running.Play(kLeadMs);
        const ULONG before = running.Packets();
        running.Play(kAfterMs);
        const ULONG cleanSpan = running.Packets() - before;
        const ULONG perMs = cleanSpan / kAfterMs;
        ASSERT_GT(perMs, 0u);
        const ULONG count = errors.Ms == 0 ? 1 : errors.Ms * perMs;
        std::vector<UCHAR> endpoints =
            HostDataEndpoints(*host.Device(), road.Kind == Road::Capture);
        if (road.Kind == Road::Asio)
            for (UCHAR ep : HostDataEndpoints(*host.Device(), true))
                endpoints.push_back(ep);
        for (UCHAR ep : endpoints)
            host.Device()->Streaming().InjectPacketError(
                ep, host.Device()->Streaming().PacketCount(ep) + 2 * perMs, errors.Status, count);
        // Each failed URB sends the stream through its recovery (the URBs in
        // flight return, 100 ms of rest, a new start) until the failing
        // packets have all gone by; then a full span streams again.
        const ULONGLONG progress = running.Progress();
        const ULONG span =
            running.PlayUntilSpanMoves(cleanSpan - perMs * kSlackMs, kAfterMs, kRecoveryBoundMs);
        EXPECT_GE(span + perMs * kSlackMs, cleanSpan) << device << " " << road.Name;
        EXPECT_GT(running.Progress(), progress) << device << " " << road.Name;
        EXPECT_TRUE(host.Host().DevicePresent());
    }
    ExpectCleanEnd(host, device + " " + road.Name + " " + errors.Name, kBoundMs);
}

std::string ErrorName(const testing::TestParamInfo<ErrorParam>& info)
{
    return std::string(std::get<0>(info.param)) + "_" + std::get<1>(info.param).Name + "_" +
           std::get<2>(info.param).Name;
}

INSTANTIATE_TEST_SUITE_P(Devices, PacketErrors,
                         testing::Combine(testing::ValuesIn(kScenarioDevices),
                                          testing::ValuesIn(kRoads), testing::ValuesIn(kErrorRuns)),
                         ErrorName);

class PulledMidStream : public testing::TestWithParam<RoadParam>
{
};

// Pulled out at each frame of a span longer than any URB the roads use, the
// road is stopped and closed, the device removed, and nothing is left.
TEST_P(PulledMidStream, AtEachFrameOfAUrbTheRoadEndsCleanly)
{
    const std::string device = std::get<0>(GetParam());
    const RoadCase road = std::get<1>(GetParam());
    if (!ScenarioHasRoad(device, road.Kind))
        GTEST_SKIP() << device << " has no " << road.Name << " road";
    for (ULONG offset = 0; offset < 12; ++offset)
    {
        const std::string where =
            device + " " + road.Name + " pulled at frame +" + std::to_string(offset);
        ScenarioHost host(device);
        ASSERT_EQ(STATUS_SUCCESS, host.Start()) << where;
        {
            ScenarioRoad running(host, road.Kind);
            ASSERT_TRUE(running.Running()) << where;
            running.Play(kLeadMs);
            host.Bus()->UnplugAtFrame(host.Bus()->CurrentFrame() + offset);
            running.Play(kLeadMs);
            EXPECT_FALSE(host.Host().DevicePresent()) << where;
            const ULONG packets = running.Packets();
            running.Play(kLeadMs);
            EXPECT_EQ(packets, running.Packets()) << where;
        }
        ExpectCleanEnd(host, where, kBoundMs);
        if (HasFailure())
            return;
    }
}

// The system tells the driver at once, with the road still open and
// running; the client goes on with the road until it notices, then stops and
// closes it, and only then comes the removal.
TEST_P(PulledMidStream, TheSurpriseRemovalComesWithTheRoadStillOpen)
{
    const std::string device = std::get<0>(GetParam());
    const RoadCase road = std::get<1>(GetParam());
    if (!ScenarioHasRoad(device, road.Kind))
        GTEST_SKIP() << device << " has no " << road.Name << " road";
    const std::string where = device + " " + road.Name;
    ScenarioHost host(device);
    ASSERT_EQ(STATUS_SUCCESS, host.Start()) << where;
    {
        ScenarioRoad running(host, road.Kind);
        ASSERT_TRUE(running.Running()) << where;
        running.Play(kLeadMs);
        host.Bus()->Unplug();
        EXPECT_EQ(STATUS_SUCCESS, host.SurpriseRemoval()) << where;
        running.Play(kLeadMs);
        // The interfaces are disabled and the wave filters taken away.
        EXPECT_FALSE(host.HasAsio()) << where;
        for (const HostFilter& filter : host.Host().Filters())
            EXPECT_FALSE(filter.WaveCyclic) << where << ": " << filter.Name;
    }
    ExpectCleanEnd(host, where, kBoundMs);
}

INSTANTIATE_TEST_SUITE_P(Devices, PulledMidStream,
                         testing::Combine(testing::ValuesIn(kScenarioDevices),
                                          testing::ValuesIn(kRoads)),
                         RoadParamName);
} // namespace
