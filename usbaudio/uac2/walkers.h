// The audio class 2.0 descriptor walks: the AudioControl interface into
// clock sources, units and terminals (the class 1.0 walk with the class 2.0
// objects), the AudioStreaming interfaces into class 2.0 streams whose rates
// come from the clock their terminal names, and the class 2.0 stream paths.
#pragma once

#include "usbaudio/uac1/walkers.h"

NTSTATUS ParseAudioControlUac2(CUsbAudioDevice* device,
                               PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor, ULONG bytesToEnd);
// The class 1.0 path rules, after every mixer of a capture path has been
// made to stand as a terminal.
NTSTATUS BuildPathsUac2(CUsbAudioDevice* device, CStreamEngine* engine);

NTSTATUS ParseAudioStreamingUac2(CUsbAudioDevice* device,
                                 PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                 PUSB_INTERFACE_DESCRIPTOR firstInterface, ULONG bytesToEnd);

// Creates the class 2.0 stream of one AudioStreaming interface with one
// reference that the caller releases.
typedef NTSTATUS (*PUAC2_STREAM_FACTORY)(ULONG direction, ULONG interfaceNumber, ULONG terminalLink,
                                         ULONG clockControlId, CUsbAudioStream** stream);
// Tests may install another; null restores the driver's own.
PUAC2_STREAM_FACTORY SetUac2StreamFactory(PUAC2_STREAM_FACTORY factory);

// The format records of one alternate setting at every rate of the clock:
// PCM, the raw-data records of the rates at which the device accepts the
// setting, or the compressed records.
NTSTATUS CollectStreamFormatsUac2(CUsbAudioDevice* device, CUsbAudioStream* stream,
                                  ULONG clockControlId, UCHAR formatType, ULONG formats,
                                  UCHAR alternateSetting,
                                  const WAVEFORMATEXTENSIBLE& formatTemplate, PULONG dropped);
