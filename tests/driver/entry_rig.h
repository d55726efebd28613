// Rigs and doubles for the driver-entry, dispatch and start-up tests: a device
// class whose engines follow a script, an adapter double that also answers the
// ASIO interface, topology and wave miniports that name themselves, a bus that
// records the interfaces' state as PnP requests pass it, and the driver loaded
// on a simulated USB device.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "framework/adapter_extension.h"
#include "framework/adapter_interfaces.h"
#include "framework/audio_hal.h"
#include "driver/driver_entry.h"
#include "driver/start_device.h"
#include "platform/io/io_emu.h"
#include "platform/portcls/portcls_emu.h"
#include "sim/devices/reference_devices.h"
#include "tests/framework/bus_device_rig.h"
#include "tests/framework/frame_doubles.h"

inline constexpr ULONG kEntryTag = POOL_TAG("Dbl4");

// Every call the doubles see, in order: "wake", "start units", "stop units",
// "remove HPOut00", "open", "close", "bus remove asio=0 enum=0".
std::vector<std::string>& EntryLog();

struct EngineSpec
{
    ULONG Direction; // STREAM_DIRECTION_*
    ULONG Kind;      // endpoint kind of its terminal
    bool Asio = false;
    bool Connected = true;
    NTSTATUS RemoveStatus = STATUS_SUCCESS;
    bool Joins = true; // its wave filter names its terminal
};

// What the device class double builds and answers; reset by every rig.
struct DeviceScript
{
    std::vector<EngineSpec> Engines;
    NTSTATUS InitStatus = STATUS_SUCCESS;
    NTSTATUS StartStatus = STATUS_SUCCESS;
    std::u16string TopologyName = u"GlobalTopo";
};
DeviceScript& Script();

// ----------------------------------------------------------------------------
// An engine of the script: its terminal reports the endpoint kind and a jack;
// removal of its wave subdevice is logged and may be refused.
class ScriptedEngine : public TestEngine
{
  public:
    explicit ScriptedEngine(NTSTATUS removeStatus) : m_RemoveStatus(removeStatus) {}
    ~ScriptedEngine() override;
    NTSTATUS RemoveMiniport(PDEVICE_OBJECT deviceObject) override;

  private:
    NTSTATUS m_RemoveStatus;
};

// A device class: InitDevice builds the script's engines, the capability
// record of an engine carries the ASIO bit when the script says so.
class ScriptedDevice : public CAudioHal
{
  public:
    explicit ScriptedDevice(PUNKNOWN outerUnknown) : CAudioHal(outerUnknown) {}
    ~ScriptedDevice() override;
    STDMETHODIMP InitDevice() override;
    STDMETHODIMP GetStreamCapabilities(ULONG streamIndex,
                                       PENDPOINTCAPABILITIES capabilities) override;
    STDMETHODIMP StartAllUnits() override;
    STDMETHODIMP StopAllUnits() override;
    STDMETHODIMP WakeFromIdle(PIRP request) override;
};
NTSTATUS CreateScriptedDevice(PUNKNOWN* deviceObject, PUNKNOWN outerUnknown, USHORT idVendor,
                              USHORT idProduct);

// An adapter double: the device class above on its own, also answering the
// ASIO interface (open and close are logged and return the statuses set).
class FakeAdapter : public ScriptedDevice, public IAsioPrivate, public IAsioCleanup
{
  public:
    FakeAdapter() : ScriptedDevice(nullptr) {}
    ~FakeAdapter() override;
    STDMETHODIMP QueryInterface(REFIID iid, PVOID* object) override
    {
        return GetOuterUnknown()->QueryInterface(iid, object);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return GetOuterUnknown()->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return GetOuterUnknown()->Release(); }
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;
    LONG References() const { return m_lRefCount; }
    // IAsioCleanup: logs "cleanup" and whether the file is one this adapter opened.
    STDMETHODIMP_(void) CancelHeldRequests(PFILE_OBJECT fileObject) override;
    // Logs "cancel held".
    STDMETHODIMP_(void) CancelAllHeldRequests() override;

    STDMETHODIMP AsioOpenClient(PFILE_OBJECT fileObject) override;
    STDMETHODIMP AsioUnused(PFILE_OBJECT) override { return STATUS_UNSUCCESSFUL; }
    STDMETHODIMP AsioCloseClient(PFILE_OBJECT fileObject) override;
    STDMETHODIMP AsioGetDeviceName(PFILE_OBJECT, PVOID, PULONG) override;
    STDMETHODIMP AsioGetChannelCounts(PFILE_OBJECT, PVOID, ULONG) override;
    STDMETHODIMP AsioGetChannelInfo(PFILE_OBJECT, PVOID, ULONG) override;
    STDMETHODIMP AsioSetSettingsEvent(PFILE_OBJECT, PHANDLE) override;
    STDMETHODIMP AsioReleaseSettingsEvent(PFILE_OBJECT) override;
    STDMETHODIMP AsioGetOwnerState(PFILE_OBJECT, PVOID) override;
    STDMETHODIMP AsioGetSampleTypes(PFILE_OBJECT, PVOID, PULONG) override;
    STDMETHODIMP AsioGetLatencyTable(PFILE_OBJECT, PVOID, PULONG) override;
    STDMETHODIMP AsioSetSampleType(PFILE_OBJECT, ULONG) override;
    STDMETHODIMP AsioSetLatency(PFILE_OBJECT, ULONG) override;
    STDMETHODIMP AsioGetLatencies(PFILE_OBJECT, PVOID) override;
    STDMETHODIMP AsioGetSampleRate(PFILE_OBJECT, PVOID) override;
    STDMETHODIMP AsioCanSampleRate(PFILE_OBJECT, PVOID) override;
    STDMETHODIMP AsioSetSampleRate(PFILE_OBJECT, PVOID) override;
    STDMETHODIMP AsioGetBufferSize(PFILE_OBJECT, PVOID) override;
    STDMETHODIMP AsioMapSharedBuffer(PFILE_OBJECT, PVOID, ULONG, PVOID, PULONG) override;
    STDMETHODIMP AsioUnmapSharedBuffer(PFILE_OBJECT) override;
    STDMETHODIMP AsioStartStreaming(PFILE_OBJECT, PHANDLE) override;
    STDMETHODIMP AsioStopStreaming(PFILE_OBJECT, PIRP) override;
    STDMETHODIMP AsioCheckMode(PFILE_OBJECT, PVOID) override;
    STDMETHODIMP AsioSetMode(PFILE_OBJECT, PVOID) override;
    STDMETHODIMP AsioGetMode(PFILE_OBJECT, PVOID) override;

    bool AnswersAsio = true;
    NTSTATUS OpenStatus = STATUS_SUCCESS;
    NTSTATUS CloseStatus = STATUS_SUCCESS;
    std::vector<PFILE_OBJECT> Files; // the file objects open and close were given
};

// ----------------------------------------------------------------------------
// Miniport factories: the topology miniport names itself from the script and
// maps terminal ids 10 to 29 to its pins 2 to 21; the wave miniport of engine
// i reports terminal 10 + i and the name the engine was given.
NTSTATUS CreateScriptedTopology(PUNKNOWN* miniport, REFCLSID classId, PUNKNOWN outerUnknown,
                                POOL_TYPE poolType);
NTSTATUS CreateScriptedWave(PUNKNOWN* miniport, REFCLSID classId, PUNKNOWN outerUnknown,
                            POOL_TYPE poolType, ULONG engineIndex);

// The interface of a class registered on a physical device object.
const EmuDeviceInterface* FindInterface(const std::vector<EmuDeviceInterface>& all,
                                        PDEVICE_OBJECT pdo, const GUID& interfaceClass);

// ----------------------------------------------------------------------------
// The driver added on a bare bus device that logs each PnP request with the
// enabled state of the two interfaces as it arrives; an adapter double can
// be put where a start-up would have put the adapter.
class DispatchRig
{
  public:
    DispatchRig();
    ~DispatchRig();
    bool Ok() const { return Fdo() != nullptr; }
    NTSTATUS AddStatus() const { return m_AddStatus; }
    PDRIVER_OBJECT Driver() const { return m_Device.Driver(); }
    PDEVICE_OBJECT Pdo() const { return m_Device.Pdo(); }
    PDEVICE_OBJECT Fdo() const { return m_Device.Fdo(); }
    AdapterExtension* Extension() const { return GetAdapterExtension(Fdo()); }
    // An opened adapter double with the script's engines (named E0, E1...), stored in the
    // extension with its own reference as a start-up would, the interfaces
    // enabled. The rig keeps a second reference until it is destroyed.
    FakeAdapter* Attach();
    NTSTATUS Pnp(UCHAR minor);
    // After a removal the adapter device is gone.
    void Forget() { m_Device.Forget(); }
    // The bus answers a removal with this status.
    static NTSTATUS& BusRemoveStatus();

  private:
    BusDeviceRig m_Device;
    NTSTATUS m_AddStatus = STATUS_UNSUCCESSFUL;
    FakeAdapter* m_Adapter = nullptr;
};

// The driver loaded with a simulated USB device: the device classes and
// miniports are the doubles above, reached through the driver's factory tables.
class StartRig
{
  public:
    explicit StartRig(SimReference device = SimReference::Uac2HighSpeed);
    ~StartRig();
    bool Ok() const { return m_Loaded && Pdo() != nullptr; }
    PDEVICE_OBJECT Pdo() const { return m_Device.Pdo(); }
    PDEVICE_OBJECT Fdo() const;
    AdapterExtension* Extension() const { return GetAdapterExtension(Fdo()); }
    NTSTATUS Add();
    NTSTATUS Start() { return EmuPnpStartDevice(Pdo()); }
    NTSTATUS Remove();
    // Names of the registered subdevices and connections "from:pin->to:pin".
    std::vector<std::string> Subdevices() const;
    std::vector<std::string> Connections() const;
    bool InterfaceEnabled(const GUID& interfaceClass) const;

  private:
    BusDeviceRig m_Device;
    bool m_Loaded = false;
    const DeviceClassFactories* m_PreviousClasses = nullptr;
    const AdapterMiniportFactories* m_PreviousMiniports = nullptr;
};

// Sets the port-class version for the life of the object.
class PortClassVersion
{
  public:
    explicit PortClassVersion(DWORD version) : m_Previous(EmuPcGetVersion())
    {
        EmuPcSetVersion(version);
    }
    ~PortClassVersion() { EmuPcSetVersion(m_Previous); }

  private:
    DWORD m_Previous;
};
