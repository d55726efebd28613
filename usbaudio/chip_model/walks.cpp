#include <new>

#include "streaming/usb/usb_audio1_capture.h"
#include "streaming/usb/usb_audio_repack_render.h"
#include "usbaudio/chip_model/walkers.h"
#include "usbaudio/uac1/stream_factory.h"
#include "usbaudio/chip_model/effect_feature_unit.h"
#include "usbaudio/chip_model/feature_unit.h"
#include "usbaudio/chip_model/terminals.h"
#include "audioclass/units/uac1_units.h"

namespace
{
constexpr ULONG c_IdOffset = 3;
constexpr ULONG c_TerminalTypeOffset = 4;
constexpr UCHAR c_AnyId = 0xFF;
constexpr UCHAR c_ChannelsOffset = 4; // bNrChannels of a format-type descriptor

typedef CUacUnit* (*ChipUnitMaker)(ULONG index, ULONG modelTag);
// Class 1.0 objects of the walk keep the class 1.0 tag; the model's own
// classes carry the model's tag, their feature units also for what they make.
template <typename T> CUacUnit* Uac1Object(ULONG index, ULONG)
{
    return new (NonPagedPool, UAC1_POOL_TAG) T(index);
}
template <typename T> CUacUnit* ModelTerminal(ULONG index, ULONG modelTag)
{
    return new (NonPagedPool, modelTag) T(index);
}
template <typename T> CUacUnit* ModelFeatureUnit(ULONG index, ULONG modelTag)
{
    return new (NonPagedPool, modelTag) T(index, modelTag);
}

// The object of a descriptor: the first row of its subtype whose id range
// holds the descriptor's unit or terminal id.
struct ChipUnitRow
{
    UCHAR Subtype;
    UCHAR FirstId;
    UCHAR LastId;
    ChipUnitMaker Create;
};
// A terminal type one vendor's devices report wrongly.
struct TerminalTypeRewrite
{
    ULONG DeviceFlag; // of the devices whose terminal is rewritten
    UCHAR TerminalId;
    USHORT From;
    USHORT To;
};
struct ChipModelWalk
{
    ULONG PoolTag;
    const ChipUnitRow* Rows;
    ULONG RowCount;
    const TerminalTypeRewrite* Rewrite; // or null
};

const ChipUnitRow c_ModelAUnits[] = {
    {USB_AUDIO_INPUT_TERMINAL, 0, c_AnyId, ModelTerminal<CChipModelInputTerminal>},
    {USB_AUDIO_OUTPUT_TERMINAL, 0, c_AnyId, ModelTerminal<CChipModelOutputTerminal>},
    {USB_AUDIO_MIXER_UNIT, 0, c_AnyId, Uac1Object<CUac1MixerUnit>},
    {USB_AUDIO_SELECTOR_UNIT, 0, c_AnyId, Uac1Object<CUac1SelectorUnit>},
    {USB_AUDIO_FEATURE_UNIT, 9, 9, ModelFeatureUnit<CChipModelFeatureUnitA9>},
    {USB_AUDIO_FEATURE_UNIT, 10, 12, ModelFeatureUnit<CChipModelFeatureUnitA10>},
    {USB_AUDIO_FEATURE_UNIT, 13, 14, ModelFeatureUnit<CChipModelFeatureUnitA13>},
    {USB_AUDIO_FEATURE_UNIT, 0, c_AnyId, Uac1Object<CUac1FeatureUnit>}};
const ChipUnitRow c_ModelBUnits[] = {
    {USB_AUDIO_INPUT_TERMINAL, 0, c_AnyId, ModelTerminal<CChipModelInputTerminal>},
    {USB_AUDIO_OUTPUT_TERMINAL, 0, c_AnyId, ModelTerminal<CChipModelOutputTerminal>},
    {USB_AUDIO_MIXER_UNIT, 0, c_AnyId, Uac1Object<CUac1MixerUnit>},
    {USB_AUDIO_SELECTOR_UNIT, 0, c_AnyId, Uac1Object<CUac1SelectorUnit>},
    {USB_AUDIO_FEATURE_UNIT, 9, 9, ModelFeatureUnit<CChipModelFeatureUnitB9>},
    {USB_AUDIO_FEATURE_UNIT, 10, 10, ModelFeatureUnit<CChipModelFeatureUnitB10>},
    {USB_AUDIO_FEATURE_UNIT, 13, 13, ModelFeatureUnit<CChipModelFeatureUnitB13>},
    {USB_AUDIO_FEATURE_UNIT, 0, c_AnyId, Uac1Object<CUac1FeatureUnit>}};
const ChipUnitRow c_ModelCUnits[] = {
    {USB_AUDIO_INPUT_TERMINAL, 0, c_AnyId, Uac1Object<CUac1InputTerminal>},
    {USB_AUDIO_OUTPUT_TERMINAL, 0, c_AnyId, Uac1Object<CUac1OutputTerminal>},
    {USB_AUDIO_MIXER_UNIT, 0, c_AnyId, Uac1Object<CUac1MixerUnit>},
    {USB_AUDIO_SELECTOR_UNIT, 0, c_AnyId, Uac1Object<CUac1SelectorUnit>},
    {USB_AUDIO_FEATURE_UNIT, 0, c_AnyId, Uac1Object<CChipFeatureUnit>}};

const TerminalTypeRewrite c_ModelBHeadphones = {
    DEVICE_HEADPHONE_TERMINAL_6, MODEL_B_HEADPHONE_TERMINAL_ID, USB_AUDIO_TERMINAL_SPEAKER,
    USB_AUDIO_TERMINAL_HEADPHONES};

const ChipModelWalk c_ModelA = {MODEL_A_POOL_TAG, c_ModelAUnits, ARRAYSIZE(c_ModelAUnits), nullptr};
const ChipModelWalk c_ModelB = {MODEL_B_POOL_TAG, c_ModelBUnits, ARRAYSIZE(c_ModelBUnits),
                                &c_ModelBHeadphones};
const ChipModelWalk c_ModelC = {UAC1_POOL_TAG, c_ModelCUnits, ARRAYSIZE(c_ModelCUnits), nullptr};

bool NeedsRewrite(const TerminalTypeRewrite* rewrite, CUsbAudioDevice* device, const UCHAR* d)
{
    return rewrite != nullptr && d[2] == USB_AUDIO_OUTPUT_TERMINAL &&
           device->GetDeviceRecord().Has(rewrite->DeviceFlag) &&
           d[c_IdOffset] == rewrite->TerminalId &&
           (d[c_TerminalTypeOffset] | d[c_TerminalTypeOffset + 1] << 8) == rewrite->From;
}

NTSTATUS CreateChipUnit(const ChipModelWalk& walk, CUsbAudioDevice* device, const UCHAR* d)
{
    // The rewritten type is what the terminal object is made from.
    UCHAR copy[256];
    if (NeedsRewrite(walk.Rewrite, device, d))
    {
        RtlCopyMemory(copy, d, d[0]);
        copy[c_TerminalTypeOffset] = (UCHAR)walk.Rewrite->To;
        copy[c_TerminalTypeOffset + 1] = (UCHAR)(walk.Rewrite->To >> 8);
        d = copy;
    }
    for (ULONG i = 0; i < walk.RowCount; ++i)
    {
        const ChipUnitRow& row = walk.Rows[i];
        if (row.Subtype == d[2] && d[c_IdOffset] >= row.FirstId && d[c_IdOffset] <= row.LastId)
            return AddWalkedUnit(device, row.Create(DeviceUnitCount(device), walk.PoolTag), d);
    }
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS CreateModelAUnit(CUsbAudioDevice* device, const UCHAR* d)
{
    return CreateChipUnit(c_ModelA, device, d);
}
NTSTATUS CreateModelBUnit(CUsbAudioDevice* device, const UCHAR* d)
{
    return CreateChipUnit(c_ModelB, device, d);
}
NTSTATUS CreateModelCUnit(CUsbAudioDevice* device, const UCHAR* d)
{
    return CreateChipUnit(c_ModelC, device, d);
}

// ----------------------------------------------------------------------------
// Model C streaming

NTSTATUS OnModelCGeneral(CUsbAudioDevice* device, const UCHAR* d, StreamingInterfaceWalk* walk)
{
    return OnUac1General(device, d, walk, CreateUac1FamilyStream<CRV4410Render, UAC1_POOL_TAG>);
}

// A render setting of two channels offers the client eight: the format
// type is read as if it said eight channels, which gives the layout 0x63F
// and the block size of eight. Other render settings are refused.
NTSTATUS OnModelCFormatType(CUsbAudioDevice* device, const UCHAR* d, StreamingInterfaceWalk* walk)
{
    if (walk->Stream == nullptr || walk->Stream->GetDirection() != STREAM_DIRECTION_RENDER)
        return OnUac1FormatType(device, d, walk);
    if (d[c_ChannelsOffset] != MODEL_C_DEVICE_CHANNELS)
    {
        if (walk->Link < 0 ||
            (d[3] != USB_AUDIO_FORMAT_TYPE_I && d[3] != USB_AUDIO_FORMAT_TYPE_III))
            return STATUS_INVALID_PARAMETER;
        ++walk->Dropped;
        return STATUS_SUCCESS;
    }
    UCHAR eight[256];
    RtlCopyMemory(eight, d, d[0]);
    eight[c_ChannelsOffset] = (UCHAR)MODEL_C_RENDER_CHANNELS;
    return OnUac1FormatType(device, eight, walk);
}

const StreamingWalkClass c_ModelCWalker = {AudioDescriptorVersion::Uac1, OnModelCGeneral,
                                           OnModelCFormatType, BuildPathsUac1};
static_assert(MODEL_C_RENDER_CHANNEL_MASK == 0x63F);
} // namespace

NTSTATUS ParseAudioControlModelA(CUsbAudioDevice* device,
                                 PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor, ULONG bytesToEnd)
{
    PAGED_CODE();
    return WalkAudioControl(device, interfaceDescriptor, bytesToEnd, AudioDescriptorVersion::Uac1,
                            CreateModelAUnit);
}

NTSTATUS ParseAudioControlModelB(CUsbAudioDevice* device,
                                 PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor, ULONG bytesToEnd)
{
    PAGED_CODE();
    return WalkAudioControl(device, interfaceDescriptor, bytesToEnd, AudioDescriptorVersion::Uac1,
                            CreateModelBUnit);
}

NTSTATUS ParseAudioControlModelC(CUsbAudioDevice* device,
                                 PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor, ULONG bytesToEnd)
{
    PAGED_CODE();
    return WalkAudioControl(device, interfaceDescriptor, bytesToEnd, AudioDescriptorVersion::Uac1,
                            CreateModelCUnit);
}

NTSTATUS ParseAudioStreamingModelC(CUsbAudioDevice* device,
                                   PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                   PUSB_INTERFACE_DESCRIPTOR firstInterface, ULONG bytesToEnd)
{
    return WalkAudioStreaming(device, configuration, firstInterface, bytesToEnd, c_ModelCWalker);
}
