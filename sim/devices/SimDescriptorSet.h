// The descriptors of one simulated device: the device descriptor, the one
// configuration with everything it holds, and the string descriptors, kept as
// the bytes the device sends, with a parsed view of its interfaces and
// endpoints. The bytes are checked strictly when the set is built, so a
// simulated device never sends a descriptor set that a real device could not.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/usb/usb.h"

struct SimEndpointInfo
{
    UCHAR Address = 0;
    UCHAR Attributes = 0;
    USHORT MaxPacketSize = 0; // wMaxPacketSize as in the descriptor
    UCHAR Interval = 0;
    size_t Offset = 0;      // of the endpoint descriptor in the configuration
    size_t ClassOffset = 0; // of its class-specific endpoint descriptor, or 0
};

struct SimAltSetting
{
    UCHAR InterfaceNumber = 0;
    UCHAR AlternateSetting = 0;
    UCHAR Class = 0;
    UCHAR SubClass = 0;
    UCHAR Protocol = 0;
    size_t Offset = 0; // of the interface descriptor
    size_t End = 0;    // offset of the next interface descriptor, or the total length
    std::vector<SimEndpointInfo> Endpoints;
};

class SimDescriptorSet
{
  public:
    // Checks and keeps the descriptors; an empty result means success, else
    // the first fault found, in words.
    std::string Build(const std::vector<UCHAR>& device, const std::vector<UCHAR>& configuration,
                      const std::map<UCHAR, std::u16string>& strings);

    const std::vector<UCHAR>& Device() const { return m_Device; }
    const std::vector<UCHAR>& Configuration() const { return m_Configuration; }
    const std::map<UCHAR, std::u16string>& Strings() const { return m_Strings; }
    const std::vector<SimAltSetting>& AltSettings() const { return m_Alts; }
    const USB_DEVICE_DESCRIPTOR& DeviceDescriptor() const
    {
        return *reinterpret_cast<const USB_DEVICE_DESCRIPTOR*>(m_Device.data());
    }
    const SimAltSetting* FindAlt(UCHAR interfaceNumber, UCHAR alternateSetting) const;
    // The string descriptor bytes (index 0: the language list), empty if none.
    std::vector<UCHAR> StringDescriptor(UCHAR index) const;

  private:
    std::vector<UCHAR> m_Device;
    std::vector<UCHAR> m_Configuration;
    std::map<UCHAR, std::u16string> m_Strings;
    std::vector<SimAltSetting> m_Alts;
};

// Reads a descriptor set from text: one descriptor a line in hex bytes (the
// device descriptor first, then the configuration's descriptors in order),
// string descriptors as `string <index> "<text>"`, and `#` comments. Every
// line's bLength must equal its byte count. An empty result means success.
std::string SimParseDescriptorText(const std::string& text, std::vector<UCHAR>* device,
                                   std::vector<UCHAR>* configuration,
                                   std::map<UCHAR, std::u16string>* strings);
