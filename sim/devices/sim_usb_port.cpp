#include "sim/devices/sim_usb_port.h"

#include <cstdio>

#include <cstring>

#include "platform/io/io_emu.h"

NTSTATUS SimUsbPort::Plug(std::unique_ptr<SimUsbDevice> device)
{
    Remove();
    if (!device)
        return STATUS_INVALID_PARAMETER;
    const USB_DEVICE_DESCRIPTOR& d = device->Descriptors().DeviceDescriptor();
    m_Device = std::move(device);
    NTSTATUS status = PlugFunction(m_Device.get(), d.idVendor, d.idProduct, d.bcdDevice);
    if (!NT_SUCCESS(status))
        m_Device.reset();
    return status;
}

NTSTATUS SimUsbPort::PlugFunction(EmuUsbFunction* function, USHORT vendor, USHORT product,
                                  USHORT revision)
{
    m_Bus.reset();
    WCHAR path[64];
    RtlStringCbPrintfW(path, sizeof(path), u"USB\\VID_%04X&PID_%04X\\5&1a2b&0&1", vendor, product);
    NTSTATUS status = EmuUsbBus::Create(function, path, &m_Bus);
    if (!NT_SUCCESS(status))
        return status;
    // The identities the hub reports for the device node.
    char id[64];
    std::vector<std::u16string> ids;
    snprintf(id, sizeof(id), "USB\\VID_%04X&PID_%04X&REV_%04X", vendor, product, revision);
    ids.emplace_back(id, id + strlen(id));
    snprintf(id, sizeof(id), "USB\\VID_%04X&PID_%04X", vendor, product);
    ids.emplace_back(id, id + strlen(id));
    EmuSetHardwareIds(m_Bus->PhysicalDeviceObject(), ids);
    return STATUS_SUCCESS;
}

NTSTATUS SimUsbPort::Plug(SimReference which)
{
    return Plug(SimCreateReferenceDevice(which));
}

NTSTATUS SimUsbPort::PlugText(const std::string& text, std::optional<EmuUsbSpeed> speed,
                              std::string* error)
{
    std::unique_ptr<SimUsbDevice> device = SimUsbDevice::CreateFromText(text, speed, error);
    if (!device)
        return STATUS_INVALID_PARAMETER;
    return Plug(std::move(device));
}

void SimUsbPort::Remove()
{
    m_Bus.reset();
    m_Device.reset();
}
