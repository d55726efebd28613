// Plays drawn at random with fixed seeds: files of every kind the play
// compare meets, whose path loses, blanks or inserts frames, or whose driver
// changes their levels. Each verdict is checked against the one the README
// states, worked out from what was done to the file, frame by frame; and
// the compare's work stays within its bound however the file repeats.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "sim/host/harness/host_wire_compare.h"

namespace
{
enum Kind
{
    Noise,
    Quiet, // noise of ±4
    Sine,
    Sine32, // its period divides 64 frames
    Square,
    Constant,
    Gaps, // noise with silent passages
    kKinds
};
// The frames a repeating kind repeats after (0: none).
constexpr size_t kPeriod[kKinds] = {0, 0, 100, 32, 40, 1, 0};

enum Fault
{
    Lose,
    Blank,
    Copy, // the frames before, again
    NoiseIn,
    SilenceIn,
    kFaults
};

// What a received frame is: the file's frame At ('F'), silence in its place
// ('B'), inserted ('I'), the driver's levels on it ('X'), or silence before
// or after the play ('P').
struct Tag
{
    char What;
    size_t At;
};

// A file and what the device received of it, in the file's bytes.
struct Play
{
    Kind Drawn;
    USHORT Bits;
    size_t Channels, Bytes, Search; // Bytes: a frame's
    std::vector<UCHAR> File, Wire, Silence;
    std::vector<Tag> Tags; // a wire frame's each
    bool Processed = false, NoiseInserted = false;

    size_t Frames(const std::vector<UCHAR>& s) const { return s.size() / Bytes; }
    bool Sound(const std::vector<UCHAR>& s, size_t f) const
    {
        return memcmp(&s[f * Bytes], Silence.data(), Bytes) != 0;
    }
    bool Same(size_t wire, size_t file) const
    {
        return memcmp(&Wire[wire * Bytes], &File[file * Bytes], Bytes) == 0;
    }
    // `count` frames from `frames` on (silence: null), tagged from `tag` on.
    void Add(const UCHAR* frames, Tag tag, size_t count)
    {
        if (frames != nullptr)
            Wire.insert(Wire.end(), frames, frames + count * Bytes);
        else
            Wire.resize(Wire.size() + count * Bytes, Silence[0]);
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
    size_t Sounds(size_t w, size_t count) const
    {
        size_t n = 0;
        for (size_t k = 0; k < count; ++k)
            n += Sound(Wire, w + k) ? 1 : 0;
        return n;
    }
    // The wire frames from `w` on that are the file's in order.
    size_t Run(size_t w) const
    {
        size_t n = 0;
        while (w + n < Tags.size() && Tags[w + n].What == 'F' && Tags[w + n].At == Tags[w].At + n)
            ++n;
        return n;
    }
};

// Every byte drawn, four from a draw.
void Noisy(std::mt19937& r, UCHAR* to, size_t bytes)
{
    for (size_t at = 0; at < bytes; at += 4)
    {
        const ULONG v = (ULONG)r();
        memcpy(to + at, &v, std::min<size_t>(4, bytes - at));
    }
}

int Round(double v)
{
    return (int)(v < 0 ? -std::floor(0.5 - v) : std::floor(v + 0.5));
}

Play Draw(std::mt19937& r, USHORT bits, size_t channels, ULONG rate)
{
    const int full = (1 << (bits - 1)) - 1;
    const size_t bytes = channels * bits / 8;
    Play p{(Kind)(r() % kKinds), bits, channels, bytes, rate / 2, {}, {}, {}, {}};
    p.Silence.assign(bytes, bits == 8 ? 0x80 : 0);
    const size_t frames = rate / 4 + r() % (3 * rate / 4), lead = r() % 300;
    const size_t period = kPeriod[p.Drawn];
    p.File.resize(frames * bytes);
    for (size_t f = 0; f < lead; ++f)
        memcpy(&p.File[f * bytes], p.Silence.data(), bytes);
    // Noise: every byte drawn; a repeating kind: its first period, again.
    if (p.Drawn == Noise || p.Drawn == Gaps)
        Noisy(r, &p.File[lead * bytes], (frames - lead) * bytes);
    for (size_t f = lead; p.Drawn != Noise && p.Drawn != Gaps && f < frames; ++f)
        for (size_t c = 0; c < channels; ++c)
        {
            UCHAR* to = &p.File[f * bytes + c * bits / 8];
            if (p.Drawn != Quiet && f >= lead + period)
                memcpy(to, to - period * bytes, bits / 8);
            else
                p.Put(to, p.Drawn == Quiet    ? (int)(r() % 9) - 4
                          : p.Drawn == Square ? ((f - lead) % 40 < 20 ? full / 2 : -full / 2)
                          : p.Drawn == Constant
                              ? full / 3
                              : Round(full * 0.5 *
                                      std::sin(2 * M_PI * (double)(f - lead) / (double)period +
                                               (double)c)));
        }
    for (size_t gap = 0; p.Drawn == Gaps && gap < 3; ++gap)
    {
        const size_t at = r() % frames, length = std::min(50 + r() % (frames / 5), frames - at);
        for (size_t f = at; f < at + length; ++f)
            memcpy(&p.File[f * bytes], p.Silence.data(), bytes);
    }
    return p;
}

// The path's faults, or the driver's levels, on the file: what the device
// receives after the path's silence, and then silence.
void Receive(std::mt19937& r, Play& p)
{
    const size_t n = p.Frames(p.File), width = p.Bits / 8;
    size_t first = 0;
    while (first < n && !p.Sound(p.File, first))
        ++first;
    p.Add(nullptr, {'P', 0}, r() % 400);
    p.Processed = r() % 5 == 0;
    if (p.Processed)
    {
        // A gain of a half, three quarters or one and a half, from the first
        // frame or a later one; or the 32-bit float chain's rounding, which
        // takes a unit off loud samples.
        const int shape = (int)(r() % 4), full = (1 << (p.Bits - 1)) - 1;
        const size_t from = r() % 2 != 0 ? 0 : first + r() % (n - first);
        std::vector<UCHAR> levels(p.File);
        for (size_t at = from * p.Bytes; at < levels.size(); at += width)
        {
            const int v = p.Get(&p.File[at]);
            const double gain = shape == 0 ? 0.5 : shape == 1 ? 0.75 : 1.5;
            p.Put(&levels[at], shape == 3
                                   ? (std::abs(v) >= 1 << (p.Bits - 6) ? v - (v > 0) + (v < 0) : v)
                                   : std::clamp(Round(v * gain), -full - 1, full));
        }
        p.Add(levels.data(), {'F', 0}, from);
        p.Add(levels.data() + from * p.Bytes, {'X', from}, n - from);
    }
    size_t next = 0; // the file's next frame
    for (size_t i = 0, at = first, faults = p.Processed ? 0 : r() % 4; i < faults && at < n; ++i)
    {
        // The first frames of sound, faults closer than a run, anywhere.
        at += i == 0 && r() % 4 == 0   ? r() % 64
              : i != 0 && r() % 2 == 0 ? 1 + r() % 63
                                       : r() % (n - at);
        if (at >= n)
            break;
        Fault fault = (Fault)(r() % kFaults);
        size_t length =
            (size_t)std::exp(std::uniform_real_distribution<>(0, std::log(p.Search - 1))(r));
        fault = fault == Copy && at < length ? NoiseIn : fault;
        length = fault == Lose || fault == Blank ? std::min(length, n - at) : length;
        p.Add(p.File.data() + next * p.Bytes, {'F', next}, at - next);
        std::vector<UCHAR> noise(fault == NoiseIn ? length * p.Bytes : 0);
        Noisy(r, noise.data(), noise.size());
        if (fault != Lose)
            p.Add(fault == Copy      ? &p.File[(at - length) * p.Bytes]
                  : fault == NoiseIn ? noise.data()
                                     : nullptr,
                  {fault == Blank ? 'B' : 'I', at}, length);
        p.NoiseInserted |= fault == NoiseIn;
        next = at = fault == Lose || fault == Blank ? at + length : at;
    }
    if (!p.Processed)
        p.Add(p.File.data() + next * p.Bytes, {'F', next}, n - next);
    p.Add(nullptr, {'P', 0}, 1 + r() % 1500);
}

// The verdict the README states for a play, worked out from its tags: where
// its bounds leave the verdict open (a run shorter than the file's kind
// needs, a repeating file, frames that happen to be alike), only that a
// fault fails the run, and may read as processing only where the README
// says so.
struct Expected
{
    HostWire Wire = HostWire::Exact;
    bool Exact = true, MayChange = false, Differs = true;
    ULONGLONG Changed = 0, First = 0, Resumed = 0, Inserted = 0, Count = 0;
};

Expected Expect(const Play& p, size_t bits)
{
    const size_t n = p.Frames(p.File), wires = p.Frames(p.Wire), window = p.Search + 63;
    size_t first = 0, s = 0;
    while (first < n && !p.Sound(p.File, first))
        ++first;
    while (s < wires && !p.Sound(p.Wire, s))
        ++s;
    // The frames of a run that place frames however the file's frames are
    // drawn, anywhere and at the file's end; the verdict is open below them.
    const double values = p.Drawn == Noise || p.Drawn == Gaps ? (1 << bits) - 1.0
                          : p.Drawn == Quiet                  ? 8.0
                                                              : 1.0;
    const double bitsAFrame =
        std::min((double)p.Channels * std::log2(values), std::log2(window) - 2);
    const auto frames = [&](double need)
    { return bitsAFrame <= 0 ? 64.0 : std::min(64.0, std::ceil(need / bitsAFrame) + 2); };
    const double run = frames(2 * std::log2(window) + 20), endRun = frames(20);
    // Where frames are placed by a run, a repeating file leaves it open.
    const bool placed = kPeriod[p.Drawn] == 0;
    Expected e;
    e.MayChange = p.NoiseInserted && kPeriod[p.Drawn] != 0;
    size_t k = 0;
    while (first + k < n && s + k < wires && p.Same(s + k, first + k))
        ++k;
    size_t after = 0;
    for (size_t w = s + k; first + k == n && w < wires; ++w)
        after += p.Sound(p.Wire, w) ? 1 : 0;
    e.Differs = first + k != n || after != 0;
    if (s == wires)
        return {HostWire::Unreached};
    const Tag at = p.Tags[s];
    if (p.Processed || !e.Differs)
    {
        e.Wire = e.Differs ? HostWire::Changed : HostWire::Exact;
        e.Changed = first + k;
        e.Exact = true;
        return e;
    }
    // A start the device never received, or sound before the file.
    if (at.What == 'F' && at.At != first)
    {
        e.Wire = HostWire::LostStart;
        e.First = at.At;
        e.Exact = placed && !p.Same(s, first) &&
                  p.Sounds(s, std::min<size_t>(p.Run(s), 64)) >= run && at.At - first < p.Search;
        e.MayChange |=
            p.Sounds(s, std::min<size_t>(p.Run(s), 64)) < 64 || at.At - first >= p.Search;
        return e;
    }
    if (at.What == 'I')
    {
        size_t y = s;
        for (; y < wires && !(p.Tags[y].What == 'F' && p.Sound(p.Wire, y)); ++y)
            e.Count += p.Sound(p.Wire, y) ? 1 : 0;
        e.Wire = HostWire::Leftover;
        e.Exact = placed && !p.Same(s, first) && y < wires && p.Tags[y].At == first &&
                  p.Sounds(y, std::min<size_t>(p.Run(y), 64)) >= run;
        e.MayChange |= y == wires || p.Sounds(y, std::min<size_t>(p.Run(y), 64)) < 64;
        return e;
    }
    if (first + k == n)
    {
        e.Wire = HostWire::Appended;
        e.Count = after;
        return e;
    }
    // The first frame that differs; the first frame of sound after it.
    const size_t w0 = s + k, f0 = first + k;
    const auto inPlace = [&](size_t w) { return f0 + (w - w0); };
    e.Changed = f0;
    size_t y = w0;
    while (y < wires && !p.Sound(p.Wire, y))
        ++y;
    if (y == wires)
        return {HostWire::Partial, true, false, true, f0};
    // Silence, then the file's sound in place, whatever put it there.
    if (inPlace(y) < n && p.Same(y, inPlace(y)))
    {
        size_t last = inPlace(y) - 1;
        while (!p.Sound(p.File, last))
            --last;
        return {HostWire::Blanked, true, false, true, f0, last + 1, y};
    }
    // The first of the file's frames of sound from f0 on received after it
    // starts the run that places the frames; taken back over the silence
    // both have before it.
    size_t x = y;
    while (x < wires && !(p.Tags[x].What == 'F' && p.Tags[x].At >= f0 && p.Sound(p.Wire, x)))
        ++x;
    const size_t j = x < wires ? p.Tags[x].At : 0, length = x < wires ? p.Run(x) : 0;
    const size_t sounds = p.Sounds(x, std::min<size_t>(length, 64));
    e.MayChange |= sounds < 64 || x - w0 >= p.Search || j >= f0 + p.Search || j == inPlace(x);
    if (x == wires || j == inPlace(x))
        return {HostWire::Changed, false, true};
    size_t back = 0;
    while (x - back > w0 && j - back > f0 && !p.Sound(p.Wire, x - back - 1) &&
           !p.Sound(p.File, j - back - 1))
        ++back;
    e.Wire = j > inPlace(x) ? HostWire::Lost : HostWire::Inserted;
    e.First = j - back;
    e.Resumed = x - back;
    e.Inserted = j > inPlace(x) ? 0 : inPlace(x) - j;
    const bool toEnd = j + length == n && p.Sounds(x + length, wires - x - length) == 0;
    e.Exact = placed && j < f0 + p.Search && x - w0 < p.Search &&
              (sounds >= run || (toEnd && length < 64 && sounds >= endRun && n - f0 <= p.Search));
    return e;
}
} // namespace

// Three thousand plays of noise, quiet noise, sines, a square wave, a
// constant and noise with silent passages, at 8, 16 and 24 bits in one to
// eight channels, each with up to three faults of one to a window's frames
// or the driver's levels: the verdict names the first fault's kind and
// frames where the README says it does, and never calls a fault unchanged,
// nor processing where the README does not.
TEST(HostPlayCompare, RandomPlaysGetTheVerdictTheirFaultsMake)
{
    std::mt19937 r(getenv("PLAYSEED") ? atoi(getenv("PLAYSEED")) : 20261209);
    size_t exact = 0;
    const int cases = getenv("PLAYCASES") ? atoi(getenv("PLAYCASES")) : 2000;
    for (int i = 0; i < cases; ++i)
    {
        const USHORT bits = (USHORT)(8 * (1 + r() % 3));
        const ULONG rate = 8000;
        Play p = Draw(r, bits, 1 + r() % 8, rate);
        Receive(r, p);
        if (getenv("PLAYONLY") && atoi(getenv("PLAYONLY")) != i)
            continue;
        const Expected e = Expect(p, bits);
        const HostAudio file{rate, (USHORT)p.Channels, bits, p.File};
        HostPlayCompare compare(std::make_unique<HostMemorySource>(file), bits);
        const std::vector<UCHAR>& wire = p.Wire;
        for (size_t at = 0; at < wire.size();)
        {
            const size_t step =
                std::min<size_t>(1 + (at * 7919 + (size_t)i) % 4000, wire.size() - at);
            compare.Feed({wire.begin() + (ptrdiff_t)at, wire.begin() + (ptrdiff_t)(at + step)});
            at += step;
        }
        HostStreamSummary s;
        const HostWire verdict = compare.Result(true, true, false, &s);
        SCOPED_TRACE(testing::Message()
                     << "play " << i << ", kind " << p.Drawn << ", " << bits << " bits, "
                     << p.Channels << " channels, expected " << (int)e.Wire);
        if (getenv("PLAYDEBUG") && (e.Exact ? verdict != e.Wire
                                            : (e.Differs && verdict == HostWire::Exact) ||
                                                  (!e.MayChange && verdict == HostWire::Changed)))
        {
            std::string d;
            size_t from = 0;
            for (size_t w = 1; w <= p.Tags.size(); ++w)
                if (w == p.Tags.size() || p.Tags[w].What != p.Tags[from].What ||
                    (p.Tags[w].What == 'F' && p.Tags[w].At != p.Tags[from].At + (w - from)))
                {
                    d += std::string(1, p.Tags[from].What) + "[w" + std::to_string(from) + " f" +
                         std::to_string(p.Tags[from].At) + " x" + std::to_string(w - from) + "] ";
                    from = w;
                }
            printf(
                "play %d kind %d file %zu frames: %s\n expected %d exact %d changed %lu first %lu "
                "resumed %lu ins %lu count %lu; got %d changed %lu first %lu resumed %lu ins %lu\n",
                i, p.Drawn, p.Frames(p.File), d.c_str(), (int)e.Wire, e.Exact, e.Changed, e.First,
                e.Resumed, e.Inserted, e.Count, (int)verdict, s.ChangedAtFrame,
                s.FirstReceivedFrame, s.ResumedWireFrame, s.InsertedFrames);
        }
        if (e.Exact)
        {
            ++exact;
            EXPECT_EQ(e.Wire, verdict);
            const bool named = verdict != HostWire::Exact && verdict != HostWire::Appended &&
                               verdict != HostWire::LostStart && verdict != HostWire::Leftover;
            EXPECT_EQ(named ? e.Changed : s.ChangedAtFrame, s.ChangedAtFrame);
            const bool resumed = verdict == HostWire::Lost || verdict == HostWire::Inserted ||
                                 verdict == HostWire::Blanked;
            EXPECT_EQ(resumed || verdict == HostWire::LostStart ? e.First : s.FirstReceivedFrame,
                      s.FirstReceivedFrame);
            EXPECT_EQ(resumed ? e.Resumed : s.ResumedWireFrame, s.ResumedWireFrame);
            EXPECT_EQ(e.Inserted, s.InsertedFrames);
            EXPECT_EQ(verdict == HostWire::Leftover ? e.Count : s.LeftoverFrames, s.LeftoverFrames);
            EXPECT_EQ(verdict == HostWire::Appended ? e.Count : 0, s.AppendedFrames);
            continue;
        }
        EXPECT_TRUE(!e.Differs || verdict != HostWire::Exact);
        EXPECT_TRUE(e.MayChange || verdict != HostWire::Changed);
    }
    // Most plays are within the bounds that name the fault exactly.
    EXPECT_GT(exact, 1400u);
    printf("exact %zu\n", exact);
}

// Two seconds of a constant, one frame in 63 blanked for the half second
// from a frame on, or from the file's first; and of noise received whole
// (mono, 16 bits, 48 kHz, after the path's 720 frames of silence): on each
// the compare's work a received frame stays within its bound.
TEST(HostPlayCompare, WorkAFrameStaysWithinItsBound)
{
    constexpr size_t kFrames = 96000, kLead = 720, kPlayOut = 2000;
    std::mt19937 r(81);
    std::vector<SHORT> constant(kFrames, 8000), noise(kFrames);
    std::generate(noise.begin(), noise.end(), [&r] { return (SHORT)(1 + r() % 30000); });
    const struct
    {
        const std::vector<SHORT>& File;
        size_t BlankFrom;
    } plays[] = {{constant, 48000}, {constant, 0}, {noise, kFrames}};
    for (const auto& play : plays)
    {
        std::vector<SHORT> wire(kLead + kFrames + kPlayOut, 0);
        std::copy(play.File.begin(), play.File.end(), wire.begin() + kLead);
        for (size_t k = play.BlankFrom; k < std::min(play.BlankFrom + 24000, kFrames); k += 63)
            wire[kLead + k] = 0;
        const auto* bytes = reinterpret_cast<const UCHAR*>(play.File.data());
        const HostAudio file{48000, 1, 16, {bytes, bytes + 2 * kFrames}};
        HostPlayCompare compare(std::make_unique<HostMemorySource>(file), 16);
        const auto* received = reinterpret_cast<const UCHAR*>(wire.data());
        for (size_t at = 0; at < wire.size(); at += 48)
            compare.Feed({received + 2 * at, received + 2 * std::min(at + 48, wire.size())});
        HostStreamSummary summary;
        EXPECT_EQ(play.BlankFrom == kFrames ? HostWire::Exact : HostWire::Blanked,
                  compare.Result(true, true, false, &summary));
        const double perFrame = (double)compare.Work() / (double)wire.size();
        EXPECT_LE(perFrame, (double)HostPlayCompare::kWorkPerFrame) << play.BlankFrom;
        EXPECT_LE(compare.Work(),
                  HostPlayCompare::kWorkPerFrame * (wire.size() + compare.ReadAhead()) +
                      2 * HostPlayCompare::kDecideWork);
        printf("work a received frame, blanked from frame %zu: %.2f\n", play.BlankFrom, perFrame);
    }
}
