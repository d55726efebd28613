// The walks of chip models A, B and C: the class 1.0 AudioControl walk with
// each model's own objects (a table per model keyed by descriptor subtype
// and unit id), model B's terminal-type rewrite for its listed vendor, and
// model C's AudioStreaming walk, whose render streams repack the client's
// eight channels to the device's two.
#pragma once

#include "usbaudio/uac1/walkers.h"

// Model B's listed vendor calls output terminal 6 a speaker; it is headphones.
inline constexpr UCHAR MODEL_B_HEADPHONE_TERMINAL_ID = 6;
// Render formats of model C: always eight channels in this layout, on the
// device's two-channel alternate settings.
inline constexpr ULONG MODEL_C_RENDER_CHANNELS = 8;
inline constexpr ULONG MODEL_C_RENDER_CHANNEL_MASK = 0x63F;
inline constexpr UCHAR MODEL_C_DEVICE_CHANNELS = 2;

NTSTATUS ParseAudioControlModelA(CUsbAudioDevice* device,
                                 PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor, ULONG bytesToEnd);
NTSTATUS ParseAudioControlModelB(CUsbAudioDevice* device,
                                 PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor, ULONG bytesToEnd);
NTSTATUS ParseAudioControlModelC(CUsbAudioDevice* device,
                                 PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor, ULONG bytesToEnd);
// The class 1.0 AudioStreaming walk with repacking render streams. A
// render alternate setting of other than two channels cannot take the
// repacked data: its formats are refused (counted as dropped).
NTSTATUS ParseAudioStreamingModelC(CUsbAudioDevice* device,
                                   PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                   PUSB_INTERFACE_DESCRIPTOR firstInterface, ULONG bytesToEnd);
