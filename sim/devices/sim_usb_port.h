// A simulated device plugged into an emulated USB port: the device model and
// its bus with the physical device object a function driver attaches to.
#pragma once

#include <memory>

#include "platform/usb/emu_usb_bus.h"
#include "sim/devices/reference_devices.h"

class SimUsbPort
{
  public:
    // Plugs a reference device, or a device built from descriptor text.
    NTSTATUS Plug(SimReference which);
    // The text's speed holds unless `speed` is given.
    NTSTATUS PlugText(const std::string& text, std::optional<EmuUsbSpeed> speed,
                      std::string* error);
    NTSTATUS Plug(std::unique_ptr<SimUsbDevice> device);
    // Plugs any device end, known to the hub by these ids; the port does not
    // own it, and it must stay until the port lets go of it.
    NTSTATUS PlugFunction(EmuUsbFunction* function, USHORT vendor, USHORT product, USHORT revision);
    // Removes the device from the bus (the bus's teardown) and drops it.
    void Remove();
    ~SimUsbPort() { Remove(); }

    SimUsbDevice* Device() const { return m_Device.get(); }
    EmuUsbBus* Bus() const { return m_Bus.get(); }
    PDEVICE_OBJECT PhysicalDeviceObject() const
    {
        return m_Bus ? m_Bus->PhysicalDeviceObject() : nullptr;
    }

  private:
    std::unique_ptr<SimUsbDevice> m_Device;
    std::unique_ptr<EmuUsbBus> m_Bus;
};
