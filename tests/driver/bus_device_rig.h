// The ground the driver tests' rigs stand on: a bus driver with one physical
// device, an adapter driver added on it, a host folder as the system root,
// and what the port-class library registered on the adapter device.
#pragma once

#include <string>
#include <vector>

#include "platform/io/io_emu.h"

// A bus driver with one physical device and an adapter driver added on it.
class BusDeviceRig
{
  public:
    struct Setup
    {
        const WCHAR* BusName = nullptr;
        // Null: the bus starts and removes its device and passes over the rest.
        PDRIVER_DISPATCH BusPnp = nullptr;
        const WCHAR* InstancePath = nullptr;
        // None: the device keeps the hardware IDs the bus gives it.
        std::vector<std::u16string> HardwareIds = {};
        const WCHAR* DriverName = nullptr;
        // Null: a port-class adapter driver whose start routine does nothing.
        PDRIVER_INITIALIZE DriverEntry = nullptr;
    };

    BusDeviceRig() = default;
    BusDeviceRig(const BusDeviceRig&) = delete;
    BusDeviceRig& operator=(const BusDeviceRig&) = delete;
    // Removes the device, then unloads both drivers.
    ~BusDeviceRig();

    // Loads both drivers and creates the physical device; false on a failure.
    bool Load(const Setup& setup);
    // The driver's AddDevice on the physical device; what it attached on top
    // becomes the adapter device.
    NTSTATUS Add();
    // A removal while the adapter device is there, then the physical device
    // deleted; the drivers stay loaded.
    void Remove();
    // The adapter device went away by a removal the test sent.
    void Forget() { m_Fdo = nullptr; }

    PDRIVER_OBJECT Driver() const { return m_Driver; }
    PDEVICE_OBJECT Pdo() const { return m_Pdo; }
    PDEVICE_OBJECT Fdo() const { return m_Fdo; }

  private:
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

// The subdevices registered on an adapter device, by name, and its physical
// connections as "from:pin->to:pin".
std::vector<std::u16string> SubdeviceNames(PDEVICE_OBJECT fdo);
std::vector<std::string> ConnectionTexts(PDEVICE_OBJECT fdo);
