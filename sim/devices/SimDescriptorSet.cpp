#include "sim/devices/SimDescriptorSet.h"

#include <cstdio>
#include <set>
#include <sstream>

namespace
{
std::string Fault(size_t offset, const char* what)
{
    char text[160];
    snprintf(text, sizeof(text), "configuration offset %zu: %s", offset, what);
    return text;
}

// Smallest lengths of the AudioControl descriptors the simulated function
// understands, by class version and subtype.
size_t MinimumAcLength(bool uac2, UCHAR subtype)
{
    switch (subtype)
    {
    case USB_AUDIO_AC_HEADER:
        return uac2 ? 9 : 8;
    case USB_AUDIO_INPUT_TERMINAL:
        return uac2 ? 17 : 12;
    case USB_AUDIO_OUTPUT_TERMINAL:
        return uac2 ? 12 : 9;
    case USB_AUDIO_MIXER_UNIT:
        return uac2 ? 13 : 10;
    case USB_AUDIO_SELECTOR_UNIT:
        return uac2 ? 7 : 6;
    case USB_AUDIO_FEATURE_UNIT:
        return uac2 ? 14 : 7;
    case USB_AUDIO20_CLOCK_SOURCE_SUBTYPE:
        return uac2 ? 8 : 4;
    default:
        return 4; // every entity carries its id after the subtype
    }
}
} // namespace

std::string SimDescriptorSet::Build(const std::vector<UCHAR>& device,
                                    const std::vector<UCHAR>& configuration,
                                    const std::map<UCHAR, std::u16string>& strings)
{
    if (device.size() != sizeof(USB_DEVICE_DESCRIPTOR) || device[0] != 18 ||
        device[1] != USB_DEVICE_DESCRIPTOR_TYPE)
        return "device descriptor: not 18 bytes of type 1";
    UCHAR ep0 = device[7];
    if (ep0 != 8 && ep0 != 16 && ep0 != 32 && ep0 != 64)
        return "device descriptor: bMaxPacketSize0 not 8, 16, 32 or 64";
    if (device[17] != 1)
        return "device descriptor: bNumConfigurations is not 1";
    bool highSpeed = (device[2] | device[3] << 8) >= 0x0200;

    const std::vector<UCHAR>& c = configuration;
    if (c.size() < 9 || c[0] != 9 || c[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE)
        return Fault(0, "configuration descriptor: not 9 bytes of type 2");
    size_t total = c[2] | c[3] << 8;
    if (total != c.size())
        return Fault(2, "wTotalLength differs from the bytes given");
    if (c[5] == 0)
        return Fault(5, "bConfigurationValue 0 is reserved for the unconfigured state");

    std::vector<SimAltSetting> alts;
    std::set<UCHAR> numbers;
    size_t expectEndpoints = 0;
    bool inAudioControl = false, uac2 = false;
    size_t acHeaderTotal = 0, acSum = 0, acHeaderOffset = 0;
    auto closeAudioControl = [&]() -> std::string
    {
        if (inAudioControl && acHeaderTotal != acSum)
            return Fault(acHeaderOffset, "AudioControl header wTotalLength differs from its "
                                         "class-specific descriptors");
        inAudioControl = false;
        return {};
    };
    size_t pos = 9;
    while (pos < total)
    {
        if (total - pos < 2)
            return Fault(pos, "descriptor header cut short");
        UCHAR length = c[pos], type = c[pos + 1];
        if (length < 2)
            return Fault(pos, "bLength below 2");
        if (length > total - pos)
            return Fault(pos, "descriptor runs past wTotalLength");
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE)
        {
            if (length != 9)
                return Fault(pos, "interface descriptor not 9 bytes");
            if (expectEndpoints != 0)
                return Fault(pos, "previous interface has fewer endpoints than bNumEndpoints");
            std::string e = closeAudioControl();
            if (!e.empty())
                return e;
            if (!alts.empty())
                alts.back().End = pos;
            SimAltSetting a;
            a.InterfaceNumber = c[pos + 2];
            a.AlternateSetting = c[pos + 3];
            a.Class = c[pos + 5];
            a.SubClass = c[pos + 6];
            a.Protocol = c[pos + 7];
            a.Offset = pos;
            for (const SimAltSetting& o : alts)
                if (o.InterfaceNumber == a.InterfaceNumber &&
                    o.AlternateSetting == a.AlternateSetting)
                    return Fault(pos, "interface and alternate setting given twice");
            if (a.AlternateSetting != 0 && !numbers.count(a.InterfaceNumber))
                return Fault(pos, "alternate setting before alternate setting 0");
            numbers.insert(a.InterfaceNumber);
            expectEndpoints = c[pos + 4];
            if (a.Class == USB_DEVICE_CLASS_AUDIO && a.SubClass == USB_AUDIO_SUBCLASS_AUDIOCONTROL)
            {
                inAudioControl = true;
                uac2 = a.Protocol == USB_AUDIO_PROTOCOL_IP_VERSION_02_00;
                acHeaderTotal = 0;
                acSum = 0;
            }
            alts.push_back(a);
        }
        else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE)
        {
            if (length != 7 && length != 9)
                return Fault(pos, "endpoint descriptor not 7 or 9 bytes");
            if (alts.empty() || expectEndpoints == 0)
                return Fault(pos, "endpoint descriptor outside an interface's bNumEndpoints");
            SimEndpointInfo ep;
            ep.Address = c[pos + 2];
            ep.Attributes = c[pos + 3];
            ep.MaxPacketSize = (USHORT)(c[pos + 4] | c[pos + 5] << 8);
            ep.Interval = c[pos + 6];
            ep.Offset = pos;
            if ((ep.Address & 0x0F) == 0 || (ep.Address & 0x70) != 0)
                return Fault(pos, "bEndpointAddress not 1 to 15 with the direction bit");
            ULONG size = ep.MaxPacketSize & 0x7FF, mult = (ep.MaxPacketSize >> 11) & 3;
            UCHAR kind = ep.Attributes & USB_ENDPOINT_TYPE_MASK;
            if (kind == USB_ENDPOINT_TYPE_CONTROL)
                return Fault(pos, "control endpoint in an interface");
            if (mult == 3 || (mult != 0 && !highSpeed))
                return Fault(pos, "wMaxPacketSize transactions per microframe invalid");
            if (kind == USB_ENDPOINT_TYPE_ISOCHRONOUS && size > (highSpeed ? 1024u : 1023u))
                return Fault(pos, "isochronous wMaxPacketSize too large");
            if ((kind == USB_ENDPOINT_TYPE_ISOCHRONOUS || kind == USB_ENDPOINT_TYPE_INTERRUPT) &&
                (ep.Interval == 0 || (highSpeed && ep.Interval > 16)))
                return Fault(pos, "bInterval out of range");
            for (const SimEndpointInfo& o : alts.back().Endpoints)
                if (o.Address == ep.Address)
                    return Fault(pos, "endpoint address given twice in one alternate setting");
            alts.back().Endpoints.push_back(ep);
            --expectEndpoints;
        }
        else if (type == USB_AUDIO_CS_ENDPOINT)
        {
            if (alts.empty() || alts.back().Endpoints.empty() ||
                alts.back().Endpoints.back().ClassOffset != 0)
                return Fault(pos, "class-specific endpoint descriptor without its endpoint");
            alts.back().Endpoints.back().ClassOffset = pos;
        }
        else if (type == USB_AUDIO_CS_INTERFACE)
        {
            if (alts.empty())
                return Fault(pos, "class-specific descriptor before any interface");
            if (length < 3)
                return Fault(pos, "class-specific descriptor without a subtype");
            if (inAudioControl)
            {
                UCHAR subtype = c[pos + 2];
                if (length < MinimumAcLength(uac2, subtype))
                    return Fault(pos, "AudioControl descriptor shorter than its subtype");
                if (subtype == USB_AUDIO_AC_HEADER)
                {
                    acHeaderOffset = pos;
                    acHeaderTotal =
                        uac2 ? (c[pos + 6] | c[pos + 7] << 8) : (c[pos + 5] | c[pos + 6] << 8);
                }
                acSum += length;
            }
        }
        pos += length;
    }
    if (expectEndpoints != 0)
        return Fault(pos, "last interface has fewer endpoints than bNumEndpoints");
    std::string e = closeAudioControl();
    if (!e.empty())
        return e;
    if (!alts.empty())
        alts.back().End = total;
    if (numbers.size() != c[4])
        return Fault(4, "bNumInterfaces differs from the interfaces present");

    for (const auto& s : strings)
    {
        if (s.first == 0)
            return "string 0 is the language list and is not given as text";
        if (s.second.size() > 126)
            return "string longer than 126 characters";
    }
    auto checkIndex = [&](UCHAR index) { return index == 0 || strings.count(index) != 0; };
    if (!checkIndex(device[14]) || !checkIndex(device[15]) || !checkIndex(device[16]))
        return "device descriptor names a string that is not given";

    m_Device = device;
    m_Configuration = configuration;
    m_Strings = strings;
    m_Alts = std::move(alts);
    return {};
}

const SimAltSetting* SimDescriptorSet::FindAlt(UCHAR interfaceNumber, UCHAR alternateSetting) const
{
    for (const SimAltSetting& a : m_Alts)
        if (a.InterfaceNumber == interfaceNumber && a.AlternateSetting == alternateSetting)
            return &a;
    return nullptr;
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

std::string SimParseDescriptorText(const std::string& text, std::vector<UCHAR>* device,
                                   std::vector<UCHAR>* configuration,
                                   std::map<UCHAR, std::u16string>* strings)
{
    device->clear();
    configuration->clear();
    strings->clear();
    std::istringstream in(text);
    std::string line;
    int lineNumber = 0;
    auto fail = [&](const char* what)
    {
        char msg[200];
        snprintf(msg, sizeof(msg), "line %d: %s", lineNumber, what);
        return std::string(msg);
    };
    while (std::getline(in, line))
    {
        ++lineNumber;
        size_t hash = std::string::npos;
        bool quoted = false;
        for (size_t i = 0; i < line.size(); ++i)
        {
            if (line[i] == '"')
                quoted = !quoted;
            else if (line[i] == '#' && !quoted)
            {
                hash = i;
                break;
            }
        }
        if (hash != std::string::npos)
            line.resize(hash);
        size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos)
            continue;
        line = line.substr(first);
        if (line.compare(0, 7, "string ") == 0)
        {
            unsigned index = 0;
            int used = 0;
            if (sscanf(line.c_str() + 7, "%u %n", &index, &used) != 1 || index == 0 || index > 255)
                return fail("string index must be 1 to 255");
            std::string rest = line.substr(7 + used);
            size_t close = rest.rfind('"');
            if (rest.empty() || rest[0] != '"' || close == 0 || close == std::string::npos ||
                rest.find_first_not_of(" \t\r", close + 1) != std::string::npos)
                return fail("string text must be one quoted text");
            std::u16string value;
            std::string body = rest.substr(1, close - 1);
            for (size_t i = 0; i < body.size(); ++i)
            {
                unsigned char ch = (unsigned char)body[i];
                if (ch >= 0x80)
                    return fail("string text must be printable ASCII");
                if (ch < 0x20)
                    return fail("string text must be printable ASCII");
                value.push_back(ch);
            }
            if (strings->count((UCHAR)index))
                return fail("string index given twice");
            (*strings)[(UCHAR)index] = value;
            continue;
        }
        std::vector<UCHAR> bytes;
        std::istringstream tokens(line);
        std::string token;
        while (tokens >> token)
        {
            if (token.size() != 2 || !isxdigit((unsigned char)token[0]) ||
                !isxdigit((unsigned char)token[1]))
                return fail("bytes must be two hex digits each");
            bytes.push_back((UCHAR)std::stoul(token, nullptr, 16));
        }
        if (bytes.size() < 2)
            return fail("a descriptor has at least bLength and bDescriptorType");
        if (bytes[0] != bytes.size())
            return fail("bLength differs from the bytes on the line");
        if (device->empty())
        {
            if (bytes[1] != USB_DEVICE_DESCRIPTOR_TYPE)
                return fail("the first descriptor must be the device descriptor");
            *device = bytes;
        }
        else
        {
            if (configuration->empty() && bytes[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE)
                return fail("the configuration descriptor must follow the device descriptor");
            if (!configuration->empty() && bytes[1] == USB_CONFIGURATION_DESCRIPTOR_TYPE)
                return fail("only one configuration is supported");
            if (bytes[1] == USB_DEVICE_DESCRIPTOR_TYPE)
                return fail("a second device descriptor");
            configuration->insert(configuration->end(), bytes.begin(), bytes.end());
            if (configuration->size() > 0xFFFF)
                return fail("configuration longer than 65535 bytes");
        }
    }
    if (device->empty() || configuration->empty())
        return "text holds no device or no configuration descriptor";
    return {};
}
