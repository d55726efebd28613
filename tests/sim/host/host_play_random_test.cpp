// Plays drawn at random with a fixed seed: files of every kind the play
// compare meets, whose path loses, blanks or inserts frames, or whose driver
// changes their levels. Each verdict is checked against the one the README
// states, worked out from what was done to the file, frame by frame.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <random>

#include "sim/host/harness/host_wire_compare.h"

namespace
{
// Noise, noise of ±4, sines, a square wave, a constant, noise with silent
// passages; the frames a repeating kind repeats after.
constexpr int Noise = 0, Quiet = 1, Sine = 2, Sine32 = 3, Square = 4, Constant = 5, Gaps = 6;
constexpr size_t kPeriod[] = {0, 0, 100, 32, 40, 1, 0};

// A received frame: the file's frame At ('F', inserted again too), silence in
// its place ('B'), inserted ('I'), the file's frame with the driver's levels
// ('X'), or silence before or after the play ('P'). A fault: frames lost ('L'), blanked ('B'),
// inserted again ('C'), or noise ('N') or silence ('S') inserted.
struct Tag
{
    char What;
    size_t At;
};

// A file and what the device received of it, in the file's bytes.
struct Play
{
    int Drawn; // the kind
    USHORT Bits;
    size_t Channels, Bytes, Search; // Bytes: a frame's
    std::vector<UCHAR> File, Wire, Silence;
    std::vector<Tag> Tags;
    bool Processed = false, NoiseInserted = false;

    size_t Frames(const std::vector<UCHAR>& s) const { return s.size() / Bytes; }
    bool Sound(const std::vector<UCHAR>& s, size_t f) const
    {
        return memcmp(&s[f * Bytes], Silence.data(), Bytes) != 0;
    }
    bool Same(size_t w, size_t f) const
    {
        return !memcmp(&Wire[w * Bytes], &File[f * Bytes], Bytes);
    }
    // `count` frames from `frames` on (silence: null), tagged from `tag` on.
    void Add(const UCHAR* frames, Tag tag, size_t count)
    {
        if (frames != nullptr)
            Wire.insert(Wire.end(), frames, frames + count * Bytes);
        Wire.resize(Wire.size() + (frames == nullptr ? count * Bytes : 0), Silence[0]);
        for (size_t k = 0; k < count; ++k)
            Tags.push_back({tag.What, tag.At + k});
    }
    int Get(const UCHAR* s) const
    {
        return Bits == 8    ? *s - 128
               : Bits == 16 ? (SHORT)(s[0] | s[1] << 8)
                            : (s[0] | s[1] << 8 | s[2] << 16) << 8 >> 8;
    }
    void Put(UCHAR* to, int v) const
    {
        for (USHORT b = 0; b < Bits / 8; ++b)
            to[b] = Bits == 8 ? (UCHAR)(v + 128) : (UCHAR)(v >> (8 * b));
    }
    // The first frame of sound from `f` on, or the frames held.
    size_t SoundFrom(const std::vector<UCHAR>& s, size_t f) const
    {
        while (f < Frames(s) && !Sound(s, f))
            ++f;
        return f;
    }
    // The wire frames from `w` on that are the file's in order (*frames),
    // and the frames of sound among the first 64 of them.
    size_t RunSounds(size_t w, size_t* frames = nullptr) const
    {
        size_t n = 0, sounds = 0;
        for (; w + n < Tags.size() && Tags[w + n].What == 'F' && Tags[w + n].At == Tags[w].At + n;
             ++n)
            sounds += n < 64 && Sound(Wire, w + n) ? 1 : 0;
        return frames != nullptr ? (*frames = n, sounds) : sounds;
    }
};

// A file after its own silence; then what the device receives of it between
// silences: the file with up to three faults (at its first frames of sound,
// closer than a run, anywhere; of one frame to a window's) or the driver's
// levels (a gain of a half, three quarters or one and a half, from the first
// frame or a later one; the 32-bit float chain's rounding, a unit off loud
// samples).
Play Draw(std::mt19937& r, USHORT bits, size_t channels, ULONG rate)
{
    const int full = (1 << (bits - 1)) - 1;
    const size_t bytes = channels * bits / 8, n = rate / 4 + r() % (3 * rate / 4),
                 first = r() % 300;
    Play p{(int)(r() % (Gaps + 1)), bits, channels, bytes, rate / 2, {}, {}, {}, {}};
    p.Silence.assign(bytes, bits == 8 ? 0x80 : 0);
    p.File.resize(n * bytes, p.Silence[0]);
    const size_t period = kPeriod[p.Drawn];
    if (p.Drawn == Noise || p.Drawn == Gaps)
        std::generate(p.File.begin() + (ptrdiff_t)(first * bytes), p.File.end(),
                      [&r] { return (UCHAR)r(); });
    for (size_t f = first; p.Drawn != Noise && p.Drawn != Gaps && f < n; ++f)
        for (size_t c = 0; c < channels; ++c)
        {
            UCHAR* to = &p.File[f * bytes + c * bits / 8];
            if (p.Drawn != Quiet && f >= first + period)
                memcpy(to, to - period * bytes, bits / 8);
            else
                p.Put(to,
                      p.Drawn == Quiet    ? (int)(r() % 9) - 4
                      : p.Drawn == Square ? ((f - first) % 40 < 20 ? full / 2 : -full / 2)
                      : p.Drawn == Constant
                          ? full / 3
                          : (int)std::lround(full * 0.5 *
                                             std::sin((double)c + 2 * M_PI * (double)(f - first) /
                                                                      (double)period)));
        }
    for (size_t gap = 0; p.Drawn == Gaps && gap < 3; ++gap)
    {
        const size_t at = r() % n, length = std::min(50 + r() % (n / 5), n - at);
        std::fill_n(&p.File[at * bytes], length * bytes, p.Silence[0]);
    }
    p.Add(nullptr, {'P', 0}, r() % 400);
    p.Processed = r() % 5 == 0;
    if (p.Processed)
    {
        const double gains[] = {0.5, 0.75, 1.5, 0}, gain = gains[r() % 4];
        const size_t from = r() % 2 != 0 ? 0 : first + r() % (n - first);
        std::vector<UCHAR> levels(p.File);
        for (size_t at = from * bytes; at < levels.size(); at += bits / 8)
        {
            const int v = p.Get(&p.File[at]),
                      unit = std::abs(v) >= 1 << (bits - 6) ? (v > 0) - (v < 0) : 0;
            p.Put(&levels[at],
                  gain == 0 ? v - unit : std::clamp((int)std::lround(v * gain), -full - 1, full));
        }
        p.Add(levels.data(), {'F', 0}, from);
        p.Add(levels.data() + from * bytes, {'X', from}, n - from);
    }
    size_t next = 0; // the file's next frame
    for (size_t i = 0, at = first, faults = p.Processed ? 0 : r() % 4; i < faults && at < n; ++i)
    {
        at += i == 0 && r() % 4 == 0   ? r() % 64
              : i != 0 && r() % 2 == 0 ? 1 + r() % 63
                                       : r() % (n - at);
        if (at >= n)
            break;
        char fault = "LBCNS"[r() % 5];
        size_t length =
            (size_t)std::exp(std::uniform_real_distribution<>(0, std::log(p.Search - 1))(r));
        fault = fault == 'C' && at < length ? 'N' : fault;
        length = fault == 'L' || fault == 'B' ? std::min(length, n - at) : length;
        p.Add(p.File.data() + next * bytes, {'F', next}, at - next);
        std::vector<UCHAR> noise(fault == 'N' ? length * bytes : 0);
        std::generate(noise.begin(), noise.end(), [&r] { return (UCHAR)r(); });
        const Tag tag{fault == 'C'   ? 'F'
                      : fault == 'B' ? 'B'
                                     : 'I',
                      fault == 'C' ? at - length : at};
        if (fault != 'L')
            p.Add(fault == 'C'   ? &p.File[tag.At * bytes]
                  : fault == 'N' ? noise.data()
                                 : nullptr,
                  tag, length);
        p.NoiseInserted |= fault == 'N';
        next = at = fault == 'L' || fault == 'B' ? at + length : at;
    }
    if (!p.Processed)
        p.Add(p.File.data() + next * bytes, {'F', next}, n - next);
    p.Add(nullptr, {'P', 0}, 1 + r() % 1500);
    return p;
}

// The frames a verdict names: the file frame that differs, the one received
// first or again, the wire frame it came in, and the frames inserted, of
// sound after the file, or before it.
std::array<ULONGLONG, 5> Names(HostWire w, const HostStreamSummary& s)
{
    using enum HostWire;
    const bool resumed = w == Lost || w == Inserted || w == Blanked;
    const ULONGLONG count = w == Leftover ? s.LeftoverFrames : w == Appended ? s.AppendedFrames : 0;
    return {resumed || w == Partial || w == Changed ? s.ChangedAtFrame : 0,
            resumed || w == LostStart ? s.FirstReceivedFrame : 0, resumed ? s.ResumedWireFrame : 0,
            s.InsertedFrames, count};
}

// The verdict the README states, worked out from the tags. Where its bounds
// leave it open (a run of too few frames of sound for the file's kind, a
// repeating file, frames alike by chance) Exact is false: a fault must then
// fail the run, or may read as processing (MayChange) where the README says.
struct Expected
{
    HostWire Wire;
    std::array<ULONGLONG, 5> Frames{};
    bool Exact = true, MayChange = false, Differs = true;
};

Expected Expect(const Play& p)
{
    using enum HostWire;
    const size_t n = p.Frames(p.File), wires = p.Frames(p.Wire), window = p.Search + 63;
    const size_t first = p.SoundFrom(p.File, 0), s = p.SoundFrom(p.Wire, 0);
    size_t k = 0, after = 0;
    while (first + k < n && s + k < wires && p.Same(s + k, first + k))
        ++k;
    for (size_t w = s + k; first + k == n && w < wires; ++w)
        after += p.Sound(p.Wire, w) ? 1 : 0;
    // The frames of sound of a run that places frames however the file's
    // frames are drawn, anywhere and at the file's end.
    const double values = p.Drawn == Noise || p.Drawn == Gaps ? (1 << p.Bits) - 1.0
                          : p.Drawn == Quiet                  ? 8.0
                                                              : 1.0;
    const double bits = std::min((double)p.Channels * std::log2(values), std::log2(window) - 2);
    const auto frames = [&](double need)
    { return bits <= 0 ? 64.0 : std::min(64.0, std::ceil(need / bits) + 2); };
    const double run = frames(2 * std::log2(window) + 20), endRun = frames(20);
    const bool placed = kPeriod[p.Drawn] == 0, differs = first + k != n || after != 0;
    Expected e{differs ? Changed : Exact, {differs ? first + k : 0}, true, false, differs};
    if (s == wires || p.Processed || !differs)
        return s == wires ? Expected{Unreached} : e;
    e.MayChange = p.NoiseInserted && !placed;
    // A start the device never received, or sound before the file.
    const Tag at = p.Tags[s];
    if (at.What != 'F' || at.At != first)
    {
        size_t y = s, count = 0;
        for (; at.What != 'F' && y < wires && !(p.Tags[y].What == 'F' && p.Sound(p.Wire, y)); ++y)
            count += p.Sound(p.Wire, y) ? 1 : 0;
        e.Wire = at.What == 'F' ? LostStart : Leftover;
        e.Frames = {0, at.What == 'F' ? at.At : 0, 0, 0, count};
        e.Exact = placed && !p.Same(s, first) && y < wires && p.RunSounds(y) >= run &&
                  (at.What == 'F' ? at.At - first < p.Search : p.Tags[y].At == first);
        // Sound where the file's first frames belong is those frames, changed.
        e.MayChange |= y == wires || p.RunSounds(y) < 64 || p.Tags[y].At != first ||
                       (at.What == 'F' && at.At - first >= p.Search);
        return e;
    }
    if (first + k == n)
        return {Appended, {0, 0, 0, 0, after}};
    // The first frame that differs; the first frame of sound after it. Silence,
    // then the file's sound in place, whatever put it there, is a blank.
    const size_t w0 = s + k, f0 = first + k;
    const auto inPlace = [&](size_t w) { return f0 + (w - w0); };
    const size_t y = p.SoundFrom(p.Wire, w0);
    if (y == wires)
        return {Partial, {f0}};
    if (inPlace(y) < n && p.Same(y, inPlace(y)))
    {
        size_t last = inPlace(y) - 1;
        while (!p.Sound(p.File, last))
            --last;
        return {Blanked, {f0, last + 1, y}};
    }
    // The run that places the frames: the file's first frame of sound from f0
    // on received after it, taken back over the silence both have before.
    size_t x = y, back = 0;
    while (x < wires && !(p.Tags[x].What == 'F' && p.Tags[x].At >= f0 && p.Sound(p.Wire, x)))
        ++x;
    size_t length = 0;
    const size_t j = x < wires ? p.Tags[x].At : 0, sounds = x < wires ? p.RunSounds(x, &length) : 0;
    // Faults that cancel out, by whole periods in a repeating file, leave the
    // file's frames in place.
    const size_t shift = j > inPlace(x) ? j - inPlace(x) : inPlace(x) - j;
    e.MayChange |= sounds < 64 || x - w0 >= p.Search || j >= f0 + p.Search ||
                   (placed ? shift : shift % kPeriod[p.Drawn]) == 0;
    if (x == wires || j == inPlace(x))
        return {Changed, {}, false, true};
    while (x - back > w0 && j - back > f0 && !p.Sound(p.Wire, x - back - 1) &&
           !p.Sound(p.File, j - back - 1))
        ++back;
    e.Wire = j > inPlace(x) ? Lost : Inserted;
    e.Frames = {f0, j - back, x - back, j > inPlace(x) ? 0 : inPlace(x) - j};
    // A run to the file's end is followed by the silence after the play.
    e.Exact = placed && j < f0 + p.Search && x - w0 < p.Search &&
              (sounds >= run ||
               (j + length == n && length < 64 && sounds >= endRun && n - f0 <= p.Search));
    return e;
}
} // namespace

// Two thousand plays, 8 to 24 bits in one to eight channels: the verdict names
// the first fault's kind and frames where the README says it does, and never
// calls a fault unchanged, nor processing where the README does not.
TEST(HostPlayCompare, RandomPlaysGetTheVerdictTheirFaultsMake)
{
    std::mt19937 r(20261209);
    size_t exact = 0;
    for (int i = 0; i < 2000; ++i)
    {
        const USHORT bits = (USHORT)(8 * (1 + r() % 3));
        const Play p = Draw(r, bits, 1 + r() % 8, 8000);
        const Expected e = Expect(p);
        const HostAudio file{8000, (USHORT)p.Channels, bits, p.File};
        HostPlayCompare compare(std::make_unique<HostMemorySource>(file), bits);
        for (size_t at = 0; at < p.Wire.size(); at += 997) // frames cut across reads
            compare.Feed({p.Wire.data() + at, p.Wire.data() + std::min(at + 997, p.Wire.size())});
        HostStreamSummary s;
        const HostWire verdict = compare.Result(true, true, false, &s);
        SCOPED_TRACE(testing::Message() << "play " << i << " of kind " << p.Drawn);
        exact += e.Exact ? 1 : 0;
        const auto named = std::pair(e.Wire, e.Frames);
        EXPECT_EQ(named, e.Exact ? std::pair(verdict, Names(verdict, s)) : named);
        EXPECT_TRUE(!e.Differs || verdict != HostWire::Exact);
        EXPECT_TRUE(e.Exact || e.MayChange || verdict != HostWire::Changed);
    }
    EXPECT_GT(exact, 1400u) << "most plays are within the bounds that name the fault exactly";
}
