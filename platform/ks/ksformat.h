// Checks of data formats that a client hands to a filter (in a pin create or a
// data-format property): the format must lie inside the bytes that carry it, a
// wave format's extension must lie inside the format, and an attribute list
// that follows must be bounded by the request and by its own size.
#pragma once

#include "platform/ks/ksmedia.h"

// On success *format is the format (inside buffer) and *attributes the list
// that follows it at the next 8-byte boundary, or null when the format carries
// none. STATUS_INVALID_BUFFER_SIZE when the buffer cannot hold a format header;
// STATUS_INVALID_PARAMETER for any inconsistency.
NTSTATUS KsValidateDataFormat(const void* buffer, ULONG length, const KSDATAFORMAT** format,
                              const KSMULTIPLE_ITEM** attributes);

// The wave format of a validated audio data format (WAVEFORMATEX specifier);
// null for other specifiers.
const WAVEFORMATEX* KsWaveFormatOf(const KSDATAFORMAT* format);

// Bytes from the start of a format to its attribute list.
inline ULONG KsAttributeListOffset(ULONG formatSize)
{
    return (formatSize + 7u) & ~7u;
}

// The data ranges of a pin, one at a time: *entry is the position in the
// pin's range list and moves past the range and, for a range flagged with
// KSDATARANGE_ATTRIBUTES, past the attribute list that follows it in the
// list. Null (and *entry at the end) when no range is left.
const KSDATARANGE* KsNextPinDataRange(const KSPIN_DESCRIPTOR& pin, ULONG* entry);
