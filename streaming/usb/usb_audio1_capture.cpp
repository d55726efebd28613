#include "streaming/usb/usb_audio1_capture.h"

namespace
{
// A capture client keeps at least this much in flight.
constexpr ULONG c_MinCaptureMs = 10;
} // namespace

CUsbAudio1Capture::CUsbAudio1Capture(PUNKNOWN outerUnknown, ULONG interfaceNumber,
                                     ULONG terminalLink)
    : CUsbAudioStream(outerUnknown, interfaceNumber, terminalLink), m_CaptureLock(0),
      m_BlockAlign(0), m_PacketStride(0), m_SilenceBytes(0)
{
    m_MsPerUrb = USB_STREAM_DEFAULT_MS_PER_URB;
    KeInitializeSpinLock(&m_CaptureLock);
}

NTSTATUS CUsbAudio1Capture::SelectInterface(UCHAR alternateSetting, PSTREAMCLIENT client)
{
    return SelectAudio1Interface(alternateSetting, client);
}

NTSTATUS CUsbAudio1Capture::SendStreamUrb()
{
    return SendCaptureUrb();
}

NTSTATUS CUsbAudio1Capture::OnStreamUrbComplete(PDEVICE_OBJECT, PIRP irp, PTRANSFERCONTEXT context)
{
    return CompleteCaptureUrb(irp, context);
}

// ----------------------------------------------------------------------------
// Preparation

NTSTATUS CUsbAudio1Capture::PrepareStream(PSTREAMCLIENT client, PULONG frameNumber)
{
    PAGED_CODE();
    if (client == nullptr || frameNumber == nullptr)
        return STATUS_INVALID_PARAMETER;
    // Both are divisors below.
    if (client->Format.Format.nBlockAlign == 0 || client->MsPerUrb == 0)
        return STATUS_INVALID_PARAMETER;
    // Another preparation owns the stream: its settings stay as they are.
    if (m_StreamState != USB_STREAM_CLOSED)
        return STATUS_INSUFFICIENT_RESOURCES;
    const ULONG ms = client->MsPerUrb;
    if ((ULONGLONG)ms * client->UrbCount < c_MinCaptureMs)
        client->UrbCount = (c_MinCaptureMs + ms - 1) / ms;
    UCHAR alternateSetting = 0;
    NTSTATUS status = LoadClientSettings(client, &alternateSetting);
    if (!NT_SUCCESS(status))
        return status;
    return PrepareCapture(client, alternateSetting, DataEndpointPacketBytes(alternateSetting),
                          frameNumber);
}

NTSTATUS CUsbAudio1Capture::PrepareCapture(PSTREAMCLIENT client, UCHAR alternateSetting,
                                           ULONG packetBytes, PULONG frameNumber)
{
    const WAVEFORMATEX& format = client->Format.Format;
    const ULONG block = format.nBlockAlign;
    const ULONG largest = packetBytes / block;
    // An endpoint that cannot carry one frame leaves every packet no room.
    if (largest == 0)
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    const ULONG stride = largest * block;
    const ULONGLONG bufferBytes = (ULONGLONG)stride * m_MsPerUrb * m_PacketsPerFrame;
    const ULONG ringBytes =
        bufferBytes <= MAXLONG ? CaptureRingBytes(format, (ULONG)bufferBytes) : 0;
    if (ringBytes == 0)
        return STATUS_INVALID_PARAMETER;
    // An empty packet is a missing one: one frame more than the rate gives
    // per packet, but never past the packet's share of the buffer (an
    // endpoint sized for the nominal rate would have the silence overwrite
    // the next packet). Below one frame a packet, empty packets are how the
    // device paces itself: they carry nothing and nothing is inserted.
    const ULONG nominal = PacingBaseSamples(format.nSamplesPerSec, m_PacketsPerFrame);
    const ULONGLONG silence = nominal != 0 ? ((ULONGLONG)nominal + 1) * block : 0;
    m_BaseSamplesPerPacket = largest;
    m_BlockAlign = block;
    m_PacketStride = stride;
    m_SilenceBytes = silence < stride ? (ULONG)silence : stride;
    return BuildPreparedStream(client, alternateSetting, (ULONG)bufferBytes, ringBytes,
                               frameNumber);
}

// ----------------------------------------------------------------------------
// Transfers

NTSTATUS CUsbAudio1Capture::SendCaptureUrb()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_SendLock, &irql);
    PUSBDEVICEIO io = QueryUsbIo();
    PTRANSFERCONTEXT context = nullptr;
    NTSTATUS status = TakeSendContext(io, &context);
    if (context != nullptr)
    {
        const ULONG packets = m_MsPerUrb * m_PacketsPerFrame;
        BuildIsochUrb(context, packets, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
        auto& iso = context->Urb->UrbIsochronousTransfer;
        for (ULONG i = 0; i < packets; ++i)
        {
            iso.IsoPacket[i].Offset = i * m_PacketStride;
            iso.IsoPacket[i].Length = 0;
        }
        iso.TransferBufferLength = packets * m_PacketStride;
        context->Bytes = iso.TransferBufferLength;
        status = SubmitIsochUrb(io, context);
    }
    if (io != nullptr)
        io->Release();
    KeReleaseSpinLock(&m_SendLock, irql);
    return status;
}

// What a URB brought is delivered before its status is judged; a failed
// IRP brought nothing.
NTSTATUS CUsbAudio1Capture::CompleteCaptureUrb(PIRP irp, PTRANSFERCONTEXT context)
{
    const NTSTATUS status = irp->IoStatus.Status;
    if (NT_SUCCESS(status))
        ProcessCapturedData(context);
    // Packets that failed do not fail the URB: only its own status counts.
    return ReturnTransfer(context, m_StreamState == USB_STREAM_RUNNING, status,
                          context->Urb->UrbHeader.Status);
}

// ----------------------------------------------------------------------------
// The capture ring

void CUsbAudio1Capture::ProcessCapturedData(PTRANSFERCONTEXT context)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_CaptureLock, &irql);
    if (m_CaptureRing != nullptr && m_PacketStride != 0)
    {
        const auto& iso = context->Urb->UrbIsochronousTransfer;
        const ULONG sent = m_MsPerUrb * m_PacketsPerFrame;
        const ULONG packets = iso.NumberOfPackets < sent ? iso.NumberOfPackets : sent;
        for (ULONG i = 0; i < packets; ++i)
        {
            // Each packet is read from the share it was given when sent.
            PUCHAR slot = context->Buffer + (SIZE_T)i * m_PacketStride;
            ULONG length = iso.IsoPacket[i].Length;
            if (length == 0 && USBD_SUCCESS(iso.IsoPacket[i].Status))
            {
                length = m_SilenceBytes;
                RtlFillMemory(slot, length, WireSilence());
            }
            AppendToRing(slot, length < m_PacketStride ? length : m_PacketStride);
        }
        DeliverWholeFrames();
    }
    KeReleaseSpinLock(&m_CaptureLock, irql);
}

void CUsbAudio1Capture::AppendToRing(const UCHAR* data, ULONG bytes)
{
    const ULONG size = m_CaptureRingSize;
    const ULONG held = (m_CaptureRingWrite - m_CaptureRingRead + size) % size;
    // One byte stays free: a full ring would read as an empty one.
    const ULONG room = size - 1 - held;
    if (bytes > room)
        bytes = room;
    const ULONG toEnd = size - m_CaptureRingWrite;
    const ULONG first = bytes < toEnd ? bytes : toEnd;
    RtlCopyMemory(m_CaptureRing + m_CaptureRingWrite, data, first);
    RtlCopyMemory(m_CaptureRing, data + first, bytes - first);
    m_CaptureRingWrite = (m_CaptureRingWrite + bytes) % size;
}

void CUsbAudio1Capture::DeliverWholeFrames()
{
    const ULONG size = m_CaptureRingSize;
    const ULONG available = (m_CaptureRingWrite - m_CaptureRingRead + size) % size;
    const ULONG whole = available - available % m_BlockAlign;
    if (whole == 0)
        return;
    const ULONG read = m_CaptureRingRead;
    // The ring and the read index are whole frames: so is either piece.
    if (read + whole > size)
    {
        DeliverPiece(m_CaptureRing + read, size - read);
        DeliverPiece(m_CaptureRing, whole - (size - read));
    }
    else
        DeliverPiece(m_CaptureRing + read, whole);
    Notify(STREAM_NOTIFY_BYTES, whole, 0, nullptr);
    m_CaptureRingRead = (read + whole) % size;
}

// The ring holds the device's samples; its clients get the engine's.
void CUsbAudio1Capture::DeliverPiece(PUCHAR data, ULONG bytes)
{
    FlipWireSign(data, bytes);
    ProcessBuffer(data, (LONG)bytes);
    Notify(STREAM_NOTIFY_CAPTURE_DATA, bytes, 0, data);
}
