// The driver meets the devices that bend the rules: each descriptor file is
// plugged and added, and the start goes as far as the driver goes, with the
// driver's own checks deciding; removal leaves nothing behind.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/kernel/emu.h"
#include "sim/host/harness/HostHarness.h"
#include "tests/sim/host/host_doubles.h"

namespace
{
const char* const kQuirks[] = {
    "two-configurations-one-answer.txt",
    "two-configurations.txt",
    "audio-control-total-long.txt",
    "audio-control-total-short.txt",
    "midi-control-interface.txt",
    "control-interface-without-streaming.txt",
    "full-speed-interrupt-interval-255.txt",
    "missing-strings.txt",
    "hid-and-vendor-interfaces.txt",
    "synchronous-data-with-feedback.txt",
    "implicit-feedback.txt",
};

std::string QuirkPath(const char* name)
{
    return std::string(LT_QUIRKS_DIR) + "/" + name;
}

bool Logged(const SimUsbDevice* device, const std::string& line)
{
    const std::vector<std::string> log = device->LogText();
    return std::find(log.begin(), log.end(), line) != log.end();
}

// Plugs the file on a loaded driver and adds the device.
void Bring(HostHarness& host, const char* file)
{
    std::string error;
    ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
    ASSERT_EQ(STATUS_SUCCESS, host.PlugDescriptorFile(QuirkPath(file), &error)) << error;
    ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
}
} // namespace

// With a device class and a topology miniport in the driver's tables, every
// one starts: the driver read the first configuration, selected it, and (an
// audio class 1.0 family device) asked for the model string at both its
// indexes (104 bytes each), which none of these devices has.
TEST(QuirkStart, EachStartsThroughTheDeviceClassChoice)
{
    for (const char* file : kQuirks)
    {
        SCOPED_TRACE(file);
        {
            HostDoubles doubles(true);
            HostHarness host;
            Bring(host, file);
            ASSERT_EQ(STATUS_SUCCESS, host.StartDevice());
            SimUsbDevice* device = host.Device();
            EXPECT_EQ(1, device->Configuration());
            EXPECT_TRUE(Logged(device, "00 09 0001 0000 0000"));
            const bool class2 = device->Audio().IsAudioClass2();
            EXPECT_EQ(!class2, Logged(device, "80 06 0350 0409 0068 STALL"));
            EXPECT_EQ(!class2, Logged(device, "80 06 0332 0409 0068 STALL"));
            EXPECT_EQ(STATUS_SUCCESS, host.RemoveDevice());
            host.Unplug();
            host.UnloadDriver();
        }
        EXPECT_EQ("", EmuCheckClean(false));
    }
}

// With the driver's own tables the start stops where the driver stops, never
// before the device-class choice, and the removal leaves nothing behind.
TEST(QuirkStart, TheDriversOwnTablesDecide)
{
    for (const char* file : kQuirks)
    {
        SCOPED_TRACE(file);
        {
            HostHarness host;
            Bring(host, file);
            const NTSTATUS status = host.StartDevice();
            if (!NT_SUCCESS(status))
            {
                const HostStartStep step = host.ExplainStart(status);
                EXPECT_EQ(0u, step.Step.find("device-class")) << step.Step << ": " << step.Cause;
            }
            EXPECT_EQ(1, host.Device()->Configuration());
            EXPECT_EQ(STATUS_SUCCESS, host.RemoveDevice());
            host.Unplug();
            host.UnloadDriver();
        }
        EXPECT_EQ("", EmuCheckClean(false));
    }
}

// The connection's speed is the harness's to set, whatever the device says.
TEST(QuirkStart, TheSpeedCanBeChosen)
{
    HostHarness host;
    std::string error;
    ASSERT_EQ(STATUS_SUCCESS,
              host.PlugDescriptorFile(QuirkPath("full-speed-interrupt-interval-255.txt"), &error,
                                      EmuUsbSpeed::High))
        << error;
    EXPECT_EQ(EmuUsbSpeed::High, host.Device()->Speed());
    EXPECT_EQ(1u, host.Device()->Notes().size());
    ASSERT_EQ(STATUS_SUCCESS, host.PlugReference("Uac2HighSpeed", &error, EmuUsbSpeed::Full));
    EXPECT_EQ(EmuUsbSpeed::Full, host.Device()->Speed());
    ASSERT_EQ(STATUS_SUCCESS, host.PlugReference("Uac2HighSpeed", &error));
    EXPECT_EQ(EmuUsbSpeed::High, host.Device()->Speed());
    EXPECT_TRUE(host.Device()->Notes().empty());
}
