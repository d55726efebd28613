// Doubles for the harness tests: a device class without streams and a
// topology miniport, installed through the driver's factory tables.
#pragma once

#include "framework/adapter_interfaces.h"
#include "driver/start_device.h"

// Installs the doubles for the object's life: the device class always (one
// that refuses its device when asked), the topology miniport when asked.
class HostDoubles
{
  public:
    explicit HostDoubles(bool topology, bool refusing = false);
    ~HostDoubles();

  private:
    const DeviceClassFactories* m_PreviousClasses;
    const AdapterMiniportFactories* m_PreviousMiniports;
};

inline constexpr ULONG kHostTopologyPins = 3;

// What the refusing device class says before it fails.
inline constexpr char kHostRefusal[] = "the AudioControl header of interface 0 is 8 bytes, not 9";
