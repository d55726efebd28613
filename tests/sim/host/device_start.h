// The driver loaded and a device plugged, added and started, as the host
// program does before it streams: a reference device by its name, or a
// quirk file's (a name ending in .txt).
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "sim/host/harness/host_harness.h"

inline void StartHostDevice(HostHarness& host, const std::string& name)
{
    std::string error;
    ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
    ASSERT_EQ(STATUS_SUCCESS,
              name.ends_with(".txt")
                  ? host.PlugDescriptorFile(std::string(LT_QUIRKS_DIR) + "/" + name, &error)
                  : host.PlugReference(name, &error))
        << error;
    ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
    ASSERT_EQ(STATUS_SUCCESS, host.StartDevice());
}
