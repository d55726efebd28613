#include "sim/devices/sim_descriptor_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string_view>
#include <vector>

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

// Hands the reader each line `data` ends, `*partial` the unfinished one
// before them; what is left unfinished stays there. A line past its bound is
// handed on as far as read, so the reader refuses it without more being held.
std::string FeedLines(SimDescriptorTextReader& reader, std::string_view data, std::string* partial)
{
    for (size_t end; (end = data.find('\n')) != std::string_view::npos; data.remove_prefix(end + 1))
    {
        partial->append(data.substr(0, end));
        const std::string e = reader.Line(*partial);
        partial->clear();
        if (!e.empty())
            return e;
    }
    partial->append(data);
    return partial->size() > kSimDescriptorLineMost ? reader.Line(*partial) : std::string();
}

// The last line, when the text does not end with a line end, then the end.
std::string FeedEnd(SimDescriptorTextReader& reader, const std::string& partial)
{
    const std::string e = partial.empty() ? std::string() : reader.Line(partial);
    return e.empty() ? reader.End() : e;
}
} // namespace

SimDescriptorTextReader::SimDescriptorTextReader(SimDescriptorSource* source) : m_Source(source)
{
    *m_Source = SimDescriptorSource();
}

std::string SimDescriptorTextReader::Fault(int line, const std::string& what) const
{
    return "line " + std::to_string(line) + ": " + what;
}

std::string SimDescriptorTextReader::Line(const std::string& raw)
{
    ++m_Line;
    m_Bytes += raw.size() + 1;
    if (raw.size() > kSimDescriptorLineMost)
        return Fault(m_Line, "longer than " + std::to_string(kSimDescriptorLineMost) +
                                 " characters, more than any descriptor line needs");
    if (m_Bytes > kSimDescriptorTextMost)
        return Fault(m_Line, "the text runs past " + std::to_string(kSimDescriptorTextMost) +
                                 " bytes, more than any device's descriptors need");
    const std::string line = Content(raw);
    std::string e;
    if (line.empty())
        return {};
    if (line.compare(0, 7, "string ") == 0)
        e = ReadString(line.substr(7), &m_Source->Strings);
    else if (line.compare(0, 6, "speed ") == 0)
        e = ReadSpeed(Content(line.substr(6)), &m_Source->Speed);
    else if (line.compare(0, 11, "clock-rates") == 0 && (line.size() == 11 || line[11] == ' '))
        e = ReadClockRates(line.substr(11), &m_Source->ClockRates);
    else
    {
        e = Descriptor(line);
        // A configuration that did not add up names its own line.
        if (e.compare(0, 5, "line ") == 0)
            return e;
    }
    return e.empty() ? e : Fault(m_Line, e);
}

std::string SimDescriptorTextReader::Descriptor(const std::string& line)
{
    std::vector<UCHAR> bytes;
    std::string e = ReadBytes(line, &bytes);
    if (!e.empty())
        return e;
    if (m_Source->Device.empty())
    {
        m_Source->Device = bytes;
        return bytes[1] != USB_DEVICE_DESCRIPTOR_TYPE
                   ? "the first descriptor must be the device descriptor"
                   : "";
    }
    if (bytes[1] == USB_CONFIGURATION_DESCRIPTOR_TYPE)
    {
        e = CloseConfiguration();
        if (e.empty() && bytes.size() < 9)
            e = "a configuration descriptor holds at least 9 bytes";
        m_Source->Configurations.push_back(bytes);
        m_ConfigLine = m_Line;
        return e;
    }
    if (m_Source->Configurations.empty())
        return "the configuration descriptor must follow the device descriptor";
    std::vector<UCHAR>& c = m_Source->Configurations.back();
    c.insert(c.end(), bytes.begin(), bytes.end());
    return c.size() > (size_t)(c[2] | c[3] << 8)
               ? "descriptor runs past the configuration's wTotalLength"
               : "";
}

std::string SimDescriptorTextReader::CloseConfiguration()
{
    if (m_Source->Configurations.empty())
        return {};
    const std::vector<UCHAR>& c = m_Source->Configurations.back();
    if ((size_t)(c[2] | c[3] << 8) != c.size())
        return Fault(m_ConfigLine, "wTotalLength differs from the bytes given");
    return {};
}

std::string SimDescriptorTextReader::End()
{
    std::string e = CloseConfiguration();
    if (!e.empty())
        return e;
    if (m_Source->Device.empty() || m_Source->Configurations.empty())
        return "text holds no device or no configuration descriptor";
    return {};
}

std::string SimParseDescriptorText(const std::string& text, SimDescriptorSource* source)
{
    SimDescriptorTextReader reader(source);
    std::string partial;
    const std::string e = FeedLines(reader, text, &partial);
    return e.empty() ? FeedEnd(reader, partial) : e;
}

std::string SimReadDescriptorFile(const char* path, SimDescriptorSource* source)
{
    // Not held by a named pipe that nothing writes to: only a regular file is read.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
    {
        *source = SimDescriptorSource();
        return std::string("cannot read ") + path;
    }
    const std::string e = SimReadDescriptorFile(fd, path, source);
    close(fd);
    return e;
}

std::string SimReadDescriptorFile(int fd, const char* path, SimDescriptorSource* source)
{
    SimDescriptorTextReader reader(source);
    const std::string cannot = std::string("cannot read ") + path;
    struct stat file;
    std::string e;
    if (fstat(fd, &file) != 0 || !S_ISREG(file.st_mode))
        e = cannot + ": not a regular file";
    std::vector<char> block(64 * 1024);
    std::string partial;
    ssize_t got = 0;
    while (e.empty() && (got = read(fd, block.data(), block.size())) > 0)
        e = FeedLines(reader, std::string_view(block.data(), (size_t)got), &partial);
    if (e.empty() && got < 0)
        e = cannot + ": " + strerror(errno);
    return e.empty() ? FeedEnd(reader, partial) : e;
}
