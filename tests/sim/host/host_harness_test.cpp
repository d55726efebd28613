// The harness the host program drives: the driver as it is, on the
// reference devices and on descriptor files; where start-up stopped.
#include <gtest/gtest.h>

#include <map>
#include <optional>

#include "platform/kernel/emu.h"
#include "platform/portcls/portcls_emu.h"
#include "sim/host/harness/host_harness.h"
#include "tests/sim/host/host_doubles.h"
#include "tests/sim/host/host_start.h"
#include "tests/sim/host/scratch_folder.h"

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
        ASSERT_NO_FATAL_FAILURE(StartHost(host, name, nullptr, false));
        ASSERT_NE(nullptr, host.Fdo());
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

// Each start that stops names its step, and the driver's own line where it
// gave one as the cause, not a word of the harness's own. A device class
// that fails for a reason of its own is the device class's set-up: an audio
// class 1.0 device whose model strings cannot be read (it is gone then) and
// that is not listed, and the refusing double. A configuration the device
// takes but the bus refuses, its interface short of the endpoint it
// declares, is the USB device's set-up. A library too old and a miniport
// table without a topology miniport (the device class there) stop at steps
// of their own. A protocol the driver does not know is refused as such, not
// taken for a class of the audio class 1.0 family that the table lacks.
TEST(HostHarness, EachStopNamesItsStep)
{
    const ScratchFolder w;
    const std::string bus =
        w.Write("bus.txt", "12 01 00 02 00 00 00 40 54 4C 70 32 00 01 00 00 00 01\n"
                           "09 02 12 00 01 01 00 80 32\n"
                           "09 04 00 00 01 01 01 00 00\n");
    std::string text = SimReferenceText(SimReference::Uac1SpeakerMic);
    const std::string unknown =
        w.Write("unknown.txt",
                text.replace(text.find("09 04 00 00 01 01 01 00"), 23, "09 04 00 00 01 01 01 30"));
    enum SetUp
    {
        None,
        Unplug,
        Refusing,
        OldLibrary,
        NoTopology
    };
    const struct
    {
        std::string Device; // a reference device, or a descriptor file
        SetUp What;
        NTSTATUS Status;
        const char* Step;
        const char* Cause = nullptr; // compared where the row names it
    } rows[] = {
        {"Uac1SpeakerMic", Unplug, STATUS_NO_SUCH_DEVICE,
         "device-class set-up (audio class 1.0 family)"},
        {"Uac1SpeakerMic", Refusing, STATUS_DEVICE_CONFIGURATION_ERROR,
         "device-class set-up (audio class 1.0 family)"},
        {bus, None, STATUS_INVALID_PARAMETER, "USB device set-up",
         "no configuration was selected; the driver says \"UsbAudio: configuration 1 not "
         "selected: interface 0 declares 1 endpoint(s), its descriptors hold 0: 0xC000000D\""},
        {"Uac2Spdif", OldLibrary, STATUS_UNSUCCESSFUL, "port-class version"},
        {"Uac1SpeakerMic", NoTopology, STATUS_INVALID_PARAMETER, "topology subdevice"},
        {unknown, None, STATUS_UNSUCCESSFUL, "device-class choice",
         "the AudioControl protocol 0x30 is neither audio class 1.0 (0x00) nor 2.0 (0x20); "
         "the driver says \"SelectDeviceClass: AudioControl interface 0 has protocol 0x30, "
         "neither audio class 1.0 (0x00) nor 2.0 (0x20): the device is refused\""},
    };
    const DWORD version = EmuPcGetVersion();
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Step);
        std::optional<HostDoubles> doubles;
        if (row.What == Refusing || row.What == NoTopology)
            doubles.emplace(false, row.What == Refusing);
        EmuPcSetVersion(row.What == OldLibrary ? (DWORD)kVersionWinXPSP1 : version);
        HostHarness host;
        ASSERT_NO_FATAL_FAILURE(StartHost(host, row.Device, nullptr, false));
        if (row.What == Unplug) // the model string's read, the one after the first
            host.Device()->InjectControlFault({0x80, 0x06, 0x0350, -1}, SimFaultKind::Unplug, 1, 1);
        const NTSTATUS status = host.StartDevice();
        const HostStartStep step = host.ExplainStart(status);
        EmuPcSetVersion(version);
        EXPECT_EQ(row.Status, status);
        EXPECT_EQ(row.Step, step.Step);
        EXPECT_EQ(row.Cause != nullptr ? row.Cause : step.Cause, step.Cause);
    }
}

TEST(HostHarness, ListsWhatAStartRegistered)
{
    HostDoubles doubles(true);
    HostHarness host;
    ASSERT_NO_FATAL_FAILURE(StartHost(host, "Uac2HighSpeed"));
    EXPECT_EQ("", host.ExplainStart(STATUS_SUCCESS).Step);

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

TEST(HostHarness, DescriptorFiles)
{
    const ScratchFolder w;
    for (SimReference which : {SimReference::Uac1Surround71, SimReference::Uac2HighSpeed})
    {
        HostHarness host;
        std::string error;
        ASSERT_EQ(STATUS_SUCCESS,
                  host.PlugDescriptorFile(w.Write("device.txt", SimReferenceText(which)), &error))
            << error;
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
        HostHarness host;
        std::string error;
        EXPECT_EQ(STATUS_INVALID_PARAMETER,
                  host.PlugDescriptorFile(w.Write("device.txt", text), &error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(nullptr, host.Pdo());
    }
    HostHarness host;
    std::string error;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, host.PlugDescriptorFile("/nonexistent/lthost", &error));
    EXPECT_FALSE(error.empty());
}
