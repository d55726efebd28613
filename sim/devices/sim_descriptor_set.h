// The descriptors of one simulated device: the device descriptor, each
// configuration with everything it holds, and the string descriptors, kept as
// the bytes the device sends, with a parsed view of the selected
// configuration's interfaces and endpoints.
//
// Real devices send descriptor sets that bend the USB and audio class rules,
// and the driver, not the simulator, decides what it accepts. So a set is
// refused only when no device could put it on the wire (a configuration whose
// descriptors do not add up to its wTotalLength, a descriptor that cannot be
// walked); everything else that is unusual is kept and reported as a note.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/usb/emu_usb_function.h"
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
    size_t Body = 0;   // of the descriptor after it (a long interface descriptor is kept whole)
    size_t End = 0;    // offset of the next interface descriptor, or the total length
    std::vector<SimEndpointInfo> Endpoints;
};

// The offsets of an alternate setting's class-specific interface descriptors
// that are long enough to name their subtype, in order. A shorter one (a
// 2-byte descriptor is walkable) names nothing the device could act on.
std::vector<size_t> SimClassInterfaceDescriptors(const std::vector<UCHAR>& c,
                                                 const SimAltSetting& alt);

// What a device holds, as the text loader reads it.
struct SimDescriptorSource
{
    std::vector<UCHAR> Device;
    std::vector<std::vector<UCHAR>> Configurations; // in index order
    std::map<UCHAR, std::u16string> Strings;
    std::optional<EmuUsbSpeed> Speed; // the connection's speed, when the text names it
    std::vector<ULONG> ClockRates;    // what class 2.0 clock sources offer; empty: 48 kHz
};

class SimDescriptorSet
{
  public:
    // Keeps the descriptors of a device connected at `speed`; an empty result
    // means success, else why no device could send them, in words.
    std::string Build(const SimDescriptorSource& source, EmuUsbSpeed speed);

    const std::vector<UCHAR>& Device() const { return m_Device; }
    // The selected configuration (the first one until another is selected).
    const std::vector<UCHAR>& Configuration() const { return m_Configs[m_Selected].Bytes; }
    const std::vector<SimAltSetting>& AltSettings() const { return m_Configs[m_Selected].Alts; }
    const std::map<UCHAR, std::u16string>& Strings() const { return m_Strings; }
    // The rates a class 2.0 clock source offers (its RANGE), in the text's order.
    const std::vector<ULONG>& ClockRates() const { return m_ClockRates; }
    // The device descriptor's fields; those a short descriptor lacks read 0.
    const USB_DEVICE_DESCRIPTOR& DeviceDescriptor() const { return m_DeviceView; }
    const SimAltSetting* FindAlt(UCHAR interfaceNumber, UCHAR alternateSetting) const;
    // The string descriptor bytes (index 0: the language list), empty if none.
    std::vector<UCHAR> StringDescriptor(UCHAR index) const;

    // The configuration a GET_DESCRIPTOR for `index` is answered with; null
    // when the device stalls. An index below bNumConfigurations that has no
    // configuration of its own gets the first one, as firmware that ignores
    // the index answers.
    const std::vector<UCHAR>* ConfigurationAt(UCHAR index) const;
    size_t ConfigurationCount() const { return m_Configs.size(); }
    // The index of the first configuration with this bConfigurationValue, or -1.
    int FindConfiguration(UCHAR value) const;
    size_t Selected() const { return m_Selected; }
    void Select(size_t index) { m_Selected = index < m_Configs.size() ? index : 0; }

    // What is unusual about the set, one line each, in the order found.
    const std::vector<std::string>& Notes() const { return m_Notes; }

  private:
    struct Parsed
    {
        std::vector<UCHAR> Bytes;
        std::vector<SimAltSetting> Alts;
    };
    std::string ParseConfiguration(size_t index, const std::vector<UCHAR>& c, EmuUsbSpeed speed,
                                   Parsed* parsed);
    void CheckEndpoint(size_t index, const SimEndpointInfo& ep, EmuUsbSpeed speed);
    void CheckStringIndexes();
    void Note(size_t configuration, size_t offset, const char* what);

    std::vector<UCHAR> m_Device;
    USB_DEVICE_DESCRIPTOR m_DeviceView{};
    std::vector<Parsed> m_Configs;
    size_t m_Selected = 0;
    std::map<UCHAR, std::u16string> m_Strings;
    std::vector<ULONG> m_ClockRates{48000};
    std::vector<std::string> m_Notes;
};
