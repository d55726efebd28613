// A driver that stands in for the real one in the clients' tests: creates,
// cleanups and closes succeed, and the test's own routine answers the
// device-control requests that reach its one device object.
#pragma once

#include <gtest/gtest.h>

#include "platform/io/io_emu.h"

inline NTSTATUS StandInComplete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

class StandInDriverTest : public ::testing::Test
{
  protected:
    // The driver loaded as `service`, its device created at `path`.
    void Load(const WCHAR* service, const WCHAR* path, PDRIVER_DISPATCH control)
    {
        ASSERT_EQ(EmuLoadDriver(service, nullptr, &Driver), STATUS_SUCCESS);
        for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE})
            Driver->MajorFunction[major] = [](PDEVICE_OBJECT, PIRP irp)
            { return StandInComplete(irp, STATUS_SUCCESS, 0); };
        Driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = control;
        ASSERT_EQ(EmuCreatePhysicalDevice(Driver, 0, path, &Device), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        if (Device != nullptr)
            IoDeleteDevice(Device);
        if (Driver != nullptr)
            EmuUnloadDriver(Driver);
    }
    PDRIVER_OBJECT Driver = nullptr;
    PDEVICE_OBJECT Device = nullptr;
};
