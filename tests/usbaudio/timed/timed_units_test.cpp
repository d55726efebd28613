// The timed family's level scaling: the gain and line units' 3/n and 3
// factors, their ranges (the maximum on the scale's step, both ends kept to
// 16 bits, 1.5 dB steps), and the master unit's volume curve with its
// exchanged channels, each read back from the simulated chip.
#include <gtest/gtest.h>

#include "sim/devices/sim_timed_preset.h"
#include "tests/usbaudio/usbaudio_doubles.h"
#include "usbaudio/timed/units.h"
#include "audioclass/controls/volume_arithmetic.h"

namespace
{
constexpr UCHAR kVolume = 2;

struct UnitRig
{
    UnitRig()
    {
        SimTimedDevice timed = SimCreateTimedDevice(SimTimed::Plain, false);
        Rig = std::make_unique<UsbAdapterRig>(std::move(timed.Device));
        UseDeviceClasses(false);
        Status = Rig->Ok() ? Rig->Start() : STATUS_UNSUCCESSFUL;
    }
    PUNITRANGEDREQUESTS Levels(ULONG unit)
    {
        CAudioControl* found = nullptr;
        PUNITRANGEDREQUESTS requests = nullptr;
        if (NT_SUCCESS(DeviceOf(*Rig)->FindUnitByIdInDevice(unit, &found)) &&
            NT_SUCCESS(found->QueryInterface(IID_IUnitRangedRequests, (PVOID*)&requests)))
            requests->Release(); // the device holds the unit
        return requests;
    }
    SimControlValue* Chip(UCHAR unit, UCHAR channel)
    {
        return Rig->Device()->Audio().FindControl(unit, kVolume, channel);
    }
    std::unique_ptr<UsbAdapterRig> Rig;
    NTSTATUS Status;
};
} // namespace

// 3v/n below zero and 3v from zero up, truncated toward zero; minus
// infinity passes both ways.
TEST(TimedUnits, ScaleFactors)
{
    struct Case
    {
        const TimedLevelScale* Scale;
        LONG Device, System;
    } fromDevice[] = {
        {&TIMED_GAIN_SCALE, -3000, -4500}, {&TIMED_GAIN_SCALE, -3001, -4501},
        {&TIMED_GAIN_SCALE, 100, 300},     {&TIMED_GAIN_SCALE, 0, 0},
        {&TIMED_LINE_SCALE, -8, -3},       {&TIMED_LINE_SCALE, -9, -3},
        {&TIMED_LINE_SCALE, -1, 0},        {&TIMED_LINE_SCALE, 7, 21},
    };
    for (const Case& c : fromDevice)
        EXPECT_EQ(c.System, TimedScaleFromDevice(c.Device, *c.Scale)) << c.Device;
    Case toDevice[] = {
        {&TIMED_GAIN_SCALE, -3000, -4500}, {&TIMED_GAIN_SCALE, -3000, -4501},
        {&TIMED_GAIN_SCALE, 100, 300},     {&TIMED_GAIN_SCALE, 100, 302},
        {&TIMED_LINE_SCALE, -8, -3},       {&TIMED_LINE_SCALE, -2, -1},
    };
    for (const Case& c : toDevice)
        EXPECT_EQ(c.Device, TimedScaleToDevice(c.System, *c.Scale)) << c.System;
    for (const TimedLevelScale* scale : {&TIMED_GAIN_SCALE, &TIMED_LINE_SCALE})
    {
        EXPECT_EQ(LEVEL_MINUS_INFINITY, TimedScaleFromDevice(LEVEL_MINUS_INFINITY, *scale));
        EXPECT_EQ(LEVEL_MINUS_INFINITY, TimedScaleToDevice(LEVEL_MINUS_INFINITY, *scale));
    }
}

// The ranges of the microphone's analog unit (gain) and recording unit
// (line) from the chip's raw maximum and minimum.
TEST(TimedUnits, ScaledRanges)
{
    UnitRig rig;
    ASSERT_EQ(STATUS_SUCCESS, rig.Status);
    struct Case
    {
        UCHAR Unit;
        SHORT RawMaximum, RawMinimum;
        LONG Maximum, Minimum;
    } cases[] = {
        {SimTimed::MicAnalog, 0x0123, -0x3C00, 864 * 256, -23040 * 256},
        {SimTimed::MicRec, 0x0123, -0x3C00, 768 * 256, -5760 * 256},
        // 3 x 0x4000 does not fit 16 bits: it wraps to -0x4000.
        {SimTimed::MicAnalog, 0x4000, -0x0100, -0x4000 * 256, -384 * 256},
        {SimTimed::MicRec, 0x00FF, -0x0008, 0, -3 * 256},
    };
    for (const Case& c : cases)
    {
        SimControlValue* chip = rig.Chip(c.Unit, 0);
        ASSERT_NE(nullptr, chip);
        chip->Maximum = c.RawMaximum;
        chip->Minimum = c.RawMinimum;
        LONG maximum = 0, minimum = 0, resolution = 0;
        ASSERT_EQ(STATUS_SUCCESS,
                  rig.Levels(c.Unit)->GetLevelRange(kVolume, &maximum, &minimum, &resolution));
        EXPECT_EQ(c.Maximum, maximum) << (int)c.Unit << " " << c.RawMaximum;
        EXPECT_EQ(c.Minimum, minimum) << (int)c.Unit << " " << c.RawMinimum;
        EXPECT_EQ(0x18000, resolution);
    }
}

// Levels through the gain unit: the system's value is 3/2 of the chip's
// below zero.
TEST(TimedUnits, ScaledLevels)
{
    UnitRig rig;
    ASSERT_EQ(STATUS_SUCCESS, rig.Status);
    PUNITRANGEDREQUESTS unit = rig.Levels(SimTimed::MicAnalog);
    rig.Chip(SimTimed::MicAnalog, 0)->Current = -0x0A00;
    LONG level = 0;
    ASSERT_EQ(STATUS_SUCCESS, unit->GetLevel(kVolume, 0, &level));
    EXPECT_EQ(-0x0A00 * 256 * 3 / 2, level);
    ASSERT_EQ(STATUS_SUCCESS, unit->SetLevel(kVolume, 0, -1966080));
    EXPECT_EQ(-5120, rig.Chip(SimTimed::MicAnalog, 0)->Current);
}

// The master unit's volume through the curve {reported, device} in 1/256
// dB, with channels 5 and 6 sent as 7 and 8 and the other way round.
TEST(TimedUnits, MasterVolumeCurve)
{
    UnitRig rig;
    ASSERT_EQ(STATUS_SUCCESS, rig.Status);
    PUNITRANGEDREQUESTS unit = rig.Levels(SimTimed::Master);
    struct Read
    {
        ULONG Index; // channel index from 0
        UCHAR Wire;  // the chip's channel asked
        SHORT Raw;
        LONG Level;
    } reads[] = {
        {4, 7, (SHORT)0x8000, LEVEL_MINUS_INFINITY},
        {0, 1, -2560, -717 * 256}, // the row (-717, -2560)
        {1, 2, -2561, -717 * 256}, // between rows: the row above
        {6, 5, 0, 0},
        {7, 6, -9216, -8500 * 256},
        {2, 3, -9472, -9472 * 256}, // no row below the last: as the chip says
    };
    for (const Read& r : reads)
    {
        rig.Chip(SimTimed::Master, r.Wire)->Minimum = -32768;
        rig.Chip(SimTimed::Master, r.Wire)->Current = r.Raw;
        LONG level = 1;
        ASSERT_EQ(STATUS_SUCCESS, unit->GetLevel(kVolume, r.Index, &level)) << r.Index;
        EXPECT_EQ(r.Level, level) << r.Index;
    }
    struct Write
    {
        ULONG Index;
        UCHAR Wire;
        LONG Level;
        SHORT Raw;
    } writes[] = {
        {7, 6, LEVEL_MINUS_INFINITY, -32768},
        {0, 1, -717 * 256, -2560},
        {1, 2, -718 * 256, -2816}, // the first row not above the value
        {5, 8, 0, 0},
    };
    for (const Write& w : writes)
    {
        ASSERT_EQ(STATUS_SUCCESS, unit->SetLevel(kVolume, w.Index, w.Level)) << w.Index;
        EXPECT_EQ(w.Raw, rig.Chip(SimTimed::Master, w.Wire)->Current) << w.Index;
    }
    EXPECT_EQ(STATUS_INVALID_PARAMETER, unit->GetLevel(kVolume, 8, nullptr));
    LONG maximum = 1, minimum = 1, resolution = 1;
    ASSERT_EQ(STATUS_SUCCESS, unit->GetLevelRange(kVolume, &maximum, &minimum, &resolution));
    EXPECT_EQ(0, maximum);
    EXPECT_EQ(-32768 * 256, minimum); // below the curve's last row: as the chip says
    EXPECT_EQ(16384, resolution);
}
