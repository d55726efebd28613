// A recording against what the device sent, frame by frame: the recording's
// silence before the device's first frame is the path's, levels change
// samples but keep every frame, and silence where the device sent sound, a
// frame inserted or lost, or one the device never sent make the recording
// not the device's. Mono 16-bit frames, fed a step at a time as a run does.
#include <gtest/gtest.h>

#include "sim/host/harness/host_wire_compare.h"

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

Frames Slice(const Frames& f, size_t from, size_t to)
{
    return Frames(f.begin() + (ptrdiff_t)from, f.begin() + (ptrdiff_t)to);
}

// Halves each sample from `from` on: the driver's levels.
Frames Halved(Frames f, size_t from)
{
    for (size_t k = from; k < f.size(); ++k)
        f[k] = (SHORT)(f[k] / 2);
    return f;
}

constexpr ULONGLONG kLag = 100;

// Feeds the recording 16 frames at a time, one byte at a time (a frame may
// arrive in two reads), each step after the device's frames up to 48 frames
// past it: the recording trails the device, as it does on a run.
HostWire Compare(const Frames& wire, const Frames& file, bool gaps, HostStreamSummary* summary)
{
    HostRecordCompare compare(2, 0x00, kLag);
    const auto bytes = [](const Frames& f, size_t at)
    { return reinterpret_cast<const UCHAR*>(&f[at]); };
    size_t sent = 0;
    for (size_t at = 0; at < file.size(); at += 16)
    {
        const size_t upTo = std::min(wire.size(), at + 16 + 48);
        if (upTo > sent)
            compare.Wire(bytes(wire, sent), 2 * (upTo - sent));
        sent = std::max(sent, upTo);
        for (size_t i = 2 * at; i < 2 * std::min(file.size(), at + 16); ++i)
            compare.File(bytes(file, 0) + i, 1);
    }
    return compare.Result(true, true, gaps, summary);
}
} // namespace

TEST(HostRecordCompare, EachRecordingGetsItsVerdict)
{
    const Frames sent = Device(2000);
    const struct
    {
        const char* Name;
        Frames Wire, File;
        bool Gaps; // packets were late or missing
        HostWire Verdict;
        // Changed, Broken: the first file frame that differs; Exact: the
        // file frame of the device's first it holds, and that device frame.
        ULONGLONG Frame, Start;
    } rows[] = {
        // The device's first frame (silent) comes after five of the path's.
        {"the device's", sent, Join({Silence(5), Slice(sent, 0, 1900)}), false, HostWire::Exact, 5,
         0},
        {"the device's from its 30th", sent, Join({Silence(7), Slice(sent, 30, 900)}), false,
         HostWire::Exact, 7, 30},
        // The driver takes the packets that came: the recording is the device's.
        {"packets lost", sent, sent, true, HostWire::Exact, 0, 0},
        {"levels from a frame", sent, Join({Silence(5), Halved(Slice(sent, 0, 1900), 300)}), false,
         HostWire::Changed, 305, 0},
        {"levels from the start", sent, Join({Silence(5), Halved(Slice(sent, 0, 1900), 0)}), false,
         HostWire::Changed, 6, 0},
        {"other samples and packets lost", sent, Halved(sent, 200), true, HostWire::Broken, 200, 0},
        {"silence inserted", sent, Join({Slice(sent, 0, 500), Silence(1), Slice(sent, 500, 1900)}),
         false, HostWire::Broken, 500, 0},
        {"a frame lost", sent, Join({Slice(sent, 0, 500), Slice(sent, 501, 1900)}), false,
         HostWire::Broken, 500, 0},
        {"a frame repeated", sent, Join({Slice(sent, 0, 501), Slice(sent, 500, 1900)}), false,
         HostWire::Broken, 501, 0},
        {"silence where it sent sound", sent, Silence(1900), false, HostWire::Partial, 0, 0},
        {"frames the device never sent", {}, Silence(1900), false, HostWire::Partial, 0, 0},
        {"the device's, then silence", sent, Join({Slice(sent, 0, 1000), Silence(900)}), false,
         HostWire::Broken, 1000, 0},
        {"silence before the device's sound reached it", sent, Silence(48), false, HostWire::Silent,
         0, 0},
        {"frames past the device's last", sent, Join({sent, Slice(sent, 1, 3)}), false,
         HostWire::Broken, 2000, 0},
        {"sound the device never sent", Silence(1000), Join({Silence(10), Slice(sent, 1, 50)}),
         false, HostWire::Broken, 10, 0},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Name);
        HostStreamSummary summary;
        EXPECT_EQ(row.Verdict, Compare(row.Wire, row.File, row.Gaps, &summary));
        const bool exact = row.Verdict == HostWire::Exact;
        if (row.Verdict != HostWire::Silent)
        {
            EXPECT_EQ(row.Frame, exact ? summary.WireAtFileFrame : summary.ChangedAtFrame);
            EXPECT_EQ(row.Start, exact ? summary.FileAtFrame : 0);
        }
    }
    // A recording that trails the device by more than kLag frames has lost
    // them, from the frame it holds then.
    HostRecordCompare compare(2, 0x00, kLag);
    const auto bytes = [&sent](size_t at) { return reinterpret_cast<const UCHAR*>(&sent[at]); };
    compare.Wire(bytes(0), 2 * 50);
    compare.File(bytes(0), 2 * 50);
    compare.Wire(bytes(50), 2 * 150);
    HostStreamSummary summary;
    EXPECT_EQ(HostWire::Broken, compare.Result(true, true, false, &summary));
    EXPECT_EQ(50u, summary.ChangedAtFrame);
}
