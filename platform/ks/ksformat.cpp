// Validation of client-supplied data formats and attribute lists.
#include "platform/ks/ksformat.h"

namespace
{
NTSTATUS CheckAttributes(const UCHAR* list, ULONG available)
{
    if (available < sizeof(KSMULTIPLE_ITEM))
        return STATUS_INVALID_PARAMETER;
    KSMULTIPLE_ITEM header;
    memcpy(&header, list, sizeof(header));
    if (header.Size < sizeof(KSMULTIPLE_ITEM) || header.Size > available)
        return STATUS_INVALID_PARAMETER;
    // Every attribute takes at least its header, so the count is bounded by the size.
    if (header.Count > (header.Size - sizeof(KSMULTIPLE_ITEM)) / sizeof(KSATTRIBUTE))
        return STATUS_INVALID_PARAMETER;
    ULONG offset = sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < header.Count; ++i)
    {
        offset = (offset + 7u) & ~7u;
        if (offset > header.Size || header.Size - offset < sizeof(KSATTRIBUTE))
            return STATUS_INVALID_PARAMETER;
        KSATTRIBUTE attribute;
        memcpy(&attribute, list + offset, sizeof(attribute));
        if (attribute.Size < sizeof(KSATTRIBUTE) || attribute.Size > header.Size - offset)
            return STATUS_INVALID_PARAMETER;
        offset += attribute.Size;
    }
    return STATUS_SUCCESS;
}
} // namespace

NTSTATUS KsValidateDataFormat(const void* buffer, ULONG length, const KSDATAFORMAT** format,
                              const KSMULTIPLE_ITEM** attributes)
{
    *format = nullptr;
    *attributes = nullptr;
    if (buffer == nullptr || length < sizeof(KSDATAFORMAT))
        return STATUS_INVALID_BUFFER_SIZE;
    auto candidate = static_cast<const KSDATAFORMAT*>(buffer);
    const ULONG formatSize = candidate->FormatSize;
    if (formatSize < sizeof(KSDATAFORMAT) || formatSize > length)
        return STATUS_INVALID_PARAMETER;

    if (IsEqualGUID(candidate->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX))
    {
        if (formatSize - sizeof(KSDATAFORMAT) < sizeof(WAVEFORMATEX))
            return STATUS_INVALID_PARAMETER;
        WAVEFORMATEX wave;
        memcpy(&wave, static_cast<const UCHAR*>(buffer) + sizeof(KSDATAFORMAT), sizeof(wave));
        if ((ULONG)wave.cbSize > formatSize - sizeof(KSDATAFORMAT) - sizeof(WAVEFORMATEX))
            return STATUS_INVALID_PARAMETER;
        if (wave.wFormatTag == WAVE_FORMAT_EXTENSIBLE && wave.cbSize < WAVEFORMATEXTENSIBLE_EXTRA)
            return STATUS_INVALID_PARAMETER;
    }

    if ((candidate->Flags & KSDATAFORMAT_ATTRIBUTES) != 0)
    {
        const ULONG offset = KsAttributeListOffset(formatSize);
        if (offset >= length)
            return STATUS_INVALID_PARAMETER;
        const UCHAR* list = static_cast<const UCHAR*>(buffer) + offset;
        NTSTATUS status = CheckAttributes(list, length - offset);
        if (!NT_SUCCESS(status))
            return status;
        *attributes = reinterpret_cast<const KSMULTIPLE_ITEM*>(list);
    }
    *format = candidate;
    return STATUS_SUCCESS;
}

const WAVEFORMATEX* KsWaveFormatOf(const KSDATAFORMAT* format)
{
    if (format == nullptr || !IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX))
        return nullptr;
    return reinterpret_cast<const WAVEFORMATEX*>(reinterpret_cast<const UCHAR*>(format) +
                                                 sizeof(KSDATAFORMAT));
}

const KSDATARANGE* KsNextPinDataRange(const KSPIN_DESCRIPTOR& pin, ULONG* entry)
{
    while (pin.DataRanges != nullptr && *entry < pin.DataRangesCount)
    {
        const KSDATARANGE* range = pin.DataRanges[(*entry)++];
        if (range == nullptr)
            continue;
        if ((range->Flags & KSDATARANGE_ATTRIBUTES) != 0 && *entry < pin.DataRangesCount)
            ++*entry; // the range's attribute list, not a range
        return range;
    }
    return nullptr;
}
