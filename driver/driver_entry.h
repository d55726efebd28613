// The driver's entry points: driver entry, and the adapter device's creation
// with its two private device interfaces.
#pragma once

#include "platform/portcls/portcls.h"

// Room for subdevices: the topology filter and the wave filters of every stream.
inline constexpr ULONG ADAPTER_MAX_SUBDEVICES = 20;
// The oldest system the driver runs on.
inline constexpr ULONG DRIVER_MINIMUM_NTDDI = NTDDI_WINXP;

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_ADD_DEVICE AddDevice;
