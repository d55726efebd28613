// The ground the driver tests' rigs stand on: a bus driver with one physical
// device (or a simulated device on the emulated USB bus), an adapter driver
// added on it, a host folder as the system root, a lower device of its own
// driver, and what the port-class library registered on the adapter device.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/io/io_emu.h"
#include "sim/devices/sim_usb_port.h"

// A bus driver with one physical device, or a simulated device on the emulated
// USB bus, and an adapter driver added on it.
class BusDeviceRig
{
  public:
    struct Setup
    {
        const WCHAR* BusName = nullptr;
        // Null: the bus starts and removes its device and passes over the rest.
        PDRIVER_DISPATCH BusPnp = nullptr;
        // Null with a USB device: the hub names it by its IDs and gives it
        // their hardware IDs, as a port does.
        const WCHAR* InstancePath = nullptr;
        // None: the device keeps the hardware IDs the bus gives it.
        std::vector<std::u16string> HardwareIds = {};
        const WCHAR* DriverName = nullptr;
        // Null: a port-class adapter driver whose start routine does nothing
        // and whose device has ExtensionSize bytes of its own.
        PDRIVER_INITIALIZE DriverEntry = nullptr;
        ULONG ExtensionSize = 64;
        // Set: the physical device is this device on the emulated USB bus,
        // in place of the bus driver above.
        std::unique_ptr<SimUsbDevice> UsbDevice = nullptr;
    };

    BusDeviceRig() = default;
    BusDeviceRig(const BusDeviceRig&) = delete;
    BusDeviceRig& operator=(const BusDeviceRig&) = delete;
    ~BusDeviceRig() { Unload(); }

    // Loads both drivers and creates the physical device; false on a failure.
    bool Load(Setup setup);
    // The driver's AddDevice on the physical device; what it attached on top
    // becomes the adapter device.
    NTSTATUS Add();
    // A removal while the adapter device is there.
    void RemoveAdapterDevice();
    // The adapter device's removal, then the physical device deleted (the
    // USB device unplugged); the drivers stay loaded.
    void Remove();
    // Removes the device, then unloads both drivers.
    void Unload();
    // The adapter device went away by a removal the test sent.
    void Forget() { m_Fdo = nullptr; }

    PDRIVER_OBJECT Driver() const { return m_Driver; }
    PDEVICE_OBJECT Pdo() const { return m_Pdo; }
    PDEVICE_OBJECT Fdo() const { return m_Fdo; }
    EmuUsbBus* UsbBus() const { return m_UsbBus ? m_UsbBus.get() : m_Port.Bus(); }
    SimUsbDevice* UsbDevice() const { return m_UsbDevice ? m_UsbDevice.get() : m_Port.Device(); }

  private:
    bool CreatePhysicalDevice(Setup& setup);

    // The USB device named by the rig (the bus goes before the device), or
    // plugged into a port.
    std::unique_ptr<SimUsbDevice> m_UsbDevice;
    std::unique_ptr<EmuUsbBus> m_UsbBus;
    SimUsbPort m_Port;
    PDRIVER_OBJECT m_Bus = nullptr;
    PDRIVER_OBJECT m_Driver = nullptr;
    PDEVICE_OBJECT m_Pdo = nullptr;
    PDEVICE_OBJECT m_Fdo = nullptr;
};

// A fresh host folder as the system root while the object lives; the files
// written through it go with it.
class ScratchRoot
{
  public:
    explicit ScratchRoot(const char* prefix);
    ScratchRoot(const ScratchRoot&) = delete;
    ScratchRoot& operator=(const ScratchRoot&) = delete;
    ~ScratchRoot();
    const std::string& Path() const { return m_Root; }
    // Writes a file under the root (ASSERTs that it opened).
    void WriteFile(const std::string& name, const std::string& bytes);

  private:
    std::string m_Root;
    std::vector<std::string> m_Files;
};

// A device of a driver of its own that a rig gives the adapter as its lower
// device, in front of the device below it; deleted, its driver unloaded,
// when the object goes or Delete is called.
class LowerDevice
{
  public:
    using Majors = std::vector<std::pair<UCHAR, PDRIVER_DISPATCH>>;
    LowerDevice() = default;
    LowerDevice(const LowerDevice&) = delete;
    LowerDevice& operator=(const LowerDevice&) = delete;
    ~LowerDevice() { Delete(); }
    // False on a failure.
    bool Create(const WCHAR* driverName, const Majors& majors, PDEVICE_OBJECT below);
    void Delete();
    PDEVICE_OBJECT Device() const { return m_Device; }

  private:
    PDRIVER_OBJECT m_Driver = nullptr;
    PDEVICE_OBJECT m_Device = nullptr;
};

// The subdevices registered on an adapter device, by name, and its physical
// connections as "from:pin->to:pin".
std::vector<std::u16string> SubdeviceNames(PDEVICE_OBJECT fdo);
std::vector<std::string> ConnectionTexts(PDEVICE_OBJECT fdo);
