// The adapter's USB device I/O against the simulated devices on the emulated
// bus: synchronous URBs and their time-out, the device-gone path, port reset
// versus cycle, descriptor reads and the configuration selection.
#include <gtest/gtest.h>

#include "platform/io/io_emu.h"
#include "platform/kernel/emu.h"
#include "platform/usb/usbdlib.h"
#include "tests/driver/adapter_rig.h"

namespace
{
// A GET_DESCRIPTOR URB for the device descriptor into `buffer`.
void BuildDeviceDescriptorUrb(URB* urb, USB_DEVICE_DESCRIPTOR* buffer)
{
    RtlZeroMemory(urb, sizeof(*urb));
    UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, nullptr, sizeof(*buffer),
                                 nullptr);
}

void BuildStringUrb(URB* urb, UCHAR index, void* buffer, ULONG length)
{
    RtlZeroMemory(urb, sizeof(*urb));
    UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_STRING_DESCRIPTOR_TYPE, index, 0x0409, buffer, nullptr, length,
                                 nullptr);
}

std::vector<std::string> ClassLog()
{
    return ClassScript().Log;
}
} // namespace

TEST(UsbIo, InitReadsDescriptorsAndSelectsEveryInterface)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    CAdapterCommon* a = rig.Adapter();
    EXPECT_EQ(0x4C54, a->GetVendorId());
    EXPECT_EQ(0x1001, a->GetProductId());
    EXPECT_EQ(1, a->GetManufacturerIndex());
    EXPECT_EQ(2, a->GetProductIndex());
    EXPECT_EQ((CCHAR)(rig.Fdo()->StackSize + 1), a->GetIrpStackSize());

    const auto& config = rig.Device()->Descriptors().Configuration();
    auto* held = reinterpret_cast<const UCHAR*>(rig.UsbIo()->GetConfigurationDescriptor());
    ASSERT_NE(nullptr, held);
    EXPECT_EQ(config, std::vector<UCHAR>(held, held + config.size()));
    SIZE_T size = 0;
    ULONG tag = 0;
    ASSERT_TRUE(EmuPoolIsBlock(held, &size, &tag));
    EXPECT_EQ(config.size(), size);
    EXPECT_EQ(POOL_TAG("USBd"), tag);

    // Control, playback and capture interfaces, each at setting 0.
    ASSERT_EQ(3u, a->GetInterfaceCount());
    for (ULONG i = 0; i < 3; ++i)
    {
        PUSBD_INTERFACE_INFORMATION info = a->GetInterfaceInformation(i);
        ASSERT_NE(nullptr, info);
        EXPECT_EQ(i, info->InterfaceNumber);
        EXPECT_EQ(0, info->AlternateSetting);
        EXPECT_GE(info->Length, GET_USBD_INTERFACE_SIZE(info->NumberOfPipes));
    }
    EXPECT_EQ(nullptr, a->GetInterfaceInformation(3));
    EXPECT_NE(nullptr, rig.UsbIo()->GetConfigurationHandle());
    EXPECT_EQ(1, rig.Device()->Configuration());
    EXPECT_EQ(0, rig.UsbIo()->GetAudioControlInterfaceNumber());
    EXPECT_FALSE(rig.UsbIo()->IsHighSpeed());
    EXPECT_EQ(rig.Lower(), rig.UsbIo()->GetLowerDeviceObject());
    EXPECT_EQ(1, a->GetBusyCount());
    EXPECT_EQ(0, a->GetActiveStreamCount());
    EXPECT_EQ(1, rig.Bus()->BusInterfaceReferences());
    rig.Release();
    // The adapter gives its bus interface reference back.
    EXPECT_EQ(0, rig.Bus()->BusInterfaceReferences());
}

TEST(UsbIo, HighSpeedDeviceIsReportedByTheBusInterface)
{
    UsbAdapterRig rig(SimCreateReferenceDevice(SimReference::Uac2HighSpeed),
                      u"USB\\VID_4C54&PID_2003\\5&1a2b&0&2");
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    EXPECT_TRUE(rig.UsbIo()->IsHighSpeed());
}

TEST(UsbIo, SubmitUrbSyncWaitsForThePendingUrb)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    URB urb;
    USB_DEVICE_DESCRIPTOR device = {};
    BuildDeviceDescriptorUrb(&urb, &device);
    ULONGLONG before = EmuNow();
    EXPECT_EQ(STATUS_SUCCESS, rig.UsbIo()->SubmitUrbSync(&urb));
    // The bus completes control transfers at the next frame.
    EXPECT_GT(EmuNow(), before);
    EXPECT_EQ(USBD_STATUS_SUCCESS, urb.UrbHeader.Status);
    EXPECT_EQ(18u, urb.UrbControlDescriptorRequest.TransferBufferLength);
    EXPECT_EQ(0x1001, device.idProduct);
    EXPECT_EQ(1, rig.Adapter()->GetBusyCount());
}

TEST(UsbIo, UrbThatNeverCompletesIsCancelledAfterHalfASecond)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    rig.Device()->InjectControlFault(DescriptorRequest(USB_STRING_DESCRIPTOR_TYPE, 2),
                                     SimFaultKind::NoResponse);
    URB urb;
    UCHAR buffer[64];
    BuildStringUrb(&urb, 2, buffer, sizeof(buffer));
    ULONGLONG before = EmuNow();
    EXPECT_EQ(STATUS_CANCELLED, rig.UsbIo()->SubmitUrbSync(&urb));
    ULONGLONG waited = EmuNow() - before;
    EXPECT_GE(waited, 5000000u);
    EXPECT_LT(waited, 5000000u + 20000u); // the cancellation takes at most a frame or two
    EXPECT_EQ(USBD_STATUS_CANCELED, urb.UrbHeader.Status);
    EXPECT_EQ(0u, rig.Bus()->PendingRequestCount());
    // A time-out is no sign of a gone device.
    EXPECT_TRUE(rig.Adapter()->IsDevicePresent());
    EXPECT_EQ(1, rig.Adapter()->GetBusyCount());
    // The next request goes through.
    BuildStringUrb(&urb, 2, buffer, sizeof(buffer));
    EXPECT_EQ(STATUS_SUCCESS, rig.UsbIo()->SubmitUrbSync(&urb));
}

// After the cancel the request is still the bus's until it completes: the
// sender waits for that completion before it frees the IRP (the bus holding
// it while it is freed is a kernel failure) and reports its status.
TEST(UsbIo, TimedOutUrbIsWaitedForUntilTheBusCompletesTheCancel)
{
    for (ULONG delay : {0u, 1u, 7u})
    {
        SCOPED_TRACE(delay);
        UsbAdapterRig rig;
        ASSERT_TRUE(rig.Ok());
        ASSERT_EQ(STATUS_SUCCESS, rig.Start());
        rig.Bus()->SetCancelDelayFrames(delay);
        rig.Device()->InjectControlFault(DescriptorRequest(USB_STRING_DESCRIPTOR_TYPE, 2),
                                         SimFaultKind::NoResponse);
        URB urb;
        UCHAR buffer[64];
        BuildStringUrb(&urb, 2, buffer, sizeof(buffer));
        const ULONGLONG before = EmuNow();
        EXPECT_EQ(STATUS_CANCELLED, rig.UsbIo()->SubmitUrbSync(&urb));
        const ULONGLONG waited = EmuNow() - before;
        // Half a second, then the frames the bus takes over the cancel.
        EXPECT_GE(waited, 5000000u + delay * 10000u);
        EXPECT_LT(waited, 5000000u + (delay + 2) * 10000u);
        EXPECT_EQ(USBD_STATUS_CANCELED, urb.UrbHeader.Status);
        EXPECT_EQ(0u, rig.Bus()->PendingRequestCount());
        EXPECT_EQ(1, rig.Adapter()->GetBusyCount());
    }
}

TEST(UsbIo, SynchronousCompletionReturnsTheCallStatusWithoutWaiting)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    rig.Script().UrbStatus = STATUS_INVALID_PARAMETER;
    URB urb;
    USB_DEVICE_DESCRIPTOR device = {};
    BuildDeviceDescriptorUrb(&urb, &device);
    ULONGLONG before = EmuNow();
    EXPECT_EQ(STATUS_INVALID_PARAMETER, rig.UsbIo()->SubmitUrbSync(&urb));
    EXPECT_EQ(before, EmuNow());
    EXPECT_TRUE(rig.Adapter()->IsDevicePresent());
}

TEST(UsbIo, DeviceNotConnectedMarksTheDeviceGoneForEveryLaterCaller)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    rig.Script().UrbStatus = STATUS_DEVICE_NOT_CONNECTED;
    URB urb;
    USB_DEVICE_DESCRIPTOR device = {};
    BuildDeviceDescriptorUrb(&urb, &device);
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, rig.UsbIo()->SubmitUrbSync(&urb));
    EXPECT_FALSE(rig.Adapter()->IsDevicePresent());
    ULONG urbs = rig.Script().Urbs;
    // Later requests fail before any IRP is built.
    EXPECT_EQ(STATUS_UNSUCCESSFUL, rig.UsbIo()->SubmitUrbSync(&urb));
    EXPECT_EQ(urbs, rig.Script().Urbs);
    EXPECT_TRUE(rig.UsbIo()->ResetPortIfNeeded());
    EXPECT_EQ(0u, rig.Script().PortStatusRequests);
    // Only the owner can say otherwise.
    EXPECT_EQ(STATUS_SUCCESS, rig.UsbIo()->SetDevicePresent(1));
    rig.Script().UrbStatus = STATUS_PENDING;
    EXPECT_EQ(STATUS_SUCCESS, rig.UsbIo()->SubmitUrbSync(&urb));
}

TEST(UsbIo, UnpluggedDeviceIsRetriedOnceThenCycled)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    rig.Bus()->Unplug();
    URB urb;
    USB_DEVICE_DESCRIPTOR device = {};
    BuildDeviceDescriptorUrb(&urb, &device);
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, rig.UsbIo()->SubmitUrbSync(&urb));
    EXPECT_TRUE(rig.Adapter()->IsDevicePresent());

    ULONGLONG before = EmuNow();
    EXPECT_TRUE(rig.UsbIo()->ResetPortIfNeeded());
    EXPECT_GE(EmuNow() - before, 1000000u); // the 100 ms pause before the retry
    EXPECT_EQ(2u, rig.Script().PortStatusRequests);
    EXPECT_EQ(0u, rig.Script().PortResets);
    EXPECT_EQ(1u, rig.Script().PortCycles);
    EXPECT_FALSE(rig.Adapter()->IsDevicePresent());

    before = EmuNow();
    EXPECT_TRUE(rig.UsbIo()->ResetPortIfNeeded());
    EXPECT_TRUE(rig.UsbIo()->CyclePort());
    EXPECT_EQ(before, EmuNow());
    EXPECT_EQ(2u, rig.Script().PortStatusRequests);
    EXPECT_EQ(1u, rig.Script().PortCycles);
}

TEST(UsbIo, ConnectedPortAnswersThatTheDeviceIsThere)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    ClassScript().Log.clear();
    EXPECT_FALSE(rig.UsbIo()->ResetPortIfNeeded());
    EXPECT_EQ(1u, rig.Script().PortStatusRequests);
    EXPECT_EQ(0u, rig.Bus()->PortResetCount());
    EXPECT_TRUE(ClassLog().empty());
}

TEST(UsbIo, PortFoundOnRetryIsResetAndTheDeviceRestarted)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    ClassScript().Log.clear();
    rig.Bus()->InjectPortStatusFailure(STATUS_NO_SUCH_DEVICE, 1);
    ULONGLONG before = EmuNow();
    EXPECT_FALSE(rig.UsbIo()->ResetPortIfNeeded());
    EXPECT_GE(EmuNow() - before, 1000000u);
    EXPECT_EQ(2u, rig.Script().PortStatusRequests);
    EXPECT_EQ(1u, rig.Bus()->PortResetCount());
    EXPECT_EQ(0u, rig.Bus()->PortCycleCount());
    // D3, then D0, through the device object's own power management.
    EXPECT_EQ((std::vector<std::string>{"power 4", "power 1"}), ClassLog());
    EXPECT_TRUE(rig.Adapter()->IsDevicePresent());
    // The device is configured again after the reset and still answers.
    URB urb;
    USB_DEVICE_DESCRIPTOR device = {};
    BuildDeviceDescriptorUrb(&urb, &device);
    EXPECT_EQ(STATUS_SUCCESS, rig.UsbIo()->SubmitUrbSync(&urb));
}

TEST(UsbIo, PortMissingTwiceIsCycledOnce)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    ClassScript().Log.clear();
    rig.Bus()->InjectPortStatusFailure(STATUS_NO_SUCH_DEVICE, 2);
    EXPECT_TRUE(rig.UsbIo()->ResetPortIfNeeded());
    EXPECT_EQ(1u, rig.Bus()->PortCycleCount());
    EXPECT_EQ(0u, rig.Bus()->PortResetCount());
    EXPECT_TRUE(ClassLog().empty());
    // Gone: answered at once, without touching the port.
    EXPECT_TRUE(rig.UsbIo()->ResetPortIfNeeded());
    EXPECT_EQ(2u, rig.Script().PortStatusRequests);
    EXPECT_EQ(1u, rig.Bus()->PortCycleCount());
}

// The second look at a port that said it has no device: any failure cycles
// the port once; a port found then is reset and the device object stopped
// and restarted, but only where the reset could be sent.
TEST(UsbIo, TheSecondPortLookCyclesOrResets)
{
    const struct
    {
        const char* Name;
        NTSTATUS Second; // the second look's answer, with the port connected
        ULONG Unbuilt;   // the code of a request that cannot be built, or 0
        ULONG Resets, Cycles;
        std::vector<std::string> Restart;
    } rows[] = {
        {"gone", STATUS_NO_SUCH_DEVICE, 0, 0, 1, {}},
        {"refused", STATUS_UNSUCCESSFUL, 0, 0, 1, {}},
        {"found", STATUS_SUCCESS, 0, 1, 0, {"power 4", "power 1"}},
        {"reset unbuilt", STATUS_SUCCESS, IOCTL_INTERNAL_USB_RESET_PORT, 0, 0, {}},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Name);
        UsbAdapterRig rig;
        ASSERT_TRUE(rig.Ok());
        ASSERT_EQ(STATUS_SUCCESS, rig.Start());
        ClassScript().Log.clear();
        rig.Script().PortStatus = {{STATUS_NO_SUCH_DEVICE, 0},
                                   {row.Second, USBD_PORT_CONNECTED | USBD_PORT_ENABLED}};
        if (row.Unbuilt != 0)
            EmuIoInjectDriverIrpFailure(0, 1, row.Unbuilt);
        EXPECT_EQ(row.Cycles != 0, rig.UsbIo()->ResetPortIfNeeded() != FALSE);
        EmuIoClearDriverIrpInjection();
        EXPECT_EQ(2u, rig.Script().PortStatusRequests);
        EXPECT_EQ(row.Resets, rig.Script().PortResets);
        EXPECT_EQ(row.Cycles, rig.Script().PortCycles);
        EXPECT_EQ(row.Cycles == 0, rig.Adapter()->IsDevicePresent() != FALSE);
        EXPECT_EQ(row.Restart, ClassLog());
    }
}

TEST(UsbIo, RetryThatFindsNoConnectionMarksTheDeviceGone)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    rig.Script().PortStatus = {{STATUS_NO_SUCH_DEVICE, 0}, {STATUS_SUCCESS, USBD_PORT_ENABLED}};
    EXPECT_TRUE(rig.UsbIo()->ResetPortIfNeeded());
    EXPECT_EQ(0u, rig.Script().PortResets);
    EXPECT_EQ(0u, rig.Script().PortCycles);
    EXPECT_FALSE(rig.Adapter()->IsDevicePresent());
}

TEST(UsbIo, PortStatusWithoutConnectedBitMarksTheDeviceGone)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    // The request itself succeeds; the port says nothing is plugged in.
    rig.Script().PortStatus = {{STATUS_SUCCESS, USBD_PORT_ENABLED}};
    ULONGLONG before = EmuNow();
    EXPECT_TRUE(rig.UsbIo()->ResetPortIfNeeded());
    EXPECT_EQ(before, EmuNow());
    EXPECT_FALSE(rig.Adapter()->IsDevicePresent());
    EXPECT_EQ(0u, rig.Script().PortResets);
    EXPECT_EQ(0u, rig.Script().PortCycles);
}

TEST(UsbIo, OtherPortStatusFailuresMarkTheDeviceGoneWithoutRetry)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    rig.Bus()->InjectPortStatusFailure(STATUS_UNSUCCESSFUL, 1);
    ULONGLONG before = EmuNow();
    EXPECT_TRUE(rig.UsbIo()->ResetPortIfNeeded());
    EXPECT_EQ(before, EmuNow());
    EXPECT_EQ(1u, rig.Script().PortStatusRequests);
    EXPECT_EQ(0u, rig.Script().PortCycles);
}

// A cycle that cannot be built for want of memory cycled nothing: the device
// stays, and a later call cycles the port.
TEST(UsbIo, CycleThatCannotBeBuiltIsLeftToALaterCall)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    EmuIoInjectDriverIrpFailure(0, 1);
    EXPECT_FALSE(rig.UsbIo()->CyclePort());
    EXPECT_TRUE(rig.Adapter()->IsDevicePresent());
    EXPECT_TRUE(rig.UsbIo()->CyclePort());
    EXPECT_EQ(1u, rig.Script().PortCycles);
}

TEST(UsbIo, CyclePortCyclesAtMostOnce)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    EXPECT_TRUE(rig.UsbIo()->CyclePort());
    EXPECT_EQ(1u, rig.Bus()->PortCycleCount());
    EXPECT_FALSE(rig.Adapter()->IsDevicePresent());
    // Even when told the device is back, the port is not cycled again.
    rig.UsbIo()->SetDevicePresent(1);
    EXPECT_FALSE(rig.UsbIo()->CyclePort());
    EXPECT_EQ(1u, rig.Script().PortCycles);
}

TEST(UsbIo, FrameNumberComesFromTheBusClock)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    ULONG frame = 0xFFFFFFFF;
    EXPECT_EQ(STATUS_SUCCESS, rig.UsbIo()->GetCurrentFrameNumber(&frame));
    EXPECT_EQ(rig.Bus()->CurrentFrame(), frame);
    EmuAdvanceMs(7);
    ULONG later = 0;
    rig.UsbIo()->GetCurrentFrameNumber(&later);
    EXPECT_EQ(frame + 7, later);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, rig.UsbIo()->GetCurrentFrameNumber(nullptr));
}

TEST(UsbIo, FrameNumberIsZeroWithoutBusInterface)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Create());
    ULONG frame = 1234;
    EXPECT_FALSE(NT_SUCCESS(rig.UsbIo()->GetCurrentFrameNumber(&frame)));
    EXPECT_EQ(0u, frame);
}

TEST(UsbIo, IrpsCarryTheAdapterLocationAndReachTheLowerDevice)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    PIRP irp = rig.UsbIo()->AllocateIrp();
    ASSERT_NE(nullptr, irp);
    EXPECT_EQ(rig.Fdo()->StackSize + 1, irp->StackCount);
    EXPECT_EQ(0, irp->AllocationFlags & IRP_QUOTA_CHARGED);
    EXPECT_EQ(STATUS_SUCCESS, rig.UsbIo()->FreeIrp(irp));

    // A caller's own request with its completion routine.
    irp = rig.UsbIo()->AllocateIrp();
    URB urb;
    USB_DEVICE_DESCRIPTOR device = {};
    BuildDeviceDescriptorUrb(&urb, &device);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &urb;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS
        {
            KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &done, TRUE, TRUE, TRUE);
    ULONG urbs = rig.Script().Urbs;
    EXPECT_EQ(STATUS_PENDING, rig.UsbIo()->CallLowerDriver(irp));
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(STATUS_SUCCESS, irp->IoStatus.Status);
    EXPECT_EQ(urbs + 1, rig.Script().Urbs);
    EXPECT_EQ(0x4C54, device.idVendor);
    rig.UsbIo()->FreeIrp(irp);
}

// ----------------------------------------------------------------------------
// What the device sends is checked before anything parses it.

TEST(UsbIo, ShortDeviceDescriptorIsRefused)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    rig.Device()->InjectControlFault(DescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, 0),
                                     SimFaultKind::ShortRead, 1, 0, 8);
    ASSERT_EQ(STATUS_SUCCESS, rig.Create());
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, rig.Init());
    EXPECT_EQ(nullptr, rig.UsbIo()->GetConfigurationDescriptor());
    EXPECT_EQ(0, rig.Device()->Configuration());
    EXPECT_EQ(0, ClassScript().Created);
}

TEST(UsbIo, ShortConfigurationHeaderIsRefused)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    rig.Device()->InjectControlFault(DescriptorRequest(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0),
                                     SimFaultKind::ShortRead, 1, 0, 4);
    ASSERT_EQ(STATUS_SUCCESS, rig.Create());
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, rig.Init());
    EXPECT_EQ(nullptr, rig.UsbIo()->GetConfigurationDescriptor());
    EXPECT_EQ(1u, DescriptorReads(rig.Device(), USB_CONFIGURATION_DESCRIPTOR_TYPE, 0));
}

TEST(UsbIo, TotalLengthBelowTheHeaderIsRefusedBeforeTheWholeRead)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    auto header = rig.Device()->Descriptors().Configuration();
    header.resize(9);
    header[2] = 5; // wTotalLength 5
    header[3] = 0;
    rig.Device()->ScriptRequest(DescriptorRequest(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0), header);
    ASSERT_EQ(STATUS_SUCCESS, rig.Create());
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, rig.Init());
    EXPECT_EQ(1u, DescriptorReads(rig.Device(), USB_CONFIGURATION_DESCRIPTOR_TYPE, 0));
    EXPECT_EQ(nullptr, rig.UsbIo()->GetConfigurationDescriptor());
}

TEST(UsbIo, ShortWholeConfigurationIsRefusedAndFreed)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    // The header arrives whole, the configuration 100 bytes short of it.
    rig.Device()->InjectControlFault(DescriptorRequest(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0),
                                     SimFaultKind::ShortRead, 1, 1, 148);
    ASSERT_EQ(STATUS_SUCCESS, rig.Create());
    SIZE_T blocks = EmuPoolOutstandingCount(POOL_TAG("USBd"));
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, rig.Init());
    EXPECT_EQ(nullptr, rig.UsbIo()->GetConfigurationDescriptor());
    EXPECT_EQ(blocks, EmuPoolOutstandingCount(POOL_TAG("USBd")));
    EXPECT_EQ(0, rig.Device()->Configuration());
}

TEST(UsbIo, ConfigurationWhoseLengthChangesBetweenReadsIsRefused)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    // The second answer claims more than the first and than was read.
    auto config = rig.Device()->Descriptors().Configuration();
    ULONG total = config[2] | config[3] << 8;
    auto header = std::vector<UCHAR>(config.begin(), config.begin() + 9);
    header[2] = (UCHAR)(total - 40);
    header[3] = (UCHAR)((total - 40) >> 8);
    rig.Device()->ScriptRequest(DescriptorRequest(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0), header);
    ASSERT_EQ(STATUS_SUCCESS, rig.Create());
    // Both reads get the scripted 9 bytes; the whole read is short.
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, rig.Init());
    EXPECT_EQ(nullptr, rig.UsbIo()->GetConfigurationDescriptor());
}

TEST(UsbIo, MissingBusInterfaceFailsTheSetUp)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    rig.Script().RefuseBusInterface = true;
    ASSERT_EQ(STATUS_SUCCESS, rig.Create());
    EXPECT_EQ(STATUS_UNSUCCESSFUL, rig.Init());
    EXPECT_EQ(nullptr, rig.Adapter()->GetUsbBusInterface().BusContext);
    EXPECT_FALSE(rig.UsbIo()->IsHighSpeed());
    EXPECT_EQ(0, ClassScript().Created);
}

TEST(UsbIo, ConfigurationClaimingMoreInterfacesSelectsThoseItHas)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    auto config = rig.Device()->Descriptors().Configuration();
    config[4] = 5; // bNumInterfaces 5, three present
    rig.Device()->ScriptRequest(DescriptorRequest(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0), config);
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    EXPECT_EQ(3u, rig.Adapter()->GetInterfaceCount());
    EXPECT_EQ(1, rig.Device()->Configuration());
}

TEST(UsbIo, RequestsBeforeInitTouchNothing)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Create());
    URB urb = {};
    EXPECT_EQ(STATUS_UNSUCCESSFUL, rig.UsbIo()->SubmitUrbSync(&urb));
    EXPECT_TRUE(rig.UsbIo()->ResetPortIfNeeded());
    rig.UsbIo()->SetDevicePresent(1);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, rig.UsbIo()->SubmitUrbSync(&urb));
    // No lower device to cycle: gone.
    EXPECT_TRUE(rig.UsbIo()->CyclePort());
    EXPECT_FALSE(rig.Adapter()->IsDevicePresent());
    EXPECT_EQ(0u, rig.Script().Urbs + rig.Script().PortCycles);

    EXPECT_EQ(STATUS_UNSUCCESSFUL, rig.Adapter()->SelectConfiguration());
    EXPECT_EQ(STATUS_UNSUCCESSFUL, rig.UsbIo()->SelectDeviceClass());
}

TEST(UsbIo, AllocationFailuresLeaveNothingBehind)
{
    // Every USBd allocation of the set-up in turn.
    for (ULONG skip = 0; skip < 12; ++skip)
    {
        UsbAdapterRig rig;
        ASSERT_TRUE(rig.Ok());
        ASSERT_EQ(STATUS_SUCCESS, rig.Create());
        EmuPoolInjectFailure(POOL_TAG("USBd"), skip, 1);
        NTSTATUS status = rig.Init();
        EmuPoolClearInjection();
        if (NT_SUCCESS(status))
            break; // past the last allocation of the set-up
        EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status) << "allocation " << skip;
    }
}
