// What every reliability scenario checks at its end, and the names of the
// scenarios' parameters.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "sim/host/harness/scenario_road.h"

// Test parameters of a device and a road, and their names.
using RoadParam = std::tuple<const char*, RoadCase>;
std::string RoadParamName(const testing::TestParamInfo<RoadParam>& info);

// The device removed, unplugged and the driver unloaded: nothing pending at
// the bus, nothing left behind, and the whole scenario within `boundMs` of
// virtual time.
void ExpectCleanEnd(ScenarioHost& host, const std::string& where, ULONGLONG boundMs);
// The same after a removal of the scenario's own.
void ExpectCleanTeardown(ScenarioHost& host, const std::string& where, ULONGLONG boundMs);
