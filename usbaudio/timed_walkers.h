// The timed device class's descriptor walks: the class 1.0 frame with the
// timed family's unit and terminal variants, timed render streams bound to
// the device's registers, and the plain chain nodes of its render engines.
#pragma once

#include "usbaudio/uac1_walkers.h"

class CUsbAudioTimedDevice;

NTSTATUS ParseAudioControlTimed(CUsbAudioTimedDevice* device,
                                PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor, ULONG bytesToEnd);
NTSTATUS ParseAudioStreamingTimed(CUsbAudioTimedDevice* device,
                                  PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                  PUSB_INTERFACE_DESCRIPTOR firstInterface, ULONG bytesToEnd);

// The volume node's gains: 10^(level / 20 dB) for each of the first `count`
// levels (1/65536 dB), at most eight. false when a step failed (the gains
// are then unchanged).
bool ComputeVolumeGains(const LONG* levels, ULONG count, float* gains);
inline constexpr ULONG VOLUME_NODE_MAX_GAINS = 8;
