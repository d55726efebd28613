#include "tests/streaming/usb/usb_stream_rig.h"

#include <gtest/gtest.h>

#include "platform/usb/usbdlib.h"

// ----------------------------------------------------------------------------
// The test stream

NTSTATUS TestUsbStream::SelectInterface(UCHAR alternateSetting, PSTREAMCLIENT)
{
    PUSBDEVICEIO io = QueryUsbIo();
    if (io == nullptr)
        return STATUS_UNSUCCESSFUL;
    PUSB_CONFIGURATION_DESCRIPTOR config = io->GetConfigurationDescriptor();
    PUSB_INTERFACE_DESCRIPTOR intf = USBD_ParseConfigurationDescriptorEx(
        config, config, (LONG)m_ConstructionValue, alternateSetting, -1, -1, -1);
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (intf != nullptr)
    {
        const ULONG bytes = GET_SELECT_INTERFACE_REQUEST_SIZE(intf->bNumEndpoints);
        auto urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, bytes, kStreamTestTag));
        RtlZeroMemory(urb, bytes);
        UsbBuildSelectInterfaceRequest(urb, (USHORT)bytes, io->GetConfigurationHandle(),
                                       (UCHAR)m_ConstructionValue, alternateSetting);
        status = io->SubmitUrbSync(urb);
        if (NT_SUCCESS(status))
        {
            Selected.push_back(alternateSetting);
            if (m_InterfaceInfo != nullptr)
                ExFreePoolWithTag(m_InterfaceInfo, USB_STREAM_URB_POOL_TAG);
            const ULONG infoBytes = urb->UrbSelectInterface.Interface.Length;
            m_InterfaceInfo = static_cast<PUSBD_INTERFACE_INFORMATION>(
                ExAllocatePoolWithTag(NonPagedPool, infoBytes, USB_STREAM_URB_POOL_TAG));
            RtlCopyMemory(m_InterfaceInfo, &urb->UrbSelectInterface.Interface, infoBytes);
            m_DataPipeIndex = 0;
            for (ULONG i = 0; i < m_InterfaceInfo->NumberOfPipes; ++i)
                if (USB_ENDPOINT_DIRECTION_OUT(m_InterfaceInfo->Pipes[i].EndpointAddress))
                    m_DataPipeIndex = i;
        }
        ExFreePoolWithTag(urb, kStreamTestTag);
    }
    io->Release();
    return status;
}

NTSTATUS TestUsbStream::PrepareStream(PSTREAMCLIENT client, PULONG frameNumber)
{
    if (PrepareFailCount > 0)
    {
        --PrepareFailCount;
        return PrepareFailure;
    }
    UCHAR alternateSetting = 0;
    NTSTATUS status = LoadClientSettings(client, &alternateSetting);
    if (!NT_SUCCESS(status))
        return status;
    if (InterlockedCompareExchange(&m_StreamState, USB_STREAM_PREPARED, USB_STREAM_CLOSED) !=
        USB_STREAM_CLOSED)
        return STATUS_INSUFFICIENT_RESOURCES;
    m_CurrentWaveFormat = client->Format;
    status = BuildTransferContexts(RenderBufferBytes());
    if (NT_SUCCESS(status))
        status = SelectInterface(alternateSetting, client);
    if (!NT_SUCCESS(status))
    {
        ReleaseTransferLoop();
        InterlockedExchange(&m_StreamState, USB_STREAM_CLOSED);
        return status;
    }
    *frameNumber = QueryCurrentFrameNumber();
    LastPrepareFrame = *frameNumber;
    return STATUS_SUCCESS;
}

NTSTATUS TestUsbStream::SendStreamUrb()
{
    return SendRenderUrb(&m_Pacing);
}

NTSTATUS TestUsbStream::OnStreamUrbComplete(PDEVICE_OBJECT deviceObject, PIRP irp,
                                            PTRANSFERCONTEXT context)
{
    if (BaseCompletion)
        return CUsbAudioStream::OnStreamUrbComplete(deviceObject, irp, context);
    return CompleteRenderUrb(irp, context);
}

ULONG TestUsbStream::BusyCount() const
{
    ULONG busy = 0;
    for (PTRANSFERCONTEXT context : m_BusyContexts)
        busy += context != nullptr ? 1 : 0;
    return busy;
}

// ----------------------------------------------------------------------------
// Client doubles

void ClientDouble::Callback(PVOID context, PVOID argument1, PVOID)
{
    auto self = static_cast<ClientDouble*>(context);
    auto record = static_cast<StreamNotification*>(argument1);
    SeenNotification seen = {record->Client, record->Type, 0, 0};
    if (record->Type == STREAM_NOTIFY_RENDER_DATA || record->Type == STREAM_NOTIFY_CAPTURE_DATA)
        seen.First = record->Data.Bytes;
    else if (record->Type == STREAM_NOTIFY_BYTES)
    {
        seen.First = record->Bytes;
        seen.Second = record->Dropped;
    }
    else
    {
        seen.First = record->Start.MsPerUrb;
        seen.Second = record->Start.UrbCount;
    }
    self->Seen.push_back(seen);
    // Only the active client writes its samples.
    if (record->Type == STREAM_NOTIFY_RENDER_DATA && record->Client == self->Record)
    {
        memset(record->Data.Buffer, self->Fill, record->Data.Bytes);
    }
}

std::vector<SeenNotification> ClientDouble::Starts() const
{
    std::vector<SeenNotification> starts;
    for (const SeenNotification& seen : Seen)
        if (seen.Type == STREAM_NOTIFY_START && seen.Client == Record)
            starts.push_back(seen);
    return starts;
}

ULONGLONG ClientDouble::BytesSeen(bool droppedOnly) const
{
    ULONGLONG bytes = 0;
    for (const SeenNotification& seen : Seen)
        if (seen.Type == STREAM_NOTIFY_BYTES && (!droppedOnly || seen.Second != 0))
            bytes += seen.First;
    return bytes;
}

WAVEFORMATEX PcmFormat(USHORT channels, ULONG rate, USHORT bits)
{
    WAVEFORMATEX format = {};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.wBitsPerSample = bits;
    format.nBlockAlign = (USHORT)(channels * bits / 8);
    format.nAvgBytesPerSec = rate * format.nBlockAlign;
    return format;
}

WAVEFORMATEXTENSIBLE PcmRecord(USHORT channels, ULONG rate, USHORT bits)
{
    WAVEFORMATEXTENSIBLE record = {};
    record.Format = PcmFormat(channels, rate, bits);
    record.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    record.Format.cbSize = WAVEFORMATEXTENSIBLE_EXTRA;
    record.Samples.wValidBitsPerSample = bits;
    record.dwChannelMask = channels == 2 ? 3 : 4;
    record.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return record;
}

// ----------------------------------------------------------------------------
// The rig

StreamRig::StreamRig(std::unique_ptr<SimUsbDevice> device, bool addFormats)
    : m_Adapter(std::move(device))
{
    if (!m_Adapter.Ok() || !NT_SUCCESS(m_Adapter.Start()))
        return;
    auto stream = new (NonPagedPool, kStreamTestTag) TestUsbStream(SimRef1::PlayInterface);
    if (stream == nullptr)
        return;
    stream->AddRef();
    if (!NT_SUCCESS(stream->InitStream(STREAM_DIRECTION_RENDER, m_Adapter.Primary())))
    {
        stream->Release();
        return;
    }
    const WAVEFORMATEXTENSIBLE formats[] = {PcmRecord(2, 48000, 16), PcmRecord(2, 44100, 16),
                                            PcmRecord(2, 48000, 24)};
    const UCHAR settings[] = {1, 1, 2};
    for (int i = 0; addFormats && i < 3; ++i)
        stream->AddStreamFormat(&formats[i], settings[i]);
    m_Stream = stream;
}

StreamRig::~StreamRig()
{
    if (m_Stream != nullptr)
    {
        EXPECT_EQ(0u, m_Stream->Release());
    }
    m_Stream = nullptr;
}

NTSTATUS StreamRig::Register(ClientDouble* client, const WAVEFORMATEX& format, ULONG msPerUrb,
                             ULONG urbCount)
{
    WAVEFORMATEX copy = format;
    return m_Stream->RegisterClient(client->Kind, &copy, msPerUrb, urbCount, ClientDouble::Callback,
                                    client, &client->Record);
}

NTSTATUS StreamRig::OpenAndStart(ClientDouble* client)
{
    ULONG ms = 0, frame = 0;
    NTSTATUS status = m_Stream->OpenClient(client->Key(), &ms, &frame);
    if (!NT_SUCCESS(status))
        return status;
    return m_Stream->StartClient(client->Key(), frame + USB_STREAM_START_LEAD_FRAMES, &ms, nullptr);
}

void StreamRig::Leave(ClientDouble* client)
{
    m_Stream->StopClient(client->Key(), nullptr);
    m_Stream->CloseClient(client->Key());
    EXPECT_EQ(STATUS_SUCCESS, m_Stream->UnregisterClient(client->Key()));
    client->Record = nullptr;
}

std::unique_ptr<SimUsbDevice> HighSpeedDevice(UCHAR playInterval)
{
    DeviceBytes bytes = ReferenceBytes(SimReference::Uac1SpeakerMic);
    bytes.Speed = EmuUsbSpeed::High;
    bytes.Device[2] = 0x00; // bcdUSB 2.00
    bytes.Device[3] = 0x02;
    const UCHAR endpoint[] = {0x09, 0x05, SimRef1::PlayEndpoint, 0x09};
    const UCHAR status[] = {0x09, 0x05, SimRef1::StatusEndpoint, 0x03};
    auto& c = bytes.Configuration;
    for (size_t i = 0; i + sizeof(endpoint) + 3 <= c.size(); ++i)
    {
        if (std::equal(endpoint, endpoint + sizeof(endpoint), c.begin() + (long)i))
            c[i + 6] = playInterval;
        // 2^(9-1) microframes: the 32 ms of the full-speed status endpoint.
        if (std::equal(status, status + sizeof(status), c.begin() + (long)i))
            c[i + 6] = 9;
    }
    return MakeSimDevice(bytes);
}
