// Every frame through a render and a capture pin of one device, both ways:
// what the audio engine wrote into the cyclic buffer against what the
// simulated device received, and what the device sent against what the
// engine read out. The device's clock runs off nominal, the other pin runs
// alongside, is stopped and started, or a pin is paused mid-stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/kernel/emu.h"
#include "sim/host/harness/host_stream.h"

namespace
{
constexpr ULONG kStepMs = 5;
constexpr ULONG kRunMs = 1200;
constexpr ULONG kEventAtMs = 520;
constexpr ULONG kStoppedMs = 100;
constexpr ULONG kPausedMs = 300;
constexpr ULONG kLeadMs = 60; // render data queued ahead of the port

enum class Pins
{
    Render,
    Capture,
    Both
};
enum class Event
{
    None,
    RestartRender, // stopped and run again while the other pin runs
    RestartCapture,
    PauseRender,
    PauseCapture
};

struct Row
{
    const char* Device; // a reference device, or a descriptor file (".txt")
    LONG Ppm;
    Pins Open;
    Event Act;
};

// Render data that never repeats: a hash of frame and byte, its first byte
// odd so that no frame is silence.
void MakeFrame(ULONGLONG frame, ULONG block, UCHAR* out)
{
    for (ULONG i = 0; i < block; ++i)
    {
        ULONGLONG h = (frame * 64 + i + 1) * 0x9E3779B97F4A7C15ull;
        h ^= h >> 29;
        h *= 0xBF58476D1CE4E5B9ull;
        out[i] = (UCHAR)(h >> 40);
    }
    out[0] |= 1;
}

bool Silent(const UCHAR* frame, ULONG block)
{
    return std::all_of(frame, frame + block, [](UCHAR b) { return b == 0; });
}

// Where a pin left RUN and came back: the device's bytes by then, the
// port's frames by then (render: taken from the queue; capture: read), the
// position while it was out of RUN and the one it ran again from.
struct Mark
{
    size_t DeviceBytes;
    ULONGLONG PortFrames;
    ULONG OutPosition;
    ULONG RunPosition;
    bool Paused;
};

struct Side
{
    bool Capture = false;
    PFILE_OBJECT Pin = nullptr;
    UCHAR Endpoint = 0;
    ULONG Block = 0;
    ULONG Rate = 0;
    ULONG Size = 0;        // the cyclic buffer
    ULONGLONG Made = 0;    // render: frames handed to the port
    std::vector<UCHAR> In; // capture: bytes read
    std::vector<Mark> Marks;
};

// What a walk over one pin's frames found.
struct Verdict
{
    ULONG Faults = 0;
    size_t FirstFault = SIZE_MAX; // the device's frame of the first
    ULONGLONG Matched = 0;        // frames in order
};

class FrameOrder : public ::testing::TestWithParam<Row>
{
  protected:
    void SetUp() override
    {
        const Row& row = GetParam();
        std::string error;
        ASSERT_EQ(STATUS_SUCCESS, m_Host.LoadDriver());
        const std::string name = row.Device;
        const NTSTATUS plugged =
            name.ends_with(".txt")
                ? m_Host.PlugDescriptorFile(std::string(LT_QUIRKS_DIR) + "/" + name, &error)
                : m_Host.PlugReference(name, &error);
        ASSERT_EQ(STATUS_SUCCESS, plugged) << error;
        ASSERT_EQ(STATUS_SUCCESS, m_Host.AddDevice());
        ASSERT_EQ(STATUS_SUCCESS, m_Host.StartDevice());
        m_Host.Device()->Streaming().SetClockDriftPpm(row.Ppm);
        m_Client = std::make_unique<AudioEngineClient>(m_Host.Fdo());
        m_Render.Capture = false;
        m_Capture.Capture = true;
        if (row.Open != Pins::Capture)
            OpenSide(&m_Render);
        if (row.Open != Pins::Render)
            OpenSide(&m_Capture);
    }
    void TearDown() override { m_Client.reset(); }

    void OpenSide(Side* side)
    {
        ULONG pinId = 0;
        const auto subdevices = m_Client->Subdevices();
        const EmuPcSubdeviceInfo* info = HostFindWaveFilter(
            subdevices, side->Capture ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN, &pinId);
        ASSERT_NE(nullptr, info);
        PFILE_OBJECT filter = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, m_Client->OpenFilter(info->Name, &filter));
        const KSDATARANGE_AUDIO any =
            AudioClientRange(KSDATAFORMAT_SUBTYPE_PCM, 32, 16, 32, 1, 768000);
        std::vector<UCHAR> format;
        ASSERT_EQ(STATUS_SUCCESS,
                  m_Client->OpenPinWithRange(filter, pinId, &any.DataRange, &side->Pin, &format));
        KSDATAFORMAT_WAVEFORMATEXTENSIBLE chosen = {};
        memcpy(&chosen, format.data(), std::min(format.size(), sizeof(chosen)));
        side->Block = chosen.WaveFormatExt.Format.nBlockAlign;
        side->Rate = chosen.WaveFormatExt.Format.nSamplesPerSec;
        const auto endpoints = HostDataEndpoints(*m_Host.Device(), side->Capture);
        ASSERT_FALSE(endpoints.empty());
        side->Endpoint = endpoints[0];
        m_Host.Device()->Streaming().SetInPattern(side->Endpoint, SimInPattern::Counter);
    }

    const std::vector<UCHAR>& DeviceBytes(const Side& side)
    {
        SimStreaming& sim = m_Host.Device()->Streaming();
        return side.Capture ? sim.InRecord(side.Endpoint).Data : sim.OutRecord(side.Endpoint).Data;
    }

    // Render: frames queued up to the lead ahead of what the port took.
    void Feed(Side* side)
    {
        const ULONGLONG taken = m_Client->Statistics(side->Pin).DataBytes / side->Block;
        const ULONGLONG want = taken + (ULONGLONG)side->Rate * kLeadMs / 1000;
        if (want <= side->Made)
            return;
        std::vector<UCHAR> data((size_t)(want - side->Made) * side->Block);
        for (ULONGLONG f = side->Made; f < want; ++f)
            MakeFrame(f, side->Block, &data[(size_t)(f - side->Made) * side->Block]);
        side->Made += m_Client->Write(side->Pin, data.data(), (ULONG)data.size()) / side->Block;
    }

    void Drain(Side* side)
    {
        UCHAR chunk[4096];
        ULONG got;
        while ((got = m_Client->Read(side->Pin, chunk, sizeof(chunk))) != 0)
            side->In.insert(side->In.end(), chunk, chunk + got);
    }

    void Step(ULONG ms)
    {
        for (ULONG t = 0; t < ms; t += kStepMs)
        {
            for (Side* side : {&m_Render, &m_Capture})
                if (side->Pin != nullptr && !side->Capture)
                    Feed(side);
            EmuAdvanceMs(kStepMs);
            if (m_Capture.Pin != nullptr)
                Drain(&m_Capture);
        }
    }

    NTSTATUS Walk(Side* side, std::initializer_list<KSSTATE> states)
    {
        NTSTATUS status = STATUS_SUCCESS;
        for (KSSTATE s : states)
            if (NT_SUCCESS(status))
                status = m_Client->SetState(side->Pin, s);
        return status;
    }

    void Start(Side* side)
    {
        if (side->Pin == nullptr)
            return;
        if (!side->Capture)
            Feed(side);
        ASSERT_EQ(STATUS_SUCCESS, Walk(side, {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}));
        side->Size = m_Client->Statistics(side->Pin).BufferSize;
    }

    // Takes the pin out of RUN (to PAUSE, or down to STOP) while the other
    // runs on, and back.
    void Interrupt(Side* side, bool pause)
    {
        ASSERT_NE(nullptr, side->Pin);
        ASSERT_EQ(STATUS_SUCCESS, pause
                                      ? Walk(side, {KSSTATE_PAUSE})
                                      : Walk(side, {KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP}));
        if (side->Capture)
            Drain(side);
        Step(pause ? kPausedMs : kStoppedMs);
        Mark mark = {};
        mark.Paused = pause;
        EmuPcPinStream(side->Pin)->GetPosition(&mark.OutPosition);
        mark.DeviceBytes = DeviceBytes(*side).size();
        mark.PortFrames = side->Capture ? side->In.size() / side->Block
                                        : m_Client->Statistics(side->Pin).DataBytes / side->Block;
        ASSERT_EQ(STATUS_SUCCESS, pause
                                      ? Walk(side, {KSSTATE_RUN})
                                      : Walk(side, {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}));
        mark.RunPosition = m_Client->Statistics(side->Pin).Position;
        side->Marks.push_back(mark);
    }

    void Run()
    {
        const Row& row = GetParam();
        Start(&m_Render);
        Start(&m_Capture);
        Step(kEventAtMs);
        const struct
        {
            Event Act;
            Side* Pin;
            bool Pause;
        } kEvents[] = {{Event::RestartRender, &m_Render, false},
                       {Event::RestartCapture, &m_Capture, false},
                       {Event::PauseRender, &m_Render, true},
                       {Event::PauseCapture, &m_Capture, true}};
        for (const auto& e : kEvents)
            if (e.Act == row.Act)
                Interrupt(e.Pin, e.Pause);
        Step(kRunMs - kEventAtMs);
        for (Side* side : {&m_Render, &m_Capture})
        {
            if (side->Pin != nullptr)
            {
                ASSERT_EQ(STATUS_SUCCESS,
                          Walk(side, {KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP}));
            }
        }
        if (m_Capture.Pin != nullptr)
            Drain(&m_Capture);
    }

    Verdict CheckRender(const Side& side);
    Verdict CheckCapture(const Side& side);

    HostHarness m_Host;
    std::unique_ptr<AudioEngineClient> m_Client;
    Side m_Render;
    Side m_Capture;
};

// Render: after the path's silence, each frame the device received is the
// next the engine wrote. Where the pin left RUN the device may go on with
// the first frame the engine wrote after it came back, and skip those
// between only when the position it stopped at said they were not played.
Verdict FrameOrder::CheckRender(const Side& side)
{
    const std::vector<UCHAR>& got = DeviceBytes(side);
    const ULONG block = side.Block;
    std::vector<UCHAR> want(block);
    Verdict v;
    ULONGLONG next = 0;       // the engine's frame due
    ULONG placedAt = 0;       // the buffer offset of frame `placedFrom`
    ULONGLONG placedFrom = 0; // the first frame the port wrote from that place
    size_t mark = 0;          // the next place the pin left RUN
    bool quietAllowed = true; // the path's silence
    for (size_t f = 0; f * block + block <= got.size(); ++f)
    {
        const UCHAR* frame = &got[f * block];
        const bool resumed = mark < side.Marks.size() && f * block >= side.Marks[mark].DeviceBytes;
        if (resumed)
        {
            const Mark& m = side.Marks[mark++];
            // Stopped: the position starts over. Paused: it held where the
            // device stopped, so the frames after it are known unplayed.
            const ULONG stoppedAt = (ULONG)((placedAt + (next - placedFrom) * block) % side.Size);
            if (m.Paused && m.OutPosition != stoppedAt && v.Faults++ == 0)
                v.FirstFault = f;
            next = m.PortFrames;
            placedAt = m.RunPosition;
            placedFrom = m.PortFrames;
            quietAllowed = true;
        }
        MakeFrame(next, block, want.data());
        if (memcmp(frame, want.data(), block) == 0)
        {
            ++next;
            ++v.Matched;
            quietAllowed = false;
            continue;
        }
        if (Silent(frame, block) && quietAllowed)
            continue;
        if (v.Faults++ == 0)
            v.FirstFault = f;
        // Back in step if it is a frame of the engine's near by.
        for (ULONGLONG k = next > 4 * side.Size ? next - 4 * side.Size / block : 0;
             k < next + 4 * side.Size / block; ++k)
        {
            MakeFrame(k, block, want.data());
            if (memcmp(frame, want.data(), block) == 0)
            {
                next = k + 1;
                break;
            }
        }
    }
    return v;
}

// Capture: after the path's silence, each frame read is the next the device
// sent; where the pin left RUN, what comes after is what the device sent
// after it came back.
Verdict FrameOrder::CheckCapture(const Side& side)
{
    const std::vector<UCHAR>& sent = DeviceBytes(side);
    const ULONG block = side.Block;
    const size_t sentFrames = sent.size() / block;
    Verdict v;
    size_t next = SIZE_MAX; // the device's frame due; none before the first
    size_t from = 0;        // where the device's frames may start again
    size_t mark = 0;
    for (size_t f = 0; f * block + block <= side.In.size(); ++f)
    {
        const UCHAR* frame = &side.In[f * block];
        if (mark < side.Marks.size() && f >= side.Marks[mark].PortFrames)
        {
            from = side.Marks[mark++].DeviceBytes / block;
            next = SIZE_MAX;
        }
        if (next != SIZE_MAX && next < sentFrames && memcmp(frame, &sent[next * block], block) == 0)
        {
            ++next;
            ++v.Matched;
            continue;
        }
        if (next == SIZE_MAX && Silent(frame, block))
            continue;
        const bool starting = next == SIZE_MAX;
        size_t k =
            starting ? from : (next > 8 * side.Size / block ? next - 8 * side.Size / block : 0);
        const size_t end = std::min(sentFrames, k + 16 * side.Size / block);
        while (k < end && memcmp(frame, &sent[k * block], block) != 0)
            ++k;
        if (!starting || k == end)
        {
            if (v.Faults++ == 0)
                v.FirstFault = f;
        }
        if (k < end)
        {
            next = k + 1;
            ++v.Matched;
        }
    }
    return v;
}

TEST_P(FrameOrder, EveryFrameOnceAndInOrder)
{
    Run();
    if (HasFatalFailure())
        return;
    const Row& row = GetParam();
    for (const Side* side : {&m_Render, &m_Capture})
    {
        if (side->Pin == nullptr)
            continue;
        SCOPED_TRACE(side->Capture ? "capture" : "render");
        UCHAR channels = 0;
        UCHAR subslot = 0;
        m_Host.Device()->Streaming().SelectedFormat(side->Endpoint, &channels, &subslot);
        const Verdict v = side->Capture ? CheckCapture(*side) : CheckRender(*side);
        EXPECT_EQ(0u, v.Faults) << "first at device frame " << v.FirstFault;
        // All but what the path holds at the end went through; a stop or
        // pause takes its time off.
        const ULONG outMs = row.Act == Event::None ? 0 : kPausedMs;
        const ULONGLONG least = (ULONGLONG)side->Rate * (kRunMs - outMs - 100) / 1000 -
                                (side->Size + (side->Marks.empty() ? 0 : side->Size)) / side->Block;
        EXPECT_GE(v.Matched, least);
    }
}

const char* const kRowNames[] = {"Render", "Capture", "Both"};
const char* const kEventNames[] = {"", "RestartRender", "RestartCapture", "PauseRender",
                                   "PauseCapture"};

void PrintTo(const Row& row, std::ostream* out)
{
    *out << row.Device << " at " << row.Ppm << " ppm";
}

std::string RowName(const ::testing::TestParamInfo<Row>& info)
{
    std::string name;
    for (const char* c = info.param.Device; *c != '\0' && *c != '.'; ++c)
        if (isalnum((unsigned char)*c))
            name += *c;
    const LONG ppm = info.param.Ppm;
    name += ppm < 0 ? "_Slow" + std::to_string(-ppm) : "_Fast" + std::to_string(ppm);
    name += std::string("_") + kRowNames[(int)info.param.Open] + kEventNames[(int)info.param.Act];
    return name;
}

// Both classes and every feedback kind: class 1.0 without feedback and with
// an explicit feedback endpoint, class 2.0 with explicit feedback, without
// any, and with implicit feedback.
struct DeviceKind
{
    const char* Device;
    Pins Open;
};
constexpr DeviceKind kKinds[] = {{"Uac1SpeakerMic", Pins::Both},
                                 {"synchronous-data-with-feedback.txt", Pins::Render},
                                 {"Uac2HighSpeed", Pins::Both},
                                 {"uac2-clocks-apart-headset.txt", Pins::Both},
                                 {"implicit-feedback.txt", Pins::Capture}};
constexpr LONG kPpms[] = {-500, -300, -100, 0, 100, 300, 500};

std::vector<Row> DriftRows()
{
    std::vector<Row> rows;
    for (const DeviceKind& kind : kKinds)
        for (LONG ppm : kPpms)
            rows.push_back({kind.Device, ppm, kind.Open, Event::None});
    for (const char* device : {"Uac1SpeakerMic", "Uac2HighSpeed"})
        for (LONG ppm : {-300L, 300L})
            for (Event e : {Event::RestartRender, Event::RestartCapture})
                rows.push_back({device, ppm, Pins::Both, e});
    return rows;
}

std::vector<Row> PauseRows()
{
    std::vector<Row> rows;
    for (const char* device : {"Uac1SpeakerMic", "Uac2HighSpeed"})
    {
        rows.push_back({device, 0, Pins::Render, Event::PauseRender});
        rows.push_back({device, 0, Pins::Both, Event::PauseRender});
        rows.push_back({device, 0, Pins::Capture, Event::PauseCapture});
        rows.push_back({device, 0, Pins::Both, Event::PauseCapture});
    }
    rows.push_back({"Uac2HighSpeed", -300, Pins::Both, Event::PauseRender});
    return rows;
}
} // namespace

INSTANTIATE_TEST_SUITE_P(Drift, FrameOrder, ::testing::ValuesIn(DriftRows()), RowName);
INSTANTIATE_TEST_SUITE_P(Pause, FrameOrder, ::testing::ValuesIn(PauseRows()), RowName);
