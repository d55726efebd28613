// The topology filter's fixed descriptors, as data.
#include "usbaudio/topology/tables.h"

#include "audioclass/controls/control_interfaces.h"
#include "usbaudio/topology/properties.h"

DEFINE_GUID(PINNAME_SPDIF_OUT, 0x12C15946L, 0xBA58, 0x42C1, 0x9F, 0x11, 0x83, 0x41, 0xE2, 0x19,
            0x86, 0x22);
DEFINE_GUID(PINNAME_SPDIF_IN, 0x017D895CL, 0x7AE7, 0x4F4D, 0xB7, 0x8C, 0xCD, 0x1F, 0xFC, 0x0C, 0xE7,
            0x76);
DEFINE_GUID(PINNAME_HDMI, 0x387BFC03L, 0xE7EF, 0x4901, 0x86, 0xE0, 0x35, 0xB7, 0xC3, 0x2B, 0x00,
            0xEF);
DEFINE_GUID(PINNAME_DISPLAYPORT, 0x21FBB329L, 0x1A4A, 0x48DA, 0xA0, 0x76, 0x23, 0x18, 0xA3, 0xC5,
            0x9B, 0x26);
DEFINE_GUID(PINNAME_AUX, 0x5F4BB488L, 0xA646, 0x408A, 0x92, 0x65, 0x86, 0x47, 0xF9, 0xC3, 0x74,
            0xD4);
DEFINE_GUID(PINNAME_STEREO_MIX, 0x8C5716E6L, 0xC984, 0x492E, 0xA2, 0xFB, 0x13, 0x85, 0xF2, 0xD0,
            0xF3, 0xC9);
DEFINE_GUID(NODENAME_PSEUDO, 0x369C31B9L, 0x34E6, 0x4640, 0x99, 0xB6, 0xAD, 0xD1, 0x6C, 0xF1, 0x19,
            0x94);

const GUID c_TopologyCategories[TOPOLOGY_CATEGORY_COUNT] = {KSCATEGORY_AUDIO, KSCATEGORY_TOPOLOGY,
                                                            KSCATEGORY_DEVICE_PRIVATE};

KSDATARANGE c_AnalogRange = {{sizeof(KSDATARANGE), 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO,
                              KSDATAFORMAT_SUBTYPE_ANALOG, KSDATAFORMAT_SPECIFIER_NONE}};
const PKSDATARANGE c_AnalogRanges[1] = {&c_AnalogRange};

const PinKindRow c_PinKinds[TOPOLOGY_PIN_KINDS] = {
    {&KSCATEGORY_AUDIO, nullptr, PinNameRule::None, nullptr, nullptr},
    {&KSNODETYPE_SPEAKER, nullptr, PinNameRule::None, nullptr, nullptr},
    {&KSNODETYPE_HEADPHONES, nullptr, PinNameRule::None, nullptr, nullptr},
    {&KSNODETYPE_SPDIF_INTERFACE, nullptr, PinNameRule::SpdifRegistry, &PINNAME_SPDIF_OUT,
     &PINNAME_SPDIF_IN},
    {&KSNODETYPE_HDMI_INTERFACE, nullptr, PinNameRule::Fixed, &PINNAME_HDMI, nullptr},
    {&KSNODETYPE_DISPLAYPORT_INTERFACE, nullptr, PinNameRule::Fixed, &PINNAME_DISPLAYPORT, nullptr},
    {&KSNODETYPE_LINE_CONNECTOR, nullptr, PinNameRule::LineInputRegistry, nullptr, nullptr},
    {&KSNODETYPE_MICROPHONE, nullptr, PinNameRule::None, nullptr, nullptr},
    {&KSNODETYPE_ANALOG_CONNECTOR, nullptr, PinNameRule::FixedFromVista, &PINNAME_AUX, nullptr},
    {&KSNODETYPE_CD_PLAYER, nullptr, PinNameRule::None, nullptr, nullptr},
    {&KSNODETYPE_VCR_AUDIO, nullptr, PinNameRule::None, nullptr, nullptr},
    {&KSNODETYPE_DESKTOP_MICROPHONE, nullptr, PinNameRule::None, nullptr, nullptr},
    {&KSNODETYPE_PHONE_LINE, nullptr, PinNameRule::None, nullptr, nullptr},
    {&KSNODETYPE_HANDSET, nullptr, PinNameRule::None, nullptr, nullptr},
    {&KSNODETYPE_HEADSET, nullptr, PinNameRule::None, nullptr, nullptr},
    {&KSNODETYPE_SPEAKERPHONE_NO_ECHO_REDUCTION, nullptr, PinNameRule::None, nullptr, nullptr},
    {&KSNODETYPE_ANALOG_CONNECTOR, &KSNODETYPE_STEREO_MIX_LEGACY, PinNameRule::FixedFromVista,
     &PINNAME_STEREO_MIX, nullptr},
    {&KSNODETYPE_HEADPHONES, nullptr, PinNameRule::None, nullptr, nullptr},
};

namespace
{
constexpr ULONG GSB =
    PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT;
constexpr ULONG GS = PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET;
constexpr ULONG G = PCPROPERTY_ITEM_FLAG_GET;
constexpr ULONG S = PCPROPERTY_ITEM_FLAG_SET;
constexpr ULONG SB = PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT;
constexpr ULONG GB = PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT;

const PCEVENT_ITEM c_ControlChangeEvent[] = {
    {&KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE,
     PCEVENT_ITEM_FLAG_ENABLE | PCEVENT_ITEM_FLAG_BASICSUPPORT, EventHandlerControlChange}};

const PCPROPERTY_ITEM c_VolumeProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, GSB, PropertyHandlerLevel},
    {&KSPROPSETID_DevicePrivate, DEVICE_PRIVATE_LEVEL_NOTIFY, S, PropertyHandlerLevel}};
const PCPROPERTY_ITEM c_ToneProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_BASS, GSB, PropertyHandlerLevel},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MID, GSB, PropertyHandlerLevel},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_TREBLE, GSB, PropertyHandlerLevel},
    {&KSPROPSETID_DevicePrivate, DEVICE_PRIVATE_LEVEL_NOTIFY, S, PropertyHandlerLevel}};
const PCPROPERTY_ITEM c_MuteProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, GSB, PropertyHandlerBoolean}};
const PCPROPERTY_ITEM c_AgcProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_AGC, GSB, PropertyHandlerBoolean}};
const PCPROPERTY_ITEM c_LoudnessProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_LOUDNESS, GSB, PropertyHandlerBoolean}};
const PCPROPERTY_ITEM c_MuxProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE, GS, PropertyHandlerMux}};
const PCPROPERTY_ITEM c_SingleSourceProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, GSB, PropertyHandlerDevSpecific}};
const PCPROPERTY_ITEM c_DevSpecificProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, GSB, PropertyHandlerDevSpecific},
    {&KSPROPSETID_NodeIdentity, NODE_IDENTITY_ID, G, PropertyHandlerIdentity}};
const PCPROPERTY_ITEM c_OutputTypeProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, SB, PropertyHandlerDevSpecific},
    {&KSPROPSETID_NodeIdentity, NODE_IDENTITY_ID, G, PropertyHandlerIdentity},
    {&KSPROPSETID_OutputType, OUTPUT_TYPE_LIST, G, PropertyHandlerDevSpecific},
    {&KSPROPSETID_OutputType, OUTPUT_TYPE_CURRENT, G, PropertyHandlerDevSpecific}};
const PCPROPERTY_ITEM c_PseudoProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, GSB, PropertyHandlerDevSpecific},
    {&KSPROPSETID_NodeIdentity, NODE_IDENTITY_ID, G, PropertyHandlerIdentity},
    {&KSPROPSETID_PseudoControl, 1, G, PropertyHandlerDevSpecific},
    {&KSPROPSETID_PseudoControl, 2, G, PropertyHandlerDevSpecific},
    {&KSPROPSETID_PseudoControl, 3, G, PropertyHandlerDevSpecific},
    {&KSPROPSETID_PseudoControl, 4, GS, PropertyHandlerDevSpecific}};
const PCPROPERTY_ITEM c_FilterProperties[] = {
    {&KSPROPSETID_DevicePrivate, DEVICE_PRIVATE_VERSION, G, PropertyHandlerFilterPrivate},
    {&KSPROPSETID_DevicePrivate, DEVICE_PRIVATE_JACKS, GB, PropertyHandlerJack},
    {&KSPROPSETID_EndpointCapabilities, ENDPOINT_CAPABILITIES_ID, GB,
     PropertyHandlerEndpointCapabilities},
    {&KSPROPSETID_Jack, JACK_DESCRIPTION_ID, GB, PropertyHandlerJack},
    {&KSPROPSETID_Jack, JACK_DESCRIPTION2_ID, GB, PropertyHandlerJack}};

template <ULONG P> constexpr PCAUTOMATION_TABLE Table(const PCPROPERTY_ITEM (&items)[P], bool event)
{
    return {sizeof(PCPROPERTY_ITEM),
            P,
            items,
            sizeof(PCMETHOD_ITEM),
            0,
            nullptr,
            sizeof(PCEVENT_ITEM),
            event ? 1u : 0u,
            event ? c_ControlChangeEvent : nullptr,
            0};
}

const PCAUTOMATION_TABLE c_VolumeAutomation = Table(c_VolumeProperties, true);
const PCAUTOMATION_TABLE c_ToneAutomation = Table(c_ToneProperties, true);
const PCAUTOMATION_TABLE c_MuteAutomation = Table(c_MuteProperties, true);
const PCAUTOMATION_TABLE c_AgcAutomation = Table(c_AgcProperties, true);
const PCAUTOMATION_TABLE c_LoudnessAutomation = Table(c_LoudnessProperties, true);
const PCAUTOMATION_TABLE c_MuxAutomation = Table(c_MuxProperties, false);
const PCAUTOMATION_TABLE c_SingleSourceAutomation = Table(c_SingleSourceProperties, false);
const PCAUTOMATION_TABLE c_DevSpecificAutomation = Table(c_DevSpecificProperties, true);
const PCAUTOMATION_TABLE c_OutputTypeAutomation = Table(c_OutputTypeProperties, true);
const PCAUTOMATION_TABLE c_PseudoAutomation = Table(c_PseudoProperties, true);

constexpr ULONG c_AnySources = 0xFFFFFFFF;
struct NodeTypeKey
{
    ULONG MinimumSources; // rows of the same type are tried in order
    NodeTypeRow Row;
};
const NodeTypeKey c_NodeTypes[] = {
    {0,
     {CONTROL_KIND_MUTE, &KSNODETYPE_MUTE, &c_MuteAutomation, NodeNameRule::None, nullptr,
      nullptr}},
    {0,
     {CONTROL_KIND_VOLUME, &KSNODETYPE_VOLUME, &c_VolumeAutomation, NodeNameRule::None, nullptr,
      nullptr}},
    {2,
     {CONTROL_KIND_SELECTOR, &KSNODETYPE_MUX, &c_MuxAutomation, NodeNameRule::None, nullptr,
      nullptr}},
    {0,
     {CONTROL_KIND_SELECTOR, &KSNODETYPE_DEV_SPECIFIC, &c_SingleSourceAutomation,
      NodeNameRule::Fixed, &KSNODETYPE_DEV_SPECIFIC, nullptr}},
    {0, {CONTROL_KIND_MIXER_UNIT, &KSNODETYPE_SUM, nullptr, NodeNameRule::None, nullptr, nullptr}},
    {0,
     {CONTROL_KIND_AGC, &KSNODETYPE_AGC, &c_AgcAutomation, NodeNameRule::None, nullptr, nullptr}},
    {0,
     {CONTROL_KIND_LOUDNESS, &KSNODETYPE_LOUDNESS, &c_LoudnessAutomation, NodeNameRule::None,
      nullptr, nullptr}},
    {0,
     {CONTROL_KIND_GAIN, &KSNODETYPE_DEV_SPECIFIC, &c_DevSpecificAutomation, NodeNameRule::Fixed,
      &NODENAME_GAIN, &NODENAME_GAIN}},
    {0,
     {CONTROL_KIND_BASS, &KSNODETYPE_TONE, &c_ToneAutomation, NodeNameRule::Fixed, &KSAUDFNAME_BASS,
      nullptr}},
    {0,
     {CONTROL_KIND_MID, &KSNODETYPE_TONE, &c_ToneAutomation, NodeNameRule::Fixed,
      &KSAUDFNAME_MIDRANGE, nullptr}},
    {0,
     {CONTROL_KIND_TREBLE, &KSNODETYPE_TONE, &c_ToneAutomation, NodeNameRule::Fixed,
      &KSAUDFNAME_TREBLE, nullptr}},
    {0,
     {CONTROL_KIND_LIST, &KSNODETYPE_DEV_SPECIFIC, &c_OutputTypeAutomation, NodeNameRule::Fixed,
      &NODENAME_OUTPUT_TYPE, &NODENAME_OUTPUT_TYPE}},
    {0,
     {CONTROL_KIND_SWITCH, &KSNODETYPE_DEV_SPECIFIC, &c_DevSpecificAutomation, NodeNameRule::Fixed,
      &NODENAME_SWITCH, &NODENAME_SWITCH}},
    {0,
     {CONTROL_KIND_SWITCH2, &KSNODETYPE_DEV_SPECIFIC, &c_DevSpecificAutomation, NodeNameRule::Fixed,
      &NODENAME_SWITCH2, &NODENAME_SWITCH2}},
    {0,
     {CONTROL_KIND_PSEUDO, &KSNODETYPE_DEV_SPECIFIC, &c_PseudoAutomation, NodeNameRule::Pseudo,
      nullptr, &NODENAME_PSEUDO}},
};
} // namespace

const PCAUTOMATION_TABLE c_FilterAutomation = Table(c_FilterProperties, false);

const NodeTypeRow* NodeRowFor(ULONG controlType, ULONG sources)
{
    for (const NodeTypeKey& key : c_NodeTypes)
        if (key.Row.ControlType == controlType && sources >= key.MinimumSources &&
            key.MinimumSources != c_AnySources)
            return &key.Row;
    return nullptr;
}
