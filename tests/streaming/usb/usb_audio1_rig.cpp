#include "tests/streaming/usb/usb_audio1_rig.h"

#include "streaming/usb/usb_audio_repack_render.h"

#include <gtest/gtest.h>

void RecordingClient::Callback(PVOID context, PVOID argument1, PVOID)
{
    auto self = static_cast<RecordingClient*>(context);
    auto record = static_cast<StreamNotification*>(argument1);
    if (record->Client != nullptr && record->Client != self->Record)
        return;
    auto words = static_cast<USHORT*>(record->Data.Buffer);
    if (record->Type == STREAM_NOTIFY_CAPTURE_DATA)
    {
        self->Open.push_back({static_cast<PUCHAR>(record->Data.Buffer), record->Data.Bytes});
        self->Captured.insert(self->Captured.end(), words, words + record->Data.Bytes / 2);
        const auto bytes = static_cast<const UCHAR*>(record->Data.Buffer);
        self->CapturedBytes.insert(self->CapturedBytes.end(), bytes, bytes + record->Data.Bytes);
    }
    else if (record->Type == STREAM_NOTIFY_RENDER_DATA && self->FillsRender)
        for (ULONG i = 0; i < record->Data.Bytes / 2; ++i)
            words[i] = self->NextRenderSample++;
    else if (record->Type == STREAM_NOTIFY_BYTES && !self->Open.empty())
    {
        ULONG sum = 0;
        for (const DataPiece& piece : self->Open)
            sum += piece.Bytes;
        self->CountsAreSums = self->CountsAreSums && sum == record->Bytes;
        self->ByteCounts.push_back(record->Bytes);
        self->Completions.push_back(std::move(self->Open));
        self->Open.clear();
    }
}

NTSTATUS GainNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object)
{
    *object = nullptr;
    if (!IsEqualGUID(iid, IID_IUnknown) && !IsEqualGUID(iid, IID_IChainNode))
        return STATUS_INVALID_PARAMETER;
    *object = static_cast<IChainNode*>(this);
    AddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP GainNode::Process(PWAVEFORMATEX format, PVOID buffer, ULONG frames)
{
    auto channels = static_cast<float**>(buffer);
    for (ULONG c = 0; c < format->nChannels; ++c)
        for (ULONG i = 0; i < frames; ++i)
            channels[c][i] *= Gain;
    return STATUS_SUCCESS;
}

template <class T>
Audio1Rig<T>::Audio1Rig(std::unique_ptr<SimUsbDevice> device, UCHAR interfaceNumber,
                        ULONG direction,
                        const std::vector<std::pair<WAVEFORMATEXTENSIBLE, UCHAR>>& formats,
                        float gain, WireSampleSign sign)
    : m_Adapter(std::move(device))
{
    if (!m_Adapter.Ok() || !NT_SUCCESS(m_Adapter.Start()))
        return;
    auto stream = new (NonPagedPool, kStreamTestTag) T(nullptr, interfaceNumber, 0x66);
    stream->AddRef();
    bool ok = NT_SUCCESS(stream->InitStream(direction, m_Adapter.Primary()));
    for (size_t i = 0; ok && i < formats.size(); ++i)
        ok = NT_SUCCESS(stream->AddStreamFormat(&formats[i].first, formats[i].second, sign));
    ok = ok && NT_SUCCESS(stream->AllocateStreamBuffers());
    if (ok && gain != 1.0f)
    {
        auto node = new (NonPagedPool, kStreamTestTag) GainNode(gain);
        node->AddRef();
        ok = NT_SUCCESS(stream->AddProcessingNode(node));
        node->Release();
    }
    if (!ok)
        stream->Release();
    m_Stream = ok ? stream : nullptr;
}

template <class T> Audio1Rig<T>::~Audio1Rig()
{
    if (m_Stream != nullptr)
    {
        EXPECT_EQ(0u, m_Stream->Release());
    }
}

template <class T>
NTSTATUS Audio1Rig<T>::Register(RecordingClient* client, const WAVEFORMATEX& format, ULONG msPerUrb,
                                ULONG urbCount)
{
    WAVEFORMATEX copy = format;
    return m_Stream->RegisterClient(STREAM_CLIENT_KIND_WAVE_CYCLIC, &copy, msPerUrb, urbCount,
                                    RecordingClient::Callback, client, &client->Record);
}

template <class T>
NTSTATUS Audio1Rig<T>::Start(RecordingClient* client, const WAVEFORMATEX& format, ULONG msPerUrb,
                             ULONG urbCount)
{
    ULONG ms = 0, frame = 0;
    NTSTATUS status = Register(client, format, msPerUrb, urbCount);
    if (NT_SUCCESS(status))
        status = m_Stream->OpenClient(client->Key(), &ms, &frame);
    if (NT_SUCCESS(status))
        status = m_Stream->StartClient(client->Key(), frame + USB_STREAM_START_LEAD_FRAMES, &ms,
                                       nullptr);
    return status;
}

template <class T> void Audio1Rig<T>::Leave(RecordingClient* client)
{
    m_Stream->StopClient(client->Key(), nullptr);
    m_Stream->CloseClient(client->Key());
    EXPECT_EQ(STATUS_SUCCESS, m_Stream->UnregisterClient(client->Key()));
}

template class Audio1Rig<TestCapture>;
template class Audio1Rig<CUsbAudio1Render>;
template class Audio1Rig<CRV4410Render>;

std::unique_ptr<SimUsbDevice> DeviceWithPacketSize(SimReference which, UCHAR endpoint,
                                                   USHORT maxPacket)
{
    DeviceBytes bytes = ReferenceBytes(which);
    auto& c = bytes.Configuration;
    for (size_t i = 0; i + 7 <= c.size(); ++i)
        if (c[i] == 0x09 && c[i + 1] == 0x05 && c[i + 2] == endpoint)
        {
            c[i + 4] = (UCHAR)maxPacket;
            c[i + 5] = (UCHAR)(maxPacket >> 8);
        }
    return MakeSimDevice(bytes);
}
