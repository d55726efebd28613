// A recording against what the device sent, frame by frame: the recording's
// silence before the device's first frame is the path's, levels change
// samples but keep every frame, frames lost or repeated are named so, and
// silence where the device sent sound, or a frame the device never sent,
// make the recording not the device's. Mono 16-bit frames, fed a step at a
// time as a run does.
// A play's start is placed by a run of the device's first frames of sound,
// and the frames after one that differs by a run too.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "sim/host/harness/host_record_compare.h"
#include "sim/host/harness/host_wire_compare.h"
#include "tests/sim/host/play_compare.h"

namespace
{
using Frames = std::vector<SHORT>;

// What the device sends: silence every 24 frames, as a sine crosses zero,
// and samples that differ from each other between.
Frames Device(size_t n)
{
    Frames f(n);
    for (size_t k = 0; k < n; ++k)
        f[k] = k % 24 == 0 ? 0 : (SHORT)(1000 + k);
    return f;
}

const Frames kSent = Device(2000);

// kSent's frames [from, to), each halved from `halved` on (the driver's
// levels).
Frames Part(size_t from, size_t to, size_t halved = SIZE_MAX)
{
    Frames f(kSent.begin() + (ptrdiff_t)from, kSent.begin() + (ptrdiff_t)to);
    for (size_t k = halved - from; k < f.size(); ++k)
        f[k] = (SHORT)(f[k] / 2);
    return f;
}

Frames Silence(size_t n)
{
    return Frames(n, 0);
}

Frames Join(std::initializer_list<Frames> parts)
{
    Frames all;
    for (const Frames& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

constexpr ULONGLONG kLag = 100;

const UCHAR* Bytes(const Frames& f, size_t at)
{
    return reinterpret_cast<const UCHAR*>(f.data() + at);
}

// Feeds the recording 16 frames at a time, one byte at a time (a frame may
// arrive in two reads), each step after the device's frames up to 48 frames
// past it: the recording trails the device, as it does on a run. Frames of
// `channels` samples, silent when every byte is `silence`.
template <typename Sample>
HostWire Compare(const std::vector<Sample>& wire, const std::vector<Sample>& file, bool gaps,
                 HostStreamSummary* summary, size_t channels = 1, UCHAR silence = 0x00,
                 bool pathMayChange = true, size_t pathOffAt = SIZE_MAX)
{
    const size_t bytes = sizeof(Sample) * channels; // a frame's
    HostRecordCompare compare((ULONG)bytes, silence, kLag, {pathMayChange, "levels"});
    const auto* sound = reinterpret_cast<const UCHAR*>(file.data());
    size_t sent = 0;
    for (size_t at = 0; at < file.size() / channels; at += 16)
    {
        const size_t upTo = std::max(sent, std::min(wire.size() / channels, at + 16 + 48));
        compare.Wire(reinterpret_cast<const UCHAR*>(wire.data()) + sent * bytes,
                     (upTo - sent) * bytes);
        sent = upTo;
        for (size_t i = at * bytes; i < std::min(file.size() / channels, at + 16) * bytes; ++i)
        {
            if (i == pathOffAt * bytes)
                compare.SetPath({false, "levels"});
            compare.File(sound + i, 1);
        }
    }
    return compare.Result(true, true, gaps, summary);
}

// Noise none of whose samples halves to silence, or a sine repeating every
// 4,800 frames (silent at its frames 0 and 2,400).
Frames Sound(bool sine)
{
    std::mt19937 noise(73);
    Frames f(30000);
    for (size_t k = 0; k < f.size(); ++k)
        f[k] = (SHORT)(sine ? std::lround(12000 * std::sin(M_PI * (double)k / 2400))
                            : 0x100 + noise() % 0x3f00);
    return f;
}

const Frames kNoise = Sound(false), kSine = Sound(true);

// A file's frames [from, to), halved (the driver's levels) when asked.
Frames Span(const Frames& f, size_t from, size_t to = SIZE_MAX, bool halved = false)
{
    Frames part(f.begin() + (ptrdiff_t)from, f.begin() + (ptrdiff_t)std::min(to, f.size()));
    for (SHORT& s : part)
        s = halved ? (SHORT)(s / 2) : s;
    return part;
}

const Frames kShort = Span(kNoise, 0, 100);

// Two seconds of 16-bit frames at `rate`, every channel alike: noise whose
// values are held for `shortest` to `longest` frames, or (`longest` 0) a
// 997 Hz sine.
HostAudio AlikeFrames(ULONG rate, USHORT channels, size_t shortest, size_t longest)
{
    std::mt19937 random(85);
    std::vector<SHORT> samples(2 * rate * channels);
    SHORT value = 0;
    for (size_t f = 0, left = 0; f < 2 * rate; ++f, --left)
    {
        if (longest != 0 && left == 0)
        {
            value = (SHORT)(1 + random() % 0x7ffe);
            left = shortest + random() % (longest - shortest + 1);
        }
        if (longest == 0)
            value = (SHORT)std::lround(16000 * std::sin(2 * M_PI * 997 * (double)f / rate));
        std::fill_n(&samples[f * channels], channels, value);
    }
    const auto* bytes = reinterpret_cast<const UCHAR*>(samples.data());
    return {rate, channels, 16, {bytes, bytes + 2 * samples.size()}};
}

constexpr size_t kNoiseFrames = SIZE_MAX, kSilentFrames = SIZE_MAX - 1;

// The file's frames with `count` frames put in at its frame `at` (its own
// from frame `from` on, noise or silence) in place of `lose` of its own.
std::vector<UCHAR> PutIn(const HostAudio& f, size_t at, size_t count, size_t from, size_t lose)
{
    const size_t bytes = f.FrameBytes();
    std::vector<UCHAR> in(count * bytes);
    std::mt19937 random(86);
    if (from == kNoiseFrames)
        std::generate(in.begin(), in.end(), [&random] { return (UCHAR)(1 + random() % 255); });
    else if (from != kSilentFrames)
        std::copy_n(&f.Data[from * bytes], in.size(), in.begin());
    std::vector<UCHAR> wire(f.Data.begin(), f.Data.begin() + (ptrdiff_t)(at * bytes));
    wire.insert(wire.end(), in.begin(), in.end());
    wire.insert(wire.end(), f.Data.begin() + (ptrdiff_t)((at + lose) * bytes), f.Data.end());
    return wire;
}
} // namespace

TEST(HostRecordCompare, EachRecordingGetsItsVerdict)
{
    using enum HostWire;
    const struct
    {
        const char* Name;
        Frames File;
        HostWire Verdict;
        // Changed, Broken: the first file frame that differs; Exact: the
        // file frame of the device's first it holds, and that device frame.
        ULONGLONG Frame = 0, Start = 0;
        bool Gaps = false; // packets were late or missing
        Frames Wire = kSent;
        bool NothingOn = false; // nothing on the path could change samples
    } rows[] = {
        // The device's first frame (silent) comes after five of the path's.
        {"the device's", Join({Silence(5), Part(0, 1900)}), Exact, 5},
        // Its first 29 frames of sound never reached the recording.
        {"the device's from its 30th", Join({Silence(7), Part(30, 900)}), Lost, 7},
        // The driver takes the packets that came: the recording is the device's.
        {"packets lost", kSent, Exact, 0, 0, true},
        {"levels from a frame", Join({Silence(5), Part(0, 1900, 300)}), Changed, 305},
        {"levels from the start", Join({Silence(5), Part(0, 1900, 0)}), Changed, 6},
        // Where nothing on the path could make them, other samples are not the device's.
        {"other samples from a frame", Join({Silence(5), Part(0, 1900, 300)}), Broken, 305, 0,
         false, kSent, true},
        {"other samples from the start", Join({Silence(5), Part(0, 1900, 0)}), Broken, 6, 0, false,
         kSent, true},
        {"other samples and packets lost", Part(0, 2000, 200), Broken, 200, 0, true},
        {"silence inserted", Join({Part(0, 500), Silence(1), Part(500, 1900)}), Broken, 500},
        {"a frame lost", Join({Part(0, 500), Part(501, 1900)}), Lost, 500},
        {"a frame repeated", Join({Part(0, 501), Part(500, 1900)}), Inserted, 501},
        {"silence where it sent sound", Silence(1900), Partial},
        {"frames the device never sent", Silence(1900), Partial, 0, 0, false, {}},
        {"the device's, then silence", Join({Part(0, 1000), Silence(900)}), Broken, 1000, 0, false,
         kSent, true},
        {"silence before the device's sound reached it", Silence(48), Silent},
        {"frames past the device's last", Join({kSent, Part(1, 3)}), Broken, 2000},
        {"sound the device never sent", Join({Silence(10), Part(1, 50)}), Broken, 10, 0, false,
         Silence(1000)},
        // Its frame 480 is silent: no level makes sound of it, though it
        // may make it after other levels.
        {"sound where it sent silence", Join({Silence(5), Part(0, 480), {7}, Part(481, 1900)}),
         Broken, 485},
        {"levels, then sound where it sent silence",
         Join({Silence(5), Part(0, 480, 300), {7}, Part(481, 1900, 300)}), Changed, 305},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Name);
        HostStreamSummary summary;
        EXPECT_EQ(row.Verdict,
                  Compare(row.Wire, row.File, row.Gaps, &summary, 1, 0x00, !row.NothingOn));
        const bool exact = row.Verdict == Exact;
        if (row.Verdict != Silent)
        {
            EXPECT_EQ(row.Frame, exact ? summary.WireAtFileFrame : summary.ChangedAtFrame);
            EXPECT_EQ(row.Start, exact ? summary.FileAtFrame : 0);
        }
    }
    // A recording that trails the device by more than kLag frames has lost
    // them, from the frame it holds then.
    HostRecordCompare compare(2, 0x00, kLag);
    compare.Wire(Bytes(kSent, 0), 2 * 50);
    compare.File(Bytes(kSent, 0), 2 * 50);
    compare.Wire(Bytes(kSent, 50), 2 * 150);
    HostStreamSummary summary;
    EXPECT_EQ(Broken, compare.Result(true, true, false, &summary));
    EXPECT_EQ(50u, summary.ChangedAtFrame);
}

// Processing goes off at a file frame: a frame the driver took after it is
// held to the device's own, and silence the path's processing made before
// the first sound is the device's frames changed, not frames lost.
TEST(HostRecordCompare, OnlyFramesTakenWhileProcessingWasOnPass)
{
    using enum HostWire;
    const struct
    {
        const char* Name;
        Frames File;
        size_t OffAt;
        HostWire Verdict;
        ULONGLONG Frame;
    } rows[] = {
        {"levels until it went off", Join({Silence(5), Part(0, 800, 300), Part(800, 1900)}), 805,
         Changed, 305},
        {"levels after it went off", Join({Silence(5), Part(0, 1900, 300)}), 805, Broken, 805},
        {"the frame after it went off", Join({Silence(5), Part(0, 1900, 800)}), 805, Broken, 805},
        {"muted to the first sound", Join({Silence(30), Part(25, 1900)}), 30, Changed, 6},
        // Silence the mute made where the device sent sound: its frames,
        // changed, until it went off; a frame after it, held to the device's.
        {"muted from a frame", Join({Silence(5), Part(0, 1000), Silence(900)}), SIZE_MAX, Changed,
         1005},
        {"muted, then unmuted", Join({Silence(5), Part(0, 1000), Silence(300), Part(1300, 1900)}),
         1305, Changed, 1005},
        {"a frame blank after the mute",
         Join({Silence(5), Part(0, 1000), Silence(301), Part(1301, 1900)}), 1305, Broken, 1305},
        {"a frame lost after the mute",
         Join({Silence(5), Part(0, 1000), Silence(300), Part(1301, 1900)}), 1305, Broken, 1305},
        {"muted to a frame before it", Join({Silence(30), Part(25, 1900)}), 10, Lost, 29},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Name);
        HostStreamSummary summary;
        EXPECT_EQ(row.Verdict, Compare(kSent, row.File, false, &summary, 1, 0x00, true, row.OffAt));
        EXPECT_EQ(row.Frame, summary.ChangedAtFrame);
    }
}

// Every byte of a frame counts, in every channel: the right channel halved
// (the device's frames read as stereo ones of two samples), or a sample's
// high byte changed, is the driver's processing. At 8 bits, silence is
// 0x80: inserted where the device sent sound, the recording is not the
// device's.
TEST(HostRecordCompare, EveryByteOfEveryChannelCounts)
{
    Frames right = Join({Silence(10), Part(0, 1900)}), raised = Join({Silence(5), Part(0, 1900)});
    for (size_t k = 611; k < right.size(); k += 2)
        right[k] = (SHORT)(right[k] / 2);
    raised[405] = (SHORT)(raised[405] + 0x100);
    std::vector<UCHAR> sent8(2000), recorded8;
    for (size_t k = 0; k < sent8.size(); ++k)
        sent8[k] = (UCHAR)(k % 24 == 0 ? 0x80 : 0x81 + k % 100);
    recorded8.assign(sent8.begin(), sent8.begin() + 500);
    recorded8.push_back(0x80);
    recorded8.insert(recorded8.end(), sent8.begin() + 500, sent8.begin() + 1900);
    HostStreamSummary summary;
    EXPECT_EQ(HostWire::Changed, Compare(kSent, right, false, &summary, 2));
    EXPECT_EQ(305u, summary.ChangedAtFrame);
    EXPECT_EQ(HostWire::Changed, Compare(kSent, raised, false, &summary));
    EXPECT_EQ(405u, summary.ChangedAtFrame);
    EXPECT_EQ(HostWire::Broken, Compare(sent8, recorded8, false, &summary, 1, 0x80));
    EXPECT_EQ(500u, summary.ChangedAtFrame);
}

// What the device received of a play after the path's 720 frames of silence
// (mono, 48 kHz: the file's start looked for in its first 24,000 frames).
TEST(HostPlayCompare, EachPlayGetsItsVerdict)
{
    using enum HostWire;
    const Frames silentFirst = Join({Silence(1000), kNoise});
    const struct
    {
        const char* Name;
        const Frames& File;
        Frames Wire; // after the path's silence
        HostWire Verdict;
        // LostStart: the file's first frame received; Exact: the wire frame
        // of its frame 0; Changed: the file frame that differs.
        ULONGLONG Frame;
        LONGLONG LeadIn; // from the frame found
    } rows[] = {
        {"noise from its frame 2400", kNoise, Span(kNoise, 2400), LostStart, 2400, 720 - 2400},
        // Its frame 2400 is silence, as the path's is.
        {"sine from its frame 2400", kSine, Span(kSine, 2400), LostStart, 2401, 721 - 2401},
        {"the file's silence first", silentFirst, silentFirst, Exact, 720, 720},
        // Levels that ramp in to the file's own: its first frames came, changed.
        {"levels until its frame 2400", kNoise,
         Join({Span(kNoise, 0, 2400, true), Span(kNoise, 2400)}), Changed, 0, 720},
        {"cut short within the run", kNoise, Span(kNoise, 2400, 2410), LostStart, 2400, 720 - 2400},
        {"the bound's last frame", kNoise, Span(kNoise, 23999), LostStart, 23999, 720 - 23999},
        // Past the bound, the device's sound is none of the file's.
        {"from the bound on", kNoise, Span(kNoise, 24000), Changed, 0, 720},
        // Sound exactly where the file's first frame belongs is that frame.
        {"its first frame changed", kNoise, Join({Span(kNoise, 0, 1, true), Span(kNoise, 1)}),
         Changed, 0, 720},
        {"a frame short of its end", kNoise, Span(kNoise, 0, 29999), Partial, 29999, 720},
        // Its start run goes on to the file's last frame.
        {"a short file's start lost", kShort, Span(kShort, 10), LostStart, 10, 720 - 10},
        // Sound too short to be the file, processed.
        {"a stray frame, the file never started", kNoise, Span(kNoise, 5000, 5001), Partial, 0,
         720},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Name);
        PlayOf play(row.File);
        HostStreamSummary summary;
        EXPECT_EQ(row.Verdict, play.Received(row.Wire, &summary, 0));
        EXPECT_EQ(row.Frame, row.Verdict == LostStart ? summary.FirstReceivedFrame
                             : row.Verdict == Exact   ? summary.FileAtFrame
                                                      : summary.ChangedAtFrame);
        double ms = 0;
        ASSERT_TRUE(play.Compare.LeadInMs(2, 48000, &ms));
        EXPECT_DOUBLE_EQ((double)row.LeadIn / 48, ms);
    }
}

// Two seconds of noise, whose frames 51,000 to 51,039 are also at 48,500
// (a passage shorter than a run); a sine, one period of 4,800 frames
// repeated; noise quiet (±1) from frame 60,000. What the device received of
// them from a file frame on, the file's start long placed.
TEST(HostPlayCompare, FramesLostInsertedOrBlankedFailAndOtherValuesAreProcessing)
{
    using enum HostWire;
    std::mt19937 random(77);
    Frames noise(96000), sine(96000), quietEnd(96000);
    for (size_t k = 0; k < noise.size(); ++k)
    {
        noise[k] = (SHORT)(0x100 + random() % 0x3f00);
        sine[k] = (SHORT)std::lround(12000 * std::sin(M_PI * (double)(k % 4800) / 2400));
        quietEnd[k] = k < 60000 ? noise[k] : (SHORT)(k % 2 == 0 ? 1 : -1);
    }
    std::copy_n(noise.begin() + 51000, 40, noise.begin() + 48500);
    // The driver's levels halving (quiet samples to silence), and the shape
    // of the 32-bit float chain's rounding: loud samples off, quiet ones not.
    SHORT (*keep)(SHORT) = [](SHORT s) { return s; };
    SHORT (*halve)(SHORT) = [](SHORT s) { return (SHORT)(s / 2); };
    SHORT (*round)(SHORT) = [](SHORT s) { return (SHORT)(s >= 0x100 ? s - 1 : s); };
    const struct
    {
        const char* Name;
        const Frames& File;
        // From file frame At: the frames the path loses, turns to silence,
        // or delivers twice before it; and what the driver does to each.
        size_t At, Lose, Blank, Repeat;
        SHORT (*Level)(SHORT);
        HostWire Verdict;
        // The file frame that differs (Partial: the first never received);
        // Lost, Inserted: the file frame received again from wire frame
        // AgainWire (the path's 720 included); Blanked: the one after the
        // last received as silence.
        ULONGLONG Frame, Again = 0, AgainWire = 0;
    } rows[] = {
        {"a frame lost", noise, 48000, 1, 0, 0, keep, Lost, 48000, 48001, 48720},
        {"10 frames lost", noise, 48000, 10, 0, 0, keep, Lost, 48000, 48010, 48720},
        {"2,400 frames lost", noise, 48000, 2400, 0, 0, keep, Lost, 48000, 50400, 48720},
        // Its first 40 frames are at 48,500 too: a run decides.
        {"3,000 frames lost", noise, 48000, 3000, 0, 0, keep, Lost, 48000, 51000, 48720},
        {"lost to the window's last", noise, 48000, 23999, 0, 0, keep, Lost, 48000, 71999, 48720},
        {"lost past the window", noise, 48000, 24000, 0, 0, keep, Changed, 48000},
        {"100 frames blanked", noise, 48000, 0, 100, 0, keep, Blanked, 48000, 48100, 48820},
        {"a packet repeated", noise, 48000, 0, 0, 48, keep, Inserted, 48000, 48000, 48768},
        {"the last 10 frames lost", noise, 95990, 10, 0, 0, keep, Partial, 95990},
        // The frames after the loss are those lost: only the end shows it
        // (the file's frame 91,200 is silence, as the play-out is).
        {"a sine's period lost", sine, 48000, 4800, 0, 0, keep, Partial, 91201},
        {"levels from a frame on", noise, 48000, 0, 0, 0, halve, Changed, 48000},
        {"levels, then silence", quietEnd, 48000, 0, 0, 0, halve, Changed, 48000},
        {"32-bit rounding", quietEnd, 48000, 0, 0, 0, round, Changed, 48000},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Name);
        const Frames& f = row.File;
        Frames wire = Join({Span(f, 0, row.At), Span(f, row.At - row.Repeat, row.At),
                            Silence(row.Blank), Span(f, row.At + row.Blank + row.Lose)});
        std::transform(wire.begin() + (ptrdiff_t)row.At, wire.end(),
                       wire.begin() + (ptrdiff_t)row.At, row.Level);
        HostStreamSummary summary;
        EXPECT_EQ(row.Verdict, PlayOf(f).Received(wire, &summary));
        EXPECT_EQ(row.Frame, summary.ChangedAtFrame);
        EXPECT_EQ(row.Verdict == Inserted ? row.Repeat : 0, summary.InsertedFrames);
        if (row.Again == 0)
            continue;
        EXPECT_EQ(row.Again, summary.FirstReceivedFrame);
        EXPECT_EQ(row.AgainWire, summary.ResumedWireFrame);
    }
}

// Faults wherever they lie in what the device received after the path's
// 720 frames of silence, each named by its kind and frames: two seconds of
// noise, the same with silent passages, quiet noise (±4), a sine
// of 4,800 frames a period, and a constant. However the file repeats, the
// compare's work a received frame stays within its bound.
TEST(HostPlayCompare, EachFaultIsNamedWhereverItLies)
{
    using enum HostWire;
    std::mt19937 random(79);
    Frames noise(96000), gapped, quiet(96000), sine(96000), constant(96000, 8000), blanked[2];
    for (size_t k = 0; k < noise.size(); ++k)
    {
        noise[k] = (SHORT)(0x100 + random() % 0x3f00);
        quiet[k] = (SHORT)(random() % 9) - 4;
        sine[k] = (SHORT)std::lround(12000 * std::sin(M_PI * (double)(k % 4800) / 2400));
    }
    // The noise's frames [from, to); silence.
    const auto n = [&noise](size_t from, size_t to = SIZE_MAX) { return Span(noise, from, to); };
    const auto z = [](size_t frames) { return Silence(frames); };
    // Silent from frame 12,001 to 14,000 too, its frame 12,000 its 5,999 halved.
    gapped = Join({Span(noise, 0, 6000), Silence(3000), n(9000, 12001), Silence(2000), n(14001)});
    gapped[12000] = (SHORT)(gapped[5999] / 2);
    // The constant, one frame in 63 blanked for the half second from a frame.
    for (size_t at : {0, 1})
        for (size_t k = (blanked[at] = constant, 48000 * at); k < 48000 * at + 24000; k += 63)
            blanked[at][k] = 0;
    const struct
    {
        const char* Name;
        const Frames& File;
        Frames Wire; // after the path's silence
        HostWire Verdict;
        // The file frame that differs; the one received again, from wire
        // frame Again (after the path's silence); the frames inserted, of
        // sound after the file's last, or before its first.
        ULONGLONG Frame, First = 0, Again = 0, Count = 0;
    } rows[] = {
        {"a packet lost in the first run", noise, Join({n(0, 48), n(96)}), Lost, 48, 96, 48},
        {"two blanks a run apart", noise, Join({n(0, 1000), z(10), n(1010, 1020), z(10), n(1030)}),
         Blanked, 1000, 1010, 1010},
        {"the start lost, then frames later", noise, Join({n(100, 48000), n(48050)}), LostStart, 0,
         100},
        {"a loss before the file's silence", gapped,
         Join({Span(gapped, 0, 5990), Span(gapped, 6000)}), Lost, 5990, 6000, 5990},
        {"a blank into the file's silence", gapped,
         Join({Span(gapped, 0, 5990), z(510), Span(gapped, 6500)}), Blanked, 5990, 6000, 9000},
        {"frames inserted ten before the end", quiet,
         Join({Span(quiet, 0, 95990), Span(quiet, 94990, 95990), Span(quiet, 95990)}), Inserted,
         95990, 95990, 96990, 1000},
        // The file's last frames again after it: a repeat that shows there.
        {"frames after the file's last", noise, Join({noise, n(94000)}), Inserted, 96000, 94000,
         96000, 2000},
        {"other frames after the file's last", noise, Join({noise, n(0, 2000)}), Appended, 0, 0, 0,
         2000},
        {"sound before the file, then a loss", noise,
         Join({Span(noise, 50000, 50004, true), z(100), n(0, 48000), n(48010)}), Leftover, 0, 0, 0,
         4},
        {"a short run after a loss, then silence", noise, Join({n(0, 48000), n(50000, 50030)}),
         Lost, 48000, 50000, 48000},
        {"silence from a frame to the end", noise, n(0, 48000), Partial, 48000},
        {"40,000 frames blanked", noise, Join({n(0, 48000), z(40000), n(88000)}), Blanked, 48000,
         88000, 88000},
        {"23,990 frames blanked", noise, Join({n(0, 48000), z(23990), n(71990)}), Blanked, 48000,
         71990, 71990},
        // The sine's frame 72,001 is past the window: the nearest earlier
        // place of its run is a period back.
        {"noise received whole", noise, noise, Exact, 0},
        // A frame of sound and silence tell too little to place levels there.
        {"levels on noise before its silence", gapped,
         Join({Span(gapped, 0, 3000), Span(gapped, 3000, SIZE_MAX, true)}), Changed, 3000},
        // Its first blank reads as the path's silence: the next is one frame
        // earlier, in place.
        {"a constant blanked from its first frame", constant, blanked[0], Blanked, 62, 63, 64},
        {"a constant blanked from a frame on", constant, blanked[1], Blanked, 48000, 48001, 48001},
        {"a frame after a constant's last", constant, Join({constant, Frames(1, 8000)}), Inserted,
         96000, 95999, 96000, 1},
        {"sound before the file, then its start lost", noise,
         Join({Span(noise, 50000, 50004, true), z(2000), n(100)}), LostStart, 0, 100},
        {"noise inserted in a sine", sine,
         Join({Span(sine, 0, 48001), n(0, 20000), Span(sine, 48001)}), Inserted, 48001, 67201,
         68001, 800},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Name);
        HostStreamSummary summary;
        PlayOf play(row.File);
        EXPECT_EQ(row.Verdict, play.Received(row.Wire, &summary));
        EXPECT_LE(play.Compare.Work(), HostPlayCompare::kWorkPerFrame * summary.DeviceFrames);
        EXPECT_EQ(row.Frame, summary.ChangedAtFrame);
        EXPECT_EQ(row.First, summary.FirstReceivedFrame);
        EXPECT_EQ(row.Again == 0 ? 0 : 720 + row.Again, summary.ResumedWireFrame);
        EXPECT_EQ(row.Count, row.Verdict == Appended   ? summary.AppendedFrames
                             : row.Verdict == Leftover ? summary.LeftoverFrames
                                                       : summary.InsertedFrames);
    }
}

// Files whose neighbouring frames are alike: noise held for 10 frames (48
// kHz, stereo) or for runs of 1 to 20 (44.1 and 96 kHz), a 997 Hz sine (8
// channels at 48 kHz, 2 at 96 kHz). Frames put in are named where the
// received frames first differ (inside a held value, at the frame after it),
// with their count; silence past the window as frames inserted where the
// file goes on where it stopped, else as the file's frames never received.
TEST(HostPlayCompare, FramesInFilesOfAlikeNeighboursAreNamed)
{
    using enum HostWire;
    const HostAudio held = AlikeFrames(48000, 2, 10, 10), runs44 = AlikeFrames(44100, 2, 1, 20),
                    runs96 = AlikeFrames(96000, 2, 1, 20), sine8 = AlikeFrames(48000, 8, 0, 0),
                    sine96 = AlikeFrames(96000, 2, 0, 0);
    const struct
    {
        const char* Name;
        const HostAudio& File;
        // `count` frames put in at `at` (from `from` on) in place of `lose`.
        size_t At, Count, From, Lose;
        HostWire Verdict;
        // From the file frame that differs: the file frame received again,
        // and the wire frame it came in (after the path's silence).
        size_t First = 0, Again = 0;
    } rows[] = {
        {"held 10, whole", held, 0, 0, 0, 0, Exact},
        {"held 10, two frames again", held, 30000, 2, 29998, 0, Inserted, 0, 2},
        {"held 10, a frame repeated", held, 30003, 1, 30002, 0, Inserted, 0, 1},
        {"held 10, three frames of noise", held, 30000, 3, kNoiseFrames, 0, Inserted, 0, 3},
        {"runs at 96 kHz, two frames again", runs96, 50000, 2, 49998, 0, Inserted, 0, 2},
        {"runs at 44.1 kHz, 85 frames again", runs44, 1000, 85, 915, 0, Inserted, 0, 85},
        {"sine in 8 channels, a frame again", sine8, 320, 1, 319, 0, Inserted, 0, 1},
        {"sine at 96 kHz, 10 frames again", sine96, 49187, 10, 49177, 0, Inserted, 0, 10},
        {"sine at 96 kHz, whole", sine96, 0, 0, 0, 0, Exact},
        {"silence past the window", held, 40000, 30000, kSilentFrames, 0, Inserted, 0, 30000},
        {"silence past the window for frames lost", held, 40000, 30000, kSilentFrames, 1000, Lost,
         1000, 30000},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Name);
        const std::vector<UCHAR> wire = PutIn(row.File, row.At, row.Count, row.From, row.Lose);
        size_t f0 = 0;
        while (f0 < row.File.Frames() &&
               !memcmp(&wire[f0 * row.File.FrameBytes()],
                       &row.File.Data[f0 * row.File.FrameBytes()], row.File.FrameBytes()))
            ++f0;
        HostStreamSummary summary;
        PlayOf play(row.File);
        EXPECT_EQ(row.Verdict, play.Received(wire, &summary));
        EXPECT_LE(play.Compare.Work(), HostPlayCompare::kWorkPerFrame * summary.DeviceFrames);
        if (row.Verdict == Exact)
            continue;
        EXPECT_EQ(f0, summary.ChangedAtFrame);
        EXPECT_EQ(f0 + row.First, summary.FirstReceivedFrame);
        EXPECT_EQ(720 + f0 + row.Again, summary.ResumedWireFrame);
        EXPECT_EQ(row.Verdict == Inserted ? row.Count : 0, summary.InsertedFrames);
    }
}
