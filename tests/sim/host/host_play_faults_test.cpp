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

Named Play(const Pcm& file, const Pcm& wire, HostPathProcessing path = {})
{
    using enum HostWire;
    PlayOf play(file.Audio(), std::move(path));
    HostStreamSummary s;
    const HostWire w = play.Received(PackSamples(wire.S, wire.Bits), &s);
    EXPECT_LE(play.Compare.Work(), HostPlayCompare::kWorkPerFrame * s.DeviceFrames);
    const bool again = w == Lost || w == Inserted || w == Blanked || w == Filled;
    return {w, w == Appended ? 0 : s.ChangedAtFrame, again ? s.FirstReceivedFrame : 0,
            again ? s.ResumedWireFrame - 720 : 0,
            w == Inserted   ? s.InsertedFrames
            : w == Appended ? s.AppendedFrames
                            : 0};
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
    const Pcm noise = kMono.Noise(48000, 1), other = kMono.Noise(100, 2);
    const Pcm lastSilent = Join({noise, kMono.Silence(1)});
    const Pcm gap = Join({noise.Cut(0, 24000), kMono.Silence(48000), noise.Cut(24000)});
    const Pcm trailing = Join({noise.Cut(0, 24000), kMono.Silence(48000)});
    const Pcm longTrailing = Join({noise.Cut(0, 24000), kMono.Silence(72000)});
    const struct
    {
        const char* Name;
        const Pcm &File, Wire;
        Named Verdict;
    } rows[] = {
        {"100 frames of noise after the last sound",
         lastSilent,
         Join({noise, other}),
         {Appended, 0, 0, 0, 100}},
        {"a frame of noise after it",
         lastSilent,
         Join({noise, other.Cut(0, 1)}),
         {Appended, 0, 0, 0, 1}},
        {"its last 100 frames again after it",
         lastSilent,
         Join({noise, noise.Cut(47900)}),
         {Appended, 0, 0, 0, 100}},
        {"noise after a silence longer than the window",
         longTrailing,
         Join({noise.Cut(0, 24000), kMono.Silence(30000), other}),
         {Appended, 0, 0, 0, 100}},
        // The file's sound then comes in place, or 100 frames late.
        {"noise in a silent second",
         gap,
         Join({gap.Cut(0, 34000), other, gap.Cut(34100)}),
         {Filled, 34000, 34100, 72000}},
        {"noise put in a silent second",
         gap,
         Join({gap.Cut(0, 34000), other, gap.Cut(34000)}),
         {Inserted, 34000, 72000, 72100, 100}},
        {"noise in a silent second, 100 frames of it lost",
         gap,
         Join({gap.Cut(0, 34000), other, gap.Cut(34200)}),
         {Lost, 34000, 72000, 71900}},
        // The first fault is the file's end never received.
        {"the end lost, then noise where the file is silent",
         trailing,
         Join({trailing.Cut(0, 20000), kMono.Silence(30000), other}),
         {Partial, 20000}},
        {"the end lost, then a click past it after the window",
         noise,
         Join({noise.Cut(0, 47000), kMono.Silence(26000), other.Cut(0, 1)}),
         {Partial, 47000}},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.Verdict, Play(row.File, row.Wire)) << row.Name;
}

// Sines of 300 Hz to 2 kHz at 48 kHz, 8 to 24 bits, whose zero crossings
// are silent (a run of 256 frames holds fewer frames of sound), and noise
// whose 200-frame blocks each play twice with a silent frame every 100:
// frames lost, repeated or inserted at frame 30,000 (a zero crossing) all
// fail, named as a shift by less than a period where the file repeats.
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
    for (double hz : {300.0, 500.0, 1000.0, 2000.0})
        for (USHORT bits : {8, 16, 24})
        {
            const Pcm s = Sine(48000, hz, bits, 2, 0.5, 96000);
            const ULONGLONG period = (ULONGLONG)(48000 / hz), f = 30000;
            const Pcm noise = s.Noise(5, 3);
            const struct
            {
                const char* Name;
                Pcm Wire;
                Named Verdict;
            } rows[] = {
                {"a frame lost", Join({s.Cut(0, f), s.Cut(f + 1)}), {Lost, f, f + 1, f}},
                {"31 lost", Join({s.Cut(0, f), s.Cut(f + 31)}), {Lost, f, f + 31 % period, f}},
                // Whole periods: only the end shows it.
                {"480 lost",
                 Join({s.Cut(0, f), s.Cut(f + 480)}),
                 {Partial, SoundFrom(s, 96000 - 480)}},
                {"10 repeated", Join({s.Cut(0, f), s.Cut(f - 10)}), {Lost, f, f + period - 10, f}},
                {"2 silent inserted",
                 Join({s.Cut(0, f + 1), s.Silence(2), s.Cut(f + 1)}),
                 {Inserted, f + 1, f + 1, f + 3, 2}},
                {"5 of noise inserted",
                 Join({s.Cut(0, f + 1), noise, s.Cut(f + 1)}),
                 {Inserted, f + 1, f + 1, f + 6, 5}},
            };
            for (const auto& row : rows)
                EXPECT_EQ(row.Verdict, Play(s, row.Wire))
                    << hz << " Hz, " << bits << " bits: " << row.Name;
        }
    EXPECT_EQ((Named{Lost, 30001, 30002, 30001}),
              Play(blocks, Join({blocks.Cut(0, 30001), blocks.Cut(30002)})));
    EXPECT_EQ((Named{Inserted, 30001, 30001, 30011, 10}),
              Play(blocks, Join({blocks.Cut(0, 30001), blocks.Cut(29991)})));
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
                  Play(s, Join({s.Cut(0, 49188), s.Cut(1178, 1188), s.Cut(49188)})))
            << bits;
    }
    const Pcm quiet = kMono.Noise(96000, 3, 1);
    const size_t f = SoundFrom(quiet, 30000);
    for (size_t silent : {2, 5, 10, 30})
        EXPECT_EQ((Named{Inserted, f, f, f + silent, silent}),
                  Play(quiet, Join({quiet.Cut(0, f), quiet.Silence(silent), quiet.Cut(f)})))
            << silent;
}

// Each row holds to a bound at its edge: sound past the half-second window
// by none or a few frames (where the file stopped, later, and in a file
// that repeats every 100 frames, half a period on), the file going on for its last two frames
// after it, a loss two frames before the last sound of a file that ends in
// silence, a last passage the file holds twice, and a run two frames short
// of twice a passage held twice.
TEST(HostPlayFaults, EachBoundHoldsAtItsEdge)
{
    using enum HostWire;
    const Pcm noise = kMono.Noise(96000, 5);
    const size_t window = 24000, f = 40000, end = 96000;
    Pcm periodic = kMono;
    for (size_t k = 0; k < end; ++k)
        periodic.S.push_back((int)std::lround(12000 * std::sin(1.0 + 2 * M_PI * (double)k / 100)));
    const Pcm trailing = Join({noise, kMono.Silence(3000)});
    // Its last 40 frames held 1,000 frames before too; 40 frames held at
    // 60,000 and 61,000.
    Pcm lastTwice = noise, twice = noise;
    std::copy_n(&noise.S[end - 40], 40, &lastTwice.S[end - 1000]);
    std::copy_n(&noise.S[60000], 40, &twice.S[61000]);
    const struct
    {
        const char* Name;
        const Pcm &File, Wire;
        Named Verdict;
    } rows[] = {
        {"the window of silence, where it stopped",
         noise,
         Join({noise.Cut(0, f), kMono.Silence(window), noise.Cut(f)}),
         {Inserted, f, f, f + window, window}},
        {"the window and two frames, where it stopped",
         noise,
         Join({noise.Cut(0, f), kMono.Silence(window + 2), noise.Cut(f)}),
         {Inserted, f, f, f + window + 2, window + 2}},
        {"the window of silence, 1,000 frames later",
         noise,
         Join({noise.Cut(0, f), kMono.Silence(window), noise.Cut(f + 1000)}),
         {Lost, f, f + 1000, f + window}},
        {"the window and two frames, 1,000 frames later",
         noise,
         Join({noise.Cut(0, f), kMono.Silence(window + 2), noise.Cut(f + 1000)}),
         {Lost, f, f + 1000, f + window + 2}},
        {"the window and half a period in a file that repeats",
         periodic,
         Join({periodic.Cut(0, f), kMono.Silence(window + 50), periodic.Cut(f)}),
         {Inserted, f, f, f + window + 50, window + 50}},
        {"the window and two frames, then its last two frames",
         trailing,
         Join({trailing.Cut(0, end - 2), kMono.Silence(window + 2), trailing.Cut(end - 2)}),
         {Inserted, end - 2, end - 2, end + window, window + 2}},
        {"two frames lost two before its last sound",
         trailing,
         Join({trailing.Cut(0, end - 4), trailing.Cut(end - 2)}),
         {Lost, end - 4, end - 2, end - 4}},
        {"levels, then its last passage, held twice",
         lastTwice,
         Join({lastTwice.Cut(0, 90000), lastTwice.Cut(90000, end - 1000).Halved(),
               lastTwice.Cut(end - 1000, end - 960)}),
         {Changed, 90000}},
        {"a run of twice a passage held twice, then levels",
         twice,
         Join({twice.Cut(0, 50000), twice.Cut(50010, 50090), twice.Cut(50090).Halved()}),
         {Changed, 50000}},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.Verdict, Play(row.File, row.Wire)) << row.Name;
}

// Where nothing on the path could change samples, frames no run places are
// a fault, named at their first frame; where something could, processing.
TEST(HostPlayFaults, OtherSamplesAreProcessingOnlyWhereThePathHasSome)
{
    using enum HostWire;
    const Pcm noise = kMono.Noise(48000, 6);
    const Pcm levels = Join({noise.Cut(0, 24000), noise.Cut(24000).Halved()});
    EXPECT_EQ((Named{Changed, 24000}), Play(noise, levels));
    EXPECT_EQ((Named{Other, 24000}), Play(noise, levels, {false, "nothing"}));
}
