// Dispatch of create, close, device control and PnP in front of the library,
// with an adapter double where a start-up would have put the adapter.
#include <gtest/gtest.h>

#include "platform/kernel/emu.h"
#include "tests/common/emu_test.h"
#include "tests/driver/entry_rig.h"

using Log = std::vector<std::string>;

namespace
{
const EngineSpec kHpOut{STREAM_DIRECTION_RENDER, ENDPOINT_KIND_HP};

bool DebugOutputHas(const std::string& line)
{
    for (const std::string& s : EmuDbgOutput())
        if (s == line)
            return true;
    return false;
}

bool Enabled(PDEVICE_OBJECT pdo, const GUID& interfaceClass)
{
    const std::vector<EmuDeviceInterface> all = EmuDeviceInterfaces();
    const EmuDeviceInterface* found = FindInterface(all, pdo, interfaceClass);
    return found != nullptr && found->Enabled;
}
} // namespace

TEST(DispatchCreateClose, AsioFileNameOpensAndClosesAClientAfterAWake)
{
    DispatchRig rig;
    ASSERT_TRUE(rig.Ok());
    FakeAdapter* adapter = rig.Attach();
    ASSERT_NE(nullptr, adapter);
    PFILE_OBJECT file = nullptr;
    // The name is compared without regard to letter case.
    ASSERT_EQ(STATUS_SUCCESS, EmuOpenFile(rig.Fdo(), u"\\ltasioPRIVATEinterface", &file));
    EXPECT_EQ(STATUS_SUCCESS, EmuCloseFile(file));
    // The cleanup ahead of the close completes what the adapter holds for the
    // file; it wakes nothing.
    EXPECT_EQ((Log{"wake", "open", "cleanup of an opened file", "wake", "close"}), EntryLog());
    ASSERT_EQ(2u, adapter->Files.size());
    EXPECT_EQ(adapter->Files[0], adapter->Files[1]);
    EXPECT_NE(nullptr, adapter->Files[0]);
}

TEST(DispatchCreateClose, FailedOpensCompleteUnsuccessful)
{
    PFILE_OBJECT file = nullptr;
    {
        // Not started: no adapter, no wake.
        DispatchRig rig;
        ASSERT_TRUE(rig.Ok());
        EXPECT_EQ(STATUS_UNSUCCESSFUL, EmuOpenFile(rig.Fdo(), u"\\LTASIOPrivateInterface", &file));
        EXPECT_TRUE(EntryLog().empty());
    }
    {
        DispatchRig rig;
        ASSERT_TRUE(rig.Ok());
        rig.Attach()->OpenStatus = STATUS_INSUFFICIENT_RESOURCES;
        EXPECT_EQ(STATUS_UNSUCCESSFUL, EmuOpenFile(rig.Fdo(), u"\\LTASIOPrivateInterface", &file));
        EXPECT_EQ((Log{"wake", "open"}), EntryLog());
    }
    {
        DispatchRig rig;
        ASSERT_TRUE(rig.Ok());
        rig.Attach()->AnswersAsio = false;
        EXPECT_EQ(STATUS_UNSUCCESSFUL, EmuOpenFile(rig.Fdo(), u"\\LTASIOPrivateInterface", &file));
        EXPECT_EQ((Log{"wake"}), EntryLog());
    }
    {
        DispatchRig rig;
        ASSERT_TRUE(rig.Ok());
        FakeAdapter* adapter = rig.Attach();
        ASSERT_EQ(STATUS_SUCCESS, EmuOpenFile(rig.Fdo(), u"\\LTASIOPrivateInterface", &file));
        adapter->CloseStatus = STATUS_INVALID_PARAMETER;
        EXPECT_EQ(STATUS_UNSUCCESSFUL, EmuCloseFile(file));
    }
}

TEST(DispatchCreateClose, OtherNamesGoToTheLibrary)
{
    DispatchRig rig;
    ASSERT_TRUE(rig.Ok());
    rig.Attach();
    PFILE_OBJECT file = nullptr;
    for (const WCHAR* name : {u"\\LTEnumPrivateInterface", u"\\LTASIOPrivateInterface2", u"\\Topo",
                              u"LTASIOPrivateInterface"})
        EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, EmuOpenFile(rig.Fdo(), name, &file))
            << Narrow(name);
    EXPECT_EQ((Log{"wake", "wake", "wake", "wake"}), EntryLog());
}

TEST(DispatchDeviceControl, AsioRequestsWakeTheDeviceThenReachTheAdaptersOperation)
{
    DispatchRig rig;
    ASSERT_TRUE(rig.Ok());
    rig.Attach();
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, EmuOpenFile(rig.Fdo(), u"\\LTASIOPrivateInterface", &file));
    EntryLog().clear();
    char name[64] = {};
    ULONG_PTR information = 99;
    // The device-name code; the adapter's failure comes back unchanged and
    // reports no bytes.
    EXPECT_EQ(STATUS_NOT_IMPLEMENTED,
              EmuDeviceControl(file, 0x1D6000, nullptr, 0, name, sizeof(name), &information));
    EXPECT_EQ(0u, information);
    EXPECT_EQ((Log{"wake", "AsioGetDeviceName"}), EntryLog());
    EmuCloseFile(file);
}

TEST(DispatchPnp, EveryRequestButStartWakesTheDevice)
{
    DispatchRig rig;
    ASSERT_TRUE(rig.Ok());
    FakeAdapter* adapter = rig.Attach();
    rig.Pnp(IRP_MN_QUERY_CAPABILITIES);
    EXPECT_EQ((Log{"wake", "bus 9 asio=1 enum=1"}), EntryLog());
    EntryLog().clear();
    // The bare bus cannot carry the real adapter's requests: this start fails
    // and keeps the adapter it found.
    EXPECT_FALSE(NT_SUCCESS(rig.Pnp(IRP_MN_START_DEVICE)));
    EXPECT_EQ((Log{"bus start asio=1 enum=1"}), EntryLog());
    EXPECT_EQ(static_cast<IAdapterCommon*>(adapter), rig.Extension()->Adapter);
}

TEST(DispatchPnp, RemovalTakesInterfacesDownBeforeTheLibraryAndReleasesTheAdapter)
{
    for (size_t engines : {3u, 0u})
    {
        DispatchRig rig;
        ASSERT_TRUE(rig.Ok());
        Script().Engines.assign(engines, kHpOut);
        FakeAdapter* adapter = rig.Attach();
        ASSERT_EQ(2, adapter->References());
        const LONG_PTR pdoReferences = EmuObReferenceCount(rig.Pdo());

        ASSERT_EQ(STATUS_SUCCESS, rig.Pnp(IRP_MN_REMOVE_DEVICE));
        Log expected = {"wake", "cancel held", "stop units"};
        for (size_t i = 0; i < engines; ++i)
            expected.push_back("remove E" + std::to_string(i));
        expected.push_back("bus remove asio=0 enum=0");
        EXPECT_EQ(expected, EntryLog()) << engines;
        EXPECT_EQ(1, adapter->References()) << engines;
        EXPECT_EQ(0u, EmuPoolOutstandingCount(POOL_TAG("Strg"))) << engines;
        EXPECT_EQ(pdoReferences - 1, EmuObReferenceCount(rig.Pdo())) << engines;
    }
}

TEST(DispatchPnp, SurpriseRemovalTakesInterfacesDownAfterTheLibrary)
{
    DispatchRig rig;
    ASSERT_TRUE(rig.Ok());
    Script().Engines = {kHpOut, kHpOut};
    FakeAdapter* adapter = rig.Attach();
    ASSERT_EQ(STATUS_SUCCESS, rig.Pnp(IRP_MN_SURPRISE_REMOVAL));
    EXPECT_EQ((Log{"wake", "cancel held", "stop units", "remove E0", "remove E1",
                   "bus surprise asio=1 enum=1"}),
              EntryLog());
    EXPECT_FALSE(Enabled(rig.Pdo(), GUID_DEVINTERFACE_ASIO_PRIVATE));
    EXPECT_FALSE(Enabled(rig.Pdo(), GUID_DEVINTERFACE_ENUM_PRIVATE));
    AdapterExtension* extension = rig.Extension();
    EXPECT_FALSE(extension->AsioInterfaceEnabled || extension->EnumInterfaceEnabled);
    // The links stay for the removal to free; the adapter stays too.
    EXPECT_TRUE(extension->AsioLinkRegistered && extension->EnumLinkRegistered);
    EXPECT_EQ(2u, EmuPoolOutstandingCount(POOL_TAG("Strg")));
    EXPECT_EQ(2, adapter->References());

    EntryLog().clear();
    ASSERT_EQ(STATUS_SUCCESS, rig.Pnp(IRP_MN_REMOVE_DEVICE));
    EXPECT_EQ((Log{"wake", "cancel held", "stop units", "remove E0", "remove E1",
                   "bus remove asio=0 enum=0"}),
              EntryLog());
    EXPECT_EQ(0u, EmuPoolOutstandingCount(POOL_TAG("Strg")));
    EXPECT_EQ(1, adapter->References());
}

TEST(DispatchPnp, MiniportThatCannotBeRemovedStopsTheWalk)
{
    for (UCHAR minor : {(UCHAR)IRP_MN_REMOVE_DEVICE, (UCHAR)IRP_MN_SURPRISE_REMOVAL})
    {
        DispatchRig rig;
        ASSERT_TRUE(rig.Ok());
        Script().Engines = {kHpOut, kHpOut, kHpOut};
        Script().Engines[1].RemoveStatus = STATUS_DEVICE_BUSY;
        FakeAdapter* adapter = rig.Attach();
        EmuDbgClear();
        EXPECT_EQ(STATUS_SUCCESS, rig.Pnp(minor));
        const std::string bus = minor == IRP_MN_REMOVE_DEVICE ? "bus remove asio=0 enum=0"
                                                              : "bus surprise asio=1 enum=1";
        EXPECT_EQ((Log{"wake", "cancel held", "stop units", "remove E0", "remove E1", bus}),
                  EntryLog());
        // Only removal says so.
        EXPECT_EQ(minor == IRP_MN_REMOVE_DEVICE,
                  DebugOutputHas("Remove Miniport Failed StreamEngine ulIdx = 1\n"));
        EXPECT_EQ(minor == IRP_MN_REMOVE_DEVICE ? 1 : 2, adapter->References());
    }
}

TEST(DispatchPnp, RemovalTheLibraryFailsKeepsAdapterAndLowerReference)
{
    DispatchRig rig;
    ASSERT_TRUE(rig.Ok());
    FakeAdapter* adapter = rig.Attach();
    const LONG_PTR pdoReferences = EmuObReferenceCount(rig.Pdo());
    DispatchRig::BusRemoveStatus() = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, rig.Pnp(IRP_MN_REMOVE_DEVICE));
    EXPECT_EQ(2, adapter->References());
    EXPECT_EQ(pdoReferences, EmuObReferenceCount(rig.Pdo()));
    // The library deleted the device all the same: give back what it kept.
    adapter->Release();
    ObDereferenceObject(rig.Pdo());
}

// A handle still open when the device is removed: its close arrives after the
// adapter was released and must not reach it.
TEST(DispatchPnp, CloseAfterRemovalFindsNoAdapter)
{
    DispatchRig rig;
    ASSERT_TRUE(rig.Ok());
    FakeAdapter* adapter = rig.Attach();
    PDEVICE_OBJECT fdo = rig.Fdo();
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, EmuOpenFile(fdo, u"\\LTASIOPrivateInterface", &file));
    {
        EmuExpectFailures failures;
        ASSERT_EQ(STATUS_SUCCESS, rig.Pnp(IRP_MN_REMOVE_DEVICE));
        EXPECT_TRUE(failures.Contains("still open"));
    }
    EXPECT_EQ(1, adapter->References());
    EXPECT_EQ(nullptr, GetAdapterExtension(fdo)->Adapter);
    EntryLog().clear();
    EXPECT_EQ(STATUS_UNSUCCESSFUL, EmuCloseFile(file));
    EXPECT_TRUE(EntryLog().empty());
    IoDeleteDevice(fdo); // kept by the system while the file was open
}
