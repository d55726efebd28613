#include "usbaudio/uac1/left_out_streams.h"

#include <stdarg.h>
#include <string.h>

#include "streaming/usb/audio_data_endpoint.h"
#include "usbaudio/uac1/type_i_coding.h"

namespace
{
constexpr ULONG c_InterfaceBytes = 9;
constexpr char c_CutMark[] = "...";
constexpr ULONG c_Uac2GeneralFormatType = 5;

// Where the channel count and the sample's size and resolution of a format
// sit: class 1.0 has all in the format-type descriptor, class 2.0 its
// channels in the general descriptor and the subslot size and resolution in
// the format type. The coding's source: the class 1.0 format tag, the class
// 2.0 format bitmap, of the general descriptor.
struct FormatFields
{
    UCHAR ChannelsInGeneral;
    UCHAR ChannelsInFormatType;
    UCHAR SampleBytes;
    UCHAR Resolution;
    UCHAR CodingAt;
    UCHAR CodingBytes;
    PCSTR CodingSource;
};
constexpr FormatFields c_FormatFields[] = {{0, 4, 5, 6, 5, 2, "format tag"},
                                           {10, 0, 4, 5, 6, 4, "format bitmap"}};

const FormatFields& FieldsOf(const StreamingWalkClass& walker)
{
    return c_FormatFields[walker.Version == AudioDescriptorVersion::Uac1 ? 0 : 1];
}

ULONG ReadLittleEndian(const UCHAR* p, ULONG bytes)
{
    ULONG value = 0;
    for (ULONG i = 0; i < bytes; ++i)
        value |= (ULONG)p[i] << (8 * i);
    return value;
}

// The format type a class 1.0 format tag belongs to, by its top hex digit; a
// tag past them names none.
struct TagFamily
{
    USHORT Top;
    UCHAR FormatType;
};
constexpr USHORT c_TagFamilyMask = 0xF000;
constexpr TagFamily c_TagFamilies[] = {{0x0000, USB_AUDIO_FORMAT_TYPE_I},
                                       {0x1000, USB_AUDIO_FORMAT_TYPE_II},
                                       {0x2000, USB_AUDIO_FORMAT_TYPE_III}};

// The format type a general descriptor names for its formats: class 2.0
// states it, class 1.0 its format tag implies it; 0 for none.
UCHAR NamedFormatType(const StreamingWalkClass& walker, const UCHAR* general)
{
    if (general == nullptr)
        return 0;
    if (walker.Version != AudioDescriptorVersion::Uac1)
        return general[c_Uac2GeneralFormatType];
    const FormatFields& fields = FieldsOf(walker);
    const ULONG tag = ReadLittleEndian(general + fields.CodingAt, fields.CodingBytes);
    for (const TagFamily& family : c_TagFamilies)
        if ((tag & c_TagFamilyMask) == family.Top)
            return family.FormatType;
    return 0;
}

bool InWalkedInterface(const UCHAR* d)
{
    return d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE || d[1] == USB_AUDIO_CS_INTERFACE ||
           d[1] == USB_AUDIO_CS_ENDPOINT;
}

bool TestBit(const ULONG* bits, UCHAR index)
{
    return (bits[index / 32] & (1u << (index % 32))) != 0;
}

void SetBit(ULONG* bits, UCHAR index)
{
    bits[index / 32] |= 1u << (index % 32);
}
} // namespace

void DebugLineText::Append(PCSTR format, ...)
{
    const size_t used = strlen(Text);
    if (Cut || used + sizeof(c_CutMark) >= Bytes)
        return;
    va_list args;
    va_start(args, format);
    // Room is kept for the "..." and its end.
    const NTSTATUS status =
        RtlStringCbVPrintfA(Text + used, Bytes - used - sizeof(c_CutMark), format, args);
    va_end(args);
    if (NT_SUCCESS(status))
        return;
    Text[used] = 0;
    RtlStringCbCatA(Text, Bytes, c_CutMark);
    Cut = true;
}

// ----------------------------------------------------------------------------
// Settings judged before the walk

enum class StreamingSettings::Fault : UCHAR
{
    None,
    DescribedTwice,
    EndpointsMiscounted,
    TwoFormatTypes,
    FormatTypeDiffers,
    EndpointAgainstTerminal
};

struct StreamingSettings::SettingFacts
{
    const UCHAR* General = nullptr;    // its own first general descriptor
    const UCHAR* FormatType = nullptr; // its first format-type descriptor
    ULONG FormatTypes = 0;
    const USB_ENDPOINT_DESCRIPTOR* DataEndpoint = nullptr;
    ULONG EndpointsHeld = 0; // endpoint descriptors up to the next interface descriptor
};

StreamingSettings::StreamingSettings(CUsbAudioDevice* device, const StreamingWalkClass& walker,
                                     const UCHAR* configuration, const UCHAR* end)
    : m_Device(device), m_Walker(walker), m_Configuration(configuration), m_End(end)
{
}

bool StreamingSettings::IsMalformed(UCHAR alternateSetting) const
{
    return TestBit(m_Malformed, alternateSetting);
}

void StreamingSettings::ReadSetting(const UCHAR* setting, SettingFacts* facts) const
{
    for (const UCHAR* d = setting + setting[0];
         d < m_End && DescriptorFits(d, (ULONG)(m_End - d)) && InWalkedInterface(d); d += d[0])
    {
        const DescriptorVerdict verdict = CheckAudioDescriptor(
            m_Walker.Version, AudioInterfaceKind::AudioStreaming, d, (ULONG)(m_End - d));
        if (d[1] != USB_AUDIO_CS_INTERFACE || verdict != DescriptorVerdict::Valid)
            continue;
        if (d[2] == USB_AUDIO_AS_GENERAL && facts->General == nullptr)
            facts->General = d;
        if (d[2] == USB_AUDIO_FORMAT_TYPE && facts->FormatTypes++ == 0)
            facts->FormatType = d;
    }
    facts->DataEndpoint = FindAudioDataEndpoint(setting, m_End, &facts->EndpointsHeld);
}

ULONG StreamingSettings::Descriptions(UCHAR number, UCHAR alternateSetting) const
{
    ULONG count = 0;
    for (const UCHAR* d = m_Configuration; d < m_End && DescriptorFits(d, (ULONG)(m_End - d));
         d += d[0])
        if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE && d[0] >= c_InterfaceBytes && d[2] == number &&
            d[3] == alternateSetting)
            ++count;
    return count;
}

bool StreamingSettings::RunsAgainstTerminal(const UCHAR* general,
                                            const USB_ENDPOINT_DESCRIPTOR* endpoint) const
{
    CUacUnit* terminal = nullptr;
    ULONG direction = 0, link = 0;
    if (general == nullptr || endpoint == nullptr ||
        !NT_SUCCESS(FindStreamTerminal(m_Device, general[3], &terminal, &direction, &link)))
        return false;
    return USB_ENDPOINT_DIRECTION_IN(endpoint->bEndpointAddress) !=
           (direction == STREAM_DIRECTION_CAPTURE);
}

StreamingSettings::Fault StreamingSettings::Judge(const UCHAR* setting,
                                                  const SettingFacts& facts) const
{
    const UCHAR* general = facts.General != nullptr ? facts.General : m_LastGeneral;
    if (Descriptions(setting[2], setting[3]) > 1)
        return Fault::DescribedTwice;
    // Selecting the setting opens the pipes it declares: a count that differs
    // from its endpoints leaves it without its data or feedback pipe, or
    // refused by the bus. Setting 0 is checked with the configuration.
    if (setting[3] != 0 && setting[4] != facts.EndpointsHeld)
        return Fault::EndpointsMiscounted;
    if (facts.FormatTypes > 1)
        return Fault::TwoFormatTypes;
    const UCHAR named = NamedFormatType(m_Walker, general);
    if (named != 0 && facts.FormatType != nullptr && facts.FormatType[3] != named)
        return Fault::FormatTypeDiffers;
    if (RunsAgainstTerminal(facts.General != nullptr ? facts.General : m_StreamGeneral,
                            facts.DataEndpoint))
        return Fault::EndpointAgainstTerminal;
    return Fault::None;
}

void StreamingSettings::ReportMalformed(const UCHAR* setting, const SettingFacts& facts,
                                        Fault fault) const
{
    const UCHAR number = setting[2], alternateSetting = setting[3];
    const UCHAR* typed = facts.General != nullptr ? facts.General : m_LastGeneral;
    const UCHAR* linked = facts.General != nullptr ? facts.General : m_StreamGeneral;
    if (fault == Fault::DescribedTwice)
        DbgPrint("UsbAudio: AudioStreaming interface %u alternate setting %u is described %u "
                 "times (which one the device means is not known): malformed, left out\n",
                 number, alternateSetting, Descriptions(number, alternateSetting));
    else if (fault == Fault::EndpointsMiscounted)
        DbgPrint("UsbAudio: AudioStreaming interface %u alternate setting %u declares %u "
                 "endpoint(s) and holds %u: malformed, left out\n",
                 number, alternateSetting, setting[4], facts.EndpointsHeld);
    else if (fault == Fault::TwoFormatTypes)
        DbgPrint("UsbAudio: AudioStreaming interface %u alternate setting %u has %u format-type "
                 "descriptors: malformed, left out\n",
                 number, alternateSetting, facts.FormatTypes);
    else if (fault == Fault::FormatTypeDiffers)
    {
        // Class 1.0 names the type by its format tag, which the line gives.
        const FormatFields& fields = FieldsOf(m_Walker);
        DebugLineText general;
        if (m_Walker.Version == AudioDescriptorVersion::Uac1)
            general.Append("format tag 0x%04X (Type %u)",
                           ReadLittleEndian(typed + fields.CodingAt, fields.CodingBytes),
                           NamedFormatType(m_Walker, typed));
        else
            general.Append("Type %u", NamedFormatType(m_Walker, typed));
        DbgPrint("UsbAudio: AudioStreaming interface %u alternate setting %u has a format-type "
                 "descriptor of Type %u and a general descriptor of %s: malformed, left out\n",
                 number, alternateSetting, facts.FormatType[3], general.Text);
    }
    else
    {
        const bool in = USB_ENDPOINT_DIRECTION_IN(facts.DataEndpoint->bEndpointAddress);
        DbgPrint("UsbAudio: AudioStreaming interface %u alternate setting %u links to %s "
                 "terminal %u but its data endpoint 0x%02X is %s: malformed, left out\n",
                 number, alternateSetting, in ? "input" : "output", linked[3],
                 facts.DataEndpoint->bEndpointAddress, in ? "IN" : "OUT");
    }
}

bool StreamingSettings::LeaveOutIfMalformed(const UCHAR* setting)
{
    const UCHAR alternateSetting = setting[3];
    if (IsMalformed(alternateSetting))
        return true; // named at its first description
    SettingFacts facts;
    ReadSetting(setting, &facts);
    const Fault fault = Judge(setting, facts);
    if (fault == Fault::None)
        return false;
    ReportMalformed(setting, facts, fault);
    SetBit(m_Malformed, alternateSetting);
    m_Findings.Append("%salternate setting %u is malformed", m_Findings.Text[0] ? ", " : "",
                      alternateSetting);
    return true;
}

bool StreamingSettings::FormatCarried(const UCHAR* d, UCHAR alternateSetting)
{
    const FormatFields& fields = FieldsOf(m_Walker);
    const ULONG channels = fields.ChannelsInFormatType != 0
                               ? d[fields.ChannelsInFormatType]
                               : m_LastGeneral[fields.ChannelsInGeneral];
    const ULONG sampleBytes = d[fields.SampleBytes], resolution = d[fields.Resolution];
    const bool typeI = d[3] == USB_AUDIO_FORMAT_TYPE_I;
    // Types I and III give the sample's size and resolution there; the
    // other types, which the walk refuses, give other fields, and only a
    // zero size byte leaves them out here.
    const bool samples = typeI || d[3] == USB_AUDIO_FORMAT_TYPE_III
                             ? SampleFieldsUsable(sampleBytes, resolution)
                             : sampleBytes != 0;
    const TypeICoding coding = m_LastGeneral != nullptr
                                   ? GeneralTypeICoding(m_Walker.Version, m_LastGeneral)
                                   : TypeICoding::Pcm;
    const bool carried = !typeI || TypeICodingCarries(coding, sampleBytes);
    m_Findings.Append("%salternate setting %u has %u channel(s)", m_Findings.Text[0] ? ", " : "",
                      alternateSetting, channels);
    if (!samples)
        m_Findings.Append(" in %u-byte samples of %u bits", sampleBytes, resolution);
    else if (!carried)
        m_Findings.Append(" in %u-byte samples coded by %s 0x%X", sampleBytes, fields.CodingSource,
                          ReadLittleEndian(m_LastGeneral + fields.CodingAt, fields.CodingBytes));
    return channels != 0 && channels <= STREAM_MAX_CHANNELS && samples && carried;
}

bool StreamingSettings::CarriesAFormat(PUCHAR position, UCHAR number, PUCHAR* interfaceEnd)
{
    bool usable = false, malformed = false;
    UCHAR alternateSetting = 0;
    for (; position < m_End; position += position[0])
    {
        const UCHAR* d = position;
        const ULONG left = (ULONG)(m_End - position);
        if (!DescriptorFits(d, left))
            return true;
        if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE)
        {
            if (d[0] < c_InterfaceBytes || d[2] != number)
                break;
            alternateSetting = d[3];
            malformed = LeaveOutIfMalformed(d);
            continue;
        }
        if (!InWalkedInterface(d))
            break;
        if (d[1] != USB_AUDIO_CS_INTERFACE || malformed)
            continue;
        const DescriptorVerdict verdict =
            CheckAudioDescriptor(m_Walker.Version, AudioInterfaceKind::AudioStreaming, d, left);
        if (verdict != DescriptorVerdict::Valid && verdict != DescriptorVerdict::NoRule)
            return true;
        if (d[2] == USB_AUDIO_AS_GENERAL)
        {
            m_StreamGeneral = m_StreamGeneral != nullptr ? m_StreamGeneral : d;
            m_LastGeneral = d;
        }
        if (d[2] != USB_AUDIO_FORMAT_TYPE)
            continue;
        if (FieldsOf(m_Walker).ChannelsInFormatType == 0 && m_LastGeneral == nullptr)
            return true; // a format before its general descriptor: the walk refuses it
        usable = FormatCarried(d, alternateSetting) || usable;
    }
    *interfaceEnd = position;
    if (!usable && m_Findings.Text[0] == 0)
        m_Findings.Append("no alternate setting has a format");
    return usable;
}

// ----------------------------------------------------------------------------
// Interfaces left out

void LeftOutInterfaces::Add(UCHAR number)
{
    SetBit(m_Numbers, number);
}

bool LeftOutInterfaces::Any() const
{
    for (const ULONG bits : m_Numbers)
        if (bits != 0)
            return true;
    return false;
}

void LeftOutInterfaces::ReportNoStreamLeft() const
{
    ULONG count = 0;
    for (ULONG n = 0; n < 256; ++n)
        count += TestBit(m_Numbers, (UCHAR)n) ? 1 : 0;
    DebugLineText list;
    ULONG listed = 0;
    for (ULONG n = 0; n < 256; ++n)
    {
        if (!TestBit(m_Numbers, (UCHAR)n))
            continue;
        list.Append("%s%u", listed == 0 ? "" : listed + 1 == count ? " and " : ", ", n);
        ++listed;
    }
    DbgPrint("UsbAudio: no audio stream left: AudioStreaming interface%s %s left out\n",
             count > 1 ? "s" : "", list.Text);
}
