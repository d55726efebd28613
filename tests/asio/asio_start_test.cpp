// Start and stop over two ASIO engines, a render engine before a capture
// engine, whose stream-client interfaces record what they are asked: the
// capture client starts first at the frame after the last open plus 5,
// open and start failures, the vendor request to the listed devices, the
// data a capture notification puts into the ring and each type's record.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "platform/io/io_emu.h"
#include "platform/kernel/emu.h"
#include "tests/asio/asio_rig.h"
#include "tests/asio/stream_control_double.h"

namespace
{
using Log = std::vector<std::string>;

std::unique_ptr<SimUsbDevice> DeviceWithIds(USHORT vendor, USHORT product)
{
    DeviceBytes bytes = ReferenceBytes(SimReference::Uac1SpeakerMic);
    bytes.Device[8] = (UCHAR)vendor;
    bytes.Device[9] = (UCHAR)(vendor >> 8);
    bytes.Device[10] = (UCHAR)product;
    bytes.Device[11] = (UCHAR)(product >> 8);
    return MakeSimDevice(bytes);
}

class TwoEngineRig
{
  public:
    explicit TwoEngineRig(std::unique_ptr<SimUsbDevice> device = nullptr) : usb(std::move(device))
    {
        ControlLog().clear();
        if (!usb.Ok() || !NT_SUCCESS(usb.Start()))
            return;
        for (StreamControlDouble* d : {render, capture})
        {
            d->AddRef();
            d->Formats = {PcmRecord(2, 48000, 16), PcmRecord(2, 44100, 16)};
        }
        ClassScript().EngineCount = 2;
        ClassScript().Capabilities = {AsioCaps(), AsioCaps()};
        ClassScript().Engines = {render, capture};
        if (!NT_SUCCESS(Adapter()->GetAsioSession().Configure(2)))
            return;
        process = EmuCreateProcess(false);
        EmuAttachProcess(process);
        ok = NT_SUCCESS(Asio()->AsioOpenClient(&file));
    }
    ~TwoEngineRig()
    {
        if (process != nullptr)
        {
            Asio()->AsioCloseClient(&file);
            if (event != nullptr)
                EmuCloseUserHandle(process, event);
            EmuAttachProcess(nullptr);
            EmuDeleteProcess(process);
        }
        ClassScript().Engines.clear();
        render->Release();
        capture->Release();
    }
    CAdapterCommon* Adapter() const { return usb.Adapter(); }
    PASIOPRIVATE Asio() const { return static_cast<IAsioPrivate*>(usb.Adapter()); }
    NTSTATUS Map(std::vector<ULONG> pairs, ULONG frames = 480)
    {
        std::vector<UCHAR> input = U32s({0, (ULONG)pairs.size() / 2, frames});
        for (ULONG v : pairs)
        {
            std::vector<UCHAR> b = U32s({v});
            input.insert(input.end(), b.begin(), b.end());
        }
        ULONGLONG out[2] = {};
        ULONG length = 16;
        return Asio()->AsioMapSharedBuffer(&file, input.data(), (ULONG)input.size(), out, &length);
    }
    NTSTATUS Start()
    {
        EXPECT_EQ(STATUS_SUCCESS,
                  EmuCreateUserEvent(process, SynchronizationEvent, FALSE, &event, &kevent));
        return Asio()->AsioStartStreaming(&file, &event);
    }
    const AsioRingEntry* Ring(ULONG i) const
    {
        return Adapter()->GetAsioSession().Rings().GetEntry(i);
    }
    AsioRingHeader* Header(ULONG i) const
    {
        return reinterpret_cast<AsioRingHeader*>(Ring(i)->UserAddress);
    }

    UsbAdapterRig usb;
    StreamControlDouble* render = new (NonPagedPool, POOL_TAG("TAsD"))
        StreamControlDouble("render", STREAM_DIRECTION_RENDER, 100);
    StreamControlDouble* capture = new (NonPagedPool, POOL_TAG("TAsD"))
        StreamControlDouble("capture", STREAM_DIRECTION_CAPTURE, 200);
    PEPROCESS process = nullptr;
    FILE_OBJECT file{};
    HANDLE event = nullptr;
    PKEVENT kevent = nullptr;
    bool ok = false;
};

void SetPower(CAdapterCommon* adapter, DEVICE_POWER_STATE state)
{
    POWER_STATE power;
    power.DeviceState = state;
    adapter->PowerChangeState(power);
}

TEST(AsioStart, CaptureStartsFirstAtTheLastOpenFramePlusFive)
{
    TwoEngineRig rig;
    ASSERT_TRUE(rig.ok);
    ASSERT_EQ(STATUS_SUCCESS, rig.Map({0, 1, 1, 0}));
    EXPECT_EQ((Log{"render register 2ch 2ms x4", "capture register 2ch 2ms x4"}), ControlLog());
    // The capture ring signals; channel numbers count per direction.
    EXPECT_EQ(0u, rig.Header(0)->Signal);
    EXPECT_EQ(1u, rig.Header(1)->Signal);
    EXPECT_EQ(1u, rig.Header(1)->IsInput);
    EXPECT_EQ(0u, rig.Header(1)->FirstChannel);
    ControlLog().clear();
    const ULONG urbs = rig.usb.Script().Urbs;
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    EXPECT_EQ((Log{"render open", "capture open", "capture start 205", "render start 205"}),
              ControlLog());
    // Not a listed device: no vendor request.
    EXPECT_EQ(urbs, rig.usb.Script().Urbs);
    // The doubles' starts take no data: no pre-roll.
    EXPECT_EQ(0u, rig.Header(1)->PrerollBytes);
    EXPECT_EQ(0u, rig.Header(0)->PrerollBytes);
    ControlLog().clear();
    ASSERT_EQ(STATUS_SUCCESS, rig.Asio()->AsioStopStreaming(&rig.file, nullptr));
    EXPECT_EQ((Log{"render stop", "render close", "capture stop", "capture close"}), ControlLog());
}

TEST(AsioStart, AnOpenFailureUndoesEveryOpen)
{
    TwoEngineRig rig;
    ASSERT_TRUE(rig.ok);
    ASSERT_EQ(STATUS_SUCCESS, rig.Map({0, 1, 1, 0}));
    rig.capture->OpenStatus = STATUS_DEVICE_NOT_READY;
    ControlLog().clear();
    EXPECT_EQ(STATUS_DEVICE_NOT_READY, rig.Start());
    EXPECT_EQ((Log{"render open", "capture open", "render stop", "render close", "capture stop",
                   "capture close"}),
              ControlLog());
    EXPECT_FALSE(rig.Adapter()->GetAsioSession().IsRunning());
}

// A start is whole or not at all: the owner may try again.
TEST(AsioStart, AClientThatDoesNotStartFailsTheStartAndStopsTheOthers)
{
    TwoEngineRig rig;
    ASSERT_TRUE(rig.ok);
    ASSERT_EQ(STATUS_SUCCESS, rig.Map({0, 1, 1, 0}));
    rig.capture->StartStatus = STATUS_DEVICE_NOT_READY;
    ControlLog().clear();
    EXPECT_EQ(STATUS_DEVICE_NOT_READY, rig.Start());
    EXPECT_EQ((Log{"render open", "capture open", "capture start 205", "render start 205",
                   "render stop", "render close", "capture stop", "capture close"}),
              ControlLog());
    EXPECT_FALSE(rig.Adapter()->GetAsioSession().IsRunning());
    EmuCloseUserHandle(rig.process, rig.event);
    rig.capture->StartStatus = STATUS_SUCCESS;
    EXPECT_EQ(STATUS_SUCCESS, rig.Start());
    EXPECT_TRUE(rig.Adapter()->GetAsioSession().IsRunning());
}

// A start that fails, at an open or at a start, leaves every ring where
// it stood after the last stream, and hands it no event.
TEST(AsioStart, AFailedStartLeavesTheRingsWhereTheyStood)
{
    for (const bool atOpen : {true, false})
    {
        TwoEngineRig rig;
        ASSERT_TRUE(rig.ok);
        ASSERT_EQ(STATUS_SUCCESS, rig.Map({0, 0, 1, 1}));
        ASSERT_EQ(STATUS_SUCCESS, rig.Start());
        std::vector<UCHAR> urb(384, 0x11);
        for (int i = 0; i < 3; ++i)
        {
            rig.capture->Notify(STREAM_NOTIFY_CAPTURE_DATA, urb.data(), 384);
            rig.capture->Notify(STREAM_NOTIFY_BYTES, nullptr, 384);
            rig.render->Notify(STREAM_NOTIFY_RENDER_DATA, urb.data(), 384);
        }
        ASSERT_EQ(STATUS_SUCCESS, rig.Asio()->AsioStopStreaming(&rig.file, nullptr));
        const AsioRingHeader before[2] = {*rig.Header(0), *rig.Header(1)};
        const AsioRingEntry entries[2] = {*rig.Ring(0), *rig.Ring(1)};
        EmuCloseUserHandle(rig.process, rig.event);
        (atOpen ? rig.capture->OpenStatus : rig.capture->StartStatus) = STATUS_DEVICE_NOT_READY;
        EXPECT_EQ(STATUS_DEVICE_NOT_READY, rig.Start()) << atOpen;
        for (ULONG i = 0; i < 2; ++i)
        {
            EXPECT_EQ(0, memcmp(&before[i], rig.Header(i), sizeof(before[i]))) << atOpen << i;
            EXPECT_EQ(entries[i].Position, rig.Ring(i)->Position) << atOpen << i;
            EXPECT_EQ(entries[i].SwitchCount, rig.Ring(i)->SwitchCount) << atOpen << i;
        }
        EXPECT_EQ(nullptr, rig.Adapter()->GetAsioSession().Rings().GetBufferSwitchEvent());
        EXPECT_EQ(FALSE, KeReadStateEvent(rig.kevent));
    }
}

TEST(AsioStart, TheListedDevicesHearTheVendorRequestOnStartAndStop)
{
    TwoEngineRig rig(DeviceWithIds(0x4C54, 0x3103));
    ASSERT_TRUE(rig.ok);
    ASSERT_EQ(STATUS_SUCCESS, rig.Map({0, 0}));
    const ULONG urbs = rig.usb.Script().Urbs;
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    EXPECT_EQ(urbs + 1, rig.usb.Script().Urbs);
    ASSERT_EQ(STATUS_SUCCESS, rig.Asio()->AsioStopStreaming(&rig.file, nullptr));
    EXPECT_EQ(urbs + 2, rig.usb.Script().Urbs);
}

TEST(AsioStart, NotificationsMoveCaptureDataAndCountSwitches)
{
    TwoEngineRig rig;
    ASSERT_TRUE(rig.ok);
    ASSERT_EQ(STATUS_SUCCESS, rig.Map({0, 0, 1, 1}));
    std::vector<UCHAR> urb(384);
    for (size_t i = 0; i < urb.size(); ++i)
        urb[i] = (UCHAR)(i + 1);
    // Not started yet: ignored.
    rig.capture->Notify(STREAM_NOTIFY_CAPTURE_DATA, urb.data(), 384);
    EXPECT_EQ(0u, rig.Header(1)->DriverPosition);
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    PUCHAR data = reinterpret_cast<PUCHAR>(rig.Header(1)) + ASIO_RING_HEADER_BYTES;
    const ULONG dataBytes = rig.Header(1)->DataBytes;
    ASSERT_EQ(7680u, dataBytes);
    // Twenty URBs fill the ring exactly and wrap to its start.
    for (int i = 0; i < 20; ++i)
        rig.capture->Notify(STREAM_NOTIFY_CAPTURE_DATA, urb.data(), 384);
    EXPECT_EQ(0u, rig.Header(1)->DriverPosition);
    EXPECT_EQ(std::vector<UCHAR>(urb.begin(), urb.end()), std::vector<UCHAR>(data, data + 384));
    EXPECT_EQ(std::vector<UCHAR>(urb.begin(), urb.end()),
              std::vector<UCHAR>(data + dataBytes - 384, data + dataBytes));
    // A URB that straddles the end is split across it.
    rig.capture->Notify(STREAM_NOTIFY_CAPTURE_DATA, urb.data(), 100);
    for (int i = 0; i < 19; ++i)
        rig.capture->Notify(STREAM_NOTIFY_CAPTURE_DATA, urb.data(), 384);
    EXPECT_EQ(100u + 19u * 384u, rig.Header(1)->DriverPosition);
    rig.capture->Notify(STREAM_NOTIFY_CAPTURE_DATA, urb.data(), 384);
    EXPECT_EQ(100u + 20u * 384u - 7680u, rig.Header(1)->DriverPosition);
    EXPECT_EQ(std::vector<UCHAR>(urb.begin() + 284, urb.end()),
              std::vector<UCHAR>(data, data + 100));
    // A URB as large as the ring is not copied.
    std::vector<UCHAR> huge(7680, 0xAB);
    rig.capture->Notify(STREAM_NOTIFY_CAPTURE_DATA, huge.data(), 7680);
    EXPECT_EQ(100u, rig.Header(1)->DriverPosition);
    EXPECT_EQ(std::vector<UCHAR>(urb.begin() + 284, urb.end()),
              std::vector<UCHAR>(data, data + 100));
    // Byte notifications count switches; only the signal ring sets the event.
    KeClearEvent(rig.kevent);
    rig.render->Notify(STREAM_NOTIFY_BYTES, nullptr, 384);
    EXPECT_EQ(1u, rig.Header(0)->SwitchCount);
    EXPECT_EQ(FALSE, KeReadStateEvent(rig.kevent));
    rig.capture->Notify(STREAM_NOTIFY_BYTES, nullptr, 384);
    EXPECT_EQ(1u, rig.Header(1)->SwitchCount);
    EXPECT_EQ(TRUE, KeReadStateEvent(rig.kevent));
    // The header is a mirror: what user mode writes there does not move the driver.
    rig.Header(1)->DriverPosition = 0xFFFFFF00;
    rig.Header(1)->DataBytes = 0;
    rig.Header(1)->Channels = 64;
    rig.capture->Notify(STREAM_NOTIFY_CAPTURE_DATA, urb.data(), 384);
    EXPECT_EQ(484u, rig.Header(1)->DriverPosition);
    EXPECT_EQ(std::vector<UCHAR>(urb.begin(), urb.end()),
              std::vector<UCHAR>(data + 100, data + 484));
}

// Back in D0 the ring goes on from the end of the last URB the device took,
// whatever came back dropped after it, also where URBs came back after the
// stop cleared the started flag, and where silent ones, built after the
// power-down halted the ring, came back taken after them; the switches
// counted go on from there.
TEST(AsioStart, AReturnToD0GoesOnFromTheFirstByteTheDeviceDidNotReceive)
{
    // Five URBs of 384 bytes come back in order, dropped (1) or taken (0),
    // the last `AfterStop` of them once the power-down stopped the ring,
    // then `Silent` taken URBs that carried none of it.
    const struct
    {
        std::vector<ULONG> Dropped;
        ULONG AfterStop, Silent, Played;
    } rows[] = {{{0, 0, 0, 0, 0}, 0, 0, 1920}, {{0, 0, 0, 1, 1}, 0, 0, 1152},
                {{0, 1, 0, 1, 1}, 0, 0, 1152}, {{0, 0, 0, 0, 0}, 3, 0, 1920},
                {{0, 0, 1, 1, 1}, 3, 0, 768},  {{1, 1, 1, 1, 1}, 0, 0, 0},
                {{0, 0, 0, 0, 0}, 3, 2, 1920}, {{0, 0, 0, 0, 1}, 0, 1, 1536},
                {{0, 0, 1, 1, 1}, 3, 2, 768},  {{1, 1, 1, 1, 1}, 5, 3, 0}};
    for (const auto& row : rows)
    {
        TwoEngineRig rig;
        ASSERT_TRUE(rig.ok);
        ASSERT_EQ(STATUS_SUCCESS, rig.Map({0, 0}));
        ASSERT_EQ(STATUS_SUCCESS, rig.Start());
        std::vector<UCHAR> urb(384);
        for (int i = 0; i < 5; ++i)
            rig.render->Notify(STREAM_NOTIFY_RENDER_DATA, urb.data(), 384);
        for (ULONG i = 0; i <= 5; ++i)
        {
            if (i == 5 - row.AfterStop)
                SetPower(rig.Adapter(), PowerDeviceD3);
            if (i < 5)
                rig.render->Notify(STREAM_NOTIFY_BYTES, nullptr, 384, row.Dropped[i]);
        }
        for (ULONG i = 0; i < row.Silent; ++i)
            rig.render->Notify(STREAM_NOTIFY_BYTES, nullptr, 384, 0);
        SetPower(rig.Adapter(), PowerDeviceD0);
        EXPECT_EQ(row.Played, rig.Header(0)->StartPosition) << row.Played;
        EXPECT_EQ(row.Played, rig.Header(0)->DriverPosition) << row.Played;
        EXPECT_EQ(5 - row.AfterStop, rig.Header(0)->SwitchCount) << row.Played;
    }
}

// From the owner's stop, unmap or close on, and from a power-down on, no
// ring is read or written, also where a stream not yet stopped still runs:
// the capture ring, whose stream stops after the render ring's, keeps its
// place through that stop. A start moves the rings again.
TEST(AsioStart, NoRingMovesFromTheOwnersStopOrAPowerDownOn)
{
    const struct
    {
        std::function<NTSTATUS(TwoEngineRig&)> Stop;
        bool Mapped;
    } rows[] = {
        {[](TwoEngineRig& rig) { return rig.Asio()->AsioStopStreaming(&rig.file, nullptr); }, true},
        {[](TwoEngineRig& rig) { return rig.Asio()->AsioUnmapSharedBuffer(&rig.file); }, false},
        {[](TwoEngineRig& rig) { return rig.Asio()->AsioCloseClient(&rig.file); }, false},
        {[](TwoEngineRig& rig)
         {
             SetPower(rig.Adapter(), PowerDeviceD3);
             return STATUS_SUCCESS;
         },
         false},
    };
    for (const auto& row : rows)
    {
        TwoEngineRig rig;
        ASSERT_TRUE(rig.ok);
        ASSERT_EQ(STATUS_SUCCESS, rig.Map({0, 0, 1, 0}));
        ASSERT_EQ(STATUS_SUCCESS, rig.Start());
        std::vector<UCHAR> urb(384, 0x5A);
        rig.capture->Notify(STREAM_NOTIFY_CAPTURE_DATA, urb.data(), 384);
        ULONG during = 0;
        rig.render->OnStop = [&]
        {
            rig.capture->Notify(STREAM_NOTIFY_CAPTURE_DATA, urb.data(), 384);
            during = rig.Ring(1)->Position;
        };
        EXPECT_EQ(STATUS_SUCCESS, row.Stop(rig));
        EXPECT_EQ(384u, during) << row.Mapped;
        if (!row.Mapped)
            continue;
        EmuCloseUserHandle(rig.process, rig.event);
        ASSERT_EQ(STATUS_SUCCESS, rig.Start());
        rig.capture->Notify(STREAM_NOTIFY_CAPTURE_DATA, urb.data(), 384);
        EXPECT_EQ(384u, rig.Header(1)->DriverPosition);
    }
}

TEST(AsioStart, RenderNotificationsFillTheUrbFromTheDriverPosition)
{
    TwoEngineRig rig;
    ASSERT_TRUE(rig.ok);
    ASSERT_EQ(STATUS_SUCCESS, rig.Map({0, 0}));
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    PUCHAR data = reinterpret_cast<PUCHAR>(rig.Header(0)) + ASIO_RING_HEADER_BYTES;
    for (ULONG i = 0; i < 7680; ++i)
        data[i] = (UCHAR)(i / 3);
    std::vector<UCHAR> urb(384, 0);
    rig.render->Notify(STREAM_NOTIFY_RENDER_DATA, urb.data(), 384);
    EXPECT_EQ(std::vector<UCHAR>(data, data + 384), urb);
    EXPECT_EQ(384u, rig.Header(0)->DriverPosition);
    // A start notification is no data.
    rig.render->Notify(STREAM_NOTIFY_START);
    EXPECT_EQ(384u, rig.Header(0)->DriverPosition);
    // A URB as large as the ring stays silent and moves nothing.
    std::vector<UCHAR> whole(7680, 0xEE);
    rig.render->Notify(STREAM_NOTIFY_RENDER_DATA, whole.data(), 7680);
    EXPECT_EQ(std::vector<UCHAR>(7680, 0xEE), whole);
    EXPECT_EQ(384u, rig.Header(0)->DriverPosition);
}
} // namespace

namespace
{
WAVEFORMATEXTENSIBLE DsdRecord(USHORT channels, ULONG bitRate)
{
    WAVEFORMATEXTENSIBLE f = {};
    EXPECT_TRUE(AsioBuildFormat(ASIO_MODE_DSD, bitRate, 0, channels, &f));
    return f;
}

TEST(AsioDsd, ADsdClientMapsIdleRingsAndStopsToZeros)
{
    TwoEngineRig rig;
    ASSERT_TRUE(rig.ok);
    // A one-channel DSD record is passed over, not divided by.
    for (StreamControlDouble* d : {rig.render, rig.capture})
        d->Formats.push_back(DsdRecord(2, 2822400)), d->Formats.push_back(DsdRecord(1, 2822400));
    ULONG value = 1;
    ASSERT_EQ(STATUS_SUCCESS, rig.Asio()->AsioSetMode(&rig.file, &value));
    // A PCM rate in DSD mode is refused; the DSD rate is taken.
    value = 48000;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, rig.Asio()->AsioSetSampleRate(&rig.file, &value));
    value = 5644800;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, rig.Asio()->AsioSetSampleRate(&rig.file, &value));
    value = 2822400;
    ASSERT_EQ(STATUS_SUCCESS, rig.Asio()->AsioSetSampleRate(&rig.file, &value));
    ULONG sizes[4] = {};
    ASSERT_EQ(STATUS_SUCCESS, rig.Asio()->AsioGetBufferSize(&rig.file, sizes));
    EXPECT_EQ((std::vector<ULONG>{11264, 140800, 28160, 64}), std::vector<ULONG>(sizes, sizes + 4));
    UCHAR record[52] = {};
    ASSERT_EQ(STATUS_SUCCESS, rig.Asio()->AsioGetChannelInfo(&rig.file, record, 52));
    ULONG type = 0;
    memcpy(&type, record + 16, 4);
    EXPECT_EQ(33u, type);

    // Only the sizes stated: from the minimum in steps of the granularity.
    EXPECT_EQ(STATUS_INVALID_BUFFER_SIZE, rig.Map({0, 0, 1, 0}, 11264 + 63));
    ASSERT_EQ(STATUS_SUCCESS, rig.Map({0, 0, 1, 0}, 11264 + 64));
    // 40 ms of 44100 two-channel 8-byte frames, idle pattern until played.
    const ULONG dataBytes = rig.Header(0)->DataBytes;
    EXPECT_EQ(44100u * 16u * 40u / 1000u, dataBytes);
    PUCHAR data = reinterpret_cast<PUCHAR>(rig.Header(0)) + ASIO_RING_HEADER_BYTES;
    EXPECT_EQ(std::vector<UCHAR>(dataBytes, 0x69), std::vector<UCHAR>(data, data + dataBytes));
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    ASSERT_EQ(STATUS_SUCCESS, rig.Asio()->AsioStopStreaming(&rig.file, nullptr));
    for (ULONG ring : {0u, 1u})
    {
        PUCHAR d = reinterpret_cast<PUCHAR>(rig.Header(ring)) + ASIO_RING_HEADER_BYTES;
        EXPECT_EQ(std::vector<UCHAR>(dataBytes, 0), std::vector<UCHAR>(d, d + dataBytes)) << ring;
    }
}

// A 48 kHz record; the channel mask tells records of one shape apart. Not
// PCM: the subformat's first field 0x92 or 0x164 (IEC 61937), 0x4C54 (raw data).
WAVEFORMATEXTENSIBLE Record(USHORT bits, USHORT valid, ULONG mask = 3, ULONG rate = 48000,
                            ULONG subformat = 1)
{
    WAVEFORMATEXTENSIBLE f = PcmRecord(2, rate, bits);
    f.Samples.wValidBitsPerSample = valid, f.dwChannelMask = mask, f.SubFormat.Data1 = subformat;
    return f;
}

// A type is offered exactly when both rings map a record of it: the one of
// the ring's rate and channels with the most valid bits, the first of
// equals. The devices keep the top of each container, so 20 bits in 3
// bytes play type 17, 20 in 4 type 18 and 12 in 2 type 16. A record not
// PCM carries no type, first or of more valid bits though it be.
TEST(AsioStart, EachTypeOfferedMapsTheRecordOfItsContainerWithTheMostValidBits)
{
    // The records and, per type offered, the one it maps; the other types refused.
    const std::pair<std::vector<WAVEFORMATEXTENSIBLE>, std::map<ULONG, size_t>> rows[] = {
        {{Record(24, 20), Record(32, 20), Record(16, 12)}, {{16, 2}, {17, 0}, {18, 1}}},
        // Records of another rate or channel count are not the ring's.
        {{Record(24, 20), PcmRecord(1, 48000, 24), Record(24, 24, 3, 44100), Record(24, 24),
          Record(24, 24, 0x33)},
         {{17, 3}}},
        {{Record(32, 18), Record(32, 32), Record(32, 20), Record(32, 32, 0x33)}, {{18, 1}}},
        {{Record(32, 16), Record(32, 24)}, {{24, 0}, {27, 1}}},
        {{Record(16, 16, 3, 48000, 0x92), Record(16, 16), Record(24, 24, 3, 48000, 0x164)},
         {{16, 1}}},
        {{Record(32, 20), Record(32, 32, 3, 48000, 0x4C54)}, {{18, 0}}},
    };
    for (const auto& [formats, maps] : rows)
    {
        TwoEngineRig rig;
        ASSERT_TRUE(rig.ok);
        rig.render->Formats = rig.capture->Formats = formats;
        CAsioRings& rings = rig.Adapter()->GetAsioSession().Rings();
        for (ULONG type : {16u, 17u, 18u, 24u, 25u, 26u, 27u})
        {
            SCOPED_TRACE(testing::Message() << "type " << type << " of " << formats.size());
            EXPECT_EQ(maps.contains(type) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL,
                      rig.Asio()->AsioSetSampleType(&rig.file, type));
            if (!maps.contains(type))
                continue;
            ASSERT_EQ(STATUS_SUCCESS, rig.Map({0, 0, 1, 0}));
            for (ULONG ring : {0u, 1u})
            {
                WAVEFORMATEXTENSIBLE f = {};
                ASSERT_EQ(STATUS_SUCCESS,
                          rings.AsioSelectStreamFormat(ring, rings.GetSettings(), &f));
                EXPECT_EQ(0, memcmp(&formats[maps.at(type)], &f, sizeof(f))) << ring;
            }
            ASSERT_EQ(STATUS_SUCCESS, rig.Asio()->AsioUnmapSharedBuffer(&rig.file));
        }
    }
}
} // namespace
