// Every frame through a render and a capture pin of one device, both ways:
// what the audio engine wrote into the cyclic buffer against what the
// simulated device received, and what the device sent against what the
// engine read out; with the device's clock off nominal, the other pin
// alongside, and a pin stopped or paused mid-stream, in its pre-roll, at
// each millisecond of a transfer, for no time at all or for seconds, and
// again and again; and a render pin paused and given another format.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "platform/kernel/emu.h"
#include "platform/ks/ksformat.h"
#include "sim/host/harness/host_stream.h"
#include "streaming/wave/wave_cyclic_stream.h"
#include "tests/sim/host/device_start.h"

namespace
{
constexpr ULONG kStepMs = 5, kRunMs = 2000, kEventAtMs = 520, kOutMs = 300, kLeadMs = 60;

enum class Pins
{
    Render,
    Capture,
    Both
};
enum class Event
{
    None,
    Stop,
    Pause
};
struct Row
{
    const char* Device; // a reference device, or a descriptor file
    LONG Ppm;
    Pins Open;
    Event Act = Event::None;
    bool OnCapture = false; // the pin the event takes, else the render pin
    ULONG OutMs = kOutMs;   // how long the pin stays out of RUN
    ULONG AtMs = kEventAtMs;
    ULONG Times = 1; // events in a row, a step apart
    ULONG Rate = 0;  // the pins' rate; 0: the one the pin offers first
};

// Render data that never repeat (a hash of frame and byte), never silence.
void MakeFrame(ULONGLONG frame, ULONG block, UCHAR* out)
{
    for (ULONG i = 0; i < block; ++i)
    {
        ULONGLONG h = (frame * 64 + i + 1) * 0x9E3779B97F4A7C15ull;
        h = (h ^ (h >> 29)) * 0xBF58476D1CE4E5B9ull;
        out[i] = (UCHAR)(h >> 40);
    }
    out[0] |= 1;
}

// Where a pin came back to RUN: the device's bytes by then, the engine's
// frames by then (render: taken from its queue; capture: read), the position
// it held out of RUN and the one it ran again from; capture: the frames the
// stream counted as dropped on the way out of RUN and back.
struct Mark
{
    size_t DeviceBytes;
    ULONGLONG EngineFrames;
    ULONG Held, RunFrom;
    bool Paused;
    ULONGLONG Dropped;
};

struct Side
{
    bool Capture = false;
    PFILE_OBJECT Pin = nullptr;
    UCHAR Endpoint = 0;
    ULONG Block = 0, Rate = 0, Size = 0;
    ULONGLONG Made = 0;    // render: frames handed to the engine
    std::vector<UCHAR> In; // capture: bytes read
    std::vector<Mark> Marks;
};

// A device plugged and started, and the audio engine's pins on it.
class PinRig : public ::testing::Test
{
  protected:
    void Plug(const std::string& name, LONG ppm)
    {
        ASSERT_NO_FATAL_FAILURE(StartHostDevice(m_Host, name));
        Sim().SetClockDriftPpm(ppm);
        m_Client = std::make_unique<AudioEngineClient>(m_Host.Fdo());
        m_Capture.Capture = true;
    }
    void TearDown() override { m_Client.reset(); }

    SimStreaming& Sim() { return m_Host.Device()->Streaming(); }
    std::vector<Side*> Sides(Pins open)
    {
        std::vector<Side*> sides;
        if (open != Pins::Capture)
            sides.push_back(&m_Render);
        if (open != Pins::Render)
            sides.push_back(&m_Capture);
        return sides;
    }
    const std::vector<UCHAR>& DeviceBytes(const Side& s)
    {
        return s.Capture ? Sim().InRecord(s.Endpoint).Data : Sim().OutRecord(s.Endpoint).Data;
    }
    ULONGLONG EngineFrames(const Side& s)
    {
        return (s.Capture ? s.In.size() : m_Client->Statistics(s.Pin).DataBytes) / s.Block;
    }
    static ULONGLONG Dropped(const Side& s)
    {
        return static_cast<CWaveCyclicStream*>(EmuPcPinStream(s.Pin))->DroppedFrames();
    }

    // At `rate`, or at the first the pin offers for 0; *format receives it.
    void Open(Side* side, ULONG rate, std::vector<UCHAR>* format)
    {
        ULONG pinId = 0;
        const auto subdevices = m_Client->Subdevices();
        const EmuPcSubdeviceInfo* info = HostFindWaveFilter(
            subdevices, side->Capture ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN, &pinId);
        PFILE_OBJECT filter = nullptr;
        ASSERT_NE(nullptr, info);
        ASSERT_EQ(STATUS_SUCCESS, m_Client->OpenFilter(info->Name, &filter));
        const KSDATARANGE_AUDIO any = AudioClientRange(
            KSDATAFORMAT_SUBTYPE_PCM, 32, 16, 32, rate != 0 ? rate : 1, rate != 0 ? rate : 768000);
        ASSERT_EQ(STATUS_SUCCESS,
                  m_Client->OpenPinWithRange(filter, pinId, &any.DataRange, &side->Pin, format));
        const WAVEFORMATEX* wave = KsWaveFormatOf(reinterpret_cast<KSDATAFORMAT*>(format->data()));
        side->Block = wave->nBlockAlign;
        side->Rate = wave->nSamplesPerSec;
        ASSERT_TRUE(rate == 0 || rate == side->Rate);
        side->Endpoint = HostDataEndpoints(*m_Host.Device(), side->Capture).at(0);
        Sim().SetInPattern(side->Endpoint, SimInPattern::Counter);
    }

    // Each step the render queue is topped up to its lead, and what capture
    // brought read out.
    void Step(ULONG ms)
    {
        for (ULONG t = 0, step; t < ms; t += step)
        {
            step = std::min(kStepMs, ms - t);
            if (m_Render.Pin != nullptr)
            {
                const ULONG block = m_Render.Block;
                const ULONGLONG want = EngineFrames(m_Render) + m_Render.Rate * kLeadMs / 1000;
                std::vector<UCHAR> data(want > m_Render.Made ? (want - m_Render.Made) * block : 0);
                for (size_t f = 0; f * block < data.size(); ++f)
                    MakeFrame(m_Render.Made + f, block, &data[f * block]);
                m_Render.Made +=
                    m_Client->Write(m_Render.Pin, data.data(), (ULONG)data.size()) / block;
            }
            EmuAdvanceMs(step);
            UCHAR chunk[4096];
            ULONG got;
            while (m_Capture.Pin != nullptr &&
                   (got = m_Client->Read(m_Capture.Pin, chunk, sizeof(chunk))) != 0)
                m_Capture.In.insert(m_Capture.In.end(), chunk, chunk + got);
        }
    }

    void Walk(Side* side, std::initializer_list<KSSTATE> states)
    {
        for (KSSTATE s : states)
            ASSERT_EQ(STATUS_SUCCESS, m_Client->SetState(side->Pin, s));
        side->Size = m_Client->Statistics(side->Pin).BufferSize;
    }

    HostHarness m_Host;
    std::unique_ptr<AudioEngineClient> m_Client;
    Side m_Render;
    Side m_Capture;
};

class FrameOrder : public PinRig, public ::testing::WithParamInterface<Row>
{
  protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(Plug(GetParam().Device, GetParam().Ppm));
        std::vector<UCHAR> format;
        for (Side* side : Sides(GetParam().Open))
            ASSERT_NO_FATAL_FAILURE(Open(side, GetParam().Rate, &format));
    }

    void Run()
    {
        const Row& row = GetParam();
        Step(kStepMs); // render data queued before RUN
        for (Side* side : Sides(row.Open))
            Walk(side, {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN});
        Step(row.AtMs);
        Side* side = row.OnCapture ? &m_Capture : &m_Render;
        const bool pause = row.Act == Event::Pause;
        for (ULONG i = 0; row.Act != Event::None && i < row.Times; ++i)
        {
            const ULONGLONG dropped = Dropped(*side);
            pause ? Walk(side, {KSSTATE_PAUSE})
                  : Walk(side, {KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP});
            Step(row.OutMs);
            Mark mark = {DeviceBytes(*side).size(), EngineFrames(*side), 0, 0, pause, 0};
            EmuPcPinStream(side->Pin)->GetPosition(&mark.Held);
            pause ? Walk(side, {KSSTATE_RUN})
                  : Walk(side, {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN});
            mark.Dropped = Dropped(*side) - dropped;
            mark.RunFrom = m_Client->Statistics(side->Pin).Position;
            side->Marks.push_back(mark);
            Step(kStepMs);
        }
        Step(kRunMs - row.AtMs);
        for (Side* s : Sides(row.Open))
            Walk(s, {KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP});
        Step(kStepMs);
    }

    size_t CheckRender(const Side& side, ULONGLONG* frames);
    size_t CheckCapture(const Side& side, ULONGLONG* frames);
};

bool Silent(const UCHAR* frame, ULONG block)
{
    return std::all_of(frame, frame + block, [](UCHAR b) { return b == 0; });
}

// Each walk gives the frame of the first fault, or kNone, and counts the
// frames it walked.
constexpr size_t kNone = SIZE_MAX;

// Render: after the path's silence, each frame the device received is the
// engine's next, each counted. Back in RUN after a pause the frames go on
// where they stopped, which is where the position held; after a stop, with
// the engine's first frame after it.
size_t FrameOrder::CheckRender(const Side& side, ULONGLONG* frames)
{
    const std::vector<UCHAR>& got = DeviceBytes(side);
    const ULONG block = side.Block;
    std::vector<UCHAR> want(block);
    ULONGLONG next = 0, placedFrom = 0; // the engine's frame due; the first placed at
    ULONG placedAt = 0;                 // this buffer offset
    bool quiet = true;
    for (size_t f = 0, mark = 0; (f + 1) * block <= got.size(); ++f)
    {
        if (mark < side.Marks.size() && f * block >= side.Marks[mark].DeviceBytes)
        {
            const Mark& m = side.Marks[mark++];
            if (m.Paused && m.Held != (placedAt + (next - placedFrom) * block) % side.Size)
                return f;
            if (!m.Paused)
                next = placedFrom = m.EngineFrames, placedAt = m.RunFrom;
            quiet = true;
        }
        MakeFrame(next, block, want.data());
        if (memcmp(&got[f * block], want.data(), block) == 0)
            ++next, ++*frames, quiet = false;
        else if (!quiet || !Silent(&got[f * block], block))
            return f;
    }
    return kNone;
}

// Capture: each frame read is placed by where it came from, the device's
// frames in the order it sent them, and is the next due, each counted. A
// pause takes nothing: every frame the device sent until the stream stopped
// is due, none counted as dropped, and the position held after the last of
// them. Back in RUN after a stop, the first due is the first the device sent
// after it.
size_t FrameOrder::CheckCapture(const Side& side, ULONGLONG* frames)
{
    const std::vector<UCHAR>& sent = DeviceBytes(side);
    const ULONG block = side.Block;
    size_t next = 0, origin = 0; // the device's frame due; the one at position 0
    for (size_t f = 0, mark = 0; (f + 1) * block <= side.In.size(); ++f)
    {
        for (; mark < side.Marks.size() && f >= side.Marks[mark].EngineFrames; ++mark)
        {
            const Mark& m = side.Marks[mark];
            const size_t stoppedAt = m.DeviceBytes / block;
            if (!m.Paused)
                next = origin = stoppedAt;
            else if (m.Dropped != 0 || m.Held != (stoppedAt - origin) * block % side.Size)
                return f;
        }
        if ((next + 1) * block > sent.size() ||
            memcmp(&side.In[f * block], &sent[next * block], block) != 0)
            return f;
        ++next, ++*frames;
    }
    return kNone;
}

TEST_P(FrameOrder, EveryFrameOnceAndInOrder)
{
    Run();
    for (const Side* side : Sides(GetParam().Open))
    {
        SCOPED_TRACE(side->Capture ? "capture" : "render");
        ULONGLONG frames = 0;
        EXPECT_EQ(kNone,
                  side->Capture ? CheckCapture(*side, &frames) : CheckRender(*side, &frames));
        // All went through but what the path holds at the end, a pre-roll
        // at each start and what each stop let go of.
        const size_t stops = side->Marks.empty() || side->Marks[0].Paused ? 0 : side->Marks.size();
        EXPECT_GE(frames, side->Rate * (kRunMs - 100 - 20 * side->Marks.size()) / 1000 -
                              (1 + stops) * side->Size / side->Block);
    }
}

void PrintTo(const Row& row, std::ostream* out)
{
    *out << row.Device << " at " << row.Ppm << " ppm";
    if (row.Rate != 0)
        *out << ", " << row.Rate << " Hz";
}

std::string RowName(const ::testing::TestParamInfo<Row>& info)
{
    const Row& r = info.param;
    std::string name;
    for (const char* c = r.Device; *c != '\0' && *c != '.'; ++c)
        name += isalnum((unsigned char)*c) ? std::string(1, *c) : "";
    name += (r.Ppm < 0 ? "_Slow" : "_Fast") + std::to_string(std::abs(r.Ppm)) + "_" +
            std::array{"Render", "Capture", "Both"}[(int)r.Open] +
            (r.Rate != 0 ? "_" + std::to_string(r.Rate) + "Hz" : "");
    if (r.Act == Event::None)
        return name;
    return name + std::array{"", "_Stop", "_Pause"}[(int)r.Act] +
           (r.OnCapture ? "Capture" : "Render") + std::to_string(r.OutMs) + "ms" +
           (r.Times > 1 ? "x" + std::to_string(r.Times) : "") +
           (r.AtMs != kEventAtMs ? "At" + std::to_string(r.AtMs) : "");
}

// Both classes and every feedback kind: class 1.0 without feedback and with
// an explicit feedback endpoint; class 2.0 with explicit feedback, without
// any, and with implicit feedback. Pauses of no time, a millisecond and two
// seconds, one 5 ms after RUN while the pre-roll's silence is still going
// out, and five in a row, with the clock on time and off it.
std::vector<Row> Rows()
{
    const std::pair<const char*, Pins> kinds[] = {
        {"Uac1SpeakerMic", Pins::Both},
        {"synchronous-data-with-feedback.txt", Pins::Render},
        {"Uac2HighSpeed", Pins::Both},
        {"uac2-clocks-apart-headset.txt", Pins::Both},
        {"implicit-feedback.txt", Pins::Capture}};
    std::vector<Row> rows;
    for (auto [device, open] : kinds)
        for (LONG ppm : {-500, -300, -100, 0, 100, 300, 500})
            rows.push_back({device, ppm, open});
    for (const char* device : {"Uac1SpeakerMic", "Uac2HighSpeed"})
        for (bool onCapture : {false, true})
        {
            for (LONG ppm : {-300, 300})
                rows.push_back({device, ppm, Pins::Both, Event::Stop, onCapture});
            for (Pins open : {onCapture ? Pins::Capture : Pins::Render, Pins::Both})
                rows.push_back({device, 0, open, Event::Pause, onCapture});
            const std::array<ULONG, 4> pauses[] = {// ppm, out, at, times
                                                   {300, 0, kEventAtMs, 1},
                                                   {(ULONG)-300, 1, kEventAtMs, 1},
                                                   {0, 2000, kEventAtMs, 1},
                                                   {0, kOutMs, 5, 1},
                                                   {300, 1, kEventAtMs, 5}};
            for (auto [ppm, out, at, times] : pauses)
                rows.push_back(
                    {device, (LONG)ppm, Pins::Both, Event::Pause, onCapture, out, at, times});
        }
    rows.push_back({"Uac2HighSpeed", -300, Pins::Both, Event::Pause, false});
    // What a pause takes depends on how far the stream is into its transfer:
    // a pause at each millisecond of a transfer, at every rate.
    for (ULONG at = kEventAtMs; at < kEventAtMs + 5; ++at)
    {
        rows.push_back({"Uac1SpeakerMic", 0, Pins::Capture, Event::Pause, true, 1, at, 1, 48000});
        for (ULONG rate : {44100, 48000, 96000, 192000})
            for (bool onCapture : {false, true})
                rows.push_back(
                    {"Uac2HighSpeed", 0, Pins::Both, Event::Pause, onCapture, 1, at, 1, rate});
    }
    return rows;
}
} // namespace

INSTANTIATE_TEST_SUITE_P(Rows, FrameOrder, ::testing::ValuesIn(Rows()), RowName);

namespace
{
// A render pin run, paused, given another format and run again: the port
// fills the new buffer whole from the position with what the engine wrote in
// that format, and the device receives those frames in order at the new
// rate, nothing of the old format's buffer.
struct FormatRow
{
    const char* Device;
    ULONG From, To; // rates
    USHORT ToBits;  // the new format's container
};

class FormatChange : public PinRig, public ::testing::WithParamInterface<FormatRow>
{
  protected:
    // `count` frames from `first` on, all taken into the pin's queue.
    void Write(ULONGLONG first, ULONG count)
    {
        std::vector<UCHAR> data((size_t)count * m_Render.Block);
        for (ULONG f = 0; f < count; ++f)
            MakeFrame(first + f, m_Render.Block, &data[(size_t)f * m_Render.Block]);
        ASSERT_EQ(data.size(), m_Client->Write(m_Render.Pin, data.data(), (ULONG)data.size()));
    }
};

// The new format's frames are numbered apart from the old one's.
constexpr ULONGLONG kNewFormat = 1ull << 32;

TEST_P(FormatChange, RunAgainFillsTheNewBufferWholeFromThePosition)
{
    const FormatRow& row = GetParam();
    ASSERT_NO_FATAL_FAILURE(Plug(row.Device, 0));
    std::vector<UCHAR> format;
    ASSERT_NO_FATAL_FAILURE(Open(&m_Render, row.From, &format));
    // 100 ms of the old format play out before the pause, which finds the
    // port's queue empty and its buffer full ahead of the position.
    ASSERT_NO_FATAL_FAILURE(Write(0, row.From / 10));
    ASSERT_NO_FATAL_FAILURE(Walk(&m_Render, {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}));
    EmuAdvanceMs(kOutMs);
    ASSERT_NO_FATAL_FAILURE(Walk(&m_Render, {KSSTATE_PAUSE}));
    ASSERT_EQ((ULONGLONG)row.From / 10 * m_Render.Block,
              m_Client->Statistics(m_Render.Pin).DataBytes);

    auto wave =
        const_cast<WAVEFORMATEX*>(KsWaveFormatOf(reinterpret_cast<KSDATAFORMAT*>(format.data())));
    const ULONG block = m_Render.Block = wave->nChannels * row.ToBits / 8;
    wave->nSamplesPerSec = row.To;
    wave->nAvgBytesPerSec = row.To * block;
    wave->nBlockAlign = (USHORT)block;
    // A new container is filled whole; the same keeps its valid bits.
    if (wave->wBitsPerSample != row.ToBits && wave->wFormatTag == WAVE_FORMAT_EXTENSIBLE)
        reinterpret_cast<WAVEFORMATEXTENSIBLE*>(wave)->Samples.wValidBitsPerSample = row.ToBits;
    wave->wBitsPerSample = row.ToBits;
    ASSERT_EQ(STATUS_SUCCESS,
              m_Client->SetFormat(m_Render.Pin, format.data(), (ULONG)format.size()));
    const size_t mark = DeviceBytes(m_Render).size();
    const ULONG sent = row.To / 2; // half a second, more than the buffer holds
    ASSERT_NO_FATAL_FAILURE(Write(kNewFormat, sent));
    ASSERT_NO_FATAL_FAILURE(Walk(&m_Render, {KSSTATE_RUN}));

    const PcPinStatistics stats = m_Client->Statistics(m_Render.Pin);
    const ULONG size = row.To * block / 20 / block * block;
    ASSERT_EQ(size, stats.BufferSize);
    PDMACHANNEL dma = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              EmuPcPinStream(m_Render.Pin)->QueryInterface(IID_IDmaChannel, (PVOID*)&dma));
    const auto buffer = static_cast<const UCHAR*>(dma->SystemAddress());
    dma->Release();
    std::vector<UCHAR> want(block);
    for (ULONG f = 0; f < size / block; ++f)
    {
        MakeFrame(kNewFormat + f, block, want.data());
        ASSERT_EQ(0, memcmp(buffer + (stats.Position + f * block) % size, want.data(), block))
            << "frame " << f << " of the new buffer";
    }

    const ULONG runMs = 400;
    EmuAdvanceMs(runMs);
    ASSERT_NO_FATAL_FAILURE(Walk(&m_Render, {KSSTATE_PAUSE}));
    // After the pre-roll's silence, the new format's frames from its first,
    // each once and in order.
    const std::vector<UCHAR>& got = DeviceBytes(m_Render);
    size_t f = mark / block;
    while ((f + 1) * block <= got.size() && Silent(&got[f * block], block))
        ++f;
    ULONG n = 0;
    for (; (f + 1) * block <= got.size(); ++f, ++n)
    {
        MakeFrame(kNewFormat + n, block, want.data());
        ASSERT_EQ(0, memcmp(&got[f * block], want.data(), block)) << "device frame " << n;
    }
    EXPECT_GE(n, row.To * (runMs - 3 * kStepMs * 2) / 1000);
    EXPECT_LE(n, sent);
    // At the new rate: a tenth of a second of USB frames carries a tenth of
    // its frames, the first frames of the start aside.
    const std::vector<SimPacketRecord>& packets = Sim().OutRecord(m_Render.Endpoint).Packets;
    const auto first = std::find_if(packets.begin(), packets.end(),
                                    [&](const SimPacketRecord& p) { return p.Offset >= mark; });
    ASSERT_NE(packets.end(), first);
    ULONG bytes = 0;
    for (auto p = first; p != packets.end(); ++p)
        bytes += p->Frame - first->Frame >= 10 && p->Frame - first->Frame < 110 ? p->Length : 0;
    EXPECT_NEAR(row.To / 10, bytes / block, 2);
}

// A smaller buffer at a lower rate on both classes; a larger one back up.
const FormatRow kFormatRows[] = {
    {"Uac1SpeakerMic", 48000, 44100, 16},
    {"Uac2HighSpeed", 96000, 44100, 32},
    {"Uac2HighSpeed", 192000, 48000, 16},
    {"Uac2HighSpeed", 44100, 96000, 32},
};

void PrintTo(const FormatRow& row, std::ostream* out)
{
    *out << row.Device << " from " << row.From << " Hz to " << row.To << " Hz, " << row.ToBits
         << " bits";
}

std::string FormatRowName(const ::testing::TestParamInfo<FormatRow>& info)
{
    return std::string(info.param.Device) + "_" + std::to_string(info.param.From) + "To" +
           std::to_string(info.param.To) + "_" + std::to_string(info.param.ToBits) + "Bit";
}
} // namespace

INSTANTIATE_TEST_SUITE_P(Rows, FormatChange, ::testing::ValuesIn(kFormatRows), FormatRowName);
