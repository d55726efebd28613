// The emulated USB stack below a function driver: one hub port with the
// device plugged into it, seen by the driver as a physical device object that
// takes IRP_MJ_INTERNAL_DEVICE_CONTROL (URBs, port status, reset, cycle, idle
// notification) and IRP_MN_QUERY_INTERFACE (USBDI bus interface).
//
// Timing: a host controller with a 1 ms frame clock on the kernel's clock (a
// periodic KTIMER and DPC; eight microframes per frame at high speed). Every
// request that succeeds pends and is completed from the frame DPC at
// DISPATCH_LEVEL, never inside IoCallDriver; requests that are refused fail at
// once. Control transfers complete at the next frame; an isochronous transfer
// completes at the end of its last frame. A cancelled or aborted transfer
// completes from a frame DPC too, never inside IoCancelIrp, so a caller that
// stops waiting after its cancel is caught with the IRP still out.
#pragma once

#include <list>
#include <memory>
#include <vector>

#include "platform/io/io.h"
#include "platform/usb/emu_usb_function.h"

class EmuUsbBus
{
  public:
    // Creates the bus driver and the physical device object of the device
    // and starts the frame clock. The device must outlive the bus.
    static NTSTATUS Create(EmuUsbFunction* device, const WCHAR* instancePath,
                           std::unique_ptr<EmuUsbBus>* bus);
    // Removes the device: fails what is pending, stops the frame clock,
    // deletes the physical device object and the bus driver. Call from a
    // thread at PASSIVE_LEVEL, after the function driver has let go of it.
    ~EmuUsbBus();

    PDEVICE_OBJECT PhysicalDeviceObject() const { return m_Pdo; }
    EmuUsbFunction* Device() const { return m_Device; }
    ULONG CurrentFrame() const { return m_Frame; }
    bool IsHighSpeed() const { return m_Device->Speed() == EmuUsbSpeed::High; }
    bool IsPresent() const { return m_Present; }
    // The configuration the bus selected: 0 before one, or after a
    // selection the device took but whose interfaces the bus refused.
    UCHAR SelectedConfiguration() const { return m_ConfigValue; }

    // ---- test controls
    // Surprise removal now, or when the frame clock reaches `frame`: every
    // request pending or sent afterwards fails with STATUS_NO_SUCH_DEVICE
    // (URB status USBD_STATUS_DEVICE_GONE).
    void Unplug();
    void UnplugAtFrame(ULONG frame);
    // Surprise removal while request number `ordinal` (counted as RequestCount
    // counts) is on the wire: it and every later request fail as above, at
    // the frame after it arrives. 0 cancels.
    void UnplugAtRequest(ULONG ordinal) { m_UnplugRequest = ordinal; }
    // Internal requests the bus has been sent since it was created (URBs,
    // port requests, idle notifications), refused ones included.
    ULONG RequestCount() const { return m_Requests; }
    // The next `count` port-status requests fail with `status`.
    void InjectPortStatusFailure(NTSTATUS status, ULONG count = 1);
    // The next `count` port-status requests succeed with these port bits
    // (a port that lost its device before the hub noticed: 0).
    void InjectPortStatusBits(ULONG bits, ULONG count = 1);
    ULONG PortResetCount() const { return m_PortResets; }
    ULONG PortCycleCount() const { return m_PortCycles; }
    // Isochronous transfers whose packets have all been through the bus.
    ULONG CompletedIsochTransfers() const { return m_IsochCompleted; }
    size_t PendingRequestCount() const;
    // The idle notification: whether one is held, and whether its callback
    // has been called. With automatic idle on (the default) the callback runs
    // from a work item at PASSIVE_LEVEL as soon as the request arrives.
    bool IdleRequestPending() const { return m_IdleIrp != nullptr; }
    bool IdleCallbackCalled() const { return m_IdleCalled; }
    void SetAutomaticIdle(bool on) { m_AutoIdle = on; }
    // Calls the held request's idle callback in the calling thread (PASSIVE);
    // false when there is none or it already ran.
    bool RunIdleCallback();
    // A cancelled transfer completes at the frame DPC after the cancel (0),
    // or that many frames later; an aborted one that many frames after the
    // abort runs, and the abort completes after its transfers.
    void SetCancelDelayFrames(ULONG frames) { m_CancelDelay = frames; }
    // A frame clock `ppm` parts per million off the kernel's: now and then a
    // tick of the timer runs two frames (faster) or none (slower).
    void SetFrameClockPpm(LONG ppm) { m_FrameClockPpm = ppm; }
    // USBDI interface references taken through IRP_MN_QUERY_INTERFACE and not
    // yet dropped.
    LONG BusInterfaceReferences() const { return m_InterfaceRefs; }

  private:
    struct Pipe
    {
        bool Active = false;
        UCHAR InterfaceNumber = 0;
        UCHAR Address = 0;
        UCHAR Attributes = 0;
        UCHAR Interval = 0;
        USHORT MaxPacket = 0; // bytes per (micro)frame, transactions included
        bool Halted = false;
        bool Scheduled = false; // an isochronous stream continues at NextFrame
        ULONG NextFrame = 0;
        ULONG PacketsPerFrame = 1;
    };
    enum class Kind
    {
        Control,
        SelectConfiguration,
        SelectInterface,
        Isoch,
        InterruptOrBulk,
        PipeRequest,
        FrameNumber,
        PortStatus,
        PortReset,
        PortCycle,
        Idle,
        Hung // a control transfer the device never answers
    };
    struct Transfer
    {
        PIRP Irp = nullptr;
        PURB Urb = nullptr;
        Kind What = Kind::Control;
        Pipe* PipePtr = nullptr;
        USB_DEFAULT_PIPE_SETUP_PACKET Setup{};
        PUCHAR Buffer = nullptr;
        ULONG StartFrame = 0;
        ULONG Frames = 0;
        PULONG PortStatus = nullptr;
        bool Cancelled = false;   // completes cancelled at the end of CancelFrame
        bool CancelOwned = false; // IoCancelIrp took its cancel routine: the bus owns it
        ULONG CancelFrame = 0;
        bool Waiting = false; // an abort waiting for its pipe's cancelled transfers
    };
    struct Completion
    {
        PIRP Irp;
        NTSTATUS Status;
        ULONG_PTR Information;
    };

    EmuUsbBus() = default;
    static NTSTATUS DispatchInternal(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp);
    static void CancelRoutine(PDEVICE_OBJECT device, PIRP irp);
    static void FrameDpc(PKDPC dpc, PVOID context, PVOID, PVOID);
    static void IdleWorkItem(PDEVICE_OBJECT device, PVOID context);
    static NTSTATUS QueryBusTime(PVOID context, PULONG frame);
    static BOOLEAN IsDeviceHighSpeed(PVOID context);
    static void GetUsbdiVersion(PVOID context, PUSBD_VERSION_INFORMATION info, PULONG caps);
    static NTSTATUS SubmitIsoOutUrb(PVOID context, PURB urb);
    static NTSTATUS QueryBusInformation(PVOID context, ULONG level, PVOID buffer, PULONG length,
                                        PULONG actual);
    static void InterfaceReference(PVOID context);
    static void InterfaceDereference(PVOID context);

    // One URB function: the shortest URB the bus reads for it, the routine that
    // checks and queues it, and the request type and request of a control one.
    struct UrbRoute
    {
        USHORT Function;
        ULONG MinLength;
        NTSTATUS (EmuUsbBus::*Submit)(PIRP irp, PURB urb, const UrbRoute& route);
        UCHAR RequestType;
        UCHAR Request;
    };
    static const UrbRoute UrbRoutes[];

    NTSTATUS SubmitUrb(PIRP irp, PURB urb);
    NTSTATUS Invalid(PIRP irp, PURB urb, USBD_STATUS usbd = USBD_STATUS_INVALID_PARAMETER);
    NTSTATUS QueueControl(PIRP irp, PURB urb, UCHAR type, UCHAR request, USHORT value, USHORT index,
                          ULONG bytes, PVOID buffer, PMDL mdl);
    NTSTATUS SubmitSelectConfiguration(PIRP irp, PURB urb, const UrbRoute& route);
    NTSTATUS SubmitSelectInterface(PIRP irp, PURB urb, const UrbRoute& route);
    NTSTATUS SubmitIsoch(PIRP irp, PURB urb, const UrbRoute& route);
    NTSTATUS SubmitBulkOrInterrupt(PIRP irp, PURB urb, const UrbRoute& route);
    NTSTATUS SubmitGetDescriptor(PIRP irp, PURB urb, const UrbRoute& route);
    NTSTATUS SubmitVendorOrClass(PIRP irp, PURB urb, const UrbRoute& route);
    NTSTATUS SubmitControlTransfer(PIRP irp, PURB urb, const UrbRoute& route);
    NTSTATUS SubmitGetStatus(PIRP irp, PURB urb, const UrbRoute& route);
    NTSTATUS SubmitFeature(PIRP irp, PURB urb, const UrbRoute& route);
    NTSTATUS SubmitPipeRequest(PIRP irp, PURB urb, const UrbRoute& route);
    NTSTATUS SubmitFrameNumber(PIRP irp, PURB urb, const UrbRoute& route);
    NTSTATUS Fail(PIRP irp, PURB urb, NTSTATUS status, USBD_STATUS usbd);
    NTSTATUS Queue(PIRP irp, const Transfer& t);
    Pipe* FindPipe(USBD_PIPE_HANDLE handle);
    bool ValidateConfiguration(const UCHAR* config, ULONG length) const;
    bool FillInterface(PUSBD_INTERFACE_INFORMATION info, ULONG room);
    void Tick();
    bool RunControl(Transfer& t, std::vector<Completion>* done);
    bool RunSelectConfiguration(Transfer& t, std::vector<Completion>* late);
    bool RunSelectInterface(Transfer& t, std::vector<Completion>* late);
    bool RunIsoch(Transfer& t, ULONG frame, std::vector<Completion>* done);
    bool RunInterrupt(Transfer& t, std::vector<Completion>* done);
    bool RunPipeRequest(Transfer& t, std::vector<Completion>* late);
    bool RunPortReset(Transfer& t, std::vector<Completion>* late);
    void CancelTransfersOf(const Pipe* pipe, UCHAR interfaceNumber, bool all);
    void MarkCancelled(Transfer& t);
    bool CompleteCancelled(Transfer& t, std::vector<Completion>* done);
    void SweepCancelled(ULONG frame, std::vector<Completion>* done, std::vector<Completion>* late);
    bool Finish(Transfer& t, NTSTATUS status, USBD_STATUS usbd, std::vector<Completion>* list);
    bool WireFailed(Transfer& t, const EmuControlAnswer& a, std::vector<Completion>* done);
    bool Take(Transfer& t);
    void SetUrbStatus(Transfer& t, USBD_STATUS status);
    void RemoveAll(NTSTATUS status, USBD_STATUS usbd, std::vector<Completion>* done);
    void CompleteAll(std::vector<Completion>& done);
    EmuControlAnswer WireControl(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, UCHAR* data);

    EmuUsbFunction* m_Device = nullptr;
    PDRIVER_OBJECT m_Driver = nullptr;
    PDEVICE_OBJECT m_Pdo = nullptr;
    KSPIN_LOCK m_Lock = 0;
    KTIMER m_Timer{};
    KDPC m_Dpc{};
    volatile ULONG m_Frame = 0;
    bool m_Present = true;
    bool m_Stopping = false;
    bool m_UnplugPending = false;
    bool m_UnplugNow = false; // a request in this frame found the device gone
    ULONG m_UnplugFrame = 0;
    ULONG m_Requests = 0;
    ULONG m_UnplugRequest = 0;
    NTSTATUS m_PortFailureStatus = STATUS_SUCCESS;
    ULONG m_PortFailures = 0;
    ULONG m_PortBits = 0;
    ULONG m_PortBitsCount = 0;
    ULONG m_PortResets = 0;
    ULONG m_PortCycles = 0;
    ULONG m_IsochCompleted = 0;
    LONG m_InterfaceRefs = 0;
    ULONG m_CancelDelay = 0;
    LONG m_FrameClockPpm = 0;
    LONGLONG m_FrameClockSlip = 0; // millionths of a frame the clock is ahead
    // configuration state
    std::vector<UCHAR> m_Config; // the descriptor the configuration was selected with
    UCHAR m_ConfigValue = 0;
    std::vector<std::pair<UCHAR, UCHAR>> m_AltSettings; // selected (interface, setting)
    std::vector<std::unique_ptr<Pipe>> m_Pipes;         // never freed before the bus
    std::list<Transfer> m_Pending;
    // selective suspend
    PIRP m_IdleIrp = nullptr;
    USB_IDLE_CALLBACK_INFO m_IdleInfo{};
    bool m_IdleCalled = false;
    bool m_AutoIdle = true;
    PIO_WORKITEM m_IdleWork = nullptr;
};
