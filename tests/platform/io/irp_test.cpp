// The IRP's road down a device stack and back up through completion routines,
// cancellation, and the requests the I/O manager builds.
#include <string>

#include "tests/platform/io/io_fixture.h"

namespace
{
struct Call
{
    PDEVICE_OBJECT Device;
    std::string Who;
    BOOLEAN PendingReturned;
    NTSTATUS Status;
};
std::vector<Call> g_Calls;
std::string g_StopAt; // this routine returns STATUS_MORE_PROCESSING_REQUIRED

NTSTATUS Record(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    std::string who = static_cast<const char*>(context);
    g_Calls.push_back({device, who, irp->PendingReturned, irp->IoStatus.Status});
    if (who == g_StopAt || who == "sender")
        return STATUS_MORE_PROCESSING_REQUIRED;
    return STATUS_CONTINUE_COMPLETION;
}

// Each device but the bottom one passes the request down with a routine of
// its own; the bottom one completes with `status`, or holds it.
PIRP g_Held = nullptr;
TestDispatch PassDown(bool routines, NTSTATUS status, bool hold = false)
{
    return [=](PDEVICE_OBJECT d, PIRP irp) -> NTSTATUS
    {
        if (TestStack::IndexOf(d) != 0)
        {
            IoCopyCurrentIrpStackLocationToNext(irp);
            if (routines)
                IoSetCompletionRoutine(irp, Record,
                                       (PVOID)(TestStack::IndexOf(d) == 1 ? "mid" : "top"), TRUE,
                                       TRUE, TRUE);
            return IoCallDriver(TestStack::LowerOf(d), irp);
        }
        if (hold)
        {
            IoMarkIrpPending(irp);
            g_Held = irp;
            return STATUS_PENDING;
        }
        return CompleteWith(irp, status, 7);
    };
}

PIRP SenderIrp(TestStack& s, BOOLEAN onSuccess = TRUE, BOOLEAN onError = TRUE,
               BOOLEAN onCancel = TRUE)
{
    PIRP irp = IoAllocateIrp(s.Top()->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, Record, (PVOID) "sender", onSuccess, onError, onCancel);
    return irp;
}

class IrpTest : public testing::Test
{
  protected:
    void SetUp() override
    {
        g_Calls.clear();
        g_StopAt.clear();
        g_Held = nullptr;
    }
};
} // namespace

TEST_F(IrpTest, CompletionRoutinesRunBottomUpWithTheirSettersDevice)
{
    TestStack s(3);
    EXPECT_EQ(s.Top()->StackSize, 3);
    TestStack::Dispatch = PassDown(true, STATUS_SUCCESS);
    PIRP irp = SenderIrp(s);
    EXPECT_EQ(IoCallDriver(s.Top(), irp), STATUS_SUCCESS);
    ASSERT_EQ(g_Calls.size(), 3u);
    // The routine the middle device set runs first, with the middle device;
    // the sender's own routine gets no device.
    EXPECT_EQ(g_Calls[0].Who, "mid");
    EXPECT_EQ(g_Calls[0].Device, s.Device(1));
    EXPECT_EQ(g_Calls[1].Who, "top");
    EXPECT_EQ(g_Calls[1].Device, s.Device(2));
    EXPECT_EQ(g_Calls[2].Who, "sender");
    EXPECT_EQ(g_Calls[2].Device, nullptr);
    EXPECT_EQ(irp->IoStatus.Information, 7u);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, MoreProcessingRequiredStopsTheWalkUntilCompletedAgain)
{
    TestStack s(3);
    TestStack::Dispatch = PassDown(true, STATUS_DEVICE_DATA_ERROR);
    g_StopAt = "mid";
    PIRP irp = SenderIrp(s);
    IoCallDriver(s.Top(), irp);
    ASSERT_EQ(g_Calls.size(), 1u);
    EXPECT_EQ(g_Calls[0].Status, STATUS_DEVICE_DATA_ERROR);
    // The middle device owns the request again and finishes it.
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, s.Device(1));
    g_StopAt.clear();
    CompleteWith(irp, STATUS_SUCCESS, 3);
    ASSERT_EQ(g_Calls.size(), 3u);
    EXPECT_EQ(g_Calls[1].Who, "top");
    EXPECT_EQ(g_Calls[1].Status, STATUS_SUCCESS);
    EXPECT_EQ(g_Calls[2].Who, "sender");
    IoFreeIrp(irp);
}

TEST_F(IrpTest, RoutinesRunOnlyForTheOutcomesTheyAskFor)
{
    TestStack s(1);
    TestStack::Dispatch = PassDown(false, STATUS_UNSUCCESSFUL);
    struct Case
    {
        BOOLEAN Success, Error, Cancel, SetCancel;
        NTSTATUS Status;
        bool Called;
    } cases[] = {
        {TRUE, FALSE, FALSE, FALSE, STATUS_UNSUCCESSFUL, false},
        {FALSE, TRUE, FALSE, FALSE, STATUS_UNSUCCESSFUL, true},
        {FALSE, TRUE, FALSE, FALSE, STATUS_SUCCESS, false},
        {TRUE, FALSE, FALSE, FALSE, STATUS_BUFFER_OVERFLOW, false}, // a warning is an error here
        {FALSE, FALSE, TRUE, TRUE, STATUS_CANCELLED, true},
        {FALSE, FALSE, TRUE, FALSE, STATUS_CANCELLED, false},
    };
    for (const Case& c : cases)
    {
        g_Calls.clear();
        TestStack::Dispatch = PassDown(false, c.Status);
        PIRP irp = SenderIrp(s, c.Success, c.Error, c.Cancel);
        irp->Cancel = c.SetCancel;
        EmuExpectFailures f; // a walk past a driver's own IRP is reported
        IoCallDriver(s.Top(), irp);
        EXPECT_EQ(g_Calls.size(), c.Called ? 1u : 0u) << "status " << std::hex << c.Status;
        EXPECT_EQ(f.Contains("past its last completion routine"), !c.Called);
        IoFreeIrp(irp);
    }
}

TEST_F(IrpTest, PendingReturnedTravelsUpThroughLocationsWithoutRoutines)
{
    TestStack s(3);
    TestStack::Dispatch = PassDown(false, STATUS_SUCCESS, true);
    PIRP irp = SenderIrp(s);
    EXPECT_EQ(IoCallDriver(s.Top(), irp), STATUS_PENDING);
    ASSERT_NE(g_Held, nullptr);
    EXPECT_TRUE(g_Calls.empty());
    CompleteWith(g_Held, STATUS_SUCCESS);
    ASSERT_EQ(g_Calls.size(), 1u);
    EXPECT_TRUE(g_Calls[0].PendingReturned);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, ARoutineThatDoesNotMarkPendingHidesIt)
{
    TestStack s(2);
    TestStack::Dispatch = PassDown(true, STATUS_SUCCESS, true);
    PIRP irp = SenderIrp(s);
    IoCallDriver(s.Top(), irp);
    CompleteWith(g_Held, STATUS_SUCCESS);
    ASSERT_EQ(g_Calls.size(), 2u);
    EXPECT_TRUE(g_Calls[0].PendingReturned);  // "mid" sees the bottom's mark
    EXPECT_FALSE(g_Calls[1].PendingReturned); // it did not propagate it
    IoFreeIrp(irp);
}

TEST_F(IrpTest, MisuseIsReported)
{
    TestStack s(2);
    TestStack::Dispatch = PassDown(false, STATUS_SUCCESS);
    {
        // Too few stack locations for the device's stack.
        EmuExpectFailures f;
        TestStack::Dispatch = [](PDEVICE_OBJECT, PIRP irp)
        { return CompleteWith(irp, STATUS_SUCCESS); };
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoSetCompletionRoutine(irp, Record, (PVOID) "sender", TRUE, TRUE, TRUE);
        IoCallDriver(s.Top(), irp);
        EXPECT_TRUE(f.Contains("whose stack needs 2"));
        IoFreeIrp(irp);
    }
    {
        EmuExpectFailures f;
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoSetNextIrpStackLocation(irp);
        EXPECT_EQ(IoCallDriver(s.Bottom(), irp), STATUS_INVALID_PARAMETER);
        EXPECT_TRUE(f.Contains("no stack location left"));
        IoSkipCurrentIrpStackLocation(irp);
        IoFreeIrp(irp);
        TestStack::Dispatch = PassDown(false, STATUS_SUCCESS);
    }
    {
        EmuExpectFailures f;
        PIRP irp = SenderIrp(s);
        IoCallDriver(s.Top(), irp);
        CompleteWith(irp, STATUS_SUCCESS);
        EXPECT_TRUE(f.Contains("completed twice"));
        IoFreeIrp(irp);
    }
    {
        EmuExpectFailures f;
        TestStack::Dispatch = PassDown(false, STATUS_SUCCESS, true);
        PIRP irp = SenderIrp(s);
        IoCallDriver(s.Top(), irp);
        IoFreeIrp(irp); // still held below
        EXPECT_TRUE(f.Contains("while a driver still holds it"));
        g_Held->IoStatus.Status = STATUS_PENDING;
        IoCompleteRequest(g_Held, IO_NO_INCREMENT);
        EXPECT_TRUE(f.Contains("with STATUS_PENDING"));
        IoFreeIrp(irp);
    }
}

namespace
{
std::vector<PDEVICE_OBJECT> g_CancelDevices;
void CancelHeld(PDEVICE_OBJECT device, PIRP irp)
{
    g_CancelDevices.push_back(device);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL); // called with the cancel lock held
    IoReleaseCancelSpinLock(irp->CancelIrql);
    CompleteWith(irp, STATUS_CANCELLED);
}
} // namespace

TEST_F(IrpTest, CancelRunsTheHoldersCancelRoutineOnce)
{
    TestStack s(2);
    g_CancelDevices.clear();
    TestStack::Dispatch = [&](PDEVICE_OBJECT d, PIRP irp) -> NTSTATUS
    {
        if (TestStack::IndexOf(d) != 0)
        {
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(TestStack::LowerOf(d), irp);
        }
        IoSetCancelRoutine(irp, CancelHeld);
        IoMarkIrpPending(irp);
        g_Held = irp;
        return STATUS_PENDING;
    };
    PIRP irp = SenderIrp(s, FALSE, FALSE, TRUE);
    EXPECT_EQ(IoCallDriver(s.Top(), irp), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(irp));
    ASSERT_EQ(g_CancelDevices.size(), 1u);
    EXPECT_EQ(g_CancelDevices[0], s.Bottom());
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    ASSERT_EQ(g_Calls.size(), 1u);
    EXPECT_EQ(g_Calls[0].Status, STATUS_CANCELLED);
    EXPECT_TRUE(g_Calls[0].PendingReturned);
    EXPECT_TRUE(irp->Cancel);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, CancelWithoutRoutineOnlyMarksTheRequest)
{
    TestStack s(1);
    TestStack::Dispatch = PassDown(false, STATUS_SUCCESS, true);
    PIRP irp = SenderIrp(s);
    IoCallDriver(s.Top(), irp);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    CompleteWith(g_Held, STATUS_SUCCESS);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, ReusedIrpStartsOverWithTheGivenStatus)
{
    TestStack s(2);
    TestStack::Dispatch = PassDown(false, STATUS_SUCCESS);
    PIRP irp = SenderIrp(s);
    IoCallDriver(s.Top(), irp);
    IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->CurrentLocation, 3);
    EXPECT_FALSE(irp->Cancel);
    IoSetCompletionRoutine(irp, Record, (PVOID) "sender", TRUE, TRUE, TRUE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoCallDriver(s.Top(), irp);
    EXPECT_EQ(g_Calls.size(), 2u);
    IoFreeIrp(irp);
}

// ----------------------------------------------------------------------------
// Requests the I/O manager builds

namespace
{
const ULONG IOCTL_BUFFERED = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
const ULONG IOCTL_NEITHER = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_NEITHER, FILE_ANY_ACCESS);
const ULONG IOCTL_OUT_DIRECT =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);

// Replies with the input bytes reversed, as many as the output holds, or
// `claim` bytes when set.
ULONG_PTR g_Claim = 0;
UCHAR g_Major = 0;
BOOLEAN g_Is32 = FALSE;
NTSTATUS Reverse(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    g_Major = stack->MajorFunction;
    g_Is32 = IoIs32bitProcess(irp);
    if (g_Major == IRP_MJ_CREATE || g_Major == IRP_MJ_CLEANUP || g_Major == IRP_MJ_CLOSE)
        return CompleteWith(irp, STATUS_SUCCESS);
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    std::vector<UCHAR> input;
    UCHAR* output = nullptr;
    if (code == IOCTL_NEITHER)
    {
        auto p = static_cast<UCHAR*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
        input.assign(p, p + in);
        output = static_cast<UCHAR*>(irp->UserBuffer);
    }
    else
    {
        auto p = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        input.assign(p, p + in);
        output = code == IOCTL_OUT_DIRECT ? static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(
                                                irp->MdlAddress, NormalPagePriority))
                                          : p;
    }
    ULONG n = in < out ? in : out;
    for (ULONG i = 0; i < n; ++i)
        output[i] = input[in - 1 - i];
    return CompleteWith(irp, STATUS_SUCCESS, g_Claim != 0 ? g_Claim : n);
}
} // namespace

TEST_F(IrpTest, BuiltDeviceControlRequestsCopyBackAndSignal)
{
    TestStack s(2);
    TestStack::Dispatch = [](PDEVICE_OBJECT d, PIRP irp) -> NTSTATUS
    {
        if (TestStack::IndexOf(d) != 0)
        {
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(TestStack::LowerOf(d), irp);
        }
        return Reverse(d, irp);
    };
    g_Claim = 0;
    for (ULONG code : {IOCTL_BUFFERED, IOCTL_NEITHER, IOCTL_OUT_DIRECT})
        for (BOOLEAN internal : {FALSE, TRUE})
        {
            UCHAR in[5] = {1, 2, 3, 4, 5};
            UCHAR out[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            IO_STATUS_BLOCK iosb{};
            iosb.Status = STATUS_PENDING;
            PIRP irp = IoBuildDeviceIoControlRequest(code, s.Top(), in, sizeof(in), out, 4,
                                                     internal, &event, &iosb);
            ASSERT_NE(irp, nullptr);
            EXPECT_EQ(irp->RequestorMode, KernelMode);
            EXPECT_EQ(IoCallDriver(s.Top(), irp), STATUS_SUCCESS);
            EXPECT_EQ(g_Major, internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL);
            EXPECT_FALSE(g_Is32);
            EXPECT_EQ(KeReadStateEvent(&event), 1);
            EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
            EXPECT_EQ(iosb.Information, 4u);
            const UCHAR expected[6] = {5, 4, 3, 2, 0xEE, 0xEE};
            EXPECT_EQ(memcmp(out, expected, 6), 0) << "code " << std::hex << code;
        }
}

TEST_F(IrpTest, ADriverClaimingMoreOutputThanTheBufferIsReportedAndCut)
{
    TestStack s(1);
    TestStack::Dispatch = Reverse;
    g_Claim = 6;
    UCHAR in[4] = {1, 2, 3, 4};
    UCHAR out[8] = {};
    memset(out, 0xEE, sizeof(out));
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    EmuExpectFailures f;
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_BUFFERED, s.Top(), in, sizeof(in), out, 4, FALSE,
                                             &event, &iosb);
    IoCallDriver(s.Top(), irp);
    EXPECT_TRUE(f.Contains("returned 6 bytes for an output buffer of 4"));
    EXPECT_EQ(out[4], 0xEE);
    EXPECT_EQ(out[3], 1);
    g_Claim = 0;
}

TEST_F(IrpTest, UserRequestsKnowTheirProcessWidth)
{
    TestStack s(2);
    TestStack::Dispatch = Reverse;
    PEPROCESS p32 = EmuCreateProcess(true);
    PEPROCESS p64 = EmuCreateProcess(false);
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(EmuOpenFile(s.Bottom(), u"\\Thing", &file), STATUS_SUCCESS);
    EXPECT_EQ(g_Major, IRP_MJ_CREATE);
    struct Ctx
    {
        PFILE_OBJECT File;
        BOOLEAN Seen;
    } ctx{file, 2};
    auto probe = [](void* c)
    {
        auto* x = static_cast<Ctx*>(c);
        UCHAR in[2] = {9, 8}, out[2] = {};
        ULONG_PTR info = 0;
        EXPECT_EQ(EmuDeviceControl(x->File, IOCTL_BUFFERED, in, 2, out, 2, &info), STATUS_SUCCESS);
        EXPECT_EQ(info, 2u);
        EXPECT_EQ(out[0], 8);
        x->Seen = g_Is32;
    };
    EmuRunInProcess(p32, probe, &ctx);
    EXPECT_TRUE(ctx.Seen);
    EmuRunInProcess(p64, probe, &ctx);
    EXPECT_FALSE(ctx.Seen);
    // The same process, asking in kernel mode, is not a 32-bit caller.
    EmuRunInProcess(
        p32,
        [](void* c)
        {
            auto r = EmuIoRequest::DeviceControl(static_cast<Ctx*>(c)->File, IOCTL_BUFFERED,
                                                 nullptr, 0, 0, KernelMode);
            r->Send();
            EXPECT_TRUE(r->Wait());
        },
        &ctx);
    EXPECT_FALSE(g_Is32);
    EXPECT_EQ(EmuCloseFile(file), STATUS_SUCCESS);
    EXPECT_EQ(g_Major, IRP_MJ_CLOSE);
    EmuDeleteProcess(p32);
    EmuDeleteProcess(p64);
}

TEST_F(IrpTest, APendingUserRequestCompletesLaterOrIsCancelled)
{
    TestStack s(1);
    TestStack::Dispatch = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS
    {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL)
            return CompleteWith(irp, STATUS_SUCCESS);
        IoSetCancelRoutine(irp, CancelHeld);
        IoMarkIrpPending(irp);
        g_Held = irp;
        return STATUS_PENDING;
    };
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(EmuOpenFile(s.Top(), u"\\x", &file), STATUS_SUCCESS);
    UCHAR in[3] = {1, 2, 3};
    auto r = EmuIoRequest::DeviceControl(file, IOCTL_BUFFERED, in, 3, 3);
    EXPECT_EQ(r->Send(), STATUS_PENDING);
    EXPECT_FALSE(r->Wait(50));
    EXPECT_TRUE(r->Cancel());
    EXPECT_TRUE(r->Completed());
    EXPECT_EQ(r->Status(), STATUS_CANCELLED);

    auto r2 = EmuIoRequest::DeviceControl(file, IOCTL_BUFFERED, in, 3, 3);
    r2->Send();
    ASSERT_EQ(IoSetCancelRoutine(g_Held, nullptr), (PDRIVER_CANCEL)CancelHeld);
    memcpy(g_Held->AssociatedIrp.SystemBuffer, "abc", 3);
    CompleteWith(g_Held, STATUS_SUCCESS, 3);
    EXPECT_TRUE(r2->Wait(0));
    EXPECT_EQ(std::string(r2->Output().begin(), r2->Output().end()), "abc");
    EXPECT_EQ(EmuCloseFile(file), STATUS_SUCCESS);
}

TEST_F(IrpTest, AWarningWithoutOutputBufferMayNameTheSizeNeeded)
{
    TestStack s(1);
    TestStack::Dispatch = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS
    {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL)
            return CompleteWith(irp, STATUS_SUCCESS);
        return CompleteWith(irp, STATUS_BUFFER_OVERFLOW,
                            4 + stack->Parameters.DeviceIoControl.OutputBufferLength);
    };
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(EmuOpenFile(s.Top(), u"\\LTASIOPrivateInterface", &file), STATUS_SUCCESS);
    ULONG_PTR info = 0;
    {
        EmuExpectFailures f;
        EXPECT_EQ(EmuDeviceControl(file, IOCTL_BUFFERED, nullptr, 0, nullptr, 0, &info),
                  STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(info, 4u);
        EXPECT_TRUE(f.Messages().empty());
    }
    {
        // With an output buffer the same claim would overrun it.
        EmuExpectFailures f;
        UCHAR out[2];
        EmuDeviceControl(file, IOCTL_BUFFERED, nullptr, 0, out, 2, &info);
        EXPECT_TRUE(f.Contains("returned 6 bytes for an output buffer of 2"));
    }
    EXPECT_EQ(EmuCloseFile(file), STATUS_SUCCESS);
}

namespace
{
NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
} // namespace

TEST_F(IrpTest, AnOwnerKeepsTheTopLocationAndWaitsForALateCompletion)
{
    // The synchronous-request pattern: one location more than the lower stack
    // needs, the top one the owner's, an event set by its routine, the IRP
    // freed by the owner once the lower driver completed it from a DPC.
    TestStack s(2);
    TestStack::Dispatch = PassDown(false, STATUS_SUCCESS, true);
    PIRP irp = IoAllocateIrp((CCHAR)(s.Top()->StackSize + 1), FALSE);
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
    ASSERT_EQ(IoCallDriver(s.Top(), irp), STATUS_PENDING);
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(
        &dpc,
        [](PKDPC, PVOID, PVOID, PVOID)
        {
            EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
            CompleteWith(g_Held, STATUS_SUCCESS, 12);
        },
        nullptr);
    KeSetTimer(&timer, RelativeMs(3), &dpc);
    {
        EmuExpectFailures f;
        IoFreeIrp(irp); // below the owner still
        EXPECT_TRUE(f.Contains("while a driver still holds it"));
    }
    LARGE_INTEGER timeout = RelativeMs(500);
    ULONGLONG start = EmuNow();
    EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    EXPECT_EQ(EmuNow() - start, 30000u); // 3 ms
    EXPECT_EQ(irp->IoStatus.Information, 12u);
    EXPECT_TRUE(irp->PendingReturned);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, ABuiltRequestCompletedLaterSetsItsEventAndStatusBlock)
{
    TestStack s(1);
    TestStack::Dispatch = PassDown(false, STATUS_SUCCESS, true);
    UCHAR in[2] = {1, 2}, out[2] = {};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp =
        IoBuildDeviceIoControlRequest(IOCTL_BUFFERED, s.Top(), in, 2, out, 2, TRUE, &event, &iosb);
    ASSERT_EQ(IoCallDriver(s.Top(), irp), STATUS_PENDING);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    static_cast<UCHAR*>(g_Held->AssociatedIrp.SystemBuffer)[0] = 0x42;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    CompleteWith(g_Held, STATUS_DEVICE_NOT_CONNECTED, 1);
    KeLowerIrql(old);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(out[0], 0); // an error copies nothing back
}

// Only the IRPs drivers build take an injected failure and are counted: the
// I/O manager's own (a file's create, request and close) and a device
// control built for a client's call are neither; a code narrows the failure.
TEST_F(IrpTest, InjectedFailuresReachOnlyTheIrpsDriversBuild)
{
    TestStack s(1);
    TestStack::Dispatch = Reverse;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    const auto sent = [&](ULONG code, BOOLEAN internal)
    {
        PIRP irp = IoBuildDeviceIoControlRequest(code, s.Top(), nullptr, 0, nullptr, 0, internal,
                                                 &event, &iosb);
        return irp != nullptr && NT_SUCCESS(IoCallDriver(s.Top(), irp));
    };
    EmuIoInjectDriverIrpFailure(0, 0); // every one from now on
    EXPECT_EQ(nullptr, IoAllocateIrp(1, FALSE));
    EXPECT_FALSE(sent(IOCTL_BUFFERED, TRUE));
    EXPECT_TRUE(sent(IOCTL_BUFFERED, FALSE));
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, EmuOpenFile(s.Top(), u"\\x", &file));
    EXPECT_EQ(STATUS_SUCCESS,
              EmuDeviceControl(file, IOCTL_BUFFERED, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_EQ(STATUS_SUCCESS, EmuCloseFile(file));
    EXPECT_EQ(0u, EmuIoDriverIrpCount());

    EmuIoInjectDriverIrpFailure(1, 1, IOCTL_NEITHER); // the second of that code
    PIRP allocated = IoAllocateIrp(1, FALSE);
    EXPECT_NE(nullptr, allocated);
    EXPECT_TRUE(sent(IOCTL_NEITHER, TRUE));
    EXPECT_TRUE(sent(IOCTL_BUFFERED, TRUE));
    EXPECT_FALSE(sent(IOCTL_NEITHER, TRUE));
    EXPECT_TRUE(sent(IOCTL_NEITHER, TRUE));
    EXPECT_EQ(4u, EmuIoDriverIrpCount());
    IoFreeIrp(allocated);
}

// A pool failure injected for any tag reaches no request the I/O manager
// makes for itself (a file's create, request and close, a PnP or power
// request), while the IRPs drivers build still fail with it.
TEST_F(IrpTest, PoolFailuresLeaveTheIoManagersOwnRequestsWhole)
{
    TestStack s(1);
    std::vector<UCHAR> majors;
    TestStack::Dispatch = [&majors](PDEVICE_OBJECT, PIRP irp)
    {
        majors.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
        return CompleteWith(irp, STATUS_SUCCESS);
    };
    EmuPoolInjectFailure(0, 0, 0); // every allocation of every tag from now on
    EXPECT_EQ(nullptr, IoAllocateIrp(1, FALSE));
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(nullptr, IoBuildDeviceIoControlRequest(IOCTL_BUFFERED, s.Top(), nullptr, 0, nullptr,
                                                     0, TRUE, nullptr, &iosb));
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, EmuOpenFile(s.Top(), u"\\x", &file));
    UCHAR in[4] = {1, 2, 3, 4}, out[4] = {};
    ULONG_PTR returned = 0;
    EXPECT_EQ(STATUS_SUCCESS,
              EmuDeviceControl(file, IOCTL_BUFFERED, in, sizeof(in), out, sizeof(out), &returned));
    EXPECT_EQ(STATUS_SUCCESS, EmuCloseFile(file));
    EXPECT_EQ(STATUS_SUCCESS, EmuPnpSendMinor(s.Bottom(), IRP_MN_QUERY_CAPABILITIES));
    EXPECT_EQ(STATUS_SUCCESS, EmuPoSendDevicePower(s.Bottom(), IRP_MN_SET_POWER, PowerDeviceD2));
    EmuPoolClearInjection();
    EXPECT_EQ((std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP,
                                  IRP_MJ_CLOSE, IRP_MJ_PNP, IRP_MJ_POWER}),
              majors);
}
