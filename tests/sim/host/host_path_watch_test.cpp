// A play and a recording through the software mutes of a path of terminals,
// on while the run starts and turned off mid-stream: a frame the driver took
// after the change is held to the file's (the device's) own, however soon
// after the change it reaches the device (the file). The device's capture
// engine is its second: a recording names its own path's mute, not the
// render path's.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/clients/audio_engine_client.h"
#include "sim/host/harness/host_asio_compare.h"
#include "sim/host/harness/host_stream.h"

namespace
{
constexpr char kTerminals[] = "uac2-32-bit-terminals-only-headset.txt";

void Start(HostHarness& host)
{
    std::string error;
    ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
    ASSERT_EQ(STATUS_SUCCESS,
              host.PlugDescriptorFile(std::string(LT_QUIRKS_DIR) + "/" + kTerminals, &error))
        << error;
    ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
    ASSERT_EQ(STATUS_SUCCESS, host.StartDevice());
}

void Mute(HostHarness& host, ULONG mute);

// Between the stream and the verdict, whole frames of `Bytes` at a time:
// Mute(0) once frame `OffAt` (of those the verdict takes) comes, Mute(1)
// once `OnAt` does; the first frame of sound after the mute went off,
// `Sound`, and the first of the silence right before it, `Silent`; and at `Sound` + `After`,
// `Count` frames blanked, lost or repeated (Count 0: a bit flipped).
enum class Fault
{
    None,
    Flip,
    Blank,
    Lose,
    Repeat,
};

struct MuteTap
{
    void operator()(std::vector<UCHAR>& bytes)
    {
        In.insert(In.end(), bytes.begin(), bytes.end());
        bytes.clear();
        for (size_t used = 0; used + Bytes <= In.size(); used += Bytes, ++Frames)
        {
            std::vector<UCHAR> frame(In.begin() + (ptrdiff_t)used,
                                     In.begin() + (ptrdiff_t)(used + Bytes));
            if (Frames == OnAt)
                Mute(*Host, 1);
            if (Frames == OffAt)
                Mute(*Host, 0);
            const bool sound = std::any_of(frame.begin(), frame.end(), [](UCHAR b) { return b; });
            if (Frames >= OffAt && Sound == ~0ull && sound)
            {
                Sound = Frames;
                Silent = Quiet;
            }
            Quiet = sound ? ~0ull : std::min(Quiet, Frames);
            const bool at = Sound != ~0ull && Frames >= Sound + After &&
                            Frames < Sound + After + std::max<ULONGLONG>(Count, 1);
            frame[1] ^= at && What == Fault::Flip ? 0x01 : 0x00;
            if (at && What == Fault::Blank)
                std::fill(frame.begin(), frame.end(), 0);
            if (!at || What != Fault::Lose)
                bytes.insert(bytes.end(), frame.begin(), frame.end());
            if (at && What == Fault::Repeat)
                bytes.insert(bytes.end(), frame.begin(), frame.end());
        }
        In.erase(In.begin(), In.end() - (ptrdiff_t)(In.size() % Bytes));
    }

    HostHarness* Host;
    size_t Bytes;
    ULONGLONG OnAt, OffAt;
    Fault What = Fault::None;
    ULONGLONG After = 0, Count = 0;
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

// 32-bit stereo: 200 ms of silence, then frames that never repeat. The
// mute goes off as the device receives file frame 8640, 20 ms before the
// sound; the sound's second frame, or one 10 ms on, has a bit flipped on
// the wire: no level makes that.
TEST(HostPathWatch, AFaultAfterTheMuteWentOffFailsAPlay)
{
    constexpr ULONG kFrame = 8, kLead = 720, kSound = 9600;
    HostAudio file{48000, 2, 32, std::vector<UCHAR>(2 * kSound * kFrame)};
    for (ULONG k = kSound; k < 2 * kSound; ++k)
        AsioClientFrame(k, kFrame, &file.Data[(size_t)k * kFrame]);
    for (const ULONGLONG fault : {kSound + 1, kSound + 480})
    {
        SCOPED_TRACE(fault);
        HostHarness host;
        Start(host);
        Mute(host, 1);
        HostStreamOptions options;
        bool unmuted = false;
        options.Tap = [&](ULONGLONG before, std::vector<UCHAR>& bytes)
        {
            if (!unmuted && before >= (kLead + kSound - 960) * kFrame)
            {
                Mute(host, 0);
                unmuted = true;
            }
            const ULONGLONG at = (kLead + fault) * kFrame + 1;
            if (at >= before && at < before + bytes.size())
                bytes[at - before] ^= 0x01;
        };
        HostStream stream(host);
        HostAudio received;
        HostStreamSummary summary;
        ASSERT_EQ(STATUS_SUCCESS, stream.Play(file, options, &received, &summary));
        ASSERT_TRUE(unmuted);
        EXPECT_EQ(HostWire::Other, summary.Wire);
        EXPECT_EQ(fault, summary.ChangedAtFrame);
        EXPECT_EQ("mute on control 5", summary.Processing);
    }
}

// The mute on as the recording starts and off as its first frames come:
// the first frame of sound the driver delivered after that, or one 5 ms
// on, has a bit flipped.
TEST(HostPathWatch, AFaultAfterTheMuteWentOffFailsARecording)
{
    for (const ULONGLONG after : {0u, 240u})
    {
        SCOPED_TRACE(after);
        HostHarness host;
        Start(host);
        Mute(host, 1);
        HostStreamOptions options;
        // The driver records the device's 32-bit stereo.
        const ULONGLONG frameBytes = 8;
        ULONGLONG sound = ~0ull;
        options.Tap = [&](ULONGLONG before, std::vector<UCHAR>& bytes)
        {
            if (before == 0)
                Mute(host, 0);
            for (size_t at = 0; sound == ~0ull && at + frameBytes <= bytes.size(); at += frameBytes)
                if (std::any_of(&bytes[at], &bytes[at] + frameBytes, [](UCHAR b) { return b; }))
                    sound = (before + at) / frameBytes;
            const ULONGLONG flip = (sound + after) * frameBytes + 2;
            if (sound != ~0ull && flip >= before && flip < before + bytes.size())
                bytes[flip - before] ^= 0x01;
        };
        HostStream stream(host);
        HostAudio recorded;
        HostStreamSummary summary;
        ASSERT_EQ(STATUS_SUCCESS, stream.Record(300, options, &recorded, &summary));
        ASSERT_EQ(8u, recorded.FrameBytes());
        ASSERT_NE(~0ull, sound);
        EXPECT_EQ(HostWire::Broken, summary.Wire);
        EXPECT_EQ(sound + after, summary.ChangedAtFrame);
        EXPECT_EQ("mute on control 6", summary.Processing);
    }
}

// The mute on as the play starts (or as the device receives file frame
// 10,800) and off as it receives file frame 12,000, within the file's sound
// (from frame 9,600): the silence the
// device received in place of the frames the driver took before is the
// mute's, and the file's frames after it come in place. A fault in a frame
// the driver took after the mute went off fails, named at its own frame
// (that of the device's first sound after it, and on).
TEST(HostPathWatch, FramesMutedBeforeTheMuteWentOffAreProcessingInAPlay)
{
    constexpr ULONG kFrame = 8, kLead = 720, kSound = 9600;
    HostAudio file{48000, 2, 32, std::vector<UCHAR>(2 * kSound * kFrame)};
    for (ULONG k = kSound; k < 2 * kSound; ++k)
        AsioClientFrame(k, kFrame, &file.Data[(size_t)k * kFrame]);
    using enum HostWire;
    const struct
    {
        Fault What;
        ULONGLONG After, Count;
        HostWire Verdict;
        LONGLONG Frame; // from the first sound after the mute; where its silence began, if below
        bool Midway = false; // the mute on from file frame 10,800, not from the start
    } rows[] = {
        {Fault::None, 0, 0, Changed, -1},     {Fault::Flip, 1, 0, Other, 1},
        {Fault::Flip, 480, 0, Other, 480},    {Fault::Blank, 480, 48, Blanked, 480},
        {Fault::Lose, 480, 1, Lost, 480},     {Fault::Repeat, 480, 1, Inserted, 481},
        {Fault::Blank, 0, 24, LostStart, -1}, {Fault::None, 0, 0, Changed, -1, true},
        {Fault::Flip, 1, 0, Other, 1, true},  {Fault::Blank, 480, 48, Blanked, 480, true},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(testing::Message()
                     << (int)row.What << " at " << row.After << " " << row.Midway);
        HostHarness host;
        Start(host);
        Mute(host, row.Midway ? 0 : 1);
        MuteTap tap{&host,         kFrame,   row.Midway ? kLead + 10800 : ~0ull,
                    kLead + 12000, row.What, row.After,
                    row.Count};
        HostStreamOptions options;
        options.Tap = [&tap](ULONGLONG, std::vector<UCHAR>& bytes) { tap(bytes); };
        HostStream stream(host);
        HostAudio received;
        HostStreamSummary summary;
        ASSERT_EQ(STATUS_SUCCESS, stream.Play(file, options, &received, &summary));
        ASSERT_NE(~0ull, tap.Sound);
        EXPECT_EQ(row.Verdict, summary.Wire);
        const ULONGLONG silent = row.Midway ? tap.Silent - kLead : kSound;
        EXPECT_EQ(row.Frame < 0 ? silent : tap.Sound - kLead + row.Frame, summary.ChangedAtFrame);
        EXPECT_EQ("mute on control 5", summary.Processing);
    }
}

// The mute turned on 50 ms into the recording and off 100 ms later: the
// silence the driver delivered in place of the device's sound while it was
// on is the device's frames, changed; a fault in a frame it delivered after
// the mute went off fails there.
TEST(HostPathWatch, FramesMutedBeforeTheMuteWentOffAreProcessingInARecording)
{
    using enum HostWire;
    const struct
    {
        Fault What;
        ULONGLONG After, Count;
        HostWire Verdict;
        LONGLONG Frame; // from the first sound after the mute; its silence, if below
    } rows[] = {
        {Fault::None, 0, 0, Changed, -1},   {Fault::Flip, 0, 0, Broken, 0},
        {Fault::Flip, 240, 0, Broken, 240}, {Fault::Blank, 240, 1, Broken, 240},
        {Fault::Lose, 240, 1, Broken, 240}, {Fault::Repeat, 240, 1, Broken, 241},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(testing::Message() << (int)row.What << " at " << row.After);
        HostHarness host;
        Start(host);
        // The driver records the device's 32-bit stereo.
        MuteTap tap{&host, 8, 2400, 7200, row.What, row.After, row.Count};
        HostStreamOptions options;
        options.Tap = [&tap](ULONGLONG, std::vector<UCHAR>& bytes) { tap(bytes); };
        HostStream stream(host);
        HostAudio recorded;
        HostStreamSummary summary;
        ASSERT_EQ(STATUS_SUCCESS, stream.Record(300, options, &recorded, &summary));
        ASSERT_NE(~0ull, tap.Sound);
        EXPECT_EQ(row.Verdict, summary.Wire);
        EXPECT_EQ(row.Frame < 0 ? tap.Silent : tap.Sound + row.Frame, summary.ChangedAtFrame);
        EXPECT_EQ("mute on control 6", summary.Processing);
    }
}
