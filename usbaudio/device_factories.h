// The factories of the six device classes, as the adapter's class choice
// calls them: the object is created aggregated under the adapter and handed
// out as its non-delegating unknown with one reference.
#pragma once

#include "framework/adapter_interfaces.h"

NTSTATUS CreateUsbAudio1Device(PUNKNOWN* object, PUNKNOWN adapter, USHORT idVendor,
                               USHORT idProduct);
NTSTATUS CreateUsbAudio2Device(PUNKNOWN* object, PUNKNOWN adapter, USHORT idVendor,
                               USHORT idProduct);
NTSTATUS CreateUsbAudioTimedDevice(PUNKNOWN* object, PUNKNOWN adapter, USHORT idVendor,
                                   USHORT idProduct);
NTSTATUS CreateUsbAudio1DeviceA(PUNKNOWN* object, PUNKNOWN adapter, USHORT idVendor,
                                USHORT idProduct);
NTSTATUS CreateUsbAudio1DeviceB(PUNKNOWN* object, PUNKNOWN adapter, USHORT idVendor,
                                USHORT idProduct);
NTSTATUS CreateUsbAudio1DeviceC(PUNKNOWN* object, PUNKNOWN adapter, USHORT idVendor,
                                USHORT idProduct);
