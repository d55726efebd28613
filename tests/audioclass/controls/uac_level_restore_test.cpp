// A return to full power sends each level control's channels what the last
// set sent, on both classes' reference devices with bass and treble added;
// the value expected is worked out from the device's own MIN, MAX and RES.
#include <gtest/gtest.h>

#include <algorithm>
#include <utility>

#include "tests/usbaudio/usbaudio_doubles.h"
#include "tests/usbaudio/walk_doubles.h"
#include "audioclass/controls/ranged_control.h"
#include "audioclass/controls/uac_unit.h"
#include "audioclass/controls/volume_arithmetic.h"

namespace
{
constexpr UCHAR kPlayUnit = 2; // on both devices
constexpr UCHAR kVolume = 2, kBass = 3, kTreble = 5;
constexpr LONG kInf = LEVEL_MINUS_INFINITY, kDb = 65536;

// The reference device with bass and treble added to its playback unit's
// master channel: one bit each in class 1.0 (byte 6), a read/write pair each
// in class 2.0 (bytes 5 and 6).
std::unique_ptr<SimUsbDevice> ToneDevice(SimReference which)
{
    DeviceBytes bytes = ReferenceBytes(which);
    auto& c = bytes.Configuration;
    const USHORT bits = which == SimReference::Uac1SpeakerMic ? 0x1400 : 0x0330;
    for (size_t at = c[0]; at + 6 < c.size(); at += c[at])
        if (c[at + 1] == USB_AUDIO_CS_INTERFACE && c[at + 2] == 6 && c[at + 3] == kPlayUnit)
        {
            c[at + 5] |= (UCHAR)bits;
            c[at + 6] |= (UCHAR)(bits >> 8);
        }
    return MakeSimDevice(bytes);
}

// The device's answer to a set of `level` (in 1/65536 dB), in its own units:
// 1/256 dB for volume, 1/4 dB for the tone controls, snapped toward zero;
// minus infinity the tone's MIN.
LONG OnTheWire(const SimControlValue& range, UCHAR selector, LONG level)
{
    const LONG wire = level == kInf ? range.Minimum
                                    : std::clamp(level / (selector == kVolume ? 256 : 16384),
                                                 range.Minimum, range.Maximum);
    return wire / range.Resolution * range.Resolution;
}

// The playback unit's first control of the kind, without a reference.
PRANGEDCONTROL PlayControl(UsbAdapterRig& rig, ULONG kind)
{
    CAudioControl *unit = nullptr, *one = nullptr;
    PRANGEDCONTROL control = nullptr;
    DeviceOf(rig)->FindUnitByIdInDevice(kPlayUnit, &unit);
    for (ULONG i = 0; unit != nullptr && control == nullptr &&
                      NT_SUCCESS(static_cast<CUacUnit*>(unit)->UnitGetControl(i, &one));
         ++i)
        if (one->GetKind() == kind &&
            NT_SUCCESS(one->QueryInterface(IID_IRangedControl, (PVOID*)&control)))
            control->Release(); // the unit holds it
    return control;
}

// Sets every channel of that control to `level`: the device's channels that
// hold what the set sent, one a control channel.
std::vector<SimControlValue*> SetLevel(UsbAdapterRig& rig, ULONG kind, UCHAR selector, LONG level)
{
    PRANGEDCONTROL control = PlayControl(rig, kind);
    ULONG channels = 0;
    EXPECT_TRUE(control != nullptr && NT_SUCCESS(control->GetChannelCount(&channels)));
    for (ULONG ch = 0; ch < channels; ++ch)
        EXPECT_EQ(STATUS_SUCCESS, control->SetValue(ch, level));
    std::vector<SimControlValue*> reached;
    for (UCHAR ch = 0; ch < 3; ++ch)
        if (SimControlValue* v = rig.Device()->Audio().FindControl(kPlayUnit, selector, ch);
            v != nullptr && v->Current == OnTheWire(*v, selector, level))
            reached.push_back(v);
    EXPECT_EQ(channels, reached.size());
    return reached;
}
} // namespace

TEST(UacLevelRestore, FullPowerSendsWhatTheLastSetSent)
{
    const struct
    {
        const char* What;
        UCHAR Selector;
        ULONG Kind;
        LONG Level;
    } cases[] = {
        {"volume off its steps", kVolume, CONTROL_KIND_VOLUME, -59 * kDb - kDb / 4},
        {"bass at minus infinity", kBass, CONTROL_KIND_BASS, kInf},
        {"treble off its steps", kTreble, CONTROL_KIND_TREBLE, 5 * kDb / 2},
    };
    ScopedTestStreams streams;
    for (SimReference which : {SimReference::Uac1SpeakerMic, SimReference::Uac2HighSpeed})
    {
        SCOPED_TRACE(which == SimReference::Uac1SpeakerMic ? "1.0" : "2.0");
        UsbAdapterRig rig(ToneDevice(which));
        UseDeviceClasses(false);
        ASSERT_EQ(STATUS_SUCCESS, rig.Start());
        std::vector<std::pair<SimControlValue*, LONG>> reached; // and what the set sent
        for (const auto& c : cases)
        {
            SCOPED_TRACE(c.What);
            for (SimControlValue* v : SetLevel(rig, c.Kind, c.Selector, c.Level))
                reached.emplace_back(v, std::exchange(v->Current, v->Maximum)); // forgotten asleep
        }
        for (DEVICE_POWER_STATE state : {PowerDeviceD3, PowerDeviceD0})
            rig.Adapter()->GetDevicePower()->PowerChangeState(POWER_STATE{.DeviceState = state});
        for (const auto& [value, sent] : reached)
            EXPECT_EQ(sent, value->Current);
    }
}

// A level stored from an earlier start, other than the device's, goes back
// on the device's 2 dB steps; one the device chose itself between two steps,
// read by a refresh, goes back as it came.
TEST(UacLevelRestore, StoredLevelsGoBackOnTheStepsAndTheDevicesOwnAsItCame)
{
    constexpr LONG kStored = -5 * kDb;
    ScopedTestStreams streams;
    for (SimReference which : {SimReference::Uac1SpeakerMic, SimReference::Uac2HighSpeed})
        for (bool refreshed : {false, true})
        {
            SCOPED_TRACE(refreshed ? "refreshed" : "stored");
            UsbAdapterRig rig(ToneDevice(which));
            UseDeviceClasses(false);
            for (UCHAR ch = 0; ch < 3; ++ch)
                if (SimControlValue* v = rig.Device()->Audio().FindControl(kPlayUnit, kVolume, ch))
                    v->Resolution = 2 * 256;
            ASSERT_EQ(STATUS_SUCCESS, rig.Start());
            const auto values = SetLevel(rig, CONTROL_KIND_VOLUME, kVolume, kStored);
            ASSERT_FALSE(values.empty());
            for (SimControlValue* v : values)
                v->Current = -v->Resolution / 2;
            auto* volume = static_cast<CRangedControl*>(PlayControl(rig, CONTROL_KIND_VOLUME));
            EXPECT_EQ(STATUS_SUCCESS,
                      refreshed ? volume->UpdateState() : (rig.Release(), rig.Start()));
            for (SimControlValue* v : values)
                v->Current = v->Maximum;
            for (DEVICE_POWER_STATE state : {PowerDeviceD3, PowerDeviceD0})
                rig.Adapter()->GetDevicePower()->PowerChangeState(
                    POWER_STATE{.DeviceState = state});
            for (SimControlValue* v : values)
                EXPECT_EQ(refreshed ? -v->Resolution / 2 : OnTheWire(*v, kVolume, kStored),
                          v->Current);
        }
}
