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

void ApplyTimedDeviceOverrides(const TimedOverride& overrides, const TimedChipIdentity& chip,
                               TimedDeviceSettings* settings)
{
    if (!overrides.NeedsIdentity || chip.Identified())
    {
        settings->Switches.SetBits(overrides.SwitchesOn, 1);
        settings->Switches.SetBits(overrides.SwitchesOff, 0);
        if (overrides.SetsMask)
            settings->CapabilityMask = overrides.CapabilityMask;
        settings->WantsTimer = overrides.WantsTimer;
        settings->SetsRegister1 = overrides.SetsRegister1;
        settings->Register1 = overrides.Register1;
    }
    if (settings->Switches.Has(Disable2ChOutSupported))
        settings->Switches.SetBits(TIMED_OUTPUT_SWITCHES, 0);
}

void ApplyTimedSwitchConsequences(TimedSwitches* switches)
{
    for (const SwitchConsequence& rule : c_Consequences)
        if (switches->HasAny(rule.When))
            switches->SetBits(rule.Sets, 1);
}
