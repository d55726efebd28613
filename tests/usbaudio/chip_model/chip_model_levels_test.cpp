// The level rules of the chip models' reduced feature units, each against
// the values worked out from the chip's own scale, every step of each range
// set and read back, and the units on the model A and B devices: clamping
// into the range, silence, the master-only on/off values, the chip's
// channel count and the unit without mute.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/kernel/emu.h"
#include "sim/devices/sim_chip_model_devices.h"
#include "tests/usbaudio/usbaudio_doubles.h"
#include "usbaudio/chip_model/feature_unit.h"

namespace
{
constexpr double kDb = 65536.0;
constexpr LONG kSilence = (LONG)0x80000000;

LONG Db(double db)
{
    return (LONG)std::llround(db * kDb);
}

struct RawCase
{
    const ChipLevelRule* Rule;
    SHORT Raw;
    double Db;
};

// A started device of a model, and its units by id.
struct ChipDevice
{
    explicit ChipDevice(SimChipModel model, const std::vector<UCHAR>* configuration = nullptr)
        : Rig(SimCreateChipModelDevice(model, {}, 0x4C54, configuration))
    {
        UseDeviceClasses(false);
        Status = Rig.Start();
    }
    template <typename T> T* Unit(ULONG id, REFIID iid)
    {
        CAudioControl* unit = nullptr;
        T* answer = nullptr;
        CUsbAudioDevice* device = DeviceOf(Rig);
        if (device != nullptr && NT_SUCCESS(device->FindUnitByIdInDevice(id, &unit)))
            unit->QueryInterface(iid, (PVOID*)&answer);
        if (answer != nullptr)
            answer->Release(); // the device holds the unit
        return answer;
    }
    PUNITRANGEDREQUESTS Levels(ULONG id)
    {
        return Unit<IUnitRangedRequests>(id, IID_IUnitRangedRequests);
    }
    // The requests the device saw from `from` on, as text.
    std::vector<std::string> Requests(size_t from) const
    {
        std::vector<std::string> seen;
        for (size_t i = from; i < Rig.Device()->Log().size(); ++i)
            seen.push_back(Rig.Device()->Log()[i].Text());
        return seen;
    }
    UsbAdapterRig Rig;
    NTSTATUS Status = STATUS_UNSUCCESSFUL;
};
} // namespace

// Raw device values read as the chip's scale says: model A's step table
// (the level of the step above the first step the value lies below, the
// value itself beyond the last step), (s + 4) x 1.5 dB, model B's whole dB
// from -16 in steps of 192, 1.5 dB from 3456 in steps of 384, 1/256 dB.
TEST(ChipModelLevels, RawValuesReadOnEachChipScale)
{
    const RawCase cases[] = {
        {&CHIP_LEVEL_A9, 0, 0.0},
        {&CHIP_LEVEL_A9, -1, 0.0},
        {&CHIP_LEVEL_A9, -255, 0.0},
        {&CHIP_LEVEL_A9, -256, -192 / 256.0},
        {&CHIP_LEVEL_A9, -257, -192 / 256.0},
        {&CHIP_LEVEL_A9, -512, -256 / 256.0},
        {&CHIP_LEVEL_A9, -8960, -6707 / 256.0},
        {&CHIP_LEVEL_A9, -9216, -8294 / 256.0},
        {&CHIP_LEVEL_A9, -9217, -8294 / 256.0},
        {&CHIP_LEVEL_A9, -9472, -37.0},
        {&CHIP_LEVEL_A9, -9473, -9473 / 256.0},
        {&CHIP_LEVEL_A13, 0x0B00, 22.5},
        {&CHIP_LEVEL_A13, 0x0BFF, 22.5},
        {&CHIP_LEVEL_A13, 0, 6.0},
        {&CHIP_LEVEL_A13, -1, 4.5},
        {&CHIP_LEVEL_A13, -28 * 256, -36.0},
        {&CHIP_LEVEL_A10, 3 * 256, 33.0},
        {&CHIP_LEVEL_A10, -23 * 256, -6.0},
        {&CHIP_LEVEL_A10, -15 * 256, 6.0},
        {&CHIP_LEVEL_B13, -976, -5.0},
        {&CHIP_LEVEL_B13, -16, 0.0},
        {&CHIP_LEVEL_B13, -17, 0.0},
        {&CHIP_LEVEL_B13, -208, -1.0},
        {&CHIP_LEVEL_B13, -7120, -37.0},
        {&CHIP_LEVEL_B10, 0, -13.5},
        {&CHIP_LEVEL_B10, 3456, 0.0},
        {&CHIP_LEVEL_B10, 3455, 0.0},
        {&CHIP_LEVEL_B10, 3072, -1.5},
        {&CHIP_LEVEL_B10, 5760, 9.0},
        {&CHIP_LEVEL_B9, 256, 1.0},
        {&CHIP_LEVEL_B9, -384, -1.5},
        {&CHIP_LEVEL_B9, 5760, 22.5},
    };
    for (const RawCase& c : cases)
        EXPECT_EQ(Db(c.Db), c.Rule->FromDevice(c.Raw)) << c.Rule->ClassName << " raw " << c.Raw;
}

// Levels go to the device on the same scales: +22.5 dB is step 11 of unit
// 13 (0x0B00), -5 dB on model B's unit 13 is -16 - 960; values between
// steps go to the step nearer 0 dB (toward the range's top for model A's
// table), and the range's ends to its end steps.
TEST(ChipModelLevels, LevelsGoToTheDeviceOnEachChipScale)
{
    const RawCase cases[] = {
        {&CHIP_LEVEL_A13, 0x0B00, 22.5},
        {&CHIP_LEVEL_A13, 0x0A00, 22.5 - 1 / kDb},
        {&CHIP_LEVEL_A13, -28 * 256, -36.0},
        {&CHIP_LEVEL_A13, 0, 6.0},
        {&CHIP_LEVEL_A10, 3 * 256, 33.0},
        {&CHIP_LEVEL_A10, -23 * 256, -6.0},
        {&CHIP_LEVEL_A10, 0, 28.5},
        {&CHIP_LEVEL_A9, 0, 0.0},
        {&CHIP_LEVEL_A9, -256, -0.75},
        {&CHIP_LEVEL_A9, -512, -0.76},
        {&CHIP_LEVEL_A9, -8960, -6707 / 256.0},
        {&CHIP_LEVEL_A9, -9216, -8294 / 256.0},
        {&CHIP_LEVEL_A9, -9472, -33.0},
        {&CHIP_LEVEL_B13, -976, -5.0},
        {&CHIP_LEVEL_B13, -976, -5.5},
        {&CHIP_LEVEL_B13, -16, 0.0},
        {&CHIP_LEVEL_B13, -7120, -37.0},
        {&CHIP_LEVEL_B10, 0, -13.5},
        {&CHIP_LEVEL_B10, 3456, 0.0},
        {&CHIP_LEVEL_B10, 5760, 9.0},
        {&CHIP_LEVEL_B10, 5760, 0x00090001 / kDb},
        {&CHIP_LEVEL_B9, 5760, 22.5},
        {&CHIP_LEVEL_B9, 0, 0.0},
    };
    for (const RawCase& c : cases)
        EXPECT_EQ(c.Raw, c.Rule->ToDevice(Db(c.Db))) << c.Rule->ClassName << " " << c.Db << " dB";
}

// Every value of each range's grid (minimum + k x resolution) reads back as
// it was set; model A's table, every row but the last, likewise.
TEST(ChipModelLevels, EveryStepOfEachRangeReadsBackAsSet)
{
    for (const ChipLevelRule* rule :
         {&CHIP_LEVEL_A10, &CHIP_LEVEL_A13, &CHIP_LEVEL_B9, &CHIP_LEVEL_B10, &CHIP_LEVEL_B13})
    {
        ULONG steps = 0;
        for (LONG v = rule->Minimum; v <= rule->Maximum; v += rule->Resolution, ++steps)
            ASSERT_EQ(v, rule->FromDevice(rule->ToDevice(v))) << rule->ClassName << " " << v;
        EXPECT_GE(steps, 10u) << rule->ClassName;
    }
    const SHORT systemColumn[] = {
        0,     -192,  -256,  -320,  -386,  -455,  -527,  -599,  -676,  -752,  -835,  -916,  -1006,
        -1096, -1193, -1290, -1395, -1503, -1618, -1736, -1866, -1999, -2145, -2296, -2465, -2637,
        -2816, -3046, -3277, -3533, -3840, -4198, -4582, -5120, -5767, -6707, -8294};
    for (SHORT row : systemColumn)
        EXPECT_EQ(row * 256, CHIP_LEVEL_A9.FromDevice(CHIP_LEVEL_A9.ToDevice(row * 256))) << row;
}

// The chip counts bitmaps from bLength - 6: with 1-byte bitmaps the
// iFeature byte is one more channel (still inside the descriptor); too
// short a descriptor or bControlSize 0 has none.
TEST(ChipModelLevels, ChannelsCountedFromTheChipsBitmapLength)
{
    struct Case
    {
        std::vector<UCHAR> Descriptor;
        ULONG Channels;
        bool ThirdHasVolume;
    } cases[] = {
        {{0x0A, 0x24, 0x06, 0x09, 0x01, 0x01, 0x01, 0x02, 0x02, 0x00}, 3, false},
        {{0x0A, 0x24, 0x06, 0x09, 0x01, 0x01, 0x01, 0x02, 0x02, 0x02}, 3, true},
        {{0x0D, 0x24, 0x06, 0x09, 0x01, 0x02, 0x01, 0x00, 0x02, 0x00, 0x02, 0x00, 0x00}, 2, false},
        {{0x07, 0x24, 0x06, 0x09, 0x01, 0x01, 0x01}, 0, false},
        {{0x06, 0x24, 0x06, 0x09, 0x01, 0x01}, 0, false},
        {{0x08, 0x24, 0x06, 0x09, 0x01, 0x00, 0x01, 0x00}, 0, false},
    };
    for (const Case& c : cases)
    {
        const ChipModelBitmaps bitmaps(c.Descriptor.data(), (ULONG)c.Descriptor.size());
        EXPECT_EQ(c.Channels, bitmaps.LogicalChannels()) << (int)c.Descriptor[0];
        EXPECT_EQ(c.ThirdHasVolume, bitmaps.Has(2, 3)) << (int)c.Descriptor[0];
        EXPECT_FALSE(bitmaps.Has(2, c.Channels + 1));
    }
}

// On the model A device: the ranges are the chip's, sets beyond them go out
// as the range's end step, silence is 0x8000 both ways, and on/off values
// exist for the master channel only (no request for another channel).
TEST(ChipModelLevels, UnitsOnTheModelADevice)
{
    ChipDevice a(SimChipModel::A);
    ASSERT_EQ(STATUS_SUCCESS, a.Status);
    struct Range
    {
        ULONG Unit;
        double Max, Min, Res;
    } ranges[] = {{9, 0, -33, 0.125}, {10, 33, -6, 1.5}, {13, 22.5, -36, 1.5}};
    for (const Range& r : ranges)
    {
        LONG max = 0, min = 0, res = 0;
        ASSERT_EQ(STATUS_SUCCESS, a.Levels(r.Unit)->GetLevelRange(2, &max, &min, &res));
        EXPECT_EQ(Db(r.Max), max) << r.Unit;
        EXPECT_EQ(Db(r.Min), min) << r.Unit;
        EXPECT_EQ(Db(r.Res), res) << r.Unit;
    }
    struct Set
    {
        LONG Level;
        const char* Sent;
    } sets[] = {
        {Db(22.5), "21 01 0201 0D00 0002 < 00 0B"},
        {Db(22.5) + 1, "21 01 0201 0D00 0002 < 00 0B"},
        {Db(40), "21 01 0201 0D00 0002 < 00 0B"},
        {Db(-36), "21 01 0201 0D00 0002 < 00 E4"},
        {Db(-36) - 1, "21 01 0201 0D00 0002 < 00 E4"},
        {kSilence, "21 01 0201 0D00 0002 < 00 80"},
    };
    PUNITRANGEDREQUESTS unit13 = a.Levels(13);
    for (const Set& s : sets)
    {
        const size_t from = a.Rig.Device()->Log().size();
        EXPECT_EQ(STATUS_SUCCESS, unit13->SetLevel(2, 0, s.Level)) << s.Level;
        EXPECT_EQ(std::vector<std::string>{s.Sent}, a.Requests(from)) << s.Level;
    }
    LONG level = 0;
    EXPECT_EQ(STATUS_SUCCESS, unit13->GetLevel(2, 0, &level));
    EXPECT_EQ(kSilence, level);
    // Bass of model A: one byte in 1/4 dB, the device's own range.
    LONG max = 0, min = 0, res = 0;
    EXPECT_EQ(STATUS_SUCCESS, unit13->GetLevelRange(3, &max, &min, &res));
    EXPECT_EQ((std::vector<LONG>{Db(12), Db(-12), Db(1)}), (std::vector<LONG>{max, min, res}));

    PUNITBOOLEANREQUESTS onOff = a.Unit<IUnitBooleanRequests>(13, IID_IUnitBooleanRequests);
    ASSERT_NE(nullptr, onOff);
    ULONG count = 0;
    EXPECT_EQ(STATUS_SUCCESS, onOff->GetBooleanChannels(1, &count));
    EXPECT_EQ(1u, count);
    const size_t from = a.Rig.Device()->Log().size();
    UCHAR value = 0;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, onOff->GetBoolean(1, 1, &value));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, onOff->SetBoolean(1, 1, 1));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, onOff->GetBoolean(1, 0, nullptr));
    EXPECT_TRUE(a.Requests(from).empty());
    EXPECT_EQ(STATUS_SUCCESS, onOff->SetBoolean(1, 0, 1));
    EXPECT_EQ(STATUS_SUCCESS, onOff->GetBoolean(1, 0, &value));
    EXPECT_EQ(1, value);
    EXPECT_EQ((std::vector<std::string>{"21 01 0100 0D00 0001 < 01", "A1 81 0100 0D00 0001 > 01"}),
              a.Requests(from));
}

// Model B's unit 13 takes -5 dB as -976 and reads it back; its unit 10
// clamps below -13.5 dB; channel indexes beyond the unit's are refused.
TEST(ChipModelLevels, UnitsOnTheModelBDevice)
{
    ChipDevice b(SimChipModel::B);
    ASSERT_EQ(STATUS_SUCCESS, b.Status);
    PUNITRANGEDREQUESTS unit13 = b.Levels(13);
    size_t from = b.Rig.Device()->Log().size();
    EXPECT_EQ(STATUS_SUCCESS, unit13->SetLevel(2, 1, Db(-5)));
    LONG level = 0;
    EXPECT_EQ(STATUS_SUCCESS, unit13->GetLevel(2, 1, &level));
    EXPECT_EQ(Db(-5), level);
    EXPECT_EQ(
        (std::vector<std::string>{"21 01 0202 0D00 0002 < 30 FC", "A1 81 0202 0D00 0002 > 30 FC"}),
        b.Requests(from));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, unit13->GetLevel(2, 2, &level));
    PUNITRANGEDREQUESTS unit10 = b.Levels(10);
    from = b.Rig.Device()->Log().size();
    EXPECT_EQ(STATUS_SUCCESS, unit10->SetLevel(2, 0, Db(-14)));
    EXPECT_EQ(std::vector<std::string>{"21 01 0200 0A00 0002 < 00 00"}, b.Requests(from));
    LONG max = 0, min = 0, res = 0;
    EXPECT_EQ(STATUS_SUCCESS, unit10->GetLevelRange(2, &max, &min, &res));
    EXPECT_EQ((std::vector<LONG>{0x00090001, Db(-13.5), Db(1.5)}),
              (std::vector<LONG>{max, min, res}));
}

// A unit whose only volume sits on channel 1 (the master has none) is asked
// there; a unit with no mute on any channel fails the device's start.
TEST(ChipModelLevels, MonoVolumeOnChannelOneAndAUnitWithoutMute)
{
    std::vector<UCHAR> configuration = SimChipModelConfiguration(SimChipModel::A);
    const std::vector<UCHAR> unit10 = {0x09, 0x24, 0x06, 0x0A, 0x04, 0x01, 0x03, 0x00, 0x00};
    auto at = std::search(configuration.begin(), configuration.end(), unit10.begin(), unit10.end());
    ASSERT_NE(configuration.end(), at);
    at[6] = 0x01; // master: mute only
    at[7] = 0x02; // channel 1: volume
    {
        ChipDevice mono(SimChipModel::A, &configuration);
        ASSERT_EQ(STATUS_SUCCESS, mono.Status);
        ULONG count = 0;
        EXPECT_EQ(STATUS_SUCCESS, mono.Levels(10)->GetLevelChannels(2, &count));
        EXPECT_EQ(1u, count);
        const size_t from = mono.Rig.Device()->Log().size();
        LONG level = 0;
        EXPECT_EQ(STATUS_SUCCESS, mono.Levels(10)->GetLevel(2, 0, &level));
        ASSERT_EQ(1u, mono.Requests(from).size());
        EXPECT_EQ(0u, mono.Requests(from)[0].rfind("A1 81 0201 0A00 0002", 0));
    }
    at[6] = 0x02; // master: volume, no mute anywhere
    ChipDevice noMute(SimChipModel::A, &configuration);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, noMute.Status);
}
