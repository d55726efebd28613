#include "sim/devices/sim_descriptor_set.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace
{
std::string Printf(const char* format, unsigned a, unsigned b = 0)
{
    char text[200];
    snprintf(text, sizeof(text), format, a, b);
    return text;
}

bool IsPeriodic(UCHAR kind)
{
    return kind == USB_ENDPOINT_TYPE_ISOCHRONOUS || kind == USB_ENDPOINT_TYPE_INTERRUPT;
}

// What USB 2.0 allows an endpoint descriptor at the connection's speed; a
// device that does otherwise still sends it, and the note says what is off.
struct EndpointRule
{
    const char* What;
    bool (*Broken)(const SimEndpointInfo& ep, bool highSpeed);
};

constexpr EndpointRule kEndpointRules[] = {
    {"bEndpointAddress not 1 to 15 with the direction bit", [](const SimEndpointInfo& ep, bool)
     { return (ep.Address & 0x0F) == 0 || (ep.Address & 0x70) != 0; }},
    {"control endpoint in an interface", [](const SimEndpointInfo& ep, bool)
     { return (ep.Attributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_CONTROL; }},
    {"wMaxPacketSize transactions per microframe invalid at this speed",
     [](const SimEndpointInfo& ep, bool highSpeed)
     {
         const ULONG mult = (ep.MaxPacketSize >> 11) & 3;
         return mult == 3 || (mult != 0 && !highSpeed);
     }},
    {"isochronous wMaxPacketSize too large for this speed",
     [](const SimEndpointInfo& ep, bool highSpeed)
     {
         return (ep.Attributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_ISOCHRONOUS &&
                (ep.MaxPacketSize & 0x7FF) > (highSpeed ? 1024u : 1023u);
     }},
    {"bInterval out of range for this speed",
     [](const SimEndpointInfo& ep, bool highSpeed)
     {
         const UCHAR kind = ep.Attributes & USB_ENDPOINT_TYPE_MASK;
         if (!IsPeriodic(kind))
             return false;
         // Full-speed interrupt endpoints count frames up to 255; every
         // other periodic endpoint gives an exponent of 1 to 16.
         const bool exponent = highSpeed || kind == USB_ENDPOINT_TYPE_ISOCHRONOUS;
         return ep.Interval == 0 || (exponent && ep.Interval > 16);
     }},
};
} // namespace

void SimDescriptorSet::Note(size_t configuration, size_t offset, const char* what)
{
    m_Notes.push_back(
        Printf("configuration %u offset %u: ", (unsigned)configuration, (unsigned)offset) + what);
}

std::string SimDescriptorSet::Build(const SimDescriptorSource& source, EmuUsbSpeed speed)
{
    m_Notes.clear();
    m_Configs.clear();
    m_Selected = 0;
    const std::vector<UCHAR>& device = source.Device;
    if (device.size() < 2 || device[0] != device.size() || device[1] != USB_DEVICE_DESCRIPTOR_TYPE)
        return "device descriptor: bLength differs from its bytes or the type is not 1";
    if (source.Configurations.empty())
        return "no configuration descriptor";
    for (const auto& s : source.Strings)
    {
        if (s.first == 0)
            return "string 0 is the language list and is not given as text";
        // bLength is one byte: 2 + 2 * 126 is the longest string a device sends.
        if (s.second.size() > 126)
            return "string longer than 126 characters";
    }
    m_Device = device;
    m_DeviceView = USB_DEVICE_DESCRIPTOR{};
    memcpy(&m_DeviceView, device.data(),
           device.size() < sizeof(m_DeviceView) ? device.size() : sizeof(m_DeviceView));
    const USB_DEVICE_DESCRIPTOR& d = m_DeviceView;
    const size_t given = source.Configurations.size();
    if (device.size() != sizeof(USB_DEVICE_DESCRIPTOR))
        m_Notes.push_back(Printf("device descriptor: bLength %u, not 18", device[0]));
    if (d.bMaxPacketSize0 != 8 && d.bMaxPacketSize0 != 16 && d.bMaxPacketSize0 != 32 &&
        d.bMaxPacketSize0 != 64)
        m_Notes.push_back("device descriptor: bMaxPacketSize0 not 8, 16, 32 or 64");
    if (d.bNumConfigurations != given)
        m_Notes.push_back(
            Printf("device descriptor: bNumConfigurations %u, %u configuration(s) given",
                   d.bNumConfigurations, (unsigned)given) +
            (d.bNumConfigurations > given ? "; the missing indexes answer the first" : ""));
    if (speed == EmuUsbSpeed::High && d.bcdUSB < 0x0200)
        m_Notes.push_back("device descriptor: bcdUSB below 2.00 on a high-speed connection");

    for (size_t i = 0; i < given; ++i)
    {
        Parsed parsed;
        std::string e = ParseConfiguration(i, source.Configurations[i], speed, &parsed);
        if (!e.empty())
        {
            m_Configs.clear();
            return e;
        }
        m_Configs.push_back(std::move(parsed));
    }
    m_Strings = source.Strings;
    m_ClockRates = source.ClockRates.empty() ? std::vector<ULONG>{48000} : source.ClockRates;
    CheckStringIndexes();
    return {};
}

std::string SimDescriptorSet::ParseConfiguration(size_t index, const std::vector<UCHAR>& c,
                                                 EmuUsbSpeed speed, Parsed* parsed)
{
    auto fault = [&](size_t offset, const char* what)
    { return Printf("configuration %u offset %u: ", (unsigned)index, (unsigned)offset) + what; };
    if (c.size() < 9 || c[0] < 9 || c[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE)
        return fault(0, "not a configuration descriptor of at least 9 bytes");
    const size_t total = c[2] | c[3] << 8;
    if (total != c.size())
        return fault(2, "wTotalLength differs from the bytes given");
    if (c[0] != 9)
        Note(index, 0, "configuration descriptor longer than 9 bytes");
    if (c[5] == 0)
        Note(index, 5, "bConfigurationValue 0 is the unconfigured state: it cannot be selected");

    std::vector<SimAltSetting>& alts = parsed->Alts;
    std::vector<std::pair<UCHAR, UCHAR>> seen;
    bool inInterface = false; // endpoints belong to the last interface
    size_t expectEndpoints = 0;
    size_t pos = c[0];
    auto closeInterface = [&](size_t at)
    {
        if (inInterface && expectEndpoints != 0)
            Note(index, at, "interface has fewer endpoints than bNumEndpoints");
        if (inInterface)
            alts.back().End = at;
        inInterface = false;
        expectEndpoints = 0;
    };
    while (pos < total)
    {
        if (total - pos < 2 || c[pos] < 2)
            return fault(pos, "bLength below 2: the descriptors cannot be walked");
        const UCHAR length = c[pos], type = c[pos + 1];
        if (length > total - pos)
            return fault(pos, "descriptor runs past wTotalLength");
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE)
        {
            closeInterface(pos);
            if (length < 9)
            {
                Note(index, pos, "interface descriptor shorter than 9 bytes: not an interface");
                pos += length;
                continue;
            }
            if (length > 9)
                Note(index, pos, "interface descriptor longer than 9 bytes");
            SimAltSetting a;
            a.InterfaceNumber = c[pos + 2];
            a.AlternateSetting = c[pos + 3];
            a.Class = c[pos + 5];
            a.SubClass = c[pos + 6];
            a.Protocol = c[pos + 7];
            a.Offset = pos;
            a.Body = pos + length;
            bool numberSeen = false, twice = false;
            for (const auto& [number, alternate] : seen)
            {
                numberSeen = numberSeen || number == a.InterfaceNumber;
                twice = twice || (number == a.InterfaceNumber && alternate == a.AlternateSetting);
            }
            if (twice)
                Note(index, pos, "interface and alternate setting given twice: the first counts");
            else if (a.AlternateSetting != 0 && !numberSeen)
                Note(index, pos, "alternate setting before alternate setting 0");
            seen.push_back({a.InterfaceNumber, a.AlternateSetting});
            expectEndpoints = c[pos + 4];
            inInterface = true;
            alts.push_back(a);
        }
        else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE)
        {
            if (!inInterface || expectEndpoints == 0)
                Note(index, pos,
                     "endpoint descriptor outside an interface's bNumEndpoints: "
                     "ignored");
            else if (length < 7)
            {
                Note(index, pos, "endpoint descriptor shorter than 7 bytes: ignored");
                --expectEndpoints;
            }
            else
            {
                if (length != 7 && length != 9)
                    Note(index, pos, "endpoint descriptor not 7 or 9 bytes");
                SimEndpointInfo ep;
                ep.Address = c[pos + 2];
                ep.Attributes = c[pos + 3];
                ep.MaxPacketSize = (USHORT)(c[pos + 4] | c[pos + 5] << 8);
                ep.Interval = c[pos + 6];
                ep.Offset = pos;
                for (const EndpointRule& rule : kEndpointRules)
                    if (rule.Broken(ep, speed == EmuUsbSpeed::High))
                        Note(index, pos, rule.What);
                for (const SimEndpointInfo& o : alts.back().Endpoints)
                    if (o.Address == ep.Address)
                        Note(index, pos, "endpoint address given twice in one alternate setting");
                alts.back().Endpoints.push_back(ep);
                --expectEndpoints;
            }
        }
        else if (type == USB_AUDIO_CS_ENDPOINT)
        {
            if (!inInterface || alts.back().Endpoints.empty() ||
                alts.back().Endpoints.back().ClassOffset != 0)
                Note(index, pos,
                     "class-specific endpoint descriptor without its endpoint: "
                     "ignored");
            else
                alts.back().Endpoints.back().ClassOffset = pos;
        }
        else if (type == USB_AUDIO_CS_INTERFACE && alts.empty())
            Note(index, pos, "class-specific descriptor before any interface");
        pos += length;
    }
    closeInterface(total);
    size_t interfaces = 0;
    for (size_t i = 0; i < seen.size(); ++i)
    {
        bool first = true;
        for (size_t j = 0; j < i; ++j)
            first = first && seen[j].first != seen[i].first;
        interfaces += first ? 1 : 0;
    }
    if (interfaces != c[4])
        Note(index, 4, "bNumInterfaces differs from the interfaces present");
    parsed->Bytes = c;
    return {};
}

void SimDescriptorSet::CheckStringIndexes()
{
    auto check = [&](UCHAR stringIndex, const std::string& where)
    {
        const std::string note = "string " + std::to_string(stringIndex) + " named by " + where +
                                 " is not given: the device stalls its request";
        if (stringIndex != 0 && m_Strings.count(stringIndex) == 0 &&
            std::find(m_Notes.begin(), m_Notes.end(), note) == m_Notes.end())
            m_Notes.push_back(note);
    };
    check(m_DeviceView.iManufacturer, "the device descriptor");
    check(m_DeviceView.iProduct, "the device descriptor");
    check(m_DeviceView.iSerialNumber, "the device descriptor");
    for (size_t i = 0; i < m_Configs.size(); ++i)
    {
        const std::vector<UCHAR>& c = m_Configs[i].Bytes;
        const std::string where = "configuration " + std::to_string(i);
        check(c[6], where);
        for (const SimAltSetting& a : m_Configs[i].Alts)
            check(c[a.Offset + 8], where + " interface " + std::to_string(a.InterfaceNumber));
    }
}

std::vector<size_t> SimClassInterfaceDescriptors(const std::vector<UCHAR>& c,
                                                 const SimAltSetting& alt)
{
    std::vector<size_t> found;
    for (size_t pos = alt.Body; pos < alt.End; pos += c[pos])
        if (c[pos] >= 3 && c[pos + 1] == USB_AUDIO_CS_INTERFACE)
            found.push_back(pos);
    return found;
}

const SimAltSetting* SimDescriptorSet::FindAlt(UCHAR interfaceNumber, UCHAR alternateSetting) const
{
    for (const SimAltSetting& a : AltSettings())
        if (a.InterfaceNumber == interfaceNumber && a.AlternateSetting == alternateSetting)
            return &a;
    return nullptr;
}

const std::vector<UCHAR>* SimDescriptorSet::ConfigurationAt(UCHAR index) const
{
    if (index < m_Configs.size())
        return &m_Configs[index].Bytes;
    if (index < m_DeviceView.bNumConfigurations)
        return &m_Configs[0].Bytes;
    return nullptr;
}

int SimDescriptorSet::FindConfiguration(UCHAR value) const
{
    for (size_t i = 0; i < m_Configs.size(); ++i)
        if (m_Configs[i].Bytes[5] == value)
            return (int)i;
    return -1;
}

std::vector<UCHAR> SimDescriptorSet::StringDescriptor(UCHAR index) const
{
    std::vector<UCHAR> d;
    if (index == 0)
    {
        if (m_Strings.empty())
            return d;
        d = {4, USB_STRING_DESCRIPTOR_TYPE, 0x09, 0x04};
        return d;
    }
    auto it = m_Strings.find(index);
    if (it == m_Strings.end())
        return d;
    d.push_back((UCHAR)(2 + 2 * it->second.size()));
    d.push_back(USB_STRING_DESCRIPTOR_TYPE);
    for (char16_t ch : it->second)
    {
        d.push_back((UCHAR)(ch & 0xFF));
        d.push_back((UCHAR)(ch >> 8));
    }
    return d;
}
