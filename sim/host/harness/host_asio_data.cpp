#include "sim/host/harness/host_asio_data.h"

#include <algorithm>
#include <cstring>

#include "platform/kernel/emu.h"
#include "sim/host/harness/host_stream.h"

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

std::string N(ULONGLONG value)
{
    return std::to_string(value);
}

// The engine behind the ring, or none (its processing then reads nothing).
ULONG RingEngine(PDEVICE_OBJECT fdo, size_t ring)
{
    ULONG engine = ~0u;
    HostPathProcessing::AsioRingEngine(fdo, (ULONG)ring, &engine);
    return engine;
}
} // namespace

HostAsioData::HostAsioData(AsioTestClient& client, const HostHarness& host, ULONG sampleBytes,
                           HostAsioTap* tap)
    : m_Client(client), m_Device(host.Device()), m_Tap(tap), m_SampleBytes(sampleBytes)
{
    for (size_t i = 0; i < client.Rings().size(); ++i)
    {
        const AsioClientRing& c = client.Rings()[i];
        const ULONG frameBytes = c.Channels * sampleBytes;
        if (frameBytes == 0 || c.DataBytes / frameBytes == 0)
            continue;
        (c.IsInput ? m_Capture : m_Render)
            .Rings.push_back({i, &c, frameBytes, c.DataBytes / frameBytes,
                              HostAsioCompare(c.IsInput, frameBytes),
                              HostPathProcessing(host.Fdo(), RingEngine(host.Fdo(), i))});
    }
}

void HostAsioData::BeforeStart()
{
    for (Ring& ring : m_Render.Rings)
    {
        ring.Taken = ring.Written = 0;
        ring.Base = m_NextFrame;
        ring.Compare.Start(ring.Base);
        WriteAhead(ring);
    }
    CaptureFromTheStart();
    LookAtPaths();
}

void HostAsioData::AfterStart()
{
    if (m_Tap != nullptr)
        m_Tap->Started(m_Client.Rings());
    NameEndpoints(true);
    for (Side* side : {&m_Render, &m_Capture})
        for (Ring& ring : side->Rings)
        {
            CheckStart(ring, 0, "the ring's first frame");
            ReadPath(ring);
            if (side == &m_Capture)
                Follow(ring);
            else
            {
                TakeRender(ring);
                WriteAhead(ring);
            }
        }
}

// The start took its pre-roll from its start position, which must be `at`.
void HostAsioData::CheckStart(const Ring& ring, ULONG at, const std::string& what)
{
    const AsioClientRing& c = *ring.Client;
    const ULONG start = HeaderAt(c, kStartPosition);
    const ULONG preroll = HeaderAt(c, kPrerollBytes);
    const ULONG position = HeaderAt(c, kDriverPosition);
    if (start != at)
        Fail(ring, "the stream started at ring byte " + N(start) + ", not at " + what +
                       " (ring byte " + N(at) + ")");
    else if (position != (start + preroll) % c.DataBytes)
        Fail(ring, "after the start the driver's position is ring byte " + N(position) +
                       ", not the pre-roll's " + N(preroll) +
                       " bytes past the start position: the pre-roll came from elsewhere");
}

void HostAsioData::Restarted()
{
    // What the device received and sent up to the power-down first.
    TakeRecords();
    for (Side* side : {&m_Render, &m_Capture})
        for (Ring& ring : side->Rings)
            ReadPath(ring);
    // The device goes on with the first frame it did not receive before
    // the power-down, in that frame's place: the frames due run on, and the
    // driver's reads from there on are the frames due.
    for (Ring& ring : m_Render.Rings)
    {
        const ULONGLONG received = ring.Compare.Due() - ring.Base;
        CheckStart(ring, (ULONG)(received % ring.Frames) * ring.FrameBytes,
                   "the first frame the device did not receive");
        ring.Taken = received;
        TakeRender(ring);
        WriteAhead(ring);
    }
    // The capture rings go on where they stood, with what the device sends
    // from now on: what it sent before and the driver never put is gone.
    for (Ring& ring : m_Capture.Rings)
    {
        ReadCapture(ring);
        ring.Wire = ring.Written;
        ring.Compare.Start(ring.Compare.SentFrames());
    }
    m_PoweringDown = false;
}

// The capture rings fill from their first frame with what the device sends
// from now on.
void HostAsioData::CaptureFromTheStart()
{
    for (Ring& ring : m_Capture.Rings)
    {
        ring.Wire = ring.Taken = ring.Written = 0;
        ring.Compare.Start(ring.Compare.SentFrames());
    }
    m_Device->Streaming().ClearRecords();
}

void HostAsioData::Run(ULONG ms)
{
    for (ULONG i = 0; i < ms; ++i)
    {
        LookAtPaths();
        m_Client.Run(1);
        Step();
    }
}

// A change made between two steps is seen before the driver takes a frame
// after it.
void HostAsioData::LookAtPaths()
{
    for (Side* side : {&m_Render, &m_Capture})
        for (Ring& ring : side->Rings)
            ring.On = ring.Path.Read();
}

void HostAsioData::Step()
{
    for (Side* side : {&m_Render, &m_Capture})
        for (Ring& ring : side->Rings)
            ReadPath(ring);
    // The frames taken are marked before any of them can reach the device.
    for (Ring& ring : m_Render.Rings)
        TakeRender(ring);
    TakeRecords();
    for (Ring& ring : m_Render.Rings)
        WriteAhead(ring);
    for (Ring& ring : m_Capture.Rings)
        ReadCapture(ring);
}

void HostAsioData::ReadPath(Ring& ring)
{
    const bool on = ring.Path.Read();
    ring.Changes = on || ring.On;
    ring.On = on;
}

void HostAsioData::TakeRender(Ring& ring)
{
    const ULONGLONG before = ring.Taken;
    if (Follow(ring) && ring.Changes)
        ring.Compare.Processed(ring.Base + before, ring.Base + ring.Taken);
}

void HostAsioData::TakeRecords()
{
    NameEndpoints(false);
    SimStreaming& streaming = m_Device->Streaming();
    for (Ring& ring : m_Render.Rings)
        if (ring.Endpoint != 0)
        {
            const std::vector<UCHAR>& received = streaming.OutRecord(ring.Endpoint).Data;
            m_Frames.assign(received.begin(), received.end());
            if (m_PoweringDown)
                DropSilence(ring);
            if (m_Tap != nullptr)
                m_Tap->Received(ring.Index, &m_Frames);
            ring.Compare.Received(m_Frames.data(), m_Frames.size());
        }
    for (Ring& ring : m_Capture.Rings)
        if (ring.Endpoint != 0)
        {
            const std::vector<UCHAR>& sent = streaming.InRecord(ring.Endpoint).Data;
            if (m_Tap != nullptr)
                m_Tap->Sent(ring.Index, sent);
            ring.Compare.Sent(sent.data(), sent.size());
            ring.Wire += sent.size() / ring.FrameBytes;
        }
    streaming.ClearRecords();
}

// In frames of a few bytes one of the client's is all zeros: it stays where
// it is the one after the last kept.
void HostAsioData::DropSilence(const Ring& ring)
{
    std::vector<UCHAR> kept, own(ring.FrameBytes);
    ULONGLONG next = ring.Compare.Due();
    for (size_t at = 0; at + ring.FrameBytes <= m_Frames.size(); at += ring.FrameBytes)
    {
        const PUCHAR frame = m_Frames.data() + at;
        AsioClientFrame(next, ring.FrameBytes, own.data());
        if (std::all_of(frame, frame + ring.FrameBytes, [](UCHAR b) { return b == 0; }) &&
            memcmp(frame, own.data(), ring.FrameBytes) != 0)
            continue;
        kept.insert(kept.end(), frame, frame + ring.FrameBytes);
        ULONGLONG k = 0;
        next = AsioClientFrameNumber(frame, ring.FrameBytes, next, &k) ? k + 1 : next;
    }
    m_Frames.swap(kept);
}

bool HostAsioData::Follow(Ring& ring)
{
    const ULONG position = HeaderAt(*ring.Client, kDriverPosition);
    if (position % ring.FrameBytes != 0 || position >= ring.Client->DataBytes)
    {
        Fail(ring,
             "the driver's position, ring byte " + N(position) + ", is not a frame's in the ring");
        return false;
    }
    const ULONG at = position / ring.FrameBytes;
    ring.Taken += (at + ring.Frames - ring.Taken % ring.Frames) % ring.Frames;
    // A capture ring holds what the device sent: the driver put as many
    // frames as its position says, laps included, short of what was sent by
    // no more than a ring; but from a power-down on it puts none, the
    // streams stopping however long it takes them.
    if (ring.Client->IsInput && !m_PoweringDown && ring.Wire > ring.Taken)
        ring.Taken += (ring.Wire - ring.Taken) / ring.Frames * ring.Frames;
    return true;
}

void HostAsioData::WriteAhead(Ring& ring)
{
    PUCHAR data = ring.Client->Base + kHeaderBytes;
    for (; ring.Written < ring.Taken + ring.Frames; ++ring.Written)
    {
        const ULONGLONG k = ring.Base + ring.Written;
        const ULONG slot = (ULONG)(ring.Written % ring.Frames);
        AsioClientFrame(k, ring.FrameBytes, data + (size_t)slot * ring.FrameBytes);
        m_NextFrame = std::max(m_NextFrame, k + 1);
    }
    ring.Compare.Written(ring.Base + ring.Written);
}

// A started stream's data endpoint runs the ring's format; once it has
// moved data, a data endpoint of that format is the ring's. The first is
// named at the start, before a power-down deselects it with the pre-roll
// received.
void HostAsioData::NameEndpoints(bool started)
{
    SimStreaming& streaming = m_Device->Streaming();
    for (Side* side : {&m_Render, &m_Capture})
        for (Ring& ring : side->Rings)
        {
            const bool in = ring.Client->IsInput != 0;
            for (const UCHAR address :
                 ring.Endpoint == 0 ? HostDataEndpoints(*m_Device, in) : std::vector<UCHAR>{})
            {
                UCHAR channels = 0, subslot = 0;
                const bool taken =
                    std::any_of(side->Rings.begin(), side->Rings.end(),
                                [address](const Ring& r) { return r.Endpoint == address; });
                const size_t bytes = in ? streaming.InRecord(address).Data.size()
                                        : streaming.OutRecord(address).Data.size();
                if (ring.Endpoint == 0 && !taken && (bytes != 0 || started) &&
                    streaming.SelectedFormat(address, &channels, &subslot) &&
                    channels == ring.Client->Channels && subslot == m_SampleBytes)
                    ring.Endpoint = address;
            }
        }
}

void HostAsioData::ReadCapture(Ring& ring)
{
    if (!Follow(ring))
        return;
    if (ring.Taken > ring.Wire)
        Fail(ring, "the driver's position puts " + N(ring.Taken - ring.Written) +
                       " frames in the capture ring, of which the device has sent " +
                       N(ring.Wire - std::min(ring.Wire, ring.Written)));
    if (ring.Taken - ring.Written > ring.Frames)
    {
        Fail(ring, "the driver put " + N(ring.Taken - ring.Written) +
                       " frames in the capture ring between two reads, more than it holds");
        // The ring holds its last lap only.
        ring.Written = ring.Taken - ring.Frames;
    }
    const PUCHAR data = ring.Client->Base + kHeaderBytes;
    m_Frames.clear();
    for (; ring.Written < ring.Taken; ++ring.Written)
    {
        const PUCHAR frame = data + (size_t)(ring.Written % ring.Frames) * ring.FrameBytes;
        m_Frames.insert(m_Frames.end(), frame, frame + ring.FrameBytes);
    }
    if (m_Tap != nullptr)
        m_Tap->Read(ring.Index, &m_Frames);
    const ULONGLONG read = ring.Compare.ReceivedFrames();
    if (ring.Changes)
        ring.Compare.Processed(read, read + m_Frames.size() / ring.FrameBytes);
    ring.Compare.Received(m_Frames.data(), m_Frames.size());
}

void HostAsioData::Fail(const Ring& ring, const std::string& text)
{
    std::string& first = (ring.Client->IsInput ? m_Capture : m_Render).Position;
    if (first.empty())
        first = text;
}

HostAsioWay HostAsioData::Verdict(const Side& side) const
{
    HostAsioWay way;
    way.Has = !side.Rings.empty();
    way.Position = side.Position;
    for (const Ring& ring : side.Rings)
    {
        HostAsioSaid said = ring.Compare.Said(ring.Path.Seen());
        const std::string named =
            side.Rings.size() > 1 ? "ring " + N(ring.Index) + ": " : std::string();
        for (const std::string& fault : said.Faults)
            way.Faults.push_back(named + fault);
        if (!said.Processing.empty())
            way.Processing += (way.Processing.empty() ? "" : "; ") + named + said.Processing;
        way.Compared += ring.Compare.Compared();
        way.Received += ring.Compare.ReceivedFrames();
    }
    return way;
}
