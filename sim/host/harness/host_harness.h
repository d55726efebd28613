// The operating system around the driver, as the host program and its tests
// play it: the driver loaded through its entry routine, a simulated USB device
// plugged into an emulated port, the PnP requests that add, start and remove
// the adapter device, and what the driver registered with the port-class
// library (filters with their pins, physical connections, device interfaces).
//
// The harness does not reset the emulated platform: the caller owns it (the
// host program resets it once, every test runs on a fresh one).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ks/ks.h"
#include "sim/devices/sim_usb_port.h"

struct HostPin
{
    ULONG Id;
    KSPIN_DATAFLOW DataFlow;
    KSPIN_COMMUNICATION Communication;
    ULONG DataRanges;
};

// A connection inside a filter; node PCFILTER_NODE is the filter's own pin.
struct HostLink
{
    ULONG FromNode;
    ULONG FromPin;
    ULONG ToNode;
    ULONG ToPin;
};

struct HostFilter
{
    std::string Name;
    bool WaveCyclic; // else topology
    std::vector<HostPin> Pins;
    std::vector<std::string> Nodes; // node types: "mute", "volume", ...
    std::vector<HostLink> Links;
};

struct HostConnection
{
    std::string From;
    ULONG FromPin;
    std::string To;
    ULONG ToPin;
};

struct HostInterface
{
    std::string Kind; // "ASIO", "enumeration", or the class GUID
    std::string ReferenceString;
    std::string SymbolicLink;
    bool Enabled;
};

// Where a start-up that failed stopped, read from what it left behind.
struct HostStartStep
{
    std::string Step;  // empty after a successful start
    std::string Cause; // what was missing or what failed, in words
};

class HostHarness
{
  public:
    HostHarness() = default;
    // Removes the device, unplugs it and unloads the driver if still there.
    ~HostHarness();
    HostHarness(const HostHarness&) = delete;
    HostHarness& operator=(const HostHarness&) = delete;

    // The names --device accepts.
    static std::vector<std::string> ReferenceNames();
    // The one speed a reference device is made at; none when it takes either.
    static std::optional<EmuUsbSpeed> OnlySpeed(const std::string& name);
    // Why the device cannot be plugged at `speed` ("TimedChip runs at full
    // speed only"); empty when it can.
    static std::string SpeedRefusal(const std::string& name, std::optional<EmuUsbSpeed> speed);

    // The driver under its service name, through DriverEntry.
    NTSTATUS LoadDriver();
    void UnloadDriver();

    // Plugs a reference device by name, or a device read from a descriptor
    // text file; *error says why a device could not be plugged. The speed of
    // the connection is `speed` when given (a device of one speed refuses
    // the other), else the file's speed line, else high for a bcdUSB of 2.00
    // or later.
    NTSTATUS PlugReference(const std::string& name, std::string* error,
                           std::optional<EmuUsbSpeed> speed = std::nullopt);
    NTSTATUS PlugDescriptorFile(const std::string& path, std::string* error,
                                std::optional<EmuUsbSpeed> speed = std::nullopt);
    // Plugs a device built by the caller (descriptors edited in place).
    NTSTATUS PlugDevice(std::unique_ptr<SimUsbDevice> device, const std::string& name);
    // Plugs a device end the harness does not own, known to the hub by these
    // ids (it must stay until Unplug).
    NTSTATUS PlugFunction(EmuUsbFunction* device, USHORT vendor, USHORT product, USHORT revision);
    // Takes the device off the bus (after its removal).
    void Unplug();

    NTSTATUS AddDevice();
    NTSTATUS StartDevice();
    NTSTATUS RemoveDevice();
    // Whether the device is still on the bus (not pulled out).
    bool DevicePresent() const;
    // Tells the driver its device is gone (IRP_MN_SURPRISE_REMOVAL).
    NTSTATUS SurpriseRemoval();

    // Where the start failed and why: a cause the harness cannot tell by
    // itself is the driver's own last debug line of the start.
    HostStartStep ExplainStart(NTSTATUS status) const;

    std::vector<HostFilter> Filters() const;
    std::vector<HostConnection> Connections() const;
    std::vector<HostInterface> Interfaces() const;

    PDRIVER_OBJECT Driver() const { return m_Driver; }
    PDEVICE_OBJECT Pdo() const { return m_Port.PhysicalDeviceObject(); }
    // The adapter device while it is on the stack; null otherwise.
    PDEVICE_OBJECT Fdo() const;
    SimUsbDevice* Device() const { return m_Port.Device(); }
    // The emulated bus the device is on (to pull the device out); null when unplugged.
    EmuUsbBus* Bus() const { return m_Port.Bus(); }
    std::string DeviceName() const { return m_DeviceName; }

  private:
    // The driver's last debug line since the start began, without its line
    // end; empty when it said nothing.
    std::string DriverSaid() const;

    SimUsbPort m_Port;
    size_t m_StartDebugLines = 0;
    PDRIVER_OBJECT m_Driver = nullptr;
    std::string m_DeviceName;
};

// "full" or "high".
const char* HostSpeedText(EmuUsbSpeed speed);

// "0xC00000BB STATUS_NOT_SUPPORTED" (the name when it is a common one).
std::string HostStatusText(NTSTATUS status);
