// Recordings whose frames a faulty driver loses or repeats, on devices of
// every speed, width and channel count: each fault is named where it
// happened, worked out from what was done; clean recordings pass.
#include <gtest/gtest.h>

#include <random>

#include "sim/host/harness/host_stream.h"
#include "tests/sim/host/device_start.h"

namespace
{
struct Device
{
    const char* Name; // a reference device, or a descriptor file of sim/devices/quirks
    ULONG Rate;
    size_t FrameBytes;
};

const Device kDevices[] = {{"Uac1SpeakerMic", 48000, 2},
                           {"Uac2HighSpeed", 192000, 4},
                           {"Uac1Surround71", 48000, 4},
                           {"ChipModelA", 48000, 2},
                           {"TimedChip", 48000, 4},
                           {"eight-bit-headset.txt", 48000, 1},
                           {"uac2-24-bit-only-headset.txt", 48000, 6},
                           {"high-bandwidth-eight-channels.txt", 48000, 32}};
const Device &kMic = kDevices[0], &kHigh = kDevices[1];
constexpr ULONG kRecordMs = 300;

// Between the pin and the verdict: the recording's frames with `count`
// lost from its frame `at` on, or (`count` negative) its frames before
// `at` delivered again after them.
struct Faulty
{
    void operator()(ULONGLONG, std::vector<UCHAR>& bytes)
    {
        In.insert(In.end(), bytes.begin(), bytes.end());
        bytes.clear();
        for (; (size_t)(Frames + 1) * Bytes <= In.size(); ++Frames)
        {
            const auto frame = In.begin() + (ptrdiff_t)(Frames * Bytes);
            if (Count < 0 || Frames < At || Frames >= At + Count)
                bytes.insert(bytes.end(), frame, frame + (ptrdiff_t)Bytes);
            if (Count < 0 && Frames + 1 == At)
                bytes.insert(bytes.end(), frame + (ptrdiff_t)Bytes * (1 + Count),
                             frame + (ptrdiff_t)Bytes);
        }
    }
    // Whether the device's frame j and j + count (put there) are alike.
    bool Alike(LONGLONG j) const
    {
        const size_t put = (size_t)(j + Count);
        return (std::max(put, (size_t)j) + 1) * Bytes <= In.size() &&
               std::equal(&In[put * Bytes], &In[put * Bytes] + Bytes, &In[j * Bytes]);
    }
    // The verdict names the fault's kind and length at a file frame from
    // where it was put, on or back over frames alike by chance, and the
    // device's frame it resumes at, `count` from it.
    void ExpectNamed(const HostStreamSummary& s) const
    {
        LONGLONG last = At, first = At;
        while (Alike(last))
            ++last;
        while (first > std::max(-Count, (LONGLONG)0) && Alike(first - 1))
            --first;
        EXPECT_EQ(Count > 0 ? HostWire::Lost : HostWire::Inserted, s.Wire);
        EXPECT_EQ((ULONGLONG)std::abs(Count), s.InsertedFrames);
        EXPECT_GE(s.ChangedAtFrame, (ULONGLONG)first);
        EXPECT_LE(s.ChangedAtFrame, (ULONGLONG)last);
        EXPECT_EQ(s.ChangedAtFrame + Count, s.ResumedWireFrame);
    }

    LONGLONG At, Count;
    size_t Bytes;
    std::vector<UCHAR> In = {};
    LONGLONG Frames = 0;
};

// Records kRecordMs on the device with the fault put in.
HostStreamSummary Record(const Device& d, Faulty* fault)
{
    SCOPED_TRACE(d.Name);
    HostHarness host;
    StartHostDevice(host, d.Name);
    HostStreamOptions options;
    options.Tap = [fault](ULONGLONG before, std::vector<UCHAR>& bytes) { (*fault)(before, bytes); };
    HostStream stream(host);
    HostAudio recorded;
    HostStreamSummary s;
    EXPECT_EQ(STATUS_SUCCESS, stream.Record(kRecordMs, options, &recorded, &s)) << stream.Error();
    EXPECT_EQ(d.Rate, recorded.Rate);
    EXPECT_EQ(d.FrameBytes, recorded.FrameBytes());
    EXPECT_EQ(d.Rate * kRecordMs / 1000, s.Frames);
    EXPECT_EQ(0u, s.MissingPackets);
    EXPECT_EQ(STATUS_SUCCESS, host.RemoveDevice());
    return s;
}
} // namespace

// Whole periods of the sine (a 1 ms packet at 48 kHz, 192 frames at 192
// kHz), single frames and long losses, lost (count above 0) or repeated,
// at the start, middle and end (16 frames before it; one more is too few
// to place, and fails as other samples); clean recordings.
TEST(HostRecordFaults, EveryLossOrRepeatIsNamedWhereItHappened)
{
    const Device &surround = kDevices[2], &chip = kDevices[3], &timed = kDevices[4],
                 &eight = kDevices[5], &wide = kDevices[6], &many = kDevices[7];
    const struct
    {
        const Device& On;
        LONGLONG At, Count;
    } rows[] = {
        {kMic, 7000, 48},      {kMic, 7000, -48},    {kMic, 0, 48},        {kMic, 48, -48},
        {kMic, 14300, 48},     {kMic, 14350, -48},   {kMic, 7001, 1},      {kMic, 7001, -1},
        {kMic, 0, 1},          {kMic, 1, -1},        {kMic, 14383, 1},     {kMic, 14385, -1},
        {kMic, 5000, 480},     {kMic, 5000, -480},   {kMic, 4000, 9000},   {kHigh, 30000, -384},
        {kHigh, 30000, 384},   {kHigh, 0, 24},       {kHigh, 57500, -192}, {kHigh, 57000, 1},
        {kHigh, 20000, 30000}, {surround, 9600, 96}, {surround, 9600, -1}, {chip, 7000, 48},
        {chip, 48, -48},       {timed, 7000, -48},   {timed, 7000, 1},     {eight, 7000, 48},
        {eight, 7000, -1},     {wide, 14300, -48},   {wide, 0, 48},        {many, 7000, 48},
        {many, 7000, -96},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(testing::Message() << row.Count << " at " << row.At);
        Faulty fault{row.At, row.Count, row.On.FrameBytes};
        const HostStreamSummary s = Record(row.On, &fault);
        fault.ExpectNamed(s);
        // Where the fault was put, or a frame or two from it by chance.
        EXPECT_LE(s.ChangedAtFrame - row.At + 2, 4u);
    }
    Faulty tooNear{14384, 1, 2};
    const HostStreamSummary s = Record(kMic, &tooNear);
    EXPECT_EQ(HostWire::Broken, s.Wire);
    EXPECT_EQ(14384u, s.ChangedAtFrame);
    for (const Device& d : kDevices)
    {
        Faulty clean{0, 0, d.FrameBytes};
        const HostStreamSummary c = Record(d, &clean);
        EXPECT_EQ(std::tuple(HostWire::Exact, 0ull, 0ull),
                  std::tuple(c.Wire, c.FileAtFrame, c.WireAtFileFrame));
    }
}

// Recordings drawn at random, each from a seed of its own: a device, a
// loss or a repeat, of whole periods of the sine, of any length up to ten
// packets or up to a hundred, at the first frames it may be at, near the
// end or anywhere between, with 64 frames of the file after it.
TEST(HostRecordFaults, RandomLossesAndRepeatsAreNamedWhereTheyHappened)
{
    for (unsigned seed = 1; seed <= 200; ++seed)
    {
        std::mt19937 random(seed);
        const auto r = [&random](LONGLONG below) { return (LONGLONG)(random() % below); };
        const Device& d = kDevices[r(std::size(kDevices))];
        const LONGLONG period = d.Rate / 1000, frames = d.Rate * kRecordMs / 1000;
        const LONGLONG count =
            std::vector{period * (1 + r(10)), 1 + r(10 * period), 1 + r(100 * period)}[r(3)] *
            (r(2) ? 1 : -1);
        // A repeat follows the frames it repeats; a loss leaves `count` fewer.
        const LONGLONG first = std::max(-count, (LONGLONG)0),
                       last = frames - 64 - std::max(count, (LONGLONG)0);
        const LONGLONG at = std::vector{first + r(4), last - r(64), first + r(last - first),
                                        first + r(last - first)}[r(4)];
        SCOPED_TRACE(testing::Message()
                     << "seed " << seed << ", " << d.Name << ": " << count << " at " << at);
        Faulty fault{at, count, d.FrameBytes};
        fault.ExpectNamed(Record(d, &fault));
    }
}
