#include "tests/framework/settings_rig.h"

#include <algorithm>

namespace
{
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
    if (!m_Device.Load({.BusName = u"ltsetbus",
                        .InstancePath = u"USB\\VID_4C54&PID_1001\\5&1a2b&0&1",
                        .HardwareIds = hardwareIds,
                        .DriverName = u"ltsetadapter"}))
        return;
    std::vector<std::u16string> before = EmuRegistrySubkeys(c_ClassPath);
    if (!NT_SUCCESS(m_Device.Add()))
        return;
    // The driver key exists once the system has installed the device.
    HANDLE key = nullptr;
    if (!NT_SUCCESS(
            IoOpenDeviceRegistryKey(m_Device.Pdo(), PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key)))
        return;
    ZwClose(key);
    for (const std::u16string& k : EmuRegistrySubkeys(c_ClassPath))
        if (std::find(before.begin(), before.end(), k) == before.end())
            m_DriverKey = std::u16string(c_ClassPath) + u"\\" + k;
    if (m_DriverKey.empty())
        return;
    m_Fdo = m_Device.Fdo();
}

SettingsRig::~SettingsRig()
{
    m_Device.Remove();
    if (!m_DriverKey.empty())
        EmuRegistryDeleteKey(m_DriverKey);
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

bool SettingsRig::Value(const std::u16string& subkey, const std::u16string& name, ULONG* type,
                        std::vector<UCHAR>* data) const
{
    return EmuRegistryGetValue(SettingsPath(subkey), name, type, data);
}
