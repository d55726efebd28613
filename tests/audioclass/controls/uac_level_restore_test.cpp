// A return to full power sends each level control's channels what the last
// set sent, on a class 1.0 and a class 2.0 device whose playback unit has
// volume, bass and treble; the wire value expected is worked out from the
// device's own MIN, MAX and RES.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <utility>

#include "tests/usbaudio/usbaudio_doubles.h"
#include "tests/usbaudio/walk_doubles.h"
#include "audioclass/controls/control_interfaces.h"
#include "audioclass/controls/uac_unit.h"
#include "audioclass/controls/volume_arithmetic.h"

namespace
{
constexpr UCHAR kPlayUnit = 2; // on both devices
constexpr UCHAR kVolume = 2, kBass = 3, kTreble = 5;
constexpr LONG kInf = LEVEL_MINUS_INFINITY;

constexpr LONG Db(double db)
{
    return (LONG)(db * 65536);
}

// The reference device with bass and treble added to its playback unit's
// master channel.
std::unique_ptr<SimUsbDevice> ToneDevice(SimReference which)
{
    DeviceBytes bytes = ReferenceBytes(which);
    auto& c = bytes.Configuration;
    for (size_t at = c[0]; at + 6 < c.size(); at += c[at])
        if (c[at + 1] == USB_AUDIO_CS_INTERFACE && c[at + 2] == 6 && c[at + 3] == kPlayUnit)
        {
            if (which == SimReference::Uac1SpeakerMic)
                c[at + 6] |= 0x14; // bass and treble: one bit each
            else
                c[at + 5] |= 0x30, c[at + 6] |= 0x03; // a read/write pair each
        }
    return MakeSimDevice(bytes);
}

// The device's answer to a set of `level` (in 1/65536 dB, whole wire steps),
// in its own units: 1/256 dB for volume, 1/4 dB for the tone controls.
LONG OnTheWire(const SimControlValue& range, UCHAR selector, LONG level)
{
    if (level == kInf && selector == kVolume)
        return -0x8000; // the wire's own minus infinity
    const LONG wire = level == kInf ? range.Minimum
                                    : std::clamp(level / (selector == kVolume ? 256 : 16384),
                                                 range.Minimum, range.Maximum);
    return wire / range.Resolution * range.Resolution;
}

// The playback unit's first control of the kind, without a reference.
PRANGEDCONTROL PlayControl(UsbAdapterRig& rig, ULONG kind)
{
    CAudioControl *unit = nullptr, *one = nullptr;
    if (!NT_SUCCESS(DeviceOf(rig)->FindUnitByIdInDevice(kPlayUnit, &unit)))
        return nullptr;
    PRANGEDCONTROL control = nullptr;
    for (ULONG i = 0;
         control == nullptr && NT_SUCCESS(static_cast<CUacUnit*>(unit)->UnitGetControl(i, &one));
         ++i)
        if (one->GetKind() == kind &&
            NT_SUCCESS(one->QueryInterface(IID_IRangedControl, (PVOID*)&control)))
            control->Release(); // the unit holds it
    return control;
}
} // namespace

TEST(UacLevelRestore, FullPowerSendsWhatTheLastSetSent)
{
    const SimControlValue offSteps = {2, true, true, 0, -0x7FFF, 0x0580, 0x0100};
    struct Case
    {
        const char* What;
        UCHAR Selector;
        ULONG Kind;
        LONG Level;
        const SimControlValue* Range = nullptr; // the device's own otherwise
    } cases[] = {
        {"volume off its steps", kVolume, CONTROL_KIND_VOLUME, Db(-59.25)},
        {"volume at minus infinity", kVolume, CONTROL_KIND_VOLUME, kInf},
        {"bass at minus infinity", kBass, CONTROL_KIND_BASS, kInf},
        {"treble at minus infinity", kTreble, CONTROL_KIND_TREBLE, kInf},
        {"treble off its steps", kTreble, CONTROL_KIND_TREBLE, Db(2.5)},
        {"bass above its range", kBass, CONTROL_KIND_BASS, Db(20)},
        {"volume below a MIN off the steps", kVolume, CONTROL_KIND_VOLUME, Db(-130), &offSteps},
        {"volume above a MAX off the steps", kVolume, CONTROL_KIND_VOLUME, Db(6), &offSteps},
    };
    ScopedTestStreams streams;
    for (SimReference which : {SimReference::Uac1SpeakerMic, SimReference::Uac2HighSpeed})
        for (const Case& c : cases)
        {
            SCOPED_TRACE(std::string(c.What) +
                         (which == SimReference::Uac1SpeakerMic ? " (1.0)" : " (2.0)"));
            auto device = ToneDevice(which);
            std::vector<SimControlValue*> values;
            for (UCHAR ch = 0; ch < 3; ++ch)
                if (SimControlValue* v = device->Audio().FindControl(kPlayUnit, c.Selector, ch))
                {
                    if (c.Range != nullptr)
                        std::tie(v->Minimum, v->Maximum, v->Resolution) =
                            std::tie(c.Range->Minimum, c.Range->Maximum, c.Range->Resolution);
                    values.push_back(v);
                }
            ASSERT_FALSE(values.empty());
            const LONG expected = OnTheWire(*values[0], c.Selector, c.Level);
            const LONG other =
                expected == values[0]->Maximum ? values[0]->Minimum : values[0]->Maximum;
            UsbAdapterRig rig(std::move(device));
            UseDeviceClasses(false);
            ASSERT_EQ(STATUS_SUCCESS, rig.Start());
            PRANGEDCONTROL control = PlayControl(rig, c.Kind);
            ASSERT_NE(nullptr, control);
            // Every channel the set reaches holds what it sent; the device
            // forgets it while asleep.
            for (SimControlValue* v : values)
                v->Current = other;
            ULONG channels = 0;
            control->GetChannelCount(&channels);
            for (ULONG ch = 0; ch < channels; ++ch)
                EXPECT_EQ(STATUS_SUCCESS, control->SetValue(ch, c.Level));
            std::vector<SimControlValue*> reached;
            for (SimControlValue* v : values)
                if (v->Current != other)
                    reached.push_back(v);
            EXPECT_EQ(channels, reached.size());
            for (SimControlValue* v : reached)
                EXPECT_EQ(expected, std::exchange(v->Current, other));
            for (DEVICE_POWER_STATE state : {PowerDeviceD3, PowerDeviceD0})
                rig.Adapter()->GetDevicePower()->PowerChangeState(
                    POWER_STATE{.DeviceState = state});
            for (SimControlValue* v : reached)
                EXPECT_EQ(expected, v->Current);
        }
}
