// A driver's-eye view of the emulated USB stack for the tests: one IRP that
// carries URBs and port requests to the physical device object, and a plugged
// reference device with the usual set-up steps.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "platform/io/io.h"
#include "platform/usb/emu_usb_bus.h"
#include "platform/usb/usbdlib.h"
#include "sim/devices/reference_devices.h"

class UsbCall
{
  public:
    UsbCall(EmuUsbBus* bus) : m_Bus(bus)
    {
        m_Irp = IoAllocateIrp(bus->PhysicalDeviceObject()->StackSize, FALSE);
        KeInitializeEvent(&m_Done, NotificationEvent, FALSE);
    }
    ~UsbCall()
    {
        if (m_Sent && !Completed)
        {
            IoCancelIrp(m_Irp);
            Wait(100);
        }
        IoFreeIrp(m_Irp);
    }
    UsbCall(const UsbCall&) = delete;
    UsbCall& operator=(const UsbCall&) = delete;

    NTSTATUS Send(ULONG code, PVOID argument1, PVOID type3 = nullptr, ULONG inputLength = 0)
    {
        if (m_Sent)
            IoReuseIrp(m_Irp, STATUS_NOT_SUPPORTED);
        m_Sent = true;
        Completed = false;
        KeClearEvent(&m_Done);
        PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(m_Irp);
        s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        s->Parameters.Others.Argument1 = argument1;
        s->Parameters.DeviceIoControl.IoControlCode = code;
        s->Parameters.DeviceIoControl.Type3InputBuffer = type3;
        s->Parameters.DeviceIoControl.InputBufferLength = inputLength;
        IoSetCompletionRoutine(m_Irp, OnDone, this, TRUE, TRUE, TRUE);
        Returned = IoCallDriver(m_Bus->PhysicalDeviceObject(), m_Irp);
        return Returned;
    }
    NTSTATUS Submit(PURB urb) { return Send(IOCTL_INTERNAL_USB_SUBMIT_URB, urb); }
    // Waits for the completion (the frame clock runs meanwhile).
    NTSTATUS Wait(LONGLONG maxMs = 2000)
    {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -maxMs * 10000;
        if (KeWaitForSingleObject(&m_Done, Executive, KernelMode, FALSE, &timeout) !=
            STATUS_SUCCESS)
            return STATUS_TIMEOUT;
        return Status;
    }
    NTSTATUS SubmitAndWait(PURB urb)
    {
        NTSTATUS s = Submit(urb);
        return s == STATUS_PENDING ? Wait() : s;
    }
    BOOLEAN Cancel() { return IoCancelIrp(m_Irp); }

    NTSTATUS Returned = STATUS_SUCCESS;
    NTSTATUS Status = STATUS_PENDING;
    bool Completed = false;
    KIRQL Irql = 0;
    ULONG CompletedAtFrame = 0;
    ULONG Sequence = 0;
    static inline ULONG s_Sequence = 0;

  private:
    static NTSTATUS OnDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto* self = static_cast<UsbCall*>(context);
        self->Completed = true;
        self->Status = irp->IoStatus.Status;
        self->Irql = KeGetCurrentIrql();
        self->CompletedAtFrame = self->m_Bus->CurrentFrame();
        self->Sequence = ++s_Sequence;
        KeSetEvent(&self->m_Done, 0, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    EmuUsbBus* m_Bus;
    PIRP m_Irp = nullptr;
    bool m_Sent = false;
    KEVENT m_Done;
};

// An isochronous URB with its own buffer.
struct IsoUrb
{
    std::vector<ULONGLONG> Storage; // 8-byte aligned
    std::vector<UCHAR> Data;
    PURB Urb() { return reinterpret_cast<PURB>(Storage.data()); }
    _URB_ISOCH_TRANSFER& Iso() { return Urb()->UrbIsochronousTransfer; }

    IsoUrb(USBD_PIPE_HANDLE pipe, bool in, const std::vector<ULONG>& lengths, ULONG flags,
           ULONG startFrame = 0)
    {
        ULONG size = GET_ISO_URB_SIZE((ULONG)lengths.size());
        Storage.assign((size + 7) / 8, 0);
        ULONG total = 0;
        for (ULONG l : lengths)
            total += l;
        Data.resize(total);
        auto& iso = Iso();
        iso.Hdr.Length = (USHORT)size;
        iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
        iso.PipeHandle = pipe;
        iso.TransferFlags = flags | (in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0);
        iso.TransferBuffer = Data.data();
        iso.TransferBufferLength = total;
        iso.StartFrame = startFrame;
        iso.NumberOfPackets = (ULONG)lengths.size();
        ULONG offset = 0;
        for (size_t i = 0; i < lengths.size(); ++i)
        {
            iso.IsoPacket[i].Offset = offset;
            offset += lengths[i];
        }
    }
};

class UsbBusTest : public ::testing::Test
{
  protected:
    void Plug(SimReference which)
    {
        m_Device = SimCreateReferenceDevice(which);
        ASSERT_NE(m_Device, nullptr);
        ASSERT_EQ(EmuUsbBus::Create(m_Device.get(), u"USB\\VID_4C54&PID_1001\\1", &m_Bus),
                  STATUS_SUCCESS);
    }
    void TearDown() override
    {
        m_Bus.reset();
        m_Device.reset();
    }
    EmuUsbBus* Bus() { return m_Bus.get(); }
    SimUsbDevice& Dev() { return *m_Device; }

    NTSTATUS GetDescriptor(UCHAR type, UCHAR index, USHORT language, std::vector<UCHAR>* out,
                           ULONG length)
    {
        URB urb{};
        out->assign(length, 0);
        UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type,
                                     index, language, out->data(), nullptr, length, nullptr);
        UsbCall call(Bus());
        NTSTATUS status = call.SubmitAndWait(&urb);
        out->resize(urb.UrbControlDescriptorRequest.TransferBufferLength);
        return status;
    }

    // Reads the configuration and selects it with every interface at
    // setting 0; keeps the returned interface records.
    void Configure()
    {
        std::vector<UCHAR> head;
        ASSERT_EQ(GetDescriptor(2, 0, 0, &head, 9), STATUS_SUCCESS);
        ASSERT_EQ(GetDescriptor(2, 0, 0, &m_Config, head[2] | head[3] << 8), STATUS_SUCCESS);
        auto* c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(m_Config.data());
        std::vector<USBD_INTERFACE_LIST_ENTRY> list(c->bNumInterfaces + 1);
        for (UCHAR i = 0; i < c->bNumInterfaces; ++i)
            list[i].InterfaceDescriptor =
                USBD_ParseConfigurationDescriptorEx(c, c, i, 0, -1, -1, -1);
        PURB urb = USBD_CreateConfigurationRequestEx(c, list.data());
        ASSERT_NE(urb, nullptr);
        UsbCall call(Bus());
        ASSERT_EQ(call.Submit(urb), STATUS_PENDING);
        ASSERT_EQ(call.Wait(), STATUS_SUCCESS);
        EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_SUCCESS);
        m_ConfigHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
        m_Interfaces.clear();
        for (UCHAR i = 0; i < c->bNumInterfaces; ++i)
        {
            PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
            m_Interfaces.emplace_back((UCHAR*)info, (UCHAR*)info + info->Length);
        }
        ExFreePool(urb);
    }

    // Selects a setting; returns its pipes.
    std::vector<USBD_PIPE_INFORMATION> Select(UCHAR interfaceNumber, UCHAR setting, ULONG pipes,
                                              NTSTATUS expect = STATUS_SUCCESS)
    {
        ULONG size = GET_SELECT_INTERFACE_REQUEST_SIZE(pipes);
        std::vector<ULONGLONG> storage((size + 7) / 8, 0);
        PURB urb = reinterpret_cast<PURB>(storage.data());
        UsbBuildSelectInterfaceRequest(urb, (USHORT)size, m_ConfigHandle, interfaceNumber, setting);
        UsbCall call(Bus());
        EXPECT_EQ(call.SubmitAndWait(urb), expect);
        PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectInterface.Interface;
        std::vector<USBD_PIPE_INFORMATION> result;
        for (ULONG i = 0; i < info->NumberOfPipes && i < pipes; ++i)
            result.push_back(info->Pipes[i]);
        return result;
    }

    NTSTATUS ClassRequest(USHORT function, bool in, UCHAR request, USHORT value, USHORT index,
                          std::vector<UCHAR>* data, USBD_STATUS* usbd = nullptr)
    {
        URB urb{};
        UsbBuildVendorRequest(&urb, function, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                              in ? USBD_TRANSFER_DIRECTION_IN : 0, 0, request, value, index,
                              data->empty() ? nullptr : data->data(), nullptr, (ULONG)data->size(),
                              nullptr);
        UsbCall call(Bus());
        NTSTATUS status = call.SubmitAndWait(&urb);
        data->resize(urb.UrbControlVendorClassRequest.TransferBufferLength);
        if (usbd)
            *usbd = urb.UrbHeader.Status;
        return status;
    }

    std::unique_ptr<SimUsbDevice> m_Device;
    std::unique_ptr<EmuUsbBus> m_Bus;
    std::vector<UCHAR> m_Config;
    USBD_CONFIGURATION_HANDLE m_ConfigHandle = nullptr;
    std::vector<std::vector<UCHAR>> m_Interfaces;
};
