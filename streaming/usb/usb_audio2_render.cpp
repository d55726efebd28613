#include "streaming/usb/usb_audio2_render.h"

#include "streaming/usb/audio_data_endpoint.h"
#include "streaming/usb/feedback_pacing.h"
#include "streaming/usb/uac2_stream_requests.h"

namespace
{
constexpr ULONG c_FeedbackFlags =
    USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK | USBD_START_ISO_TRANSFER_ASAP;

// Why an endpoint cannot carry feedback values, by its transfer type and by
// its usage (bmAttributes bits 5..4): only an isochronous endpoint of
// feedback usage can, or of data usage, as many devices declare their
// feedback endpoint. Null where it can.
constexpr const char* c_TransferTypeFaults[] = {"is a control endpoint, not an isochronous one",
                                                nullptr,
                                                "is a bulk endpoint, not an isochronous one",
                                                "is an interrupt endpoint, not an isochronous one"};
constexpr const char* c_UsageFaults[] = {nullptr, nullptr,
                                         "is marked implicit feedback data, not feedback",
                                         "is marked with the reserved usage, not feedback"};

const char* FeedbackEndpointFault(UCHAR attributes)
{
    const char* fault = c_TransferTypeFaults[attributes & USB_ENDPOINT_TYPE_MASK];
    return fault != nullptr ? fault : c_UsageFaults[(attributes & USB_ENDPOINT_USAGE_MASK) >> 4];
}
} // namespace

CUsbAudio2Render::CUsbAudio2Render(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalLink,
                                   ULONG clockControlId)
    : CUsbAudio1Render(outerUnknown, interfaceNumber, terminalLink),
      m_ClockControlId(clockControlId)
{
    KeInitializeSpinLock(&m_FeedbackLock);
    m_CaptureRingTag = USB_STREAM_UAC2_RING_TAG;
}

CUsbAudio2Render::~CUsbAudio2Render()
{
    ShutDownStream();
}

BOOLEAN CUsbAudio2Render::IsAlternateSettingValid(UCHAR alternateSetting)
{
    return QueryStreamAlternateSettingValid(this, alternateSetting);
}

// ----------------------------------------------------------------------------
// Preparation and the interface

NTSTATUS CUsbAudio2Render::PrepareStream(PSTREAMCLIENT client, PULONG frameNumber)
{
    PAGED_CODE();
    NTSTATUS status = PrepareStreamClock(this, m_ClockControlId, client, frameNumber);
    if (!NT_SUCCESS(status))
        return status;
    const ULONG rate = client->Format.Format.nSamplesPerSec;
    // The feedback value's size, which the selection checks the endpoint against.
    PUSBDEVICEIO io = QueryUsbIo();
    m_HighSpeed = io != nullptr && io->IsHighSpeed();
    if (io != nullptr)
        io->Release();
    status = CUsbAudio1Render::PrepareStream(client, frameNumber);
    if (!NT_SUCCESS(status))
        return status;
    status = BuildFeedbackContexts();
    if (!NT_SUCCESS(status))
    {
        UnprepareStream();
        return status;
    }
    m_FeedbackPacing.Rate = rate;
    m_FeedbackPacing.NominalRate = rate;
    m_FeedbackPacing.Accumulator = 0;
    m_FeedbackPacing.ExtraSamples = 0;
    m_FeedbackPacing.MaxSamples = m_Pacing.MaxSamples;
    return STATUS_SUCCESS;
}

// The data pipe is the setting's data endpoint's; an interface of exactly
// one OUT and one IN pipe has its IN pipe as the feedback pipe, unless that
// endpoint cannot carry a feedback value: read, it would only fail, and the
// stream paces at its nominal rate as it does without one.
NTSTATUS CUsbAudio2Render::SelectInterface(UCHAR alternateSetting, PSTREAMCLIENT)
{
    PAGED_CODE();
    m_HasFeedbackPipe = FALSE;
    m_FeedbackPipeIndex = 0;
    m_FeedbackPacketsPerFrame = 1;
    NTSTATUS status = SelectDataInterface(alternateSetting);
    if (!NT_SUCCESS(status) || m_InterfaceInfo == nullptr || m_InterfaceInfo->NumberOfPipes != 2)
        return status;
    ULONG inPipes = 0;
    for (ULONG i = 0; i < 2; ++i)
    {
        if (USB_ENDPOINT_DIRECTION_IN(m_InterfaceInfo->Pipes[i].EndpointAddress))
        {
            ++inPipes;
            m_FeedbackPipeIndex = i;
        }
    }
    const USBD_PIPE_INFORMATION& feedback = m_InterfaceInfo->Pipes[m_FeedbackPipeIndex];
    m_HasFeedbackPipe = inPipes == 1 && CarriesFeedback(alternateSetting, feedback);
    if (m_HasFeedbackPipe)
        m_FeedbackPacketsPerFrame =
            FeedbackPacketsPerFrame(feedback.Interval, m_HighSpeed != FALSE);
    return status;
}

// The endpoint's type and usage from its descriptor (the stack's pipe
// information has no usage), then its packet size; a line says why an
// endpoint is not used.
bool CUsbAudio2Render::CarriesFeedback(UCHAR alternateSetting, const USBD_PIPE_INFORMATION& pipe)
{
    PAGED_CODE();
    const unsigned number = (unsigned)GetConstructionValue();
    const char* fault = FeedbackEndpointFault(EndpointAttributes(alternateSetting, pipe));
    if (fault == nullptr && pipe.MaximumPacketSize >= FeedbackPacketBytes())
        return true;
    if (fault != nullptr)
        DbgPrint("UsbAudio: AudioStreaming interface %u alternate setting %u: feedback endpoint "
                 "0x%02X %s: not used, the stream paces at its nominal rate\n",
                 number, (unsigned)alternateSetting, (unsigned)pipe.EndpointAddress, fault);
    else
        DbgPrint("UsbAudio: AudioStreaming interface %u alternate setting %u: feedback endpoint "
                 "0x%02X carries %u bytes a packet, a feedback value needs %u: not used, the "
                 "stream paces at its nominal rate\n",
                 number, (unsigned)alternateSetting, (unsigned)pipe.EndpointAddress,
                 (unsigned)pipe.MaximumPacketSize, (unsigned)FeedbackPacketBytes());
    return false;
}

// The setting's endpoint of `pipe` as the configuration describes it; the
// pipe's type alone where it does not.
UCHAR CUsbAudio2Render::EndpointAttributes(UCHAR alternateSetting,
                                           const USBD_PIPE_INFORMATION& pipe)
{
    PAGED_CODE();
    PUSBDEVICEIO io = QueryUsbIo();
    if (io == nullptr)
        return (UCHAR)pipe.PipeType;
    const USB_ENDPOINT_DESCRIPTOR* ep =
        FindSettingEndpoint(io->GetConfigurationDescriptor(), GetConstructionValue(),
                            alternateSetting, pipe.EndpointAddress);
    const UCHAR attributes = ep != nullptr ? ep->bmAttributes : (UCHAR)pipe.PipeType;
    io->Release();
    return attributes;
}

ULONG CUsbAudio2Render::FeedbackPacketBytes() const
{
    return m_HighSpeed ? FEEDBACK_BYTES_HIGH_SPEED : FEEDBACK_BYTES_FULL_SPEED;
}

USBD_PIPE_HANDLE CUsbAudio2Render::FeedbackPipeHandle() const
{
    if (!m_HasFeedbackPipe || m_InterfaceInfo == nullptr ||
        m_FeedbackPipeIndex >= m_InterfaceInfo->NumberOfPipes)
        return nullptr;
    return m_InterfaceInfo->Pipes[m_FeedbackPipeIndex].PipeHandle;
}

// ----------------------------------------------------------------------------
// Feedback contexts: the data contexts' scheme with their own slots and lock,
// and their own lists: a feedback endpoint may answer up to eight times as
// many packets as the data endpoint takes.

NTSTATUS CUsbAudio2Render::BuildFeedbackContexts()
{
    PAGED_CODE();
    const ULONG packets = m_MsPerUrb * m_FeedbackPacketsPerFrame;
    if (m_HighSpeed && packets > USB_STREAM_MAX_HIGH_SPEED_URB_PACKETS)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = InitContextLists(&m_FeedbackLists, packets, packets * FeedbackPacketBytes());
    if (!NT_SUCCESS(status))
        return status;
    m_FeedbackUrbPackets = packets;
    return FillContextSlots(&m_FeedbackLists, m_FeedbackBusy, m_FeedbackFree);
}

// The feedback lists go with the contexts: they were sized for the setting
// the stream was prepared with.
void CUsbAudio2Render::FreeTransferContexts()
{
    CUsbAudio1Render::FreeTransferContexts();
    FreeContextSlots(&m_FeedbackLists, &m_FeedbackLock, m_FeedbackFree);
    DeleteContextLists(&m_FeedbackLists);
    m_FeedbackUrbPackets = 0;
}

PTRANSFERCONTEXT CUsbAudio2Render::GetFeedbackContext()
{
    return TakeContextSlot(&m_FeedbackLock, m_FeedbackBusy, m_FeedbackFree, USB_STREAM_MAX_URBS);
}

void CUsbAudio2Render::PutFeedbackContext(PTRANSFERCONTEXT context)
{
    ReturnContextSlot(&m_FeedbackLock, m_FeedbackBusy, m_FeedbackFree, context);
}

// ----------------------------------------------------------------------------
// Sending and completion

NTSTATUS CUsbAudio2Render::SendStreamUrb()
{
    if (m_HasFeedbackPipe)
    {
        const NTSTATUS status = SendFeedbackUrb();
        if (status == STATUS_NO_SUCH_DEVICE || status == STATUS_DEVICE_NOT_CONNECTED)
            return status;
    }
    return SendRenderUrb(&m_FeedbackPacing);
}

NTSTATUS CUsbAudio2Render::SendFeedbackUrb()
{
    if (m_DeviceGone)
        return STATUS_DEVICE_NOT_CONNECTED;
    // The stack takes a high-speed URB only in whole frames of the
    // endpoint's packets. A setting selected since the contexts were sized
    // may answer more than they hold: its feedback is skipped.
    const ULONG packets = m_MsPerUrb * m_FeedbackPacketsPerFrame;
    if (m_StreamState != USB_STREAM_RUNNING || FeedbackPipeHandle() == nullptr ||
        packets > m_FeedbackUrbPackets)
        return STATUS_SUCCESS;
    PTRANSFERCONTEXT context = GetFeedbackContext();
    if (context == nullptr)
        return STATUS_SUCCESS; // enough feedback in flight: skipped
    PUSBDEVICEIO io = QueryUsbIo();
    if (io == nullptr)
    {
        PutFeedbackContext(context);
        return STATUS_SUCCESS;
    }
    const ULONG size = FeedbackPacketBytes();
    auto& iso = context->Urb->UrbIsochronousTransfer;
    RtlZeroMemory(context->Urb, UsbStreamUrbBytes(packets));
    // A packet that brings nothing must not leave an older value behind.
    RtlZeroMemory(context->Buffer, packets * size);
    iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso.Hdr.Length = (USHORT)UsbStreamUrbBytes(packets);
    iso.PipeHandle = FeedbackPipeHandle();
    iso.TransferFlags = c_FeedbackFlags;
    iso.TransferBuffer = context->Buffer;
    iso.TransferBufferLength = packets * size;
    iso.NumberOfPackets = packets;
    iso.StartFrame = 0;
    for (ULONG i = 0; i < packets; ++i)
    {
        iso.IsoPacket[i].Offset = i * size;
        iso.IsoPacket[i].Length = size;
    }
    context->Bytes = packets * size;
    const NTSTATUS status = PassUrbDown(io, context, FeedbackCompletion);
    io->Release();
    return status;
}

NTSTATUS CUsbAudio2Render::FeedbackCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context)
{
    auto transfer = static_cast<PTRANSFERCONTEXT>(context);
    return static_cast<CUsbAudio2Render*>(transfer->Stream)
        ->OnFeedbackUrbComplete(deviceObject, irp, transfer);
}

NTSTATUS CUsbAudio2Render::OnFeedbackUrbComplete(PDEVICE_OBJECT, PIRP irp, PTRANSFERCONTEXT context)
{
    const NTSTATUS status = irp->IoStatus.Status;
    if (m_StreamState == USB_STREAM_RUNNING && status != STATUS_CANCELLED)
    {
        if (NT_SUCCESS(status) && USBD_SUCCESS(context->Urb->UrbIsochronousTransfer.Hdr.Status))
            ApplyFeedback(context);
        else
            EnterRecovery();
    }
    PutFeedbackContext(context);
    UrbReturned();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Only packets that arrived whole count: 3 bytes are 10.14, 4 bytes 16.16,
// whatever was asked for. The rates are summed as they come: this runs at
// DISPATCH_LEVEL on a small kernel stack.
void CUsbAudio2Render::ApplyFeedback(PTRANSFERCONTEXT context)
{
    const auto& iso = context->Urb->UrbIsochronousTransfer;
    const ULONG asked = FeedbackPacketBytes();
    FeedbackAverage average = {m_FeedbackPacing.NominalRate, 0, 0};
    for (ULONG i = 0; i < iso.NumberOfPackets && i < USB_STREAM_MAX_URB_PACKETS; ++i)
    {
        const auto& packet = iso.IsoPacket[i];
        const bool whole = USBD_SUCCESS(packet.Status) && packet.Length <= asked &&
                           (packet.Length == FEEDBACK_BYTES_FULL_SPEED ||
                            packet.Length == FEEDBACK_BYTES_HIGH_SPEED);
        if (whole)
            AddFeedbackValue(&average,
                             FeedbackSixteenSixteen(context->Buffer + packet.Offset, packet.Length),
                             m_HighSpeed != FALSE, m_PacketsPerFrame * 1000);
    }
    ULONG rate = 0;
    if (AverageFeedbackRates(average, m_MsPerUrb, &rate))
        InterlockedExchange((volatile LONG*)&m_FeedbackPacing.Rate, (LONG)rate);
}

// The data URB's own status decides; its packets are not looked at.
NTSTATUS CUsbAudio2Render::OnStreamUrbComplete(PDEVICE_OBJECT, PIRP irp, PTRANSFERCONTEXT context)
{
    const NTSTATUS status = irp->IoStatus.Status;
    const bool running = m_StreamState == USB_STREAM_RUNNING;
    if (running && IsDeviceGoneStatus(status))
        m_DeviceGone = TRUE;
    const USBD_STATUS urbStatus = context->Urb->UrbIsochronousTransfer.Hdr.Status;
    Notify(STREAM_NOTIFY_BYTES, context->Bytes, !UrbDelivered(status, urbStatus), nullptr);
    return ReturnTransfer(context, running, status, urbStatus);
}

// ----------------------------------------------------------------------------
// Abort and recovery

NTSTATUS CUsbAudio2Render::PipeRequest(PUSBDEVICEIO io, USHORT function, USBD_PIPE_HANDLE pipe)
{
    struct _URB_PIPE_REQUEST urb = {};
    urb.Hdr.Length = (USHORT)sizeof(urb);
    urb.Hdr.Function = function;
    urb.PipeHandle = pipe;
    return io->SubmitUrbSync(reinterpret_cast<PURB>(&urb));
}

NTSTATUS CUsbAudio2Render::AbortPipe()
{
    PAGED_CODE();
    PUSBDEVICEIO io = QueryUsbIo();
    if (io == nullptr)
        return STATUS_UNSUCCESSFUL;
    NTSTATUS status = PipeRequest(io, URB_FUNCTION_ABORT_PIPE, DataPipeHandle());
    if (NT_SUCCESS(status) && m_HasFeedbackPipe)
        status = PipeRequest(io, URB_FUNCTION_ABORT_PIPE, FeedbackPipeHandle());
    io->Release();
    if (NT_SUCCESS(status))
        WaitForUrbs();
    return status;
}

NTSTATUS CUsbAudio2Render::RecoverFromError()
{
    PAGED_CODE();
    PUSBDEVICEIO io = QueryUsbIo();
    if (io == nullptr)
        return STATUS_UNSUCCESSFUL;
    WaitForUrbs();
    InterlockedExchange(&m_ErrorState, USB_STREAM_NO_ERROR);
    m_DeviceGone = io->ResetPortIfNeeded();
    if (m_DeviceGone)
    {
        io->Release();
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    NTSTATUS status =
        PipeRequest(io, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, DataPipeHandle());
    if (NT_SUCCESS(status) && m_HasFeedbackPipe)
        status =
            PipeRequest(io, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, FeedbackPipeHandle());
    ULONG frame = 0;
    io->GetCurrentFrameNumber(&frame);
    io->Release();
    m_StartFrame = frame + USB_STREAM_START_LEAD_FRAMES;
    for (ULONG i = 0; NT_SUCCESS(status) && i < UAC2_RECOVERY_URBS; ++i)
    {
        status = SendStreamUrb();
        // No free context: enough URBs are in flight.
        if (status == STATUS_BUFFER_TOO_SMALL)
            status = STATUS_SUCCESS;
    }
    // A stream left with nothing in flight would never complete again: the
    // full recovery selects the interface anew (and cycles the port if that
    // fails).
    if (m_OutstandingUrbs == 0 && !m_DeviceGone && m_StreamState == USB_STREAM_RUNNING)
        return CUsbAudio1Render::RecoverFromError();
    return status;
}
