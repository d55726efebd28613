// Doubles for the harness tests: a device class without streams and a
// topology miniport, installed through the driver's factory tables.
#pragma once

#include "driver/adapter_interfaces.h"
#include "driver/start_device.h"

// Installs the doubles for the object's life: the device class always, the
// topology miniport when asked.
class HostDoubles
{
  public:
    explicit HostDoubles(bool topology);
    ~HostDoubles();

  private:
    const DeviceClassFactories* m_PreviousClasses;
    const AdapterMiniportFactories* m_PreviousMiniports;
};

inline constexpr ULONG kHostTopologyPins = 3;
