// Plays whose faults a run of the compare may have trouble placing: sound
// where the file is silent, sines computed in floating point whose zero
// crossings are silent frames, blocks played twice, frames copied from a
// passage the file holds again at the window's far edge, blanks in quiet
// noise; and the bounds of the half second, the file's end and the passages
// held twice, each at its edge. Every file and wire is built here, sample by
// sample, and each row names what was done to it.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "tests/sim/host/play_compare.h"

namespace
{
// A file's samples, a frame's channels in a row.
struct Pcm
{
    ULONG Rate = 48000;
    USHORT Channels = 1, Bits = 16;
    std::vector<int> S;

    size_t Frames() const { return S.size() / Channels; }
    HostAudio Audio() const { return {Rate, Channels, Bits, PackSamples(S, Bits)}; }
    // Frames [from, to).
    Pcm Cut(size_t from, size_t to = SIZE_MAX) const
    {
        Pcm p = *this;
        to = std::min(to, Frames());
        p.S.assign(S.begin() + (ptrdiff_t)(from * Channels),
                   S.begin() + (ptrdiff_t)(to * Channels));
        return p;
    }
    Pcm Silence(size_t frames) const
    {
        Pcm p = *this;
        p.S.assign(frames * Channels, 0);
        return p;
    }
    // Noise of the format, none of it silent; of ±`range` where given.
    Pcm Noise(size_t frames, unsigned seed, int range = 0) const
    {
        Pcm p = *this;
        std::mt19937 r(seed);
        const int full = (1 << (Bits - 1)) - 1;
        p.S.resize(frames * Channels);
        for (int& v : p.S)
            v = range != 0 ? (int)(r() % (2 * range + 1)) - range
                           : (int)(1 + r() % full) * (r() % 2 != 0 ? 1 : -1);
        return p;
    }
    // Every sample halved, as the driver's levels would.
    Pcm Halved() const
    {
        Pcm p = *this;
        for (int& v : p.S)
            v /= 2;
        return p;
    }
};

Pcm Join(std::initializer_list<Pcm> parts)
{
    Pcm all = *parts.begin();
    all.S.clear();
    for (const Pcm& p : parts)
        all.S.insert(all.S.end(), p.S.begin(), p.S.end());
    return all;
}

// A sine of `hz` computed in floating point from phase 0 and rounded, so
// that its zero crossings are silent frames, every channel alike.
Pcm Sine(ULONG rate, double hz, USHORT bits, USHORT channels, double amplitude, size_t frames)
{
    Pcm p{rate, channels, bits, {}};
    const double full = (double)((1 << (bits - 1)) - 1);
    for (size_t f = 0; f < frames; ++f)
        p.S.insert(p.S.end(), channels,
                   (int)std::lround(full * amplitude * std::sin(2 * M_PI * hz * (double)f / rate)));
    return p;
}

// What a verdict names: the file frame that differs, the one received again
// (or the one after the last replaced), the wire frame it came in (after the
// path's silence), and the frames inserted or of sound after the file.
struct Named
{
    HostWire Wire;
    ULONGLONG Frame = 0, First = 0, Again = 0, Count = 0;
    bool operator==(const Named&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Named& n)
{
    return out << (int)n.Wire << " at " << n.Frame << ", " << n.First << " from wire " << n.Again
               << ", " << n.Count << " frame(s)";
}

Named Play(const Pcm& file, const Pcm& wire, HostPathChange path = {}, size_t playOut = 2000)
{
    using enum HostWire;
    PlayOf play(file.Audio(), std::move(path));
    HostStreamSummary s;
    const HostWire w = play.Received(PackSamples(wire.S, wire.Bits), &s, playOut);
    EXPECT_LE(play.Compare.Work(), HostPlayCompare::kWorkPerFrame * s.DeviceFrames);
    const bool again = w == Lost || w == Inserted || w == Blanked || w == Filled;
    return {w, w == Appended ? 0 : s.ChangedAtFrame, again ? s.FirstReceivedFrame : 0,
            again ? s.ResumedWireFrame - 720 : 0,
            w == Inserted   ? s.InsertedFrames
            : w == Appended ? s.AppendedFrames
                            : 0};
}

// A file, what the device received of it, and the verdict it makes.
struct Row
{
    const char* Name;
    const Pcm& File;
    Pcm Wire;
    Named Verdict;
};

// The file's frames up to `at`, then `in`, then its own again from `from`
// on (none past its last).
Pcm Put(const Pcm& file, size_t at, const Pcm& in, size_t from)
{
    return Join({file.Cut(0, at), in, file.Cut(std::min(from, file.Frames()))});
}

// The first frame from `from` on where the file holds sound.
size_t SoundFrom(const Pcm& file, size_t from)
{
    while (from < file.Frames() &&
           std::all_of(&file.S[from * file.Channels], &file.S[(from + 1) * file.Channels],
                       [](int v) { return v == 0; }))
        ++from;
    return from;
}

const Pcm kMono;
} // namespace

// A second of noise and its last frame silent, noise with a silent second
// between, and noise with silence after it: sound received where the file
// is silent, after its sound came unchanged, is never processing.
TEST(HostPlayFaults, SoundWhereTheFileIsSilentFails)
{
    using enum HostWire;
    const Pcm noise = kMono.Noise(48000, 1), other = kMono.Noise(100, 2), click = other.Cut(0, 1);
    const auto z = [](size_t frames) { return kMono.Silence(frames); };
    const Pcm last = Join({noise, z(1)}), gap = Put(noise, 24000, z(48000), 24000);
    const Pcm trailing = Join({noise.Cut(0, 24000), z(48000)}), again = noise.Cut(47900);
    const Pcm longer = Join({noise.Cut(0, 24000), z(72000)});
    // Noise 10,000 frames into the silent second, which ends at `on`.
    const size_t at = 34000, on = 72000, none = ~0u;
    const Row rows[] = {
        {"noise after the last", last, Put(last, 48000, other, none), {Appended, 0, 0, 0, 100}},
        {"a frame after it", last, Put(last, 48000, click, none), {Appended, 0, 0, 0, 1}},
        // Its last frames again, in place of the frame after them: a repeat.
        {"its last 100 again",
         last,
         Put(last, 48000, again, none),
         {Inserted, 48000, 47900, 48000, 100}},
        {"past the window", longer, Put(longer, 54000, other, none), {Appended, 0, 0, 0, 100}},
        // The file's sound then comes in place, or 100 frames late.
        {"in a gap", gap, Put(gap, at, other, at + 100), {Filled, at, at + 100, on}},
        {"put in a gap", gap, Put(gap, at, other, at), {Inserted, at, on, on + 100, 100}},
        {"in a gap, 100 lost", gap, Put(gap, at, other, at + 200), {Lost, at, on, on - 100}},
        // Sound where the file is silent, nothing of the file after it:
        // after the file's sound, other samples; after silence, the file's
        // frames never received from where the silence began.
        {"in a gap, then nothing", gap, Put(gap, at, other, none), {Other, at}},
        {"silence, then in a gap",
         gap,
         Put(gap, 20000, Join({z(at - 20000), other}), none),
         {Partial, 20000}},
        // The first fault is the file's end never received.
        {"the end lost",
         trailing,
         Put(trailing, 20000, Join({z(30000), other}), none),
         {Partial, 20000}},
        {"the end lost, a click",
         noise,
         Put(noise, 47000, Join({z(26000), click}), none),
         {Partial, 47000}},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.Verdict, Play(row.File, row.Wire)) << row.Name;
}

// Silence in place of noise's frames from 24,000, the file then in place
// again for a frame, fewer than place frames at one place: its last, as the
// play ends; or one, then silence to the end, where no run places anything.
// Each is the file blanked up to that frame.
TEST(HostPlayFaults, ABlankTheFileEndsInOrBreaksOffIsNamed)
{
    using enum HostWire;
    const Pcm noise = kMono.Noise(48000, 1), z = kMono.Silence(24000);
    const struct
    {
        const char* Name;
        Pcm Wire;
        size_t PlayOut; // the silence after it
        size_t In;      // the file frame in place again
    } rows[] = {
        {"its last frame in place", Join({noise.Cut(0, 24000), z.Cut(0, 23999), noise.Cut(47999)}),
         10, 47999},
        {"a frame in place, then silence", Put(noise, 24000, z.Cut(0, 23999), 47999), 2000, 47999},
        {"in the middle, then silence",
         Join({noise.Cut(0, 24000), z.Cut(0, 100), noise.Cut(24100, 24101), z}), 2000, 24100},
    };
    for (const auto& row : rows)
        EXPECT_EQ((Named{Blanked, 24000, row.In, row.In}), Play(noise, row.Wire, {}, row.PlayOut))
            << row.Name;
}

// Sines of 300 Hz to 2 kHz at 48 kHz, 8 to 24 bits, whose zero crossings
// are silent (a run of 256 frames holds fewer frames of sound), and noise
// whose 200-frame blocks each play twice with a silent frame every 100:
// frames lost, repeated or inserted at frame 30,000 (a zero crossing) all
// fail, named as the nearer shift where the file repeats: d frames lost
// read as a period less d inserted where that is fewer.
TEST(HostPlayFaults, SilentZeroCrossingsHideNoFault)
{
    using enum HostWire;
    Pcm blocks{48000, 2, 16, {}};
    for (unsigned b = 0; b < 240; ++b)
    {
        Pcm block = blocks.Noise(200, 100 + b);
        for (size_t f : {0, 100})
            block.S[2 * f] = block.S[2 * f + 1] = 0;
        blocks = Join({blocks, block, block});
    }
    const size_t f = 30000, g = f + 1;
    for (double hz : {300.0, 500.0, 1000.0, 2000.0})
        for (USHORT bits : {8, 16, 24})
        {
            const Pcm s = Sine(48000, hz, bits, 2, 0.5, 40000), none;
            const size_t period = (size_t)(48000 / hz);
            // The file going on d frames later: those lost, or the rest of a
            // period inserted where that is fewer (the later of two as near).
            const auto shift = [period, f](size_t d) -> Named
            {
                d %= period;
                return d <= period - d ? Named{Lost, f, f + d, f}
                                       : Named{Inserted, f, f, f + period - d, period - d};
            };
            // Frames lost or repeated at f, silence or noise put in at g.
            const struct
            {
                Pcm Wire;
                Named Verdict;
            } rows[] = {
                {Put(s, f, none, f + 1), {Lost, f, f + 1, f}},
                {Put(s, f, none, f + 31), shift(31)},
                // Whole periods: only the end shows it.
                {Put(s, f, none, f + 480), {Partial, SoundFrom(s, 40000 - 480)}},
                {Put(s, f, s.Cut(f - 10, f), f), shift(period - 10)},
                {Put(s, g, s.Silence(2), g), {Inserted, g, g, g + 2, 2}},
                {Put(s, g, s.Noise(5, 3), g), {Inserted, g, g, g + 5, 5}},
            };
            for (const auto& row : rows)
                EXPECT_EQ(row.Verdict, Play(s, row.Wire))
                    << hz << " Hz, " << bits << " bits, row " << &row - rows;
        }
    EXPECT_EQ((Named{Lost, g, g + 1, g}), Play(blocks, Put(blocks, g, {}, g + 1)));
    EXPECT_EQ((Named{Inserted, g, g, g + 10, 10}),
              Play(blocks, Put(blocks, g, blocks.Cut(g - 10, g), g)));
}

// A 997 Hz sine at 96 kHz repeats every second: ten of its frames copied
// from its first second, put in at frame 49,188, are also its frames 97,178
// on, at the far edge of the window; the file going on 10 frames later
// names them inserted. Silence put in noise of ±1 step (a third of its
// frames silent) is frames inserted, not a blank a chance frame decides.
TEST(HostPlayFaults, PlacesAtTheWindowsEdgeAndChanceFramesDecideNothing)
{
    using enum HostWire;
    for (USHORT bits : {16, 24})
    {
        const Pcm s = Sine(96000, 997, bits, 2, 0.5, 192000);
        EXPECT_EQ((Named{Inserted, 49188, 49188, 49198, 10}),
                  Play(s, Put(s, 49188, s.Cut(1178, 1188), 49188)))
            << bits;
    }
    const Pcm quiet = kMono.Noise(96000, 3, 1);
    const size_t f = SoundFrom(quiet, 30000);
    for (size_t silent : {2, 5, 10, 30})
        EXPECT_EQ((Named{Inserted, f, f, f + silent, silent}),
                  Play(quiet, Put(quiet, f, quiet.Silence(silent), f)))
            << silent;
}

// Each row holds to a bound at its edge: sound past the half-second window
// by none or a few frames (where the file stopped, later, and in a file
// that repeats every 100 frames, half a period on), the file going on for
// its last two frames after it, a loss two frames before the last sound of
// a file that ends in silence, a last passage the file holds twice, and a
// run two frames short of twice a passage held twice.
TEST(HostPlayFaults, EachBoundHoldsAtItsEdge)
{
    using enum HostWire;
    const Pcm noise = kMono.Noise(96000, 5);
    const size_t s = 24000, f = 40000, end = 96000;
    const auto z = [](size_t frames) { return kMono.Silence(frames); };
    Pcm periodic = kMono;
    for (size_t k = 0; k < end; ++k)
        periodic.S.push_back((int)std::lround(12000 * std::sin(1.0 + 2 * M_PI * (double)k / 100)));
    const Pcm trailing = Join({noise, z(3000)});
    // Its last 40 frames held 1,000 frames before too; 40 frames held at
    // 60,000 and 61,000.
    Pcm lastTwice = noise, twice = noise;
    std::copy_n(&noise.S[end - 40], 40, &lastTwice.S[end - 1000]);
    std::copy_n(&noise.S[60000], 40, &twice.S[61000]);
    const Pcm halved = lastTwice.Cut(90000, end - 1000).Halved();
    const Pcm after = Join({twice.Cut(50010, 50090), twice.Cut(50090).Halved()});
    const size_t t = s + 2, none = ~0u; // the window and two frames
    const Row rows[] = {
        {"the window, where it stopped", noise, Put(noise, f, z(s), f), {Inserted, f, f, f + s, s}},
        {"2 more, where it stopped", noise, Put(noise, f, z(t), f), {Inserted, f, f, f + t, t}},
        {"the window, 1,000 later",
         noise,
         Put(noise, f, z(s), f + 1000),
         {Lost, f, f + 1000, f + s}},
        {"2 more, 1,000 later", noise, Put(noise, f, z(t), f + 1000), {Lost, f, f + 1000, f + t}},
        {"50 more, repeating",
         periodic,
         Put(periodic, f, z(s + 50), f),
         {Inserted, f, f, f + s + 50, s + 50}},
        {"2 more, its last 2",
         trailing,
         Put(trailing, end - 2, z(t), end - 2),
         {Inserted, end - 2, end - 2, end + s, t}},
        {"2 lost 2 before the end",
         trailing,
         Put(trailing, end - 4, {}, end - 2),
         {Lost, end - 4, end - 2, end - 4}},
        {"levels, its last passage",
         lastTwice,
         Put(lastTwice, 90000, halved, end - 1000).Cut(0, end - 960),
         {Changed, 90000}},
        {"twice a passage, levels", twice, Put(twice, 50000, after, none), {Changed, 50000}},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.Verdict, Play(row.File, row.Wire)) << row.Name;
}

// Where nothing on the path could change samples, frames no run places are
// a fault, named at their first frame; where something could, processing.
TEST(HostPlayFaults, OtherSamplesAreProcessingOnlyWhereThePathHasSome)
{
    using enum HostWire;
    const Pcm noise = kMono.Noise(48000, 6);
    const Pcm levels = Put(noise, 24000, noise.Cut(24000).Halved(), ~0u);
    EXPECT_EQ((Named{Changed, 24000}), Play(noise, levels));
    EXPECT_EQ((Named{Other, 24000}), Play(noise, levels, {false, "nothing"}));
    // Weighed as the frames came: the levels are the path's only where it
    // could change samples when the first of them came (wire frame 24,720),
    // and held to the file's from the first frame after it went off.
    const struct
    {
        size_t On, Off; // wire frames
        HostWire Verdict;
        ULONGLONG Frame;
    } spans[] = {{0, SIZE_MAX, Changed, 24000},
                 {24720, SIZE_MAX, Changed, 24000},
                 {24768, SIZE_MAX, Other, 24000},
                 {0, 24720, Other, 24000},
                 {0, 24768, Other, 24048}};
    for (const auto& [on, off, verdict, frame] : spans)
    {
        PlayOf play(noise.Audio(), {false, ""});
        HostStreamSummary s;
        const auto path = [on, off](size_t n) -> HostPathChange {
            return {n >= on && n < off, "volume -6.0 dB on control 3"};
        };
        EXPECT_EQ(verdict, play.Received(levels.Audio().Data, &s, 2000, path)) << on << " " << off;
        EXPECT_EQ(frame, s.ChangedAtFrame);
        EXPECT_EQ("volume -6.0 dB on control 3", s.Processing);
    }
}
