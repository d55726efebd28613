// The harness the host program drives: the driver as it is, on the
// reference devices and on descriptor files; where start-up stopped.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <unistd.h>

#include "platform/kernel/emu.h"
#include "platform/portcls/portcls_emu.h"
#include "sim/host/harness/host_harness.h"
#include "tests/sim/host/host_doubles.h"

namespace
{
// A descriptor text file that lives as long as the object.
class TextFile
{
  public:
    explicit TextFile(const std::string& text)
    {
        char name[] = "/tmp/lthost-XXXXXX";
        int fd = mkstemp(name);
        if (fd >= 0)
        {
            close(fd);
            m_Path = name;
            std::ofstream(m_Path) << text;
        }
    }
    ~TextFile()
    {
        if (!m_Path.empty())
            std::remove(m_Path.c_str());
    }
    const std::string& Path() const { return m_Path; }

  private:
    std::string m_Path;
};

// Load, plug, add: the state every start below begins from.
void Bring(HostHarness& host, const std::string& device)
{
    std::string error;
    ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
    ASSERT_EQ(STATUS_SUCCESS, host.PlugReference(device, &error)) << error;
    ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
    ASSERT_NE(nullptr, host.Fdo());
}
} // namespace

TEST(HostHarness, NamesTheReferenceDevices)
{
    EXPECT_EQ((std::vector<std::string>{"Uac1SpeakerMic", "Uac1Surround71", "Uac2HighSpeed",
                                        "Uac2Spdif", "ChipModelA", "ChipModelB", "ChipModelC",
                                        "TimedChip", "TimedChipListed"}),
              HostHarness::ReferenceNames());
    HostHarness host;
    std::string error;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, host.PlugReference("Uac3", &error));
    EXPECT_NE(std::string::npos, error.find("Uac3"));
    EXPECT_EQ(nullptr, host.Pdo());
}

// Every reference device is plugged at the speed asked, or refuses it by
// the one speed it runs at (the timed chips': full; the class 2.0 ones':
// high), plugging nothing.
TEST(HostHarness, EachDeviceRunsAtTheSpeedAskedOrRefusesIt)
{
    const std::map<std::string, EmuUsbSpeed> only = {{"TimedChip", EmuUsbSpeed::Full},
                                                     {"TimedChipListed", EmuUsbSpeed::Full},
                                                     {"Uac2HighSpeed", EmuUsbSpeed::High},
                                                     {"Uac2Spdif", EmuUsbSpeed::High}};
    for (const std::string& name : HostHarness::ReferenceNames())
        for (const EmuUsbSpeed speed : {EmuUsbSpeed::Full, EmuUsbSpeed::High})
        {
            const auto one = only.find(name);
            const std::optional<EmuUsbSpeed> runs =
                one != only.end() ? std::optional(one->second) : std::nullopt;
            EXPECT_EQ(runs, HostHarness::OnlySpeed(name)) << name;
            HostHarness host;
            std::string error;
            const NTSTATUS status = host.PlugReference(name, &error, speed);
            const bool refused = runs && *runs != speed;
            EXPECT_EQ(refused ? name + " runs at " + HostSpeedText(*runs) + " speed only" : "",
                      error);
            EXPECT_EQ(refused ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS, status) << name;
            EXPECT_EQ(refused ? std::nullopt : std::optional(speed),
                      host.Device() ? std::optional(host.Device()->Speed()) : std::nullopt);
        }
}

// Every reference device gets its device class and starts whole: the
// topology filter and one wave filter per connected stream; the removal
// leaves nothing behind.
TEST(HostHarness, ReferenceDevicesStartWhole)
{
    for (const std::string& name : HostHarness::ReferenceNames())
    {
        HostHarness host;
        Bring(host, name);
        const std::vector<HostInterface> interfaces = host.Interfaces();
        ASSERT_EQ(2u, interfaces.size()) << name;
        for (const HostInterface& i : interfaces)
            EXPECT_FALSE(i.Enabled) << name << " " << i.Kind;

        const NTSTATUS status = host.StartDevice();
        EXPECT_EQ(STATUS_SUCCESS, status) << name;
        const HostStartStep step = host.ExplainStart(status);
        EXPECT_EQ("", step.Step) << name;
        // The S/PDIF device's line-in jack is empty, and a wave filter is
        // installed only behind a connected jack: its capture stream has none.
        const bool spdif = name == "Uac2Spdif";
        EXPECT_EQ(spdif ? 2u : 3u, host.Filters().size()) << name;
        EXPECT_EQ(spdif ? 1u : 2u, host.Connections().size()) << name;

        EXPECT_EQ(STATUS_SUCCESS, host.RemoveDevice()) << name;
        EXPECT_EQ(nullptr, host.Fdo()) << name;
        host.Unplug();
        host.UnloadDriver();
        EXPECT_EQ("", EmuCheckClean(false)) << name;
    }
}

// A device class that fails for a reason of its own is named as the device
// class's set-up: an audio class 1.0 device whose product strings cannot be
// read and that is not listed fails its capability step.
TEST(HostHarness, AFailingDeviceClassIsNamedAsItsSetUp)
{
    HostHarness host;
    Bring(host, "Uac1SpeakerMic");
    // The model string reads fail the device class only when the device is gone.
    host.Device()->InjectControlFault({0x80, 0x06, 0x0350, -1}, SimFaultKind::Unplug, 1, 1);
    const NTSTATUS status = host.StartDevice();
    EXPECT_FALSE(NT_SUCCESS(status));
    const HostStartStep step = host.ExplainStart(status);
    EXPECT_EQ("device-class set-up (audio class 1.0 family)", step.Step);
}

// A device class that fails names its reason in its debug output: the
// harness gives that as the cause, not a word of its own.
TEST(HostHarness, AFailedStartGivesTheDriversOwnReason)
{
    HostDoubles doubles(false, true);
    HostHarness host;
    Bring(host, "Uac1SpeakerMic");
    const NTSTATUS status = host.StartDevice();
    EXPECT_EQ(STATUS_DEVICE_CONFIGURATION_ERROR, status);
    const HostStartStep step = host.ExplainStart(status);
    EXPECT_EQ("device-class set-up (audio class 1.0 family)", step.Step);
    EXPECT_EQ(std::string("the driver says \"RefusingDevice: ") + kHostRefusal + "\"", step.Cause);
}

// A library too old and a miniport table without a topology miniport stop
// the start at steps of their own.
TEST(HostHarness, VersionAndTopologyStopsAreNamed)
{
    {
        struct OldLibrary
        {
            DWORD Previous = EmuPcGetVersion();
            OldLibrary() { EmuPcSetVersion(kVersionWinXPSP1); }
            ~OldLibrary() { EmuPcSetVersion(Previous); }
        } version;
        HostHarness host;
        Bring(host, "Uac2Spdif");
        const NTSTATUS status = host.StartDevice();
        EXPECT_EQ(STATUS_UNSUCCESSFUL, status);
        const HostStartStep step = host.ExplainStart(status);
        EXPECT_EQ("port-class version", step.Step);
    }
    {
        // The device class is there; the topology miniport is not.
        HostDoubles doubles(false);
        HostHarness host;
        Bring(host, "Uac1SpeakerMic");
        const NTSTATUS status = host.StartDevice();
        EXPECT_EQ(STATUS_INVALID_PARAMETER, status);
        const HostStartStep step = host.ExplainStart(status);
        EXPECT_EQ("topology subdevice", step.Step);
    }
}

TEST(HostHarness, ListsWhatAStartRegistered)
{
    HostDoubles doubles(true);
    HostHarness host;
    Bring(host, "Uac2HighSpeed");
    const NTSTATUS status = host.StartDevice();
    ASSERT_EQ(STATUS_SUCCESS, status);
    EXPECT_EQ("", host.ExplainStart(status).Step);

    const std::vector<HostFilter> filters = host.Filters();
    ASSERT_EQ(1u, filters.size());
    EXPECT_EQ("Topo", filters[0].Name);
    EXPECT_FALSE(filters[0].WaveCyclic);
    ASSERT_EQ(kHostTopologyPins, filters[0].Pins.size());
    EXPECT_EQ(KSPIN_DATAFLOW_IN, filters[0].Pins[0].DataFlow);
    EXPECT_EQ(KSPIN_COMMUNICATION_BRIDGE, filters[0].Pins[0].Communication);
    EXPECT_EQ(KSPIN_DATAFLOW_OUT, filters[0].Pins[1].DataFlow);
    EXPECT_EQ(KSPIN_COMMUNICATION_SINK, filters[0].Pins[1].Communication);
    EXPECT_EQ(2u, filters[0].Pins[2].Id);

    for (const HostInterface& i : host.Interfaces())
    {
        // No stream asks for ASIO.
        EXPECT_EQ(i.Kind == "enumeration", i.Enabled) << i.Kind;
        EXPECT_EQ(i.Kind == "ASIO" ? "LTASIOPrivateInterface" : "LTEnumPrivateInterface",
                  i.ReferenceString);
    }
    // The destructor removes the device, unplugs it and unloads the driver.
}

// A protocol the driver does not know is refused as such, not taken for a
// class of the audio class 1.0 family that the table lacks, and the driver's
// line says so too.
TEST(HostHarness, UnknownAudioControlProtocolIsNamedAsTheRefusal)
{
    std::string text = SimReferenceText(SimReference::Uac1SpeakerMic);
    const std::string audioControl = "09 04 00 00 01 01 01 00";
    const size_t at = text.find(audioControl);
    ASSERT_NE(std::string::npos, at);
    text.replace(at, audioControl.size(), "09 04 00 00 01 01 01 30");
    TextFile file(text);
    HostHarness host;
    std::string error;
    ASSERT_EQ(STATUS_SUCCESS, host.PlugDescriptorFile(file.Path(), &error)) << error;
    ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
    ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
    const NTSTATUS status = host.StartDevice();
    EXPECT_EQ(STATUS_UNSUCCESSFUL, status);
    const HostStartStep step = host.ExplainStart(status);
    EXPECT_EQ("device-class choice", step.Step);
    // The driver's own line follows.
    EXPECT_EQ("the AudioControl protocol 0x30 is neither audio class 1.0 (0x00) nor 2.0 (0x20); "
              "the driver says \"SelectDeviceClass: AudioControl interface 0 has protocol 0x30, "
              "neither audio class 1.0 (0x00) nor 2.0 (0x20): the device is refused\"",
              step.Cause);
}

TEST(HostHarness, DescriptorFiles)
{
    for (SimReference which : {SimReference::Uac1Surround71, SimReference::Uac2HighSpeed})
    {
        TextFile file(SimReferenceText(which));
        ASSERT_FALSE(file.Path().empty());
        HostHarness host;
        std::string error;
        ASSERT_EQ(STATUS_SUCCESS, host.PlugDescriptorFile(file.Path(), &error)) << error;
        // The speed follows bcdUSB: 1.10 full, 2.00 high.
        EXPECT_EQ(which == SimReference::Uac2HighSpeed ? EmuUsbSpeed::High : EmuUsbSpeed::Full,
                  host.Device()->Speed());
        EXPECT_EQ(SimReferenceDescriptors(which).Configuration,
                  host.Device()->Descriptors().Configuration());
        ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
        ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
        // Both classes start whole.
        EXPECT_EQ(STATUS_SUCCESS, host.StartDevice());
    }
    for (const std::string& text : {std::string("12 01 00 02\n"), std::string("not hex\n")})
    {
        TextFile file(text);
        HostHarness host;
        std::string error;
        EXPECT_EQ(STATUS_INVALID_PARAMETER, host.PlugDescriptorFile(file.Path(), &error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(nullptr, host.Pdo());
    }
    HostHarness host;
    std::string error;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, host.PlugDescriptorFile("/nonexistent/lthost", &error));
    EXPECT_FALSE(error.empty());
}
