// The frame clock of the emulated bus: each DPC run is the end of one 1 ms
// frame, in which the device sees that frame's packets and requests.
#include "platform/usb/emu_usb_bus.h"

#include "platform/usb/usbdlib.h"

namespace
{
USB_DEFAULT_PIPE_SETUP_PACKET Request(UCHAR type, UCHAR request, USHORT value, USHORT index)
{
    USB_DEFAULT_PIPE_SETUP_PACKET s;
    s.bmRequestType = type;
    s.bRequest = request;
    s.wValue = value;
    s.wIndex = index;
    s.wLength = 0;
    return s;
}
} // namespace

void EmuUsbBus::FrameDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    constexpr LONGLONG kWhole = 1000000;
    auto* bus = static_cast<EmuUsbBus*>(context);
    bus->m_FrameClockSlip += kWhole + bus->m_FrameClockPpm;
    for (; bus->m_FrameClockSlip >= kWhole; bus->m_FrameClockSlip -= kWhole)
        bus->Tick();
}

bool EmuUsbBus::Finish(Transfer& t, NTSTATUS status, USBD_STATUS usbd,
                       std::vector<Completion>* list)
{
    if (!Take(t))
        return false;
    SetUrbStatus(t, usbd);
    list->push_back({t.Irp, status, 0});
    return true;
}

// A control stage the device did not acknowledge: a stall fails the request,
// silence keeps it pending until it is cancelled, an unplug ends the device.
bool EmuUsbBus::WireFailed(Transfer& t, const EmuControlAnswer& a, std::vector<Completion>* done)
{
    switch (a.Handshake)
    {
    case EmuUsbHandshake::NoResponse:
        t.What = Kind::Hung;
        return false;
    case EmuUsbHandshake::Unplug:
        m_UnplugNow = true;
        return Finish(t, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE, done);
    default:
        return Finish(t, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, done);
    }
}

void EmuUsbBus::CancelTransfersOf(const Pipe* pipe, UCHAR interfaceNumber, bool all)
{
    for (Transfer& t : m_Pending)
    {
        if (t.PipePtr == nullptr || t.What == Kind::PipeRequest)
            continue;
        if (!t.Cancelled && (all || t.PipePtr == pipe ||
                             (pipe == nullptr && t.PipePtr->InterfaceNumber == interfaceNumber)))
            MarkCancelled(t);
    }
}

// Cancelled transfers whose frame has come complete; then each abort whose
// pipe has none left.
void EmuUsbBus::SweepCancelled(ULONG frame, std::vector<Completion>* done,
                               std::vector<Completion>* late)
{
    for (auto it = m_Pending.begin(); it != m_Pending.end();)
    {
        if (it->Cancelled && (LONG)(frame - it->CancelFrame) >= 0 && CompleteCancelled(*it, done))
            it = m_Pending.erase(it);
        else
            ++it;
    }
    for (auto it = m_Pending.begin(); it != m_Pending.end();)
    {
        bool left = !it->Waiting || it->Cancelled;
        for (auto t = m_Pending.begin(); !left && t != m_Pending.end(); ++t)
            left = t->Cancelled && t->PipePtr == it->PipePtr && t->What != Kind::PipeRequest;
        if (!left && Finish(*it, STATUS_SUCCESS, USBD_STATUS_SUCCESS, late))
            it = m_Pending.erase(it);
        else
            ++it;
    }
}

void EmuUsbBus::Tick()
{
    std::vector<Completion> done, late;
    KeAcquireSpinLockAtDpcLevel(&m_Lock);
    if (m_Stopping)
    {
        KeReleaseSpinLockFromDpcLevel(&m_Lock);
        return;
    }
    ULONG frame = m_Frame;
    m_UnplugNow = m_UnplugPending && (LONG)(frame - m_UnplugFrame) >= 0;
    if (m_Present && !m_UnplugNow)
    {
        m_Device->StartOfFrame(frame);
        // The default pipe carries one control transfer at a time: one the
        // device does not answer holds back those queued behind it.
        bool controlBusy = false;
        for (auto it = m_Pending.begin(); it != m_Pending.end() && !m_UnplugNow;)
        {
            bool finished = false;
            bool usesControlPipe = it->What == Kind::Control ||
                                   it->What == Kind::SelectConfiguration ||
                                   it->What == Kind::SelectInterface;
            if (it->What == Kind::Hung && !it->Cancelled)
                controlBusy = true;
            if (!it->Cancelled && !it->Waiting && !(usesControlPipe && controlBusy))
            {
                switch (it->What)
                {
                case Kind::Control:
                    finished = RunControl(*it, &done);
                    break;
                case Kind::SelectConfiguration:
                    finished = RunSelectConfiguration(*it, &late);
                    break;
                case Kind::SelectInterface:
                    finished = RunSelectInterface(*it, &late);
                    break;
                case Kind::Isoch:
                    finished = RunIsoch(*it, frame, &done);
                    break;
                case Kind::InterruptOrBulk:
                    finished = RunInterrupt(*it, &done);
                    break;
                case Kind::PipeRequest:
                    finished = RunPipeRequest(*it, &late);
                    break;
                case Kind::FrameNumber:
                    it->Urb->UrbGetCurrentFrameNumber.FrameNumber = frame;
                    finished = Finish(*it, STATUS_SUCCESS, USBD_STATUS_SUCCESS, &done);
                    break;
                case Kind::PortStatus:
                    *it->PortStatus = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
                    if (m_PortBitsCount > 0)
                    {
                        --m_PortBitsCount;
                        *it->PortStatus = m_PortBits;
                    }
                    finished = Finish(*it, STATUS_SUCCESS, USBD_STATUS_SUCCESS, &done);
                    break;
                case Kind::PortReset:
                    finished = RunPortReset(*it, &late);
                    break;
                case Kind::PortCycle:
                    // The hub drops the device and enumerates it again as a
                    // new device: this one is gone for its driver.
                    ++m_PortCycles;
                    finished = Finish(*it, STATUS_SUCCESS, USBD_STATUS_SUCCESS, &late);
                    m_UnplugNow = true;
                    break;
                case Kind::Idle:
                case Kind::Hung:
                    break;
                }
            }
            if (!finished && it->What == Kind::Hung)
                controlBusy = true;
            it = finished ? m_Pending.erase(it) : std::next(it);
        }
        SweepCancelled(frame, &done, &late);
    }
    bool stopClock = false;
    if (m_UnplugNow)
    {
        m_Present = false;
        m_UnplugPending = false;
        RemoveAll(STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE, &done);
        stopClock = true;
    }
    m_Frame = frame + 1;
    KeReleaseSpinLockFromDpcLevel(&m_Lock);
    if (stopClock)
        KeCancelTimer(&m_Timer);
    CompleteAll(done);
    CompleteAll(late);
}

bool EmuUsbBus::RunControl(Transfer& t, std::vector<Completion>* done)
{
    EmuControlAnswer a = WireControl(t.Setup, t.Buffer);
    if (a.Handshake != EmuUsbHandshake::Ack)
    {
        bool finished = WireFailed(t, a, done);
        if (finished)
            t.Urb->UrbControlTransfer.TransferBufferLength = 0;
        return finished;
    }
    if (!Take(t))
        return false;
    // Every control URB keeps its transfer length at the same place. No data
    // stage moves more than the setup packet asked for, whatever the device says.
    if (t.Urb->UrbHeader.Function != URB_FUNCTION_SET_FEATURE_TO_DEVICE &&
        (t.Urb->UrbHeader.Function < URB_FUNCTION_SET_FEATURE_TO_DEVICE ||
         t.Urb->UrbHeader.Function > URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT))
        t.Urb->UrbControlTransfer.TransferBufferLength =
            a.Length < t.Setup.wLength ? a.Length : t.Setup.wLength;
    SetUrbStatus(t, USBD_STATUS_SUCCESS);
    done->push_back({t.Irp, STATUS_SUCCESS, 0});
    return true;
}

bool EmuUsbBus::RunSelectConfiguration(Transfer& t, std::vector<Completion>* late)
{
    PURB urb = t.Urb;
    auto* config =
        reinterpret_cast<const UCHAR*>(urb->UrbSelectConfiguration.ConfigurationDescriptor);
    UCHAR value = config != nullptr ? config[5] : 0;
    EmuControlAnswer a =
        WireControl(Request(0x00, USB_REQUEST_SET_CONFIGURATION, value, 0), nullptr);
    if (a.Handshake != EmuUsbHandshake::Ack)
    {
        if (a.Handshake == EmuUsbHandshake::Stall)
            return Finish(t, STATUS_UNSUCCESSFUL, USBD_STATUS_SET_CONFIG_FAILED, late);
        return WireFailed(t, a, late);
    }
    for (auto& p : m_Pipes)
        p->Active = false;
    CancelTransfersOf(nullptr, 0, true);
    m_AltSettings.clear();
    m_ConfigValue = value;
    if (config == nullptr)
    {
        m_Config.clear();
        return Finish(t, STATUS_SUCCESS, USBD_STATUS_SUCCESS, late);
    }
    m_Config.assign(config, config + (config[2] | config[3] << 8));
    ULONG length = urb->UrbHeader.Length;
    ULONG pos = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    while (length - pos >= GET_USBD_INTERFACE_SIZE(0))
    {
        auto* info =
            reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(urb) + pos);
        if (info->Length == 0)
            break;
        if (info->AlternateSetting != 0)
        {
            a = WireControl(Request(0x01, USB_REQUEST_SET_INTERFACE, info->AlternateSetting,
                                    info->InterfaceNumber),
                            nullptr);
            if (a.Handshake != EmuUsbHandshake::Ack)
            {
                m_ConfigValue = 0;
                if (a.Handshake == EmuUsbHandshake::Stall)
                    return Finish(t, STATUS_UNSUCCESSFUL, USBD_STATUS_SET_CONFIG_FAILED, late);
                return WireFailed(t, a, late);
            }
        }
        if (!FillInterface(info, length - pos))
        {
            m_ConfigValue = 0;
            return Finish(t, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, late);
        }
        pos += info->Length;
    }
    urb->UrbSelectConfiguration.ConfigurationHandle = &m_ConfigValue;
    return Finish(t, STATUS_SUCCESS, USBD_STATUS_SUCCESS, late);
}

bool EmuUsbBus::RunSelectInterface(Transfer& t, std::vector<Completion>* late)
{
    PUSBD_INTERFACE_INFORMATION info = &t.Urb->UrbSelectInterface.Interface;
    if (m_ConfigValue == 0)
        return Finish(t, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, late);
    EmuControlAnswer a = WireControl(
        Request(0x01, USB_REQUEST_SET_INTERFACE, info->AlternateSetting, info->InterfaceNumber),
        nullptr);
    if (a.Handshake != EmuUsbHandshake::Ack)
        return WireFailed(t, a, late);
    CancelTransfersOf(nullptr, info->InterfaceNumber, false);
    ULONG room = t.Urb->UrbHeader.Length - offsetof(struct _URB_SELECT_INTERFACE, Interface);
    if (!FillInterface(info, room))
        return Finish(t, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, late);
    return Finish(t, STATUS_SUCCESS, USBD_STATUS_SUCCESS, late);
}

bool EmuUsbBus::RunIsoch(Transfer& t, ULONG frame, std::vector<Completion>* done)
{
    LONG relative = (LONG)(frame - t.StartFrame);
    if (relative < 0)
        return false;
    auto& iso = t.Urb->UrbIsochronousTransfer;
    Pipe* pipe = t.PipePtr;
    ULONG perFrame = pipe->PacketsPerFrame;
    ULONG packets = iso.NumberOfPackets;
    bool in = USB_ENDPOINT_DIRECTION_IN(pipe->Address);
    if ((ULONG)relative < t.Frames)
    {
        for (ULONG j = 0; j < perFrame; ++j)
        {
            ULONG i = (ULONG)relative * perFrame + j;
            ULONG microframe = IsHighSpeed() ? j * (8 / perFrame) : 0;
            ULONG offset = iso.IsoPacket[i].Offset;
            ULONG next = i + 1 < packets ? iso.IsoPacket[i + 1].Offset : iso.TransferBufferLength;
            ULONG space = next - offset;
            if (in)
            {
                ULONG got = 0;
                ULONG room = space < pipe->MaxPacket ? space : pipe->MaxPacket;
                iso.IsoPacket[i].Status = m_Device->IsochIn(pipe->Address, frame, microframe,
                                                            t.Buffer + offset, room, &got);
                iso.IsoPacket[i].Length = got <= room ? got : room;
            }
            else
                iso.IsoPacket[i].Status =
                    m_Device->IsochOut(pipe->Address, frame, microframe, t.Buffer + offset, space);
        }
    }
    if ((ULONG)relative + 1 < t.Frames)
        return false;
    if (!Take(t))
        return false;
    ULONG errors = 0, bytes = 0;
    for (ULONG i = 0; i < packets; ++i)
    {
        if (USBD_ERROR(iso.IsoPacket[i].Status))
            ++errors;
        else if (in)
            bytes += iso.IsoPacket[i].Length;
    }
    iso.ErrorCount = errors;
    if (in)
        iso.TransferBufferLength = bytes;
    ++m_IsochCompleted;
    bool failed = errors == packets;
    SetUrbStatus(t, failed ? USBD_STATUS_ISOCH_REQUEST_FAILED : USBD_STATUS_SUCCESS);
    done->push_back({t.Irp, failed ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS, 0});
    return true;
}

bool EmuUsbBus::RunInterrupt(Transfer& t, std::vector<Completion>* done)
{
    auto& x = t.Urb->UrbBulkOrInterruptTransfer;
    Pipe* pipe = t.PipePtr;
    USBD_STATUS status;
    ULONG got = 0;
    if (USB_ENDPOINT_DIRECTION_IN(pipe->Address))
    {
        status = m_Device->InterruptOrBulkIn(pipe->Address, t.Buffer, x.TransferBufferLength, &got);
        if (status == USBD_STATUS_PENDING)
            return false; // NAK: asked again next frame
    }
    else
    {
        status = m_Device->InterruptOrBulkOut(pipe->Address, t.Buffer, x.TransferBufferLength);
        got = x.TransferBufferLength;
    }
    if (!Take(t))
        return false;
    if (USBD_ERROR(status))
    {
        if (status == USBD_STATUS_STALL_PID)
            pipe->Halted = true;
        x.TransferBufferLength = 0;
        SetUrbStatus(t, status);
        done->push_back({t.Irp, STATUS_UNSUCCESSFUL, 0});
        return true;
    }
    if (got < x.TransferBufferLength)
        x.TransferBufferLength = got;
    SetUrbStatus(t, USBD_STATUS_SUCCESS);
    done->push_back({t.Irp, STATUS_SUCCESS, 0});
    return true;
}

bool EmuUsbBus::RunPipeRequest(Transfer& t, std::vector<Completion>* late)
{
    Pipe* pipe = t.PipePtr;
    if (!pipe->Active)
        return Finish(t, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE, late);
    USHORT function = t.Urb->UrbHeader.Function;
    if (function == URB_FUNCTION_ABORT_PIPE)
    {
        // The abort completes once its transfers have (see SweepCancelled).
        CancelTransfersOf(pipe, 0, false);
        pipe->Scheduled = false;
        t.Waiting = true;
        return false;
    }
    for (const Transfer& other : m_Pending)
        if (&other != &t && other.PipePtr == pipe && !other.Cancelled &&
            other.What != Kind::PipeRequest)
            return Finish(t, STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_BUSY, late);
    bool isoch = (pipe->Attributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_ISOCHRONOUS;
    if (function != URB_FUNCTION_SYNC_RESET_PIPE && !isoch)
    {
        EmuControlAnswer a = WireControl(
            Request(0x02, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, pipe->Address),
            nullptr);
        if (a.Handshake != EmuUsbHandshake::Ack)
            return WireFailed(t, a, late);
    }
    if (function != URB_FUNCTION_SYNC_CLEAR_STALL)
        pipe->Scheduled = false;
    pipe->Halted = false;
    return Finish(t, STATUS_SUCCESS, USBD_STATUS_SUCCESS, late);
}

bool EmuUsbBus::RunPortReset(Transfer& t, std::vector<Completion>* late)
{
    for (Transfer& other : m_Pending)
        if (other.Urb != nullptr && !other.Cancelled)
            MarkCancelled(other);
    m_Device->BusReset();
    // The hub puts the device back in the configuration it had.
    if (m_ConfigValue != 0)
    {
        WireControl(Request(0x00, USB_REQUEST_SET_CONFIGURATION, m_ConfigValue, 0), nullptr);
        for (const auto& [number, alt] : m_AltSettings)
            if (alt != 0)
                WireControl(Request(0x01, USB_REQUEST_SET_INTERFACE, alt, number), nullptr);
    }
    for (auto& p : m_Pipes)
    {
        p->Halted = false;
        p->Scheduled = false;
    }
    ++m_PortResets;
    return Finish(t, STATUS_SUCCESS, USBD_STATUS_SUCCESS, late);
}
