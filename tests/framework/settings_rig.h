// An adapter device for the settings tests: a bus driver with one physical
// device carrying hardware IDs, an adapter driver whose device port-class
// creates, the driver's registry key, and a host folder as the system root.
#pragma once

#include <string>
#include <vector>

#include "platform/io/io_emu.h"
#include "tests/framework/bus_device_rig.h"

class SettingsRig
{
  public:
    // Adds the adapter device; ASSERT on the result of Ok().
    explicit SettingsRig(const std::vector<std::u16string>& hardwareIds = {
                             u"USB\\VID_4C54&PID_1001&REV_0100", u"USB\\VID_4C54&PID_1001"});
    ~SettingsRig();
    bool Ok() const { return m_Fdo != nullptr; }
    PDEVICE_OBJECT Fdo() const { return m_Fdo; }

    // Full path of the driver key and of its "Settings" subkey.
    std::u16string DriverKeyPath() const;
    std::u16string SettingsPath(const std::u16string& subkey = u"") const;

    // Writes a file under the system root.
    void WriteFile(const std::string& name, const std::string& bytes)
    {
        m_Root.WriteFile(name, bytes);
    }

    // A value read back from the registry; false when it does not exist.
    bool Value(const std::u16string& subkey, const std::u16string& name, ULONG* type,
               std::vector<UCHAR>* data) const;

  private:
    ScratchRoot m_Root{"lt_frame1"};
    BusDeviceRig m_Device;
    PDEVICE_OBJECT m_Fdo = nullptr;
    std::u16string m_DriverKey;
};

std::vector<UCHAR> Bytes(std::initializer_list<int> values);
std::vector<UCHAR> WideBytes(const std::u16string& text, bool withNul);
