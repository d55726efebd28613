// The driver meets the devices that bend the rules: each descriptor file is
// plugged and added, and the start goes as far as the driver goes, with the
// driver's own checks deciding; removal leaves nothing behind.
#include <gtest/gtest.h>

#include <optional>

#include "platform/kernel/emu.h"
#include "sim/host/harness/host_harness.h"
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

// Whether the device's log holds a line that begins with `start`.
bool Logged(SimUsbDevice* device, const std::string& start)
{
    for (const std::string& line : device->LogText())
        if (line.compare(0, start.size(), start) == 0)
            return true;
    return false;
}

// Starts each file's device on a loaded driver (with the harness's doubles
// in the driver's tables when asked), hands the start's status to `check`,
// then removes the device: nothing may be left behind.
template <typename Check> void StartEach(bool doubles, Check check)
{
    for (const char* file : kQuirks)
    {
        SCOPED_TRACE(file);
        {
            std::optional<HostDoubles> tables;
            if (doubles)
                tables.emplace(true);
            HostHarness host;
            std::string error;
            ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
            ASSERT_EQ(STATUS_SUCCESS, host.PlugDescriptorFile(QuirkPath(file), &error)) << error;
            ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
            check(file, host, host.StartDevice());
            EXPECT_EQ(1, host.Device()->Configuration());
            EXPECT_EQ(STATUS_SUCCESS, host.RemoveDevice());
        }
        EXPECT_EQ("", EmuCheckClean(false));
    }
}
} // namespace

// With a device class and a topology miniport in the driver's tables, every
// one starts: the driver read the first configuration, selected it, and (an
// audio class 1.0 family device) asked for the model string at both its
// indexes (104 bytes each); these devices answer the second one, but for the
// one that names strings it does not have.
TEST(QuirkStart, EachStartsThroughTheDeviceClassChoice)
{
    StartEach(true,
              [](const std::string& file, HostHarness& host, NTSTATUS status)
              {
                  EXPECT_EQ(STATUS_SUCCESS, status);
                  SimUsbDevice* device = host.Device();
                  EXPECT_TRUE(Logged(device, "00 09 0001 0000 0000"));
                  const bool class1 = !device->Audio().IsAudioClass2();
                  const bool model = file != "missing-strings.txt";
                  EXPECT_EQ(class1, Logged(device, "80 06 0350 0409 0068 STALL"));
                  // "Quirk Speaker": 2 + 2 * 13 bytes.
                  EXPECT_EQ(class1 && model, Logged(device, "80 06 0332 0409 0068 > 1C 03 51 00"));
                  EXPECT_EQ(class1 && !model, Logged(device, "80 06 0332 0409 0068 STALL"));
              });
}

// With the driver's own tables a start that fails is refused by the device
// class's own checks, never stopped before the device-class choice.
TEST(QuirkStart, TheDriversOwnTablesDecide)
{
    StartEach(false,
              [](const std::string& file, HostHarness& host, NTSTATUS status)
              {
                  const HostStartStep step = host.ExplainStart(status);
                  // No model string is what ordinary devices have: it starts.
                  if (file == "missing-strings.txt")
                      EXPECT_EQ(STATUS_SUCCESS, status) << step.Step;
                  else if (!NT_SUCCESS(status))
                  {
                      EXPECT_EQ(0u, step.Step.find("device-class set-up")) << step.Step;
                  }
              });
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
    ASSERT_EQ(STATUS_SUCCESS, host.PlugReference("Uac1SpeakerMic", &error, EmuUsbSpeed::High));
    EXPECT_EQ(EmuUsbSpeed::High, host.Device()->Speed());
    ASSERT_EQ(STATUS_SUCCESS, host.PlugReference("Uac1SpeakerMic", &error));
    EXPECT_EQ(EmuUsbSpeed::Full, host.Device()->Speed());
    EXPECT_TRUE(host.Device()->Notes().empty());
}
