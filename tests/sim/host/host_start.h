// A harness brought to the state most runs begin from.
#pragma once

#include <gtest/gtest.h>

#include "sim/host/harness/host_harness.h"

// Loads the driver, plugs `device` (a reference device by its name, a
// descriptor file by its path or a quirk file by its name), runs `beforeAdd`
// (settings the device is added with), adds the device and, unless told
// not to, starts it.
inline void StartHost(HostHarness& host, const std::string& device = "Uac1SpeakerMic",
                      void (*beforeAdd)(HostHarness&) = nullptr, bool start = true)
{
    std::string error;
    const std::string path =
        device.find('/') != std::string::npos ? device : LT_QUIRKS_DIR "/" + device;
    ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
    ASSERT_EQ(STATUS_SUCCESS, device.ends_with(".txt") ? host.PlugDescriptorFile(path, &error)
                                                       : host.PlugReference(device, &error))
        << error;
    if (beforeAdd != nullptr)
        beforeAdd(host);
    ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
    ASSERT_EQ(STATUS_SUCCESS, start ? host.StartDevice() : STATUS_SUCCESS) << device;
}
