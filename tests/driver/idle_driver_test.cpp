// Selective suspend of the whole driver on a simulated USB device: a started
// device that nobody uses goes to D2, and the next request to the adapter
// device brings it back before it is handled.
#include <gtest/gtest.h>

#include "platform/kernel/emu.h"
#include "tests/driver/entry_rig.h"

TEST(IdleDriver, AnUnusedDeviceSleepsAndTheNextRequestWakesIt)
{
    StartRig rig;
    ASSERT_TRUE(rig.Ok());
    EmuRegistrySetValue(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\" +
                            EmuDeviceInstancePath(rig.Pdo()) + u"\\Device Parameters",
                        u"SelectiveSuspendEnabled", REG_DWORD, "\1\0\0\0", 4);
    ASSERT_EQ(STATUS_SUCCESS, rig.Add());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    EXPECT_EQ(PowerDeviceD0, EmuPcPowerState(rig.Fdo()));
    ASSERT_TRUE(EmuAdvanceUntil([&] { return EmuPcPowerState(rig.Fdo()) == PowerDeviceD2; }, 5100));
    EXPECT_EQ(PowerDeviceD2, EmuDevicePowerState(rig.Fdo()));

    // Any request but a start wakes the device first, here one the library
    // answers.
    PFILE_OBJECT file = nullptr;
    const ULONGLONG before = EmuNow();
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, EmuOpenFile(rig.Fdo(), u"\\NoSuchFilter", &file));
    // The wake waited for its cancelled idle request, which the bus
    // completes at its next frame.
    EXPECT_GT(EmuNow(), before);
    EXPECT_LE(EmuNow() - before, 10000u);
    EXPECT_EQ(PowerDeviceD0, EmuPcPowerState(rig.Fdo()));

    // Unused again, it sleeps again; removal wakes it and takes it down.
    ASSERT_TRUE(EmuAdvanceUntil([&] { return EmuPcPowerState(rig.Fdo()) == PowerDeviceD2; }, 5100));
    EXPECT_EQ(STATUS_SUCCESS, rig.Remove());
}
