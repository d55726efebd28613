// Device objects and stacks, device interfaces and properties, power
// requests, work items and the timer resolution.
#include "platform/kernel/emu_hooks.h"
#include "tests/platform/io/io_fixture.h"

namespace
{
// {A105A47C-D19E-4770-BF3A-41459578FD2B}
const GUID INTERFACE_A = {
    0xA105A47C, 0xD19E, 0x4770, {0xBF, 0x3A, 0x41, 0x45, 0x95, 0x78, 0xFD, 0x2B}};

std::u16string Text(const UNICODE_STRING& s)
{
    return std::u16string(s.Buffer, s.Length / 2);
}
} // namespace

TEST(DeviceTest, StacksAttachAndReferenceTheirTop)
{
    TestStack s(3);
    EXPECT_EQ(s.Bottom()->AttachedDevice, s.Device(1));
    EXPECT_EQ(s.Device(1)->AttachedDevice, s.Top());
    EXPECT_EQ(TestStack::LowerOf(s.Top()), s.Device(1));
    EXPECT_EQ(s.Top()->StackSize, 3);
    LONG_PTR before = EmuObReferenceCount(s.Top());
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(s.Bottom());
    EXPECT_EQ(top, s.Top());
    EXPECT_EQ(EmuObReferenceCount(s.Top()), before + 1);
    ObDereferenceObject(top);
    PDEVICE_OBJECT lower = IoGetLowerDeviceObject(s.Top());
    EXPECT_EQ(lower, s.Device(1));
    ObDereferenceObject(lower);
    EXPECT_EQ(s.Driver()->DeviceObject, s.Top()); // newest first
    // Named devices collide.
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\Named");
    PDEVICE_OBJECT a = nullptr, b = nullptr;
    ASSERT_EQ(IoCreateDevice(s.Driver(), 0, &name, FILE_DEVICE_KS, 0, FALSE, &a), STATUS_SUCCESS);
    EXPECT_EQ(a->DeviceExtension, nullptr);
    EXPECT_EQ(IoCreateDevice(s.Driver(), 0, &name, FILE_DEVICE_KS, 0, FALSE, &b),
              STATUS_OBJECT_NAME_COLLISION);
    {
        EmuExpectFailures f;
        IoDeleteDevice(s.Device(1)); // still in the middle of the stack
        EXPECT_TRUE(f.Contains("is attached to it"));
        EXPECT_TRUE(f.Contains("still attached to device"));
    }
    IoDeleteDevice(a);
}

TEST(DeviceTest, InterfacesAreRegisteredEnabledAndOpened)
{
    TestStack s(2);
    UNICODE_STRING reference, link{};
    RtlInitUnicodeString(&reference, u"LTASIOPrivateInterface");
    ASSERT_EQ(IoRegisterDeviceInterface(s.Bottom(), &INTERFACE_A, &reference, &link),
              STATUS_SUCCESS);
    EXPECT_EQ(Text(link), u"\\??\\USB#VID_4C54&PID_1001#7&2a1b&0&2#"
                          u"{a105a47c-d19e-4770-bf3a-41459578fd2b}\\LTASIOPrivateInterface");
    UNICODE_STRING again{};
    ASSERT_EQ(IoRegisterDeviceInterface(s.Bottom(), &INTERFACE_A, &reference, &again),
              STATUS_SUCCESS);
    EXPECT_EQ(Text(again), Text(link));
    RtlFreeUnicodeString(&again);
    UNICODE_STRING none{};
    EXPECT_EQ(IoRegisterDeviceInterface(s.Top(), &INTERFACE_A, &reference, &none),
              STATUS_INVALID_DEVICE_REQUEST);

    auto list = EmuDeviceInterfaces();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_FALSE(list[0].Enabled);
    EXPECT_EQ(list[0].ReferenceString, u"LTASIOPrivateInterface");
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(EmuOpenDeviceInterface(list[0].SymbolicLink.c_str(), &file),
              STATUS_OBJECT_NAME_NOT_FOUND);

    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_TRUE(EmuDeviceInterfaces()[0].Enabled);

    // Opening the interface sends a create for "\<reference>" to the stack's top.
    std::u16string seen;
    PDEVICE_OBJECT target = nullptr;
    TestStack::Dispatch = [&](PDEVICE_OBJECT d, PIRP irp)
    {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction == IRP_MJ_CREATE)
        {
            seen = Text(stack->FileObject->FileName);
            target = d;
        }
        return CompleteWith(irp, STATUS_SUCCESS);
    };
    ASSERT_EQ(EmuOpenDeviceInterface(list[0].SymbolicLink.c_str(), &file), STATUS_SUCCESS);
    EXPECT_EQ(seen, u"\\LTASIOPrivateInterface");
    EXPECT_EQ(target, s.Top());
    EXPECT_EQ(file->DeviceObject, s.Bottom());
    EXPECT_EQ(EmuCloseFile(file), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    RtlFreeUnicodeString(&link);
}

TEST(DeviceTest, HardwareIdsAnswerTheSizeProbeFirst)
{
    TestStack s(2);
    // Until the bus sets them, the device ID is the one hardware ID.
    WCHAR id[40] = {};
    ULONG result = 0;
    ASSERT_EQ(IoGetDeviceProperty(s.Bottom(), DevicePropertyHardwareID, sizeof(id), id, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(result, 46u);
    EXPECT_EQ(std::u16string(id), u"USB\\VID_4C54&PID_1001");
    EmuSetHardwareIds(s.Bottom(), {u"USB\\VID_4C54&PID_1001&REV_0100", u"USB\\VID_4C54&PID_1001"});
    // Two strings with their NULs and the closing NUL: (30 + 1 + 21 + 1 + 1) * 2.
    const ULONG needed = 108;
    EXPECT_EQ(IoGetDeviceProperty(s.Bottom(), DevicePropertyHardwareID, 0, nullptr, &result),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, needed);
    std::vector<WCHAR> buffer(needed / 2 + 4, 0xFFFF);
    EXPECT_EQ(IoGetDeviceProperty(s.Bottom(), DevicePropertyHardwareID, needed - 2, buffer.data(),
                                  &result),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(buffer[0], 0xFFFF);
    ASSERT_EQ(
        IoGetDeviceProperty(s.Bottom(), DevicePropertyHardwareID, needed, buffer.data(), &result),
        STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer.data()), u"USB\\VID_4C54&PID_1001&REV_0100");
    EXPECT_EQ(std::u16string(buffer.data() + 31), u"USB\\VID_4C54&PID_1001");
    EXPECT_EQ(buffer[53], 0);
    EXPECT_EQ(buffer[54], 0xFFFF);
    EXPECT_EQ(IoGetDeviceProperty(s.Bottom(), DevicePropertyFriendlyName, 0, nullptr, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IoGetDeviceProperty(s.Top(), DevicePropertyHardwareID, 0, nullptr, &result),
              STATUS_INVALID_DEVICE_REQUEST);
}

// ----------------------------------------------------------------------------
// Power

namespace
{
struct PowerSeen
{
    int Calls = 0;
    PDEVICE_OBJECT Device = nullptr;
    UCHAR Minor = 0;
    POWER_STATE State{};
    NTSTATUS Status = 0;
};

void PowerDone(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
               PIO_STATUS_BLOCK status)
{
    auto* seen = static_cast<PowerSeen*>(context);
    seen->Calls++;
    seen->Device = device;
    seen->Minor = minor;
    seen->State = state;
    seen->Status = status->Status;
}
} // namespace

TEST(DeviceTest, PowerRequestsGoToTheTopAndReportTheirStatus)
{
    TestStack s(2);
    std::vector<std::pair<int, DEVICE_POWER_STATE>> route;
    PIRP held = nullptr;
    TestStack::Dispatch = [&](PDEVICE_OBJECT d, PIRP irp) -> NTSTATUS
    {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(stack->MajorFunction, IRP_MJ_POWER);
        EXPECT_EQ(stack->MinorFunction, IRP_MN_SET_POWER);
        EXPECT_EQ(stack->Parameters.Power.Type, DevicePowerState);
        route.push_back({TestStack::IndexOf(d), stack->Parameters.Power.State.DeviceState});
        if (TestStack::IndexOf(d) != 0)
        {
            PoStartNextPowerIrp(irp);
            IoSkipCurrentIrpStackLocation(irp);
            return PoCallDriver(TestStack::LowerOf(d), irp);
        }
        if (stack->Parameters.Power.State.DeviceState == PowerDeviceD3)
        {
            IoMarkIrpPending(irp);
            held = irp;
            return STATUS_PENDING;
        }
        PoSetPowerState(d, DevicePowerState, stack->Parameters.Power.State);
        return CompleteWith(irp, STATUS_SUCCESS);
    };
    PowerSeen seen;
    POWER_STATE d2;
    d2.DeviceState = PowerDeviceD2;
    EXPECT_EQ(PoRequestPowerIrp(s.Bottom(), IRP_MN_SET_POWER, d2, PowerDone, &seen, nullptr),
              STATUS_PENDING);
    ASSERT_EQ(route.size(), 2u);
    EXPECT_EQ(route[0], std::make_pair(1, PowerDeviceD2));
    EXPECT_EQ(route[1], std::make_pair(0, PowerDeviceD2));
    EXPECT_EQ(seen.Calls, 1);
    EXPECT_EQ(seen.Device, s.Bottom());
    EXPECT_EQ(seen.Minor, IRP_MN_SET_POWER);
    EXPECT_EQ(seen.State.DeviceState, PowerDeviceD2);
    EXPECT_EQ(seen.Status, STATUS_SUCCESS);
    EXPECT_EQ(EmuDevicePowerState(s.Bottom()), PowerDeviceD2);

    // D3 held by the bus: the completion comes when the bus completes.
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    PowerSeen seen3;
    PIRP irp = nullptr;
    EXPECT_EQ(PoRequestPowerIrp(s.Bottom(), IRP_MN_SET_POWER, d3, PowerDone, &seen3, &irp),
              STATUS_PENDING);
    EXPECT_EQ(irp, held);
    EXPECT_EQ(seen3.Calls, 0);
    CompleteWith(held, STATUS_DEVICE_POWER_FAILURE);
    EXPECT_EQ(seen3.Calls, 1);
    EXPECT_EQ(seen3.Status, STATUS_DEVICE_POWER_FAILURE);
    EXPECT_EQ(seen3.State.DeviceState, PowerDeviceD3);

    EXPECT_EQ(PoRequestPowerIrp(s.Bottom(), IRP_MN_POWER_SEQUENCE, d2, PowerDone, &seen, nullptr),
              STATUS_INVALID_PARAMETER_2);
    d2.DeviceState = PowerDeviceMaximum;
    EXPECT_EQ(PoRequestPowerIrp(s.Bottom(), IRP_MN_SET_POWER, d2, PowerDone, &seen, nullptr),
              STATUS_INVALID_PARAMETER_3);
    EXPECT_EQ(seen.Calls, 1);
    // The system's own device power request waits for the answer.
    EXPECT_EQ(EmuPoSendDevicePower(s.Bottom(), IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(EmuDevicePowerState(s.Bottom()), PowerDeviceD0);
}

TEST(DeviceTest, PnpRequestsStartWithNotSupported)
{
    TestStack s(2);
    NTSTATUS initial = 0;
    PCM_RESOURCE_LIST resources = nullptr;
    TestStack::Dispatch = [&](PDEVICE_OBJECT d, PIRP irp) -> NTSTATUS
    {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (TestStack::IndexOf(d) != 0)
        {
            initial = irp->IoStatus.Status;
            resources = stack->Parameters.StartDevice.AllocatedResources;
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(TestStack::LowerOf(d), irp);
        }
        return CompleteWith(irp, stack->MinorFunction == IRP_MN_START_DEVICE
                                     ? STATUS_SUCCESS
                                     : irp->IoStatus.Status);
    };
    CM_RESOURCE_LIST list{};
    EXPECT_EQ(EmuPnpStartDevice(s.Bottom(), &list), STATUS_SUCCESS);
    EXPECT_EQ(initial, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(resources, &list);
    EXPECT_EQ(EmuPnpSendMinor(s.Bottom(), IRP_MN_QUERY_STOP_DEVICE), STATUS_NOT_SUPPORTED);
}

// ----------------------------------------------------------------------------
// Work items

namespace
{
struct WorkSeen
{
    int Runs = 0;
    KIRQL Irql = 0xFF;
    PDEVICE_OBJECT Device = nullptr;
    PEPROCESS Process = nullptr;
    bool Blocked = false;
    PIO_WORKITEM Item = nullptr;
};

void Work(PDEVICE_OBJECT device, PVOID context)
{
    auto* seen = static_cast<WorkSeen*>(context);
    seen->Runs++;
    seen->Irql = KeGetCurrentIrql();
    seen->Device = device;
    seen->Process = PsGetCurrentProcess();
    // A work routine may wait.
    LARGE_INTEGER t;
    t.QuadPart = -10000; // 1 ms
    seen->Blocked = KeDelayExecutionThread(KernelMode, FALSE, &t) == STATUS_SUCCESS;
}

void QueueFromDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* seen = static_cast<WorkSeen*>(context);
    seen->Item = IoAllocateWorkItem(seen->Device);
    IoQueueWorkItem(seen->Item, Work, DelayedWorkQueue, seen);
}
} // namespace

TEST(DeviceTest, WorkItemsQueuedFromADpcRunAtPassiveInTheSystem)
{
    TestStack s(1);
    WorkSeen seen;
    seen.Device = s.Bottom();
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, QueueFromDpc, &seen);
    KeSetTimer(&timer, RelativeMs(5), &dpc);
    LONG_PTR references = EmuObReferenceCount(s.Bottom());
    EmuAdvanceMs(4);
    EXPECT_EQ(seen.Runs, 0);
    EmuAdvanceMs(1);
    // Queued by the DPC, it holds the device until it has run.
    EXPECT_EQ(EmuObReferenceCount(s.Bottom()), references + 1);
    EmuAdvanceMs(2);
    EXPECT_EQ(seen.Runs, 1);
    EXPECT_EQ(seen.Irql, PASSIVE_LEVEL);
    EXPECT_EQ(seen.Device, s.Bottom());
    EXPECT_EQ(seen.Process, PsInitialSystemProcess());
    EXPECT_TRUE(seen.Blocked);
    EXPECT_EQ(EmuObReferenceCount(s.Bottom()), references);
    // The same item again, from passive level.
    IoQueueWorkItem(seen.Item, Work, DelayedWorkQueue, &seen);
    {
        EmuExpectFailures f;
        IoQueueWorkItem(seen.Item, Work, DelayedWorkQueue, &seen);
        EXPECT_TRUE(f.Contains("already queued"));
        IoFreeWorkItem(seen.Item);
        EXPECT_TRUE(f.Contains("still queued"));
    }
    EmuAdvanceMs(2);
    EXPECT_EQ(seen.Runs, 2);
    IoFreeWorkItem(seen.Item);
    // The worker thread is the system's: it is not counted as a leak when the
    // test ends (the fixture's leak check would fail this test otherwise).
}

TEST(DeviceTest, TimerResolutionRequestsBalance)
{
    EXPECT_EQ(EmuCurrentTimerResolution(), 156250u);
    EXPECT_EQ(ExSetTimerResolution(0, FALSE), 156250u); // nothing to release
    EXPECT_EQ(EmuTimerResolutionReleasesUnmatched(), 1u);
    EXPECT_EQ(ExSetTimerResolution(10000, TRUE), 10000u);
    EXPECT_EQ(ExSetTimerResolution(20000, TRUE), 10000u);
    EXPECT_EQ(EmuTimerResolutionRequests(), 2u);
    EXPECT_EQ(ExSetTimerResolution(0, FALSE), 10000u);
    EXPECT_EQ(ExSetTimerResolution(0, FALSE), 156250u);
    EXPECT_EQ(EmuTimerResolutionRequests(), 0u);
    EXPECT_EQ(ExSetTimerResolution(100, TRUE), 5000u); // the finest the system gives
    ExSetTimerResolution(0, FALSE);
}

TEST(DeviceTest, ADeviceDeletedDuringRemovalLastsUntilTheRequestIsDone)
{
    TestStack s(1);
    PDEVICE_OBJECT fdo = nullptr;
    ASSERT_EQ(
        IoCreateDevice(s.Driver(), sizeof(TestExtension), nullptr, FILE_DEVICE_KS, 0, FALSE, &fdo),
        STATUS_SUCCESS);
    auto* ext = static_cast<TestExtension*>(fdo->DeviceExtension);
    ext->Index = 1;
    ext->Lower = IoAttachDeviceToDeviceStack(fdo, s.Bottom());
    bool aliveAfterDelete = false;
    TestStack::Dispatch = [&](PDEVICE_OBJECT d, PIRP irp) -> NTSTATUS
    {
        if (TestStack::IndexOf(d) == 0)
            return CompleteWith(irp, STATUS_SUCCESS);
        PDEVICE_OBJECT lower = TestStack::LowerOf(d);
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(lower, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(d);
        aliveAfterDelete = EmuObIsObject(d);
        return status;
    };
    EXPECT_EQ(EmuPnpSendMinor(s.Bottom(), IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(aliveAfterDelete);
    EXPECT_FALSE(EmuObIsObject(fdo));
    EXPECT_EQ(s.Bottom()->AttachedDevice, nullptr);
}

TEST(DeviceTest, WorkNotYetRunIsALeakAndTheIdleWorkerIsNot)
{
    TestStack s(1);
    WorkSeen seen;
    seen.Item = IoAllocateWorkItem(s.Bottom());
    IoQueueWorkItem(seen.Item, Work, CriticalWorkQueue, &seen);
    EXPECT_EQ(EmuSystemWorkQueued(), 1u);
    EXPECT_NE(EmuCheckClean(false).find("1 work item(s) never ran"), std::string::npos);
    EmuRunUntilIdle(); // the worker takes it; it then sleeps 1 ms
    EXPECT_EQ(EmuSystemWorkQueued(), 0u);
    EmuAdvanceMs(1);
    EXPECT_EQ(seen.Runs, 1);
    IoFreeWorkItem(seen.Item);
    EXPECT_EQ(EmuLiveThreadCount(), 1u); // the idle worker, ended by the leak check
}

namespace
{
std::u16string g_RegistryPath;
int g_Unloads = 0;
void Unload(PDRIVER_OBJECT)
{
    g_Unloads++;
}
NTSTATUS GoodEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    g_RegistryPath = std::u16string(registryPath->Buffer, registryPath->Length / 2);
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
NTSTATUS FailingEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    return STATUS_UNSUCCESSFUL;
}
} // namespace

TEST(DeviceTest, DriversLoadWithTheirServiceKeyAndUnloadOnlyWhenEmpty)
{
    g_Unloads = 0;
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(EmuLoadDriver(u"usbaudio", GoodEntry, &driver), STATUS_SUCCESS);
    EXPECT_EQ(g_RegistryPath,
              u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\usbaudio");
    EXPECT_TRUE(EmuRegistryKeyExists(g_RegistryPath));
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    // Nothing dispatched: every request is refused.
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(EmuOpenFile(device, u"\\any", &file), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(file, nullptr);
    {
        EmuExpectFailures f;
        EmuUnloadDriver(driver);
        EXPECT_TRUE(f.Contains("unloaded with device objects left"));
        EXPECT_TRUE(EmuObIsObject(driver));
    }
    IoDeleteDevice(device);
    EmuUnloadDriver(driver);
    EXPECT_EQ(g_Unloads, 2);
    EXPECT_EQ(EmuLoadDriver(u"broken", FailingEntry, &driver), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(driver, nullptr);
    EXPECT_EQ(EmuLoadDriver(u"bad\\name", nullptr, &driver), STATUS_OBJECT_NAME_INVALID);
}
