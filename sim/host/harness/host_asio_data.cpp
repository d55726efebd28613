#include "sim/host/harness/host_asio_data.h"

#include <algorithm>
#include <cstring>

#include "platform/kernel/emu.h"

namespace
{
constexpr ULONG kHeaderBytes = 40;
constexpr ULONG kDriverPosition = 20, kStartPosition = 24, kPrerollBytes = 28;

ULONG HeaderAt(const AsioClientRing& ring, ULONG offset)
{
    ULONG value = 0;
    memcpy(&value, ring.Base + offset, sizeof(value));
    return value;
}

ULONGLONG Mix(ULONGLONG x)
{
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

std::string N(ULONGLONG value)
{
    return std::to_string(value);
}
} // namespace

void AsioClientFrame(ULONGLONG k, ULONG bytes, UCHAR* out)
{
    // Odd multiplies and right shifts are each one-to-one on n bits.
    const ULONG n = 8 * std::min<ULONG>(bytes, 8);
    const ULONGLONG mask = n == 64 ? ~0ull : (1ull << n) - 1;
    ULONGLONG x = (k + 0x5851F42D4C957F2Dull) & mask;
    x = (x * 0x9E3779B97F4A7C15ull) & mask;
    x ^= x >> (n / 2);
    x = (x * 0xD6E8FEB86659FD93ull) & mask;
    x ^= x >> (n / 2);
    for (ULONG b = 0; b < bytes; ++b)
    {
        if (b % 8 == 0 && b != 0)
            x = Mix(k * 0x10001ull + b);
        out[b] = (UCHAR)(x >> (8 * (b % 8)));
    }
}

HostAsioData::HostAsioData(AsioTestClient& client, SimUsbDevice* device, ULONG sampleBytes)
    : m_Client(client), m_Device(device), m_SampleBytes(sampleBytes)
{
    for (const AsioClientRing& c : client.Rings())
    {
        Ring ring;
        ring.Client = &c;
        ring.FrameBytes = c.Channels * sampleBytes;
        ring.Frames = ring.FrameBytes != 0 ? c.DataBytes / ring.FrameBytes : 0;
        if (ring.Frames != 0)
            (c.IsInput ? m_Capture : m_Render).Rings.push_back(ring);
    }
}

void HostAsioData::BeforeStart()
{
    for (Ring& ring : m_Render.Rings)
    {
        ring.WireRun += ring.Wire;
        ring.Wire = ring.Taken = ring.Written = 0;
        ring.Base = m_NextFrame;
        WriteAhead(ring);
    }
    CaptureFromTheStart();
}

void HostAsioData::AfterStart()
{
    for (Side* side : {&m_Render, &m_Capture})
        for (Ring& ring : side->Rings)
        {
            CheckStart(ring, 0, "the ring's first frame");
            Follow(ring);
            if (side == &m_Render)
                WriteAhead(ring);
        }
}

// The start took its pre-roll from its start position, which must be `at`.
void HostAsioData::CheckStart(const Ring& ring, ULONG at, const std::string& what)
{
    const AsioClientRing& c = *ring.Client;
    std::string& fault = (c.IsInput ? m_Capture : m_Render).Position;
    const ULONG start = HeaderAt(c, kStartPosition);
    const ULONG preroll = HeaderAt(c, kPrerollBytes);
    const ULONG position = HeaderAt(c, kDriverPosition);
    if (start != at)
        Fail(&fault, "the stream started at ring byte " + N(start) + ", not at " + what +
                         " (ring byte " + N(at) + ")");
    else if (position != (start + preroll) % c.DataBytes)
        Fail(&fault, "after the start the driver's position is ring byte " + N(position) +
                         ", not the pre-roll's " + N(preroll) +
                         " bytes past the start position: the pre-roll came from elsewhere");
}

void HostAsioData::Restarted()
{
    // The device goes on with the first frame it did not receive before
    // the power-down, in that frame's place: what is due runs on unchanged,
    // and the driver's reads from there on are the frames due.
    for (Ring& ring : m_Render.Rings)
    {
        CheckStart(ring, (ULONG)(ring.Wire % ring.Frames) * ring.FrameBytes,
                   "the first frame the device did not receive");
        ring.Taken = ring.Wire;
        Follow(ring);
        WriteAhead(ring);
    }
    // The capture rings go on where they stood, with what the device sends
    // from now on.
    for (Ring& ring : m_Capture.Rings)
    {
        ReadCapture(ring);
        ring.WireRun += ring.Wire - ring.Written;
        ring.Wire = ring.SentFrom = ring.Written;
        ring.Sent.clear();
    }
}

// The capture rings fill from their first frame with what the device sends
// from now on.
void HostAsioData::CaptureFromTheStart()
{
    for (Ring& ring : m_Capture.Rings)
    {
        m_CaptureRun += ring.Written;
        ring.WireRun += ring.Wire;
        ring.Wire = ring.Taken = ring.Written = ring.SentFrom = 0;
        ring.Sent.clear();
    }
    m_Device->Streaming().ClearRecords();
}

void HostAsioData::Run(ULONG ms)
{
    for (ULONG i = 0; i < ms; ++i)
    {
        m_Client.Run(1);
        Step();
    }
}

void HostAsioData::Step()
{
    NameEndpoints();
    SimStreaming& streaming = m_Device->Streaming();
    for (Ring& ring : m_Render.Rings)
    {
        if (ring.Endpoint != 0)
            CompareRender(ring, streaming.OutRecord(ring.Endpoint).Data);
        if (Follow(ring))
            WriteAhead(ring);
    }
    for (Ring& ring : m_Capture.Rings)
    {
        if (ring.Endpoint != 0)
        {
            const std::vector<UCHAR>& sent = streaming.InRecord(ring.Endpoint).Data;
            ring.Sent.insert(ring.Sent.end(), sent.begin(), sent.end());
            ring.Wire += sent.size() / ring.FrameBytes;
        }
        ReadCapture(ring);
    }
    streaming.ClearRecords();
}

bool HostAsioData::Follow(Ring& ring)
{
    const ULONG position = HeaderAt(*ring.Client, kDriverPosition);
    if (position % ring.FrameBytes != 0 || position >= ring.Client->DataBytes)
    {
        Fail(&(ring.Client->IsInput ? m_Capture : m_Render).Position,
             "the driver's position, ring byte " + N(position) + ", is not a frame's in the ring");
        return false;
    }
    const ULONG at = position / ring.FrameBytes;
    ring.Taken += (at + ring.Frames - ring.Taken % ring.Frames) % ring.Frames;
    return true;
}

ULONGLONG HostAsioData::Expected(const Ring& ring, ULONGLONG read) const
{
    return ring.Base + read;
}

void HostAsioData::WriteAhead(Ring& ring)
{
    PUCHAR data = ring.Client->Base + kHeaderBytes;
    for (; ring.Written < ring.Taken + ring.Frames; ++ring.Written)
    {
        const ULONGLONG k = Expected(ring, ring.Written);
        const ULONG slot = (ULONG)(ring.Written % ring.Frames);
        AsioClientFrame(k, ring.FrameBytes, data + (size_t)slot * ring.FrameBytes);
        m_NextFrame = std::max(m_NextFrame, k + 1);
    }
}

void HostAsioData::NameEndpoints()
{
    SimStreaming& streaming = m_Device->Streaming();
    for (Side* side : {&m_Render, &m_Capture})
        for (Ring& ring : side->Rings)
            for (UCHAR ep = 1; ep < 16 && ring.Endpoint == 0; ++ep)
            {
                const UCHAR address = ring.Client->IsInput ? (UCHAR)(0x80 | ep) : ep;
                UCHAR channels = 0, subslot = 0;
                const bool taken =
                    std::any_of(side->Rings.begin(), side->Rings.end(),
                                [address](const Ring& r) { return r.Endpoint == address; });
                const size_t bytes = ring.Client->IsInput
                                         ? streaming.InRecord(address).Data.size()
                                         : streaming.OutRecord(address).Data.size();
                if (!taken && bytes != 0 &&
                    streaming.SelectedFormat(address, &channels, &subslot) &&
                    channels == ring.Client->Channels && subslot == m_SampleBytes)
                    ring.Endpoint = address;
            }
}

void HostAsioData::CompareRender(Ring& ring, const std::vector<UCHAR>& received)
{
    std::vector<UCHAR> expected(ring.FrameBytes);
    for (size_t at = 0; at + ring.FrameBytes <= received.size(); at += ring.FrameBytes)
    {
        if (m_Render.Fault.empty() && m_Render.Processing.empty())
        {
            AsioClientFrame(Expected(ring, ring.Wire), ring.FrameBytes, expected.data());
            if (memcmp(expected.data(), &received[at], ring.FrameBytes) == 0)
                ++m_Render.Compared;
            else
                RenderDiffers(ring, &received[at]);
        }
        ++ring.Wire;
    }
}

// Which of the client's frames a received one is, among the last four rings
// written: a later one than due is frames lost, an earlier one frames
// repeated or out of order.
void HostAsioData::RenderDiffers(Ring& ring, const UCHAR* frame)
{
    const ULONGLONG due = Expected(ring, ring.Wire);
    const ULONGLONG wire = ring.WireRun + ring.Wire;
    const ULONGLONG span = 4ull * ring.Frames;
    std::vector<UCHAR> candidate(ring.FrameBytes);
    for (ULONGLONG k = m_NextFrame > span ? m_NextFrame - span : 0; k < m_NextFrame; ++k)
    {
        AsioClientFrame(k, ring.FrameBytes, candidate.data());
        if (memcmp(candidate.data(), frame, ring.FrameBytes) != 0)
            continue;
        if (k > due)
            Fail(&m_Render.Fault, "the device never received frames " + N(due) + " to " + N(k - 1) +
                                      ": from wire frame " + N(wire) + " it received frame " +
                                      N(k) + " on");
        else
            Fail(&m_Render.Fault, "the device received frame " + N(k) +
                                      " again or out of order at wire frame " + N(wire) +
                                      ", in place of frame " + N(due));
        return;
    }
    Unplaced(m_Render, frame, ring.FrameBytes,
             "the device received silence in place of frame " + N(due) + ", at wire frame " +
                 N(wire),
             "from frame " + N(due) + " it received other samples than the client wrote");
}

void HostAsioData::ReadCapture(Ring& ring)
{
    if (!Follow(ring))
        return;
    if (ring.Taken - ring.Written > ring.Frames)
        Fail(&m_Capture.Position,
             "the driver put " + N(ring.Taken - ring.Written) +
                 " frames in the capture ring between two reads, more than it holds");
    const PUCHAR data = ring.Client->Base + kHeaderBytes;
    for (; ring.Written < ring.Taken; ++ring.Written)
    {
        if (!m_Capture.Fault.empty() || !m_Capture.Processing.empty())
            continue;
        const UCHAR* frame = data + (size_t)(ring.Written % ring.Frames) * ring.FrameBytes;
        const ULONGLONG have = ring.SentFrom + ring.Sent.size() / ring.FrameBytes;
        if (ring.Written >= have)
        {
            Fail(&m_Capture.Fault, "the capture ring holds frame " +
                                       N(m_CaptureRun + ring.Written) +
                                       ", which the device has not sent yet");
            continue;
        }
        const auto sent =
            ring.Sent.begin() + (ptrdiff_t)((ring.Written - ring.SentFrom) * ring.FrameBytes);
        if (std::equal(sent, sent + ring.FrameBytes, frame))
            ++m_Capture.Compared;
        else
            CaptureDiffers(ring, frame, ring.Written);
    }
    // Two rings of the device's frames are kept to place a frame that differs.
    while (ring.SentFrom + 2ull * ring.Frames < ring.Written)
    {
        ring.Sent.erase(ring.Sent.begin(), ring.Sent.begin() + ring.FrameBytes);
        ++ring.SentFrom;
    }
}

void HostAsioData::CaptureDiffers(Ring& ring, const UCHAR* frame, ULONGLONG at)
{
    const ULONGLONG have = ring.Sent.size() / ring.FrameBytes;
    const ULONGLONG named = m_CaptureRun + at, wire = ring.WireRun + at;
    for (ULONGLONG i = 0; i < have; ++i)
    {
        const auto sent = ring.Sent.begin() + (ptrdiff_t)(i * ring.FrameBytes);
        if (!std::equal(sent, sent + ring.FrameBytes, frame))
            continue;
        const ULONGLONG j = ring.SentFrom + i;
        if (j > at)
            Fail(&m_Capture.Fault, "the capture ring never got wire frames " + N(wire) + " to " +
                                       N(ring.WireRun + j - 1) + ": from frame " + N(named) +
                                       " it holds the device's wire frame " + N(ring.WireRun + j) +
                                       " on");
        else
            Fail(&m_Capture.Fault, "the capture ring holds wire frame " + N(ring.WireRun + j) +
                                       " again or out of order at frame " + N(named) +
                                       ", in place of wire frame " + N(wire));
        return;
    }
    Unplaced(m_Capture, frame, ring.FrameBytes,
             "the capture ring holds silence in place of wire frame " + N(wire) + ", at frame " +
                 N(named),
             "from frame " + N(named) +
                 " the capture ring holds other samples than the device sent");
}

// A frame found nowhere near: silence where sound was due fails; other
// samples are what levels would make of them.
void HostAsioData::Unplaced(Side& side, const UCHAR* frame, ULONG bytes, const std::string& silence,
                            const std::string& changed)
{
    if (std::all_of(frame, frame + bytes, [](UCHAR b) { return b == 0; }))
        Fail(&side.Fault, silence);
    else
        side.Processing = "the device's processing is on: " + changed + " (levels or effects)";
}

void HostAsioData::Fail(std::string* first, const std::string& text)
{
    if (first->empty())
        *first = text;
}
