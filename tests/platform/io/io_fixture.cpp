#include "tests/platform/io/io_fixture.h"

TestDispatch TestStack::Dispatch;

namespace
{
NTSTATUS Trampoline(PDEVICE_OBJECT device, PIRP irp)
{
    if (TestStack::Dispatch)
        return TestStack::Dispatch(device, irp);
    return CompleteWith(irp, STATUS_SUCCESS);
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto& f : driver->MajorFunction)
        f = Trampoline;
    return STATUS_SUCCESS;
}
} // namespace

TestStack::TestStack(int count, bool pdo)
{
    Dispatch = nullptr;
    EXPECT_EQ(EmuLoadDriver(u"iotest", Entry, &m_Driver), STATUS_SUCCESS);
    for (int i = 0; i < count; ++i)
    {
        PDEVICE_OBJECT d = nullptr;
        NTSTATUS status = i == 0 && pdo
                              ? EmuCreatePhysicalDevice(m_Driver, sizeof(TestExtension),
                                                        u"USB\\VID_4C54&PID_1001\\7&2a1b&0&2", &d)
                              : IoCreateDevice(m_Driver, sizeof(TestExtension), nullptr,
                                               FILE_DEVICE_UNKNOWN, 0, FALSE, &d);
        EXPECT_EQ(status, STATUS_SUCCESS);
        auto* ext = static_cast<TestExtension*>(d->DeviceExtension);
        ext->Index = i;
        ext->Lower = i == 0 ? nullptr : IoAttachDeviceToDeviceStack(d, m_Devices.back());
        d->Flags &= ~DO_DEVICE_INITIALIZING;
        m_Devices.push_back(d);
    }
}

TestStack::~TestStack()
{
    Dispatch = nullptr;
    for (size_t i = m_Devices.size(); i-- > 0;)
    {
        if (i > 0)
            IoDetachDevice(m_Devices[i - 1]);
        IoDeleteDevice(m_Devices[i]);
    }
    EmuUnloadDriver(m_Driver);
}
