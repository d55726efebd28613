#include "tests/sim/clients/stand_in_driver.h"

#include <gtest/gtest.h>

namespace
{
NTSTATUS Open(PDEVICE_OBJECT, PIRP irp)
{
    return StandInComplete(irp, STATUS_SUCCESS, 0);
}
} // namespace

NTSTATUS StandInComplete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

StandInDriver::StandInDriver(const WCHAR* service, const WCHAR* instancePath,
                             PDRIVER_DISPATCH control)
{
    if (EmuLoadDriver(service, nullptr, &m_Driver) != STATUS_SUCCESS)
    {
        ADD_FAILURE() << "the stand-in driver did not load";
        return;
    }
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE})
        m_Driver->MajorFunction[major] = Open;
    m_Driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = control;
    if (EmuCreatePhysicalDevice(m_Driver, 0, instancePath, &m_Device) != STATUS_SUCCESS)
        ADD_FAILURE() << "the stand-in driver's device was not created";
}

StandInDriver::~StandInDriver()
{
    if (m_Device != nullptr)
        IoDeleteDevice(m_Device);
    if (m_Driver != nullptr)
        EmuUnloadDriver(m_Driver);
}
