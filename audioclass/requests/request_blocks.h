// The parameter blocks that unit, terminal and clock requests carry: level
// values in both directions, the audio class 2.0 RANGE block, the device's
// pseudo-control table, the output-type list and the jack list. Every reader
// is given the bytes actually received and reads nothing beyond them.
#pragma once

#include "framework/interfaces.h"

enum class AudioClassVersion
{
    Uac1,
    Uac2
};

// Feature-unit selectors whose levels are one byte (1/4 dB): bass, mid, treble.
bool IsOneByteLevel(UCHAR selector);
// Bytes of a level on the wire.
ULONG LevelBytes(UCHAR selector);
// Device bytes (little-endian, signed) to 1/65536 dB, and back.
LONG LevelFromDevice(const UCHAR* bytes, ULONG size);
void LevelToDevice(LONG level, ULONG size, UCHAR* bytes);

struct LevelRange
{
    LONG Maximum;
    LONG Minimum;
    LONG Resolution;
};
// A RANGE block of one subrange with members of `memberBytes` (1 or 2):
// STATUS_UNSUCCESSFUL unless wNumSubRanges is 1; the block must hold every
// member it is read for.
NTSTATUS ParseLevelRange(const UCHAR* block, ULONG received, ULONG memberBytes, LevelRange* range);
// A RANGE block of `count` four-byte subranges, each a single rate (dMIN =
// dMAX, dRES = 0; otherwise STATUS_INVALID_PARAMETER).
NTSTATUS ParseFrequencyList(const UCHAR* block, ULONG received, ULONG count, PULONG rates);

// The device's pseudo-control table of a feature unit: the usable length is
// the smallest of the bytes asked for, the bytes received and the length
// the table states; a table shorter than its header counts as absent.
class PseudoControlTable
{
  public:
    // Keeps a view of `table` (not a copy).
    PseudoControlTable(AudioClassVersion version, const UCHAR* table, ULONG requested,
                       ULONG received);
    bool Present() const { return m_Entries != 0; }
    ULONG EntryCount() const { return m_Entries; }
    // Whether selector s (128 and above) exists on channel c; for class 2.0
    // `write` picks the writable bit, `either` accepts either bit.
    bool Has(UCHAR selector, ULONG channel, bool write, bool either = false) const;

  private:
    AudioClassVersion m_Version;
    const UCHAR* m_Table;
    ULONG m_Entries;
    ULONG m_EntrySize;
    ULONG m_First;
};

// The controls of a feature-unit descriptor (selectors 1 to 127).
class FeatureUnitBitmaps
{
  public:
    FeatureUnitBitmaps(AudioClassVersion version, const UCHAR* descriptor, ULONG length);
    // Logical channels, the master not counted.
    ULONG LogicalChannels() const { return m_Entries != 0 ? m_Entries - 1 : 0; }
    bool Has(UCHAR selector, ULONG channel, bool write, bool either = false) const;

  private:
    AudioClassVersion m_Version;
    const UCHAR* m_Descriptor;
    ULONG m_Entries; // the master's and every logical channel's
    ULONG m_EntrySize;
    ULONG m_First;
};

// Output-type list: u16 count, then three u16 per type; the first is the
// USB terminal type. Returns the types read (at most `capacity`).
ULONG ParseOutputTypes(const UCHAR* list, ULONG received, ULONG count, PUSHORT types,
                       ULONG capacity);

// Jack list: byte 0 the count, then eight bytes per jack; the records start
// zeroed. Returns the records built (at most `capacity`).
ULONG ParseJackList(AudioClassVersion version, const UCHAR* list, ULONG received,
                    JackRecord* records, ULONG capacity);
extern const ULONG JackColorTable[16];
