// Every request of the unit, terminal and clock table as the simulated
// devices see it (their request log, byte for byte), with the values the
// driver makes of the replies and the channel rule.
#include <gtest/gtest.h>

#include "sim/devices/sim_vendor_presets.h"
#include "tests/usbaudio/usbaudio_doubles.h"
#include "audioclass/requests/feature_unit_requests.h"

namespace
{
using Rows = std::vector<std::string>;
constexpr auto V1 = AudioClassVersion::Uac1;
constexpr auto V2 = AudioClassVersion::Uac2;

// The adapter and a device object on a simulated device; requests go through
// the device object's owner as the units' do.
class RequestRig
{
  public:
    explicit RequestRig(std::unique_ptr<SimUsbDevice> device) : m_Rig(std::move(device))
    {
        Walk() = WalkScript();
        UseDeviceClasses(true);
        m_Ok = m_Rig.Ok() && m_Rig.Start() == STATUS_SUCCESS;
        if (m_Ok)
            m_Rig.Device()->ClearLog();
    }
    explicit RequestRig(SimReference which) : RequestRig(SimCreateReferenceDevice(which)) {}
    bool Ok() const { return m_Ok; }
    PUNKNOWN Owner() const { return static_cast<IAdapterCommon*>(DeviceOf(m_Rig)); }
    SimUsbDevice& Device() { return *m_Rig.Device(); }
    // The log since the last call.
    Rows Take()
    {
        Rows rows = Device().LogText();
        Device().ClearLog();
        return rows;
    }
    // A class-specific AudioControl descriptor of the device.
    std::vector<UCHAR> Entity(UCHAR subtype, UCHAR id) const
    {
        const auto& c = m_Rig.Device()->Descriptors().Configuration();
        for (size_t pos = 0; pos + 3 < c.size() && c[pos] >= 2; pos += c[pos])
            if (c[pos + 1] == USB_AUDIO_CS_INTERFACE && c[pos + 2] == subtype && c[pos + 3] == id)
                return std::vector<UCHAR>(c.begin() + pos, c.begin() + pos + c[pos]);
        return {};
    }

  private:
    UsbAdapterRig m_Rig;
    bool m_Ok = false;
};

constexpr UCHAR kMute = 1, kVolume = 2, kBass = 3;
} // namespace

// Class 1.0 feature unit: GET_CUR/SET_CUR with the level conversions, the
// three range requests in order, and the channel numbers.
TEST(UnitRequests, Uac1FeatureUnit)
{
    RequestRig rig(SimReference::Uac1SpeakerMic);
    ASSERT_TRUE(rig.Ok());
    const auto descriptor = rig.Entity(0x06, SimRef1::FeaturePlay);
    CFeatureUnitRequests unit(rig.Owner(), V1, descriptor.data(), (ULONG)descriptor.size());
    UCHAR on = 0xEE;
    EXPECT_EQ(STATUS_SUCCESS, unit.SetBoolean(kMute, 0, 1, 1));
    EXPECT_EQ(STATUS_SUCCESS, unit.GetBoolean(kMute, 0, 1, &on));
    EXPECT_EQ(1, on);
    LONG level = 0;
    EXPECT_EQ(STATUS_SUCCESS, unit.GetLevel(kVolume, 0, 2, &level));
    EXPECT_EQ(-10 * 65536, level);
    EXPECT_EQ(STATUS_SUCCESS, unit.SetLevel(kVolume, 1, 2, -24 * 65536));
    EXPECT_EQ(STATUS_SUCCESS, unit.SetLevel(kVolume, 1, 2, (LONG)0x80000000));
    LONG maximum = 1, minimum = 1, resolution = 1;
    EXPECT_EQ(STATUS_SUCCESS, unit.GetLevelRange(kVolume, 2, &maximum, &minimum, &resolution));
    EXPECT_EQ(0, maximum);
    EXPECT_EQ(-60 * 65536, minimum);
    EXPECT_EQ(32768, resolution);
    EXPECT_EQ((Rows{"21 01 0100 0200 0001 < 01", "A1 81 0100 0200 0001 > 01",
                    "A1 81 0201 0200 0002 > 00 F6", "21 01 0202 0200 0002 < 00 E8",
                    "21 01 0202 0200 0002 < 00 80", "A1 83 0201 0200 0002 > 00 00",
                    "A1 82 0201 0200 0002 > 00 C4", "A1 84 0201 0200 0002 > 80 00"}),
              rig.Take());

    // The channel rule refuses before anything is sent: an index at the
    // count, mute on a logical channel, a get without a buffer.
    EXPECT_EQ(STATUS_INVALID_PARAMETER, unit.GetLevel(kVolume, 2, 2, &level));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, unit.GetBoolean(kMute, 0, 2, &on));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, unit.GetBoolean(kMute, 0, 1, nullptr));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, unit.SetLevel(kBass, 0, 1, 0));
    EXPECT_TRUE(rig.Take().empty());
    // One channel reported but the control sits on channel 1: the retry.
    EXPECT_EQ(STATUS_SUCCESS, unit.GetLevel(kVolume, 0, 1, &level));
    EXPECT_EQ(Rows{"A1 81 0201 0200 0002 > 00 F6"}, rig.Take());
    // A refused request returns its status and leaves the output alone.
    rig.Device().InjectControlFault({0xA1, 0x81, -1, -1}, SimFaultKind::Stall);
    level = 77;
    EXPECT_FALSE(NT_SUCCESS(unit.GetLevel(kVolume, 0, 2, &level)));
    EXPECT_EQ(77, level);
    // A reply shorter than the level is a failure, not a half value.
    rig.Device().InjectControlFault({0xA1, 0x81, -1, -1}, SimFaultKind::ShortRead, 1, 0, 1);
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, unit.GetLevel(kVolume, 0, 2, &level));
    EXPECT_EQ(77, level);
    // The range stops at its first failing request; refused, it is as
    // unusable as a short one.
    rig.Take();
    rig.Device().InjectControlFault({0xA1, 0x82, -1, -1}, SimFaultKind::Stall);
    maximum = 5;
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR,
              unit.GetLevelRange(kVolume, 2, &maximum, &minimum, &resolution));
    EXPECT_EQ(5, maximum);
    EXPECT_EQ(2u, rig.Take().size());
}

// Channels 5 and 6 of a class 1.0 unit are sent as 7 and 8 and back; the
// range goes to the first channel with the control, unswapped.
TEST(UnitRequests, Uac1ChannelSwap)
{
    RequestRig rig(SimReference::Uac1Surround71);
    ASSERT_TRUE(rig.Ok());
    // Feature unit 4, one-byte bitmaps: volume on channels 1 to 8.
    std::vector<UCHAR> d = {16, 0x24, 0x06, SimRef2::FeaturePlay, 1, 1, 0};
    for (int c = 0; c < 8; ++c)
        d.push_back(0x02);
    d.push_back(0);
    CFeatureUnitRequests unit(rig.Owner(), V1, d.data(), (ULONG)d.size());
    const UCHAR wire[8] = {1, 2, 3, 4, 7, 8, 5, 6};
    for (ULONG index = 0; index < 8; ++index)
    {
        UCHAR channel = 0;
        ASSERT_EQ(STATUS_SUCCESS, unit.ChannelFor(kVolume, index, 8, false, &channel));
        EXPECT_EQ(wire[index], channel) << index;
        LONG level = 0;
        unit.GetLevel(kVolume, index, 8, &level);
        char row[32];
        snprintf(row, sizeof(row), "A1 81 02%02X 0400 0002", wire[index]);
        EXPECT_EQ(0u, rig.Take().at(0).rfind(row, 0)) << index;
    }
    EXPECT_EQ(1, unit.RangeChannelFor(kVolume, 8));
    EXPECT_EQ(0, unit.RangeChannelFor(kMute, 8));
    // Volume only from channel 6 on: the range asks channel 6, not 8.
    for (int c = 0; c < 5; ++c)
        d[7 + c] = 0;
    CFeatureUnitRequests late(rig.Owner(), V1, d.data(), (ULONG)d.size());
    EXPECT_EQ(6, late.RangeChannelFor(kVolume, 8));
}

// Units of fewer than eight logical channels have no channel 7 or 8: every
// channel goes out as itself.
TEST(UnitRequests, Uac1NoSwapBelowEightChannels)
{
    RequestRig rig(SimReference::Uac1Surround71);
    ASSERT_TRUE(rig.Ok());
    for (ULONG channels : {5u, 6u, 7u})
    {
        std::vector<UCHAR> d = {(UCHAR)(8 + channels), 0x24, 0x06, SimRef2::FeaturePlay, 1, 1, 0};
        d.insert(d.end(), channels, 0x02);
        d.push_back(0);
        CFeatureUnitRequests unit(rig.Owner(), V1, d.data(), (ULONG)d.size());
        for (ULONG index = 0; index < channels; ++index)
        {
            UCHAR channel = 0;
            ASSERT_EQ(STATUS_SUCCESS, unit.ChannelFor(kVolume, index, channels, true, &channel));
            EXPECT_EQ(index + 1, channel) << channels << " channels, index " << index;
        }
    }
}

// The class 1.0 pseudo-control table (GET_MEM of its length, then of the
// table) and the device's own selectors, sent as vendor requests.
TEST(UnitRequests, Uac1PseudoControls)
{
    RequestRig rig(SimReference::Uac1SpeakerMic);
    ASSERT_TRUE(rig.Ok());
    SimControlValue onOff;
    SimPresetPseudoControls(rig.Device(), SimRef1::FeaturePlay, {0x0001, 0x0000, 0x0002},
                            {{0x81, onOff}, {0x82, onOff}});
    rig.Take();
    const auto descriptor = rig.Entity(0x06, SimRef1::FeaturePlay);
    CFeatureUnitRequests unit(rig.Owner(), V1, descriptor.data(), (ULONG)descriptor.size());
    UCHAR value = 0;
    // Without the table no pseudo selector exists.
    EXPECT_EQ(STATUS_INVALID_PARAMETER, unit.GetBoolean(0x81, 0, 1, &value));
    ASSERT_EQ(STATUS_SUCCESS, unit.ReadPseudoControlTable());
    EXPECT_TRUE(unit.HasPseudoControlTable());
    const Rows table = rig.Take();
    ASSERT_EQ(2u, table.size());
    EXPECT_EQ("A1 85 0010 0200 0002 > 19 00", table[0]);
    EXPECT_EQ(0u, table[1].rfind("A1 85 0000 0200 0019 > ", 0));
    EXPECT_EQ(STATUS_SUCCESS, unit.SetBoolean(0x81, 0, 1, 1));
    EXPECT_EQ(STATUS_SUCCESS, unit.GetBoolean(0x81, 0, 1, &value));
    EXPECT_EQ(1, value);
    // 0x82 on channel 2 of two.
    EXPECT_EQ(STATUS_SUCCESS, unit.GetBoolean(0x82, 1, 2, &value));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, unit.GetBoolean(0x82, 0, 2, &value));
    EXPECT_EQ((Rows{"41 01 8100 0200 0001 < 01", "C1 81 8100 0200 0001 > 01",
                    "C1 81 8202 0200 0001 > 00"}),
              rig.Take());
}

// A table length below the table's header is no table, and no table is
// asked for; a refused length request is returned.
TEST(UnitRequests, PseudoControlTableLengths)
{
    RequestRig rig(SimReference::Uac1SpeakerMic);
    ASSERT_TRUE(rig.Ok());
    const auto descriptor = rig.Entity(0x06, SimRef1::FeaturePlay);
    {
        rig.Device().ScriptRequest({0xA1, 0x85, 0x0010, 0x0200}, {17, 0});
        CFeatureUnitRequests unit(rig.Owner(), V1, descriptor.data(), (ULONG)descriptor.size());
        EXPECT_EQ(STATUS_SUCCESS, unit.ReadPseudoControlTable());
        EXPECT_FALSE(unit.HasPseudoControlTable());
        EXPECT_EQ(Rows{"A1 85 0010 0200 0002 > 11 00"}, rig.Take());
    }
    {
        rig.Device().ScriptRequest({0xA1, 0x85, 0x0010, 0x0200}, {}, true);
        CFeatureUnitRequests unit(rig.Owner(), V1, descriptor.data(), (ULONG)descriptor.size());
        EXPECT_FALSE(NT_SUCCESS(unit.ReadPseudoControlTable()));
        EXPECT_FALSE(unit.HasPseudoControlTable());
    }
}

// Class 2.0 feature unit: CUR and one RANGE request; a range of two
// subranges is refused.
TEST(UnitRequests, Uac2FeatureUnit)
{
    RequestRig rig(SimReference::Uac2HighSpeed);
    ASSERT_TRUE(rig.Ok());
    const auto descriptor = rig.Entity(0x06, SimRef3::FeaturePlay);
    CFeatureUnitRequests unit(rig.Owner(), V2, descriptor.data(), (ULONG)descriptor.size());
    UCHAR on = 0;
    EXPECT_EQ(STATUS_SUCCESS, unit.SetBoolean(kMute, 0, 1, 1));
    EXPECT_EQ(STATUS_SUCCESS, unit.GetBoolean(kMute, 0, 1, &on));
    LONG level = 0;
    EXPECT_EQ(STATUS_SUCCESS, unit.SetLevel(kVolume, 1, 2, -3 * 65536));
    EXPECT_EQ(STATUS_SUCCESS, unit.GetLevel(kVolume, 1, 2, &level));
    EXPECT_EQ(-3 * 65536, level);
    LONG maximum = 1, minimum = 1, resolution = 1;
    EXPECT_EQ(STATUS_SUCCESS, unit.GetLevelRange(kVolume, 2, &maximum, &minimum, &resolution));
    EXPECT_EQ(0, maximum);
    EXPECT_EQ(-60 * 65536, minimum);
    EXPECT_EQ(32768, resolution);
    EXPECT_EQ((Rows{"21 01 0100 0200 0001 < 01", "A1 01 0100 0200 0001 > 01",
                    "21 01 0202 0200 0002 < 00 FD", "A1 01 0202 0200 0002 > 00 FD",
                    "A1 02 0201 0200 0008 > 01 00 00 C4 00 00 80 00"}),
              rig.Take());
    rig.Device().ScriptRequest({0xA1, 0x02, 0x0201, 0x0200}, {2, 0, 0, 0xC4, 0, 0, 0x80, 0});
    maximum = 9;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, unit.GetLevelRange(kVolume, 2, &maximum, &minimum, &resolution));
    EXPECT_EQ(9, maximum);
    rig.Device().InjectControlFault({0xA1, 0x02, 0x0201, 0x0200}, SimFaultKind::Stall);
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR,
              unit.GetLevelRange(kVolume, 2, &maximum, &minimum, &resolution));
    // A one-byte tone level asks for the five-byte block.
    unit.GetLevelRange(kBass, 1, &maximum, &minimum, &resolution);
    EXPECT_EQ(0u, rig.Take().back().rfind("A1 02 0300 0200 0005", 0));
}

// Class 2.0 pseudo controls: the readable bit for a get, the writable one
// for a set, and no retry on the next channel.
TEST(UnitRequests, Uac2PseudoControls)
{
    RequestRig rig(SimReference::Uac2HighSpeed);
    ASSERT_TRUE(rig.Ok());
    SimControlValue onOff;
    // 0x81: readable only on the master, readable and writable on channel 1.
    SimPresetPseudoControls(rig.Device(), SimRef3::FeaturePlay, {0x1, 0x3}, {{0x81, onOff}});
    rig.Take();
    const auto descriptor = rig.Entity(0x06, SimRef3::FeaturePlay);
    CFeatureUnitRequests unit(rig.Owner(), V2, descriptor.data(), (ULONG)descriptor.size());
    ASSERT_EQ(STATUS_SUCCESS, unit.ReadPseudoControlTable());
    EXPECT_EQ((Rows{"A1 03 0010 0200 0002 > 1A 00"}), Rows{rig.Take().at(0)});
    UCHAR channel = 0;
    EXPECT_EQ(STATUS_SUCCESS, unit.ChannelFor(0x81, 0, 1, false, &channel));
    EXPECT_EQ(0, channel);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, unit.ChannelFor(0x81, 0, 1, true, &channel));
    EXPECT_EQ(STATUS_SUCCESS, unit.ChannelFor(0x81, 0, 2, true, &channel));
    EXPECT_EQ(1, channel);
    EXPECT_EQ(STATUS_SUCCESS, unit.SetBoolean(0x81, 0, 2, 1));
    EXPECT_EQ(Rows{"21 01 8101 0200 0001 < 01"}, rig.Take());
}

TEST(UnitRequests, Uac2ClockSource)
{
    RequestRig rig(SimReference::Uac2HighSpeed);
    ASSERT_TRUE(rig.Ok());
    CEntityRequests clock(rig.Owner(), V2, SimRef3::Clock);
    ULONG hz = 0, count = 0;
    EXPECT_EQ(STATUS_SUCCESS, clock.GetFrequency(&hz));
    EXPECT_EQ(44100u, hz);
    EXPECT_EQ(STATUS_SUCCESS, clock.SetFrequency(96000));
    EXPECT_EQ(STATUS_SUCCESS, clock.GetFrequencyCount(&count));
    EXPECT_EQ(6u, count);
    ULONG rates[6] = {};
    EXPECT_EQ(STATUS_SUCCESS, clock.GetFrequencyList(count, rates));
    const ULONG expected[6] = {44100, 48000, 88200, 96000, 176400, 192000};
    EXPECT_EQ(0, memcmp(expected, rates, sizeof(rates)));
    UCHAR valid = 0;
    EXPECT_EQ(STATUS_SUCCESS, clock.GetClockValid(&valid));
    EXPECT_EQ(1, valid);
    const Rows rows = rig.Take();
    ASSERT_EQ(5u, rows.size());
    EXPECT_EQ("A1 01 0100 1000 0004 > 44 AC 00 00", rows[0]);
    EXPECT_EQ("21 01 0100 1000 0004 < 00 77 01 00", rows[1]);
    EXPECT_EQ(0u, rows[2].rfind("A1 02 0100 1000 000E > 06 00", 0));
    EXPECT_EQ(0u, rows[3].rfind("A1 02 0100 1000 004A > 06 00", 0));
    EXPECT_EQ("A1 01 0200 1000 0001 > 01", rows[4]);
    // The count reads two of the fourteen bytes: one byte is a failure.
    rig.Device().InjectControlFault({0xA1, 0x02, 0x0100, -1}, SimFaultKind::ShortRead, 1, 0, 1);
    count = 5;
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, clock.GetFrequencyCount(&count));
    EXPECT_EQ(5u, count);
    // A subrange that is a span, not a rate.
    std::vector<UCHAR> span = {1, 0, 0x40, 0x1F, 0, 0, 0x80, 0xBB, 0, 0, 0, 0, 0, 0};
    rig.Device().ScriptRequest({0xA1, 0x02, 0x0100, 0x1000}, span);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, clock.GetFrequencyList(1, rates));
    // A class 1.0 entity has no clock requests.
    CEntityRequests old(rig.Owner(), V1, SimRef3::Clock);
    rig.Take();
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, old.GetFrequency(&hz));
    EXPECT_TRUE(rig.Take().empty());
}

TEST(UnitRequests, SelectorUnits)
{
    RequestRig rig(SimReference::Uac1Surround71);
    ASSERT_TRUE(rig.Ok());
    CEntityRequests selector(rig.Owner(), V1, SimRef2::Selector);
    UCHAR input = 0;
    EXPECT_EQ(STATUS_SUCCESS, selector.GetCurrentInput(&input));
    EXPECT_EQ(1, input);
    EXPECT_EQ(STATUS_SUCCESS, selector.SelectInput(2));
    EXPECT_EQ((Rows{"A1 81 0000 0700 0001 > 01", "21 01 0000 0700 0001 < 02"}), rig.Take());
    // Class 2.0 uses the CUR request with selector 1.
    CEntityRequests(rig.Owner(), V2, SimRef2::Selector).SelectInput(1);
    EXPECT_EQ(0u, rig.Take().at(0).rfind("21 01 0100 0700 0001 < 01", 0));
}

// Class 2.0 terminals: connector, jacks and output types as class requests.
TEST(UnitRequests, Uac2Terminals)
{
    RequestRig rig(SimReference::Uac2Spdif);
    ASSERT_TRUE(rig.Ok());
    CEntityRequests hp(rig.Owner(), V2, SimRef4::Headphones);
    ULONG channels = 0, jacks = 0, types = 0, built = 0, read = 0;
    EXPECT_EQ(STATUS_SUCCESS, hp.GetConnectionState(&channels));
    EXPECT_EQ(3u, channels);
    EXPECT_EQ(STATUS_SUCCESS, hp.GetJackCount(&jacks));
    ASSERT_EQ(1u, jacks);
    JackRecord records[1];
    EXPECT_EQ(STATUS_SUCCESS, hp.GetJacks(jacks, records, &built));
    ASSERT_EQ(1u, built);
    const ULONG jack[9] = {3, 0x00FF00, 1, 1, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, memcmp(jack, records, 36));
    EXPECT_EQ(STATUS_SUCCESS, hp.GetTypeCount(&types));
    ASSERT_EQ(1u, types);
    USHORT list[5] = {};
    EXPECT_EQ(STATUS_SUCCESS, hp.GetTypes(types, list, &read));
    EXPECT_EQ(1u, read);
    EXPECT_EQ(0x0302, list[0]);
    USHORT current = 0;
    EXPECT_EQ(STATUS_SUCCESS, hp.GetCurrentType(&current));
    EXPECT_EQ(0x0302, current);
    EXPECT_EQ(STATUS_SUCCESS, hp.SelectType(0x0302));
    EXPECT_EQ(
        (Rows{"A1 01 0200 0500 0006 > 02 03 00 00 00 00",
              "A1 01 02FF 0500 0009 > 01 03 00 00 00 00 40 01 01",
              "A1 01 02FF 0500 0009 > 01 03 00 00 00 00 40 01 01", "A1 02 0800 0500 0002 > 01 00",
              "A1 02 0800 0500 0008 > 01 00 02 03 02 03 00 00", "A1 01 0800 0500 0002 > 02 03",
              "21 01 0800 0500 0002 < 02 03"}),
        rig.Take());
}

// A type count above five is refused before any request; the jack count
// reads one of its nine bytes and needs that one.
TEST(UnitRequests, TerminalCountsFromTheDevice)
{
    RequestRig rig(SimReference::Uac2Spdif);
    ASSERT_TRUE(rig.Ok());
    CEntityRequests hp(rig.Owner(), V2, SimRef4::Headphones);
    USHORT list[8] = {};
    ULONG read = 9;
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, hp.GetTypes(6, list, &read));
    EXPECT_EQ(0u, read);
    // Five asked for (32 bytes), one answered: short of what is read.
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, hp.GetTypes(5, list, &read));
    EXPECT_EQ(0u, rig.Take().at(0).rfind("A1 02 0800 0500 0020 > 01 00 02 03 02 03 00 00", 0));
    ULONG jacks = 7;
    rig.Device().ScriptRequest({0xA1, 0x01, 0x02FF, 0x0500}, {2});
    EXPECT_EQ(STATUS_SUCCESS, hp.GetJackCount(&jacks));
    EXPECT_EQ(2u, jacks);
    rig.Device().InjectControlFault({0xA1, 0x01, 0x02FF, 0x0500}, SimFaultKind::ShortRead, 1, 0, 0);
    jacks = 7;
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, hp.GetJackCount(&jacks));
    EXPECT_EQ(7u, jacks);
    // A jack list shorter than its count says is a failure.
    rig.Device().ScriptRequest({0xA1, 0x01, 0x02FF, 0x0500}, {2, 1, 0, 0, 0, 0, 0, 0, 0});
    JackRecord records[2];
    ULONG built = 5;
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, hp.GetJacks(2, records, &built));
    EXPECT_EQ(0u, built);
}

// Class 1.0 terminals: the device's own vendor requests.
TEST(UnitRequests, Uac1Terminals)
{
    RequestRig rig(SimReference::Uac1SpeakerMic);
    ASSERT_TRUE(rig.Ok());
    SimPresetOutputTypes(rig.Device(), SimRef1::Speaker, {0x0301, 0x0302},
                         {{{0x3, 0x00004000}}, {{0x3, 0x01015100}}});
    rig.Take();
    CEntityRequests speaker(rig.Owner(), V1, SimRef1::Speaker);
    ULONG types = 0, read = 0, jacks = 0, built = 0, channels = 0;
    USHORT list[5] = {};
    EXPECT_EQ(STATUS_SUCCESS, speaker.GetTypeCount(&types));
    EXPECT_EQ(2u, types);
    EXPECT_EQ(STATUS_SUCCESS, speaker.GetTypes(types, list, &read));
    EXPECT_EQ(0x0301, list[0]);
    EXPECT_EQ(0x0302, list[1]);
    EXPECT_EQ(STATUS_SUCCESS, speaker.SelectType(0x0302));
    USHORT current = 0;
    EXPECT_EQ(STATUS_SUCCESS, speaker.GetCurrentType(&current));
    EXPECT_EQ(0x0302, current);
    EXPECT_EQ(STATUS_SUCCESS, speaker.GetJackCount(&jacks));
    ASSERT_EQ(1u, jacks);
    JackRecord record;
    EXPECT_EQ(STATUS_SUCCESS, speaker.GetJacks(jacks, &record, &built));
    // No presence detection: connected, and the ninth word of class 1.0 is 0.
    const ULONG expected[9] = {3, 0xFF0000, 1, 1, 0, 0, 0, 1, 0};
    EXPECT_EQ(0, memcmp(expected, &record, 36));
    speaker.GetConnectionState(&channels);
    const Rows rows = rig.Take();
    ASSERT_EQ(7u, rows.size());
    const char* heads[7] = {"C1 86 0800 0300 0002",         "C1 86 0800 0300 000E",
                            "41 81 0800 0300 0002 < 02 03", "C1 81 0800 0300 0002",
                            "C1 81 02FF 0300 0009",         "C1 81 02FF 0300 0009",
                            "C1 81 0200 0300 0006"};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(0u, rows[i].rfind(heads[i], 0)) << rows[i];
}