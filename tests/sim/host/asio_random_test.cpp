// ASIO runs drawn at random, each from a seed of its own, one way each:
// render, the client's frames against what the device received; capture,
// what the client read against what the device sent. Faults go in between,
// at random places: frames lost, repeated, inserted (noise or silence),
// blanked, reordered or replaced by an older one, a sample's lowest bit
// flipped, two channels swapped, and a level over a stretch in a phase
// where the path has one on (what is changed there is the level's, what is
// changed elsewhere a fault); across restarts. The lines the compare says are checked
// against those worked out here from what was done: the first of each kind,
// in the order received. Most runs feed the compare directly; one in eight
// goes end to end through the driver on a ring of every type, the faults put
// into what the device received and what the client read, across a return
// to full power and a stop and start.
#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <random>
#include <unordered_map>

#include "platform/kernel/emu.h"
#include "sim/host/harness/host_asio_data.h"

namespace
{
// As the compare orders them.
enum Kind
{
    Lost,
    Again,
    Inserted,
    Blanked,
    Other,
    Processed // blanked or other, where a level was on
};
// A line a fault makes: frames of the stream due, and At of those received.
struct Line
{
    Kind What;
    ULONGLONG At, First = 0, Last = 0, Due = 0, Count = 0;
};

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
    Level, // only in a phase where the path has a level on
    kFaults
};

const char* const kWords[2][5] = {
    {"the device never received frames {first} to {last}: from wire frame {at} it received "
     "frame {due} on",
     "the device received frame {first} again or out of order at wire frame {at}, in place of "
     "frame {due}",
     "the device received {count} frame(s) inserted before frame {due}, from wire frame {at}",
     "the device received silence in place of frames {first} to {last}, from wire frame {at}",
     "the device received other samples than the client's in place of frames {first} to "
     "{last}, from wire frame {at}"},
    {"the capture ring never got wire frames {first} to {last}: from frame {at} it holds the "
     "device's wire frame {due} on",
     "the capture ring holds wire frame {first} again or out of order at frame {at}, in place "
     "of wire frame {due}",
     "the capture ring holds {count} frame(s) the device never sent, inserted before wire frame "
     "{due}, from frame {at}",
     "the capture ring holds silence in place of wire frames {first} to {last}, from frame {at}",
     "the capture ring holds other samples than the device sent in place of wire frames "
     "{first} to {last}, from frame {at}"}};
constexpr char kLevel[] = "volume -6.0 dB on control 3";

std::string Say(const char* words, const Line& l)
{
    std::string text = words;
    for (const auto& [name, value] : {std::pair{"{first}", l.First},
                                      {"{last}", l.Last},
                                      {"{due}", l.Due},
                                      {"{at}", l.At},
                                      {"{count}", l.Count}})
        if (const size_t i = text.find(name); i != text.npos)
            text.replace(i, strlen(name), std::to_string(value));
    return text;
}

// The client's frames of a size by their samples, the first 2^16 of them:
// what a frame the faults made must not be, and what the device received.
const std::unordered_map<std::string, ULONGLONG>& ClientFrames(ULONG bytes)
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
// compare, and works out the line each makes.
class Faulter
{
  public:
    Faulter(ULONG frameBytes, ULONG sampleBytes) : m_Bytes(frameBytes), m_SampleBytes(sampleBytes)
    {
    }

    // From here a phase of `frames` frames, counted from 0, with up to
    // `faults` faults at random places, each 128 frames from the next and
    // from the phase's end; `level`: a level is on through it; `anew`:
    // frames before it are repeated no more (the device's own frames start
    // over at every start).
    void Phase(std::mt19937& r, size_t frames, int faults, bool level, bool anew = false)
    {
        m_Level = level;
        if (anew)
            m_Kept = 0;
        m_Plan.clear();
        m_Step = m_Raw = 0;
        for (size_t at = r() % 400; faults-- > 0 && at + 160 < frames; at += 128 + r() % 1500)
        {
            const Fault what = (Fault)(r() % (level ? kFaults : Level));
            m_Plan.push_back({what, at, 1 + (ULONG)r() % (what == Reorder ? 8 : 30),
                              1 + (ULONG)r() % 6000, (ULONG)r()});
        }
    }

    // Frame `n` of the stream due passes; what comes out of it is appended.
    void Pass(ULONGLONG n, const UCHAR* frame, std::vector<UCHAR>* out)
    {
        const size_t i = m_Raw++;
        while (m_Step < m_Plan.size() && m_Plan[m_Step].At + Span(m_Plan[m_Step]) <= i)
            ++m_Step;
        const Planned* p =
            m_Step < m_Plan.size() && m_Plan[m_Step].At <= i ? &m_Plan[m_Step] : nullptr;
        const size_t o = p != nullptr ? i - p->At : 0;
        std::vector<UCHAR>& f = m_Frame;
        f.assign(frame, frame + m_Bytes);
        switch (p != nullptr ? p->What : kFaults)
        {
        case Lose:
            if (o == 0)
                m_Pending = {Lost, 0, n, n + p->Count - 1};
            if (o < p->Count)
                return;
            Add({Lost, m_Out, m_Pending.First, m_Pending.Last, n});
            break;
        case Repeat:
        case Replace:
            if (o == 1 && m_Replaced)
                Add({Lost, m_Out, n - 1, n - 1, n});
            else if (o == 0 && (m_Replaced = m_Kept != 0))
            {
                const size_t slot =
                    (m_Kept - 1 - p->Back % std::min<size_t>(m_Kept, kKept)) % kKept;
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
                Emit(~0ull,
                     p->What == Noise ? Altered(f, Noise, 0) : std::vector<UCHAR>(m_Bytes).data(),
                     out);
            break;
        case Blank:
        case Level:
            if (o == 0)
                Add({p->What == Blank ? Blanked : Other, m_Out, n, n + p->Count - 1});
            if (o < p->Count)
                return Emit(~0ull,
                            p->What == Blank ? std::vector<UCHAR>(m_Bytes).data()
                                             : Altered(f, Level, 0),
                            out);
            break;
        case Reorder:
            if (o < p->Count)
                m_Held.push_back({n, f});
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
            return Emit(~0ull, Altered(f, p->What, p->Pick), out);
        default:
            break;
        }
        Emit(n, frame, out);
    }

    // The first line of each kind, in the order received; frames changed
    // or blanked while a level was on are its, said in *processing.
    std::vector<std::string> Lines(bool capture, std::string* processing) const
    {
        std::vector<Line> first;
        for (const Line& l : m_Lines)
            if (std::none_of(first.begin(), first.end(),
                             [&](const Line& f) { return f.What == l.What; }))
                first.push_back(l);
        std::stable_sort(first.begin(), first.end(),
                         [](const Line& a, const Line& b) { return a.At < b.At; });
        std::vector<std::string> said;
        for (const Line& l : first)
            if (l.What != Processed)
                said.push_back(Say(kWords[capture][l.What], l));
            else
                *processing =
                    std::string("processing is on: ") + kLevel + ": from frame " +
                    std::to_string(capture ? l.At : l.First) +
                    (capture ? " the capture ring holds other samples than the device sent"
                             : " the device received other samples than the client's");
        return said;
    }

  private:
    struct Planned
    {
        Fault What;
        size_t At;
        ULONG Count, Back, Pick;
    };

    static size_t Span(const Planned& p)
    {
        const size_t spans[kFaults] = {p.Count + 1, 1, 1, 1, p.Count,
                                       2 * p.Count, 1, 1, 2, p.Count};
        return spans[p.What];
    }
    // Kept by the order received, so a line of the same kind received later
    // never goes first.
    void Add(Line l)
    {
        l.What = m_Level && (l.What == Blanked || l.What == Other) ? Processed : l.What;
        m_Lines.insert(std::upper_bound(m_Lines.begin(), m_Lines.end(), l,
                                        [](const Line& a, const Line& b) { return a.At < b.At; }),
                       l);
    }
    // A frame passed on: numbered ones are kept to repeat.
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
    // The frame with a sample's lowest bit flipped (the sample `pick`), two
    // channels swapped, or every byte changed (noise, a level), and none of
    // the client's frames.
    UCHAR* Altered(std::vector<UCHAR>& f, Fault how, ULONG pick)
    {
        const ULONG channels = m_Bytes / m_SampleBytes;
        for (ULONG tries = 0;; ++tries)
        {
            std::vector<UCHAR> g = f;
            if (how == Swap)
                std::swap_ranges(g.begin(), g.begin() + m_SampleBytes,
                                 g.begin() + (1 + tries % (channels - 1)) * m_SampleBytes);
            else if (how == Flip)
                g[(pick + tries) % channels * m_SampleBytes] ^= 1;
            else
                for (UCHAR& b : g)
                    b ^= how == Noise ? (UCHAR)(m_Noise() | 1) : (UCHAR)(0x5A + tries);
            if (g != f &&
                (m_Bytes > 8 || !ClientFrames(m_Bytes).contains(std::string(g.begin(), g.end()))))
                return (f = g).data();
        }
    }

    const ULONG m_Bytes, m_SampleBytes;
    std::vector<Planned> m_Plan;
    size_t m_Step = 0, m_Raw = 0;
    ULONGLONG m_Out = 0; // frames passed on over the run
    Line m_Pending{};
    bool m_Level = false;
    bool m_Replaced = false;
    // The last kKept frames passed on with their numbers, of m_Kept.
    static constexpr size_t kKept = 8192;
    std::vector<UCHAR> m_History = std::vector<UCHAR>(kKept * m_Bytes);
    std::vector<ULONGLONG> m_Numbers = std::vector<ULONGLONG>(kKept);
    size_t m_Kept = 0;
    std::vector<std::pair<ULONGLONG, std::vector<UCHAR>>> m_Held;
    std::vector<Line> m_Lines;
    std::vector<UCHAR> m_Frame;
    std::mt19937 m_Noise{7};
};

// What a run said one way, and what its faults make it say.
struct Outcome
{
    std::vector<std::string> Said, Expected;
    std::string Processing, ExpectedProcessing, Position;
};

Outcome Expect(const Faulter& faulter, bool capture, const HostAsioSaid& said)
{
    Outcome o;
    o.Said = said.Faults;
    o.Processing = said.Processing;
    o.Expected = faulter.Lines(capture, &o.ExpectedProcessing);
    return o;
}

// A run fed to the compare directly, in phases (starts): render, the
// client's frames from the first never written; capture, the client's
// frames as the device's, some sent at each restart and never read.
std::vector<Outcome> Direct(std::mt19937& r)
{
    const bool capture = r() % 2 != 0;
    const int level = r() % 4 == 0 ? (int)(r() % 3) : -1; // the phase with a level on
    const ULONG sampleBytes = 2 + r() % 3, frameBytes = sampleBytes * (2 + r() % 7);
    HostAsioCompare compare(capture, frameBytes);
    Faulter faulter(frameBytes, sampleBytes);
    std::vector<UCHAR> frame(frameBytes), out;
    ULONGLONG base = 0, sent = 0;
    for (int phase = 0, phases = 1 + r() % 3; phase < phases; ++phase)
    {
        const size_t frames = 300 + r() % 2400;
        for (ULONG gone = capture ? r() % 40 : 0; gone > 0; --gone, ++sent)
        {
            AsioClientFrame(sent, frameBytes, frame.data());
            compare.Sent(frame.data(), frameBytes);
        }
        compare.Start(capture ? sent : base);
        compare.Written(base + frames);
        compare.Processing(phase == level, 0);
        faulter.Phase(r, frames, (int)(r() % 4), phase == level);
        for (size_t i = 0; i < frames; ++i)
        {
            const ULONGLONG n = capture ? sent++ : base + i;
            AsioClientFrame(n, frameBytes, frame.data());
            if (capture)
                compare.Sent(frame.data(), frameBytes);
            faulter.Pass(n, frame.data(), &out);
            if (r() % 64 == 0 || i + 1 == frames)
            {
                compare.Received(out.data(), out.size());
                out.clear();
            }
        }
        base += frames + r() % 960;
    }
    return {Expect(faulter, capture, compare.Said(kLevel))};
}

// The ring types, each the device and the type its rings are mapped in.
const struct
{
    const char* Device;
    ULONG Type;
} kRingTypes[] = {{"Uac2HighSpeed", 16},
                  {"uac2-24-bit-only-headset.txt", 17},
                  {"uac2-32-bit-terminals-only-headset.txt", 18},
                  {"uac2-20-bit-in-4-bytes-headset.txt", 18},
                  {"uac2-32-bit-terminals-only-headset.txt", 24},
                  {"high-bandwidth-eight-channels.txt", 27}};

// The faults between the device and the compare, both ways (ring 0 renders,
// ring 1 captures): each frame numbered as the device received or sent it.
class FaultTap : public HostAsioTap
{
  public:
    FaultTap(ULONG frameBytes, ULONG sampleBytes)
        : Render(frameBytes, sampleBytes), Capture(frameBytes, sampleBytes), m_Bytes(frameBytes)
    {
    }
    void Sent(size_t, const std::vector<UCHAR>& bytes) override
    {
        m_Sent.insert(m_Sent.end(), bytes.begin(), bytes.end());
    }
    // Each frame the one after the last, else, after a start, found among
    // the client's (render) or the latest the device sent (capture).
    void Received(size_t, std::vector<UCHAR>* bytes) override
    {
        Through(Render, bytes,
                [&](const UCHAR* f)
                {
                    std::vector<UCHAR> next(m_Bytes);
                    AsioClientFrame(m_Render, m_Bytes, next.data());
                    if (memcmp(next.data(), f, m_Bytes) != 0)
                        m_Render = ClientFrames(m_Bytes).at(std::string(f, f + m_Bytes));
                    return m_Render++;
                });
    }
    void Read(size_t, std::vector<UCHAR>* frames) override
    {
        Through(Capture, frames,
                [&](const UCHAR* f)
                {
                    const auto is = [&](ULONGLONG n) {
                        return (n + 1) * m_Bytes <= m_Sent.size() &&
                               !memcmp(&m_Sent[n * m_Bytes], f, m_Bytes);
                    };
                    for (ULONGLONG n = m_Sent.size() / m_Bytes; !is(m_Capture); m_Capture = --n)
                        ;
                    return m_Capture++;
                });
    }

    Faulter Render, Capture;

  private:
    template <typename Number>
    void Through(Faulter& faulter, std::vector<UCHAR>* bytes, Number number)
    {
        std::vector<UCHAR> out;
        for (size_t at = 0; at < bytes->size(); at += m_Bytes)
            faulter.Pass(number(bytes->data() + at), bytes->data() + at, &out);
        *bytes = out;
    }

    const ULONG m_Bytes;
    std::vector<UCHAR> m_Sent;
    ULONGLONG m_Render = 0, m_Capture = 0;
};

// The started devices of the ring types, each reused from run to run.
using Hosts = std::map<size_t, std::unique_ptr<HostHarness>>;

HostHarness& Started(Hosts& hosts, size_t row)
{
    std::unique_ptr<HostHarness>& host = hosts[row];
    if (host != nullptr)
        return *host;
    host = std::make_unique<HostHarness>();
    const std::string device = kRingTypes[row].Device;
    std::string error;
    EXPECT_EQ(STATUS_SUCCESS, host->LoadDriver());
    EXPECT_EQ(STATUS_SUCCESS,
              device.ends_with(".txt")
                  ? host->PlugDescriptorFile(std::string(LT_QUIRKS_DIR) + "/" + device, &error)
                  : host->PlugReference(device, &error));
    EXPECT_EQ(STATUS_SUCCESS, host->AddDevice());
    EXPECT_EQ(STATUS_SUCCESS, host->StartDevice());
    return *host;
}

// A run end to end through the driver on a ring type: the first start, a
// return to full power while streaming and a stop and start, 100 ms each
// with faults in their first 60 ms, both ways.
std::vector<Outcome> EndToEnd(std::mt19937& r, Hosts& hosts)
{
    const size_t row = r() % std::size(kRingTypes);
    HostHarness& host = Started(hosts, row);
    AsioTestClient client(host.Fdo());
    ULONG sizes[4] = {};
    EXPECT_EQ(STATUS_SUCCESS, client.Open());
    EXPECT_EQ(STATUS_SUCCESS, client.SetSampleType(kRingTypes[row].Type));
    EXPECT_EQ(STATUS_SUCCESS, client.GetBufferSize(sizes));
    EXPECT_EQ(STATUS_SUCCESS, client.MapAll(sizes[2]));
    const ULONG sampleBytes = client.RingSampleBytes();
    FaultTap tap(client.Rings()[0].Channels * sampleBytes, sampleBytes);
    HostAsioData data(client, host, sampleBytes, &tap);
    const auto phase = [&]
    {
        tap.Render.Phase(r, 2880, (int)(r() % 3), false);
        tap.Capture.Phase(r, 2880, (int)(r() % 3), false, true);
        data.Run(100);
    };
    data.BeforeStart();
    EXPECT_EQ(STATUS_SUCCESS, client.Start());
    data.AfterStart();
    phase();
    EXPECT_EQ(STATUS_SUCCESS, EmuPoSendDevicePower(host.Pdo(), IRP_MN_SET_POWER, PowerDeviceD2));
    data.Run(1 + r() % 20);
    EXPECT_EQ(STATUS_SUCCESS, EmuPoSendDevicePower(host.Pdo(), IRP_MN_SET_POWER, PowerDeviceD0));
    data.Restarted();
    phase();
    EXPECT_EQ(STATUS_SUCCESS, client.Stop());
    data.BeforeStart();
    EXPECT_EQ(STATUS_SUCCESS, client.Start());
    data.AfterStart();
    phase();
    EXPECT_EQ(STATUS_SUCCESS, client.Stop());
    const HostAsioWay render = data.Render(), capture = data.Capture();
    std::vector<Outcome> o = {Expect(tap.Render, false, {render.Faults, render.Processing}),
                              Expect(tap.Capture, true, {capture.Faults, capture.Processing})};
    o[0].Position = render.Position + capture.Position;
    return o;
}

// Runs `from` to `to`, one in eight end to end.
void Runs(unsigned from, unsigned to)
{
    Hosts hosts;
    for (unsigned seed = from; seed < to; ++seed)
    {
        std::mt19937 r(seed);
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        for (const Outcome& o : seed % 8 == 0 ? EndToEnd(r, hosts) : Direct(r))
        {
            EXPECT_EQ(o.Expected, o.Said);
            EXPECT_EQ(o.ExpectedProcessing, o.Processing);
            EXPECT_EQ("", o.Position);
        }
    }
}

constexpr unsigned kShardRuns = 1250;
} // namespace

// Ten thousand runs in eight shards.
class RandomAsioRunsNameTheirFaults : public testing::TestWithParam<unsigned>
{
};

TEST_P(RandomAsioRunsNameTheirFaults, Shard)
{
    const unsigned from = 20261210 + GetParam() * kShardRuns;
    Runs(from, from + kShardRuns);
}

INSTANTIATE_TEST_SUITE_P(HostAsioCompare, RandomAsioRunsNameTheirFaults, testing::Range(0u, 8u));

// The longer run, outside CI: LT_ASIO_SEEDS=FROM:TO (by default the 100,000
// seeds from 1), as in
//   LT_ASIO_SEEDS=1:100001 test_sim_host --gtest_also_run_disabled_tests
//     --gtest_filter='*DISABLED_RandomAsioRunsOfASeedRange'
TEST(HostAsioCompare, DISABLED_RandomAsioRunsOfASeedRange)
{
    const char* seeds = getenv("LT_ASIO_SEEDS");
    char* to = nullptr;
    const unsigned from = seeds != nullptr ? (unsigned)strtoul(seeds, &to, 10) : 1;
    Runs(from, to != nullptr && *to == ':' ? (unsigned)strtoul(to + 1, nullptr, 10) : 100001);
}
