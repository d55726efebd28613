#include "tests/streaming/usb_audio1_rig.h"

#include <gtest/gtest.h>

void RecordingClient::Callback(PVOID context, PVOID argument1, PVOID)
{
    auto self = static_cast<RecordingClient*>(context);
    auto record = static_cast<StreamNotification*>(argument1);
    // Records of another client are not ours; a stream with no active client
    // (prepared, not started) names none.
    if (record->Client != nullptr && record->Client != self->Record)
        return;
    self->Types.push_back(record->Type);
    if (record->Type == STREAM_NOTIFY_BYTES)
        self->ByteCounts.push_back(record->Bytes);
    if (record->Type == STREAM_NOTIFY_CAPTURE_DATA)
    {
        auto data = static_cast<PUCHAR>(record->Data.Buffer);
        self->Pieces.push_back({data, record->Data.Bytes});
        self->Captured.insert(self->Captured.end(), data, data + record->Data.Bytes);
    }
    if (record->Type == STREAM_NOTIFY_RENDER_DATA)
    {
        auto samples = static_cast<USHORT*>(record->Data.Buffer);
        for (ULONG i = 0; i < record->Data.Bytes / 2; ++i)
            samples[i] = self->NextRenderSample++;
    }
}

NTSTATUS GainNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object)
{
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IChainNode))
    {
        *object = static_cast<IChainNode*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP GainNode::Process(PWAVEFORMATEX format, PVOID buffer, ULONG frames)
{
    ++Calls;
    auto channels = static_cast<float**>(buffer);
    for (ULONG c = 0; c < format->nChannels; ++c)
        for (ULONG i = 0; i < frames; ++i)
            channels[c][i] *= Gain;
    return STATUS_SUCCESS;
}

template <class T>
Audio1Rig<T>::Audio1Rig(std::unique_ptr<SimUsbDevice> device, UCHAR interfaceNumber,
                        ULONG direction,
                        const std::vector<std::pair<WAVEFORMATEXTENSIBLE, UCHAR>>& formats)
    : m_Adapter(std::move(device))
{
    if (!m_Adapter.Ok() || !NT_SUCCESS(m_Adapter.Start()))
        return;
    auto stream = new (NonPagedPool, kStreamTestTag) T(interfaceNumber);
    if (stream == nullptr)
        return;
    stream->AddRef();
    bool ok = NT_SUCCESS(stream->InitStream(direction, m_Adapter.Primary()));
    for (size_t i = 0; ok && i < formats.size(); ++i)
        ok = NT_SUCCESS(stream->AddStreamFormat(&formats[i].first, formats[i].second));
    if (!ok || !NT_SUCCESS(stream->AllocateStreamBuffers()))
    {
        stream->Release();
        return;
    }
    m_Stream = stream;
}

template <class T> Audio1Rig<T>::~Audio1Rig()
{
    if (m_Stream != nullptr)
    {
        EXPECT_EQ(0u, m_Stream->Release());
    }
    m_Stream = nullptr;
}

template <class T>
NTSTATUS Audio1Rig<T>::Register(RecordingClient* client, const WAVEFORMATEX& format, ULONG msPerUrb,
                                ULONG urbCount)
{
    WAVEFORMATEX copy = format;
    return m_Stream->RegisterClient(client->Kind, &copy, msPerUrb, urbCount,
                                    RecordingClient::Callback, client, &client->Record);
}

template <class T> NTSTATUS Audio1Rig<T>::OpenAndStart(RecordingClient* client)
{
    ULONG ms = 0, frame = 0;
    NTSTATUS status = m_Stream->OpenClient(client->Key(), &ms, &frame);
    if (!NT_SUCCESS(status))
        return status;
    return m_Stream->StartClient(client->Key(), frame + USB_STREAM_START_LEAD_FRAMES, &ms, nullptr);
}

template <class T> void Audio1Rig<T>::Leave(RecordingClient* client)
{
    m_Stream->StopClient(client->Key(), nullptr);
    m_Stream->CloseClient(client->Key());
    EXPECT_EQ(STATUS_SUCCESS, m_Stream->UnregisterClient(client->Key()));
    client->Record = nullptr;
}

template class Audio1Rig<TestCapture>;
template class Audio1Rig<TestRender>;

std::unique_ptr<SimUsbDevice> DeviceWithCapturePacket(SimReference which, UCHAR endpoint,
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
