// Two roads on one device at once: a wave pin and the ASIO client share a USB
// stream (the later client takes over, the earlier one takes it back when the
// later stops), and a second ASIO client is refused while the first owns the
// rings. Whichever goes first, the one left goes on, and the device is
// removed cleanly; pulled out with both open, both end cleanly.
#include <gtest/gtest.h>

#include "platform/usb/emu_usb_bus.h"
#include "tests/reliability/scenario_checks.h"

namespace
{
constexpr ULONG kLeadMs = 40;
constexpr ULONG kSpanMs = 100;
constexpr ULONGLONG kBoundMs = 10000;

enum class Ending
{
    FirstGoesFirst,
    SecondGoesFirst,
    Pulled
};

struct Pair
{
    Road First;
    Road Second;
    Ending End;
    const char* Name;
};
const Pair kPairs[] = {
    {Road::Render, Road::Asio, Ending::FirstGoesFirst, "RenderThenAsio_RenderStops"},
    {Road::Render, Road::Asio, Ending::SecondGoesFirst, "RenderThenAsio_AsioStops"},
    {Road::Capture, Road::Asio, Ending::FirstGoesFirst, "CaptureThenAsio_CaptureStops"},
    {Road::Capture, Road::Asio, Ending::SecondGoesFirst, "CaptureThenAsio_AsioStops"},
    {Road::Asio, Road::Render, Ending::FirstGoesFirst, "AsioThenRender_AsioStops"},
    {Road::Asio, Road::Render, Ending::SecondGoesFirst, "AsioThenRender_RenderStops"},
    {Road::Render, Road::Asio, Ending::Pulled, "RenderAndAsio_Pulled"},
    {Road::Asio, Road::Asio, Ending::FirstGoesFirst, "TwoAsio_OwnerStops"},
    {Road::Asio, Road::Asio, Ending::SecondGoesFirst, "TwoAsio_RefusedGoes"},
};

using PairParam = std::tuple<const char*, Pair>;
class SharedRoads : public testing::TestWithParam<PairParam>
{
};

TEST_P(SharedRoads, TheOneLeftGoesOnAndTheEndIsClean)
{
    const std::string device = std::get<0>(GetParam());
    const Pair pair = std::get<1>(GetParam());
    if (!ScenarioHasRoad(device, pair.First) || !ScenarioHasRoad(device, pair.Second))
        GTEST_SKIP() << device << " lacks a road of " << pair.Name;
    const std::string where = device + " " + pair.Name;
    ScenarioHost host(device);
    ASSERT_EQ(STATUS_SUCCESS, host.Start()) << where;
    {
        auto first = std::make_unique<ScenarioRoad>(host, pair.First);
        ASSERT_TRUE(first->Running()) << where;
        first->Play(kLeadMs);
        auto second = std::make_unique<ScenarioRoad>(host, pair.Second);
        // The rings have one owner: a second ASIO client is refused.
        EXPECT_EQ(pair.First != pair.Second, second->Running()) << where;
        second->Play(kLeadMs);
        if (pair.End == Ending::Pulled)
        {
            host.Bus()->Unplug();
            EXPECT_EQ(STATUS_SUCCESS, host.SurpriseRemoval()) << where;
            second->Play(kLeadMs);
        }
        else
        {
            std::unique_ptr<ScenarioRoad>& gone =
                pair.End == Ending::FirstGoesFirst ? first : second;
            std::unique_ptr<ScenarioRoad>& left =
                pair.End == Ending::FirstGoesFirst ? second : first;
            const bool leftRuns = left->Running();
            gone.reset();
            left->Play(kLeadMs);
            const ULONGLONG progress = left->Progress();
            const ULONG packets = left->Packets();
            left->Play(kSpanMs);
            if (leftRuns)
            {
                EXPECT_GT(left->Progress(), progress) << where;
                EXPECT_GT(left->Packets(), packets) << where;
            }
        }
    }
    ExpectCleanEnd(host, where, kBoundMs);
}

std::string PairName(const testing::TestParamInfo<PairParam>& info)
{
    return std::string(std::get<0>(info.param)) + "_" + std::get<1>(info.param).Name;
}

// The devices that offer the ASIO interface.
const char* const kAsioDevices[] = {"Uac2HighSpeed", "Uac2Spdif"};

INSTANTIATE_TEST_SUITE_P(Devices, SharedRoads,
                         testing::Combine(testing::ValuesIn(kAsioDevices),
                                          testing::ValuesIn(kPairs)),
                         PairName);
} // namespace
