// The isochronous transfer loop the stream classes share: the ten transfer
// contexts and their lookaside lists, building and sending a render URB with
// its packet pacing, the completion protocol with the error state and the
// outstanding count, the start of the transfers and recovery after errors.
#include "streaming/usb/usb_audio_stream.h"

#include "framework/adapter_interfaces.h"

namespace
{
constexpr NTSTATUS c_IrpUnused = STATUS_NOT_SUPPORTED;

void InitLookaside(PNPAGED_LOOKASIDE_LIST list, SIZE_T bytes)
{
    ExInitializeNPagedLookasideList(list, nullptr, nullptr, 0, bytes, USB_STREAM_URB_POOL_TAG, 0);
}
} // namespace

// ----------------------------------------------------------------------------
// Preparation helpers

NTSTATUS CUsbAudioStream::LoadClientSettings(PSTREAMCLIENT client, PUCHAR alternateSetting)
{
    PAGED_CODE();
    if (client == nullptr || alternateSetting == nullptr)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = FindFormat(&client->Format.Format);
    if (!NT_SUCCESS(status))
        return status;
    const AltSettingFormat* record = FindFormatRecord(&client->Format.Format);
    if (record == nullptr)
        return STATUS_INVALID_PARAMETER;
    *alternateSetting = record->AlternateSetting;
    if (client->MsPerUrb == 0 || client->UrbCount == 0 || client->UrbCount > USB_STREAM_MAX_URBS)
        return STATUS_INVALID_PARAMETER;
    const ULONG packetsPerFrame = PacketsPerFrame(*alternateSetting);
    // An endpoint the stream cannot pace is refused before anything is built.
    if (packetsPerFrame == 0)
        return STATUS_NOT_SUPPORTED;
    m_MsPerUrb = client->MsPerUrb;
    m_UrbsInFlight = client->UrbCount;
    m_PacketsPerFrame = packetsPerFrame;
    SetWireSign(client->Format.Format, record->Sign);
    const ULONG rate = client->Format.Format.nSamplesPerSec;
    m_BaseSamplesPerPacket = PacingBaseSamples(rate, packetsPerFrame);
    m_Pacing.Rate = rate;
    m_Pacing.NominalRate = rate;
    m_Pacing.Accumulator = 0;
    m_Pacing.ExtraSamples = 0;
    // Feedback may ask for more than the endpoint was sized for.
    const ULONG frameBytes = WireFrameBytes(client->Format.Format);
    m_Pacing.MaxSamples =
        frameBytes != 0 ? DataEndpointPacketBytes(*alternateSetting) / frameBytes : 0;
    return STATUS_SUCCESS;
}

ULONG CUsbAudioStream::RenderBufferBytes() const
{
    return PacingMaxSamplesPerPacket(m_BaseSamplesPerPacket) *
           m_CurrentWaveFormat.Format.nBlockAlign * m_MsPerUrb * m_PacketsPerFrame;
}

NTSTATUS CUsbAudioStream::BuildTransferContexts(ULONG bufferBytes)
{
    PAGED_CODE();
    NTSTATUS status = InitContextLists(&m_DataLists, m_MsPerUrb * m_PacketsPerFrame, bufferBytes);
    if (!NT_SUCCESS(status))
        return status;
    if (!NT_SUCCESS(FillContextSlots(&m_DataLists, m_BusyContexts, m_FreeContexts)))
    {
        ReleaseTransferLoop();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

void CUsbAudioStream::ReleaseTransferLoop()
{
    PAGED_CODE();
    // Nothing is given back while one of its URBs is still out.
    WaitForUrbs();
    FreeTransferContexts();
    DeleteContextLists(&m_DataLists);
}

NTSTATUS CUsbAudioStream::InitContextLists(TransferContextLists* lists, ULONG packets,
                                           ULONG bufferBytes)
{
    PAGED_CODE();
    if (packets == 0 || bufferBytes == 0 || lists->Ready)
        return STATUS_INVALID_PARAMETER;
    InitLookaside(&lists->Urbs, UsbStreamUrbBytes(packets));
    InitLookaside(&lists->Contexts, sizeof(TransferContext));
    InitLookaside(&lists->Buffers, bufferBytes);
    lists->Ready = TRUE;
    return STATUS_SUCCESS;
}

void CUsbAudioStream::DeleteContextLists(TransferContextLists* lists)
{
    PAGED_CODE();
    if (!lists->Ready)
        return;
    ExDeleteNPagedLookasideList(&lists->Urbs);
    ExDeleteNPagedLookasideList(&lists->Contexts);
    ExDeleteNPagedLookasideList(&lists->Buffers);
    lists->Ready = FALSE;
}

NTSTATUS CUsbAudioStream::BuildPreparedStream(PSTREAMCLIENT client, UCHAR alternateSetting,
                                              ULONG bufferBytes, ULONG ringBytes,
                                              PULONG frameNumber)
{
    PAGED_CODE();
    if (frameNumber == nullptr || ringBytes == 0 ||
        (ULONGLONG)m_MsPerUrb * m_PacketsPerFrame > USB_STREAM_MAX_URB_PACKETS)
        return STATUS_INVALID_PARAMETER;
    if (InterlockedCompareExchange(&m_StreamState, USB_STREAM_PREPARED, USB_STREAM_CLOSED) !=
        USB_STREAM_CLOSED)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = BuildTransferContexts(bufferBytes);
    if (NT_SUCCESS(status))
    {
        m_CaptureRing =
            static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, ringBytes, m_CaptureRingTag));
        m_CaptureRingSize = m_CaptureRing != nullptr ? ringBytes : 0;
        if (m_CaptureRing == nullptr)
            status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status))
        status = SelectInterface(alternateSetting, client);
    if (!NT_SUCCESS(status))
    {
        if (m_CaptureRing != nullptr)
            ExFreePoolWithTag(m_CaptureRing, m_CaptureRingTag);
        m_CaptureRing = nullptr;
        m_CaptureRingSize = 0;
        ReleaseTransferLoop();
        InterlockedExchange(&m_StreamState, USB_STREAM_CLOSED);
        return status;
    }
    m_Pacing.Accumulator = 0;
    m_CaptureRingRead = 0;
    m_CaptureRingWrite = 0;
    m_OutstandingUrbs = 0;
    *frameNumber = QueryCurrentFrameNumber();
    return STATUS_SUCCESS;
}

ULONG CUsbAudioStream::CaptureRingBytes(const WAVEFORMATEX& format, ULONG urbBufferBytes)
{
    const ULONGLONG block = format.nBlockAlign;
    if (block == 0)
        return 0;
    const auto wholeFrames = [block](ULONGLONG bytes)
    { return (bytes + block - 1) / block * block; };
    const ULONGLONG fortyMs = wholeFrames(format.nAvgBytesPerSec / 25);
    const ULONGLONG least = wholeFrames(urbBufferBytes) + block;
    const ULONGLONG bytes = fortyMs > least ? fortyMs : least;
    return bytes <= (ULONGLONG)MAXLONG ? (ULONG)bytes : 0;
}

// ----------------------------------------------------------------------------
// Transfer contexts

NTSTATUS CUsbAudioStream::AllocTransferContext(TransferContextLists* lists,
                                               PTRANSFERCONTEXT* context)
{
    PAGED_CODE();
    *context = nullptr;
    auto made = static_cast<PTRANSFERCONTEXT>(ExAllocateFromNPagedLookasideList(&lists->Contexts));
    auto buffer = static_cast<PUCHAR>(ExAllocateFromNPagedLookasideList(&lists->Buffers));
    auto urb = static_cast<PURB>(ExAllocateFromNPagedLookasideList(&lists->Urbs));
    PUSBDEVICEIO io = QueryUsbIo();
    PIRP irp = io != nullptr ? io->AllocateIrp() : nullptr;
    if (made == nullptr || buffer == nullptr || urb == nullptr || irp == nullptr)
    {
        if (made != nullptr)
            ExFreeToNPagedLookasideList(&lists->Contexts, made);
        if (buffer != nullptr)
            ExFreeToNPagedLookasideList(&lists->Buffers, buffer);
        if (urb != nullptr)
            ExFreeToNPagedLookasideList(&lists->Urbs, urb);
        if (irp != nullptr)
            io->FreeIrp(irp);
        if (io != nullptr)
            io->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    io->Release();
    RtlZeroMemory(made, sizeof(*made));
    irp->IoStatus.Status = c_IrpUnused;
    made->Irp = irp;
    made->Urb = urb;
    made->Stream = this;
    made->Buffer = buffer;
    *context = made;
    return STATUS_SUCCESS;
}

void CUsbAudioStream::FreeTransferContext(TransferContextLists* lists, PTRANSFERCONTEXT context)
{
    if (context == nullptr)
        return;
    PUSBDEVICEIO io = QueryUsbIo();
    if (io != nullptr)
    {
        io->FreeIrp(context->Irp);
        io->Release();
    }
    else
        IoFreeIrp(context->Irp);
    ExFreeToNPagedLookasideList(&lists->Buffers, context->Buffer);
    ExFreeToNPagedLookasideList(&lists->Urbs, context->Urb);
    ExFreeToNPagedLookasideList(&lists->Contexts, context);
}

NTSTATUS CUsbAudioStream::FillContextSlots(TransferContextLists* lists,
                                           PTRANSFERCONTEXT volatile* busy, PTRANSFERCONTEXT* free)
{
    PAGED_CODE();
    for (ULONG i = 0; i < USB_STREAM_MAX_URBS; ++i)
    {
        PTRANSFERCONTEXT context = nullptr;
        NTSTATUS status = AllocTransferContext(lists, &context);
        if (!NT_SUCCESS(status))
            return status;
        context->Index = i;
        busy[i] = nullptr;
        free[i] = context;
    }
    return STATUS_SUCCESS;
}

void CUsbAudioStream::FreeContextSlots(TransferContextLists* lists, PKSPIN_LOCK lock,
                                       PTRANSFERCONTEXT* free)
{
    for (ULONG i = 0; i < USB_STREAM_MAX_URBS; ++i)
    {
        KIRQL irql;
        KeAcquireSpinLock(lock, &irql);
        PTRANSFERCONTEXT context = free[i];
        free[i] = nullptr;
        KeReleaseSpinLock(lock, irql);
        FreeTransferContext(lists, context);
    }
}

void CUsbAudioStream::FreeTransferContexts()
{
    FreeContextSlots(&m_DataLists, &m_ContextLock, m_FreeContexts);
}

PTRANSFERCONTEXT CUsbAudioStream::TakeContextSlot(PKSPIN_LOCK lock, PTRANSFERCONTEXT volatile* busy,
                                                  PTRANSFERCONTEXT* free, ULONG limit)
{
    PTRANSFERCONTEXT context = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(lock, &irql);
    for (ULONG i = 0; i < limit && context == nullptr; ++i)
    {
        PTRANSFERCONTEXT candidate = free[i];
        if (candidate != nullptr && InterlockedCompareExchangePointer(
                                        (PVOID volatile*)&busy[i], candidate, nullptr) == nullptr)
        {
            free[i] = nullptr;
            context = candidate;
        }
    }
    KeReleaseSpinLock(lock, irql);
    return context;
}

void CUsbAudioStream::ReturnContextSlot(PKSPIN_LOCK lock, PTRANSFERCONTEXT volatile* busy,
                                        PTRANSFERCONTEXT* free, PTRANSFERCONTEXT context)
{
    KIRQL irql;
    KeAcquireSpinLock(lock, &irql);
    free[context->Index] = context;
    busy[context->Index] = nullptr;
    IoReuseIrp(context->Irp, c_IrpUnused);
    KeReleaseSpinLock(lock, irql);
}

PTRANSFERCONTEXT CUsbAudioStream::GetTransferContext()
{
    const ULONG limit = m_UrbsInFlight < USB_STREAM_MAX_URBS ? m_UrbsInFlight : USB_STREAM_MAX_URBS;
    return TakeContextSlot(&m_ContextLock, m_BusyContexts, m_FreeContexts, limit);
}

void CUsbAudioStream::PutTransferContext(PTRANSFERCONTEXT context)
{
    ReturnContextSlot(&m_ContextLock, m_BusyContexts, m_FreeContexts, context);
}

// ----------------------------------------------------------------------------
// Sending

NTSTATUS CUsbAudioStream::SendStreamUrb()
{
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioStream::SendInitialUrbs()
{
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < m_UrbsInFlight && NT_SUCCESS(status); ++i)
    {
        status = SendStreamUrb();
        // No free context: enough URBs are in flight.
        if (status == STATUS_BUFFER_TOO_SMALL)
            return STATUS_SUCCESS;
    }
    // A URB the bus holds is pending: for the caller the start succeeded.
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

NTSTATUS CUsbAudioStream::TakeSendContext(PUSBDEVICEIO io, PTRANSFERCONTEXT* context)
{
    *context = nullptr;
    if (io == nullptr || m_DeviceGone || m_StreamState != USB_STREAM_RUNNING)
        return STATUS_SUCCESS;
    *context = GetTransferContext();
    return *context != nullptr ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL;
}

void CUsbAudioStream::BuildIsochUrb(PTRANSFERCONTEXT context, ULONG packets, ULONG transferFlags)
{
    auto& iso = context->Urb->UrbIsochronousTransfer;
    RtlZeroMemory(context->Urb, UsbStreamUrbBytes(packets));
    iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso.Hdr.Length = (USHORT)UsbStreamUrbBytes(packets);
    iso.PipeHandle = DataPipeHandle();
    iso.TransferFlags = transferFlags | (m_ExplicitStart != 0 ? 0 : USBD_START_ISO_TRANSFER_ASAP);
    iso.TransferBuffer = context->Buffer;
    iso.NumberOfPackets = packets;
}

NTSTATUS CUsbAudioStream::SubmitIsochUrb(PUSBDEVICEIO io, PTRANSFERCONTEXT context)
{
    auto& iso = context->Urb->UrbIsochronousTransfer;
    iso.StartFrame = m_ExplicitStart != 0 ? m_StartFrame : 0;
    if (m_ExplicitStart != 0)
        m_StartFrame += m_MsPerUrb;
    return PassUrbDown(io, context, StreamUrbCompletion);
}

NTSTATUS CUsbAudioStream::PassUrbDown(PUSBDEVICEIO io, PTRANSFERCONTEXT context,
                                      PIO_COMPLETION_ROUTINE completion)
{
    PIRP irp = context->Irp;
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.Others.Argument2 = nullptr;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = context->Urb;
    IoSetCompletionRoutine(irp, completion, context, TRUE, TRUE, TRUE);
    if (InterlockedIncrement(&m_OutstandingUrbs) == 1)
        KeClearEvent(&m_AllUrbsReturned);
    InterlockedIncrement(&m_SentUrbs);
    return io->CallLowerDriver(irp);
}

NTSTATUS CUsbAudioStream::SendRenderUrb(RenderPacing* pacing)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_SendLock, &irql);
    PUSBDEVICEIO io = QueryUsbIo();
    PTRANSFERCONTEXT context = nullptr;
    NTSTATUS status = TakeSendContext(io, &context);
    if (context != nullptr)
    {
        const ULONG packets = m_MsPerUrb * m_PacketsPerFrame;
        BuildIsochUrb(context, packets, USBD_TRANSFER_DIRECTION_OUT);
        auto& iso = context->Urb->UrbIsochronousTransfer;
        const ULONG bytes =
            PaceRenderPackets(pacing, m_BaseSamplesPerPacket, m_PacketsPerFrame,
                              m_CurrentWaveFormat.Format.nBlockAlign, iso.IsoPacket, packets);
        iso.TransferBufferLength = bytes;
        // What no client fills is silence, in the engine's coding until
        // the flip below makes it the device's.
        RtlFillMemory(context->Buffer, bytes, EngineSilence());
        Notify(STREAM_NOTIFY_RENDER_DATA, bytes, 0, context->Buffer);
        ProcessBuffer(context->Buffer, (LONG)bytes);
        FlipWireSign(context->Buffer, bytes);
        context->Bytes = bytes;
        AdaptRenderUrb(context);
        status = SubmitIsochUrb(io, context);
    }
    if (io != nullptr)
        io->Release();
    KeReleaseSpinLock(&m_SendLock, irql);
    return status;
}

// ----------------------------------------------------------------------------
// Completion

NTSTATUS CUsbAudioStream::StreamUrbCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context)
{
    auto transfer = static_cast<PTRANSFERCONTEXT>(context);
    return transfer->Stream->OnStreamUrbComplete(deviceObject, irp, transfer);
}

BOOLEAN CUsbAudioStream::IsDeviceGoneStatus(NTSTATUS status)
{
    return status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_NO_SUCH_DEVICE;
}

USBD_STATUS CUsbAudioStream::UrbResultStatus(PURB urb)
{
    const auto& iso = urb->UrbIsochronousTransfer;
    for (ULONG i = 0; i < iso.NumberOfPackets; ++i)
        if (USBD_ERROR(iso.IsoPacket[i].Status))
            return iso.IsoPacket[i].Status;
    return iso.Hdr.Status;
}

// Resubmits unless a failed transfer holds the stream for recovery. Two
// completions at once both send: a claim already taken only means another
// completion is sending too, and a URB skipped here would be lost from flight.
void CUsbAudioStream::ClaimResubmission()
{
    const LONG previous =
        InterlockedCompareExchange(&m_ErrorState, USB_STREAM_RESUBMIT, USB_STREAM_NO_ERROR);
    if (previous == USB_STREAM_RECOVERING)
        return;
    SendStreamUrb();
    if (previous == USB_STREAM_NO_ERROR)
        InterlockedCompareExchange(&m_ErrorState, USB_STREAM_NO_ERROR, USB_STREAM_RESUBMIT);
}

void CUsbAudioStream::EnterRecovery()
{
    if (InterlockedExchange(&m_ErrorState, USB_STREAM_RECOVERING) != USB_STREAM_RECOVERING)
        KeSetEvent(&m_WorkEvent, IO_NO_INCREMENT, FALSE);
}

void CUsbAudioStream::UrbReturned()
{
    if (InterlockedDecrement(&m_OutstandingUrbs) == 0)
        KeSetEvent(&m_AllUrbsReturned, IO_NO_INCREMENT, FALSE);
}

NTSTATUS CUsbAudioStream::CompleteRenderUrb(PIRP irp, PTRANSFERCONTEXT context)
{
    const NTSTATUS status = irp->IoStatus.Status;
    const bool running = m_StreamState == USB_STREAM_RUNNING;
    if (running && IsDeviceGoneStatus(status))
        m_DeviceGone = TRUE;
    const USBD_STATUS urbStatus = UrbResultStatus(context->Urb);
    Notify(STREAM_NOTIFY_BYTES, ClientBytesOf(context), !UrbDelivered(status, urbStatus), nullptr);
    return ReturnTransfer(context, running, status, urbStatus);
}

NTSTATUS CUsbAudioStream::ReturnTransfer(PTRANSFERCONTEXT context, bool running, NTSTATUS status,
                                         USBD_STATUS urbStatus)
{
    PutTransferContext(context);
    if (running && status != STATUS_CANCELLED)
    {
        if (UrbDelivered(status, urbStatus))
            ClaimResubmission();
        else
            EnterRecovery();
    }
    UrbReturned();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The base leaves every resubmission to the worker. The context goes back to
// its slot: freeing it would leave the slot pointing at freed memory.
NTSTATUS CUsbAudioStream::OnStreamUrbComplete(PDEVICE_OBJECT, PIRP irp, PTRANSFERCONTEXT context)
{
    const NTSTATUS status = irp->IoStatus.Status;
    const USBD_STATUS urbStatus = UrbResultStatus(context->Urb);
    PutTransferContext(context);
    if (m_StreamState == USB_STREAM_RUNNING && status != STATUS_CANCELLED)
    {
        if (!NT_SUCCESS(status) || !USBD_SUCCESS(urbStatus))
            EnterRecovery();
        else if (InterlockedCompareExchange(&m_ErrorState, USB_STREAM_RESUBMIT,
                                            USB_STREAM_NO_ERROR) == USB_STREAM_NO_ERROR)
            KeSetEvent(&m_WorkEvent, IO_NO_INCREMENT, FALSE);
    }
    UrbReturned();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// ----------------------------------------------------------------------------
// Start, recovery and abort

NTSTATUS CUsbAudioStream::StartTransfers()
{
    PAGED_CODE();
    if (m_ActiveClient == nullptr)
        return STATUS_UNSUCCESSFUL;
    UCHAR alternateSetting = 0;
    NTSTATUS status = FindAlternateSetting(&m_ActiveClient->Format.Format, &alternateSetting);
    if (NT_SUCCESS(status))
        status = SelectInterface(alternateSetting, m_ActiveClient);
    if (!NT_SUCCESS(status))
        return status;
    m_CaptureRingRead = 0;
    m_CaptureRingWrite = 0;
    m_OutstandingUrbs = 0;
    KeSetEvent(&m_AllUrbsReturned, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&m_WorkEvent);
    m_StartFrame = QueryCurrentFrameNumber() + USB_STREAM_START_LEAD_FRAMES;
    m_Pacing.Accumulator = 0;
    InterlockedExchange(&m_ErrorState, USB_STREAM_NO_ERROR);
    return SendInitialUrbs();
}

NTSTATUS CUsbAudioStream::RecoverFromError()
{
    PAGED_CODE();
    PADAPTERCOMMON adapter = nullptr;
    PDEVICE_OBJECT deviceObject = nullptr;
    if (m_Owner != nullptr &&
        NT_SUCCESS(m_Owner->QueryInterface(IID_IAdapterCommon, (PVOID*)&adapter)))
    {
        deviceObject = adapter->GetDeviceObject();
        if (deviceObject != nullptr)
            ObReferenceObject(deviceObject);
    }
    PUSBDEVICEIO io = QueryUsbIo();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    if (io != nullptr)
    {
        WaitForUrbs();
        InterlockedExchange(&m_ErrorState, USB_STREAM_NO_ERROR);
        m_DeviceGone = io->ResetPortIfNeeded();
        if (m_DeviceGone)
            status = STATUS_DEVICE_NOT_CONNECTED;
        else
        {
            LARGE_INTEGER delay;
            delay.QuadPart = -USB_STREAM_RECOVERY_DELAY_MS * 10000;
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
            status = DeselectInterface();
            if (NT_SUCCESS(status))
            {
                // The client resynchronises its position with the new start.
                NotifyStart(m_ActiveClient, TRUE);
                status = StartTransfers();
            }
            // A request the driver could not build says nothing about the
            // device; cycling the port for it would give the device up.
            if (!NT_SUCCESS(status) && status != STATUS_INSUFFICIENT_RESOURCES)
                io->CyclePort();
        }
        io->Release();
    }
    if (deviceObject != nullptr)
        ObDereferenceObject(deviceObject);
    if (adapter != nullptr)
        adapter->Release();
    return status;
}

NTSTATUS CUsbAudioStream::AbortPipe()
{
    PAGED_CODE();
    PUSBDEVICEIO io = QueryUsbIo();
    if (io == nullptr)
        return STATUS_UNSUCCESSFUL;
    struct _URB_PIPE_REQUEST urb = {};
    urb.Hdr.Length = sizeof(urb);
    urb.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    urb.PipeHandle = DataPipeHandle();
    NTSTATUS status = io->SubmitUrbSync(reinterpret_cast<PURB>(&urb));
    io->Release();
    // The aborted URBs come back through their completions, which may follow
    // the abort's own: the contexts are ours again only once all are back.
    if (NT_SUCCESS(status))
        WaitForUrbs();
    return status;
}
