#include <new>

#include "usbaudio/table/device_table.h"
#include "usbaudio/timed/descriptor_rewrite.h"
#include "usbaudio/timed/terminals.h"
#include "usbaudio/timed/units.h"
#include "usbaudio/timed/walkers.h"

namespace
{
typedef CUacUnit* (*TimedUnitMaker)(ULONG index, CUsbAudioTimedDevice* device);
template <typename T> CUacUnit* Make(ULONG index, CUsbAudioTimedDevice* device)
{
    return new (NonPagedPool, TIMED_POOL_TAG) T(index, device);
}
template <typename T> CUacUnit* MakePlain(ULONG index, CUsbAudioTimedDevice*)
{
    return new (NonPagedPool, TIMED_POOL_TAG) T(index);
}

constexpr UCHAR c_AnyId = 0;
// The class of each descriptor, by subtype, unit id and the device's unit
// set; the first row that matches decides. A row of the standard set
// matches every device.
struct TimedUnitKind
{
    UCHAR Subtype;
    UCHAR Ids[3];
    TimedUnitSet Units;
    TimedUnitMaker Create;
};
constexpr TimedUnitSet c_AnyDevice = TimedUnitSet::Standard;
#define LINE_IDS                                                                                   \
    {                                                                                              \
        TimedId::StereoMixRec, TimedId::MicRec, TimedId::LineRec                                   \
    }
const TimedUnitKind c_TimedUnits[] = {
    {USB_AUDIO_INPUT_TERMINAL, {c_AnyId}, c_AnyDevice, Make<CTimedInputTerminal>},
    {USB_AUDIO_OUTPUT_TERMINAL, {TimedId::Speaker}, c_AnyDevice, Make<CTimedOutputTerminal>},
    {USB_AUDIO_OUTPUT_TERMINAL, {c_AnyId}, c_AnyDevice, MakePlain<CUac1OutputTerminal>},
    {USB_AUDIO_MIXER_UNIT, {c_AnyId}, c_AnyDevice, MakePlain<CUac1MixerUnit>},
    {USB_AUDIO_SELECTOR_UNIT, {c_AnyId}, c_AnyDevice, Make<CTimedSelectorUnit>},
    {USB_AUDIO_FEATURE_UNIT, {TimedId::Master}, c_AnyDevice, Make<CTimedMuteLedFeatureUnit>},
    {USB_AUDIO_FEATURE_UNIT,
     {TimedId::SpdifRec},
     c_AnyDevice,
     MakePlain<CTimedSoftMuteFeatureUnit>},
    {USB_AUDIO_FEATURE_UNIT, {TimedId::MicAnalog}, c_AnyDevice, Make<CTimedGainFeatureUnit>},
    {USB_AUDIO_FEATURE_UNIT,
     {TimedId::LineAnalog},
     TimedUnitSet::ForcedMuteLineAnalog,
     Make<CTimedForcedMuteFeatureUnit>},
    {USB_AUDIO_FEATURE_UNIT, {TimedId::LineAnalog}, c_AnyDevice, Make<CTimedGainFeatureUnit>},
    {USB_AUDIO_FEATURE_UNIT, LINE_IDS, TimedUnitSet::LineMuteNodes,
     Make<CTimedLineMuteNodeFeatureUnit>},
    {USB_AUDIO_FEATURE_UNIT, LINE_IDS, TimedUnitSet::LineSwitch, Make<CTimedLineSwitchFeatureUnit>},
    {USB_AUDIO_FEATURE_UNIT, LINE_IDS, c_AnyDevice, Make<CTimedLineFeatureUnit>},
    {USB_AUDIO_FEATURE_UNIT, {c_AnyId}, c_AnyDevice, MakePlain<CUac1FeatureUnit>},
};
#undef LINE_IDS

bool IdMatches(const TimedUnitKind& kind, UCHAR id)
{
    if (kind.Ids[0] == c_AnyId)
        return true;
    for (UCHAR candidate : kind.Ids)
        if (candidate != c_AnyId && candidate == id)
            return true;
    return false;
}

// Only the timed walk below hands its device to this maker.
NTSTATUS CreateTimedUnit(CUsbAudioDevice* device, const UCHAR* descriptor)
{
    auto timed = static_cast<CUsbAudioTimedDevice*>(device);
    for (const TimedUnitKind& kind : c_TimedUnits)
    {
        if (kind.Subtype != descriptor[2] || !IdMatches(kind, descriptor[3]) ||
            (kind.Units != c_AnyDevice &&
             kind.Units != device->GetDeviceRecord().TimedTraits().Units))
            continue;
        return AddWalkedUnit(device, kind.Create(DeviceUnitCount(device), timed), descriptor);
    }
    return STATUS_UNSUCCESSFUL;
}
} // namespace

NTSTATUS ParseAudioControlTimed(CUsbAudioTimedDevice* device,
                                PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor, ULONG bytesToEnd)
{
    PAGED_CODE();
    return WalkAudioControl(device, interfaceDescriptor, bytesToEnd, AudioDescriptorVersion::Uac1,
                            CreateTimedUnit);
}
