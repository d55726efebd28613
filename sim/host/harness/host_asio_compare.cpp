#include "sim/host/harness/host_asio_compare.h"

#include <algorithm>
#include <cstring>

namespace
{
constexpr ULONGLONG kFrameOffset = 0x5851F42D4C957F2Dull;
constexpr ULONGLONG kFrameOdd1 = 0x9E3779B97F4A7C15ull, kFrameOdd2 = 0xD6E8FEB86659FD93ull;

ULONGLONG Mix(ULONGLONG x)
{
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// The inverse of an odd number modulo 2^64: each step doubles the bits
// that are right.
constexpr ULONGLONG Inverse(ULONGLONG odd)
{
    ULONGLONG y = odd;
    for (int i = 0; i < 5; ++i)
        y *= 2 - odd * y;
    return y;
}
static_assert(Inverse(kFrameOdd1) * kFrameOdd1 == 1 && Inverse(kFrameOdd2) * kFrameOdd2 == 1);

// The permuted bits of a frame of `bytes`, and their mask.
ULONG PermutedBits(ULONG bytes)
{
    return 8 * std::min<ULONG>(bytes, 8);
}

ULONGLONG Mask(ULONG n)
{
    return n == 64 ? ~0ull : (1ull << n) - 1;
}

struct Words
{
    const char* Kinds[kHostOrderKinds - 1]; // Changed is Processing
    const char* Processing;
};

// {first}, {last}, {due}: frames of the stream due; {at}: of those received;
// {count}: frames; {what}: the processing on.
const Words kRender = {
    {"the device never received frames {first} to {last}: from wire frame {at} it received "
     "frame {due} on",
     "the device received frame {first} again or out of order at wire frame {at}, in place of "
     "frame {due}",
     "the device received {count} frame(s) inserted before frame {due}, from wire frame {at}",
     "the device received silence in place of frames {first} to {last}, from wire frame {at}",
     "the device received other samples than the client's in place of frames {first} to "
     "{last}, from wire frame {at}"},
    "processing is on: {what}: from frame {first} the device received other samples than the "
    "client's"};
const Words kCapture = {
    {"the capture ring never got wire frames {first} to {last}: from frame {at} it holds the "
     "device's wire frame {due} on",
     "the capture ring holds wire frame {first} again or out of order at frame {at}, in place "
     "of wire frame {due}",
     "the capture ring holds {count} frame(s) the device never sent, inserted before wire frame "
     "{due}, from frame {at}",
     "the capture ring holds silence in place of wire frames {first} to {last}, from frame {at}",
     "the capture ring holds other samples than the device sent in place of wire frames "
     "{first} to {last}, from frame {at}"},
    "processing is on: {what}: from frame {at} the capture ring holds other samples than the "
    "device sent"};

std::string Say(std::string text, const HostOrderFault& f, const std::string& what)
{
    const std::pair<const char*, std::string> values[] = {
        {"{first}", std::to_string(f.First)}, {"{last}", std::to_string(f.Last)},
        {"{due}", std::to_string(f.Due)},     {"{at}", std::to_string(f.At)},
        {"{count}", std::to_string(f.Count)}, {"{what}", what}};
    for (const auto& [name, value] : values)
        for (size_t i = text.find(name); i != text.npos; i = text.find(name, i + value.size()))
            text.replace(i, strlen(name), value);
    return text;
}
} // namespace

void AsioClientFrame(ULONGLONG k, ULONG bytes, UCHAR* out)
{
    // Odd multiplies and right shifts by half the bits or more are each
    // one-to-one on n bits.
    const ULONG n = PermutedBits(bytes);
    const ULONGLONG mask = Mask(n);
    ULONGLONG x = (k + kFrameOffset) & mask;
    x = (x * kFrameOdd1) & mask;
    x ^= x >> (n / 2);
    x = (x * kFrameOdd2) & mask;
    x ^= x >> (n / 2);
    for (ULONG b = 0; b < bytes; ++b)
    {
        if (b % 8 == 0 && b != 0)
            x = Mix(k * 0x10001ull + b);
        out[b] = (UCHAR)(x >> (8 * (b % 8)));
    }
}

bool AsioClientFrameNumber(const UCHAR* frame, ULONG bytes, ULONGLONG near, ULONGLONG* k)
{
    const ULONG n = PermutedBits(bytes);
    const ULONGLONG mask = Mask(n);
    ULONGLONG x = 0;
    for (ULONG b = 0; b < n / 8; ++b)
        x |= (ULONGLONG)frame[b] << (8 * b);
    x ^= x >> (n / 2);
    x = (x * Inverse(kFrameOdd2)) & mask;
    x ^= x >> (n / 2);
    x = (x * Inverse(kFrameOdd1)) & mask;
    // The low bits are k's; of the numbers with them, the nearest.
    const ULONGLONG ahead = (x - kFrameOffset - near) & mask;
    const ULONGLONG half = mask / 2 + 1;
    const ULONGLONG back = mask - ahead + 1;
    if (ahead >= half && n != 64 && back > near)
        return false;
    *k = ahead < half || n == 64 ? near + ahead : near - back;
    return true;
}

HostAsioCompare::HostAsioCompare(bool capture, ULONG frameBytes)
    : m_Capture(capture), m_FrameBytes(frameBytes), m_Scratch(frameBytes)
{
}

template <typename Bytes> ULONGLONG HostAsioCompare::Hash(Bytes bytes) const
{
    ULONGLONG h = 0xCBF29CE484222325ull;
    for (ULONG b = 0; b < m_FrameBytes; ++b, ++bytes)
        h = (h ^ *bytes) * 0x100000001B3ull;
    return h;
}

void HostAsioCompare::Sent(const UCHAR* data, size_t bytes)
{
    for (size_t at = 0; at + m_FrameBytes <= bytes; at += m_FrameBytes)
    {
        if (m_Indexed)
            m_Where[Hash(data + at)] = SentFrames();
        m_Sent.insert(m_Sent.end(), data + at, data + at + m_FrameBytes);
    }
    // The oldest forgotten; where a later frame has its samples, it stays found.
    for (; m_Sent.size() > kSentKept * m_FrameBytes; ++m_SentFrom)
    {
        const auto where = m_Indexed ? m_Where.find(Hash(m_Sent.cbegin())) : m_Where.end();
        if (where != m_Where.end() && where->second == m_SentFrom)
            m_Where.erase(where);
        m_Sent.erase(m_Sent.begin(), m_Sent.begin() + m_FrameBytes);
    }
}

// The frames kept are indexed by their samples once one read is not the
// frame due, and every frame sent from then on.
void HostAsioCompare::Index()
{
    if (m_Indexed)
        return;
    m_Indexed = true;
    for (ULONGLONG n = m_SentFrom; n < SentFrames(); ++n)
        m_Where[Hash(SentFrame(n))] = n;
}

void HostAsioCompare::Received(const UCHAR* data, size_t bytes)
{
    for (size_t at = 0; at + m_FrameBytes <= bytes; at += m_FrameBytes)
    {
        const UCHAR* frame = data + at;
        ULONGLONG n = 0;
        if (m_Capture ? PlaceSent(frame, &n) : PlaceClients(frame, &n))
            m_Order.Placed(n);
        else
            m_Order.Unplaced(
                std::all_of(frame, frame + m_FrameBytes, [](UCHAR b) { return b == 0; }),
                Processed());
    }
}

void HostAsioCompare::Processed(ULONGLONG from, ULONGLONG to)
{
    if (from >= to)
        return;
    // A restart takes frames again from an earlier one: spans it meets merge.
    auto first = std::lower_bound(m_Processed.begin(), m_Processed.end(), from,
                                  [](const auto& span, ULONGLONG n) { return span.second < n; });
    auto last = first;
    for (; last != m_Processed.end() && last->first <= to; ++last)
    {
        from = std::min(from, last->first);
        to = std::max(to, last->second);
    }
    m_Processed.insert(m_Processed.erase(first, last), {from, to});
}

// A frame found nowhere came from where the driver took it: render, the
// client's frame it stands in place of; capture, its place in the ring.
bool HostAsioCompare::Processed() const
{
    const ULONGLONG from = m_Capture ? m_Order.Received() : m_Order.Next();
    const auto after =
        std::upper_bound(m_Processed.begin(), m_Processed.end(), from,
                         [](ULONGLONG n, const auto& span) { return n < span.first; });
    return after != m_Processed.begin() && from < std::prev(after)->second;
}

bool HostAsioCompare::PlaceClients(const UCHAR* frame, ULONGLONG* n)
{
    if (!AsioClientFrameNumber(frame, m_FrameBytes, m_Order.Due(), n) || *n >= m_Written)
        return false;
    AsioClientFrame(*n, m_FrameBytes, m_Scratch.data());
    return std::equal(m_Scratch.begin(), m_Scratch.end(), frame);
}

bool HostAsioCompare::PlaceSent(const UCHAR* frame, ULONGLONG* n)
{
    // Most frames are the one due.
    *n = m_Order.Due();
    if (SentIs(*n, frame))
        return true;
    Index();
    const auto where = m_Where.find(Hash(frame));
    if (where == m_Where.end())
        return false;
    *n = where->second;
    return SentIs(*n, frame);
}

bool HostAsioCompare::SentIs(ULONGLONG n, const UCHAR* frame) const
{
    return n >= m_SentFrom && n < SentFrames() &&
           std::equal(frame, frame + m_FrameBytes, SentFrame(n));
}

HostAsioCompare::SentAt HostAsioCompare::SentFrame(ULONGLONG n) const
{
    return m_Sent.cbegin() + (ptrdiff_t)((n - m_SentFrom) * m_FrameBytes);
}

HostAsioSaid HostAsioSay(bool capture, const std::vector<HostOrderFault>& faults,
                         const std::string& processing)
{
    const Words& words = capture ? kCapture : kRender;
    HostAsioSaid said;
    for (const HostOrderFault& f : faults)
        if (f.Kind == HostOrderKind::Changed)
            said.Processing = Say(words.Processing, f, processing);
        else
            said.Faults.push_back(Say(words.Kinds[(size_t)f.Kind], f, processing));
    return said;
}

HostAsioSaid HostAsioCompare::Said(const std::string& processing) const
{
    return HostAsioSay(m_Capture, m_Order.Faults(), processing);
}
