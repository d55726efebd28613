// The requests of a feature unit: on/off and level values per channel, level
// ranges, and the device's pseudo-control table that describes its own
// selectors (128 and above). The channel a request goes to follows from the
// channel index, the channel count the unit reports for the selector and the
// channels the descriptor or the table give the control.
#pragma once

#include "audioclass/requests/unit_requests.h"

inline constexpr ULONG UAC1_UNIT_POOL_TAG = POOL_TAG("UA10");
inline constexpr ULONG UAC2_UNIT_POOL_TAG = POOL_TAG("UA20");

class CFeatureUnitRequests : public CEntityRequests
{
  public:
    // descriptor: the unit's class-specific descriptor (its id at byte 3),
    // which must outlive the object.
    CFeatureUnitRequests(PUNKNOWN owner, AudioClassVersion version, const UCHAR* descriptor,
                         ULONG length);
    ~CFeatureUnitRequests();
    CFeatureUnitRequests(const CFeatureUnitRequests&) = delete;
    CFeatureUnitRequests& operator=(const CFeatureUnitRequests&) = delete;

    // Reads the table once (its length, then the table); a table shorter
    // than its header counts as absent.
    NTSTATUS ReadPseudoControlTable();
    bool HasPseudoControlTable() const { return m_Table.Present(); }
    const FeatureUnitBitmaps& Bitmaps() const { return m_Bitmaps; }
    const PseudoControlTable& Table() const { return m_Table; }

    // channels: what the unit reports for the selector; index below it.
    NTSTATUS GetBoolean(UCHAR selector, ULONG index, ULONG channels, PUCHAR value);
    NTSTATUS SetBoolean(UCHAR selector, ULONG index, ULONG channels, UCHAR value);
    // Levels in 1/65536 dB.
    NTSTATUS GetLevel(UCHAR selector, ULONG index, ULONG channels, PLONG level);
    NTSTATUS SetLevel(UCHAR selector, ULONG index, ULONG channels, LONG level);
    // A range the device does not answer is STATUS_DEVICE_DATA_ERROR; a
    // class 2.0 RANGE of several subranges, which the driver refuses,
    // STATUS_UNSUCCESSFUL.
    NTSTATUS GetLevelRange(UCHAR selector, ULONG channels, PLONG maximum, PLONG minimum,
                           PLONG resolution);

    // The channel number a get (write false) or set of channel `index` is
    // sent to; STATUS_INVALID_PARAMETER when no channel has the control.
    NTSTATUS ChannelFor(UCHAR selector, ULONG index, ULONG channels, bool write,
                        PUCHAR channel) const;
    // The channel a range request goes to: the first of 1..channels that has
    // the control, else 0.
    UCHAR RangeChannelFor(UCHAR selector, ULONG channels) const;

  private:
    bool Has(UCHAR selector, ULONG channel, bool write, bool either = false) const;
    bool IsVendor(UCHAR selector) const;
    USHORT ValueFor(UCHAR selector, UCHAR channel) const
    {
        return (USHORT)(selector << 8 | channel);
    }
    ULONG TableTag() const;

    FeatureUnitBitmaps m_Bitmaps;
    PUCHAR m_PseudoControlTable;
    PseudoControlTable m_Table;
};
