// The engine's processing: one transfer buffer through the node lists of the
// processing chain, in place. PCM is converted chunk by chunk to one float
// buffer per channel, run through the lists and converted back; float
// streams run the first list on the caller's interleaved samples. A node
// that changes no sample now is passed over, and a chunk that no node
// changes is not converted at all: where nothing is on, every sample leaves
// as it came, at every width.
#include <cstdint>

#include "framework/stream_engine.h"
#include "platform/cpu/cpu.h"
#include "primitives/convert/DspConvertFullScale.h"
#include "primitives/dsp.h"

namespace
{
// The SSE control register's flush-to-zero bit and rounding field.
constexpr unsigned int c_MxcsrFlushToZero = 0x8000;
constexpr unsigned int c_MxcsrRounding = 0x6000; // 0: round to nearest

// Flush-to-zero and round-to-nearest while the chain runs: denormals would
// slow the filters down by orders of magnitude. The caller's register comes
// back on every exit.
class ProcessingFloatMode
{
  public:
    ProcessingFloatMode() : m_Saved(EmuGetMxcsr())
    {
        EmuSetMxcsr((m_Saved | c_MxcsrFlushToZero) & ~c_MxcsrRounding);
    }
    ~ProcessingFloatMode() { EmuSetMxcsr(m_Saved); }
    ProcessingFloatMode(const ProcessingFloatMode&) = delete;
    ProcessingFloatMode& operator=(const ProcessingFloatMode&) = delete;

  private:
    unsigned int m_Saved;
};

// The PCM sample widths the chain converts, with the scaling that maps full
// scale to [-1, 1). A width with ToChannels and FromChannels converts
// straight between the PCM buffer and the channel buffers, in one pass
// instead of a conversion and a (de-)interleave through the work buffer.
struct PcmWidth
{
    USHORT Bits;
    void (*ToFloat)(const UCHAR* source, float* destination, int32_t count);
    void (*FromFloat)(const float* source, UCHAR* destination, int32_t count);
    void (*ToChannels)(const UCHAR* source, int32_t channels, int32_t frames,
                       float* const* destination);
    void (*FromChannels)(const float* const* source, int32_t channels, int32_t frames,
                         UCHAR* destination);
};

const PcmWidth c_PcmWidths[] = {
    {16,
     [](const UCHAR* s, float* d, int32_t n)
     { DspConvert16sTo32fScaled(reinterpret_cast<const int16_t*>(s), d, n, 15); },
     [](const float* s, UCHAR* d, int32_t n)
     { DspConvert32fTo16sScaled(s, reinterpret_cast<int16_t*>(d), n, DspRndZero, -15); },
     nullptr, nullptr},
    {24, [](const UCHAR* s, float* d, int32_t n) { DspConvert24sTo32fFullScale(s, d, n); },
     [](const float* s, UCHAR* d, int32_t n) { DspConvert32fTo24sScaled(s, d, n, -23); },
     [](const UCHAR* s, int32_t c, int32_t n, float* const* d)
     { DspDeinterleave24sTo32fFullScale(s, c, n, d); },
     [](const float* const* s, int32_t c, int32_t n, UCHAR* d)
     { DspInterleave32fTo24sFullScale(s, c, n, d); }},
    {32,
     [](const UCHAR* s, float* d, int32_t n)
     { DspConvert32sTo32fScaled(reinterpret_cast<const int32_t*>(s), d, n, 31); },
     [](const float* s, UCHAR* d, int32_t n)
     { DspConvert32fTo32sScaled(s, reinterpret_cast<int32_t*>(d), n, DspRndZero, -31); },
     nullptr, nullptr},
};

const PcmWidth* FindPcmWidth(USHORT bits)
{
    for (const PcmWidth& width : c_PcmWidths)
        if (width.Bits == bits)
            return &width;
    return nullptr;
}

// A container's samples to [-1, 1) floats with the bits below the valid
// ones cleared first: each sample left-justified in 32 bits and masked, so
// that padding never rounds into the valid bits. 24 valid bits or fewer
// convert exactly.
template <ULONG Bytes>
void MaskedToFloat(const UCHAR* source, int32_t count, uint32_t mask, float* destination)
{
    constexpr float c_Scale = 1.0f / 2147483648.0f;
    for (int32_t i = 0; i < count; ++i, source += Bytes)
    {
        uint32_t v = 0;
        for (ULONG b = 0; b < Bytes; ++b)
            v |= (uint32_t)source[b] << (8 * (4 - Bytes + b));
        destination[i] = (float)(int32_t)(v & mask) * c_Scale;
    }
}

struct MaskedWidth
{
    USHORT Bits;
    void (*ToFloat)(const UCHAR* source, int32_t count, uint32_t mask, float* destination);
};
const MaskedWidth c_MaskedWidths[] = {
    {16, MaskedToFloat<2>}, {24, MaskedToFloat<3>}, {32, MaskedToFloat<4>}};

// What a chain node says of its effect on `format` now, through `ask`; a
// node without the activity interface answers `unknown`.
template <typename Ask, typename Result>
Result AskActivity(PCHAINNODE node, Ask ask, Result unknown)
{
    PCHAINNODEACTIVITY activity = nullptr;
    if (!NT_SUCCESS(node->QueryInterface(IID_IChainNodeActivity, (PVOID*)&activity)) ||
        activity == nullptr)
        return unknown;
    const Result result = ask(activity);
    activity->Release();
    return result;
}

bool IsEmptyList(const CPtrList* list)
{
    return list == nullptr || list->IsEmpty();
}

// A node without the activity interface: one a client handed in.
constexpr const char* c_ClientNodeText = "a node a client handed in";
} // namespace

USHORT CStreamEngine::CurrentFormatTag() const
{
    const WAVEFORMATEX& format = m_CurrentWaveFormat.Format;
    if (format.wFormatTag == WAVE_FORMAT_EXTENSIBLE)
        return (USHORT)(m_CurrentWaveFormat.SubFormat.Data1 & 0xFFFF);
    return format.wFormatTag;
}

// A chunk of at most eight channels of a width the converters know, packed
// without padding, fits the interleaved work buffer; anything else (a device
// with more channels, a block that disagrees with its channels) is left
// unprocessed rather than overflowing the buffers.
BOOLEAN CStreamEngine::CanConvertPcm() const
{
    const WAVEFORMATEX& format = m_CurrentWaveFormat.Format;
    if (format.nChannels < 1 || format.nChannels > STREAM_ENGINE_MAX_CHANNELS ||
        FindPcmWidth(format.wBitsPerSample) == nullptr ||
        format.nBlockAlign != format.nChannels * (format.wBitsPerSample / 8))
        return FALSE;
    if (m_WorkBuffer == nullptr || m_ChannelBuffers == nullptr)
        return FALSE;
    for (ULONG i = 0; i < STREAM_ENGINE_MAX_CHANNELS; ++i)
        if (m_ChannelBuffers[i] == nullptr)
            return FALSE;
    return TRUE;
}

USHORT CStreamEngine::PaddingBits() const
{
    const WAVEFORMATEX& format = m_CurrentWaveFormat.Format;
    if (format.wFormatTag != WAVE_FORMAT_EXTENSIBLE ||
        format.cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX))
        return 0;
    const USHORT valid = m_CurrentWaveFormat.Samples.wValidBitsPerSample;
    return valid != 0 && valid < format.wBitsPerSample ? format.wBitsPerSample - valid : 0;
}

void CStreamEngine::ConvertPcmToFloat(const UCHAR* source, ULONG frames)
{
    const WAVEFORMATEX& format = m_CurrentWaveFormat.Format;
    const int32_t samples = (int32_t)(frames * format.nChannels);
    const USHORT padding = PaddingBits();
    if (padding != 0)
    {
        const uint32_t mask = ~0u << (32 - (format.wBitsPerSample - padding));
        for (const MaskedWidth& masked : c_MaskedWidths)
            if (masked.Bits == format.wBitsPerSample)
                masked.ToFloat(source, samples, mask, m_WorkBuffer);
        DspDeinterleave32f(m_WorkBuffer, format.nChannels, (int32_t)frames, m_ChannelBuffers);
        return;
    }
    const PcmWidth* width = FindPcmWidth(format.wBitsPerSample);
    if (width->ToChannels != nullptr)
    {
        width->ToChannels(source, format.nChannels, (int32_t)frames, m_ChannelBuffers);
        return;
    }
    width->ToFloat(source, m_WorkBuffer, samples);
    DspDeinterleave32f(m_WorkBuffer, format.nChannels, (int32_t)frames, m_ChannelBuffers);
}

void CStreamEngine::ConvertFloatToPcm(PUCHAR destination, ULONG frames)
{
    const WAVEFORMATEX& format = m_CurrentWaveFormat.Format;
    const int32_t samples = (int32_t)(frames * format.nChannels);
    const PcmWidth* width = FindPcmWidth(format.wBitsPerSample);
    if (width->FromChannels != nullptr)
    {
        width->FromChannels(m_ChannelBuffers, format.nChannels, (int32_t)frames, destination);
        return;
    }
    DspInterleave32f(m_ChannelBuffers, format.nChannels, (int32_t)frames, m_WorkBuffer);
    width->FromFloat(m_WorkBuffer, destination, samples);
}

NTSTATUS CStreamEngine::WalkNodes(CPtrList* list, BOOLEAN flush, PVOID buffer, ULONG frames)
{
    if (list == nullptr || list->IsEmpty())
        return STATUS_SUCCESS;
    if ((LONG)list->GetCount() < 0)
        return STATUS_UNSUCCESSFUL;
    NTSTATUS status = STATUS_SUCCESS;
    POSITION position = list->GetHeadPosition();
    PVOID data = nullptr;
    while (list->GetNext(&position, &data))
    {
        auto node = static_cast<PCHAINNODE>(data);
        if (!NodeChangesSamples(node))
            continue;
        PWAVEFORMATEX format = &m_CurrentWaveFormat.Format;
        status =
            flush ? node->Flush(format, buffer, frames) : node->Process(format, buffer, frames);
        if (!NT_SUCCESS(status))
            return status; // the rest of the chain does not run
    }
    return status;
}

NTSTATUS CStreamEngine::RunStage1(PVOID buffer, ULONG frames, ULONG mode)
{
    if (mode != WAVE_FORMAT_PCM)
        return WalkNodes(m_ProcessingList, FALSE, buffer, frames);
    if (m_ChannelBuffers == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    return WalkNodes(m_ProcessingList, FALSE, m_ChannelBuffers, frames);
}

NTSTATUS CStreamEngine::RunStage2(ULONG frames)
{
    if (m_ChannelBuffers == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    return WalkNodes(m_StageList2, FALSE, m_ChannelBuffers, frames);
}

NTSTATUS CStreamEngine::RunStage3(ULONG frames)
{
    if (m_ChannelBuffers == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    return WalkNodes(m_StageList3, TRUE, m_ChannelBuffers, frames);
}

// One chunk: to float, through each selected non-empty list in order, and
// back into the same place. A failing list leaves the chunk as it was.
NTSTATUS CStreamEngine::ProcessPcmChunk(PUCHAR buffer, ULONG frames, ULONG stages)
{
    ConvertPcmToFloat(buffer, frames);
    NTSTATUS status = STATUS_SUCCESS;
    if ((stages & STAGE_LIST_1) != 0 && !IsEmptyList(m_ProcessingList))
        status = RunStage1(nullptr, frames, WAVE_FORMAT_PCM);
    if (NT_SUCCESS(status) && (stages & STAGE_LIST_2) != 0 && !IsEmptyList(m_StageList2))
        status = RunStage2(frames);
    if (NT_SUCCESS(status) && (stages & STAGE_LIST_3) != 0 && !IsEmptyList(m_StageList3))
        status = RunStage3(frames);
    if (NT_SUCCESS(status))
        ConvertFloatToPcm(buffer, frames);
    return status;
}

BOOLEAN CStreamEngine::NodeChangesSamples(PCHAINNODE node)
{
    PWAVEFORMATEX format = &m_CurrentWaveFormat.Format;
    return AskActivity(
        node, [format](PCHAINNODEACTIVITY a) { return a->ChangesSamples(format); }, (BOOLEAN)TRUE);
}

CPtrList* CStreamEngine::StageList(ULONG stage) const
{
    return stage == STAGE_LIST_1 ? m_ProcessingList
                                 : (stage == STAGE_LIST_2 ? m_StageList2 : m_StageList3);
}

ULONG CStreamEngine::ListsFor(USHORT tag, ULONG stages) const
{
    // Only PCM goes through the per-channel buffers; other formats know the
    // first list alone.
    return tag == WAVE_FORMAT_PCM ? stages : stages & STAGE_LIST_1;
}

template <typename Visit> void CStreamEngine::VisitNodes(ULONG stages, Visit visit)
{
    for (ULONG stage = STAGE_LIST_1; stage <= STAGE_LIST_3; stage <<= 1)
    {
        CPtrList* list = (stages & stage) != 0 ? StageList(stage) : nullptr;
        POSITION position = list != nullptr ? list->GetHeadPosition() : nullptr;
        PVOID data = nullptr;
        while (list != nullptr && list->GetNext(&position, &data))
            if (!visit(static_cast<PCHAINNODE>(data)))
                return;
    }
}

BOOLEAN CStreamEngine::AnyNodeChanges(ULONG stages)
{
    BOOLEAN changes = FALSE;
    VisitNodes(stages,
               [&](PCHAINNODE node)
               {
                   changes = NodeChangesSamples(node);
                   return !changes;
               });
    return changes;
}

NTSTATUS CStreamEngine::ProcessChunks(PUCHAR buffer, ULONG frames, USHORT tag, ULONG stages)
{
    const bool pcm = tag == WAVE_FORMAT_PCM;
    stages = ListsFor(tag, stages);
    const bool anyNodes = ((stages & STAGE_LIST_1) != 0 && !IsEmptyList(m_ProcessingList)) ||
                          ((stages & STAGE_LIST_2) != 0 && !IsEmptyList(m_StageList2)) ||
                          ((stages & STAGE_LIST_3) != 0 && !IsEmptyList(m_StageList3));
    if (frames == 0 || !anyNodes)
        return STATUS_SUCCESS;
    if (pcm && !CanConvertPcm())
        return STATUS_NOT_SUPPORTED;
    const ULONG blockAlign = m_CurrentWaveFormat.Format.nBlockAlign;
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG left = frames; left > 0;)
    {
        const ULONG chunk = left < STREAM_ENGINE_CHUNK_FRAMES ? left : STREAM_ENGINE_CHUNK_FRAMES;
        // Asked again for every chunk: a value set on another processor
        // takes effect where it lands, and no chunk is converted for nothing.
        if (AnyNodeChanges(stages))
            status = pcm ? ProcessPcmChunk(buffer, chunk, stages) : RunStage1(buffer, chunk, tag);
        if (!NT_SUCCESS(status))
            return status;
        buffer += (SIZE_T)blockAlign * chunk;
        left -= chunk;
    }
    return status;
}

NTSTATUS CStreamEngine::DescribeProcessing(PSTR text, ULONG size)
{
    if (text == nullptr || size == 0)
        return STATUS_INVALID_PARAMETER;
    text[0] = 0;
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;
    KeAcquireSpinLock(&m_SpinLock, &irql);
    const USHORT tag = CurrentFormatTag();
    // PCM the converters cannot take is not processed at all.
    const ULONG stages =
        tag == WAVE_FORMAT_PCM && !CanConvertPcm() ? 0 : ListsFor(tag, STAGE_LISTS_ALL);
    VisitNodes(stages,
               [&](PCHAINNODE node)
               {
                   if (NodeChangesSamples(node))
                       status = AppendDescription(node, text, size);
                   return status == STATUS_SUCCESS;
               });
    KeReleaseSpinLock(&m_SpinLock, irql);
    return status;
}

NTSTATUS CStreamEngine::AppendDescription(PCHAINNODE node, PSTR text, ULONG size)
{
    char said[STREAM_ENGINE_DESCRIPTION_CHARS] = "";
    PWAVEFORMATEX format = &m_CurrentWaveFormat.Format;
    const bool answers = AskActivity(
        node,
        [&](PCHAINNODEACTIVITY a)
        {
            a->DescribeChange(format, said, sizeof(said));
            return true;
        },
        false);
    if (!answers || said[0] == 0)
        RtlStringCbCopyA(said, sizeof(said), answers ? "a node of the chain" : c_ClientNodeText);
    NTSTATUS status = text[0] != 0 ? RtlStringCbCatA(text, size, "; ") : STATUS_SUCCESS;
    if (NT_SUCCESS(status))
        status = RtlStringCbCatA(text, size, said);
    return status;
}

NTSTATUS CStreamEngine::ProcessStages(PVOID buffer, LONG bytes, ULONG stages)
{
    const LONG blockAlign = m_CurrentWaveFormat.Format.nBlockAlign;
    // Refused before anything divides by it.
    if (blockAlign == 0 || bytes < 0 || (buffer == nullptr && bytes != 0))
        return STATUS_INVALID_PARAMETER;
    if (bytes % blockAlign != 0)
    {
        DbgPrint("0 != lBufSize(%d) Div m_CurrentWaveFormat.Format.nBlockAlign(%d) \n", (int)bytes,
                 (int)blockAlign);
        return STATUS_UNSUCCESSFUL;
    }
    ProcessingFloatMode floatMode;
    KIRQL irql;
    KeAcquireSpinLock(&m_SpinLock, &irql);
    NTSTATUS status = ProcessChunks(static_cast<PUCHAR>(buffer), (ULONG)(bytes / blockAlign),
                                    CurrentFormatTag(), stages);
    KeReleaseSpinLock(&m_SpinLock, irql);
    return status;
}

NTSTATUS CStreamEngine::ProcessBuffer(PVOID buffer, LONG bytes)
{
    return ProcessStages(buffer, bytes, STAGE_LISTS_ALL);
}

NTSTATUS CStreamEngine::ProcessBufferStage1(PVOID buffer, LONG bytes)
{
    return ProcessStages(buffer, bytes, STAGE_LIST_1);
}

NTSTATUS CStreamEngine::ProcessBufferStage2(PVOID buffer, LONG bytes)
{
    return ProcessStages(buffer, bytes, STAGE_LIST_2);
}

NTSTATUS CStreamEngine::ProcessBufferStage3(PVOID buffer, LONG bytes)
{
    return ProcessStages(buffer, bytes, STAGE_LIST_3);
}
