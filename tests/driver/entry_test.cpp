// Driver entry and AddDevice.
#include <gtest/gtest.h>

#include "driver/dispatch.h"
#include "platform/kernel/emu.h"
#include "tests/common/emu_test.h"
#include "tests/driver/entry_rig.h"

TEST(DriverEntry, RefusesSystemsOlderThanXp)
{
    EmuSetOsVersion(5, 0, 2195, 0x05000000);
    PDRIVER_OBJECT driver = nullptr;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, EmuLoadDriver(u"ltusbaudio", DriverEntry, &driver));
    EXPECT_EQ(nullptr, driver);

    EmuSetOsVersion(5, 1, 2600, 0x05010000);
    ASSERT_EQ(STATUS_SUCCESS, EmuLoadDriver(u"ltusbaudio", DriverEntry, &driver));
    EmuUnloadDriver(driver);
}

TEST(DriverEntry, PutsItsRoutinesInFrontOfTheLibrary)
{
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, EmuLoadDriver(u"ltusbaudio", DriverEntry, &driver));
    EXPECT_EQ(&AddDevice, driver->DriverExtension->AddDevice);
    EXPECT_EQ(&DispatchPnp, driver->MajorFunction[IRP_MJ_PNP]);
    EXPECT_EQ(&DispatchCreate, driver->MajorFunction[IRP_MJ_CREATE]);
    EXPECT_EQ(&DispatchClose, driver->MajorFunction[IRP_MJ_CLOSE]);
    EXPECT_EQ(&DispatchDeviceControl, driver->MajorFunction[IRP_MJ_DEVICE_CONTROL]);
    EXPECT_EQ(&DispatchCleanup, driver->MajorFunction[IRP_MJ_CLEANUP]);
    for (UCHAR major : {IRP_MJ_POWER, IRP_MJ_SYSTEM_CONTROL})
        EXPECT_EQ(&PcDispatchIrp, driver->MajorFunction[major]) << (int)major;
    EXPECT_EQ("LTASIOPrivateInterface", Narrow(g_AsioReferenceString));
    EXPECT_EQ("\\LTASIOPrivateInterface", Narrow(g_AsioFileName));
    EXPECT_EQ("LTEnumPrivateInterface", Narrow(g_EnumReferenceString));
    EXPECT_EQ("\\LTEnumPrivateInterface", Narrow(g_EnumFileName));
    EmuUnloadDriver(driver);
}

TEST(AddDevice, CreatesTheAdapterDeviceAndRegistersBothInterfaces)
{
    DispatchRig rig;
    ASSERT_TRUE(rig.Ok());
    EXPECT_EQ(20u, EmuPcMaxSubdevices(rig.Fdo()));
    AdapterExtension* extension = rig.Extension();
    EXPECT_EQ(nullptr, extension->Adapter);
    EXPECT_EQ(rig.Fdo(), extension->FunctionalDeviceObject);
    EXPECT_EQ(rig.Pdo(), extension->LowerDeviceObject);
    EXPECT_EQ(rig.Pdo(), extension->PhysicalDeviceObject);
    for (ULONG i = 0; i < ADAPTER_NAME_COUNTERS; ++i)
        EXPECT_EQ(0, extension->OutputNameCounters[i] | extension->InputNameCounters[i]);

    const std::vector<EmuDeviceInterface> all = EmuDeviceInterfaces();
    const EmuDeviceInterface* asio = FindInterface(all, rig.Pdo(), GUID_DEVINTERFACE_ASIO_PRIVATE);
    const EmuDeviceInterface* enumeration =
        FindInterface(all, rig.Pdo(), GUID_DEVINTERFACE_ENUM_PRIVATE);
    ASSERT_NE(nullptr, asio);
    ASSERT_NE(nullptr, enumeration);
    EXPECT_EQ(u"LTASIOPrivateInterface", asio->ReferenceString);
    EXPECT_EQ(u"LTEnumPrivateInterface", enumeration->ReferenceString);
    EXPECT_FALSE(asio->Enabled);
    EXPECT_FALSE(enumeration->Enabled);
    EXPECT_TRUE(extension->AsioLinkRegistered);
    EXPECT_TRUE(extension->EnumLinkRegistered);
    EXPECT_FALSE(extension->AsioInterfaceEnabled || extension->EnumInterfaceEnabled);
    EXPECT_EQ(Narrow(asio->SymbolicLink.c_str()), Narrow(extension->AsioSymbolicLink));
    EXPECT_EQ(Narrow(enumeration->SymbolicLink.c_str()), Narrow(extension->EnumSymbolicLink));

    // Removal gives the link strings and the lower device's reference back.
    const LONG_PTR pdoReferences = EmuObReferenceCount(rig.Pdo());
    ASSERT_EQ(STATUS_SUCCESS, rig.Pnp(IRP_MN_REMOVE_DEVICE));
    EXPECT_EQ(0u, EmuPoolOutstandingCount(POOL_TAG("Strg")));
    EXPECT_EQ(pdoReferences - 1, EmuObReferenceCount(rig.Pdo()));
}

TEST(AddDevice, InterfaceRegistrationFailures)
{
    // The link strings are the first two "Strg" blocks after the device's
    // creation: the enumeration interface's, then the ASIO interface's.
    for (ULONG failing : {0u, 1u})
    {
        EmuPoolInjectFailure(POOL_TAG("Strg"), failing);
        DispatchRig rig;
        EmuPoolClearInjection();
        // A failed ASIO registration fails the add; the device stays for the
        // removal, which frees the other link.
        ASSERT_TRUE(rig.Ok()) << failing;
        EXPECT_EQ(failing == 0 ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES, rig.AddStatus());
        AdapterExtension* extension = rig.Extension();
        EXPECT_EQ(failing != 0, extension->EnumLinkRegistered != FALSE) << failing;
        EXPECT_EQ(failing == 0, extension->AsioLinkRegistered != FALSE) << failing;
        if (failing == 0)
        {
            EXPECT_EQ(0, extension->EnumSymbolicLink.Length);
        }
    }
}
