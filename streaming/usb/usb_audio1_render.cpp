#include "streaming/usb/usb_audio1_render.h"

CUsbAudio1Render::CUsbAudio1Render(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalLink)
    : CUsbAudioStream(outerUnknown, interfaceNumber, terminalLink)
{
    m_MsPerUrb = USB_STREAM_DEFAULT_MS_PER_URB;
}

NTSTATUS CUsbAudio1Render::SelectInterface(UCHAR alternateSetting, PSTREAMCLIENT client)
{
    return SelectAudio1Interface(alternateSetting, client);
}

NTSTATUS CUsbAudio1Render::SendStreamUrb()
{
    return SendRenderUrb(&m_Pacing);
}

NTSTATUS CUsbAudio1Render::OnStreamUrbComplete(PDEVICE_OBJECT, PIRP irp, PTRANSFERCONTEXT context)
{
    return CompleteRenderUrb(irp, context);
}

NTSTATUS CUsbAudio1Render::PrepareStream(PSTREAMCLIENT client, PULONG frameNumber)
{
    PAGED_CODE();
    if (client == nullptr || frameNumber == nullptr)
        return STATUS_INVALID_PARAMETER;
    const WAVEFORMATEX& format = client->Format.Format;
    if (format.nBlockAlign == 0)
        return STATUS_INVALID_PARAMETER;
    // Another preparation owns the stream: its settings stay as they are.
    if (m_StreamState != USB_STREAM_CLOSED)
        return STATUS_INSUFFICIENT_RESOURCES;
    UCHAR alternateSetting = 0;
    NTSTATUS status = LoadClientSettings(client, &alternateSetting);
    if (!NT_SUCCESS(status))
        return status;
    // Room for the largest packets the pacing builds, in every packet.
    const ULONGLONG bufferBytes = (ULONGLONG)PacingMaxSamplesPerPacket(m_BaseSamplesPerPacket) *
                                  format.nBlockAlign * m_MsPerUrb * m_PacketsPerFrame;
    const ULONG ringBytes =
        bufferBytes <= MAXLONG ? CaptureRingBytes(format, (ULONG)bufferBytes) : 0;
    if (ringBytes == 0)
        return STATUS_INVALID_PARAMETER;
    return BuildPreparedStream(client, alternateSetting, (ULONG)bufferBytes, ringBytes,
                               frameNumber);
}
