// The audio class 1.0 descriptor walks: the AudioControl interface into
// unit and terminal objects linked by their sources, the AudioStreaming
// interfaces into USB streams with their formats and the controls of their
// paths, and the stream paths themselves. Every class-specific descriptor
// is checked against the descriptor rules before anything reads it, and
// every search along source ids ends, whatever loops the device describes.
#pragma once

#include "streaming/usb_audio_stream.h"
#include "usbaudio/usb_audio_device.h"

// Ids a path search holds at once.
inline constexpr ULONG PATH_RING_IDS = 20;
// Sources of a unit that source linking reads.
inline constexpr ULONG LINKED_SOURCES_MAX = 9;
inline constexpr ULONG WINDOWS_VISTA_DDI = 0x06000000;
// Class 1.0 devices of this vendor call terminal 16 headphones, not a speaker.
inline constexpr USHORT UAC1_HEADPHONE_TERMINAL_VENDOR = 0x4C54;
inline constexpr ULONG UAC1_HEADPHONE_TERMINAL_ID = 16;
inline constexpr ULONG UAC1_SECOND_OUTPUT_TERMINAL_ID = 64;

// Creates the class 1.0 stream of one AudioStreaming interface: playback
// (direction 0) or capture, with one reference that the caller releases.
typedef NTSTATUS (*PUAC1_STREAM_FACTORY)(ULONG direction, ULONG interfaceNumber, ULONG terminalLink,
                                         CUsbAudioStream** stream);
// Tests and models may install another; null restores the driver's own.
PUAC1_STREAM_FACTORY SetUac1StreamFactory(PUAC1_STREAM_FACTORY factory);

NTSTATUS ParseAudioControlUac1(CUsbAudioDevice* device,
                               PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor, ULONG bytesToEnd);
NTSTATUS ParseAudioStreamingUac1(CUsbAudioDevice* device,
                                 PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                 PUSB_INTERFACE_DESCRIPTOR firstInterface, ULONG bytesToEnd);

NTSTATUS ConnectStreamPins(CUsbAudioDevice* device, CStreamEngine* engine, ULONG linkId);
NTSTATUS AddPathUnits(CUsbAudioDevice* device, CStreamEngine* engine, ULONG startId);
NTSTATUS BuildPathsUac1(CUsbAudioDevice* device, CStreamEngine* engine);
NTSTATUS CreateSoftMuteNode(CUsbAudioDevice* device, ULONG newId, ULONG sourceId, ULONG channels,
                            CStreamEngine* engine);
NTSTATUS CreateSelectorPathControl(CUsbAudioDevice* device, ULONG newId, ULONG inputs,
                                   const ULONG* sources, CStreamEngine* engine);

// Format records of one class 1.0 format-type descriptor (already checked)
// for an alternate setting; *dropped counts records refused as unusable.
NTSTATUS CollectStreamFormats(CUsbAudioStream* stream, const UCHAR* formatType, USHORT formatTag,
                              UCHAR alternateSetting, const WAVEFORMATEXTENSIBLE& formatTemplate,
                              PULONG dropped);
// Hands each output-type control's kind to the single-source controls
// upstream of it, which follow it from then on.
void PassOutputTypes(CUsbAudioDevice* device);

// The class 1.0 channel mask of a channel count and direction.
ULONG Uac1ChannelMask(ULONG channels, ULONG direction);
extern const ULONG UAC1_STANDARD_RATES[9];
