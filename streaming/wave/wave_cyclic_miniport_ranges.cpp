// The wave filter's tables: data ranges grouped from the engine's formats,
// the pin, node and connection descriptors, and data-range intersection.
#include "framework/adapter_extension.h"
#include "streaming/wave/wave_cyclic_miniport.h"
#include "streaming/wave/wave_data_format.h"

namespace
{
constexpr ULONG c_PinCount = 2;
constexpr ULONG c_ConnectionCount = 2;
constexpr ULONG c_CategoryCount = 3;

const PCPROPERTY_ITEM c_FilterProperties[] = {
    {&KSPROPSETID_DevicePrivate, WAVE_PROPERTY_CAPABILITIES, PCPROPERTY_ITEM_FLAG_GET,
     CWaveCyclicMiniport::PropertyCapabilities},
};
const PCAUTOMATION_TABLE c_FilterAutomation = {sizeof(PCPROPERTY_ITEM),
                                               1,
                                               c_FilterProperties,
                                               sizeof(PCMETHOD_ITEM),
                                               0,
                                               nullptr,
                                               sizeof(PCEVENT_ITEM),
                                               0,
                                               nullptr,
                                               0};

const GUID c_RenderCategories[c_CategoryCount] = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER,
                                                  GUID_DEVINTERFACE_ENUM_PRIVATE};
const GUID c_CaptureCategories[c_CategoryCount] = {KSCATEGORY_AUDIO, KSCATEGORY_CAPTURE,
                                                   GUID_DEVINTERFACE_ENUM_PRIVATE};

const KSPIN_INTERFACE c_StreamingInterface = {
    {{KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING, 0}}};

KSDATARANGE c_BridgeRange = {{sizeof(KSDATARANGE), 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO,
                              KSDATAFORMAT_SUBTYPE_ANALOG, KSDATAFORMAT_SPECIFIER_NONE}};
const PKSDATARANGE c_BridgeRanges[] = {&c_BridgeRange};

// Every range of the streaming pin carries the same list: the one
// signal-processing mode attribute.
KSATTRIBUTE c_ModeAttribute = {sizeof(KSATTRIBUTE), 0, KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE};
PKSATTRIBUTE c_ModeAttributes[] = {&c_ModeAttribute};
KSATTRIBUTE_LIST c_RangeAttributes = {1, c_ModeAttributes};

// Connections by direction: the data runs from the streaming pin through the
// node to the bridge pin for render, the other way for capture.
const PCCONNECTION_DESCRIPTOR c_RenderConnections[c_ConnectionCount] = {
    {PCFILTER_NODE, WAVE_STREAMING_PIN, 0, 1}, {0, 0, PCFILTER_NODE, WAVE_BRIDGE_PIN}};
const PCCONNECTION_DESCRIPTOR c_CaptureConnections[c_ConnectionCount] = {
    {PCFILTER_NODE, WAVE_BRIDGE_PIN, 0, 1}, {0, 0, PCFILTER_NODE, WAVE_STREAMING_PIN}};

void StartRange(KSDATARANGE_AUDIO* range, const WAVEFORMATEXTENSIBLE& record)
{
    RtlZeroMemory(range, sizeof(*range));
    range->DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
    range->DataRange.Flags = KSDATARANGE_ATTRIBUTES;
    range->DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range->DataRange.SubFormat = WaveSubFormatOf(record);
    range->DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range->MaximumChannels = record.Format.nChannels;
    range->MinimumBitsPerSample = range->MaximumBitsPerSample = WaveValidBitsOf(record);
    range->MinimumSampleFrequency = range->MaximumSampleFrequency = record.Format.nSamplesPerSec;
}

void WidenRange(KSDATARANGE_AUDIO* range, const WAVEFORMATEXTENSIBLE& record)
{
    const ULONG bits = WaveValidBitsOf(record);
    const ULONG rate = record.Format.nSamplesPerSec;
    if (record.Format.nChannels > range->MaximumChannels)
        range->MaximumChannels = record.Format.nChannels;
    if (bits > range->MaximumBitsPerSample)
        range->MaximumBitsPerSample = bits;
    if (bits < range->MinimumBitsPerSample)
        range->MinimumBitsPerSample = bits;
    if (rate > range->MaximumSampleFrequency)
        range->MaximumSampleFrequency = rate;
    if (rate < range->MinimumSampleFrequency)
        range->MinimumSampleFrequency = rate;
}

template <typename T> T* PagedArray(ULONG count)
{
    const SIZE_T bytes = sizeof(T) * count;
    auto block = static_cast<T*>(ExAllocatePoolWithTag(PagedPool, bytes, WAVE_CYCLIC_POOL_TAG));
    if (block != nullptr)
        RtlZeroMemory(block, bytes);
    return block;
}

ULONG Smaller(ULONG a, ULONG b)
{
    return a < b ? a : b;
}

bool IsNullGuid(const GUID& guid)
{
    return IsEqualGUID(guid, GUID_NULL);
}

// The header of an intersection result, whichever range it comes from: the
// result carries no attribute list, so it claims none.
void WriteResultHeader(KSDATAFORMAT* result, const KSDATARANGE& from)
{
    RtlCopyMemory(result, &from, sizeof(KSDATAFORMAT));
    result->FormatSize = WAVE_INTERSECTION_BYTES;
    result->Flags &= ~(KSDATARANGE_ATTRIBUTES | KSDATARANGE_REQUIRED_ATTRIBUTES);
}

// An extensible PCM-style format of the given channels, rate and bits.
WAVEFORMATEXTENSIBLE WantedFormat(ULONG channels, ULONG rate, ULONG bits, const GUID& subFormat)
{
    WAVEFORMATEXTENSIBLE wanted;
    RtlZeroMemory(&wanted, sizeof(wanted));
    wanted.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    wanted.Format.cbSize = WAVEFORMATEXTENSIBLE_EXTRA;
    wanted.Format.nChannels = (WORD)channels;
    wanted.Format.nSamplesPerSec = rate;
    wanted.Format.wBitsPerSample = (WORD)bits;
    wanted.Samples.wValidBitsPerSample = (WORD)bits;
    wanted.Format.nBlockAlign = (WORD)(channels * bits / 8);
    wanted.Format.nAvgBytesPerSec = wanted.Format.nBlockAlign * rate;
    wanted.SubFormat = subFormat;
    return wanted;
}

// The channels, valid bits and rates a range takes; a client that names no
// specifier takes any.
struct FormatBounds
{
    ULONG MaxChannels;
    ULONG MinBits, MaxBits;
    ULONG MinRate, MaxRate;

    static FormatBounds Of(const KSDATARANGE_AUDIO& range)
    {
        return {range.MaximumChannels, range.MinimumBitsPerSample, range.MaximumBitsPerSample,
                range.MinimumSampleFrequency, range.MaximumSampleFrequency};
    }
    static FormatBounds Any() { return {MAXULONG, 0, MAXULONG, 0, MAXULONG}; }
    bool Holds(const WAVEFORMATEXTENSIBLE& record) const
    {
        const ULONG bits = WaveValidBitsOf(record);
        const ULONG rate = record.Format.nSamplesPerSec;
        return record.Format.nChannels <= MaxChannels && bits >= MinBits && bits <= MaxBits &&
               rate >= MinRate && rate <= MaxRate;
    }
};

// Whether `record` is preferred to `best`: more channels, then a higher
// rate, then more valid bits.
bool Outranks(const WAVEFORMATEXTENSIBLE& record, const WAVEFORMATEXTENSIBLE& best)
{
    if (record.Format.nChannels != best.Format.nChannels)
        return record.Format.nChannels > best.Format.nChannels;
    if (record.Format.nSamplesPerSec != best.Format.nSamplesPerSec)
        return record.Format.nSamplesPerSec > best.Format.nSamplesPerSec;
    return WaveValidBitsOf(record) > WaveValidBitsOf(best);
}

// A client that names no specifier gets the largest PCM format of our range.
NTSTATUS LargestOfOwnRange(const KSDATARANGE_AUDIO& own, KSDATAFORMAT* header,
                           WAVEFORMATEXTENSIBLE* wanted)
{
    WriteResultHeader(header, own.DataRange);
    header->SampleSize = 0;
    *wanted = WantedFormat(own.MaximumChannels, own.MaximumSampleFrequency,
                           own.MaximumBitsPerSample, KSDATAFORMAT_SUBTYPE_PCM);
    return STATUS_SUCCESS;
}

// Otherwise the largest format both ranges hold; none when they do not meet.
NTSTATUS LargestOfBoth(const KSDATARANGE* clientRange, const KSDATARANGE_AUDIO& own,
                       KSDATAFORMAT* header, WAVEFORMATEXTENSIBLE* wanted)
{
    if (clientRange->FormatSize < sizeof(KSDATARANGE_AUDIO))
        return STATUS_INVALID_PARAMETER;
    auto& client = *reinterpret_cast<const KSDATARANGE_AUDIO*>(clientRange);
    if (client.MinimumSampleFrequency > own.MaximumSampleFrequency ||
        client.MaximumSampleFrequency < own.MinimumSampleFrequency ||
        client.MinimumBitsPerSample > own.MaximumBitsPerSample ||
        client.MaximumBitsPerSample < own.MinimumBitsPerSample)
        return STATUS_NO_MATCH;
    WriteResultHeader(header, client.DataRange);
    header->Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    *wanted = WantedFormat(Smaller(client.MaximumChannels, own.MaximumChannels),
                           Smaller(client.MaximumSampleFrequency, own.MaximumSampleFrequency),
                           Smaller(client.MaximumBitsPerSample, own.MaximumBitsPerSample),
                           client.DataRange.SubFormat);
    return STATUS_SUCCESS;
}
} // namespace

NTSTATUS CWaveCyclicMiniport::BuildDataRanges()
{
    const ULONG formats = m_Engine->GetFormatCount();
    m_DataRanges = PagedArray<KSDATARANGE_AUDIO>(formats != 0 ? formats : 1);
    if (m_DataRanges == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    ULONG ranges = 0;
    for (ULONG i = 0; i < formats; ++i)
    {
        WAVEFORMATEXTENSIBLE record;
        if (!NT_SUCCESS(m_Engine->GetFormatAt(i, &record)))
            continue;
        const GUID subFormat = WaveSubFormatOf(record);
        if (IsEqualGUID(subFormat, KSDATAFORMAT_SUBTYPE_LT_DSD))
            continue; // for the ASIO interface only
        ULONG group = 0;
        while (group < ranges && !IsEqualGUID(m_DataRanges[group].DataRange.SubFormat, subFormat))
            ++group;
        if (group == ranges)
            StartRange(&m_DataRanges[ranges++], record);
        else
            WidenRange(&m_DataRanges[group], record);
    }
    ULONG pcm = 0;
    while (pcm < ranges &&
           !IsEqualGUID(m_DataRanges[pcm].DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_PCM))
        ++pcm;
    if (pcm == ranges)
        return WAVE_NO_PCM_FORMAT_STATUS; // the audio engine needs a PCM range
    if (pcm != 0)
    {
        const KSDATARANGE_AUDIO first = m_DataRanges[0];
        m_DataRanges[0] = m_DataRanges[pcm];
        m_DataRanges[pcm] = first;
    }
    m_DataRangePointers = PagedArray<PKSDATARANGE>(2 * ranges);
    if (m_DataRangePointers == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG i = 0; i < ranges; ++i)
    {
        m_DataRangePointers[2 * i] = &m_DataRanges[i].DataRange;
        m_DataRangePointers[2 * i + 1] = reinterpret_cast<PKSDATARANGE>(&c_RangeAttributes);
    }
    m_DataRangeEntries = 2 * ranges;
    return STATUS_SUCCESS;
}

NTSTATUS CWaveCyclicMiniport::BuildDescriptors()
{
    const bool capture = m_Engine->GetDirection() != STREAM_DIRECTION_RENDER;
    m_FilterDescriptor = PagedArray<PCFILTER_DESCRIPTOR>(1);
    m_PinDescriptors = PagedArray<PCPIN_DESCRIPTOR>(c_PinCount);
    m_NodeDescriptor = PagedArray<PCNODE_DESCRIPTOR>(1);
    m_Connections = PagedArray<PCCONNECTION_DESCRIPTOR>(c_ConnectionCount);
    if (m_FilterDescriptor == nullptr || m_PinDescriptors == nullptr ||
        m_NodeDescriptor == nullptr || m_Connections == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;

    PCPIN_DESCRIPTOR& streaming = m_PinDescriptors[WAVE_STREAMING_PIN];
    streaming.MaxGlobalInstanceCount = 1;
    streaming.MaxFilterInstanceCount = 1;
    streaming.MinFilterInstanceCount = 1;
    streaming.KsPinDescriptor.InterfacesCount = 1;
    streaming.KsPinDescriptor.Interfaces = &c_StreamingInterface;
    streaming.KsPinDescriptor.DataRangesCount = m_DataRangeEntries;
    streaming.KsPinDescriptor.DataRanges = m_DataRangePointers;
    streaming.KsPinDescriptor.DataFlow = capture ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN;
    streaming.KsPinDescriptor.Communication = KSPIN_COMMUNICATION_SINK;
    streaming.KsPinDescriptor.Category = &KSCATEGORY_AUDIO;

    PCPIN_DESCRIPTOR& bridge = m_PinDescriptors[WAVE_BRIDGE_PIN];
    bridge.KsPinDescriptor.DataRangesCount = 1;
    bridge.KsPinDescriptor.DataRanges = c_BridgeRanges;
    bridge.KsPinDescriptor.DataFlow = capture ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT;
    bridge.KsPinDescriptor.Communication = KSPIN_COMMUNICATION_NONE;
    bridge.KsPinDescriptor.Category = &KSCATEGORY_AUDIO;

    m_NodeDescriptor->Type = capture ? &KSNODETYPE_ADC : &KSNODETYPE_DAC;
    RtlCopyMemory(m_Connections, capture ? c_CaptureConnections : c_RenderConnections,
                  sizeof(c_RenderConnections));

    PCFILTER_DESCRIPTOR& filter = *m_FilterDescriptor;
    filter.AutomationTable = &c_FilterAutomation;
    filter.PinSize = sizeof(PCPIN_DESCRIPTOR);
    filter.PinCount = c_PinCount;
    filter.Pins = m_PinDescriptors;
    filter.NodeSize = sizeof(PCNODE_DESCRIPTOR);
    filter.NodeCount = 1;
    filter.Nodes = m_NodeDescriptor;
    filter.ConnectionCount = c_ConnectionCount;
    filter.Connections = m_Connections;
    filter.CategoryCount = c_CategoryCount;
    filter.Categories = capture ? c_CaptureCategories : c_RenderCategories;
    return STATUS_SUCCESS;
}

BOOLEAN CWaveCyclicMiniport::EngineHasSubFormat(const GUID& subFormat)
{
    const ULONG count = m_Engine != nullptr ? m_Engine->GetFormatCount() : 0;
    for (ULONG i = 0; i < count; ++i)
    {
        WAVEFORMATEXTENSIBLE record;
        if (NT_SUCCESS(m_Engine->GetFormatAt(i, &record)) &&
            IsEqualGUID(WaveSubFormatOf(record), subFormat))
            return TRUE;
    }
    return FALSE;
}

// The engine's preferred record of the subformat that both ranges hold:
// the largest channels, rate and bits taken apart need not be one record
// (16 bits at 48 kHz beside 24 bits at 44.1 kHz, or formats left out
// because their packets do not fit).
NTSTATUS CWaveCyclicMiniport::BestRecordInside(const KSDATARANGE* clientRange,
                                               const KSDATARANGE_AUDIO& own, const GUID& subFormat,
                                               WAVEFORMATEXTENSIBLE* record)
{
    const FormatBounds client =
        IsNullGuid(clientRange->Specifier)
            ? FormatBounds::Any()
            : FormatBounds::Of(*reinterpret_cast<const KSDATARANGE_AUDIO*>(clientRange));
    const FormatBounds pin = FormatBounds::Of(own);
    bool found = false;
    const ULONG count = m_Engine->GetFormatCount();
    for (ULONG i = 0; i < count; ++i)
    {
        WAVEFORMATEXTENSIBLE candidate;
        if (!NT_SUCCESS(m_Engine->GetFormatAt(i, &candidate)) ||
            !IsEqualGUID(WaveSubFormatOf(candidate), subFormat) || !client.Holds(candidate) ||
            !pin.Holds(candidate))
            continue;
        if (!found || Outranks(candidate, *record))
            *record = candidate;
        found = true;
    }
    return found ? STATUS_SUCCESS : STATUS_NO_MATCH;
}

// The engine's record of the wanted channels, rate, valid bits and subformat.
NTSTATUS CWaveCyclicMiniport::FindEngineRecord(const WAVEFORMATEXTENSIBLE& wanted,
                                               WAVEFORMATEXTENSIBLE* record)
{
    const ULONG count = m_Engine->GetFormatCount();
    for (ULONG i = 0; i < count; ++i)
    {
        if (NT_SUCCESS(m_Engine->GetFormatAt(i, record)) &&
            record->Format.nChannels == wanted.Format.nChannels &&
            record->Format.nSamplesPerSec == wanted.Format.nSamplesPerSec &&
            WaveValidBitsOf(*record) == WaveValidBitsOf(wanted) &&
            IsEqualGUID(WaveSubFormatOf(*record), WaveSubFormatOf(wanted)))
            return STATUS_SUCCESS;
    }
    return STATUS_NO_MATCH;
}

NTSTATUS CWaveCyclicMiniport::DataRangeIntersection(ULONG, PKSDATARANGE dataRange,
                                                    PKSDATARANGE matchingDataRange,
                                                    ULONG outputBufferLength, PVOID resultantFormat,
                                                    PULONG resultantFormatLength)
{
    PAGED_CODE();
    if (dataRange == nullptr || matchingDataRange == nullptr || resultantFormatLength == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (!IsEqualGUID(dataRange->MajorFormat, KSDATAFORMAT_TYPE_AUDIO) ||
        !EngineHasSubFormat(dataRange->SubFormat))
        return STATUS_NO_MATCH;
    if (IsEqualGUID(dataRange->Specifier, KSDATAFORMAT_SPECIFIER_DSOUND))
        return STATUS_NOT_SUPPORTED;
    if (outputBufferLength == 0)
    {
        *resultantFormatLength = WAVE_INTERSECTION_BYTES;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (outputBufferLength < WAVE_INTERSECTION_BYTES)
        return STATUS_BUFFER_TOO_SMALL;
    // Our own range is one of the audio ranges built at Init.
    if (matchingDataRange->FormatSize < sizeof(KSDATARANGE_AUDIO))
        return STATUS_NO_MATCH;
    auto own = reinterpret_cast<const KSDATARANGE_AUDIO*>(matchingDataRange);
    KSDATAFORMAT header;
    WAVEFORMATEXTENSIBLE wanted;
    NTSTATUS status = IsNullGuid(dataRange->Specifier)
                          ? LargestOfOwnRange(*own, &header, &wanted)
                          : LargestOfBoth(dataRange, *own, &header, &wanted);
    if (!NT_SUCCESS(status))
        return status;
    if (resultantFormat == nullptr)
        return STATUS_INVALID_PARAMETER;
    // The engine's own record of that format is the result; where the engine
    // holds none, its preferred record inside both ranges.
    WAVEFORMATEXTENSIBLE record;
    const GUID subFormat = WaveSubFormatOf(wanted);
    if (!NT_SUCCESS(FindEngineRecord(wanted, &record)) &&
        (!IsEqualGUID(subFormat, own->DataRange.SubFormat) ||
         !NT_SUCCESS(BestRecordInside(dataRange, *own, subFormat, &record))))
        return STATUS_NO_MATCH;
    if (!IsNullGuid(dataRange->Specifier))
        header.SampleSize = record.Format.nBlockAlign;
    auto result = static_cast<UCHAR*>(resultantFormat);
    RtlCopyMemory(result, &header, sizeof(header));
    RtlCopyMemory(result + sizeof(header), &record, sizeof(record));
    *resultantFormatLength = WAVE_INTERSECTION_BYTES;
    return STATUS_SUCCESS;
}
