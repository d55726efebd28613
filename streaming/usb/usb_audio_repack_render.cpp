#include "streaming/usb/usb_audio_repack_render.h"

#include <cstring>

namespace
{
// Channels 0 and 1 of frame f go to bytes [2Sf, 2S(f + 1)). From frame 1 on
// the source (f x blockAlign, at least 4Sf) starts at or past the end of
// the destination, so each copy is of distinct bytes and runs forward.
template <ULONG SampleBytes> void KeepFirstPair(PUCHAR buffer, ULONG frames, ULONG blockAlign)
{
    constexpr ULONG pair = 2 * SampleBytes;
    for (ULONG f = 1; f < frames; ++f)
        memcpy(buffer + f * pair, buffer + f * blockAlign, pair);
}

struct RepackRow
{
    ULONG SampleBytes;
    PREPACK_FRAMES Repack;
};
const RepackRow c_Repacks[] = {{2, KeepFirstPair<2>}, {3, KeepFirstPair<3>}, {4, KeepFirstPair<4>}};

constexpr ULONG c_DeviceChannels = 2;
} // namespace

PREPACK_FRAMES RepackFramesFor(ULONG sampleBytes)
{
    for (const RepackRow& row : c_Repacks)
        if (row.SampleBytes == sampleBytes)
            return row.Repack;
    return nullptr;
}

NTSTATUS CRV4410Render::PrepareStream(PSTREAMCLIENT client, PULONG frameNumber)
{
    PAGED_CODE();
    if (client == nullptr || frameNumber == nullptr)
        return STATUS_INVALID_PARAMETER;
    const WAVEFORMATEX& format = client->Format.Format;
    const ULONG channels = format.nChannels;
    if (channels < c_DeviceChannels || channels % c_DeviceChannels != 0 ||
        format.nBlockAlign % channels != 0)
        return STATUS_INVALID_PARAMETER;
    const PREPACK_FRAMES repack = RepackFramesFor(format.nBlockAlign / channels);
    if (repack == nullptr)
        return STATUS_INVALID_PARAMETER;
    // Another preparation may own the stream: its URBs keep their own k.
    NTSTATUS status = CUsbAudio1Render::PrepareStream(client, frameNumber);
    if (!NT_SUCCESS(status))
        return status;
    m_Fold = channels / c_DeviceChannels;
    m_BlockAlign = format.nBlockAlign;
    m_Repack = repack;
    return STATUS_SUCCESS;
}

ULONG CRV4410Render::WireFrameBytes(const WAVEFORMATEX& format) const
{
    return format.nChannels >= c_DeviceChannels
               ? format.nBlockAlign / format.nChannels * c_DeviceChannels
               : format.nBlockAlign;
}

void CRV4410Render::AdaptRenderUrb(PTRANSFERCONTEXT context)
{
    if (m_Fold == 1 || m_Repack == nullptr)
        return;
    m_Repack(context->Buffer, context->Bytes / m_BlockAlign, m_BlockAlign);
    auto& iso = context->Urb->UrbIsochronousTransfer;
    for (ULONG i = 0; i < iso.NumberOfPackets; ++i)
    {
        iso.IsoPacket[i].Offset /= m_Fold;
        iso.IsoPacket[i].Length /= m_Fold;
    }
    iso.TransferBufferLength /= m_Fold;
    context->Bytes /= m_Fold;
}

ULONG CRV4410Render::ClientBytesOf(PTRANSFERCONTEXT context) const
{
    return context->Bytes * m_Fold;
}

NTSTATUS CRV4410Render::OnStreamUrbComplete(PDEVICE_OBJECT, PIRP irp, PTRANSFERCONTEXT context)
{
    const auto& iso = context->Urb->UrbIsochronousTransfer;
    for (ULONG i = 0; i < iso.NumberOfPackets; ++i)
    {
        if (USBD_ERROR(iso.IsoPacket[i].Status))
        {
            DbgPrint("Idx = %d, Status = %x\n", (int)i, (unsigned)iso.IsoPacket[i].Status);
            break;
        }
    }
    if (!NT_SUCCESS(irp->IoStatus.Status) || !USBD_SUCCESS(iso.Hdr.Status))
        DbgPrint("Transfer Error ntStatus = %x, URB Status = %x\n", (unsigned)irp->IoStatus.Status,
                 (unsigned)iso.Hdr.Status);
    return CompleteRenderUrb(irp, context);
}
