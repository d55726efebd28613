#include <new>

#include "usbaudio/listed_devices.h"
#include "usbaudio/timed_descriptor_rewrite.h"
#include "usbaudio/timed_terminals.h"
#include "usbaudio/timed_units.h"
#include "usbaudio/timed_walkers.h"

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
// The class of each descriptor, by subtype, unit id and listed device; the
// first row that matches decides.
struct TimedUnitKind
{
    UCHAR Subtype;
    UCHAR Ids[3];
    const ListedDeviceId* Listed;
    TimedUnitMaker Create;
};
#define LINE_IDS                                                                                   \
    {                                                                                              \
        TimedId::StereoMixRec, TimedId::MicRec, TimedId::LineRec                                   \
    }
const TimedUnitKind c_TimedUnits[] = {
    {UAC_INPUT_TERMINAL, {c_AnyId}, nullptr, Make<CTimedInputTerminal>},
    {UAC_OUTPUT_TERMINAL, {TimedId::Speaker}, nullptr, Make<CTimedOutputTerminal>},
    {UAC_OUTPUT_TERMINAL, {c_AnyId}, nullptr, MakePlain<CUac1OutputTerminal>},
    {UAC_MIXER_UNIT, {c_AnyId}, nullptr, MakePlain<CUac1MixerUnit>},
    {UAC_SELECTOR_UNIT, {c_AnyId}, nullptr, Make<CTimedSelectorUnit>},
    {UAC_FEATURE_UNIT, {TimedId::Master}, nullptr, Make<CTimedMuteLedFeatureUnit>},
    {UAC_FEATURE_UNIT, {TimedId::SpdifRec}, nullptr, MakePlain<CTimedSoftMuteFeatureUnit>},
    {UAC_FEATURE_UNIT, {TimedId::MicAnalog}, nullptr, Make<CTimedGainFeatureUnit>},
    {UAC_FEATURE_UNIT,
     {TimedId::LineAnalog},
     TIMED_FIRST_LISTED,
     Make<CTimedForcedMuteFeatureUnit>},
    {UAC_FEATURE_UNIT, {TimedId::LineAnalog}, nullptr, Make<CTimedGainFeatureUnit>},
    {UAC_FEATURE_UNIT, LINE_IDS, TIMED_SECOND_LISTED, Make<CTimedLineMuteNodeFeatureUnit>},
    {UAC_FEATURE_UNIT, LINE_IDS, TIMED_THIRD_LISTED, Make<CTimedLineSwitchFeatureUnit>},
    {UAC_FEATURE_UNIT, LINE_IDS, nullptr, Make<CTimedLineFeatureUnit>},
    {UAC_FEATURE_UNIT, {c_AnyId}, nullptr, MakePlain<CUac1FeatureUnit>},
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
            (kind.Listed != nullptr &&
             !IsListedDevice(kind.Listed, 1, device->GetVendorId(), device->GetProductId())))
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
