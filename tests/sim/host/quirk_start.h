// The driver loaded and a quirk file's device plugged, added and started,
// as the host program does before it streams.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "sim/host/harness/host_harness.h"

inline void StartQuirkDevice(HostHarness& host, const std::string& file)
{
    std::string error;
    ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
    ASSERT_EQ(STATUS_SUCCESS,
              host.PlugDescriptorFile(std::string(LT_QUIRKS_DIR) + "/" + file, &error))
        << error;
    ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
    ASSERT_EQ(STATUS_SUCCESS, host.StartDevice());
}
