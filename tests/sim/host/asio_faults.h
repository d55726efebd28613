// Faults put between the simulated device and the ASIO compare, as a faulty
// device, cable or client would, and what each makes the compare name,
// worked out from what was done: frames lost, repeated, inserted (noise or
// silence), blanked, reordered or replaced by an older one, a sample's
// lowest bit flipped, two channels swapped, and frames a level changed.
#pragma once

#include <map>
#include <random>
#include <string>
#include <unordered_map>

#include "sim/host/harness/host_asio_data.h"

enum Fault
{
    Lose,
    Repeat,
    Noise,
    Silence,
    Blank,
    Reorder,
    Flip,
    Swap,
    Replace,
    Level, // only in a phase with a level on
    kFaults
};

// The client's first 2^16 frames of a size, by their samples.
inline const std::unordered_map<std::string, ULONGLONG>& ClientFrames(ULONG bytes)
{
    static std::map<ULONG, std::unordered_map<std::string, ULONGLONG>> tables;
    auto& table = tables[bytes];
    std::string frame(bytes, 0);
    for (ULONGLONG k = table.size(); k < (1u << 16); ++k)
    {
        AsioClientFrame(k, bytes, (UCHAR*)frame.data());
        table[frame] = k;
    }
    return table;
}

// Puts faults into a stream of numbered frames as they pass on to the
// compare, and works out what each makes it name.
class Faulter
{
    using enum HostOrderKind;

  public:
    Faulter(ULONG frameBytes, ULONG sampleBytes) : m_Bytes(frameBytes), m_Sample(sampleBytes) {}

    // A phase of `frames` frames from here, with up to `faults` faults at
    // random places, 128 frames apart and from its end; `level`: a level is
    // on through it; `anew`: no frame before it is repeated (the device's
    // own frames start over at a start).
    void Phase(std::mt19937& r, size_t frames, int faults, bool level, bool anew = false)
    {
        Processed(0, level ? ~0ull : 0, false);
        m_Kept = anew ? 0 : m_Kept;
        m_Plan.clear();
        m_Step = m_Raw = 0;
        for (size_t at = r() % 400; faults-- > 0 && at + 160 < frames; at += 128 + r() % 1500)
        {
            const Fault what = (Fault)(r() % (level ? kFaults : Level));
            Put(what, at, 1 + (ULONG)r() % (what == Reorder ? 8 : 30), 1 + (ULONG)r() % 6000);
        }
    }
    // The driver took frames `from` to before `to` while a level was on: by
    // their numbers in the stream due, or (`passed`) as they passed on.
    void Processed(ULONGLONG from, ULONGLONG to, bool passed)
    {
        m_ProcessedFrom = from;
        m_ProcessedTo = to;
        m_ByPassed = passed;
    }
    // A fault at frame `at` of the phase, after those put before: `count`
    // frames lost, inserted, blanked, reordered or levelled; `back`, the
    // frames back a repeat takes its frame from, or the sample a flip flips.
    void Put(Fault what, size_t at, ULONG count, ULONG back)
    {
        m_Plan.push_back({what, at, count, back});
    }

    // Frame `n` of the stream due passes; what comes of it is appended.
    void Pass(ULONGLONG n, const UCHAR* frame, std::vector<UCHAR>* out)
    {
        const size_t i = m_Raw++;
        while (m_Step < m_Plan.size() && m_Plan[m_Step].At + Span(m_Plan[m_Step]) <= i)
            ++m_Step;
        const Planned* p =
            m_Step < m_Plan.size() && m_Plan[m_Step].At <= i ? &m_Plan[m_Step] : nullptr;
        const ULONG o = p != nullptr ? (ULONG)(i - p->At) : 0;
        m_Frame.assign(frame, frame + m_Bytes);
        switch (p != nullptr ? p->What : kFaults)
        {
        case Lose:
            if (o < p->Count)
                return;
            Add({Lost, m_Out, n - o, n - 1, n});
            break;
        case Repeat:
        case Replace:
            if (o == 1 && m_Replaced)
                Add({Lost, m_Out, n - 1, n - 1, n});
            else if (o == 0 && (m_Replaced = m_Kept != 0))
            {
                const size_t slot = (m_Kept - 1 - (p->Back - 1) % std::min(m_Kept, kKept)) % kKept;
                Add({Again, m_Out, m_Numbers[slot], 0, n});
                Emit(m_Numbers[slot], &m_History[slot * m_Bytes], out);
                if (p->What == Replace)
                    return;
            }
            break;
        case Noise:
        case Silence:
            Add({Inserted, m_Out, 0, 0, n, p->Count});
            for (ULONG k = 0; k < p->Count; ++k)
                Emit(~0ull, p->What == Noise ? Altered(Noise, 0) : m_Silence.data(), out);
            break;
        case Blank:
        case Level:
            if (o == 0)
                Add({p->What == Blank ? Blanked : Other, m_Out, n, n + p->Count - 1});
            if (o < p->Count)
                return Emit(~0ull, p->What == Blank ? m_Silence.data() : Altered(Level, 0), out);
            break;
        case Reorder:
            if (o < p->Count)
                m_Held.push_back({n, m_Frame});
            else
                Emit(n, frame, out);
            if (o + 1 == 2 * p->Count)
            {
                Add({Again, m_Out, m_Held.front().first, 0, n + 1});
                for (const auto& [k, held] : m_Held)
                    Emit(k, held.data(), out);
                m_Held.clear();
            }
            return;
        case Flip:
        case Swap:
            Add({Other, m_Out, n, n});
            return Emit(~0ull, Altered(p->What, p->Back), out);
        default:
            break;
        }
        Emit(n, frame, out);
    }

    // What the compare must say: the first fault of each kind, in the order
    // received, a level named as `level`.
    HostAsioSaid Said(bool capture, const char* level = "") const
    {
        std::vector<HostOrderFault> first;
        for (const HostOrderFault& f : m_Faults)
            if (std::none_of(first.begin(), first.end(),
                             [&](const HostOrderFault& g) { return g.Kind == f.Kind; }))
                first.push_back(f);
        return HostAsioSay(capture, first, level);
    }

  private:
    struct Planned
    {
        Fault What;
        size_t At;
        ULONG Count, Back;
    };

    static size_t Span(const Planned& p)
    {
        const size_t spans[kFaults] = {p.Count + 1, 1, 1, 1, p.Count,
                                       2 * p.Count, 1, 1, 2, p.Count};
        return spans[p.What];
    }
    // In the order received; of frames blanked or changed, those the driver
    // took with a level on are its, the rest faults still.
    void Add(const HostOrderFault& f)
    {
        if (f.Kind != Blanked && f.Kind != Other)
            return Keep(f);
        const auto level = [&](ULONGLONG k)
        {
            const ULONGLONG n = m_ByPassed ? f.At + k : f.First + k;
            return n >= m_ProcessedFrom && n < m_ProcessedTo;
        };
        for (ULONGLONG k = 0, end; k <= f.Last - f.First; k = end)
        {
            for (end = k + 1; end <= f.Last - f.First && level(end) == level(k);)
                ++end;
            Keep({level(k) ? Changed : f.Kind, f.At + k, f.First + k, f.First + end - 1});
        }
    }
    void Keep(const HostOrderFault& f)
    {
        m_Faults.insert(std::upper_bound(m_Faults.begin(), m_Faults.end(), f,
                                         [](const auto& a, const auto& b) { return a.At < b.At; }),
                        f);
    }
    // A frame passed on; those numbered are kept to repeat.
    void Emit(ULONGLONG n, const UCHAR* frame, std::vector<UCHAR>* out)
    {
        out->insert(out->end(), frame, frame + m_Bytes);
        ++m_Out;
        if (n == ~0ull)
            return;
        const size_t slot = m_Kept++ % kKept;
        memmove(&m_History[slot * m_Bytes], frame, m_Bytes);
        m_Numbers[slot] = n;
    }
    // The frame with sample `pick`'s lowest bit flipped, two channels
    // swapped, or every byte changed (noise, a level): neither silence nor
    // one of the client's.
    UCHAR* Altered(Fault how, ULONG pick)
    {
        const ULONG channels = m_Bytes / m_Sample;
        for (ULONG tries = 0;; ++tries)
        {
            std::vector<UCHAR> g = m_Frame;
            if (how == Swap)
                std::swap_ranges(g.begin(), g.begin() + m_Sample,
                                 g.begin() + (1 + tries % (channels - 1)) * m_Sample);
            else if (how == Flip)
                g[(pick + tries) % channels * m_Sample] ^= 1;
            else
                for (UCHAR& b : g)
                    b ^= how == Noise ? (UCHAR)(m_Noise() | 1) : (UCHAR)(0x5A + tries);
            if (g != m_Frame && g != std::vector<UCHAR>(m_Bytes) &&
                (m_Bytes > 8 || !ClientFrames(m_Bytes).contains(std::string(g.begin(), g.end()))))
                return (m_Frame = g).data();
        }
    }

    const ULONG m_Bytes, m_Sample;
    std::vector<Planned> m_Plan;
    size_t m_Step = 0, m_Raw = 0;
    ULONGLONG m_Out = 0; // frames passed on over the run
    bool m_Replaced = false;
    ULONGLONG m_ProcessedFrom = 0, m_ProcessedTo = 0;
    bool m_ByPassed = false;
    // The last kKept frames passed on and their numbers, of m_Kept.
    static constexpr size_t kKept = 8192;
    std::vector<UCHAR> m_History = std::vector<UCHAR>(kKept * m_Bytes);
    std::vector<ULONGLONG> m_Numbers = std::vector<ULONGLONG>(kKept);
    size_t m_Kept = 0;
    std::vector<std::pair<ULONGLONG, std::vector<UCHAR>>> m_Held;
    std::vector<HostOrderFault> m_Faults;
    std::vector<UCHAR> m_Frame, m_Silence = std::vector<UCHAR>(m_Bytes);
    std::mt19937 m_Noise{7};
};

// The faults between the device and the compare (ring 0 renders, ring 1
// captures), each frame numbered as the one after the last, else, after a
// start, found among the client's frames or the device's latest (a frame
// processing changed is found nowhere, and taken as the one after).
class FaultTap : public HostAsioTap
{
  public:
    FaultTap(ULONG bytes, ULONG sample)
        : Render(bytes, sample), Capture(bytes, sample), m_Bytes(bytes), m_Next(bytes)
    {
    }
    void Sent(size_t, const std::vector<UCHAR>& bytes) override
    {
        m_Sent.insert(m_Sent.end(), bytes.begin(), bytes.end());
    }
    void Received(size_t, std::vector<UCHAR>* bytes) override
    {
        Through(Render, bytes,
                [&](const UCHAR* f)
                {
                    AsioClientFrame(m_Render, m_Bytes, m_Next.data());
                    const auto& clients = ClientFrames(m_Bytes);
                    const auto k = memcmp(m_Next.data(), f, m_Bytes) != 0
                                       ? clients.find(std::string(f, f + m_Bytes))
                                       : clients.end();
                    m_Render = k != clients.end() ? k->second : m_Render;
                    return m_Render++;
                });
    }
    void Read(size_t, std::vector<UCHAR>* frames) override
    {
        Through(Capture, frames,
                [&](const UCHAR* f)
                {
                    ULONGLONG n = m_Sent.size() / m_Bytes;
                    while (!Is(m_Capture, f) && n > 0 && !Is(n - 1, f))
                        --n;
                    m_Capture = Is(m_Capture, f) || n == 0 ? m_Capture : n - 1;
                    return m_Capture++;
                });
    }

    Faulter Render, Capture;

  private:
    bool Is(ULONGLONG n, const UCHAR* f) const
    {
        return (n + 1) * m_Bytes <= m_Sent.size() && !memcmp(&m_Sent[n * m_Bytes], f, m_Bytes);
    }
    template <typename Number>
    void Through(Faulter& faulter, std::vector<UCHAR>* bytes, Number number)
    {
        std::vector<UCHAR> out;
        for (size_t at = 0; at < bytes->size(); at += m_Bytes)
            faulter.Pass(number(bytes->data() + at), bytes->data() + at, &out);
        *bytes = out;
    }

    const ULONG m_Bytes;
    std::vector<UCHAR> m_Sent, m_Next;
    ULONGLONG m_Render = 0, m_Capture = 0;
};
