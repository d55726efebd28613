// Shared inside the emulated port-class library: the adapter device's context,
// the ports' private interface, and the file contexts of open filters and pins.
#pragma once

#include <vector>

#include "platform/portcls/portcls.h"
#include "platform/portcls/portcls_emu.h"
#include "platform/portcls/stdunk.h"

#define PC_TAG_DEVICE POOL_TAG("PcDv")
#define PC_TAG_PORT POOL_TAG("PcPt")
#define PC_TAG_PIN POOL_TAG("PcPn")
#define PC_TAG_SERVICE_GROUP POOL_TAG("PcSg")
#define PC_TAG_REGISTRY POOL_TAG("PcRk")
#define PC_TAG_RESOURCES POOL_TAG("PcRl")
#define PC_TAG_EVENT POOL_TAG("PcEv")
#define PC_TAG_FORMAT POOL_TAG("PcFm")

class CPortBase;

// {5B3C0F3A-1E1D-4C55-9C51-0E7A4E0C2D11}: answered by every port of this library.
DEFINE_GUID(IID_IPcPortInternal, 0x5B3C0F3AL, 0x1E1D, 0x4C55, 0x9C, 0x51, 0x0E, 0x7A, 0x4E, 0x0C,
            0x2D, 0x11);

struct PcSubdevice
{
    WCHAR Name[64];
    CPortBase* Port; // referenced
};

struct PcConnection
{
    CPortBase* From; // referenced
    ULONG FromPin;
    CPortBase* To; // referenced
    ULONG ToPin;
};

// What port-class keeps for one adapter device; its address sits at the start
// of the reserved area of the device extension.
struct PcDeviceContext
{
    ULONG Magic;
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT LowerDevice;
    PCPFNSTARTDEVICE StartDevice;
    ULONG MaxObjects;
    std::vector<PcSubdevice> Subdevices;
    std::vector<PcConnection> Connections;
    std::vector<CPortBase*> Ports; // every port initialised on the device (no reference)
    PADAPTERPOWERMANAGEMENT PowerManagement;
    DEVICE_POWER_STATE PowerState;
    bool Started;
    bool SurpriseRemoved;
};

PcDeviceContext* PcGetDeviceContext(PDEVICE_OBJECT deviceObject);

// The kinds of file objects the library opens on an adapter device.
enum class PcFileKind : ULONG
{
    Filter = 1,
    Pin = 2
};

struct PcFileContext
{
    ULONG Magic;
    PcFileKind Kind;
    CPortBase* Port; // referenced
    PFILE_OBJECT FileObject;
    PcFileContext* Filter;           // for a pin: its filter's context
    void* Pin;                       // for a pin: the port's pin object
    std::vector<ULONG> PinInstances; // for a filter: open pins per pin factory
    LONG References;                 // for a filter: its file object and its pins
};

PcFileContext* PcGetFileContext(PFILE_OBJECT fileObject);

// The port object's interface to the rest of the library.
DECLARE_INTERFACE_(IPcPortInternal, IUnknown)
{
    STDMETHOD_(CPortBase*, GetPortObject)() PURE;
};

// Completes a request with a status and an information value.
NTSTATUS PcCompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information);

// The DRM forwards made so far, for tests.
extern std::vector<PcDrmForwardRecord> g_PcDrmForwards;
extern DWORD g_PcVersion;
