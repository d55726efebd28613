// The wave stream against a hand-built USB stream: buffer, states, the
// client it becomes in RUN, positions, render copies, capture routes and an
// ASIO-kind client taking the USB stream over.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "platform/kernel/emu.h"
#include "platform/portcls/portcls_emu.h"
#include "streaming/wave/wave_data_format.h"
#include "tests/streaming/wave/wave_rig.h"

namespace
{
const std::vector<WAVEFORMATEXTENSIBLE> kFormats = {
    WaveRecord(2, 48000, 16), WaveRecord(2, 44100, 16),   WaveRecord(2, 48000, 24),
    WaveRecord(2, 22050, 16), WaveRecord(2, 48000, 8),    WaveRecord(1, 44100, 16),
    WaveRecord(2, 48000, 32), WaveRecord(2, 48000, 32, 3)};

struct Fixture
{
    explicit Fixture(ULONG direction = STREAM_DIRECTION_RENDER,
                     const WAVEFORMATEXTENSIBLE& host = WaveRecord(2, 48000, 16))
        : Engine(MakeHandStream(direction, kFormats)), Owned(std::make_unique<WaveRig>(Engine)),
          Rig(*Owned)
    {
        EXPECT_TRUE(Rig.Ok());
        EXPECT_EQ(STATUS_SUCCESS, Rig.Open(DataFormat(host), direction != 0));
    }
    ~Fixture()
    {
        Owned.reset(); // the miniport holds the engine
        EXPECT_EQ(0u, Engine->Release());
    }
    NTSTATUS Walk(KSSTATE to)
    {
        KSSTATE from = State;
        while (from != to)
        {
            const KSSTATE next = (KSSTATE)(to > from ? from + 1 : from - 1);
            NTSTATUS status = Rig.StreamInterface()->SetState(next);
            if (!NT_SUCCESS(status))
                return status;
            from = State = next;
        }
        return STATUS_SUCCESS;
    }
    PUCHAR Buffer() { return static_cast<PUCHAR>(Rig.Dma()->SystemAddress()); }
    ULONG Size() { return Rig.Dma()->BufferSize(); }

    HandStream* Engine;
    std::unique_ptr<WaveRig> Owned;
    WaveRig& Rig;
    KSSTATE State = KSSTATE_STOP;
};

// A client of the kind the ASIO interface registers.
struct AsioDouble
{
    NTSTATUS Take(HandStream* stream, const WAVEFORMATEXTENSIBLE& format, ULONG ms, ULONG urbs)
    {
        NTSTATUS status = Register(stream, format, ms, urbs);
        return NT_SUCCESS(status) ? Begin(stream) : status;
    }
    NTSTATUS Register(HandStream* stream, const WAVEFORMATEXTENSIBLE& format, ULONG ms, ULONG urbs)
    {
        WAVEFORMATEXTENSIBLE copy = format;
        return stream->RegisterClient(STREAM_CLIENT_KIND_ASIO, &copy.Format, ms, urbs,
                                      ClientDouble::Callback, &Client, &Client.Record);
    }
    // Opens and starts the registered client.
    NTSTATUS Begin(HandStream* stream)
    {
        ULONG out = 0, frame = 0;
        NTSTATUS status = stream->OpenClient(Client.Key(), &out, &frame);
        if (NT_SUCCESS(status))
            status = stream->StartClient(Client.Key(), frame + 2, &out, nullptr);
        return status;
    }
    void Leave(HandStream* stream)
    {
        stream->StopClient(Client.Key(), nullptr);
        stream->CloseClient(Client.Key());
        EXPECT_EQ(STATUS_SUCCESS, stream->UnregisterClient(Client.Key()));
    }
    ClientDouble Client{STREAM_CLIENT_KIND_ASIO, 0x5A};
};

void Pattern(PUCHAR buffer, ULONG bytes)
{
    for (ULONG i = 0; i < bytes; ++i)
        buffer[i] = (UCHAR)(i * 7 + 3);
}

// What the device receives from `urbs` render notifications of `urbBytes`
// each, every URB zeroed first as the USB stream hands it over.
std::vector<UCHAR> RenderOut(HandStream* engine, ULONG urbBytes, ULONG urbs)
{
    std::vector<UCHAR> out;
    for (ULONG i = 0; i < urbs; ++i)
    {
        std::vector<UCHAR> urb(urbBytes, 0);
        engine->Send(STREAM_NOTIFY_RENDER_DATA, urbBytes, 0, urb.data());
        out.insert(out.end(), urb.begin(), urb.end());
    }
    return out;
}

// `preRoll` bytes of `silence`, then the cyclic buffer from its first byte
// on, round and round.
void ExpectSilenceThenBuffer(const std::vector<UCHAR>& out, ULONG preRoll, UCHAR silence,
                             const UCHAR* buffer, ULONG size)
{
    ASSERT_GT(out.size(), (size_t)preRoll + size);
    for (size_t i = 0; i < preRoll; ++i)
        ASSERT_EQ(silence, out[i]) << "byte " << i;
    for (size_t i = preRoll; i < out.size(); ++i)
        ASSERT_EQ(buffer[(i - preRoll) % size], out[i]) << "byte " << i;
}
} // namespace

TEST(WaveStream, BufferHoldsFiftyMillisecondsOfWholeFrames)
{
    struct Case
    {
        WAVEFORMATEXTENSIBLE Host;
        ULONG Bytes;
    } const cases[] = {
        {WaveRecord(2, 48000, 16), 9600},  {WaveRecord(2, 44100, 16), 8820},
        {WaveRecord(2, 22050, 16), 4408}, // 4410 is not a whole number of frames
        {WaveRecord(2, 48000, 24), 14400}, {WaveRecord(1, 44100, 16), 4410},
    };
    for (const Case& c : cases)
    {
        Fixture f(STREAM_DIRECTION_RENDER, c.Host);
        EXPECT_EQ(c.Bytes, f.Rig.Dma()->AllocatedBufferSize());
        EXPECT_EQ(c.Bytes, f.Rig.Dma()->BufferSize());
        EXPECT_EQ(c.Bytes, f.Rig.Dma()->TransferCount());
        EXPECT_EQ(0u, c.Bytes % c.Host.Format.nBlockAlign);
        EXPECT_EQ(307200u, f.Rig.Dma()->MaximumBufferSize());
        ULONG framing = 0;
        EXPECT_EQ(10u, f.Rig.StreamInterface()->SetNotificationFreq(1, &framing));
        EXPECT_EQ(c.Host.Format.nSamplesPerSec / 100 * c.Host.Format.nBlockAlign, framing);
    }
}

TEST(WaveStream, FailedInitLeavesTheMiniportsCountAlone)
{
    for (ULONG skip : {0u, 1u})
    {
        auto engine = MakeHandStream(STREAM_DIRECTION_RENDER, kFormats);
        {
            WaveRig rig(engine);
            ASSERT_TRUE(rig.Ok());
            EmuPoolInjectFailure(WAVE_CYCLIC_BUFFER_TAG, skip);
            EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
                      rig.Open(DataFormat(WaveRecord(2, 48000, 16))));
            EmuPoolClearInjection();
            EXPECT_FALSE(rig.Miniport()->IsStreamOpen());
            ASSERT_EQ(STATUS_SUCCESS, rig.Open(DataFormat(WaveRecord(2, 48000, 16))));
            EXPECT_TRUE(rig.Miniport()->IsStreamOpen());
        } // the miniport's teardown waits for no stream
        EXPECT_EQ(0u, engine->Release());
    }
}

TEST(WaveStream, SetBufferSizeOnlyShrinks)
{
    Fixture f;
    const std::pair<ULONG, ULONG> cases[] = {
        {9601, 9600}, {9600, 9600}, {9599, 9599}, {4800, 4800}};
    for (auto [asked, inForce] : cases)
    {
        f.Rig.Dma()->SetBufferSize(asked);
        EXPECT_EQ(inForce, f.Rig.Dma()->BufferSize());
        EXPECT_EQ(9600u, f.Rig.Dma()->AllocatedBufferSize());
    }
}

TEST(WaveStream, SilenceFillsOnlyInsideTheBuffer)
{
    for (USHORT bits : {8, 16})
    {
        Fixture f(STREAM_DIRECTION_RENDER, WaveRecord(2, 48000, bits));
        const ULONG size = f.Size();
        memset(f.Buffer(), 0x11, size);
        struct Case
        {
            ULONG Offset;
            ULONG Bytes;
            bool Filled;
        } const cases[] = {
            {0, 4, true}, {size - 4, 4, true}, {size - 4, 5, false}, {size, 1, false}};
        for (const Case& c : cases)
        {
            memset(f.Buffer(), 0x11, size);
            f.Rig.StreamInterface()->Silence(f.Buffer() + c.Offset, c.Bytes);
            const UCHAR expected = c.Filled ? (bits == 8 ? 0x80 : 0x00) : 0x11;
            if (c.Offset < size)
            {
                EXPECT_EQ(expected, f.Buffer()[c.Offset]);
            }
        }
    }
}

TEST(WaveStream, CopiesStayInsideTheBufferInForce)
{
    Fixture f;
    f.Rig.Dma()->SetBufferSize(4800);
    UCHAR outside[16] = {};
    memset(outside, 0x77, sizeof(outside));
    struct Case
    {
        ULONG Offset;
        ULONG Bytes;
        bool Copied;
    } const cases[] = {{0, 16, true}, {4784, 16, true}, {4785, 16, false}, {4800, 1, false}};
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    for (const Case& c : cases)
    {
        memset(f.Buffer(), 0, 9600);
        f.Rig.Dma()->CopyTo(f.Buffer() + c.Offset, outside, c.Bytes);
        EXPECT_EQ(c.Copied ? 0x77 : 0x00, f.Buffer()[c.Offset]);
        UCHAR back[16] = {};
        f.Buffer()[c.Offset] = 0x42;
        f.Rig.Dma()->CopyFrom(back, f.Buffer() + c.Offset, c.Bytes);
        EXPECT_EQ(c.Copied ? 0x42 : 0x00, back[0]);
    }
    KeLowerIrql(irql);
}

TEST(WaveStream, SetFormatKeepsOrRenewsTheBuffer)
{
    Fixture f;
    const PVOID first = f.Buffer();
    struct Case
    {
        WAVEFORMATEXTENSIBLE Format;
        bool Renewed;
        ULONG Size;
    } const cases[] = {
        {WaveRecord(2, 48000, 16, 1, false), false, 9600}, // same audio, plain record
        {WaveRecord(2, 44100, 16), true, 8820},
        {WaveRecord(2, 48000, 32), true, 19200},
        {WaveRecord(2, 48000, 32, 3), true, 19200}, // float: same sizes, other samples
    };
    PVOID previous = first;
    for (const Case& c : cases)
    {
        ASSERT_EQ(STATUS_SUCCESS,
                  f.Rig.StreamInterface()->SetFormat(reinterpret_cast<PKSDATAFORMAT>(
                      DataFormat(c.Format, c.Format.Format.cbSize != 0).data())));
        EXPECT_EQ(c.Renewed, f.Buffer() != previous);
        EXPECT_EQ(c.Size, f.Size());
        EXPECT_TRUE(
            IsEqualGUID(WaveSubFormatOf(c.Format), WaveSubFormatOf(f.Rig.Stream()->HostFormat())));
        previous = f.Buffer();
    }
    ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_RUN));
    auto format = DataFormat(WaveRecord(2, 48000, 16));
    EXPECT_EQ(STATUS_UNSUCCESSFUL,
              f.Rig.StreamInterface()->SetFormat(reinterpret_cast<PKSDATAFORMAT>(format.data())));
    ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_STOP));
}

TEST(WaveStream, RunWithoutABufferFails)
{
    Fixture f;
    ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_PAUSE));
    f.Rig.Dma()->FreeBuffer();
    EXPECT_EQ(STATUS_UNSUCCESSFUL, f.Walk(KSSTATE_RUN));
    EXPECT_EQ(0u, f.Engine->RegisteredCount());
    EXPECT_EQ(STATUS_SUCCESS, f.Rig.Dma()->AllocateBuffer(9600, nullptr));
    EXPECT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_RUN));
    EXPECT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_STOP));
}

TEST(WaveStream, RunJoinsTheUsbStreamAndPauseLeavesIt)
{
    Fixture f;
    ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_RUN));
    PSTREAMCLIENT client = f.Engine->Active();
    ASSERT_NE(nullptr, client);
    EXPECT_EQ(STREAM_CLIENT_KIND_WAVE_CYCLIC, client->Kind);
    EXPECT_EQ(5u, client->MsPerUrb);
    EXPECT_EQ(3u, client->UrbCount);
    EXPECT_EQ(102u, f.Engine->StartFrame); // the frame opening reported, plus 2
    RenderOut(f.Engine, 960, 5);           // the pre-roll's three, then two of the buffer
    for (int i = 0; i < 4; ++i)
        f.Engine->Send(STREAM_NOTIFY_BYTES, 960);
    EXPECT_EQ(960u, f.Rig.Position());
    ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_PAUSE));
    EXPECT_EQ(nullptr, f.Engine->Active());
    EXPECT_EQ(0u, f.Engine->RegisteredCount());
    EXPECT_EQ(1920u, f.Rig.Position()); // held where the device was sent the buffer to
    ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_STOP));
    EXPECT_EQ(0u, f.Rig.Position());
}

TEST(WaveStream, FailedStartClosesThenUnregistersTheClient)
{
    Fixture f;
    ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_PAUSE));
    f.Engine->StartFailure = STATUS_DEVICE_NOT_CONNECTED;
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, f.Walk(KSSTATE_RUN));
    EXPECT_EQ(0u, f.Engine->RegisteredCount());
    EXPECT_EQ(nullptr, f.Engine->Active());
    // A notification after the failure reaches no stale record.
    f.Engine->Send(STREAM_NOTIFY_BYTES, 960);
    EXPECT_EQ(0u, f.Rig.Position());
    f.Engine->StartFailure = STATUS_SUCCESS;
    EXPECT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_RUN));
    EXPECT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_STOP));
}

TEST(WaveStream, RenderSendsThePreRollsSilenceThenTheBufferFromItsStart)
{
    struct Case
    {
        USHORT Bits;
        ULONG BufferSize; // 0: the whole allocation
        ULONG PreRoll;    // 15 ms of the host format
        ULONG UrbBytes;   // 5 ms
        ULONG Rate = 48000;
        // Paused and run again, then started over by the USB stream, as when
        // it recovers once the device is back from a power-down.
        bool Restarted = false;
    } const cases[] = {
        {16, 0, 2880, 960},
        {8, 0, 1440, 480},
        {16, 2880, 2880, 960}, // the pre-roll fills the buffer exactly
        {16, 1920, 2880, 960}, // and more than fills it
        // 44 whole frames a millisecond: the silence ends 4 bytes before the
        // end of the third 221-frame URB, whose last frame is the buffer's first.
        {16, 0, 2640, 884, 44100},
        {16, 0, 2880, 960, 48000, true}, // not from where the pause held (1920)
    };
    for (const Case& c : cases)
    {
        Fixture f(STREAM_DIRECTION_RENDER, WaveRecord(2, c.Rate, c.Bits));
        if (c.BufferSize != 0)
            f.Rig.Dma()->SetBufferSize(c.BufferSize);
        Pattern(f.Buffer(), f.Size());
        ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_RUN));
        if (c.Restarted)
        {
            RenderOut(f.Engine, c.UrbBytes, 5);
            ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_PAUSE));
            ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_RUN));
            f.Engine->Send(STREAM_NOTIFY_START, WAVE_MS_PER_URB | STREAM_FORMAT_CHANGED,
                           WAVE_URB_COUNT);
        }
        const ULONG urbs = (c.PreRoll + 2 * f.Size()) / c.UrbBytes + 1;
        ExpectSilenceThenBuffer(RenderOut(f.Engine, c.UrbBytes, urbs), c.PreRoll,
                                c.Bits == 8 ? 0x80 : 0x00, f.Buffer(), f.Size());
        ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_STOP));
    }
}

TEST(WaveStream, ReportsMoveThePositionFromThePreRolledOffset)
{
    Fixture f;
    ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_RUN));
    // 15 ms in flight at 192 bytes a millisecond.
    EXPECT_EQ(9600u - 2880u, f.Rig.Stream()->CopyOffset());
    RenderOut(f.Engine, 960, 4);
    EXPECT_EQ(960u, f.Rig.Stream()->CopyOffset());
    // The pre-roll's silence moves the position over nothing of the buffer.
    const ULONG notifies = EmuPcNotifyCount(f.Rig.Port());
    f.Engine->Send(STREAM_NOTIFY_BYTES, 960);
    EXPECT_EQ(notifies + 1, EmuPcNotifyCount(f.Rig.Port()));
    EmuAdvanceMs(20);
    EXPECT_EQ(0u, f.Rig.Position());
    f.Engine->Send(STREAM_NOTIFY_BYTES, 960);
    f.Engine->Send(STREAM_NOTIFY_BYTES, 960);
    EXPECT_EQ(0u, f.Rig.Position());
    RenderOut(f.Engine, 960, 1);
    f.Engine->Send(STREAM_NOTIFY_BYTES, 960);
    EXPECT_EQ(960u, f.Rig.Position());
    // Between reports the transfer now playing adds its share, never more.
    EmuAdvanceMs(2);
    EXPECT_EQ(960u + 384u, f.Rig.Position());
    EmuAdvanceMs(20);
    EXPECT_EQ(960u + 960u, f.Rig.Position());
    ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_STOP));
}

// As many transfers in flight as the ring holds: each moves the position
// when it comes back, the last while it plays.
TEST(WaveStream, TenTransfersInFlightAreAllCounted)
{
    Fixture f;
    ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_RUN));
    RenderOut(f.Engine, 960, 10); // the pre-roll's three, then seven of the buffer
    for (int i = 0; i < 9; ++i)
        f.Engine->Send(STREAM_NOTIFY_BYTES, 960);
    EXPECT_EQ(5760u, f.Rig.Position());
    EmuAdvanceMs(20);
    EXPECT_EQ(6720u, f.Rig.Position());
    f.Engine->Send(STREAM_NOTIFY_BYTES, 960);
    EXPECT_EQ(6720u, f.Rig.Position());
    ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_STOP));
}

TEST(WaveStream, PositionWrapsAtTheBufferSizeInForce)
{
    Fixture f;
    f.Rig.Dma()->SetBufferSize(4800);
    ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_RUN));
    RenderOut(f.Engine, 960, 9);
    for (int i = 0; i < 8; ++i)
        f.Engine->Send(STREAM_NOTIFY_BYTES, 960);
    EXPECT_EQ(0u, f.Rig.Position());
    f.Engine->Send(STREAM_NOTIFY_BYTES, 960);
    EXPECT_EQ(960u, f.Rig.Position());
    ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_STOP));
}

TEST(WaveStream, NormalizedPositionIsIn100Nanoseconds)
{
    Fixture f;
    const std::pair<LONGLONG, LONGLONG> cases[] = {{192000, 10000000}, {4, 208}, {0, 0}};
    for (auto [bytes, expected] : cases)
    {
        LONGLONG position = bytes;
        EXPECT_EQ(STATUS_SUCCESS, f.Rig.StreamInterface()->NormalizePhysicalPosition(&position));
        EXPECT_EQ(expected, position);
    }
}

TEST(WaveStream, ContentIdGoesToTheUsbStream)
{
    Fixture f;
    PDRMAUDIOSTREAM drm = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, f.Rig.Stream()->QueryInterface(IID_IDrmAudioStream, (PVOID*)&drm));
    EXPECT_EQ(STATUS_SUCCESS, drm->SetContentId(77, nullptr));
    EXPECT_EQ(77u, f.Engine->ContentId);
    drm->Release();
}

TEST(WaveStream, AsioTakeoverRestartsThePositionAndItMovesAgain)
{
    Fixture f;
    ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_RUN));
    RenderOut(f.Engine, 960, 6);
    for (int i = 0; i < 6; ++i)
        f.Engine->Send(STREAM_NOTIFY_BYTES, 960);
    EXPECT_EQ(2880u, f.Rig.Position());

    AsioDouble asio;
    ASSERT_EQ(STATUS_SUCCESS, asio.Take(f.Engine, WaveRecord(2, 44100, 16), 10, 4));
    EXPECT_EQ(asio.Client.Record, f.Engine->Active());
    EXPECT_EQ(0u, f.Rig.Position());
    EXPECT_EQ(44100u, (ULONG)f.Rig.Stream()->DeviceFormat().Format.nSamplesPerSec);
    EXPECT_EQ(9600u - 192u * 10 * 4, f.Rig.Stream()->CopyOffset()); // its 40 ms in flight
    // Render data for the ASIO client are its own: we write none of ours over them.
    std::vector<UCHAR> urb(1764, 0);
    Pattern(f.Buffer(), f.Size());
    f.Engine->Send(STREAM_NOTIFY_RENDER_DATA, (ULONG)urb.size(), 0, urb.data());
    EXPECT_EQ(std::vector<UCHAR>(1764, asio.Client.Fill), urb);
    // 10 ms of the device's bytes are 10 ms of ours.
    f.Engine->Send(STREAM_NOTIFY_BYTES, 1764);
    EXPECT_EQ(1920u, f.Rig.Position());

    asio.Leave(f.Engine);
    EXPECT_NE(nullptr, f.Engine->Active());
    EXPECT_EQ(0u, f.Rig.Position());
    EXPECT_EQ(48000u, (ULONG)f.Rig.Stream()->DeviceFormat().Format.nSamplesPerSec);
    // Handed back mid-stream: the pre-roll goes out as silence again.
    std::vector<UCHAR> out = RenderOut(f.Engine, 960, 4);
    for (int i = 0; i < 4; ++i)
        f.Engine->Send(STREAM_NOTIFY_BYTES, 960);
    EXPECT_EQ(960u, f.Rig.Position());
    for (int i = 0; i < 2; ++i) // never more in flight than the ring holds
    {
        const std::vector<UCHAR> more = RenderOut(f.Engine, 960, 5);
        out.insert(out.end(), more.begin(), more.end());
        for (int k = 0; k < 5; ++k)
            f.Engine->Send(STREAM_NOTIFY_BYTES, 960);
    }
    EXPECT_EQ(960u * 11 % 9600, f.Rig.Position());
    ExpectSilenceThenBuffer(out, 2880, 0x00, f.Buffer(), f.Size());
    ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_STOP));
}

TEST(WaveStream, PreRollLongerThanTheBufferWrapsRoundIt)
{
    Fixture f;
    ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_RUN));
    AsioDouble asio; // 10 URBs of 7 ms: 70 ms in flight against a 50 ms buffer
    ASSERT_EQ(STATUS_SUCCESS, asio.Take(f.Engine, WaveRecord(2, 48000, 24), 7, 10));
    EXPECT_EQ(9600u - (192u * 70 - 9600), f.Rig.Stream()->CopyOffset());
    asio.Leave(f.Engine);
    ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_STOP));
}

TEST(WaveStream, ForeignRateStepCarriesFractions)
{
    // 192 bytes a millisecond against 176.4, either way round: the host's
    // fraction and the device's are each carried.
    struct Case
    {
        ULONG HostRate;
        ULONG DeviceRate;
        ULONG FirstHostBytes; // one millisecond of the host's, whole bytes
    } const cases[] = {{48000, 44100, 192}, {44100, 48000, 176}};
    for (const Case& c : cases)
    {
        Fixture f(STREAM_DIRECTION_CAPTURE, WaveRecord(2, c.HostRate, 16));
        ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_RUN));
        AsioDouble asio;
        ASSERT_EQ(STATUS_SUCCESS, asio.Take(f.Engine, WaveRecord(2, c.DeviceRate, 16), 10, 4));
        const ULONG size = f.Size();
        const double hostPerDevice = (double)c.HostRate / c.DeviceRate;
        // A millisecond of the device's: packets of 44 and 45 frames, or 48.
        auto deviceBytes = [&](int i) {
            return c.DeviceRate == 48000 ? 192u : i % 5 == 4 ? 180u : 176u;
        };
        f.Engine->Send(STREAM_NOTIFY_BYTES, deviceBytes(0));
        EmuAdvanceMs(2); // the whole report has arrived
        EXPECT_EQ(c.FirstHostBytes, f.Rig.Position()) << c.HostRate;
        ULONGLONG device = deviceBytes(0), host = c.FirstHostBytes;
        ULONG last = c.FirstHostBytes;
        for (int i = 1; i < 2000; ++i)
        {
            f.Engine->Send(STREAM_NOTIFY_BYTES, deviceBytes(i));
            device += deviceBytes(i);
            EmuAdvanceMs(2);
            const ULONG now = f.Rig.Position();
            host += (now + size - last) % size;
            last = now;
            // Never more than a millisecond from the exact conversion.
            const double exact = (double)device * hostPerDevice;
            ASSERT_LE(std::fabs((double)host - exact), c.HostRate * 4 / 1000.0)
                << c.HostRate << " report " << i;
        }
        asio.Leave(f.Engine);
        ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_STOP));
    }
}

// An ASIO client of the host's own byte rate has the stream: its render
// data stay its own, and our buffer's bytes are only counted.
TEST(WaveStream, AnAsioClientOfTheSameByteRateKeepsItsRenderData)
{
    Fixture f;
    AsioDouble asio; // registered first, so that it writes its samples before we are called
    ASSERT_EQ(STATUS_SUCCESS, asio.Register(f.Engine, WaveRecord(2, 48000, 16), 10, 4));
    ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_RUN));
    ASSERT_EQ(STATUS_SUCCESS, asio.Begin(f.Engine));
    EXPECT_EQ(asio.Client.Record, f.Engine->Active());
    Pattern(f.Buffer(), f.Size());
    const ULONG offset = f.Rig.Stream()->CopyOffset();
    EXPECT_EQ(std::vector<UCHAR>(1920, asio.Client.Fill), RenderOut(f.Engine, 1920, 1));
    EXPECT_EQ((offset + 1920) % f.Size(), f.Rig.Stream()->CopyOffset());
    asio.Leave(f.Engine);
    ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_STOP));
}

// Between capture reports the position is the last report's end less what
// has not had time to arrive, in whole frames.
TEST(WaveStream, CapturePositionCountsWhatHasArrived)
{
    Fixture f(STREAM_DIRECTION_CAPTURE);
    ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_RUN));
    f.Engine->Send(STREAM_NOTIFY_BYTES, 960);
    const struct
    {
        ULONGLONG At; // since the report, in 10-microsecond units
        ULONG Position;
    } cases[] = {
        {0, 0},     // nothing of the 960 bytes yet
        {51, 100},  // 97.92 bytes: 960 - 863 cut to whole frames (860)
        {200, 384}, // 2 ms
        {500, 960}, // all of it
        {700, 960}, // never more
    };
    ULONGLONG now = 0;
    for (const auto& c : cases)
    {
        EmuAdvanceTime((c.At - now) * 100);
        now = c.At;
        EXPECT_EQ(c.Position, f.Rig.Position()) << c.At;
    }
    ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_STOP));
}

// The device's own format is copied, not converted: every byte of every
// width, 32-bit samples included, whose float conversion would round them.
TEST(WaveStream, CaptureOfItsOwnFormatArrivesUnchanged)
{
    for (USHORT bits : {16, 24, 32})
    {
        Fixture f(STREAM_DIRECTION_CAPTURE, WaveRecord(2, 48000, bits));
        EXPECT_EQ(WaveCaptureRoute::Copy, f.Rig.Stream()->CaptureRoute()) << bits;
        ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_RUN));
        // 480 frames, every byte from a hash of its place: no two frames alike.
        std::vector<UCHAR> data(480u * bits / 4);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = (UCHAR)(((i + 1) * 0x9E3779B97F4A7C15ull) >> 56);
        f.Engine->Send(STREAM_NOTIFY_CAPTURE_DATA, (ULONG)data.size(), 0, data.data());
        for (size_t frame = 0; frame < 480; ++frame)
            ASSERT_EQ(0, memcmp(&data[frame * bits / 4], f.Buffer() + frame * bits / 4, bits / 4))
                << bits << " bits, frame " << frame;
        EXPECT_EQ(data.size(), f.Rig.Stream()->CopyOffset());
        ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_STOP));
    }
}

TEST(WaveStream, CaptureConvertsTheActiveClientsFormat)
{
    Fixture f(STREAM_DIRECTION_CAPTURE);
    ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_RUN));
    AsioDouble asio;
    ASSERT_EQ(STATUS_SUCCESS, asio.Take(f.Engine, WaveRecord(2, 44100, 16), 10, 4));
    EXPECT_EQ(WaveCaptureRoute::Convert, f.Rig.Stream()->CaptureRoute());
    // 100 ms of a 1 kHz sine at 44100 Hz become about 100 ms at 48000 Hz.
    std::vector<SHORT> in(2 * 4410);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = (SHORT)(16000 * std::sin(2 * M_PI * 1000.0 * (double)(i / 2) / 44100.0));
    for (size_t at = 0; at < in.size(); at += 2 * 441)
    {
        f.Engine->Send(STREAM_NOTIFY_CAPTURE_DATA, 441 * 4, 0, &in[at]);
    }
    const auto out = reinterpret_cast<const SHORT*>(f.Buffer());
    // The last 20 ms written: a 1 kHz sine at 48000 Hz has 48 samples a period.
    const ULONG end = f.Rig.Stream()->CopyOffset() / 4;
    double energy = 0;
    ULONG crossings = 0;
    for (ULONG k = 1; k < 960; ++k)
    {
        const ULONG i = (end + 2400 - 960 + k) % 2400;
        const ULONG p = (i + 2399) % 2400;
        energy += (double)out[2 * i] * out[2 * i];
        crossings += (out[2 * p] < 0) != (out[2 * i] < 0) ? 1 : 0;
    }
    EXPECT_NEAR(16000.0 / std::sqrt(2.0), std::sqrt(energy / 959), 800.0);
    EXPECT_NEAR(40.0, (double)crossings, 2.0); // 20 periods in 20 ms
    asio.Leave(f.Engine);
    ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_STOP));
}

TEST(WaveStream, CaptureFormatsOfTheDeviceAreCopiedAndRefusedOnesSilent)
{
    struct Case
    {
        WAVEFORMATEXTENSIBLE Host;
        WAVEFORMATEXTENSIBLE Device; // the ASIO client's, or the host's own
        bool Asio;
        WaveCaptureRoute Route;
    } const cases[] = {
        {WaveRecord(2, 22050, 16), WaveRecord(2, 22050, 16), false, WaveCaptureRoute::Copy},
        {WaveRecord(2, 48000, 8), WaveRecord(2, 48000, 8), false, WaveCaptureRoute::Copy},
        {WaveRecord(2, 22050, 16), WaveRecord(2, 48000, 16), true, WaveCaptureRoute::Silence},
        {WaveRecord(2, 44100, 16), WaveRecord(1, 44100, 16), true, WaveCaptureRoute::Silence},
    };
    for (const Case& c : cases)
    {
        Fixture f(STREAM_DIRECTION_CAPTURE, c.Host);
        ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_RUN));
        AsioDouble asio;
        if (c.Asio)
        {
            ASSERT_EQ(STATUS_SUCCESS, asio.Take(f.Engine, c.Device, 10, 4));
        }
        EXPECT_EQ(c.Route, f.Rig.Stream()->CaptureRoute());
        std::vector<UCHAR> data(c.Device.Format.nBlockAlign * 100);
        Pattern(data.data(), (ULONG)data.size());
        f.Engine->Send(STREAM_NOTIFY_CAPTURE_DATA, (ULONG)data.size(), 0, data.data());
        f.Engine->Send(STREAM_NOTIFY_BYTES, (ULONG)data.size());
        const std::vector<UCHAR> silent(f.Size(), WaveSilenceByte(c.Host));
        const std::vector<UCHAR> buffer(f.Buffer(), f.Buffer() + f.Size());
        if (c.Route == WaveCaptureRoute::Copy)
        {
            EXPECT_EQ(0, memcmp(data.data(), f.Buffer(), data.size()));
        }
        else
        {
            EXPECT_EQ(silent, buffer);
        }
        EmuAdvanceMs(5);                 // a capture position counts what has had time to arrive
        EXPECT_NE(0u, f.Rig.Position()); // the position moves whatever the data
        if (c.Asio)
            asio.Leave(f.Engine);
        ASSERT_EQ(STATUS_SUCCESS, f.Walk(KSSTATE_STOP));
    }
}
