#include "usbaudio/timed/switches.h"

#include "framework/registry_settings.h"

namespace
{
constexpr UCHAR c_ChipIndex9 = 0x9F;
constexpr UCHAR c_ChipIndex8 = 3;

struct SwitchSetting
{
    const WCHAR* Name;
    TimedSwitch Switch;
    UCHAR Preset;
};
const SwitchSetting c_SwitchSettings[] = {
    {u"DisableMicInAAUnit", DisableMicInAAUnit, 0},
    {u"DisableLineInAAUnit", DisableLineInAAUnit, 0},
    {u"DisableMicInRecUnit", DisableMicInRecUnit, 0},
    {u"DisableLineInRecUnit", DisableLineInRecUnit, 0},
    {u"DisableStereoMixRecUnit", DisableStereoMixRecUnit, 1},
    {u"DisableLineInTerminal", DisableLineInTerminal, 0},
    {u"DisableMicInTerminal", DisableMicInTerminal, 0},
    {u"DisableSpdifInTerminal", DisableSpdifInTerminal, 0},
    {u"SupportHPOut", SupportHPOut, 1},
    {u"SupportSpdifOut", SupportSpdifOut, 1},
    {u"Disable2ChOutSupported", Disable2ChOutSupported, 0},
    {u"Disable4ChOutSupported", Disable4ChOutSupported, 0},
    {u"Disable6ChOutSupported", Disable6ChOutSupported, 0},
    {u"Disable8ChOutSupported", Disable8ChOutSupported, 0},
};

constexpr ULONG c_NoOutputs = SwitchBit(SupportHPOut) | SwitchBit(SupportSpdifOut);

// One row per listed device, tried in order; the first that matches
// decides. A row without a variant matches any identified chip.
struct TimedOverride
{
    TimedVariant Device;
    BOOLEAN NeedsIdentity;
    ULONG SwitchesOn;
    ULONG SwitchesOff;
    BOOLEAN SetsMask;
    ULONG CapabilityMask;
    BOOLEAN WantsTimer;
    BOOLEAN SetsRegister1;
    USHORT Register1;
};
const TimedOverride c_Overrides[] = {
    {TimedVariant::First, TRUE,
     SwitchBit(DisableLineInRecUnit) | SwitchBit(DisableStereoMixRecUnit) |
         SwitchBit(DisableSpdifInTerminal) | SwitchBit(Disable4ChOutSupported) |
         SwitchBit(Disable8ChOutSupported),
     c_NoOutputs, TRUE, 0x3E0084, TRUE, TRUE, 0x3032},
    {TimedVariant::Fourth, TRUE,
     SwitchBit(DisableStereoMixRecUnit) | SwitchBit(DisableSpdifInTerminal) |
         SwitchBit(Disable2ChOutSupported) | SwitchBit(Disable4ChOutSupported) |
         SwitchBit(Disable8ChOutSupported),
     c_NoOutputs, TRUE, 0, FALSE, FALSE, 0},
    {TimedVariant::Third, FALSE,
     SwitchBit(DisableLineInTerminal) | SwitchBit(DisableSpdifInTerminal), c_NoOutputs, TRUE,
     0x3E09F, FALSE, FALSE, 0},
    {TimedVariant::Second, TRUE,
     SwitchBit(Disable8ChOutSupported) | SwitchBit(DisableLineInTerminal) |
         SwitchBit(DisableSpdifInTerminal),
     c_NoOutputs, FALSE, 0, FALSE, FALSE, 0},
    {TimedVariant::None, TRUE, SwitchBit(Disable8ChOutSupported), 0, FALSE, 0, FALSE, FALSE, 0},
};

bool RowMatches(const TimedOverride& row, TimedVariant device)
{
    return row.Device == TimedVariant::None || row.Device == device;
}

// A listed device whose row needs an identified chip and does not have one
// stays as "Settings" made it; so does a device no row names.
const TimedOverride* FindOverride(TimedVariant device, bool identified)
{
    for (const TimedOverride& row : c_Overrides)
    {
        if (!RowMatches(row, device))
            continue;
        if (row.NeedsIdentity && !identified)
            return nullptr;
        return &row;
    }
    return nullptr;
}

// Switch -> the switches it takes with it, applied in this order.
struct SwitchConsequence
{
    ULONG When; // any of these
    ULONG Sets;
};
const SwitchConsequence c_Consequences[] = {
    {SwitchBit(DisableMicInTerminal), SwitchBit(DisableStereoMixRecUnit) |
                                          SwitchBit(DisableMicInAAUnit) |
                                          SwitchBit(DisableMicInRecUnit)},
    {SwitchBit(DisableLineInTerminal), SwitchBit(DisableStereoMixRecUnit) |
                                           SwitchBit(DisableLineInRecUnit) |
                                           SwitchBit(DisableLineInAAUnit)},
    {SwitchBit(DisableMicInAAUnit) | SwitchBit(DisableLineInAAUnit),
     SwitchBit(DisableStereoMixRecUnit)},
};
} // namespace

bool TimedSwitches::HasAll(ULONG bits) const
{
    for (ULONG s = 0; s < TIMED_SWITCH_COUNT; ++s)
        if ((bits & (1u << s)) != 0 && Value[s] == 0)
            return false;
    return true;
}

bool TimedSwitches::HasAny(ULONG bits) const
{
    for (ULONG s = 0; s < TIMED_SWITCH_COUNT; ++s)
        if ((bits & (1u << s)) != 0 && Value[s] != 0)
            return true;
    return false;
}

void TimedSwitches::SetBits(ULONG bits, UCHAR value)
{
    for (ULONG s = 0; s < TIMED_SWITCH_COUNT; ++s)
        if ((bits & (1u << s)) != 0)
            Value[s] = value;
}

bool TimedChipIdentity::Identified() const
{
    return Index9 == c_ChipIndex9 && Index8 == c_ChipIndex8;
}

void ReadTimedSwitches(PDEVICE_OBJECT settingsKey, TimedSwitches* switches)
{
    PAGED_CODE();
    for (const SwitchSetting& setting : c_SwitchSettings)
    {
        ULONG value = setting.Preset;
        RegistryBinarySetting(settingsKey, SETTINGS_READ, &value, sizeof(value), setting.Name);
        switches->Set(setting.Switch, (UCHAR)value);
    }
}

void ApplyTimedDeviceOverrides(TimedVariant device, const TimedChipIdentity& chip,
                               TimedDeviceSettings* settings)
{
    const TimedOverride* row = FindOverride(device, chip.Identified());
    if (row != nullptr)
    {
        settings->Switches.SetBits(row->SwitchesOn, 1);
        settings->Switches.SetBits(row->SwitchesOff, 0);
        if (row->SetsMask)
            settings->CapabilityMask = row->CapabilityMask;
        settings->WantsTimer = row->WantsTimer;
        settings->SetsRegister1 = row->SetsRegister1;
        settings->Register1 = row->Register1;
    }
    if (settings->Switches.Has(Disable2ChOutSupported))
        settings->Switches.SetBits(c_NoOutputs, 0);
}

void ApplyTimedSwitchConsequences(TimedSwitches* switches)
{
    for (const SwitchConsequence& rule : c_Consequences)
        if (switches->HasAny(rule.When))
            switches->SetBits(rule.Sets, 1);
}
