// The driver's private interfaces and the small records they pass. Objects of
// different areas (device object, stream engines, controls, miniports) reach
// one another only through these tables, each by its interface id, so their
// operations keep the places declared here.
#pragma once

#include "platform/ks/ksmedia.h"
#include "platform/portcls/portcls.h"

class CStreamEngine;
class CAudioControl;
class CPtrList;
struct _USB_CONFIGURATION_DESCRIPTOR;
struct _USB_INTERFACE_DESCRIPTOR;

// ----------------------------------------------------------------------------
// Interface ids
DEFINE_GUID(IID_IAdapterCommon, 0x7284B608L, 0x74F9, 0x4B95, 0xA5, 0xBB, 0xEC, 0x6D, 0xDD, 0x0B,
            0x6F, 0x58);
DEFINE_GUID(IID_IUsbDeviceIo, 0x4E0BFAF2L, 0x66CC, 0x40AC, 0x82, 0x03, 0xC3, 0xC4, 0xD0, 0x8C, 0xD4,
            0xFF);
DEFINE_GUID(IID_IAsioPrivate, 0xDB4D55ACL, 0xCB0E, 0x4611, 0x8C, 0xEB, 0x16, 0xE3, 0x23, 0x36, 0x87,
            0x6D);
DEFINE_GUID(IID_IDeviceModel, 0xB00C6788L, 0x253F, 0x4638, 0x94, 0x60, 0x33, 0x6A, 0x8B, 0xE6, 0xEE,
            0x9A);
// The device object's lock over what its polling thread and the property
// handlers share; the adapter hands it on.
DEFINE_GUID(IID_IDeviceLock, 0x5E0B7A31L, 0x4C2D, 0x4F6A, 0x9B, 0x18, 0x2D, 0x7C, 0x61, 0xE4, 0x3A,
            0x90);
DEFINE_GUID(IID_CStreamEngine, 0x3D64C291L, 0x9F42, 0x43E5, 0xA4, 0x68, 0x2C, 0x5D, 0xC9, 0xBB,
            0x23, 0x53);
DEFINE_GUID(IID_IMiniportIdentity, 0x1C704CEBL, 0x6111, 0x4878, 0xA9, 0xAF, 0x05, 0x75, 0xE1, 0xC7,
            0x9F, 0x76);
DEFINE_GUID(IID_ITerminalControl, 0x540C5664L, 0x4620, 0x4FDB, 0x9B, 0x81, 0x7E, 0x21, 0x45, 0xD9,
            0x5B, 0xE3);
DEFINE_GUID(IID_IOutputTypeControl, 0xDC7604D8L, 0xC1F4, 0x4EA1, 0x81, 0x8C, 0xF7, 0x44, 0x19, 0x1B,
            0x5B, 0x18);
DEFINE_GUID(IID_IControlModeSetup, 0x03449A8CL, 0x92DC, 0x45CA, 0x85, 0x9F, 0xAC, 0x21, 0xAD, 0x70,
            0xC5, 0x9F);
DEFINE_GUID(IID_IClockControl, 0xE1A6E8A0L, 0x3C43, 0x4950, 0x90, 0x1B, 0x9E, 0x84, 0xF6, 0xC3,
            0xC2, 0xEC);
DEFINE_GUID(IID_IChainNode, 0x1EDBBC0CL, 0xAA74, 0x4046, 0x91, 0x1E, 0xC8, 0xBD, 0xE6, 0x4A, 0x66,
            0xFF);
DEFINE_GUID(IID_ISelectorControl, 0x524FA5C2L, 0x9FBF, 0x4FC8, 0xB8, 0xD2, 0xDC, 0x30, 0x2D, 0xED,
            0xB0, 0xDF);
DEFINE_GUID(IID_IChainNodeState, 0xD31296EDL, 0x008B, 0x4C8C, 0xA2, 0x39, 0x4E, 0x6B, 0x32, 0x2E,
            0x96, 0x26);
DEFINE_GUID(IID_IChainNodeActivity, 0x6C570583L, 0x5342, 0x4AD6, 0x97, 0x8B, 0xDF, 0x73, 0xEE, 0xE6,
            0x0D, 0xB6);

// ----------------------------------------------------------------------------
// Endpoint kinds: what a terminal connects to. The value indexes the table of
// subdevice name prefixes and selects formats, capabilities and pin categories.
inline constexpr ULONG ENDPOINT_KIND_STREAM = 0;
inline constexpr ULONG ENDPOINT_KIND_SPK = 1;
inline constexpr ULONG ENDPOINT_KIND_HP = 2;
inline constexpr ULONG ENDPOINT_KIND_SPDIF = 3;
inline constexpr ULONG ENDPOINT_KIND_HDMI = 4;
inline constexpr ULONG ENDPOINT_KIND_DISPLAYPORT = 5;
inline constexpr ULONG ENDPOINT_KIND_LINE = 6;
inline constexpr ULONG ENDPOINT_KIND_MIC = 7;
inline constexpr ULONG ENDPOINT_KIND_AUX = 8;
inline constexpr ULONG ENDPOINT_KIND_CD = 9;
inline constexpr ULONG ENDPOINT_KIND_VIDEO = 10;
inline constexpr ULONG ENDPOINT_KIND_FMIC = 11;
inline constexpr ULONG ENDPOINT_KIND_TELEPHONE = 12;
inline constexpr ULONG ENDPOINT_KIND_HANDSET = 13;
inline constexpr ULONG ENDPOINT_KIND_HEADSET = 14;
inline constexpr ULONG ENDPOINT_KIND_SPEAKERPHONE = 15;
inline constexpr ULONG ENDPOINT_KIND_STEREOMIX = 16;
inline constexpr ULONG ENDPOINT_KIND_FHP = 17;
inline constexpr ULONG ENDPOINT_KIND_REC = 18;
inline constexpr ULONG ENDPOINT_KIND_COUNT = 19;
// Subdevice name prefixes indexed by endpoint kind, and a null entry.
inline constexpr PCWSTR EndpointTypePrefixes[ENDPOINT_KIND_COUNT + 1] = {
    u"Stream",  u"SPK",          u"HP",        u"SPDIF", u"HDMI", u"DisplayPort", u"Line",
    u"Mic",     u"Aux",          u"CD",        u"Video", u"FMic", u"Telephone",   u"HandSet",
    u"HeadSet", u"Speakerphone", u"StereoMix", u"FHP",   u"Rec",  nullptr};

// Stream directions.
inline constexpr ULONG STREAM_DIRECTION_RENDER = 0;
inline constexpr ULONG STREAM_DIRECTION_CAPTURE = 1;

// ----------------------------------------------------------------------------
// Records

// What a device offers at an endpoint kind; handed to user mode unchanged.
struct EndpointCapabilities
{
    ULONG CapabilityMask;
    ULONG Reserved1[3];
    ULONG SecondValue;
    ULONG Reserved2;
    ULONG ThirdValue; // bit 1: the stream is used by the ASIO interface
    ULONG Reserved3;
};
static_assert(sizeof(EndpointCapabilities) == 32, "the capability record is 32 bytes");
static_assert(offsetof(EndpointCapabilities, ThirdValue) == 24);
typedef EndpointCapabilities* PENDPOINTCAPABILITIES;
inline constexpr ULONG ENDPOINT_CAPS_ASIO_STREAM = 0x2;

// A control change, passed by pointer to every listener of a device object's
// callback object. Listeners act only on records that begin with 1, 1.
struct HalNotification
{
    ULONG Type;     // 1
    ULONG SubType;  // 1
    ULONG UnitId;   // unit or control whose value changed
    ULONG Reserved; // not read by listeners
    ULONGLONG Zero; // 0
};
static_assert(sizeof(HalNotification) == 24, "the notification record is 24 bytes");
inline constexpr ULONG HAL_NOTIFICATION_TYPE = 1;
inline constexpr ULONG HAL_NOTIFICATION_SUBTYPE = 1;

// Jack records of terminal controls: nine 32-bit words.
struct JackRecord
{
    ULONG ChannelMapping;
    ULONG Color;
    ULONG ConnectionType;
    ULONG GeoLocation;
    ULONG GenLocation;
    ULONG PortConnection;
    ULONG Flags; // bit 0: no presence detection
    ULONG IsConnected;
    ULONG Reserved;
};
static_assert(sizeof(JackRecord) == 36, "jack records are 36 bytes");
static_assert(offsetof(JackRecord, IsConnected) == 28, "the connected flag is byte 28");
inline constexpr ULONG JACK_RECORD_SIZE = 36;
inline constexpr ULONG JACK_CONNECTED_OFFSET = 28;

// Creates the wave miniport of the engine with the given index among the
// adapter's engines.
typedef NTSTATUS (*PENGINE_MINIPORT_FACTORY)(PUNKNOWN* miniport, REFCLSID classId,
                                             PUNKNOWN outerUnknown, POOL_TYPE poolType,
                                             ULONG engineIndex);

// ----------------------------------------------------------------------------
// The device-object interface, shared by the device classes and the adapter
// common object (which forwards most operations to the device object it owns).
DECLARE_INTERFACE_(IAdapterCommon, IUnknown)
{
    STDMETHOD(GetStreamCapabilities)(ULONG streamIndex, PENDPOINTCAPABILITIES capabilities) PURE;
    STDMETHOD(GetComponentId)(PVOID reserved, PKSCOMPONENTID componentId) PURE;
    STDMETHOD_(ULONG, GetEngineCount)() PURE;
    STDMETHOD(GetEngine)(ULONG index, CStreamEngine * *engine) PURE;
    STDMETHOD_(ULONG, GetUnitCount)() PURE;
    STDMETHOD(GetUnit)(ULONG index, CAudioControl * *unit) PURE;
    STDMETHOD_(PDEVICE_OBJECT, GetDeviceObject)() PURE;
    STDMETHOD(OpenAudioHalCallback)
    (PRESOURCELIST resourceList, PDEVICE_OBJECT deviceObject, PDEVICE_OBJECT nextDeviceObject,
     PDEVICE_OBJECT physicalDeviceObject) PURE;
    STDMETHOD(StartAllUnits)() PURE;
    STDMETHOD(StopAllUnits)() PURE;
    STDMETHOD(RegisterCallback)
    (PCALLBACK_FUNCTION callback, PVOID context, PVOID * registration) PURE;
    STDMETHOD(UnregisterCallback)(PVOID registration) PURE;
    STDMETHOD(WakeFromIdle)(PIRP request) PURE;
    STDMETHOD(InitDevice)() PURE;
    STDMETHOD(CompleteSetup)() PURE;
    STDMETHOD(GetEndpointCapabilities)
    (BOOLEAN isInput, ULONG endpointKind, PENDPOINTCAPABILITIES capabilities) PURE;
};
typedef IAdapterCommon* PADAPTERCOMMON;

// The device-model operations of a device class.
DECLARE_INTERFACE_(IDeviceModel, IUnknown)
{
    // Names and installs the wave subdevices of the engines whose output
    // type changed; unitId names the unit that caused the call.
    STDMETHOD(CreateMiniports)(ULONG unitId) PURE;
    STDMETHOD(GetUnitList)(CPtrList * *unitList) PURE;
    STDMETHOD(ParseAudioControl)
    (struct _USB_INTERFACE_DESCRIPTOR * interfaceDescriptor, ULONG bytesToEnd) PURE;
    STDMETHOD(ParseAudioStreaming)
    (struct _USB_CONFIGURATION_DESCRIPTOR * configuration,
     struct _USB_INTERFACE_DESCRIPTOR * firstStreamingInterface, ULONG bytesToEnd) PURE;
    // The model hook; also run before the units are restored on every return
    // to full power.
    STDMETHOD(PostParse)() PURE;
};
typedef IDeviceModel* PDEVICEMODEL;

// Held while the units' jacks or an output type are read or changed.
DECLARE_INTERFACE_(IDeviceLock, IUnknown)
{
    STDMETHOD_(void, LockDevice)() PURE;
    STDMETHOD_(void, UnlockDevice)() PURE;
};
typedef IDeviceLock* PDEVICELOCK;

// Implemented by the wave and the topology miniports. The wave miniport's
// GetConnectionId writes the id of its stream's USB-side terminal; the
// topology miniport's takes a terminal id and writes the pin of that terminal.
DECLARE_INTERFACE_(IMiniportIdentity, IUnknown)
{
    STDMETHOD(GetConnectionId)(PULONG connectionId) PURE;
    STDMETHOD(GetFilterName)(PWSTR * filterName) PURE;
};
typedef IMiniportIdentity* PMINIPORTIDENTITY;

// Input and output terminals (and a mixer set as terminal).
DECLARE_INTERFACE_(ITerminalControl, IUnknown)
{
    STDMETHOD(GetCurrentKind)(PULONG endpointKind) PURE;
    STDMETHOD(GetKindCount)(PULONG count) PURE;
    STDMETHOD(GetKinds)(PULONG kinds) PURE;
    STDMETHOD(SetKind)(ULONG endpointKind) PURE;
    STDMETHOD(GetJackCount)(PULONG count) PURE;
    // Copies at most `bytes` bytes of the 36-byte jack records.
    STDMETHOD(GetJackInfo)(ULONG bytes, PVOID jacks) PURE;
    STDMETHOD(GetEndpointCapabilities)(PENDPOINTCAPABILITIES capabilities) PURE;
};
typedef ITerminalControl* PTERMINALCONTROL;

// The output mode of the controls on a path: the endpoint kind of the output
// type selected; notificationTarget is the device's callback object or null.
DECLARE_INTERFACE_(IControlModeSetup, IUnknown)
{
    STDMETHOD(SetMode)(ULONG mode, PVOID notificationTarget) PURE;
};
typedef IControlModeSetup* PCONTROLMODESETUP;

// The output-type control of an output terminal.
DECLARE_INTERFACE_(IOutputTypeControl, IUnknown)
{
    STDMETHOD(GetCurrent)(PULONG endpointKind) PURE;
    STDMETHOD(GetCount)(PULONG count) PURE;
    STDMETHOD(GetItems)(PULONG items) PURE;
    STDMETHOD(Select)(ULONG endpointKind) PURE;
    STDMETHOD_(BOOLEAN, IsChanged)() PURE;
    STDMETHOD_(void, ClearChanged)() PURE;
    STDMETHOD(AddListener)(PCONTROLMODESETUP listener) PURE;
    STDMETHOD(Init)(ULONG sourceId, ULONG count, const ULONG* items) PURE;
};
typedef IOutputTypeControl* POUTPUTTYPECONTROL;

// The sample rates of a clock and the one in use: what a class 2.0
// stream sets before it runs.
DECLARE_INTERFACE_(IClockControl, IUnknown)
{
    // *count: room in `frequencies` on entry, the rates written on return.
    STDMETHOD(GetFrequencies)(PULONG count, PULONG frequencies) PURE;
    STDMETHOD(GetCount)(PULONG count) PURE;
    STDMETHOD(SetFrequency)(ULONG hz) PURE;
    STDMETHOD(GetCurrent)(PULONG hz) PURE;
    STDMETHOD(GetClockValid)(PUCHAR valid) PURE;
    STDMETHOD(Init)(ULONG count, const ULONG* frequencies) PURE;
};
typedef IClockControl* PCLOCKCONTROL;

// A node of a stream engine's processing chain. The buffer is the array of
// per-channel float buffers for PCM streams and the stream's interleaved
// float buffer otherwise; a negative status stops the walk.
DECLARE_INTERFACE_(IChainNode, IUnknown)
{
    STDMETHOD(Reserved1)() PURE;
    STDMETHOD(Reserved2)() PURE;
    // Called with the current format when the stream starts.
    STDMETHOD(SetFormat)(PWAVEFORMATEX format) PURE;
    STDMETHOD(ResetStages)() PURE;
    STDMETHOD(Process)(PWAVEFORMATEX format, PVOID buffer, ULONG frames) PURE;
    // Called when the stream stops.
    STDMETHOD(Flush)(PWAVEFORMATEX format, PVOID buffer, ULONG frames) PURE;
};
typedef IChainNode* PCHAINNODE;

// What a chain node would do to a stream's samples now. The engine asks it
// under its spin lock, at DISPATCH_LEVEL, for every chunk: a node that
// changes nothing is passed over, and a buffer no node changes is left as
// it is. A node that does not answer this interface counts as changing
// samples.
DECLARE_INTERFACE_(IChainNodeActivity, IUnknown)
{
    // TRUE when Process on a buffer of `format` would change any sample now,
    // or when passing the node over would cut a tail it still holds.
    STDMETHOD_(BOOLEAN, ChangesSamples)(PWAVEFORMATEX format) PURE;
    // A few words for a person, NUL-terminated within `size` bytes, naming
    // what the node does to `format` now and where ("mute on control 5");
    // empty when it changes nothing.
    STDMETHOD_(void, DescribeChange)(PWAVEFORMATEX format, PSTR text, ULONG size) PURE;
};
typedef IChainNodeActivity* PCHAINNODEACTIVITY;

// Units that follow a selector: told which input they feed and what the
// selector selects.
DECLARE_INTERFACE_(IChainNodeState, IUnknown)
{
    // Before a selection changes.
    STDMETHOD(SelectionChanging)(ULONG newSelection, ULONG oldSelection) PURE;
    // The selector's current selection (1-based input number).
    STDMETHOD(SetState)(ULONG selection) PURE;
    // The selector input (1-based) that the unit feeds.
    STDMETHOD(SetIndex)(ULONG inputNumber) PURE;
};
typedef IChainNodeState* PCHAINNODESTATE;

// The selector controls that selector units create.
DECLARE_INTERFACE_(ISelectorControl, IUnknown)
{
    STDMETHOD(GetCurrent)(PULONG selection) PURE;
    STDMETHOD(SetCurrent)(ULONG selection) PURE;
    STDMETHOD(GetSourceCount)(PULONG count) PURE;
    // Keeps the listener with a reference of its own.
    STDMETHOD(AddListener)(PCHAINNODESTATE listener) PURE;
};
typedef ISelectorControl* PSELECTORCONTROL;
