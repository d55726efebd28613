#include "tests/streaming/wave/wave_rig.h"

#include <gtest/gtest.h>

#include "platform/ks/ksformat.h"
#include "streaming/wave/wave_data_format.h"

namespace
{
constexpr ULONG c_RigTag = POOL_TAG("TWav");
} // namespace

// ----------------------------------------------------------------------------
// The hand-built USB stream

NTSTATUS HandStream::PrepareStream(PSTREAMCLIENT client, PULONG frameNumber)
{
    if (InterlockedCompareExchange(&m_StreamState, USB_STREAM_PREPARED, USB_STREAM_CLOSED) !=
        USB_STREAM_CLOSED)
        return STATUS_INSUFFICIENT_RESOURCES;
    m_CurrentWaveFormat = client->Format;
    *frameNumber = 100;
    return STATUS_SUCCESS;
}

NTSTATUS HandStream::StartStream(ULONG startFrame, ULONG explicitStart)
{
    StartFrame = startFrame;
    if (!NT_SUCCESS(StartFailure))
        return StartFailure;
    return CUsbAudioStream::StartStream(startFrame, explicitStart);
}

NTSTATUS HandStream::SetContentId(ULONG contentId, PCDRMRIGHTS)
{
    ContentId = contentId;
    return STATUS_SUCCESS;
}

HandStream* MakeHandStream(ULONG direction, const std::vector<WAVEFORMATEXTENSIBLE>& formats)
{
    auto stream = new (NonPagedPool, c_RigTag) HandStream(direction);
    stream->AddRef();
    EXPECT_EQ(STATUS_SUCCESS, stream->InitStream(direction, nullptr));
    for (const WAVEFORMATEXTENSIBLE& format : formats)
        EXPECT_EQ(STATUS_SUCCESS, stream->AddStreamFormat(&format, 1));
    return stream;
}

// ----------------------------------------------------------------------------
// Doubles

NTSTATUS AdapterDouble::GetStreamCapabilities(ULONG index, PENDPOINTCAPABILITIES caps)
{
    CapabilityIndexes.push_back(index);
    *caps = Capabilities;
    return STATUS_SUCCESS;
}

NTSTATUS AdapterDouble::GetEngine(ULONG index, CStreamEngine** engine)
{
    *engine = index == 0 ? m_Engine : nullptr;
    return index == 0 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NTSTATUS TerminalDouble::NonDelegatingQueryInterface(REFIID iid, PVOID* object)
{
    if (Answers && IsEqualGUID(iid, IID_ITerminalControl))
    {
        *object = static_cast<ITerminalControl*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    return CAudioControl::NonDelegatingQueryInterface(iid, object);
}

// ----------------------------------------------------------------------------
// Formats

WAVEFORMATEXTENSIBLE WaveRecord(USHORT channels, ULONG rate, USHORT bits, USHORT tag,
                                bool extensible)
{
    WAVEFORMATEXTENSIBLE record = {};
    record.Format.wFormatTag = extensible ? WAVE_FORMAT_EXTENSIBLE : tag;
    record.Format.nChannels = channels;
    record.Format.nSamplesPerSec = rate;
    record.Format.wBitsPerSample = bits;
    record.Format.nBlockAlign = (USHORT)(channels * bits / 8);
    record.Format.nAvgBytesPerSec = rate * record.Format.nBlockAlign;
    if (extensible)
    {
        record.Format.cbSize = WAVEFORMATEXTENSIBLE_EXTRA;
        record.Samples.wValidBitsPerSample = bits;
        record.dwChannelMask = channels == 2 ? KSAUDIO_SPEAKER_STEREO : 0;
        record.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        record.SubFormat.Data1 = tag;
    }
    return record;
}

std::vector<UCHAR> DataFormat(const WAVEFORMATEXTENSIBLE& record, bool extensible)
{
    const ULONG waveBytes = extensible ? sizeof(WAVEFORMATEXTENSIBLE) : sizeof(WAVEFORMATEX);
    std::vector<UCHAR> bytes(sizeof(KSDATAFORMAT) + waveBytes);
    KSDATAFORMAT header = {};
    header.FormatSize = (ULONG)bytes.size();
    header.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    header.SubFormat = WaveSubFormatOf(record);
    header.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    memcpy(bytes.data(), &header, sizeof(header));
    memcpy(bytes.data() + sizeof(header), &record, waveBytes);
    return bytes;
}

void AppendModeAttribute(std::vector<UCHAR>* format, const GUID& mode, ULONG size)
{
    auto header = reinterpret_cast<KSDATAFORMAT*>(format->data());
    header->Flags |= KSDATAFORMAT_ATTRIBUTES;
    format->resize(KsAttributeListOffset(header->FormatSize));
    KSMULTIPLE_ITEM list = {(ULONG)sizeof(KSMULTIPLE_ITEM) + size, 1};
    KSATTRIBUTE_AUDIOSIGNALPROCESSING_MODE attribute = {};
    attribute.AttributeHeader.Size = size;
    attribute.AttributeHeader.Attribute = KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE;
    attribute.SignalProcessingMode = mode;
    const size_t at = format->size();
    format->resize(at + sizeof(list) + (size > sizeof(attribute) ? size : sizeof(attribute)));
    memcpy(format->data() + at, &list, sizeof(list));
    memcpy(format->data() + at + sizeof(list), &attribute, sizeof(attribute));
}

// ----------------------------------------------------------------------------
// The rig

WaveRig::WaveRig(CStreamEngine* engine)
{
    m_Adapter = new (NonPagedPool, c_RigTag) AdapterDouble(engine, nullptr);
    m_Adapter->NonDelegatingAddRef();
    if (!NT_SUCCESS(PcNewPort(&m_Port, CLSID_PortWaveCyclic)) ||
        !NT_SUCCESS(CreateMiniportWaveCyclic(&m_MiniportUnknown, CLSID_PortWaveCyclic, nullptr,
                                             NonPagedPool, 0)))
        return;
    PMINIPORTWAVECYCLIC miniport = nullptr;
    m_MiniportUnknown->QueryInterface(IID_IMiniportWaveCyclic, (PVOID*)&miniport);
    m_Miniport = static_cast<CWaveCyclicMiniport*>(miniport);
    PPORTWAVECYCLIC port = nullptr;
    m_Port->QueryInterface(IID_IPortWaveCyclic, (PVOID*)&port);
    m_Status = miniport->Init(m_Adapter->GetNonDelegatingUnknown(), nullptr, port);
    port->Release();
    miniport->Release();
}

WaveRig::~WaveRig()
{
    Close();
    if (m_MiniportUnknown != nullptr)
    {
        EXPECT_EQ(0u, m_MiniportUnknown->Release());
    }
    if (m_Port != nullptr)
        m_Port->Release();
    if (m_Adapter != nullptr)
    {
        EXPECT_EQ(0u, m_Adapter->NonDelegatingRelease());
    }
}

NTSTATUS WaveRig::Open(const std::vector<UCHAR>& format, bool capture)
{
    std::vector<ULONGLONG> aligned((format.size() + 7) / 8 + 1);
    memcpy(aligned.data(), format.data(), format.size());
    NTSTATUS status =
        m_Miniport->NewStream(&m_StreamInterface, nullptr, NonPagedPool, 0, capture ? TRUE : FALSE,
                              reinterpret_cast<PKSDATAFORMAT>(aligned.data()), &m_Dma, &m_Group);
    m_Stream = static_cast<CWaveCyclicStream*>(m_StreamInterface);
    return status;
}

void WaveRig::Close()
{
    if (m_Group != nullptr)
        m_Group->Release();
    if (m_Dma != nullptr)
        m_Dma->Release();
    if (m_StreamInterface != nullptr)
    {
        EXPECT_EQ(0u, m_StreamInterface->Release());
    }
    m_Group = nullptr;
    m_Dma = nullptr;
    m_StreamInterface = nullptr;
    m_Stream = nullptr;
}

ULONG WaveRig::Position()
{
    ULONG position = ~0u;
    EXPECT_EQ(STATUS_SUCCESS, m_StreamInterface->GetPosition(&position));
    return position;
}
