#include "sim/devices/sim_usb_device.h"

#include <cstdio>
#include <cstring>

bool SimRequestMatch::Matches(const USB_DEFAULT_PIPE_SETUP_PACKET& s) const
{
    return (RequestType < 0 || RequestType == s.bmRequestType) &&
           (Request < 0 || Request == s.bRequest) && (Value < 0 || Value == s.wValue) &&
           (Index < 0 || Index == s.wIndex);
}

std::string SimRequestRecord::Text() const
{
    char head[40];
    snprintf(head, sizeof(head), "%02X %02X %04X %04X %04X", Setup.bmRequestType, Setup.bRequest,
             Setup.wValue, Setup.wIndex, Setup.wLength);
    std::string text = head;
    if (!Data.empty())
    {
        text += (Setup.bmRequestType & 0x80) ? " >" : " <";
        for (UCHAR b : Data)
        {
            char hex[4];
            snprintf(hex, sizeof(hex), " %02X", b);
            text += hex;
        }
    }
    switch (Result)
    {
    case EmuUsbHandshake::Stall:
        return text + " STALL";
    case EmuUsbHandshake::NoResponse:
        return text + " NAK";
    case EmuUsbHandshake::Unplug:
        return text + " GONE";
    default:
        return text;
    }
}

std::unique_ptr<SimUsbDevice> SimUsbDevice::Create(const SimDescriptorSource& source,
                                                   EmuUsbSpeed speed, std::string* error,
                                                   SimLoadCheck check)
{
    std::unique_ptr<SimUsbDevice> d(new SimUsbDevice());
    std::string e = d->m_Descriptors.Build(source, speed);
    if (e.empty())
        e = d->Init(speed, check);
    if (!e.empty())
    {
        if (error)
            *error = e;
        return nullptr;
    }
    return d;
}

std::unique_ptr<SimUsbDevice> SimUsbDevice::Create(const std::vector<UCHAR>& device,
                                                   const std::vector<UCHAR>& configuration,
                                                   const std::map<UCHAR, std::u16string>& strings,
                                                   EmuUsbSpeed speed, std::string* error,
                                                   SimLoadCheck check)
{
    SimDescriptorSource source;
    source.Device = device;
    source.Configurations = {configuration};
    source.Strings = strings;
    return Create(source, speed, error, check);
}

namespace
{
// A device of the descriptors read from text, or null with *error saying
// why. The speed is the connection's: bcdUSB decides only when nothing else does.
std::unique_ptr<SimUsbDevice> FromText(const std::string& read, SimDescriptorSource& source,
                                       std::optional<EmuUsbSpeed> speed, std::string* error)
{
    if (!read.empty())
    {
        if (error)
            *error = read;
        return nullptr;
    }
    const USHORT bcd = source.Device.size() >= 4 ? source.Device[2] | source.Device[3] << 8 : 0;
    EmuUsbSpeed connection = speed.value_or(
        source.Speed.value_or(bcd >= 0x0200 ? EmuUsbSpeed::High : EmuUsbSpeed::Full));
    return SimUsbDevice::Create(source, connection, error);
}
} // namespace

std::unique_ptr<SimUsbDevice> SimUsbDevice::CreateFromText(const std::string& text,
                                                           std::optional<EmuUsbSpeed> speed,
                                                           std::string* error)
{
    SimDescriptorSource source;
    const std::string read = SimParseDescriptorText(text, &source);
    return FromText(read, source, speed, error);
}

std::unique_ptr<SimUsbDevice>
SimUsbDevice::CreateFromFile(const char* path, std::optional<EmuUsbSpeed> speed, std::string* error)
{
    SimDescriptorSource source;
    const std::string read = SimReadDescriptorFile(path, &source);
    return FromText(read, source, speed, error);
}

std::string SimUsbDevice::Init(EmuUsbSpeed speed, SimLoadCheck check)
{
    m_Speed = speed;
    m_Notes = m_Descriptors.Notes();
    // Every configuration's audio function is noted; the first one is used
    // until the host selects another.
    for (size_t i = m_Descriptors.ConfigurationCount(); i-- > 0;)
    {
        m_Descriptors.Select(i);
        for (const std::string& note : m_Audio.Build(&m_Descriptors))
            m_Notes.push_back("configuration " + std::to_string(i) + " " + note);
    }
    m_Streaming.Build(&m_Descriptors, &m_Audio, speed);
    if (check == SimLoadCheck::Strict && !m_Notes.empty())
        return m_Notes.front();
    return {};
}

void SimUsbDevice::UseConfiguration(size_t index)
{
    if (index == m_Descriptors.Selected())
        return;
    // Firmware brings up the function of the configuration the host chose.
    m_Descriptors.Select(index);
    m_Audio.Build(&m_Descriptors);
    m_Streaming.Build(&m_Descriptors, &m_Audio, m_Speed);
}

int SimUsbDevice::AlternateSetting(UCHAR interfaceNumber) const
{
    if (m_Configuration == 0)
        return -1;
    auto it = m_Alternate.find(interfaceNumber);
    return it == m_Alternate.end() ? -1 : it->second;
}

bool SimUsbDevice::EndpointHalted(UCHAR endpoint) const
{
    auto it = m_Halted.find(endpoint);
    return it != m_Halted.end() && it->second;
}

bool SimUsbDevice::EndpointInUse(UCHAR endpoint) const
{
    if (m_Configuration == 0)
        return false;
    for (const auto& [number, alt] : m_Alternate)
        if (const SimAltSetting* a = m_Descriptors.FindAlt(number, alt))
            for (const SimEndpointInfo& ep : a->Endpoints)
                if (ep.Address == endpoint)
                    return true;
    return false;
}

void SimUsbDevice::ScriptRequest(const SimRequestMatch& match, const std::vector<UCHAR>& reply,
                                 bool stall)
{
    m_Scripted.push_back(Scripted{match, reply, stall, {}, nullptr});
}

void SimUsbDevice::ScriptHandler(const SimRequestMatch& match, SimRequestHandler handler)
{
    m_Scripted.push_back(Scripted{match, {}, false, {}, std::move(handler)});
}

bool SimUsbDevice::ChangeControlOnDevice(UCHAR entity, UCHAR selector, UCHAR channel, LONG value)
{
    SimControlValue* v = m_Audio.FindControl(entity, selector, channel);
    if (v == nullptr)
        return false;
    v->Current = value;
    if (m_Audio.IsAudioClass2())
        return m_Streaming.PostInterrupt(
            {0x00, 0x01, channel, selector, m_Audio.ControlInterface(), entity});
    // Interrupt pending, originator an AudioControl entity.
    return m_Streaming.PostInterrupt({USB_AUDIO10_STATUS_INTERRUPT_PENDING, entity});
}

const std::vector<UCHAR>* SimUsbDevice::LastScriptedOut(const SimRequestMatch& match) const
{
    for (auto it = m_Scripted.rbegin(); it != m_Scripted.rend(); ++it)
        if (it->Match.RequestType == match.RequestType && it->Match.Request == match.Request &&
            it->Match.Value == match.Value && it->Match.Index == match.Index)
            return &it->LastOut;
    return nullptr;
}

std::vector<std::string> SimUsbDevice::LogText() const
{
    std::vector<std::string> lines;
    for (const SimRequestRecord& r : m_Log)
        lines.push_back(r.Text());
    return lines;
}

void SimUsbDevice::InjectControlFault(const SimRequestMatch& match, SimFaultKind kind, ULONG count,
                                      ULONG skip, ULONG shortLength)
{
    m_Faults.push_back(Fault{match, kind, count, skip, shortLength});
}

void SimUsbDevice::BusReset()
{
    m_Configuration = 0;
    m_Alternate.clear();
    m_Halted.clear();
    m_Audio.OnBusReset();
    m_Streaming.OnBusReset();
}

void SimUsbDevice::SelectAlternate(UCHAR interfaceNumber, UCHAR alternateSetting)
{
    m_Alternate[interfaceNumber] = alternateSetting;
    if (const SimAltSetting* a = m_Descriptors.FindAlt(interfaceNumber, alternateSetting))
        for (const SimEndpointInfo& ep : a->Endpoints)
            m_Halted[ep.Address] = false; // SET_INTERFACE resets the data toggle and halt
    m_Audio.OnAlternateSetting(interfaceNumber, alternateSetting);
    m_Streaming.OnAlternateSetting(interfaceNumber, alternateSetting);
}

EmuControlAnswer SimUsbDevice::ControlTransfer(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data,
                                               ULONG frame)
{
    SimRequestRecord record;
    record.Setup = s;
    record.Frame = frame;
    bool in = (s.bmRequestType & 0x80) != 0;
    if (!in && s.wLength)
        record.Data.assign(data, data + s.wLength);

    EmuControlAnswer answer;
    const Fault* fault = nullptr;
    for (Fault& f : m_Faults)
    {
        if (!f.Match.Matches(s) || f.Count == 0)
            continue;
        if (f.Skip > 0)
        {
            --f.Skip;
            continue;
        }
        --f.Count;
        fault = &f;
        break;
    }
    if (fault != nullptr && fault->Kind != SimFaultKind::ShortRead)
    {
        answer.Handshake = fault->Kind == SimFaultKind::Stall        ? EmuUsbHandshake::Stall
                           : fault->Kind == SimFaultKind::NoResponse ? EmuUsbHandshake::NoResponse
                                                                     : EmuUsbHandshake::Unplug;
        record.Result = answer.Handshake;
        m_Log.push_back(record);
        return answer;
    }

    ULONG length = 0;
    bool ok = false;
    bool handled = false;
    for (auto it = m_Scripted.rbegin(); it != m_Scripted.rend(); ++it)
    {
        if (!it->Match.Matches(s))
            continue;
        handled = true;
        ok = !it->Stall;
        if (it->Handler)
        {
            ok = it->Handler(s, data, &length);
            if (ok && !in)
                it->LastOut.assign(data, data + s.wLength);
            if (length > s.wLength)
                length = s.wLength;
        }
        else if (ok && in)
        {
            length = it->Reply.size() < s.wLength ? (ULONG)it->Reply.size() : s.wLength;
            if (length != 0)
                memcpy(data, it->Reply.data(), length);
        }
        else if (ok)
        {
            it->LastOut.assign(data, data + s.wLength);
            length = s.wLength;
        }
        break;
    }
    if (!handled)
    {
        UCHAR type = (s.bmRequestType >> 5) & 3;
        if (type == BMREQUEST_STANDARD)
            ok = Standard(s, data, &length);
        else if (m_Configuration != 0)
            ok = m_Audio.Answer(s, data, &length);
    }
    if (ok && fault != nullptr && in && length > fault->ShortLength)
        length = fault->ShortLength;
    answer.Handshake = ok ? EmuUsbHandshake::Ack : EmuUsbHandshake::Stall;
    answer.Length = ok ? length : 0;
    record.Result = answer.Handshake;
    if (in)
        record.Data.assign(data, data + answer.Length);
    m_Log.push_back(record);
    return answer;
}

bool SimUsbDevice::Standard(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data, ULONG* length)
{
    *length = 0;
    bool in = (s.bmRequestType & 0x80) != 0;
    UCHAR recipient = s.bmRequestType & 0x1F;
    auto reply = [&](const UCHAR* bytes, size_t size)
    {
        if (!in)
            return false;
        *length = size < s.wLength ? (ULONG)size : s.wLength;
        memcpy(data, bytes, *length);
        return true;
    };
    switch (s.bRequest)
    {
    case USB_REQUEST_GET_DESCRIPTOR:
    {
        if (recipient != BMREQUEST_TO_DEVICE || s.wLength == 0)
            return false;
        UCHAR type = (UCHAR)(s.wValue >> 8), index = (UCHAR)(s.wValue & 0xFF);
        if (type == USB_DEVICE_DESCRIPTOR_TYPE && index == 0)
            return reply(m_Descriptors.Device().data(), m_Descriptors.Device().size());
        if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE)
        {
            const std::vector<UCHAR>* c = m_Descriptors.ConfigurationAt(index);
            return c != nullptr && reply(c->data(), c->size());
        }
        if (type == USB_STRING_DESCRIPTOR_TYPE)
        {
            if (index != 0 && s.wIndex != 0x0409)
                return false;
            std::vector<UCHAR> d = m_Descriptors.StringDescriptor(index);
            return !d.empty() && reply(d.data(), d.size());
        }
        if (type == USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE && index == 0 &&
            m_Descriptors.DeviceDescriptor().bcdUSB >= 0x0200)
        {
            const USB_DEVICE_DESCRIPTOR& dev = m_Descriptors.DeviceDescriptor();
            UCHAR q[10] = {10,
                           USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE,
                           (UCHAR)dev.bcdUSB,
                           (UCHAR)(dev.bcdUSB >> 8),
                           dev.bDeviceClass,
                           dev.bDeviceSubClass,
                           dev.bDeviceProtocol,
                           dev.bMaxPacketSize0,
                           1,
                           0};
            return reply(q, sizeof(q));
        }
        return false;
    }
    case USB_REQUEST_SET_ADDRESS:
        return !in && recipient == BMREQUEST_TO_DEVICE && s.wValue < 128 && s.wLength == 0;
    case USB_REQUEST_SET_CONFIGURATION:
    {
        if (in || recipient != BMREQUEST_TO_DEVICE || s.wLength != 0)
            return false;
        UCHAR value = (UCHAR)s.wValue;
        const int index = m_Descriptors.FindConfiguration(value);
        if (s.wValue > 0xFF || (value != 0 && index < 0))
            return false;
        BusReset();
        if (value != 0)
            UseConfiguration((size_t)index);
        m_Configuration = value;
        if (value != 0)
            for (const SimAltSetting& a : m_Descriptors.AltSettings())
                if (a.AlternateSetting == 0)
                    SelectAlternate(a.InterfaceNumber, 0);
        return true;
    }
    case USB_REQUEST_GET_CONFIGURATION:
        return recipient == BMREQUEST_TO_DEVICE && s.wLength == 1 && reply(&m_Configuration, 1);
    case USB_REQUEST_SET_INTERFACE:
    {
        if (in || recipient != BMREQUEST_TO_INTERFACE || m_Configuration == 0 || s.wLength != 0)
            return false;
        if (s.wValue > 0xFF || s.wIndex > 0xFF ||
            m_Descriptors.FindAlt((UCHAR)s.wIndex, (UCHAR)s.wValue) == nullptr)
            return false;
        SelectAlternate((UCHAR)s.wIndex, (UCHAR)s.wValue);
        return true;
    }
    case USB_REQUEST_GET_INTERFACE:
    {
        int alt = s.wIndex <= 0xFF ? AlternateSetting((UCHAR)s.wIndex) : -1;
        if (recipient != BMREQUEST_TO_INTERFACE || alt < 0 || s.wLength != 1)
            return false;
        UCHAR value = (UCHAR)alt;
        return reply(&value, 1);
    }
    case USB_REQUEST_GET_STATUS:
    {
        if (s.wLength != 2)
            return false;
        UCHAR status[2] = {0, 0};
        if (recipient == BMREQUEST_TO_DEVICE)
            status[0] = (m_Descriptors.Configuration()[7] & USB_CONFIG_SELF_POWERED) ? 1 : 0;
        else if (recipient == BMREQUEST_TO_ENDPOINT)
        {
            UCHAR ep = (UCHAR)s.wIndex;
            if (ep != 0 && (s.wIndex > 0xFF || !EndpointInUse(ep)))
                return false;
            status[0] = EndpointHalted(ep) ? 1 : 0;
        }
        else if (recipient != BMREQUEST_TO_INTERFACE || m_Configuration == 0)
            return false;
        return reply(status, 2);
    }
    case USB_REQUEST_CLEAR_FEATURE:
    case USB_REQUEST_SET_FEATURE:
    {
        if (in || s.wLength != 0)
            return false;
        bool set = s.bRequest == USB_REQUEST_SET_FEATURE;
        if (recipient == BMREQUEST_TO_ENDPOINT && s.wValue == USB_FEATURE_ENDPOINT_STALL)
        {
            UCHAR ep = (UCHAR)s.wIndex;
            if (s.wIndex > 0xFF || (ep != 0 && !EndpointInUse(ep)))
                return false;
            if (ep != 0)
                m_Halted[ep] = set;
            return true;
        }
        return recipient == BMREQUEST_TO_DEVICE && s.wValue == USB_FEATURE_REMOTE_WAKEUP;
    }
    default:
        return false;
    }
}

USBD_STATUS SimUsbDevice::IsochOut(UCHAR endpoint, ULONG frame, ULONG microframe, const UCHAR* data,
                                   ULONG length)
{
    if (!EndpointInUse(endpoint))
        return USBD_STATUS_DEV_NOT_RESPONDING;
    return m_Streaming.IsochOut(endpoint, frame, microframe, data, length);
}

USBD_STATUS SimUsbDevice::IsochIn(UCHAR endpoint, ULONG frame, ULONG microframe, UCHAR* data,
                                  ULONG capacity, ULONG* length)
{
    *length = 0;
    if (!EndpointInUse(endpoint))
        return USBD_STATUS_DEV_NOT_RESPONDING;
    return m_Streaming.IsochIn(endpoint, frame, microframe, data, capacity, length);
}

USBD_STATUS SimUsbDevice::InterruptOrBulkIn(UCHAR endpoint, UCHAR* data, ULONG capacity,
                                            ULONG* length)
{
    *length = 0;
    if (!EndpointInUse(endpoint))
        return USBD_STATUS_DEV_NOT_RESPONDING;
    if (EndpointHalted(endpoint))
        return USBD_STATUS_STALL_PID;
    return m_Streaming.InterruptIn(endpoint, data, capacity, length);
}

USBD_STATUS SimUsbDevice::InterruptOrBulkOut(UCHAR endpoint, const UCHAR* data, ULONG length)
{
    (void)data;
    (void)length;
    if (!EndpointInUse(endpoint))
        return USBD_STATUS_DEV_NOT_RESPONDING;
    if (EndpointHalted(endpoint))
        return USBD_STATUS_STALL_PID;
    return USBD_STATUS_SUCCESS;
}
