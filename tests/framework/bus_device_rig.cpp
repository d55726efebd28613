#include "tests/framework/bus_device_rig.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "platform/portcls/portcls_emu.h"

namespace
{
NTSTATUS PlainBusPnp(PDEVICE_OBJECT, PIRP irp)
{
    NTSTATUS status = irp->IoStatus.Status;
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor == IRP_MN_START_DEVICE || minor == IRP_MN_REMOVE_DEVICE)
        status = STATUS_SUCCESS;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The bus driver's entry takes no context: the routine of the rig loading.
PDRIVER_DISPATCH g_BusPnp = nullptr;

NTSTATUS BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_PNP] = g_BusPnp;
    return STATUS_SUCCESS;
}

NTSTATUS PlainStart(PDEVICE_OBJECT, PIRP, PRESOURCELIST)
{
    return STATUS_SUCCESS;
}

// Likewise the room the plain adapter driver's devices take.
ULONG g_ExtensionSize = 0;

NTSTATUS PlainAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    return PcAddAdapterDevice(driver, pdo, PlainStart, 20,
                              PORT_CLASS_DEVICE_EXTENSION_SIZE + g_ExtensionSize);
}

NTSTATUS PlainAdapterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    return PcInitializeAdapterDriver(driver, registryPath, PlainAddDevice);
}

std::string Narrow(const std::u16string& s)
{
    return std::string(s.begin(), s.end());
}
} // namespace

// ----------------------------------------------------------------------------
void BusDeviceRig::Unload()
{
    Remove();
    if (m_Driver != nullptr)
        EmuUnloadDriver(m_Driver);
    m_Driver = nullptr;
    if (m_Bus != nullptr)
        EmuUnloadDriver(m_Bus);
    m_Bus = nullptr;
}

bool BusDeviceRig::Load(Setup setup)
{
    if (!CreatePhysicalDevice(setup))
        return false;
    if (!setup.HardwareIds.empty())
        EmuSetHardwareIds(m_Pdo, setup.HardwareIds);
    g_ExtensionSize = setup.ExtensionSize;
    PDRIVER_INITIALIZE entry = setup.DriverEntry != nullptr ? setup.DriverEntry : PlainAdapterEntry;
    return NT_SUCCESS(EmuLoadDriver(setup.DriverName, entry, &m_Driver));
}

bool BusDeviceRig::CreatePhysicalDevice(Setup& setup)
{
    if (setup.UsbDevice == nullptr)
    {
        g_BusPnp = setup.BusPnp != nullptr ? setup.BusPnp : PlainBusPnp;
        return NT_SUCCESS(EmuLoadDriver(setup.BusName, BusEntry, &m_Bus)) &&
               NT_SUCCESS(EmuCreatePhysicalDevice(m_Bus, 0, setup.InstancePath, &m_Pdo));
    }
    if (setup.InstancePath == nullptr)
    {
        if (!NT_SUCCESS(m_Port.Plug(std::move(setup.UsbDevice))))
            return false;
        m_Pdo = m_Port.PhysicalDeviceObject();
        return true;
    }
    m_UsbDevice = std::move(setup.UsbDevice);
    if (!NT_SUCCESS(EmuUsbBus::Create(m_UsbDevice.get(), setup.InstancePath, &m_UsbBus)))
        return false;
    m_Pdo = m_UsbBus->PhysicalDeviceObject();
    return true;
}

NTSTATUS BusDeviceRig::Add()
{
    const NTSTATUS status = EmuPnpAddDevice(m_Driver, m_Pdo);
    PDEVICE_OBJECT top = IoGetAttachedDevice(m_Pdo);
    if (top != m_Pdo)
        m_Fdo = top;
    return status;
}

void BusDeviceRig::RemoveAdapterDevice()
{
    if (m_Fdo != nullptr && EmuPcIsAdapterDevice(m_Fdo))
        EmuPnpSendMinor(m_Pdo, IRP_MN_REMOVE_DEVICE);
    m_Fdo = nullptr;
}

void BusDeviceRig::Remove()
{
    RemoveAdapterDevice();
    // The USB bus deletes its own physical device.
    if (m_Pdo != nullptr && m_Bus != nullptr)
        IoDeleteDevice(m_Pdo);
    m_Pdo = nullptr;
    m_Port.Remove();
    m_UsbBus.reset();
}

// ----------------------------------------------------------------------------
bool LowerDevice::Create(const WCHAR* driverName, const Majors& majors, PDEVICE_OBJECT below)
{
    if (!NT_SUCCESS(EmuLoadDriver(driverName, nullptr, &m_Driver)))
        return false;
    for (const auto& [major, routine] : majors)
        m_Driver->MajorFunction[major] = routine;
    if (!NT_SUCCESS(IoCreateDevice(m_Driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &m_Device)))
        return false;
    m_Device->StackSize = (CCHAR)(below->StackSize + 1);
    m_Device->Flags &= ~DO_DEVICE_INITIALIZING;
    return true;
}

void LowerDevice::Delete()
{
    if (m_Device != nullptr)
        IoDeleteDevice(m_Device);
    m_Device = nullptr;
    if (m_Driver != nullptr)
        EmuUnloadDriver(m_Driver);
    m_Driver = nullptr;
}

// ----------------------------------------------------------------------------
ScratchRoot::ScratchRoot(const char* prefix)
{
    std::string pattern = std::string("/tmp/") + prefix + "_XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr)
        m_Root = pattern;
    EmuSetSystemRoot(m_Root);
}

ScratchRoot::~ScratchRoot()
{
    for (const std::string& f : m_Files)
        unlink(f.c_str());
    if (!m_Root.empty())
        rmdir(m_Root.c_str());
    EmuSetSystemRoot("");
}

void ScratchRoot::WriteFile(const std::string& name, const std::string& bytes)
{
    const std::string path = m_Root + "/" + name;
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    if (!bytes.empty())
        fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    m_Files.push_back(path);
}

// ----------------------------------------------------------------------------
std::vector<std::u16string> SubdeviceNames(PDEVICE_OBJECT fdo)
{
    std::vector<std::u16string> names;
    for (const EmuPcSubdeviceInfo& s : EmuPcSubdevices(fdo))
        names.push_back(s.Name);
    return names;
}

std::vector<std::string> ConnectionTexts(PDEVICE_OBJECT fdo)
{
    std::vector<std::string> out;
    for (const EmuPcConnectionInfo& c : EmuPcPhysicalConnections(fdo))
        out.push_back(Narrow(c.FromName) + ":" + std::to_string(c.FromPin) + "->" +
                      Narrow(c.ToName) + ":" + std::to_string(c.ToPin));
    return out;
}
