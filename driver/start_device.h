// Adapter start-up: the adapter common object, power management, the
// topology subdevice, one wave subdevice per stream engine under a name made
// from its endpoint kind and direction, the device object's start, and the
// private interfaces.
#pragma once

#include "framework/interfaces.h"
#include "platform/portcls/portcls.h"

// The oldest port-class library the driver runs on.
inline constexpr DWORD MINIMUM_PORTCLS_VERSION = kVersionWinServer2003; // 11

// The subdevice name buffer of one start-up: 51 characters, terminator included.
inline constexpr ULONG SUBDEVICE_NAME_CHARS = 51;
inline constexpr ULONG SUBDEVICE_NAME_POOL_TAG = POOL_TAG("Temp");

// A port-class miniport factory.
typedef NTSTATUS (*PMINIPORT_FACTORY)(PUNKNOWN* unknown, REFCLSID classId, PUNKNOWN outerUnknown,
                                      POOL_TYPE poolType);

// The miniports that start-up installs: the topology miniport and the wave
// miniport of each stream engine.
struct AdapterMiniportFactories
{
    PMINIPORT_FACTORY CreateMiniportTopology;
    PENGINE_MINIPORT_FACTORY CreateMiniportWaveCyclic;
};

// The table start-up calls through. It starts as the driver's own table of
// its two miniports; a table without a topology factory fails the start at
// the topology subdevice with STATUS_INVALID_PARAMETER. Set-up code and tests
// may install another table and get the previous one back; null restores the
// driver's own.
const AdapterMiniportFactories* SetAdapterMiniportFactories(const AdapterMiniportFactories* table);
const AdapterMiniportFactories* GetAdapterMiniportFactories();

// The start routine the adapter device is created with.
NTSTATUS StartDevice(PDEVICE_OBJECT deviceObject, PIRP irp, PRESOURCELIST resourceList);

// Creates a port of portClassId and a miniport with the factory, binds them
// and registers the subdevice under the name the miniport reports. portUnknown
// (optional) receives a referenced IUnknown of the port; miniport receives
// the miniport without a reference of its own (the port holds it), on
// success only.
NTSTATUS InstallSubdevice(PDEVICE_OBJECT deviceObject, PIRP irp, REFCLSID portClassId,
                          REFCLSID miniportClassId, PMINIPORT_FACTORY miniportFactory,
                          PUNKNOWN adapterUnknown, PUNKNOWN* portUnknown, PUNKNOWN* miniport);
