#include <new>

#include "audioclass/controls/uac_unit_controls.h"
#include "usbaudio/uac2/walkers.h"
#include "audioclass/units/uac2_terminals.h"
#include "audioclass/units/uac2_units.h"

namespace
{
typedef CUacUnit* (*UnitMaker)(ULONG index, UCHAR subtype);
template <typename T> CUacUnit* Make(ULONG index, UCHAR)
{
    return new (NonPagedPool, UAC2_POOL_TAG) T(index);
}
CUacUnit* MakeMixer(ULONG index, UCHAR subtype)
{
    return new (NonPagedPool, UAC2_POOL_TAG) CUac2MixerUnit(index, subtype);
}
struct UnitKind
{
    UCHAR Subtype;
    UnitMaker Create;
};
// The objects of the class 2.0 AudioControl interface. Effect, processing
// and sample-rate converter units, clock selectors and clock multipliers
// have none: the walk refuses a device with one, by the unit's name.
const UnitKind c_Uac2Units[] = {{USB_AUDIO_INPUT_TERMINAL, Make<CUac2InputTerminal>},
                                {USB_AUDIO_OUTPUT_TERMINAL, Make<CUac2OutputTerminal>},
                                {USB_AUDIO_MIXER_UNIT, MakeMixer},
                                {USB_AUDIO_SELECTOR_UNIT, Make<CUac2SelectorUnit>},
                                {USB_AUDIO_FEATURE_UNIT, Make<CUac2FeatureUnit>},
                                {USB_AUDIO20_EXTENSION_UNIT, MakeMixer},
                                {USB_AUDIO20_CLOCK_SOURCE_SUBTYPE, Make<CUac2ClockSource>}};

NTSTATUS CreateUnit(CUsbAudioDevice* device, const UCHAR* descriptor)
{
    for (const UnitKind& kind : c_Uac2Units)
        if (kind.Subtype == descriptor[2])
            return AddWalkedUnit(device, kind.Create(DeviceUnitCount(device), kind.Subtype),
                                 descriptor);
    return STATUS_UNSUCCESSFUL;
}
} // namespace

NTSTATUS ParseAudioControlUac2(CUsbAudioDevice* device,
                               PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor, ULONG bytesToEnd)
{
    PAGED_CODE();
    return WalkAudioControl(device, interfaceDescriptor, bytesToEnd, AudioDescriptorVersion::Uac2,
                            CreateUnit);
}

NTSTATUS BuildPathsUac2(CUsbAudioDevice* device, CStreamEngine* engine)
{
    PAGED_CODE();
    // A recording that no named input terminal reaches stands for its
    // mixers' sum: each mixer on it stands as a "StereoMix" input.
    if (engine->GetControlCount() != 2 && engine->GetDirection() == STREAM_DIRECTION_CAPTURE &&
        !EngineHoldsNamedInput(engine))
    {
        for (ULONG i = 0; i < engine->GetControlCount(); ++i)
        {
            CAudioControl* control = nullptr;
            PMIXERTERMINALSWITCH mixer = nullptr;
            if (!NT_SUCCESS(engine->GetControlAt(i, &control)) ||
                control->GetKind() != CONTROL_KIND_MIXER_UNIT ||
                !NT_SUCCESS(control->QueryInterface(IID_IMixerTerminalSwitch, (PVOID*)&mixer)))
                continue;
            mixer->SetAsTerminal(TRUE);
            mixer->Release();
        }
    }
    return BuildPathsUac1(device, engine);
}
