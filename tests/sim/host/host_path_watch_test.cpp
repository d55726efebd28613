// A play and a recording through the software mutes of a path of terminals,
// on while the run starts (or turned on mid-stream) and turned off mid-stream:
// frames the driver took before the change are the mute's, and a frame it took
// after the change is held to the file's (the device's) own, however soon
// after the change it reaches the device (the file). The device's capture
// engine is its second: a recording names its own path's mute, not the
// render path's.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/clients/audio_engine_client.h"
#include "sim/host/harness/host_asio_compare.h"
#include "sim/host/harness/host_stream.h"
#include "tests/sim/host/device_start.h"

namespace
{
constexpr char kTerminals[] = "uac2-32-bit-terminals-only-headset.txt";

void Start(HostHarness& host)
{
    ASSERT_NO_FATAL_FAILURE(StartHostDevice(host, kTerminals));
}

void Mute(HostHarness& host, ULONG mute);

enum class Fault
{
    None,
    Flip,
    Blank,
    Lose,
    Repeat
};

// Between the stream and the verdict, whole frames of `Bytes` at a time:
// the mute turned on as frame `OnAt` (of those the verdict takes) comes, and
// off as `OffAt` does; `Sound`, the first frame of sound after that, and
// `Silent`, the first of the silence right before it; from `Sound` + `After`
// on, `Count` frames (one at least) with a bit flipped, blanked, lost or
// repeated.
struct MuteTap
{
    void operator()(ULONGLONG, std::vector<UCHAR>& bytes)
    {
        In.insert(In.end(), bytes.begin(), bytes.end());
        bytes.clear();
        for (size_t used = 0; used + Bytes <= In.size(); used += Bytes, ++Frames)
        {
            std::vector<UCHAR> frame(In.begin() + (ptrdiff_t)used,
                                     In.begin() + (ptrdiff_t)(used + Bytes));
            if (Frames == OnAt || Frames == OffAt)
                Mute(*Host, Frames == OnAt ? 1 : 0);
            const bool sound = std::any_of(frame.begin(), frame.end(), [](UCHAR b) { return b; });
            if (Frames >= OffAt && Sound == ~0ull && sound)
                Sound = Frames, Silent = Quiet;
            Quiet = sound ? ~0ull : std::min(Quiet, Frames);
            const bool at =
                Sound != ~0ull && Frames - Sound - After < std::max<ULONGLONG>(Count, 1);
            frame[1] ^= at && What == Fault::Flip ? 0x01 : 0x00;
            if (at && What == Fault::Blank)
                std::fill(frame.begin(), frame.end(), 0);
            for (int n = !at                     ? 1
                         : What == Fault::Lose   ? 0
                         : What == Fault::Repeat ? 2
                                                 : 1;
                 n > 0; --n)
                bytes.insert(bytes.end(), frame.begin(), frame.end());
        }
        In.erase(In.begin(), In.end() - (ptrdiff_t)(In.size() % Bytes));
    }

    HostHarness* Host;
    size_t Bytes;
    ULONGLONG OnAt, OffAt;
    Fault What;
    ULONGLONG After, Count;
    ULONGLONG Sound = ~0ull, Silent = ~0ull, Quiet = ~0ull, Frames = 0;
    std::vector<UCHAR> In = {};
};

// Sets every mute of the topology.
void Mute(HostHarness& host, ULONG mute)
{
    AudioEngineClient client(host.Fdo());
    PFILE_OBJECT topology = nullptr;
    std::vector<GUID> types;
    ASSERT_EQ(STATUS_SUCCESS, client.OpenFilter(u"GlobalTopo", &topology));
    ASSERT_EQ(STATUS_SUCCESS, client.GetNodeTypes(topology, &types));
    for (ULONG node = 0; node < types.size(); ++node)
    {
        if (IsEqualGUID(types[node], KSNODETYPE_MUTE))
        {
            ASSERT_EQ(STATUS_SUCCESS, client.SetNodeValue(topology, node, KSPROPSETID_Audio,
                                                          KSPROPERTY_AUDIO_MUTE, 0, &mute, 4));
        }
    }
}
} // namespace

// A play muted as it starts (or as the device receives file frame 10,800)
// and unmuted as the device receives file frame 12,000, within the file's
// sound (from frame 9,600), or 8,640, 20 ms before it; a recording muted
// from its frame 2,400 to 7,200, or from its start to its first frame:
// the silence in place of the frames the driver took before the mute went
// off, reaching the device (the file) after it, is the mute's, the file's
// (the device's) frames then in place. A fault in a frame the driver took
// after it fails, named at its own frame (from that of the first sound
// after the mute on).
TEST(HostPathWatch, FramesTakenBeforeTheMuteWentOffAreProcessing)
{
    constexpr ULONG kFrame = 8, kLead = 720, kSound = 9600;
    HostAudio file{48000, 2, 32, std::vector<UCHAR>(2 * kSound * kFrame)};
    for (ULONG k = kSound; k < 2 * kSound; ++k)
        AsioClientFrame(k, kFrame, &file.Data[(size_t)k * kFrame]);
    using enum HostWire;
    using enum Fault;
    const struct
    {
        bool Play;
        ULONGLONG OnAt, OffAt; // a play's file frames; OnAt ~0: muted from the start
        Fault What;
        ULONGLONG After, Count;
        HostWire Verdict;
        LONGLONG Frame; // from the first sound after the mute; where its silence began, if below
    } rows[] = {
        {true, ~0ull, 12000, None, 0, 0, Changed, -1},
        {true, ~0ull, 12000, Flip, 1, 0, Other, 1},
        {true, ~0ull, 12000, Flip, 480, 0, Other, 480},
        {true, ~0ull, 12000, Blank, 480, 48, Blanked, 480},
        {true, ~0ull, 12000, Lose, 480, 1, Lost, 480},
        {true, ~0ull, 12000, Repeat, 480, 1, Inserted, 481},
        {true, ~0ull, 12000, Blank, 0, 24, LostStart, -1},
        {true, ~0ull, 8640, Flip, 1, 0, Other, 1},
        {true, ~0ull, 8640, Flip, 480, 0, Other, 480},
        {true, 10800, 12000, None, 0, 0, Changed, -1},
        {true, 10800, 12000, Flip, 1, 0, Other, 1},
        {true, 10800, 12000, Blank, 480, 48, Blanked, 480},
        {false, 2400, 7200, None, 0, 0, Changed, -1},
        {false, 2400, 7200, Flip, 0, 0, Broken, 0},
        {false, 2400, 7200, Flip, 240, 0, Broken, 240},
        {false, 2400, 7200, Blank, 240, 1, Broken, 240},
        {false, 2400, 7200, Lose, 240, 1, Broken, 240},
        {false, 2400, 7200, Repeat, 240, 1, Broken, 241},
        {false, ~0ull, 0, Flip, 0, 0, Broken, 0},
        {false, ~0ull, 0, Flip, 240, 0, Broken, 240},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(testing::Message()
                     << row.Play << " " << row.OnAt << " " << (int)row.What << " at " << row.After);
        HostHarness host;
        ASSERT_NO_FATAL_FAILURE(Start(host));
        Mute(host, row.OnAt == ~0ull ? 1 : 0);
        // The device's frames (32-bit stereo) on a play count its lead-in.
        const ULONGLONG lead = row.Play ? kLead : 0, first = row.Play ? kSound : 0;
        MuteTap tap{&host,
                    kFrame,
                    row.OnAt + (row.OnAt == ~0ull ? 0 : lead),
                    lead + row.OffAt,
                    row.What,
                    row.After,
                    row.Count};
        HostStreamOptions options;
        options.Tap = std::ref(tap);
        HostStream stream(host);
        HostAudio audio;
        HostStreamSummary s;
        ASSERT_EQ(STATUS_SUCCESS, row.Play ? stream.Play(file, options, &audio, &s)
                                           : stream.Record(300, options, &audio, &s));
        ASSERT_NE(~0ull, tap.Sound);
        EXPECT_EQ(row.Verdict, s.Wire);
        const ULONGLONG silent = std::max(tap.Silent, lead + first) - lead;
        EXPECT_EQ(row.Frame < 0 ? silent : tap.Sound - lead + row.Frame, s.ChangedAtFrame);
        EXPECT_EQ(row.Play ? "mute on control 5" : "mute on control 6", s.Processing);
    }
}
