// Plays drawn at random, each from a seed of its own: files of every kind the
// play compare meets, whose path loses, blanks or inserts frames, puts sound
// where the file is silent, or whose driver changes their levels. Each
// verdict is checked against the one the README states, worked out from what
// was done to the file, frame by frame.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <random>

#include "sim/host/harness/host_wire_compare.h"

namespace
{
// Noise, noise of ±4, sines, a square wave, a constant, noise with silent
// passages; noise whose values are held for 2 to 64 frames, or for runs of
// random lengths; 2 to 4 values; a 997 Hz sine; clicks far apart; eight
// channels alike; a sine computed in floating point from phase 0, every
// channel alike, so that its zero crossings are silent frames; noise whose
// 200-frame blocks each play twice, silent every 100 frames; pulses of
// noise between silences.
enum Kind
{
    Noise,
    Quiet,
    Sine,
    Sine32,
    Square,
    Constant,
    Gaps,
    Held,
    Runs,
    Few,
    Sine997,
    Clicks,
    Alike,
    Floating,
    Twice,
    Pulses,
    kKinds
};
// The longest run the compare follows: no kind needs more frames of sound.
constexpr double kLongest = 256;

// A received frame: the file's frame At ('F', inserted again too), silence in
// its place ('B'), inserted ('I'), the file's frame with the driver's levels
// ('X'), or silence before or after the play ('P'). A fault: frames lost ('L'), blanked ('B'),
// inserted again ('C'), noise ('N') or silence ('S') inserted, silence
// past the window in place of none or some ('G'), or noise in place of some
// ('P', where the file is silent mostly).
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
    ULONG Rate = 8000;
    double Hz = 0, Amplitude = 0.5; // a floating-point sine's
    size_t Period = 0;              // the frames a repeating kind repeats after
    // An 8-bit 997 Hz sine: its samples repeat from one period to the next,
    // though a period is no whole number of frames.
    bool Repeats = false;
    // The most frames of sound a run needs to place frames anywhere, and at
    // one place (the file's end, a blank); and a run followed whole, for
    // kLongest frames, that has outlasted every passage held twice.
    double Run = kLongest, EndRun = kLongest, WholeRun = kLongest, WholeOnePlace = kLongest;
    size_t Faults = 0;

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
    // Whether the file holds sound from frame `f` on.
    bool SoundAfter(size_t f) const { return SoundFrom(File, f) < Frames(File); }
    // The wire frames from `w` on that are the file's in order (*frames),
    // and the frames of sound among the first kLongest of them.
    size_t RunSounds(size_t w, size_t* frames = nullptr) const
    {
        size_t n = 0, sounds = 0;
        for (; w + n < Tags.size() && Tags[w + n].What == 'F' && Tags[w + n].At == Tags[w].At + n;
             ++n)
            sounds += n < kLongest && Sound(Wire, w + n) ? 1 : 0;
        return frames != nullptr ? (*frames = n, sounds) : sounds;
    }
};

// The file's frames from `first` on, by its kind.
void Fill(Play& p, std::mt19937& r, size_t first)
{
    const int full = (1 << (p.Bits - 1)) - 1;
    const size_t bytes = p.Bytes, n = p.Frames(p.File), sample = p.Bits / 8;
    std::vector<UCHAR> values(4 * bytes);
    std::generate(values.begin(), values.end(), [&r] { return (UCHAR)r(); });
    const size_t held = 2 + r() % 63, few = 2 + r() % 3;
    for (size_t f = first, left = 0, burst = 0, pause = 0; f < n; ++f)
    {
        UCHAR* to = &p.File[f * bytes];
        const bool again = left-- != 0 && f != first;
        switch (p.Drawn)
        {
        case Noise:
        case Gaps:
            std::generate(to, to + bytes, [&r] { return (UCHAR)r(); });
            break;
        case Held:
        case Runs:
        case Alike:
            if (again)
                memcpy(to, to - bytes, bytes);
            else
                for (size_t b = 0; b < bytes; ++b)
                    to[b] = p.Drawn == Alike && b >= sample ? to[b - sample] : (UCHAR)r();
            left = again ? left : (p.Drawn == Runs ? r() % 20 : held - 1);
            break;
        case Few:
            memcpy(to, &values[r() % few * bytes], bytes);
            break;
        case Clicks:
            if (r() % 50 == 0)
                std::generate(to, to + bytes, [&r] { return (UCHAR)(1 + r() % 255); });
            break;
        case Twice:
            // Each block of 200 again after itself, silent at 0 and 100.
            if ((f - first) % 400 >= 200)
                memcpy(to, to - 200 * bytes, bytes);
            else if ((f - first) % 100 != 0)
                std::generate(to, to + bytes, [&r] { return (UCHAR)r(); });
            break;
        case Pulses:
            // 5 to 40 frames of noise, then 100 to 600 of silence.
            burst = burst == 0 && pause == 0 ? 5 + r() % 36 : burst;
            if (burst != 0)
                std::generate(to, to + bytes, [&r] { return (UCHAR)(1 + r() % 255); });
            pause = burst == 1 ? 100 + r() % 501 : pause - (burst == 0 ? 1 : 0);
            burst -= burst != 0 ? 1 : 0;
            break;
        case Floating:
            for (size_t ch = 0; ch < p.Channels; ++ch, to += sample)
                p.Put(to,
                      (int)std::lround(full * p.Amplitude *
                                       std::sin(2 * M_PI * p.Hz * (double)(f - first) / p.Rate)));
            break;
        default:
            for (size_t c = 0; c < p.Channels; ++c, to += sample)
                if (p.Period != 0 && f >= first + p.Period)
                    memcpy(to, to - p.Period * bytes, sample);
                else
                    p.Put(
                        to,
                        p.Drawn == Quiet    ? (int)(r() % 9) - 4
                        : p.Drawn == Square ? ((f - first) * 2 < p.Period ? full / 2 : -full / 2)
                        : p.Drawn == Constant
                            ? full / 3
                            : (int)std::lround(full * 0.5 *
                                               std::sin((double)c + 2 * M_PI * (double)(f - first) /
                                                                        (p.Drawn == Sine997
                                                                             ? p.Rate / 997.0
                                                                             : (double)p.Period))));
        }
    }
}

// The most frames of sound a run of the compare needs, from what the kind's
// frames tell: as many as make a match elsewhere unlikely, given that a
// window shows no more than its frames' count of values (less two bits).
// Kinds of few values, or whose neighbouring frames are alike, may need
// the longest; a run followed whole needs no more than its frames of sound,
// a sine's no more than half of them. Blocks played twice need a run
// longer than a block, which only a run followed whole is.
void Bound(Play& p)
{
    const bool noisy = p.Drawn == Noise || p.Drawn == Gaps || p.Drawn == Quiet ||
                       p.Drawn == Clicks || p.Drawn == Pulses || p.Drawn == Twice;
    const double window = (double)p.Search + kLongest,
                 values = p.Drawn == Quiet ? 0.8 * std::log2(9.0) : 0.99 * p.Bits,
                 apart = p.Drawn == Clicks   ? 50
                         : p.Drawn == Pulses ? 17
                                             : 1; // frames between values
    p.WholeRun = p.WholeOnePlace = p.Drawn == Floating ? kLongest / 2 : kLongest;
    if (!noisy)
        return;
    const double bits = std::min((double)p.Channels * values, std::log2(window / apart) - 2);
    const auto frames = [&](double need) { return std::min(kLongest, std::ceil(need / bits) + 2); };
    p.WholeRun = p.Run = frames(2 * std::log2(window) + 20);
    p.WholeOnePlace = p.EndRun = frames(20);
    if (p.Drawn == Twice)
        p.Run = p.EndRun = kLongest + 1;
}

// A random frame of the file from `from` on where it is silent; its
// frames past the last if none is.
size_t SilentFrom(const Play& p, std::mt19937& r, size_t from)
{
    const size_t n = p.Frames(p.File);
    size_t silent = 0;
    for (size_t f = from; f < n; ++f)
        silent += p.Sound(p.File, f) ? 0 : 1;
    for (size_t f = from, pick = silent != 0 ? r() % silent : 0; silent != 0 && f < n; ++f)
        if (!p.Sound(p.File, f) && pick-- == 0)
            return f;
    return n;
}

// A file after its own silence, with silence longer than the window inside
// it or at its end where drawn; then what the device receives of it between
// silences: the file with up to three faults (at its first frames of sound,
// closer than a run, anywhere, or where the file is silent; of one to three
// frames, or of one frame to a window's; silence longer than the window;
// noise in place of frames) or the driver's levels (a gain of a half, three
// quarters or one and a half, from the first frame or a later one; the
// 32-bit float chain's rounding, a unit off loud samples).
Play Draw(std::mt19937& r)
{
    const int kind = (int)(r() % kKinds);
    const USHORT bits = (USHORT)(8 * (1 + r() % 3));
    const bool tone = kind == Sine997 || kind == Floating, longGap = r() % 5 == 0;
    const ULONG rates[] = {44100, 48000, 96000},
                rate = tone ? rates[r() % (kind == Floating ? 2 : 3)] : 8000;
    const size_t channels = kind == Alike ? 8 : 1 + r() % (tone ? 2 : 8);
    const int full = (1 << (bits - 1)) - 1;
    // Silence at its end, longer than the window now and then.
    const size_t tail = r() % 3 == 0 ? 1 + r() % (3 * rate / 4) : 0;
    const size_t bytes = channels * bits / 8,
                 n = rate / 4 + r() % (3 * rate / 4) + (longGap ? rate + rate / 2 : 0) + tail,
                 first = r() % 300;
    Play p{kind, bits, channels, bytes, rate / 2, {}, {}, {}, {}};
    p.Rate = rate;
    const double tones[] = {300, 500, 1000, 2000, 997}, amplitudes[] = {0.5, 0.25, 0.9, 0.1};
    p.Hz = tones[r() % 5];
    p.Amplitude = amplitudes[r() % (bits == 8 ? 3 : 4)];
    const size_t periods[kKinds] = {0, 0, 100, 32, 4 + r() % 400, 1};
    // A floating-point sine repeats once its cycles and the rate's frames
    // meet again.
    const size_t cycle = rate / std::gcd((size_t)rate, (size_t)p.Hz);
    p.Period = kind != Floating ? periods[kind] : cycle < n ? cycle : 0;
    p.Repeats = p.Period != 0 || (tone && bits == 8);
    p.Silence.assign(bytes, bits == 8 ? 0x80 : 0);
    p.File.resize(n * bytes, p.Silence[0]);
    Fill(p, r, first);
    Bound(p);
    for (size_t gap = 0; p.Drawn == Gaps && gap < 3; ++gap)
    {
        const size_t at = r() % n, length = std::min(50 + r() % (n / 5), n - at);
        std::fill_n(&p.File[at * bytes], length * bytes, p.Silence[0]);
    }
    if (longGap)
    {
        // Past the first half second of sound, where the start is placed.
        const size_t at = first + p.Search + r() % (n - tail - first - 3 * p.Search),
                     length = p.Search + 1 + r() % p.Search;
        std::fill_n(&p.File[at * bytes], length * bytes, p.Silence[0]);
    }
    std::fill_n(&p.File[(n - tail) * bytes], tail * bytes, p.Silence[0]);
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
        // After the file's last sound, in a gap, at a sine's zero crossing.
        at = r() % 3 == 0 ? SilentFrom(p, r, at) : at;
        if (at >= n)
            break;
        char fault = "LBCNSGP"[r() % 7];
        size_t length =
            r() % 3 == 0
                ? 1 + r() % 3
                : (size_t)std::exp(std::uniform_real_distribution<>(0, std::log(p.Search - 1))(r));
        // Copies of earlier frames, from right before the fault or further.
        const size_t back = fault == 'C' && r() % 2 == 0 ? r() % p.Search : 0;
        fault = fault == 'C' && at < length + back ? 'N' : fault;
        // Silence past the window, in place of none of the file or of some.
        const size_t lost = fault == 'G' && r() % 2 == 0 ? std::min(length, n - at) : 0;
        length = fault == 'G' ? p.Search + kLongest + r() % p.Search : length;
        length = fault == 'L' || fault == 'B' || fault == 'P' ? std::min(length, n - at) : length;
        p.Add(p.File.data() + next * bytes, {'F', next}, at - next);
        std::vector<UCHAR> noise(fault == 'N' || fault == 'P' ? length * bytes : 0);
        std::generate(noise.begin(), noise.end(), [&r] { return (UCHAR)r(); });
        const Tag tag{fault == 'C'   ? 'F'
                      : fault == 'B' ? 'B'
                                     : 'I',
                      fault == 'C' ? at - length - back : at};
        if (fault != 'L')
            p.Add(fault == 'C'                   ? &p.File[tag.At * bytes]
                  : fault == 'N' || fault == 'P' ? noise.data()
                                                 : nullptr,
                  tag, length);
        p.NoiseInserted |= fault == 'N';
        ++p.Faults;
        next = at = fault == 'L' || fault == 'B' || fault == 'P' ? at + length : at + lost;
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
    const bool resumed = w == Lost || w == Inserted || w == Blanked || w == Filled;
    const ULONGLONG count = w == Leftover ? s.LeftoverFrames : w == Appended ? s.AppendedFrames : 0;
    return {resumed || w == Partial || w == Changed || w == Other ? s.ChangedAtFrame : 0,
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

// Sound received after the file's last, from wire frame `w0` in place of
// file frame `f0` on (the file's frames before it received in place): the
// file's last frames received again, where they are no more than a quarter
// second before `f0` and the compare holds them (`held`); else sound after
// the file's last sound.
Expected AfterLast(const Play& p, size_t w0, size_t f0, bool held)
{
    using enum HostWire;
    const size_t wires = p.Frames(p.Wire);
    size_t end = f0, last = wires, count = 0;
    while (end != 0 && !p.Sound(p.File, end - 1))
        --end;
    for (size_t w = w0; w < wires; ++w)
        if (p.Sound(p.Wire, w))
            last = w, ++count;
    const size_t from = w0 - (f0 - end), n = last + 1 - from;
    bool again = held && last != wires && f0 - end + n <= p.Search / 2 && n <= end;
    for (size_t k = 0; again && k < n; ++k)
        again = p.Same(from + k, end - n + k);
    return again ? Expected{Inserted, {end, end - n, from, n}}
                 : Expected{Appended, {0, 0, 0, 0, count}};
}

// The run of received frames in place from wire frame `y` on (silence past
// the file's end counting as in place): its frames, and its frames of sound
// among the first kLongest.
size_t InPlaceRun(const Play& p, size_t y, size_t inPlace, size_t* sounds)
{
    const size_t n = p.Frames(p.File), wires = p.Frames(p.Wire);
    size_t k = 0;
    for (*sounds = 0;
         y + k < wires && (inPlace + k < n ? p.Same(y + k, inPlace + k) : !p.Sound(p.Wire, y + k));
         ++k)
        *sounds += k < kLongest && p.Sound(p.Wire, y + k) ? 1 : 0;
    return k;
}

// From the first frame that differs on (wire frame w0, file frame f0): the
// file blanked, frames lost or inserted, or sound in place of its silence,
// placed by the first run of its own frames received after it.
Expected AfterDifference(const Play& p, size_t w0, size_t f0)
{
    using enum HostWire;
    const size_t n = p.Frames(p.File), wires = p.Frames(p.Wire);
    const auto inPlace = [&](size_t w) { return f0 + (w - w0); };
    const bool placed = !p.Repeats, silentStart = w0 == wires || !p.Sound(p.Wire, w0);
    // The first sound other than the file's in place: where the file is
    // silent, nothing the path's levels make.
    size_t o = w0;
    while (o < wires && (!p.Sound(p.Wire, o) || (inPlace(o) < n && p.Same(o, inPlace(o)))))
        ++o;
    const bool stray = o < wires && (inPlace(o) >= n || !p.Sound(p.File, inPlace(o)));
    const bool fills = stray && !silentStart;
    Expected e{Changed, {f0}, true, p.NoiseInserted && !placed && !stray, true};
    // Sound past the file's last.
    if (!silentStart && !p.SoundAfter(f0))
        return AfterLast(p, w0, f0, n <= f0 + p.Search + (size_t)kLongest - 2);
    const size_t y = p.SoundFrom(p.Wire, w0);
    if (y == wires)
        return {Partial, {f0}};
    // Silence, then the file's sound in place for a run at one place.
    if (silentStart && inPlace(y) < n && p.Same(y, inPlace(y)))
    {
        size_t sounds = 0, last = inPlace(y) - 1;
        const size_t length = InPlaceRun(p, y, inPlace(y), &sounds);
        while (!p.Sound(p.File, last))
            --last;
        const Expected blank{Blanked, {f0, last + 1, y}};
        if (sounds >= p.EndRun || (length >= kLongest && sounds >= p.WholeOnePlace))
            return blank;
        // Cut short by the next fault: still no processing, but for faults
        // that cancel out.
        if (p.Tags[y].What == 'F' && p.Tags[y].At == inPlace(y))
            return {Blanked, blank.Frames, false, p.Faults > 1, true};
    }
    // The run that places the frames: the file's first frame of sound from f0
    // on received after it, taken back over the silence both have before.
    // Sound after silence past the window starts a window of its own, where
    // the file goes on where it stopped (the silence inserted) or later.
    const bool late = silentStart && y - w0 >= p.Search;
    size_t x = y, back = 0;
    while (x < wires && !(p.Tags[x].What == 'F' && p.Tags[x].At >= f0 && p.Sound(p.Wire, x)))
        ++x;
    size_t length = 0;
    const size_t j = x < wires ? p.Tags[x].At : 0, sounds = x < wires ? p.RunSounds(x, &length) : 0;
    // Faults that cancel out, by whole periods in a repeating file, leave the
    // file's frames in place.
    const size_t shift = j > inPlace(x) ? j - inPlace(x) : inPlace(x) - j;
    const bool inWindow = j < f0 + p.Search && x - (late ? y : w0) < p.Search && !(fills && late);
    const bool decides = sounds >= p.Run || (length >= kLongest && sounds >= p.WholeRun);
    e.MayChange |= !stray && (!decides || !inWindow ||
                              (!late && (p.Period == 0 ? shift * placed : shift % p.Period) == 0));
    if (x == wires || j == inPlace(x))
        return {fills ? Filled : Changed, {}, false, e.MayChange};
    while (x - back > w0 && j - back > f0 && !p.Sound(p.Wire, x - back - 1) &&
           !p.Sound(p.File, j - back - 1))
        ++back;
    const bool lost = late ? j - back > f0 : j > inPlace(x);
    e.Wire = lost ? Lost : Inserted;
    e.Frames = {f0, j - back, x - back, lost ? 0 : inPlace(x) - j};
    // A run to the file's end is followed by the silence after the play. A
    // run cut short by the next fault decides only until a later one places
    // the file earlier: copies that run into the frames it left out.
    size_t later = x + length;
    while (later < std::min(wires, x + length + p.Search) &&
           !(p.Tags[later].What == 'F' && p.Tags[later].At >= f0 && p.Tags[later].At < j))
        ++later;
    e.Exact = placed && inWindow &&
              (length >= kLongest || later == std::min(wires, x + length + p.Search)) &&
              (decides ||
               (j + length == n && length < kLongest && sounds >= p.EndRun && n - f0 <= p.Search));
    return e;
}

Expected Expect(const Play& p)
{
    using enum HostWire;
    const size_t n = p.Frames(p.File), wires = p.Frames(p.Wire);
    const size_t first = p.SoundFrom(p.File, 0), s = p.SoundFrom(p.Wire, 0);
    size_t k = 0, after = 0;
    while (first + k < n && s + k < wires && p.Same(s + k, first + k))
        ++k;
    for (size_t w = s + k; first + k == n && w < wires; ++w)
        after += p.Sound(p.Wire, w) ? 1 : 0;
    const bool placed = !p.Repeats, differs = first + k != n || after != 0;
    // Silence where it ended: sound for a silent file is processing.
    if (first == n)
        return s == wires ? Expected{Silent} : Expected{Changed, {}, false, true};
    Expected e{differs ? Changed : Exact, {differs ? first + k : 0}, true, false, differs};
    // Levels on a sine whose samples repeat may make it the file's at
    // another phase; sound too short for a run is none of the file.
    size_t sound = 0;
    for (size_t w = s; w < wires; ++w)
        sound += p.Sound(p.Wire, w) ? 1 : 0;
    e.Exact =
        ((p.Period != 0 && !(p.Drawn == Floating && p.Bits == 8)) || placed) && sound >= p.Run;
    e.MayChange = !e.Exact;
    if (s == wires || p.Processed || !differs)
        return s == wires ? Expected{Unreached} : e;
    e.MayChange = p.NoiseInserted && !placed;
    e.Exact = true;
    // A start the device never received, or sound before the file.
    const Tag at = p.Tags[s];
    if (at.What != 'F' || at.At != first)
    {
        size_t y = s, count = 0;
        for (; at.What != 'F' && y < wires && !(p.Tags[y].What == 'F' && p.Sound(p.Wire, y)); ++y)
            count += p.Sound(p.Wire, y) ? 1 : 0;
        e.Wire = at.What == 'F' ? LostStart : Leftover;
        e.Frames = {0, at.What == 'F' ? at.At : 0, 0, 0, count};
        e.Exact = placed && !p.Same(s, first) && y < wires && p.RunSounds(y) >= p.Run &&
                  (at.What == 'F' ? at.At - first < p.Search : p.Tags[y].At == first);
        // Sound where the file's first frames belong is those frames, changed.
        e.MayChange |= y == wires || p.RunSounds(y) < kLongest || p.Tags[y].At != first ||
                       (at.What == 'F' && at.At - first >= p.Search);
        return e;
    }
    if (first + k == n)
        return AfterLast(p, s + k, n, true);
    return AfterDifference(p, s + k, first + k);
}

// The compare's verdict on `wire` against `file`, fed frames cut across reads.
HostWire Verdict(const HostAudio& file, const std::vector<UCHAR>& wire, HostStreamSummary* s)
{
    HostPlayCompare compare(std::make_unique<HostMemorySource>(file), file.BitsPerSample);
    for (size_t at = 0; at < wire.size(); at += 997)
        compare.Feed({wire.data() + at, wire.data() + std::min(at + 997, wire.size())});
    return compare.Result(true, true, false, s);
}

// Plays `from` to `to`, each drawn from its own seed: the exact count of
// verdicts named.
size_t Plays(unsigned from, unsigned to)
{
    size_t exact = 0;
    for (unsigned seed = from; seed < to; ++seed)
    {
        std::mt19937 r(seed);
        const Play p = Draw(r);
        const Expected e = Expect(p);
        HostStreamSummary s;
        const HostWire verdict = Verdict({p.Rate, (USHORT)p.Channels, p.Bits, p.File}, p.Wire, &s);
        SCOPED_TRACE(testing::Message() << "seed " << seed << " of kind " << p.Drawn << ", "
                                        << p.Bits << " bits, " << p.Channels << " channel(s)");
        exact += e.Exact ? 1 : 0;
        const auto named = std::pair(e.Wire, e.Frames);
        EXPECT_EQ(named, e.Exact ? std::pair(verdict, Names(verdict, s)) : named);
        EXPECT_TRUE(!e.Differs || verdict != HostWire::Exact);
        EXPECT_TRUE(e.Exact || e.MayChange || verdict != HostWire::Changed);
    }
    return exact;
}

constexpr unsigned kShardPlays = 1250;
} // namespace

// Ten thousand plays in eight shards, 8 to 24 bits in one to eight channels:
// the verdict names the first fault's kind and frames where the README says
// it does, and never calls a fault unchanged, nor processing where the
// README does not.
class RandomPlaysGetTheVerdictTheirFaultsMake : public testing::TestWithParam<unsigned>
{
};

TEST_P(RandomPlaysGetTheVerdictTheirFaultsMake, Shard)
{
    const unsigned from = 20261209 + GetParam() * kShardPlays;
    EXPECT_GT(Plays(from, from + kShardPlays), kShardPlays / 2)
        << "most plays are within the bounds that name the fault exactly";
}

INSTANTIATE_TEST_SUITE_P(HostPlayCompare, RandomPlaysGetTheVerdictTheirFaultsMake,
                         testing::Range(0u, 8u));

// The longer run, outside CI: LT_PLAY_SEEDS=FROM:TO (by default the 100,000
// seeds from 1), as in
//   LT_PLAY_SEEDS=1:100001 test_sim_host --gtest_also_run_disabled_tests
//     --gtest_filter='*DISABLED_RandomPlaysOfASeedRange'
TEST(HostPlayCompare, DISABLED_RandomPlaysOfASeedRange)
{
    const char* seeds = getenv("LT_PLAY_SEEDS");
    char* to = nullptr;
    const unsigned from = seeds != nullptr ? (unsigned)strtoul(seeds, &to, 10) : 1;
    Plays(from, to != nullptr && *to == ':' ? (unsigned)strtoul(to + 1, nullptr, 10) : 100001);
}

namespace
{
// A sine computed in floating point from phase 0, each sample rounded, its
// second channel the first's negative where drawn: the file, its silence
// before and after, and the frames its samples repeat after (its cycles and
// the rate's frames meeting again), a whole period or many; then `Count`
// frames received twice, the copies put in before file frame `At`.
struct SineRepeat
{
    HostAudio File;
    std::vector<UCHAR> Wire;
    size_t Period, At, Count, End; // End: one past its last frame of sound
};

SineRepeat DrawRepeat(std::mt19937& r)
{
    const ULONG rates[] = {44100, 48000, 96000}, rate = rates[r() % 3];
    const double tones[] = {100, 300, 441, 997, 1000, 1994, 2000, 2205, 3000};
    const double amplitudes[] = {0.5, 0.6, 0.25, 0.9};
    const ULONG hz = (ULONG)tones[r() % 9];
    const double amplitude = amplitudes[r() % 4];
    const USHORT bits = r() % 2 == 0 ? 16 : 24, channels = (USHORT)(1 + r() % 2);
    const bool negated = r() % 2 == 0;
    const size_t period = rate / std::gcd(rate, hz), first = r() % 300,
                 sound = rate / 4 + r() % rate, tail = r() % 3 == 0 ? r() % (rate / 8) : 0;
    const size_t bytes = channels * bits / 8, frames = first + sound + tail;
    const double full = (double)((1 << (bits - 1)) - 1);
    SineRepeat p{{rate, channels, bits, std::vector<UCHAR>(frames * bytes)}, {}, period, 0, 0, 0};
    for (size_t k = 0; k < sound; ++k)
    {
        const int v = (int)std::lround(full * amplitude *
                                       std::sin(2 * M_PI * hz * (double)(k % period) / rate));
        for (USHORT c = 0; c < channels; ++c)
            for (USHORT b = 0; b < bits / 8; ++b)
                p.File.Data[(first + k) * bytes + c * bits / 8 + b] =
                    (UCHAR)((c == 1 && negated ? -v : v) >> (8 * b));
    }
    p.End = first + sound;
    while (p.End > first && !std::any_of(&p.File.Data[(p.End - 1) * bytes],
                                         &p.File.Data[p.End * bytes], [](UCHAR b) { return b; }))
        --p.End;
    // Whole periods now and then, where one is short enough.
    p.Count = period <= 480 && r() % 4 == 0 ? period * (1 + r() % (480 / period)) : 1 + r() % 480;
    p.At = first + p.Count + r() % (sound - p.Count - 2 * (size_t)kLongest);
    const auto frame = [&p, bytes](size_t f)
    { return p.File.Data.begin() + (ptrdiff_t)(f * bytes); };
    p.Wire.assign(frame(0), frame(p.At));
    p.Wire.insert(p.Wire.end(), frame(p.At - p.Count), frame(p.At));
    p.Wire.insert(p.Wire.end(), frame(p.At), frame(frames));
    return p;
}

// What the device received names, worked out from the frames repeated and
// the sine's period alone: the first frame that differs, f0, received
// instead the file's frame f0 - Count, which a sine of period P holds also
// at f0 - m and f0 + P - m (m: Count less whole periods). The nearer names
// it: m frames inserted before f0, received from the wire frame m later;
// or the P - m frames from f0 never received (the later of two as near).
// Whole periods show only at the end: the file's last Count frames again
// after its last sound.
std::pair<HostWire, std::array<ULONGLONG, 5>> ExpectRepeat(const SineRepeat& p)
{
    using enum HostWire;
    const size_t bytes = p.File.FrameBytes(), m = p.Count % p.Period;
    size_t f0 = p.At;
    while (f0 < p.End && !memcmp(&p.Wire[f0 * bytes], &p.File.Data[f0 * bytes], bytes))
        ++f0;
    if (m == 0)
        return {Inserted, {p.End, p.End - p.Count, 720 + p.End, p.Count, 0}};
    if (m < p.Period - m)
        return {Inserted, {f0, f0, 720 + f0 + m, m, 0}};
    return {Lost, {f0, f0 + p.Period - m, 720 + f0, 0, 0}};
}

size_t Repeats(unsigned from, unsigned to)
{
    size_t named = 0;
    for (unsigned seed = from; seed < to; ++seed)
    {
        std::mt19937 r(seed);
        const SineRepeat p = DrawRepeat(r);
        SCOPED_TRACE(testing::Message()
                     << "seed " << seed << ": " << p.File.Rate << " Hz, period " << p.Period << ", "
                     << p.Count << " frame(s) again at " << p.At);
        // After the path's 720 frames of silence, and 2000 more.
        std::vector<UCHAR> wire(720 * p.File.FrameBytes());
        wire.insert(wire.end(), p.Wire.begin(), p.Wire.end());
        wire.resize(wire.size() + 2000 * p.File.FrameBytes());
        HostStreamSummary s;
        const HostWire verdict = Verdict(p.File, wire, &s);
        const auto expected = ExpectRepeat(p);
        EXPECT_EQ(expected, std::pair(verdict, Names(verdict, s)));
        named += expected.first == verdict ? 1 : 0;
    }
    return named;
}
} // namespace

// A thousand sines at 44.1, 48 and 96 kHz, of periods whole and not, each
// with 1 to 480 frames repeated at a random place: the verdict names the
// nearer of the frames inserted and the rest of a period lost, and whole
// periods where they show, at the file's end.
TEST(HostPlayCompare, RandomRepeatsInSinesAreNamedNearest)
{
    EXPECT_EQ(1000u, Repeats(20261210, 20262210));
}
