// The class 1.0 terminals and units on a speaker whose connector can be
// switched between three output types, each with its jacks: one output
// terminal control per type and an output-type control, the kind kept in
// "Settings" across starts, the jacks of the current and the other types,
// and the selector unit's input bounds.
#include <gtest/gtest.h>

#include <functional>

#include "platform/io/io_emu.h"
#include "tests/usbaudio/usbaudio_doubles.h"
#include "tests/usbaudio/walk_doubles.h"
#include "audioclass/controls/control_interfaces.h"
#include "usbaudio/uac1/walkers.h"
#include "audioclass/units/uac1_terminals.h"

namespace
{
// Jack configuration words: presence detected (bits 8-11 clear) or not, and
// colour code 4 (green) or 3 (blue).
constexpr ULONG kDetectedGreen = 0x01014000, kUndetectedBlue = 0x01013100;

struct SwitchableSpeaker
{
    std::unique_ptr<UsbAdapterRig> Rig;
    SimUsbDevice* Sim = nullptr;
    NTSTATUS Status = STATUS_UNSUCCESSFUL;
    ScopedTestStreams Streams;

    explicit SwitchableSpeaker(const std::function<void(UsbAdapterRig&)>& settings = {},
                               size_t deviceType = 0,
                               std::vector<USHORT> types = {0x0301, 0x0302, 0x0605})
    {
        auto device = SimCreateReferenceDevice(SimReference::Uac1SpeakerMic);
        Sim = device.get();
        SimTerminalPorts* speaker = device->Audio().Ports(SimRef1::Speaker, true);
        speaker->Types = types;
        speaker->Jacks = {
            {{0x3, kDetectedGreen}}, {{0x3, kDetectedGreen}, {0x4, kUndetectedBlue}}, {}};
        speaker->CurrentType = deviceType;
        speaker->ConnectedChannels = 0x3;
        SimTerminalPorts* mic = device->Audio().Ports(SimRef1::Microphone, true);
        mic->Jacks = {{{0x1, kDetectedGreen}, {0x2, kUndetectedBlue}}};
        mic->ConnectedChannels = 0;
        Rig = std::make_unique<UsbAdapterRig>(std::move(device));
        if (settings)
            settings(*Rig);
        UseDeviceClasses(false);
        Status = Rig->Start();
    }
    CUsbAudioDevice* Device() { return DeviceOf(*Rig); }
    template <typename T> T* Interface(ULONG controlId, REFIID iid)
    {
        CAudioControl* control = nullptr;
        T* answer = nullptr;
        if (NT_SUCCESS(Device()->GetUnit(controlId, &control)))
            control->QueryInterface(iid, (PVOID*)&answer);
        if (answer != nullptr)
            answer->Release(); // the device holds the control
        return answer;
    }
    PTERMINALUNIT Unit(ULONG id)
    {
        CAudioControl* unit = nullptr;
        PTERMINALUNIT terminal = nullptr;
        if (NT_SUCCESS(Device()->FindUnitByIdInDevice(id, &unit)))
            unit->QueryInterface(IID_ITerminalUnit, (PVOID*)&terminal);
        if (terminal != nullptr)
            terminal->Release();
        return terminal;
    }
};

ULONG KindOf(SwitchableSpeaker& s, ULONG controlId)
{
    ULONG kind = 99;
    PTERMINALCONTROL terminal = s.Interface<ITerminalControl>(controlId, IID_ITerminalControl);
    if (terminal != nullptr)
        terminal->GetCurrentKind(&kind);
    return kind;
}
} // namespace

// Three types give three output terminal controls (one kind each) and an
// output-type control over the three kinds; a new kind goes to the device
// and to "Settings", the current one sends nothing, an unlisted one fails.
TEST(Uac1Terminals, SwitchableOutputTypes)
{
    SwitchableSpeaker s;
    ASSERT_EQ(STATUS_SUCCESS, s.Status);
    EXPECT_EQ((std::vector<ULONG>{1, 2, 3}),
              (std::vector<ULONG>{KindOf(s, 3), KindOf(s, 4), KindOf(s, 5)}));
    POUTPUTTYPECONTROL type = s.Interface<IOutputTypeControl>(6, IID_IOutputTypeControl);
    ASSERT_NE(nullptr, type);
    ULONG items[5] = {}, count = 0, current = 0;
    type->GetCount(&count);
    type->GetItems(items);
    type->GetCurrent(&current);
    EXPECT_EQ(3u, count);
    EXPECT_EQ((std::vector<ULONG>{1, 2, 3}), std::vector<ULONG>(items, items + 3));
    EXPECT_EQ(ENDPOINT_KIND_SPK, current);

    EXPECT_EQ(STATUS_SUCCESS, type->Select(ENDPOINT_KIND_SPDIF));
    EXPECT_EQ(2u, s.Sim->Audio().Ports(SimRef1::Speaker, false)->CurrentType);
    ULONG stored = 0;
    EXPECT_TRUE(s.Rig->GetSetting(u"UACUnit03", &stored));
    EXPECT_EQ(ENDPOINT_KIND_SPDIF, stored);
    EXPECT_TRUE(s.Rig->GetSetting(u"Unit06_", &stored));
    EXPECT_EQ(ENDPOINT_KIND_SPDIF, stored);
    // The speaker's engine carries the control: it took the change and was
    // renamed for the new kind.
    EXPECT_FALSE(type->IsChanged());
    EXPECT_EQ("SPDIFOut00", EngineName(s.Device(), 0));

    const size_t requests = s.Sim->Log().size();
    EXPECT_EQ(STATUS_SUCCESS, s.Unit(3)->SetKind(ENDPOINT_KIND_SPDIF));
    EXPECT_EQ(STATUS_SUCCESS, type->Select(ENDPOINT_KIND_SPDIF));
    EXPECT_EQ(requests, s.Sim->Log().size());
    EXPECT_EQ(STATUS_INVALID_PARAMETER, type->Select(ENDPOINT_KIND_MIC));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, s.Unit(3)->SetKind(ENDPOINT_KIND_MIC));
}

// The kind kept in "Settings" is the one a start takes; with
// "INITOTTYPEBYSEL" the device's own type decides; one type gives no
// output-type control.
TEST(Uac1Terminals, KindAtStart)
{
    struct Case
    {
        LONG Stored; // -1: none
        ULONG BySelection;
        size_t DeviceType;
        std::vector<USHORT> Types;
        ULONG Kind;
        size_t TypeAfter;
        ULONG Controls;
    } cases[] = {
        {-1, 0, 1, {0x0301, 0x0302, 0x0605}, ENDPOINT_KIND_SPK, 0, 11},
        {2, 0, 0, {0x0301, 0x0302, 0x0605}, ENDPOINT_KIND_HP, 1, 11},
        {2, 1, 2, {0x0301, 0x0302, 0x0605}, ENDPOINT_KIND_SPDIF, 2, 11},
        {7, 0, 0, {0x0301, 0x0302, 0x0605}, ENDPOINT_KIND_SPK, 0, 11}, // a kind no type has
        {-1, 0, 0, {0x0302}, ENDPOINT_KIND_SPK, 0, 8},                 // its own wTerminalType
    };
    for (const Case& c : cases)
    {
        SwitchableSpeaker s(
            [&](UsbAdapterRig& rig)
            {
                if (c.Stored >= 0)
                    rig.SetSetting(u"UACUnit03", (ULONG)c.Stored);
                rig.SetSetting(u"INITOTTYPEBYSEL", c.BySelection);
            },
            c.DeviceType, c.Types);
        ASSERT_EQ(STATUS_SUCCESS, s.Status);
        ULONG kind = 0;
        s.Unit(3)->GetCurrentKind(&kind);
        EXPECT_EQ(c.Kind, kind) << c.Stored;
        EXPECT_EQ(c.TypeAfter, s.Sim->Audio().Ports(SimRef1::Speaker, false)->CurrentType)
            << c.Stored;
        EXPECT_EQ(c.Controls, s.Device()->GetUnitCount()) << c.Stored;
    }
}

// A device event reads the device's current type for the kind, a type of
// the USB side as "SPK" (the interrupt path's table), and keeps it.
TEST(Uac1Terminals, AnEventTakesTheDevicesCurrentType)
{
    SwitchableSpeaker s;
    ASSERT_EQ(STATUS_SUCCESS, s.Status);
    CAudioControl* unit = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, s.Device()->FindUnitByIdInDevice(3, &unit));
    SimTerminalPorts* ports = s.Sim->Audio().Ports(SimRef1::Speaker, false);
    ports->Types = {0x0301, 0x0302, 0x0605, 0x0100, 0x01FF};
    const ULONG kinds[] = {ENDPOINT_KIND_SPK, ENDPOINT_KIND_HP, ENDPOINT_KIND_SPDIF,
                           ENDPOINT_KIND_SPK, ENDPOINT_KIND_SPK};
    for (size_t type : {1u, 3u, 2u, 4u, 1u, 0u})
    {
        ports->CurrentType = type;
        ULONG id = 99, kind = 99, stored = 99;
        EXPECT_EQ(STATUS_SUCCESS, static_cast<CUacUnit*>(unit)->GetSingleControlId(0, 0, &id));
        EXPECT_EQ(99u, id); // a refresh names no control
        EXPECT_EQ(STATUS_SUCCESS, s.Unit(3)->GetCurrentKind(&kind));
        EXPECT_EQ(kinds[type], kind) << std::hex << ports->Types[type];
        EXPECT_TRUE(s.Rig->GetSetting(u"UACUnit03", &stored));
        EXPECT_EQ(kinds[type], stored) << std::hex << ports->Types[type];
    }
}

// Jacks of the current type follow the connection state (presence detected:
// connected only with a channel in the state; undetected: connected); those
// of another type follow "SetJackConnect"; a short buffer is refused.
TEST(Uac1Terminals, JackConnections)
{
    for (LONG connect : {-1, 0, 1})
    {
        SwitchableSpeaker s(
            [&](UsbAdapterRig& rig)
            {
                if (connect >= 0)
                    rig.SetSetting(u"SetJackConnect", (ULONG)connect);
            });
        ASSERT_EQ(STATUS_SUCCESS, s.Status);
        PTERMINALUNIT speaker = s.Unit(3);
        ULONG count = 0;
        EXPECT_EQ(STATUS_SUCCESS, speaker->GetJackCount(&count, 1));
        EXPECT_EQ(2u, count);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, speaker->GetJackCount(&count, 3));
        JackRecord jacks[2] = {};
        EXPECT_EQ(STATUS_INVALID_PARAMETER,
                  speaker->GetJackInfo(2 * JACK_RECORD_SIZE - 1, jacks, 1));
        EXPECT_EQ(STATUS_INVALID_PARAMETER,
                  speaker->GetJackInfo(JACK_RECORD_SIZE, jacks, 2)); // no jacks
        ASSERT_EQ(STATUS_SUCCESS, speaker->GetJackInfo(2 * JACK_RECORD_SIZE, jacks, 1));
        EXPECT_EQ(connect == 1 ? 1u : 0u, jacks[0].IsConnected) << connect;
        EXPECT_EQ(connect == 1 ? 1u : 0u, jacks[1].IsConnected) << connect;
        EXPECT_EQ(0x00FF00u, jacks[0].Color);
        ASSERT_EQ(STATUS_SUCCESS, speaker->GetJackInfo(JACK_RECORD_SIZE, jacks, 0));
        EXPECT_EQ(1u, jacks[0].IsConnected);

        PTERMINALUNIT mic = s.Unit(4);
        ASSERT_EQ(STATUS_SUCCESS, mic->GetJackInfo(2 * JACK_RECORD_SIZE, jacks, 0));
        EXPECT_EQ(0u, jacks[0].IsConnected); // presence detected, no channel connected
        EXPECT_EQ(1u, jacks[1].IsConnected); // no presence detection
        s.Sim->Audio().Ports(SimRef1::Microphone, false)->ConnectedChannels = 0x1;
        ASSERT_EQ(STATUS_SUCCESS, mic->GetJackInfo(2 * JACK_RECORD_SIZE, jacks, 0));
        EXPECT_EQ(1u, jacks[0].IsConnected);
        EXPECT_EQ(STATUS_INVALID_PARAMETER,
                  s.Unit(1)->GetJackInfo(JACK_RECORD_SIZE, jacks, 0)); // streaming
    }
}

// A selector unit accepts inputs 1 to bNrInPins only, without a request otherwise.
TEST(Uac1Terminals, SelectorUnitInputs)
{
    ScopedTestStreams streams;
    UsbAdapterRig rig(SimCreateReferenceDevice(SimReference::Uac1Surround71));
    UseDeviceClasses(false);
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    CAudioControl* unit = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, DeviceOf(rig)->FindUnitByIdInDevice(SimRef2::Selector, &unit));
    PSELECTORCONTROL selector = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, unit->QueryInterface(IID_ISelectorControl, (PVOID*)&selector));
    const size_t requests = rig.Device()->Log().size();
    EXPECT_EQ(STATUS_INVALID_PARAMETER, selector->SetCurrent(0));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, selector->SetCurrent(3));
    EXPECT_EQ(requests, rig.Device()->Log().size());
    EXPECT_EQ(STATUS_SUCCESS, selector->SetCurrent(2));
    EXPECT_EQ(2, rig.Device()->Audio().SelectorInput(SimRef2::Selector));
    ULONG current = 0;
    EXPECT_EQ(STATUS_SUCCESS, selector->GetCurrent(&current));
    EXPECT_EQ(2u, current);
    selector->Release();
}

// After the streaming walk the single-source controls upstream of the
// output-type control take its kind as their mode and follow it: a new
// kind re-applies the mute kept for that kind, on the device too.
TEST(Uac1Terminals, ControlsFollowTheOutputType)
{
    SwitchableSpeaker s([](UsbAdapterRig& rig)
                        { EmuRegistrySetBinary(rig.SettingsPath(), u"Unit01_ 3_0", {1}); });
    ASSERT_EQ(STATUS_SUCCESS, s.Status);
    PBOOLEANCONTROL mute = s.Interface<IBooleanControl>(1, IID_IBooleanControl);
    ASSERT_NE(nullptr, mute);
    UCHAR value = 9;
    mute->GetValue(0, &value);
    EXPECT_EQ(0, value);
    ASSERT_EQ(
        STATUS_SUCCESS,
        s.Interface<IOutputTypeControl>(6, IID_IOutputTypeControl)->Select(ENDPOINT_KIND_SPDIF));
    mute->GetValue(0, &value);
    EXPECT_EQ(1, value);
    EXPECT_EQ(1, s.Sim->Audio().FindControl(SimRef1::FeaturePlay, 1, 0)->Current);

    // A control that is its own source ends the pass once every control
    // has been passed.
    CAudioControl* control = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, s.Device()->GetUnit(1, &control));
    const ULONG self = 1;
    control->SetValueArray(1, &self);
    PassOutputTypes(s.Device());
}

// A return to full power sends every control's kept value to the device.
TEST(Uac1Terminals, FullPowerRestoresTheControls)
{
    SwitchableSpeaker s;
    ASSERT_EQ(STATUS_SUCCESS, s.Status);
    ASSERT_EQ(STATUS_SUCCESS, s.Interface<IBooleanControl>(1, IID_IBooleanControl)->SetValue(0, 1));
    ASSERT_EQ(STATUS_SUCCESS,
              s.Interface<IRangedControl>(2, IID_IRangedControl)->SetValue(1, -10 * 65536));
    SimControlValue* mute = s.Sim->Audio().FindControl(SimRef1::FeaturePlay, 1, 0);
    SimControlValue* right = s.Sim->Audio().FindControl(SimRef1::FeaturePlay, 2, 2);
    EXPECT_EQ(1, mute->Current);
    EXPECT_EQ(-10 * 256, right->Current);
    mute->Current = 0; // the device forgot while asleep
    right->Current = 0;
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    s.Rig->Adapter()->GetDevicePower()->PowerChangeState(state);
    state.DeviceState = PowerDeviceD0;
    s.Rig->Adapter()->GetDevicePower()->PowerChangeState(state);
    EXPECT_EQ(1, mute->Current);
    EXPECT_EQ(-10 * 256, right->Current);
}
