// The feature unit of chip model C: the class 1.0 feature unit whose pseudo
// selectors 139 and 140 stand for the driver's effect nodes (the delay and
// the headphone node) instead of the device's own on/off controls. All it
// allocates for its controls carries the tag "4410".
#pragma once

#include "audioclass/device_selectors.h"
#include "audioclass/units/uac1_units.h"

inline constexpr ULONG CHIP_FEATURE_UNIT_POOL_TAG = POOL_TAG("4410");

class CChipFeatureUnit : public CUac1FeatureUnit
{
  public:
    explicit CChipFeatureUnit(ULONG index) : CUac1FeatureUnit(index)
    {
        m_ModelPoolTag = CHIP_FEATURE_UNIT_POOL_TAG;
    }

  protected:
    // The effect seam. The class 1.0 CreateControls calls it for selector
    // 139 and then 140, each only when the device's pseudo-control table
    // announces the selector, after mute, volume, bass, mid, treble, AGC
    // and loudness. An implementation makes the effect node of the selector
    // with MakeUnitControl(this, device, PoolTag(), init, ...), which gives
    // it the device's next control id and registers it with the device and
    // the unit, and passes SettingsKey() to its initialiser for its
    // registry values. STATUS_NO_MEMORY (the node could not be allocated)
    // leaves the node out and creation goes on; any other failure ends the
    // unit's creation with that status. Until the effect nodes exist the
    // unit has no control for these selectors.
    NTSTATUS CreatePseudoControl(UCHAR selector, CAudioHal* device) override;
};
