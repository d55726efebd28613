// Recordings whose frames are lost or repeated between the device and the
// file, as a faulty driver would: whole periods of the microphone's 1 kHz
// sine and whole packets among them, single frames, at the recording's
// start, middle and end, on devices of every speed, width and channel
// count. Each is named where it happened, worked out from what was done;
// clean recordings pass.
#include <gtest/gtest.h>

#include <random>

#include "sim/host/harness/host_stream.h"

namespace
{
struct Device
{
    const char* Name; // a reference device, or a descriptor file of sim/devices/quirks
    ULONG Rate;
    USHORT Channels, Bits;
};

const Device kDevices[] = {
    {"Uac1SpeakerMic", 48000, 1, 16},
    {"Uac1Surround71", 48000, 2, 16},
    {"Uac2HighSpeed", 192000, 2, 16},
    {"ChipModelA", 48000, 1, 16},
    {"TimedChip", 48000, 2, 16},
    {"eight-bit-headset.txt", 48000, 1, 8},
    {"uac2-24-bit-only-headset.txt", 48000, 2, 24},
    {"high-bandwidth-eight-channels.txt", 48000, 8, 32},
};

enum Kind
{
    Clean,
    Lose,
    Repeat
};

// What a verdict names: the device's frames unchanged from its first at
// the file's first (the path adds no silence before them); or, at the file
// frame where the fault shows, how many frames were lost or repeated and
// the device frame the file holds from there.
struct Named
{
    HostWire Wire;
    ULONGLONG At = 0, Count = 0, Resumed = 0;
    bool operator==(const Named&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Named& n)
{
    return out << "verdict " << (int)n.Wire << " at file frame " << n.At << ", " << n.Count
               << " frame(s), wire frame " << n.Resumed;
}

// What the verdict must name: its kind and count as done, at a file frame
// from Earliest to the named one's, where what the file holds is as much
// the device's frames in place as those the fault put there (alike by
// chance: a marked frame and the one whole periods away), the device frame
// it resumes at as far from it as the fault makes.
struct Due
{
    Named Fault;
    ULONGLONG Earliest = 0;
};

bool Holds(const Due& due, const Named& named)
{
    const Named& f = due.Fault;
    return named.Wire == f.Wire && named.Count == f.Count && named.At >= due.Earliest &&
           named.At <= f.At && named.Resumed + f.At == f.Resumed + named.At;
}

// Between the pin and the verdict: the recording's frames with `count`
// lost from its frame `at` on, or its `count` frames before `at` delivered
// again after them.
class Faulty
{
  public:
    Faulty(Kind kind, size_t at, size_t count, size_t frameBytes)
        : m_Kind(kind), m_At(at), m_Count(count), m_Bytes(frameBytes)
    {
    }
    void operator()(ULONGLONG, std::vector<UCHAR>& bytes)
    {
        m_In.insert(m_In.end(), bytes.begin(), bytes.end());
        bytes.clear();
        for (; (m_Frames + 1) * m_Bytes <= m_In.size(); ++m_Frames)
        {
            const auto frame = m_In.begin() + (ptrdiff_t)(m_Frames * m_Bytes);
            if (m_Kind != Lose || m_Frames < m_At || m_Frames >= m_At + m_Count)
                bytes.insert(bytes.end(), frame, frame + (ptrdiff_t)m_Bytes);
            if (m_Kind == Repeat && m_Frames + 1 == m_At)
                bytes.insert(bytes.end(), frame + (ptrdiff_t)m_Bytes * (1 - (ptrdiff_t)m_Count),
                             frame + (ptrdiff_t)m_Bytes);
        }
    }
    // The fault shows from the file frame where it was put, or the first
    // after it whose samples are not those of the device's frame in place
    // (the file's frame j holds the device's j), back to the first before
    // it whose samples are those of the device's frame in place and of the
    // one the fault puts there too.
    Due Expected() const
    {
        if (m_Kind == Clean)
            return {{HostWire::Exact}};
        // The device frame the fault puts at the file's frame j: j + count
        // after a loss, j - count after a repeat.
        const size_t lost = m_Kind == Lose ? m_Count : 0, repeated = m_Kind == Lose ? 0 : m_Count;
        const auto alike = [&](size_t j)
        {
            const size_t put = j + lost - repeated;
            return (std::max(put, j) + 1) * m_Bytes <= m_In.size() &&
                   std::equal(&m_In[put * m_Bytes], &m_In[put * m_Bytes] + m_Bytes,
                              &m_In[j * m_Bytes]);
        };
        size_t j = m_At, earliest = j;
        while (alike(j))
            ++j;
        while (earliest > repeated && alike(earliest - 1))
            --earliest;
        return {
            {m_Kind == Lose ? HostWire::Lost : HostWire::Inserted, j, m_Count, j + lost - repeated},
            earliest};
    }

  private:
    const Kind m_Kind;
    const size_t m_At, m_Count, m_Bytes;
    std::vector<UCHAR> m_In;
    size_t m_Frames = 0;
};

constexpr ULONG kRecordMs = 300;

// Records kRecordMs on the device with the fault put in: what the verdict
// must name, and what it named.
std::pair<Due, Named> Record(const Device& d, Kind kind, size_t at, size_t count)
{
    SCOPED_TRACE(d.Name);
    HostHarness host;
    std::string error;
    EXPECT_EQ(STATUS_SUCCESS, host.LoadDriver());
    const std::string name = d.Name;
    const NTSTATUS plugged =
        name.ends_with(".txt")
            ? host.PlugDescriptorFile(std::string(LT_QUIRKS_DIR) + "/" + name, &error)
            : host.PlugReference(name, &error);
    EXPECT_EQ(STATUS_SUCCESS, plugged) << error;
    EXPECT_EQ(STATUS_SUCCESS, host.AddDevice());
    EXPECT_EQ(STATUS_SUCCESS, host.StartDevice());
    const size_t frameBytes = (size_t)d.Channels * d.Bits / 8;
    HostStreamOptions options;
    Faulty faulty(kind, at, count, frameBytes);
    options.Tap = [&faulty](ULONGLONG before, std::vector<UCHAR>& bytes) { faulty(before, bytes); };
    HostStream stream(host);
    HostAudio recorded;
    HostStreamSummary s;
    EXPECT_EQ(STATUS_SUCCESS, stream.Record(kRecordMs, options, &recorded, &s)) << stream.Error();
    EXPECT_EQ(d.Rate, recorded.Rate);
    EXPECT_EQ(frameBytes, recorded.FrameBytes());
    EXPECT_EQ(d.Rate * kRecordMs / 1000, s.Frames);
    EXPECT_EQ(0u, s.MissingPackets);
    EXPECT_EQ(STATUS_SUCCESS, host.RemoveDevice());
    const Named named = s.Wire == HostWire::Exact
                            ? Named{s.Wire, s.WireAtFileFrame, 0, s.FileAtFrame}
                            : Named{s.Wire, s.ChangedAtFrame, s.InsertedFrames, s.ResumedWireFrame};
    return {faulty.Expected(), named};
}
} // namespace

// Whole periods of the sine (a 1 ms packet at 48 kHz, 192 frames at 192
// kHz: were its frames not marked, no sample of the file would tell them
// from a clean recording's), single frames and long losses, lost or
// repeated at the first frames, in the middle and near the end of the
// recording (16 frames before it at the nearest: one more and too few
// frames follow to place it, which fails as other samples); and every
// device's clean recording.
TEST(HostRecordFaults, EveryLossOrRepeatIsNamedWhereItHappened)
{
    const Device &mic = kDevices[0], &surround = kDevices[1], &high = kDevices[2],
                 &chip = kDevices[3], &timed = kDevices[4], &eight = kDevices[5],
                 &wide = kDevices[6], &many = kDevices[7];
    const struct
    {
        const Device& On;
        Kind What;
        size_t At, Count;
    } rows[] = {
        {mic, Lose, 7000, 48},     {mic, Repeat, 7000, 48},    {mic, Lose, 0, 48},
        {mic, Repeat, 48, 48},     {mic, Lose, 14300, 48},     {mic, Repeat, 14350, 48},
        {mic, Lose, 7001, 1},      {mic, Repeat, 7001, 1},     {mic, Lose, 0, 1},
        {mic, Repeat, 1, 1},       {mic, Lose, 14383, 1},      {mic, Repeat, 14385, 1},
        {mic, Lose, 5000, 480},    {mic, Repeat, 5000, 480},   {high, Repeat, 30000, 384},
        {high, Lose, 30000, 384},  {high, Lose, 0, 24},        {high, Repeat, 57500, 192},
        {high, Lose, 57000, 1},    {surround, Lose, 9600, 96}, {surround, Repeat, 9600, 1},
        {chip, Lose, 7000, 48},    {chip, Repeat, 48, 48},     {timed, Repeat, 7000, 48},
        {timed, Lose, 7000, 1},    {eight, Lose, 7000, 48},    {eight, Repeat, 7000, 1},
        {wide, Repeat, 14300, 48}, {wide, Lose, 0, 48},        {many, Lose, 7000, 48},
        {many, Repeat, 7000, 96},  {mic, Lose, 4000, 9000},    {high, Lose, 20000, 30000},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(testing::Message()
                     << (row.What == Lose ? "lose " : "repeat ") << row.Count << " at " << row.At);
        const auto [due, named] = Record(row.On, row.What, row.At, row.Count);
        EXPECT_TRUE(Holds(due, named))
            << named << "; due " << due.Fault << " from file frame " << due.Earliest;
        // Where the fault was put, or a frame or two from it by chance.
        EXPECT_LE(named.At - row.At + 2, 4u) << named;
    }
    const Named tooNear = Record(mic, Lose, 14384, 1).second;
    EXPECT_EQ(HostWire::Broken, tooNear.Wire);
    EXPECT_EQ(14384u, tooNear.At);
    for (const Device& d : kDevices)
        EXPECT_EQ(Named{HostWire::Exact}, Record(d, Clean, 0, 0).second);
}

// Recordings drawn at random, each from a seed of its own: a device, a
// loss or a repeat, of whole periods of the sine, of any length up to ten
// packets or up to a hundred, anywhere a run of the device's frames follows
// it in the file.
TEST(HostRecordFaults, RandomLossesAndRepeatsAreNamedWhereTheyHappened)
{
    for (unsigned seed = 1; seed <= 200; ++seed)
    {
        std::mt19937 r(seed);
        const Device& d = kDevices[r() % std::size(kDevices)];
        const size_t period = d.Rate / 1000, frames = d.Rate * kRecordMs / 1000;
        const Kind kind = r() % 2 ? Lose : Repeat;
        const size_t count = std::vector<size_t>{period * (1 + r() % 10), 1 + r() % (10 * period),
                                                 1 + r() % (100 * period)}[r() % 3];
        // A repeat follows the frames it repeats, and 64 frames of the
        // file the fault (a loss leaves `count` fewer).
        const size_t last = frames - 64 - (kind == Lose ? count : 0);
        const size_t first = kind == Repeat ? count : 0;
        // One in four at the first frames it may be at, one in four near the end.
        const size_t at =
            std::vector<size_t>{first + r() % 4, last - r() % 64, first + r() % (last - first),
                                first + r() % (last - first)}[r() % 4];
        SCOPED_TRACE(testing::Message()
                     << "seed " << seed << ", " << d.Name << ": "
                     << (kind == Lose ? "lose " : "repeat ") << count << " at " << at);
        const auto [due, named] = Record(d, kind, at, count);
        EXPECT_TRUE(Holds(due, named))
            << named << "; due " << due.Fault << " from file frame " << due.Earliest;
    }
}
