#include "sim/devices/sim_descriptor_text.h"

#include <cctype>
#include <cstdio>
#include <sstream>

namespace
{
// The line without its comment and surrounding blanks; a '#' inside quotes
// is text.
std::string Content(const std::string& line)
{
    std::string s = line;
    bool quoted = false;
    for (size_t i = 0; i < s.size(); ++i)
    {
        if (s[i] == '"')
            quoted = !quoted;
        else if (s[i] == '#' && !quoted)
        {
            s.resize(i);
            break;
        }
    }
    const size_t first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    const size_t last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}

// `string <index> "<text>"`: an empty result means success.
std::string ReadString(const std::string& rest, std::map<UCHAR, std::u16string>* strings)
{
    unsigned index = 0;
    int used = 0;
    if (sscanf(rest.c_str(), "%u %n", &index, &used) != 1 || index == 0 || index > 255)
        return "string index must be 1 to 255";
    const std::string quoted = rest.substr(used);
    const size_t close = quoted.rfind('"');
    if (quoted.size() < 2 || quoted[0] != '"' || close != quoted.size() - 1)
        return "string text must be one quoted text";
    std::u16string value;
    for (size_t i = 1; i < close; ++i)
    {
        const unsigned char ch = (unsigned char)quoted[i];
        if (ch < 0x20 || ch >= 0x80)
            return "string text must be printable ASCII";
        value.push_back(ch);
    }
    if (strings->count((UCHAR)index))
        return "string index given twice";
    (*strings)[(UCHAR)index] = value;
    return {};
}

std::string ReadSpeed(const std::string& rest, std::optional<EmuUsbSpeed>* speed)
{
    if (speed->has_value())
        return "speed given twice";
    if (rest == "full")
        *speed = EmuUsbSpeed::Full;
    else if (rest == "high")
        *speed = EmuUsbSpeed::High;
    else
        return "speed must be full or high";
    return {};
}

// `clock-rates <Hz> ...`: the rates of the device's class 2.0 clock sources.
std::string ReadClockRates(const std::string& rest, std::vector<ULONG>* rates)
{
    if (!rates->empty())
        return "clock-rates given twice";
    std::istringstream tokens(rest);
    std::string token;
    while (tokens >> token)
    {
        if (token.find_first_not_of("0123456789") != std::string::npos || token.size() > 7 ||
            std::stoul(token) == 0)
            return "clock rates must be rates in Hz, 1 to 9999999";
        rates->push_back((ULONG)std::stoul(token));
    }
    if (rates->empty())
        return "clock-rates names no rate";
    return {};
}

std::string ReadBytes(const std::string& line, std::vector<UCHAR>* bytes)
{
    std::istringstream tokens(line);
    std::string token;
    while (tokens >> token)
    {
        if (token.size() != 2 || !isxdigit((unsigned char)token[0]) ||
            !isxdigit((unsigned char)token[1]))
            return "bytes must be two hex digits each";
        bytes->push_back((UCHAR)std::stoul(token, nullptr, 16));
    }
    if (bytes->size() < 2)
        return "a descriptor has at least bLength and bDescriptorType";
    if ((*bytes)[0] != bytes->size())
        return "bLength differs from the bytes on the line";
    return {};
}
} // namespace

std::string SimParseDescriptorText(const std::string& text, SimDescriptorSource* source)
{
    *source = SimDescriptorSource();
    std::istringstream in(text);
    std::string raw;
    int lineNumber = 0;
    int configLine = 0; // the line of the configuration being read
    auto fail = [&](int line, const std::string& what)
    { return "line " + std::to_string(line) + ": " + what; };
    // A configuration must end exactly at its wTotalLength.
    auto closeConfiguration = [&]() -> std::string
    {
        if (source->Configurations.empty())
            return {};
        const std::vector<UCHAR>& c = source->Configurations.back();
        if ((size_t)(c[2] | c[3] << 8) != c.size())
            return fail(configLine, "wTotalLength differs from the bytes given");
        return {};
    };
    while (std::getline(in, raw))
    {
        ++lineNumber;
        const std::string line = Content(raw);
        if (line.empty())
            continue;
        std::string e;
        if (line.compare(0, 7, "string ") == 0)
            e = ReadString(line.substr(7), &source->Strings);
        else if (line.compare(0, 6, "speed ") == 0)
            e = ReadSpeed(Content(line.substr(6)), &source->Speed);
        else if (line.compare(0, 11, "clock-rates") == 0 && (line.size() == 11 || line[11] == ' '))
            e = ReadClockRates(line.substr(11), &source->ClockRates);
        else
        {
            std::vector<UCHAR> bytes;
            e = ReadBytes(line, &bytes);
            if (e.empty() && source->Device.empty())
            {
                if (bytes[1] != USB_DEVICE_DESCRIPTOR_TYPE)
                    e = "the first descriptor must be the device descriptor";
                source->Device = bytes;
            }
            else if (e.empty() && bytes[1] == USB_CONFIGURATION_DESCRIPTOR_TYPE)
            {
                e = closeConfiguration();
                if (e.empty() && bytes.size() < 9)
                    e = "a configuration descriptor holds at least 9 bytes";
                source->Configurations.push_back(bytes);
                configLine = lineNumber;
            }
            else if (e.empty() && source->Configurations.empty())
                e = "the configuration descriptor must follow the device descriptor";
            else if (e.empty())
            {
                std::vector<UCHAR>& c = source->Configurations.back();
                c.insert(c.end(), bytes.begin(), bytes.end());
                if (c.size() > (size_t)(c[2] | c[3] << 8))
                    e = "descriptor runs past the configuration's wTotalLength";
            }
            if (!e.empty() && e.compare(0, 5, "line ") == 0)
                return e;
        }
        if (!e.empty())
            return fail(lineNumber, e);
    }
    std::string e = closeConfiguration();
    if (!e.empty())
        return e;
    if (source->Device.empty() || source->Configurations.empty())
        return "text holds no device or no configuration descriptor";
    return {};
}
