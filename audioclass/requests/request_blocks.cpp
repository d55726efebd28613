#include "audioclass/requests/request_blocks.h"

#include "platform/usb/usb.h"
#include "audioclass/device_selectors.h"

namespace
{
constexpr ULONG c_TableLengthOffset = 16;
// Class 1.0: byte 18 the entry size, entries from 19; class 2.0: four-byte
// entries from 18.
constexpr ULONG c_Uac1TableEntrySizeOffset = 18;
constexpr ULONG c_Uac1TableFirst = 19;
constexpr ULONG c_Uac1TableEntrySize = 2;
constexpr ULONG c_Uac2TableFirst = 18;
constexpr ULONG c_Uac2EntrySize = 4;
// Feature-unit descriptors: class 1.0 bControlSize at 5, entries from 6,
// seven bytes besides; class 2.0 entries of four bytes from 5, six besides.
constexpr ULONG c_Uac1ControlSizeOffset = 5;
constexpr ULONG c_Uac1BitmapFirst = 6;
constexpr ULONG c_Uac1FixedBytes = 7;
constexpr ULONG c_Uac2BitmapFirst = 5;
constexpr ULONG c_Uac2FixedBytes = 6;
// A jack list entry and its configuration word's fields.
constexpr ULONG c_JackEntryBytes = 8;
constexpr ULONG c_OutputTypeEntryBytes = 6;

ULONG ReadLe(const UCHAR* p, ULONG bytes)
{
    ULONG v = 0;
    for (ULONG i = 0; i < bytes; ++i)
        v |= (ULONG)p[i] << (8 * i);
    return v;
}

// Bit `bit` of a bitmap entry of `size` bytes (1: a byte; otherwise the
// first 16 bits, or all 32 for four-byte entries).
bool EntryBit(const UCHAR* entry, ULONG size, ULONG bit)
{
    const ULONG bits = size == 1 ? 8 : (size >= 4 ? 32 : 16);
    if (bit >= bits)
        return false;
    const ULONG value = ReadLe(entry, size == 1 ? 1 : (size >= 4 ? 4 : 2));
    return ((value >> bit) & 1) != 0;
}

// The bit of selector number n (1-based) in an entry: class 1.0 n - 1;
// class 2.0 2(n - 1) readable and the next one writable.
bool HasBit(AudioClassVersion version, const UCHAR* entry, ULONG size, ULONG n, bool write,
            bool either)
{
    if (n == 0)
        return false;
    if (version == AudioClassVersion::Uac1)
        return EntryBit(entry, size, n - 1);
    const ULONG read = 2 * (n - 1);
    if (either)
        return EntryBit(entry, size, read) || EntryBit(entry, size, read + 1);
    return EntryBit(entry, size, write ? read + 1 : read);
}
} // namespace

bool IsOneByteLevel(UCHAR selector)
{
    return selector >= USB_AUDIO_FU_BASS_CONTROL && selector <= USB_AUDIO_FU_TREBLE_CONTROL;
}

ULONG LevelBytes(UCHAR selector)
{
    return IsOneByteLevel(selector) ? 1 : 2;
}

LONG LevelFromDevice(const UCHAR* bytes, ULONG size)
{
    if (size == 1)
        return (LONG)(signed char)bytes[0] * 16384;
    return (LONG)(SHORT)(bytes[0] | bytes[1] << 8) * 256;
}

// A level beyond what the device's bytes hold goes as the nearest one they
// do: minus infinity (0x80000000) as 0x8000, never as a wrapped loud value.
void LevelToDevice(LONG level, ULONG size, UCHAR* bytes)
{
    if (size == 1)
    {
        LONG value = level >> 14;
        value = value < -128 ? -128 : (value > 127 ? 127 : value);
        bytes[0] = (UCHAR)value;
        return;
    }
    LONG value = level >> 8;
    value = value < -32768 ? -32768 : (value > 32767 ? 32767 : value);
    bytes[0] = (UCHAR)value;
    bytes[1] = (UCHAR)(value >> 8);
}

NTSTATUS ParseLevelRange(const UCHAR* block, ULONG received, ULONG memberBytes, LevelRange* range)
{
    if (received < 2 + 3 * memberBytes)
        return STATUS_DEVICE_DATA_ERROR;
    if (ReadLe(block, 2) != 1)
        return STATUS_UNSUCCESSFUL;
    range->Minimum = LevelFromDevice(block + 2, memberBytes);
    range->Maximum = LevelFromDevice(block + 2 + memberBytes, memberBytes);
    range->Resolution = LevelFromDevice(block + 2 + 2 * memberBytes, memberBytes);
    return STATUS_SUCCESS;
}

NTSTATUS ParseFrequencyList(const UCHAR* block, ULONG received, ULONG count, PULONG rates)
{
    if (received < 2 + 12ull * count)
        return STATUS_DEVICE_DATA_ERROR;
    // A range is no single rate: it is left unwritten and the rest still read.
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < count; ++i)
    {
        const UCHAR* subrange = block + 2 + 12 * i;
        const ULONG minimum = ReadLe(subrange, 4);
        if (ReadLe(subrange + 4, 4) != minimum || ReadLe(subrange + 8, 4) != 0)
            status = STATUS_INVALID_PARAMETER;
        else
            rates[i] = minimum;
    }
    return status;
}

// ----------------------------------------------------------------------------

PseudoControlTable::PseudoControlTable(AudioClassVersion version, const UCHAR* table,
                                       ULONG requested, ULONG received)
    : m_Version(version), m_Table(table), m_Entries(0), m_EntrySize(0), m_First(0)
{
    ULONG length = requested < received ? requested : received;
    if (table == nullptr || length < c_TableLengthOffset + 2)
        return;
    const ULONG stated = ReadLe(table + c_TableLengthOffset, 2);
    if (stated < length)
        length = stated;
    if (version == AudioClassVersion::Uac1)
    {
        if (length < c_Uac1TableFirst || table[c_Uac1TableEntrySizeOffset] != c_Uac1TableEntrySize)
            return;
        m_EntrySize = c_Uac1TableEntrySize;
        m_First = c_Uac1TableFirst;
    }
    else
    {
        if (length < c_Uac2TableFirst)
            return;
        m_EntrySize = c_Uac2EntrySize;
        m_First = c_Uac2TableFirst;
    }
    m_Entries = (length - m_First) / m_EntrySize;
}

bool PseudoControlTable::Has(UCHAR selector, ULONG channel, bool write, bool either) const
{
    if (selector < UAC_PSEUDO_SELECTOR_BASE || channel >= m_Entries)
        return false;
    const UCHAR* entry = m_Table + m_First + channel * m_EntrySize;
    return HasBit(m_Version, entry, m_EntrySize, selector - UAC_PSEUDO_SELECTOR_BASE, write,
                  either);
}

FeatureUnitBitmaps::FeatureUnitBitmaps(AudioClassVersion version, const UCHAR* descriptor,
                                       ULONG length)
    : m_Version(version), m_Descriptor(descriptor), m_Entries(0), m_EntrySize(0), m_First(0)
{
    if (descriptor == nullptr || length == 0)
        return;
    // The descriptor's own length counts only as far as its bytes exist.
    const ULONG bLength = descriptor[0] < length ? descriptor[0] : length;
    ULONG fixed = c_Uac2FixedBytes;
    m_First = c_Uac2BitmapFirst;
    m_EntrySize = c_Uac2EntrySize;
    if (version == AudioClassVersion::Uac1)
    {
        if (bLength <= c_Uac1ControlSizeOffset || descriptor[c_Uac1ControlSizeOffset] == 0)
            return;
        fixed = c_Uac1FixedBytes;
        m_First = c_Uac1BitmapFirst;
        m_EntrySize = descriptor[c_Uac1ControlSizeOffset];
    }
    if (bLength < fixed + m_EntrySize)
        return;
    // The master and the logical channels; every entry lies inside the
    // descriptor, since the fixed bytes include those before the first.
    m_Entries = (bLength - fixed) / m_EntrySize;
}

bool FeatureUnitBitmaps::Has(UCHAR selector, ULONG channel, bool write, bool either) const
{
    if (selector == 0 || selector >= UAC_PSEUDO_SELECTOR_BASE || channel >= m_Entries)
        return false;
    const UCHAR* entry = m_Descriptor + m_First + channel * m_EntrySize;
    return HasBit(m_Version, entry, m_EntrySize, selector, write, either);
}

// ----------------------------------------------------------------------------

ULONG ParseOutputTypes(const UCHAR* list, ULONG received, ULONG count, PUSHORT types,
                       ULONG capacity)
{
    ULONG n = 0;
    while (n < count && n < capacity && 2 + (n + 1) * c_OutputTypeEntryBytes <= received)
    {
        types[n] = (USHORT)ReadLe(list + 2 + n * c_OutputTypeEntryBytes, 2);
        ++n;
    }
    return n;
}

const ULONG JackColorTable[16] = {0,        0,        0x808080, 0x0000FF, 0x00FF00, 0xFF0000,
                                  0xFF8000, 0xFFFF00, 0x800080, 0xFF0080, 0,        0,
                                  0,        0,        0xFFFFFF, 0};

ULONG ParseJackList(AudioClassVersion version, const UCHAR* list, ULONG received,
                    JackRecord* records, ULONG capacity)
{
    if (received == 0)
        return 0;
    ULONG n = 0;
    while (n < list[0] && n < capacity && 1 + (n + 1) * c_JackEntryBytes <= received)
    {
        const UCHAR* entry = list + 1 + n * c_JackEntryBytes;
        const ULONG configuration = ReadLe(entry + 4, 4);
        const bool noPresence = ((configuration >> 8) & 0xF) != 0;
        JackRecord& record = records[n];
        RtlZeroMemory(&record, sizeof(record));
        record.ChannelMapping = ReadLe(entry, 4);
        record.Color = JackColorTable[(configuration >> 12) & 0xF];
        record.ConnectionType = entry[6];
        record.GeoLocation = entry[7] & 0xF;
        record.GenLocation = entry[7] >> 4;
        record.IsConnected = noPresence ? 1 : 0;
        if (version == AudioClassVersion::Uac1)
            record.Reserved = noPresence ? 0 : 1;
        ++n;
    }
    return n;
}
