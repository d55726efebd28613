#include "tests/reliability/scenario_checks.h"

std::string RoadParamName(const testing::TestParamInfo<RoadParam>& info)
{
    return std::string(std::get<0>(info.param)) + "_" + std::get<1>(info.param).Name;
}

void ExpectCleanEnd(ScenarioHost& host, const std::string& where, ULONGLONG boundMs)
{
    EXPECT_EQ(STATUS_SUCCESS, host.Remove()) << where;
    ExpectCleanTeardown(host, where, boundMs);
}

void ExpectCleanTeardown(ScenarioHost& host, const std::string& where, ULONGLONG boundMs)
{
    const ScenarioEnd end = host.Teardown();
    EXPECT_EQ(0u, end.PendingAtBus) << where;
    EXPECT_EQ("", end.Left) << where;
    EXPECT_LE(end.Ms, boundMs) << where;
}
