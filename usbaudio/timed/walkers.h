// The timed device class's descriptor walks: the class 1.0 frame with the
// timed family's unit and terminal variants, timed render streams bound to
// the device's registers, and the plain chain nodes of its render engines.
#pragma once

#include "usbaudio/uac1/walkers.h"

class CUsbAudioTimedDevice;

NTSTATUS ParseAudioControlTimed(CUsbAudioTimedDevice* device,
                                PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor, ULONG bytesToEnd);
NTSTATUS ParseAudioStreamingTimed(CUsbAudioTimedDevice* device,
                                  PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                  PUSB_INTERFACE_DESCRIPTOR firstInterface, ULONG bytesToEnd);
