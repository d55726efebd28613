// Adapter start-up on a simulated USB device: the adapter common object is the
// driver's own, the device class and the miniports are doubles.
#include <gtest/gtest.h>

#include "driver/adapter_common.h"
#include "platform/kernel/emu.h"
#include "platform/ks/ks.h"
#include "tests/driver/entry_rig.h"

using Names = std::vector<std::string>;

namespace
{
const EngineSpec kHpOut{STREAM_DIRECTION_RENDER, ENDPOINT_KIND_HP};
const EngineSpec kHpIn{STREAM_DIRECTION_CAPTURE, ENDPOINT_KIND_HP};

size_t CountOf(const std::string& what)
{
    size_t n = 0;
    for (const std::string& entry : EntryLog())
        n += entry == what ? 1 : 0;
    return n;
}
} // namespace

TEST(StartDevice, NamesEachEngineByKindAndDirectionAndJoinsItToTopology)
{
    StartRig rig;
    ASSERT_TRUE(rig.Ok());
    Script().Engines = {kHpOut, kHpOut, kHpIn};
    ASSERT_EQ(STATUS_SUCCESS, rig.Add());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());

    EXPECT_EQ((Names{"GlobalTopo", "HPOut00", "HPOut01", "HPIn00"}), rig.Subdevices());
    // Render flows from the wave filter into the topology, capture the other way;
    // terminals 10, 11, 12 sit on topology pins 2, 3, 4.
    EXPECT_EQ(
        (Names{"HPOut00:1->GlobalTopo:2", "HPOut01:1->GlobalTopo:3", "GlobalTopo:4->HPIn00:1"}),
        rig.Connections());
    EXPECT_TRUE(EmuPcHasPowerManagement(rig.Fdo()));
    EXPECT_EQ(1u, CountOf("start units"));
    EXPECT_TRUE(rig.InterfaceEnabled(GUID_DEVINTERFACE_ENUM_PRIVATE));
    EXPECT_FALSE(rig.InterfaceEnabled(GUID_DEVINTERFACE_ASIO_PRIVATE));
    AdapterExtension* extension = rig.Extension();
    ASSERT_NE(nullptr, extension->Adapter);
    EXPECT_TRUE(extension->EnumInterfaceEnabled);
    EXPECT_FALSE(extension->AsioInterfaceEnabled);
    EXPECT_EQ(2, extension->OutputNameCounters[ENDPOINT_KIND_HP]);
    EXPECT_EQ(1, extension->InputNameCounters[ENDPOINT_KIND_HP]);
    // The name buffer lives for one start-up only.
    EXPECT_EQ(0u, EmuPoolOutstandingCount(SUBDEVICE_NAME_POOL_TAG));

    // A second start of the same device goes on counting.
    Script().TopologyName = u"GlobalTopo2";
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    EXPECT_EQ((Names{"GlobalTopo", "HPOut00", "HPOut01", "HPIn00", "GlobalTopo2", "HPOut02",
                     "HPOut03", "HPIn01"}),
              rig.Subdevices());
    // The adapter of the first start is released; one adapter is left.
    EXPECT_EQ(1u, EmuPoolOutstandingCount(ADAPTER_POOL_TAG));
}

TEST(StartDevice, EngineKindsAndDirectionsCountSeparately)
{
    StartRig rig;
    ASSERT_TRUE(rig.Ok());
    Script().Engines = {
        {STREAM_DIRECTION_RENDER, ENDPOINT_KIND_SPK},
        {STREAM_DIRECTION_CAPTURE, ENDPOINT_KIND_MIC},
        {STREAM_DIRECTION_RENDER, ENDPOINT_KIND_SPK},
        {STREAM_DIRECTION_RENDER, ENDPOINT_KIND_SPEAKERPHONE},
        {STREAM_DIRECTION_CAPTURE, ENDPOINT_KIND_REC},
        // Beyond the prefix table: named as a plain stream.
        {STREAM_DIRECTION_RENDER, 25},
        // Unplugged: named, no wave filter.
        {STREAM_DIRECTION_RENDER, ENDPOINT_KIND_DISPLAYPORT, false, false},
        // A wave filter that names no terminal to join from: named,
        // left out, and the device starts with the rest.
        {STREAM_DIRECTION_CAPTURE, ENDPOINT_KIND_MIC, false, true, STATUS_SUCCESS, false}};
    ASSERT_EQ(STATUS_SUCCESS, rig.Add());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    EXPECT_EQ((Names{"GlobalTopo", "SPKOut00", "MicIn00", "SPKOut01", "SpeakerphoneOut00",
                     "RecIn00", "StreamOut00"}),
              rig.Subdevices());
    EXPECT_EQ(1, rig.Extension()->OutputNameCounters[ENDPOINT_KIND_DISPLAYPORT]);
    EXPECT_EQ(2, rig.Extension()->InputNameCounters[ENDPOINT_KIND_MIC]);
    EXPECT_EQ(1, rig.Extension()->OutputNameCounters[ENDPOINT_KIND_STREAM]);
}

TEST(StartDevice, AsioInterfaceOnlyWhenSomeStreamAsksForIt)
{
    for (int asking : {-1, 0, 2})
    {
        StartRig rig;
        ASSERT_TRUE(rig.Ok());
        Script().Engines = {kHpOut, kHpOut, kHpIn};
        if (asking >= 0)
            Script().Engines[asking].Asio = true;
        ASSERT_EQ(STATUS_SUCCESS, rig.Add());
        ASSERT_EQ(STATUS_SUCCESS, rig.Start());
        EXPECT_EQ(asking >= 0, rig.InterfaceEnabled(GUID_DEVINTERFACE_ASIO_PRIVATE)) << asking;
        EXPECT_EQ(asking >= 0, rig.Extension()->AsioInterfaceEnabled != FALSE) << asking;
        EXPECT_TRUE(rig.InterfaceEnabled(GUID_DEVINTERFACE_ENUM_PRIVATE)) << asking;
    }
}

TEST(StartDevice, DeviceWithoutEnginesInstallsOnlyTheTopology)
{
    StartRig rig;
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Add());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    EXPECT_EQ((Names{"GlobalTopo"}), rig.Subdevices());
    EXPECT_TRUE(rig.Connections().empty());
    EXPECT_TRUE(rig.InterfaceEnabled(GUID_DEVINTERFACE_ENUM_PRIVATE));
    EXPECT_FALSE(rig.InterfaceEnabled(GUID_DEVINTERFACE_ASIO_PRIVATE));
}

TEST(StartDevice, PortClassVersionElevenOrLater)
{
    {
        PortClassVersion version(kVersionWinXPSP1); // 10
        StartRig rig;
        ASSERT_TRUE(rig.Ok());
        Script().Engines = {kHpOut};
        ASSERT_EQ(STATUS_SUCCESS, rig.Add());
        EXPECT_EQ(STATUS_UNSUCCESSFUL, rig.Start());
        EXPECT_TRUE(rig.Subdevices().empty());
        EXPECT_EQ(0u, EmuPoolAllocationCount(ADAPTER_POOL_TAG));
        EXPECT_EQ(nullptr, rig.Extension()->Adapter);
    }
    {
        PortClassVersion version(kVersionWinServer2003); // 11
        StartRig rig;
        ASSERT_TRUE(rig.Ok());
        ASSERT_EQ(STATUS_SUCCESS, rig.Add());
        EXPECT_EQ(STATUS_SUCCESS, rig.Start());
    }
}

// Every failing step returns its own status; the adapter pointer stays null,
// and the removal that follows leaves nothing behind (the test's leak check).
TEST(StartDevice, EachFailingStepReturnsItsStatus)
{
    struct Case
    {
        const char* Step;
        NTSTATUS Expected;
        Names Subdevices;
    };
    const Case cases[] = {
        {"no device class", STATUS_NOT_SUPPORTED, {}},
        {"class set-up", STATUS_DEVICE_CONFIGURATION_ERROR, {}},
        {"name buffer", STATUS_INSUFFICIENT_RESOURCES, {}},
        {"no topology miniport", STATUS_INVALID_PARAMETER, {}},
        {"no wave miniport", STATUS_NO_SUCH_DEVICE, {"GlobalTopo"}},
        {"units", STATUS_DEVICE_NOT_READY, {"GlobalTopo", "HPOut00"}},
    };
    for (const Case& c : cases)
    {
        const std::string step = c.Step;
        StartRig rig;
        ASSERT_TRUE(rig.Ok());
        Script().Engines = {kHpOut};
        static const AdapterMiniportFactories noTopology = {nullptr, CreateScriptedWave};
        static const AdapterMiniportFactories noWave = {CreateScriptedTopology, nullptr};
        static const DeviceClassFactories noClasses = {};
        if (step == "no device class")
            SetDeviceClassFactories(&noClasses);
        else if (step == "class set-up")
            Script().InitStatus = STATUS_DEVICE_CONFIGURATION_ERROR;
        else if (step == "name buffer")
            EmuPoolInjectFailure(SUBDEVICE_NAME_POOL_TAG, 0);
        else if (step == "no topology miniport")
            SetAdapterMiniportFactories(&noTopology);
        else if (step == "no wave miniport")
            SetAdapterMiniportFactories(&noWave);
        else if (step == "units")
            Script().StartStatus = STATUS_DEVICE_NOT_READY;
        ASSERT_EQ(STATUS_SUCCESS, rig.Add()) << step;
        EXPECT_EQ(c.Expected, rig.Start()) << step;
        EmuPoolClearInjection();
        EXPECT_EQ(nullptr, rig.Extension()->Adapter) << step;
        EXPECT_EQ(c.Subdevices, rig.Subdevices()) << step;
        EXPECT_FALSE(rig.InterfaceEnabled(GUID_DEVINTERFACE_ENUM_PRIVATE)) << step;
        EXPECT_EQ(0u, EmuPoolOutstandingCount(SUBDEVICE_NAME_POOL_TAG)) << step;
        EXPECT_EQ(STATUS_SUCCESS, rig.Remove()) << step;
        EXPECT_EQ(0u, EmuPoolOutstandingCount(ADAPTER_POOL_TAG)) << step;
    }
}

TEST(StartDevice, SecondStartWhoseTopologyNameIsTakenKeepsTheFirstAdapter)
{
    StartRig rig;
    ASSERT_TRUE(rig.Ok());
    Script().Engines = {kHpOut};
    ASSERT_EQ(STATUS_SUCCESS, rig.Add());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    PADAPTERCOMMON first = rig.Extension()->Adapter;
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, rig.Start());
    EXPECT_EQ(first, rig.Extension()->Adapter);
    EXPECT_EQ((Names{"GlobalTopo", "HPOut00"}), rig.Subdevices());
}

TEST(StartDevice, EnumerationInterfaceThatCouldNotBeRegisteredIsPassedOver)
{
    StartRig rig;
    ASSERT_TRUE(rig.Ok());
    Script().Engines = {kHpOut};
    // The link strings are the first two "Strg" blocks of the add.
    EmuPoolInjectFailure(POOL_TAG("Strg"), 0);
    ASSERT_EQ(STATUS_SUCCESS, rig.Add());
    EmuPoolClearInjection();
    ASSERT_FALSE(rig.Extension()->EnumLinkRegistered);
    EXPECT_EQ(STATUS_SUCCESS, rig.Start());
    EXPECT_FALSE(rig.Extension()->EnumInterfaceEnabled);
    EXPECT_NE(nullptr, rig.Extension()->Adapter);
}

// An interface whose enable fails: the ASIO interface is passed over and the
// start succeeds; the enumeration interface's failure fails the start, with
// the adapter not kept. Either link is made to name no registered interface
// for the start alone; the removal then takes the real links down.
TEST(StartDevice, InterfaceThatCannotBeEnabled)
{
    struct Case
    {
        bool AsioLink;
        NTSTATUS Expected;
        bool AsioEnabled, EnumEnabled;
    };
    const Case cases[] = {{true, STATUS_SUCCESS, false, true},
                          {false, STATUS_OBJECT_NAME_NOT_FOUND, true, false}};
    for (const Case& c : cases)
    {
        StartRig rig;
        ASSERT_TRUE(rig.Ok());
        Script().Engines = {kHpOut};
        Script().Engines[0].Asio = true;
        ASSERT_EQ(STATUS_SUCCESS, rig.Add());
        AdapterExtension* extension = rig.Extension();
        UNICODE_STRING* link =
            c.AsioLink ? &extension->AsioSymbolicLink : &extension->EnumSymbolicLink;
        const UNICODE_STRING registered = *link;
        RtlInitUnicodeString(link, u"\\??\\USB#NoSuchInterface");
        EXPECT_EQ(c.Expected, rig.Start()) << c.AsioLink;
        *link = registered;
        EXPECT_EQ(c.AsioEnabled, extension->AsioInterfaceEnabled != FALSE) << c.AsioLink;
        EXPECT_EQ(c.AsioEnabled, rig.InterfaceEnabled(GUID_DEVINTERFACE_ASIO_PRIVATE));
        EXPECT_EQ(c.EnumEnabled, extension->EnumInterfaceEnabled != FALSE) << c.AsioLink;
        EXPECT_EQ(c.EnumEnabled, rig.InterfaceEnabled(GUID_DEVINTERFACE_ENUM_PRIVATE));
        EXPECT_EQ(NT_SUCCESS(c.Expected), extension->Adapter != nullptr) << c.AsioLink;
        EXPECT_EQ(STATUS_SUCCESS, rig.Remove()) << c.AsioLink;
        EXPECT_FALSE(rig.InterfaceEnabled(GUID_DEVINTERFACE_ASIO_PRIVATE));
        EXPECT_EQ(0u, EmuPoolOutstandingCount(ADAPTER_POOL_TAG)) << c.AsioLink;
    }
}

TEST(StartDevice, RequestsReachTheLibraryAndRemovalTakesTheFiltersDown)
{
    StartRig rig;
    ASSERT_TRUE(rig.Ok());
    Script().Engines = {kHpOut, kHpIn};
    ASSERT_EQ(STATUS_SUCCESS, rig.Add());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());

    // A filter opened through the library answers a property request.
    PFILE_OBJECT filter = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, EmuOpenFile(rig.Fdo(), u"\\GlobalTopo", &filter));
    KSP_PIN request = {};
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = KSPROPERTY_PIN_CTYPES;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    ULONG pins = 0;
    ULONG_PTR information = 0;
    EXPECT_EQ(STATUS_SUCCESS,
              EmuDeviceControl(filter, IOCTL_KS_PROPERTY, &request.Property, sizeof(KSPROPERTY),
                               &pins, sizeof(pins), &information));
    EXPECT_EQ(22u, pins);
    EXPECT_EQ(STATUS_SUCCESS, EmuCloseFile(filter));

    // The real adapter takes ASIO clients: a file opened and closed again.
    PFILE_OBJECT asio = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, EmuOpenFile(rig.Fdo(), u"\\LTASIOPrivateInterface", &asio));
    EXPECT_EQ(STATUS_SUCCESS, EmuCloseFile(asio));

    EntryLog().clear();
    ASSERT_EQ(STATUS_SUCCESS, rig.Remove());
    EXPECT_EQ((Names{"stop units", "remove HPOut00", "remove HPIn00"}), EntryLog());
    EXPECT_FALSE(rig.InterfaceEnabled(GUID_DEVINTERFACE_ENUM_PRIVATE));
    EXPECT_EQ(0u, EmuPoolOutstandingCount(ADAPTER_POOL_TAG));
}
