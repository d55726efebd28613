#include "tests/driver/settings_rig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "platform/portcls/portcls_emu.h"

namespace
{
SettingsRig* g_SettingsRig = nullptr;
PDEVICE_OBJECT g_AddedFdo = nullptr;

NTSTATUS RigBusPnp(PDEVICE_OBJECT, PIRP irp)
{
    NTSTATUS status = irp->IoStatus.Status;
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor == IRP_MN_START_DEVICE || minor == IRP_MN_REMOVE_DEVICE)
        status = STATUS_SUCCESS;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS RigBusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_PNP] = RigBusPnp;
    return STATUS_SUCCESS;
}

NTSTATUS RigStart(PDEVICE_OBJECT, PIRP, PRESOURCELIST)
{
    return STATUS_SUCCESS;
}

NTSTATUS RigAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    NTSTATUS status =
        PcAddAdapterDevice(driver, pdo, RigStart, 20, PORT_CLASS_DEVICE_EXTENSION_SIZE + 64);
    if (NT_SUCCESS(status))
        g_AddedFdo = IoGetAttachedDevice(pdo);
    return status;
}

NTSTATUS RigAdapterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    return PcInitializeAdapterDriver(driver, registryPath, RigAddDevice);
}

const char16_t c_ClassPath[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
                               u"{4d36e96c-e325-11ce-bfc1-08002be10318}";
} // namespace

std::vector<UCHAR> Bytes(std::initializer_list<int> values)
{
    std::vector<UCHAR> out;
    for (int v : values)
        out.push_back((UCHAR)v);
    return out;
}

std::vector<UCHAR> WideBytes(const std::u16string& text, bool withNul)
{
    std::vector<UCHAR> out;
    for (char16_t c : text)
    {
        out.push_back((UCHAR)(c & 0xFF));
        out.push_back((UCHAR)(c >> 8));
    }
    if (withNul)
    {
        out.push_back(0);
        out.push_back(0);
    }
    return out;
}

SettingsRig::SettingsRig(const std::vector<std::u16string>& hardwareIds)
{
    g_SettingsRig = this;
    g_AddedFdo = nullptr;
    char dir[] = "/tmp/lt_frame1_XXXXXX";
    if (mkdtemp(dir) != nullptr)
        m_Root = dir;
    EmuSetSystemRoot(m_Root);
    if (!NT_SUCCESS(EmuLoadDriver(u"ltsetbus", RigBusEntry, &m_Bus)) ||
        !NT_SUCCESS(
            EmuCreatePhysicalDevice(m_Bus, 0, u"USB\\VID_4C54&PID_1001\\5&1a2b&0&1", &m_Pdo)))
        return;
    if (!hardwareIds.empty())
        EmuSetHardwareIds(m_Pdo, hardwareIds);
    if (!NT_SUCCESS(EmuLoadDriver(u"ltsetadapter", RigAdapterEntry, &m_Driver)))
        return;
    std::vector<std::u16string> before = EmuRegistrySubkeys(c_ClassPath);
    if (!NT_SUCCESS(EmuPnpAddDevice(m_Driver, m_Pdo)))
        return;
    // The driver key exists once the system has installed the device.
    HANDLE key = nullptr;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(m_Pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key)))
        return;
    ZwClose(key);
    for (const std::u16string& k : EmuRegistrySubkeys(c_ClassPath))
        if (std::find(before.begin(), before.end(), k) == before.end())
            m_DriverKey = std::u16string(c_ClassPath) + u"\\" + k;
    if (m_DriverKey.empty())
        return;
    m_Fdo = g_AddedFdo;
}

SettingsRig::~SettingsRig()
{
    if (m_Fdo != nullptr && EmuPcIsAdapterDevice(m_Fdo))
        EmuPnpSendMinor(m_Pdo, IRP_MN_REMOVE_DEVICE);
    if (m_Pdo != nullptr)
        IoDeleteDevice(m_Pdo);
    if (!m_DriverKey.empty())
        EmuRegistryDeleteKey(m_DriverKey);
    if (m_Driver != nullptr)
        EmuUnloadDriver(m_Driver);
    if (m_Bus != nullptr)
        EmuUnloadDriver(m_Bus);
    for (const std::string& f : m_Files)
        unlink(f.c_str());
    if (!m_Root.empty())
        rmdir(m_Root.c_str());
    EmuSetSystemRoot("");
    g_SettingsRig = nullptr;
}

std::u16string SettingsRig::DriverKeyPath() const
{
    return m_DriverKey;
}

std::u16string SettingsRig::SettingsPath(const std::u16string& subkey) const
{
    std::u16string path = DriverKeyPath() + u"\\Settings";
    if (!subkey.empty())
        path += u"\\" + subkey;
    return path;
}

void SettingsRig::WriteFile(const std::string& name, const std::string& bytes)
{
    std::string path = m_Root + "/" + name;
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    if (!bytes.empty())
        fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    m_Files.push_back(path);
}

bool SettingsRig::Value(const std::u16string& subkey, const std::u16string& name, ULONG* type,
                        std::vector<UCHAR>* data) const
{
    return EmuRegistryGetValue(SettingsPath(subkey), name, type, data);
}
