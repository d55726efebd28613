// A driver with a stack of devices whose dispatch a test supplies, for the
// I/O manager's tests.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "platform/io/io_emu.h"
#include "platform/kernel/emu.h"
#include "tests/common/emu_test.h"

struct TestExtension
{
    int Index;            // 0 is the bottom of the stack
    PDEVICE_OBJECT Lower; // what it attached to
};

using TestDispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

// Every major function of the test driver goes to TestStack::Dispatch.
class TestStack
{
  public:
    // count devices; the bottom one is a physical device object when pdo.
    explicit TestStack(int count, bool pdo = true);
    ~TestStack();

    PDEVICE_OBJECT Device(int index) const { return m_Devices[(size_t)index]; }
    PDEVICE_OBJECT Bottom() const { return m_Devices.front(); }
    PDEVICE_OBJECT Top() const { return m_Devices.back(); }
    PDRIVER_OBJECT Driver() const { return m_Driver; }
    static int IndexOf(PDEVICE_OBJECT d)
    {
        return static_cast<TestExtension*>(d->DeviceExtension)->Index;
    }
    static PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT d)
    {
        return static_cast<TestExtension*>(d->DeviceExtension)->Lower;
    }

    static TestDispatch Dispatch;

  private:
    PDRIVER_OBJECT m_Driver = nullptr;
    std::vector<PDEVICE_OBJECT> m_Devices;
};

// Completes the request with a status and byte count.
inline NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}
