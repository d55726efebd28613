// A driver that stands in for the real one in the clients' tests: creates,
// cleanups and closes succeed, and the test's own routine answers every
// device-control request that reaches its one device object.
#pragma once

#include "platform/io/io_emu.h"

// Completes `irp` with `status` and `information`; returns `status`.
NTSTATUS StandInComplete(PIRP irp, NTSTATUS status, ULONG_PTR information);

class StandInDriver
{
  public:
    // Loads the driver as `service` and creates its device at `instancePath`;
    // Device stays null (the test failed) where either fails.
    StandInDriver(const WCHAR* service, const WCHAR* instancePath, PDRIVER_DISPATCH control);
    ~StandInDriver();
    StandInDriver(const StandInDriver&) = delete;
    StandInDriver& operator=(const StandInDriver&) = delete;

    PDEVICE_OBJECT Device() const { return m_Device; }

  private:
    PDRIVER_OBJECT m_Driver = nullptr;
    PDEVICE_OBJECT m_Device = nullptr;
};
