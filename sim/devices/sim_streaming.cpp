#include "sim/devices/sim_streaming.h"

#include <cmath>
#include <cstring>

namespace
{
// The endpoint the device reports its clock on: one marked feedback, or an
// IN endpoint without a class-specific endpoint descriptor, which carries no
// audio whatever its usage bits say (many devices leave them at data).
bool IsFeedbackEndpoint(const SimEndpointInfo& ep)
{
    const UCHAR usage = ep.Attributes & USB_ENDPOINT_USAGE_MASK;
    return usage == USB_ENDPOINT_USAGE_FEEDBACK ||
           (usage == USB_ENDPOINT_USAGE_DATA && USB_ENDPOINT_DIRECTION_IN(ep.Address) &&
            ep.ClassOffset == 0);
}

// One-to-one on 64 bits, so that distinct sample numbers stay distinct.
ULONGLONG Hash(ULONGLONG x)
{
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}
} // namespace

void SimStreaming::Build(const SimDescriptorSet* descriptors, SimAudioControl* control,
                         EmuUsbSpeed speed)
{
    m_Descriptors = descriptors;
    m_Control = control;
    m_Speed = speed;
    m_Uac2 = control->IsAudioClass2();
    m_Alt.clear();
    m_Endpoints.clear();
}

void SimStreaming::OnBusReset()
{
    m_Alt.clear();
    m_Endpoints.clear();
}

void SimStreaming::OnAlternateSetting(UCHAR interfaceNumber, UCHAR alternateSetting)
{
    m_Alt[interfaceNumber] = alternateSetting;
    for (auto it = m_Endpoints.begin(); it != m_Endpoints.end();)
        it = it->second.InterfaceNumber == interfaceNumber ? m_Endpoints.erase(it) : ++it;
    const SimAltSetting* alt = m_Descriptors->FindAlt(interfaceNumber, alternateSetting);
    if (alt == nullptr)
        return;
    const std::vector<UCHAR>& c = m_Descriptors->Configuration();
    UCHAR channels = 0, subslot = 0, resolution = 0;
    bool unsignedSamples = false;
    // PCM8, the unsigned coding: the class 1.0 format tag 2, or the class 2.0
    // format bitmap's bit 1 without bit 0 (PCM).
    constexpr USHORT c_Pcm8Tag = 0x0002;
    constexpr UCHAR c_PcmBit = 0x01, c_Pcm8Bit = 0x02;
    for (size_t pos : SimClassInterfaceDescriptors(c, *alt))
    {
        if (m_Uac2 && c[pos + 2] == USB_AUDIO_AS_GENERAL && c[pos] >= 16)
        {
            channels = c[pos + 10];
            unsignedSamples = (c[pos + 6] & (c_PcmBit | c_Pcm8Bit)) == c_Pcm8Bit;
        }
        if (!m_Uac2 && c[pos + 2] == USB_AUDIO_AS_GENERAL && c[pos] >= 7)
            unsignedSamples = (c[pos + 5] | c[pos + 6] << 8) == c_Pcm8Tag;
        if (c[pos] >= 4 && c[pos + 2] == USB_AUDIO_FORMAT_TYPE &&
            c[pos + 3] == USB_AUDIO_FORMAT_TYPE_I)
        {
            if (m_Uac2 && c[pos] >= 6)
            {
                subslot = c[pos + 4];
                resolution = c[pos + 5];
            }
            else if (!m_Uac2 && c[pos] >= 8)
            {
                channels = c[pos + 4];
                subslot = c[pos + 5];
                resolution = c[pos + 6];
            }
        }
    }
    // Type I subslots are 1 to 4 bytes: another size streams nothing, and a
    // resolution wider than its subslot fills the subslot.
    if (subslot > 4)
        subslot = 0;
    if (resolution > 8 * subslot)
        resolution = (UCHAR)(8 * subslot);
    for (const SimEndpointInfo& ep : alt->Endpoints)
    {
        EndpointState s;
        s.Info = &ep;
        s.InterfaceNumber = interfaceNumber;
        s.Channels = channels;
        s.SubslotBytes = subslot;
        s.Resolution = resolution;
        s.Unsigned = unsignedSamples;
        auto p = m_Patterns.find(ep.Address);
        if (p != m_Patterns.end())
            s.Pattern = p->second;
        auto sine = m_Sine.find(ep.Address);
        if (sine != m_Sine.end())
        {
            s.SineHz = sine->second.first;
            s.Amplitude = sine->second.second;
        }
        m_Endpoints[ep.Address] = s;
    }
}

SimStreaming::EndpointState* SimStreaming::Active(UCHAR endpoint)
{
    auto it = m_Endpoints.find(endpoint);
    return it == m_Endpoints.end() ? nullptr : &it->second;
}

ULONG SimStreaming::PacketsPerSecond(const SimEndpointInfo& ep) const
{
    if (m_Speed == EmuUsbSpeed::Full)
        return 1000;
    ULONG interval = ep.Interval < 1 ? 1 : (ep.Interval > 4 ? 4 : ep.Interval);
    return 8000 >> (interval - 1);
}

ULONG SimStreaming::PacketCount(UCHAR endpoint) const
{
    auto it = m_PacketCounts.find(endpoint);
    return it == m_PacketCounts.end() ? 0 : it->second;
}

bool SimStreaming::SelectedFormat(UCHAR endpoint, UCHAR* channels, UCHAR* subslotBytes) const
{
    auto it = m_Endpoints.find(endpoint);
    if (it == m_Endpoints.end() || it->second.Channels == 0 || it->second.SubslotBytes == 0)
        return false;
    *channels = it->second.Channels;
    *subslotBytes = it->second.SubslotBytes;
    return true;
}

bool SimStreaming::SelectedUnsigned(UCHAR endpoint) const
{
    auto it = m_Endpoints.find(endpoint);
    return it != m_Endpoints.end() && it->second.Unsigned;
}

void SimStreaming::SetInPattern(UCHAR endpoint, SimInPattern pattern, ULONG sineHz,
                                double amplitude)
{
    m_Patterns[endpoint] = pattern;
    m_Sine[endpoint] = {sineHz, amplitude};
    if (EndpointState* s = Active(endpoint))
    {
        s->Pattern = pattern;
        s->SineHz = sineHz;
        s->Amplitude = amplitude;
    }
}

void SimStreaming::InjectPacketError(UCHAR endpoint, ULONG ordinal, USBD_STATUS status, ULONG count)
{
    m_Faults.insert({endpoint, PacketFault{ordinal, count, status}});
}

void SimStreaming::InjectInPacketShape(UCHAR endpoint, ULONG ordinal, SimPacketShape shape)
{
    m_Shapes[{endpoint, ordinal}] = shape;
}

USBD_STATUS SimStreaming::FaultFor(UCHAR endpoint, ULONG ordinal)
{
    auto range = m_Faults.equal_range(endpoint);
    for (auto it = range.first; it != range.second; ++it)
        if (ordinal >= it->second.From && ordinal - it->second.From < it->second.Count)
            return it->second.Status;
    return USBD_STATUS_SUCCESS;
}

ULONG SimStreaming::FeedbackValue(ULONG rate) const
{
    // Rate in Hz times (1 + drift) per frame (10.14) or per microframe
    // (16.16), rounded to the nearest unit of the format.
    unsigned __int128 scaled =
        (unsigned __int128)rate * (ULONGLONG)(1000000 + (LONGLONG)m_DriftPpm);
    unsigned __int128 divisor;
    if (m_Speed == EmuUsbSpeed::Full)
    {
        scaled *= 16384;
        divisor = (unsigned __int128)1000 * 1000000;
    }
    else
    {
        scaled *= 65536;
        divisor = (unsigned __int128)8000 * 1000000;
    }
    return (ULONG)((scaled + divisor / 2) / divisor);
}

USBD_STATUS SimStreaming::IsochOut(UCHAR endpoint, ULONG frame, ULONG microframe, const UCHAR* data,
                                   ULONG length)
{
    ULONG ordinal = m_PacketCounts[endpoint]++;
    NoteTried(m_Out[endpoint], frame, microframe);
    EndpointState* s = Active(endpoint);
    if (s == nullptr || USB_ENDPOINT_DIRECTION_IN(endpoint))
        return USBD_STATUS_DEV_NOT_RESPONDING;
    USBD_STATUS fault = FaultFor(endpoint, ordinal);
    if (fault != USBD_STATUS_SUCCESS)
        return fault;
    ULONG maxPacket = (s->Info->MaxPacketSize & 0x7FF) * (1 + ((s->Info->MaxPacketSize >> 11) & 3));
    if (length > maxPacket)
        return USBD_STATUS_BABBLE_DETECTED;
    Keep(m_Out[endpoint], frame, microframe, data, length);
    return USBD_STATUS_SUCCESS;
}

void SimStreaming::NoteTried(SimOutRecord& record, ULONG frame, ULONG microframe)
{
    if (record.Tried)
        return;
    record.Tried = true;
    record.FirstFrame = frame;
    record.FirstMicroframe = microframe;
}

void SimStreaming::Keep(SimOutRecord& record, ULONG frame, ULONG microframe, const UCHAR* data,
                        ULONG length)
{
    SimPacketRecord p;
    p.Frame = frame;
    p.Microframe = microframe;
    p.Offset = (ULONG)record.Data.size();
    p.Length = length;
    record.Data.insert(record.Data.end(), data, data + length);
    record.Packets.push_back(p);
}

USBD_STATUS SimStreaming::IsochIn(UCHAR endpoint, ULONG frame, ULONG microframe, UCHAR* data,
                                  ULONG capacity, ULONG* length)
{
    *length = 0;
    ULONG ordinal = m_PacketCounts[endpoint]++;
    EndpointState* s = Active(endpoint);
    const bool feedback = s != nullptr && IsFeedbackEndpoint(*s->Info);
    if (!feedback)
        NoteTried(m_In[endpoint], frame, microframe);
    if (s == nullptr || !USB_ENDPOINT_DIRECTION_IN(endpoint))
        return USBD_STATUS_DEV_NOT_RESPONDING;
    USBD_STATUS fault = FaultFor(endpoint, ordinal);
    if (fault != USBD_STATUS_SUCCESS)
        return fault;
    const SimEndpointInfo& ep = *s->Info;
    ULONG maxPacket = (ep.MaxPacketSize & 0x7FF) * (1 + ((ep.MaxPacketSize >> 11) & 3));
    // An endpoint that follows its data has no rate to send at or report (0 Hz).
    const ULONG rate = m_Control->StreamRate(s->InterfaceNumber).Hz;
    if (feedback)
    {
        ULONG size = m_Speed == EmuUsbSpeed::Full ? 3 : 4;
        if (capacity < size || maxPacket < size)
            return USBD_STATUS_DATA_OVERRUN;
        ULONG value = FeedbackValue(rate);
        for (ULONG i = 0; i < size; ++i)
            data[i] = (UCHAR)(value >> (8 * i));
        *length = size;
        return USBD_STATUS_SUCCESS;
    }
    ULONG frameBytes = (ULONG)s->Channels * s->SubslotBytes;
    if (frameBytes == 0 || rate == 0)
    {
        Keep(m_In[endpoint], frame, microframe, data, 0);
        return USBD_STATUS_SUCCESS; // nothing to stream: an empty packet
    }
    ULONGLONG unit = (ULONGLONG)PacketsPerSecond(ep) * 1000000;
    s->Accumulator += (ULONGLONG)rate * (ULONGLONG)(1000000 + (LONGLONG)m_DriftPpm);
    ULONG samples = (ULONG)(s->Accumulator / unit);
    s->Accumulator %= unit;
    auto shape = m_Shapes.find({endpoint, ordinal});
    if (shape != m_Shapes.end())
    {
        if (shape->second == SimPacketShape::Empty)
            samples = 0;
        else if (shape->second == SimPacketShape::Short && samples > 0)
            --samples;
    }
    ULONG room = (capacity < maxPacket ? capacity : maxPacket) / frameBytes;
    if (samples > room)
        samples = room;
    UCHAR* out = data;
    for (ULONG n = 0; n < samples; ++n, ++s->Samples)
    {
        for (UCHAR ch = 0; ch < s->Channels; ++ch)
        {
            ULONGLONG value;
            const ULONGLONG k = s->Samples * s->Channels + ch;
            if (s->Pattern == SimInPattern::Counter)
                value = k;
            else
            {
                double x = s->Amplitude * sin(2.0 * M_PI * s->SineHz * (double)s->Samples / rate);
                int bits = s->Resolution ? s->Resolution : 8 * s->SubslotBytes;
                LONGLONG full = (1LL << (bits - 1)) - 1;
                LONGLONG v = s->Pattern == SimInPattern::Noise
                                 ? (LONGLONG)Hash(k + 1) >> (64 - bits)
                                 : (LONGLONG)llround(x * (double)full);
                if (s->Pattern == SimInPattern::MarkedSine)
                {
                    const LONGLONG mark = (1LL << (bits / 8 ? bits / 8 : 1)) - 1;
                    v = (v & ~mark) | (LONGLONG)(Hash(s->Samples + 1) & (ULONGLONG)mark);
                }
                value = (ULONGLONG)v << (8 * s->SubslotBytes - bits);
                if (s->Unsigned)
                    value += 1ull << (8 * s->SubslotBytes - 1);
            }
            for (UCHAR b = 0; b < s->SubslotBytes; ++b)
                *out++ = (UCHAR)(value >> (8 * b));
        }
    }
    *length = samples * frameBytes;
    Keep(m_In[endpoint], frame, microframe, data, *length);
    return USBD_STATUS_SUCCESS;
}

bool SimStreaming::PostInterrupt(const std::vector<UCHAR>& message)
{
    if (message.size() != (m_Uac2 ? 6u : 2u))
        return false;
    m_Interrupts.push_back(message);
    return true;
}

USBD_STATUS SimStreaming::InterruptIn(UCHAR endpoint, UCHAR* data, ULONG capacity, ULONG* length)
{
    *length = 0;
    EndpointState* s = Active(endpoint);
    if (s == nullptr)
        return USBD_STATUS_DEV_NOT_RESPONDING;
    constexpr UCHAR c_TransferType = 0x03, c_Bulk = 0x02;
    const bool bulk = (s->Info->Attributes & c_TransferType) == c_Bulk;
    std::deque<std::vector<UCHAR>>& queue = bulk ? m_BulkIn : m_Interrupts;
    if (queue.empty())
        return USBD_STATUS_PENDING;
    std::vector<UCHAR> m = queue.front();
    ULONG maxPacket = s->Info->MaxPacketSize & 0x7FF;
    if (m.size() > (bulk ? capacity : maxPacket))
    {
        queue.pop_front();
        return USBD_STATUS_BABBLE_DETECTED;
    }
    if (m.size() > capacity)
        return USBD_STATUS_DATA_OVERRUN;
    queue.pop_front();
    m_BulkServed += bulk ? 1 : 0;
    if (!m.empty())
        memcpy(data, m.data(), m.size());
    *length = (ULONG)m.size();
    return USBD_STATUS_SUCCESS;
}
