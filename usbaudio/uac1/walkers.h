// The audio class 1.0 descriptor walks: the AudioControl interface into
// unit and terminal objects linked by their sources, the AudioStreaming
// interfaces into USB streams with their formats and the controls of their
// paths, and the stream paths themselves. Every class-specific descriptor
// is checked against the descriptor rules before anything reads it, and
// every search along source ids ends, whatever loops the device describes.
#pragma once

#include "streaming/usb/usb_audio_stream.h"
#include "audioclass/descriptor_rules.h"
#include "audioclass/controls/uac_unit.h"
#include "usbaudio/device/usb_audio_device.h"

// Ids a path search holds at once.
inline constexpr ULONG PATH_RING_IDS = 20;
// Sources of a unit that source linking reads.
inline constexpr ULONG LINKED_SOURCES_MAX = 9;
inline constexpr ULONG WINDOWS_VISTA_DDI = 0x06000000;
// The listed vendor's class 1.0 devices call terminal 16 headphones, not a
// speaker; its two-output device needs it and terminal 64 as outputs.
inline constexpr ULONG UAC1_HEADPHONE_TERMINAL_ID = 16;
inline constexpr ULONG UAC1_SECOND_OUTPUT_TERMINAL_ID = 64;

// Creates the class 1.0 stream of one AudioStreaming interface: playback
// (direction 0) or capture, with one reference that the caller releases.
typedef NTSTATUS (*PUAC1_STREAM_FACTORY)(ULONG direction, ULONG interfaceNumber, ULONG terminalLink,
                                         CUsbAudioStream** stream);
// Tests and models may install another; null restores the driver's own.
PUAC1_STREAM_FACTORY SetUac1StreamFactory(PUAC1_STREAM_FACTORY factory);

// Makes the object of one class-specific AudioControl descriptor (already
// checked, of a kind some walk supports) and adds it to the device's units
// through AddWalkedUnit; STATUS_UNSUCCESSFUL for a subtype the class does
// not accept.
typedef NTSTATUS (*PAUDIO_CONTROL_UNIT_MAKER)(CUsbAudioDevice* device, const UCHAR* descriptor);
// The walk both classes share: the interface, each descriptor against the
// rules and the kinds of unit no walk supports, the objects, then each
// unit's sources linked to their first controls. Every refusal is named in
// the debug output.
NTSTATUS WalkAudioControl(CUsbAudioDevice* device, PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor,
                          ULONG bytesToEnd, AudioDescriptorVersion version,
                          PAUDIO_CONTROL_UNIT_MAKER createUnit);
// Names a class-specific descriptor the walk refuses in the debug output:
// the interface, the subtype, the id (byte 3: the entity id of an
// AudioControl descriptor, a general descriptor's terminal link), the length,
// why in a word or two when `why` is given ("malformed", "could not be
// created"), and the status the start ends with.
void ReportRefusedDescriptor(const char* interfaceKind, UCHAR interfaceNumber, const UCHAR* d,
                             NTSTATUS status, const char* why = nullptr);
// Whether a walk may start at the interface descriptor: present, whole
// (9 bytes, inside `bytesToEnd`), of the audio class, of `subclass` and of the
// walk's class version. STATUS_INVALID_PARAMETER, named, when not.
NTSTATUS CheckWalkedInterface(const USB_INTERFACE_DESCRIPTOR* d, ULONG bytesToEnd, UCHAR subclass,
                              AudioDescriptorVersion version);
// Whether the descriptor at `d` lies inside the `left` bytes to the
// configuration's end; STATUS_UNSUCCESSFUL, named, when it does not.
NTSTATUS CheckDescriptorFits(const char* interfaceKind, UCHAR interfaceNumber, const UCHAR* d,
                             ULONG left);
// Initialises a new unit with its descriptor and adds it to the device's
// units; the creation reference is released either way. A unit that fails
// is named in the debug output: by what it refused on purpose, in words, or
// as one that could not be created.
NTSTATUS AddWalkedUnit(CUsbAudioDevice* device, CUacUnit* unit, const UCHAR* descriptor);
ULONG DeviceUnitCount(CUsbAudioDevice* device);
NTSTATUS LinkUnitSources(CUsbAudioDevice* device);

NTSTATUS ParseAudioControlUac1(CUsbAudioDevice* device,
                               PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor, ULONG bytesToEnd);
// What the AudioStreaming walk knows of the interface it is in.
struct StreamingInterfaceWalk
{
    UCHAR Number = 0;
    UCHAR AlternateSetting = 0;
    LONG Link = -1;
    USHORT FormatTag = 0;              // class 1.0
    CUsbAudioStream* Stream = nullptr; // the walk's reference until the interface ends
    const UCHAR* General = nullptr;    // the interface's first general descriptor
    ULONG Dropped = 0;
    ULONG ClockControlId = 0; // class 2.0: from the general descriptor on
    UCHAR FormatType = 0;
    ULONG Formats = 0;
    UCHAR Channels = 0;
    ULONG ChannelConfig = 0;
};
// One class's steps of the AudioStreaming walk.
struct StreamingWalkClass
{
    AudioDescriptorVersion Version; // and with it the interfaces' protocol
    NTSTATUS (*OnGeneral)(CUsbAudioDevice* device, const UCHAR* d, StreamingInterfaceWalk* walk);
    NTSTATUS (*OnFormatType)(CUsbAudioDevice* device, const UCHAR* d, StreamingInterfaceWalk* walk);
    NTSTATUS (*BuildPaths)(CUsbAudioDevice* device, CStreamEngine* engine);
};
// The walk both classes share: each AudioStreaming interface's descriptors
// checked against the rules and handed to the class's steps, its paths and
// buffers at its end, then the output types passed upstream.
NTSTATUS WalkAudioStreaming(CUsbAudioDevice* device, PUSB_CONFIGURATION_DESCRIPTOR configuration,
                            PUSB_INTERFACE_DESCRIPTOR firstInterface, ULONG bytesToEnd,
                            const StreamingWalkClass& walker);
// The terminal a general descriptor links to: an input terminal is played
// to, an output terminal recorded from; the link value is its first control.
NTSTATUS FindStreamTerminal(CUsbAudioDevice* device, ULONG terminalId, CUacUnit** terminal,
                            PULONG direction, PULONG link);
// Initialises a new stream and hands the walk its creation reference (on a
// failure it is released): at the interface's end a stream with formats is
// added to the device and its path connected.
NTSTATUS AttachStream(CUsbAudioDevice* device, CUsbAudioStream* stream, ULONG direction, ULONG link,
                      StreamingInterfaceWalk* walk);

// The class 1.0 steps of an AudioStreaming interface: its general
// descriptor makes the interface's stream (by the installed factory, else by
// `factory`) and attaches it; each format-type descriptor adds its formats.
NTSTATUS OnUac1General(CUsbAudioDevice* device, const UCHAR* d, StreamingInterfaceWalk* walk,
                       PUAC1_STREAM_FACTORY factory);
NTSTATUS OnUac1FormatType(CUsbAudioDevice* device, const UCHAR* d, StreamingInterfaceWalk* walk);

NTSTATUS ParseAudioStreamingUac1(CUsbAudioDevice* device,
                                 PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                 PUSB_INTERFACE_DESCRIPTOR firstInterface, ULONG bytesToEnd);

NTSTATUS ConnectStreamPins(CUsbAudioDevice* device, CStreamEngine* engine, ULONG linkId);
// Whether the render stream's terminal `linkId` leads to output terminals of
// the USB side only, none that names an endpoint.
NTSTATUS PlaysToUsbSideOnly(CUsbAudioDevice* device, ULONG linkId, bool* usbOnly);
NTSTATUS AddPathUnits(CUsbAudioDevice* device, CStreamEngine* engine, ULONG startId);
// Whether the engine holds an input terminal of a kind other than the USB
// streaming terminal's (a microphone, a line, a mixer standing as one).
bool EngineHoldsNamedInput(CStreamEngine* engine);
NTSTATUS BuildPathsUac1(CUsbAudioDevice* device, CStreamEngine* engine);
NTSTATUS CreateSoftMuteNode(CUsbAudioDevice* device, ULONG newId, ULONG sourceId, ULONG channels,
                            CStreamEngine* engine);
NTSTATUS CreateSelectorPathControl(CUsbAudioDevice* device, ULONG newId, ULONG inputs,
                                   const ULONG* sources, CStreamEngine* engine);

// The channels of a format the driver carries: the software converters
// carry at most eight.
inline constexpr ULONG STREAM_MAX_CHANNELS = 8;
// A sample the driver carries: one to four bytes (the class 1.0 subframe,
// the class 2.0 subslot), holding one to eight bits of resolution a byte.
inline constexpr ULONG STREAM_MAX_SAMPLE_BYTES = 4;
inline constexpr ULONG STREAM_BITS_PER_BYTE = 8;
// Whether a sample's size and resolution are ones the driver carries (a
// size of 0 leaves no room for the resolution).
bool SampleFieldsUsable(ULONG sampleBytes, ULONG resolution);

// Format records of one class 1.0 format-type descriptor (already checked)
// for an alternate setting; *dropped counts records refused as unusable. A
// Type I tag the driver does not carry (float, A-law, mu-law, a tag it does
// not know, PCM8 samples of more than a byte) adds none. `nameLeftOut`
// false: the rates left out are not named again.
NTSTATUS CollectStreamFormats(CUsbAudioStream* stream, const UCHAR* formatType, USHORT formatTag,
                              UCHAR alternateSetting, const WAVEFORMATEXTENSIBLE& formatTemplate,
                              PULONG dropped, bool nameLeftOut = true);
// Adds the template with the rate and the subformat's first field, its
// samples coded on the wire with `sign`; a record the driver cannot carry is
// counted in *dropped instead, one whose packets the endpoint cannot carry is
// left out (named in the debug output when `nameLeftOut`).
NTSTATUS AddFormatRecord(CUsbAudioStream* stream, WAVEFORMATEXTENSIBLE record, ULONG rate,
                         USHORT subTag, UCHAR alternateSetting, PULONG dropped,
                         WireSampleSign sign = WireSampleSign::TwosComplement,
                         bool nameLeftOut = true);
// False, with a debug line naming the interface and its alternate setting,
// for samples the driver does not carry: a subframe (class 2.0: subslot) of
// other than 1 to 4 bytes, or a resolution of other than 1 to 8 bits a byte
// of it.
bool CheckSampleFields(ULONG sampleBytes, ULONG resolution, UCHAR interfaceNumber,
                       UCHAR alternateSetting);
// Hands each output-type control's kind to the single-source controls
// upstream of it, which follow it from then on.
void PassOutputTypes(CUsbAudioDevice* device);

// The class 1.0 channel mask of a channel count and direction.
ULONG Uac1ChannelMask(ULONG channels, ULONG direction);
