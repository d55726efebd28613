// The reduced feature units of chip models A and B: no pseudo-control
// table and no memory requests, on/off values of the master channel only,
// levels on the chip's own step scale and fixed ranges. The six classes
// share one shape and differ in their level rule (a row of data) and in the
// pool tag of their model.
//
// Channels: the chip counts the bitmaps from bLength - 6, one byte further
// than class 1.0 does, so a 1-byte bitmap unit counts the iFeature byte as
// one more channel. Every entry counted that way still lies inside the
// descriptor, so the chip's count is kept; a descriptor too short for the
// master's entry (or with bControlSize 0) has no channels.
#pragma once

#include "audioclass/requests/unit_requests.h"
#include "audioclass/controls/uac_unit.h"

// One class's level rule: levels towards the system in 1/65536 dB, the
// device's raw value a signed 16-bit word; sets are clamped into the range
// first, so that the device never receives a wrapped value.
struct ChipLevelRule
{
    const char* ClassName;
    LONG (*FromDevice)(SHORT raw);
    SHORT (*ToDevice)(LONG level);
    LONG Maximum;
    LONG Minimum;
    LONG Resolution;
    // Model A: bass, mid and treble are 1-byte values in 1/4 dB, their
    // range the device's own.
    BOOLEAN OneByteTone;
};

extern const ChipLevelRule CHIP_LEVEL_A9, CHIP_LEVEL_A10, CHIP_LEVEL_A13, CHIP_LEVEL_B9,
    CHIP_LEVEL_B10, CHIP_LEVEL_B13;

// The chip's bitmaps of a feature-unit descriptor.
class ChipModelBitmaps
{
  public:
    ChipModelBitmaps(const UCHAR* descriptor, ULONG length);
    // Logical channels, the master not counted.
    ULONG LogicalChannels() const { return m_Entries != 0 ? m_Entries - 1 : 0; }
    bool Has(UCHAR selector, ULONG channel) const;
    // The first logical channel (from 1) that has the control, else 0.
    ULONG FirstChannel(UCHAR selector) const;

  private:
    const UCHAR* m_Descriptor;
    ULONG m_Entries;
    ULONG m_EntrySize;
};

class CChipModelFeatureUnit : public CUacUnit,
                              public IUnitBooleanRequests,
                              public IUnitRangedRequests
{
  public:
    CChipModelFeatureUnit(ULONG index, ULONG poolTag, const ChipLevelRule& rule)
        : CUacUnit(index), m_PoolTag(poolTag), m_Rule(rule)
    {
    }
    DECLARE_CONTROL_UNKNOWN()

    // Nothing to name: the polling asks the unit's controls instead.
    NTSTATUS GetSingleControlId(ULONG selector, ULONG channel, PULONG id) override;
    NTSTATUS CreateControls(CAudioHal* device) override;

    // Master channel (0) only.
    STDMETHODIMP GetBoolean(UCHAR selector, ULONG channel, PUCHAR value) override;
    STDMETHODIMP SetBoolean(UCHAR selector, ULONG channel, UCHAR value) override;
    STDMETHODIMP GetBooleanChannels(UCHAR selector, PULONG count) override;
    STDMETHODIMP GetLevel(UCHAR selector, ULONG channel, PLONG level) override;
    STDMETHODIMP SetLevel(UCHAR selector, ULONG channel, LONG level) override;
    STDMETHODIMP GetLevelRange(UCHAR selector, PLONG maximum, PLONG minimum,
                               PLONG resolution) override;
    STDMETHODIMP GetLevelChannels(UCHAR selector, PULONG count) override;

    const ChipLevelRule& Rule() const { return m_Rule; }

  protected:
    UCHAR Subtype() const override { return USB_AUDIO_FEATURE_UNIT; }

  private:
    bool IsFeatureUnit() const;
    // Whether the master or a class 1.0 logical channel has the control.
    bool HasControl(UCHAR selector) const;
    ChipModelBitmaps Bitmaps() const;
    // The channel a level of channel index `index` is asked on.
    NTSTATUS LevelChannel(UCHAR selector, ULONG index, PUCHAR channel);
    bool IsOneByte(UCHAR selector) const;
    NTSTATUS Send(UnitRequest which, UCHAR selector, UCHAR channel, PVOID bytes, ULONG length);
    NTSTATUS CreateOne(ULONG row, CAudioHal* device);

    ULONG m_PoolTag;
    const ChipLevelRule& m_Rule;
};

// The six classes of the walks, one per level rule.
template <const ChipLevelRule& LevelRule>
class CChipModelFeatureUnitOf : public CChipModelFeatureUnit
{
  public:
    CChipModelFeatureUnitOf(ULONG index, ULONG poolTag)
        : CChipModelFeatureUnit(index, poolTag, LevelRule)
    {
    }
};
using CChipModelFeatureUnitA9 = CChipModelFeatureUnitOf<CHIP_LEVEL_A9>;
using CChipModelFeatureUnitA10 = CChipModelFeatureUnitOf<CHIP_LEVEL_A10>;
using CChipModelFeatureUnitA13 = CChipModelFeatureUnitOf<CHIP_LEVEL_A13>;
using CChipModelFeatureUnitB9 = CChipModelFeatureUnitOf<CHIP_LEVEL_B9>;
using CChipModelFeatureUnitB10 = CChipModelFeatureUnitOf<CHIP_LEVEL_B10>;
using CChipModelFeatureUnitB13 = CChipModelFeatureUnitOf<CHIP_LEVEL_B13>;
