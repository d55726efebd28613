// The timed device class on its simulated chip: the start from the preset
// for each listed device, the chip's identification, the switches from
// "Settings", the register writes as the chip receives them (at start, on a
// return to full power, for each output kind and for the mute LED), the
// selector's chip codes, and the jack timer's debounce on virtual time.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/io/io_emu.h"
#include "platform/kernel/emu.h"
#include "sim/devices/sim_timed_preset.h"
#include "tests/usbaudio/usbaudio_doubles.h"
#include "audioclass/controls/chain_nodes.h"
#include "usbaudio/timed/device.h"
#include "audioclass/controls/uac_unit.h"

namespace
{
using Writes = std::vector<std::vector<UCHAR>>;

struct TimedRig
{
    explicit TimedRig(USHORT product = SimTimed::Plain, bool identified = true)
    {
        SimTimedDevice timed = SimCreateTimedDevice(product, identified);
        Chip = timed.Chip;
        Rig = std::make_unique<UsbAdapterRig>(std::move(timed.Device));
        UseDeviceClasses(false);
    }
    NTSTATUS Start() { return Rig->Ok() ? Rig->Start() : STATUS_UNSUCCESSFUL; }
    CUsbAudioTimedDevice* Device() { return static_cast<CUsbAudioTimedDevice*>(DeviceOf(*Rig)); }
    CUacUnit* Unit(ULONG id)
    {
        CAudioControl* unit = nullptr;
        return NT_SUCCESS(Device()->FindUnitByIdInDevice(id, &unit)) ? static_cast<CUacUnit*>(unit)
                                                                     : nullptr;
    }
    std::vector<ULONG> UnitIds()
    {
        std::vector<ULONG> ids;
        CPtrList* units = nullptr;
        Device()->GetUnitList(&units);
        POSITION position = units->GetHeadPosition();
        PVOID data = nullptr;
        while (units->GetNext(&position, &data))
            ids.push_back(static_cast<CAudioControl*>(data)->GetId());
        std::sort(ids.begin(), ids.end());
        return ids;
    }
    // Channel counts of the playback settings the rewritten configuration
    // keeps, in order.
    std::vector<ULONG> PlaybackChannels()
    {
        auto config = reinterpret_cast<const UCHAR*>(Rig->UsbIo()->GetConfigurationDescriptor());
        const ULONG total = config[2] | config[3] << 8;
        std::vector<ULONG> channels;
        UCHAR interfaceNumber = 0xFF;
        for (ULONG at = 0; at + 2 <= total && config[at] >= 2; at += config[at])
        {
            if (config[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE)
                interfaceNumber = config[at + 2];
            else if (config[at + 1] == USB_AUDIO_CS_INTERFACE &&
                     config[at + 2] == USB_AUDIO_FORMAT_TYPE &&
                     interfaceNumber == SimTimed::PlayInterface)
                channels.push_back(config[at + 4]);
        }
        return channels;
    }
    ULONG KindCount(ULONG terminal)
    {
        PTERMINALUNIT unit = nullptr;
        ULONG count = 0;
        if (NT_SUCCESS(Unit(terminal)->QueryInterface(IID_ITerminalUnit, (PVOID*)&unit)))
        {
            unit->GetKindCount(&count);
            unit->Release();
        }
        return count;
    }
    std::shared_ptr<SimChipRegisters> Chip;
    std::unique_ptr<UsbAdapterRig> Rig;
};

// {0x20, low, high, register}
std::vector<UCHAR> W(ULONG reg, USHORT value)
{
    return {0x20, (UCHAR)value, (UCHAR)(value >> 8), (UCHAR)reg};
}

bool Answers(CAudioControl* unit, REFIID iid)
{
    PUNKNOWN answer = nullptr;
    if (unit == nullptr || !NT_SUCCESS(unit->QueryInterface(iid, (PVOID*)&answer)))
        return false;
    answer->Release();
    return true;
}

// Kinds of the controls of a unit, in order.
std::vector<ULONG> ControlKinds(CUacUnit* unit)
{
    std::vector<ULONG> kinds;
    CAudioControl* control = nullptr;
    for (ULONG i = 0; NT_SUCCESS(unit->UnitGetControl(i, &control)); ++i)
        kinds.push_back(control->GetKind());
    return kinds;
}

// Time for a request and its completion on the bus, well inside a tick.
constexpr ULONG c_Settle = 5;

size_t JackReads(SimUsbDevice* device)
{
    size_t reads = 0;
    for (const SimRequestRecord& r : device->Log())
        reads += r.Setup.bmRequestType == 0xA1 && r.Setup.bRequest == 0x01 &&
                         r.Setup.wValue == 0x0100 && r.Setup.wIndex == 3
                     ? 1
                     : 0;
    return reads;
}

// The 1-byte values SET_CUR sent to a unit's mute, in order.
std::vector<UCHAR> MuteSets(SimUsbDevice* device, UCHAR unit)
{
    std::vector<UCHAR> values;
    for (const SimRequestRecord& r : device->Log())
        if (r.Setup.bmRequestType == 0x21 && r.Setup.bRequest == 0x01 && r.Setup.wValue == 0x0100 &&
            r.Setup.wIndex == (USHORT)(unit << 8) && r.Data.size() == 1)
            values.push_back(r.Data[0]);
    return values;
}
} // namespace

// Each listed device starts from its preset with the units its switches
// leave, the playback settings, the output kinds, its capability mask and
// its own classes for the line's units.
TEST(TimedDevice, EachListedDeviceStartsWithItsObjects)
{
    struct Case
    {
        const char* What;
        USHORT Product;
        bool Identified;
        std::vector<ULONG> Units;
        std::vector<ULONG> Channels; // playback channel counts, in setting order
        ULONG Kinds;
        ULONG Mask;
        bool Timer;
        bool JackNode; // the first listed device's, identified or not
    } cases[] = {
        {"a chip of the family",
         SimTimed::Plain,
         true,
         {1, 3, 5, 6, 7, 8, 9, 11, 12, 13, 15, 16, 17, 18},
         {2, 4, 6, 2},
         3,
         0x3FE00F,
         false,
         false},
        {"another chip",
         SimTimed::Plain,
         false,
         {1, 3, 5, 6, 7, 8, 9, 11, 12, 13, 15, 16, 17, 18},
         {8, 2, 4, 6, 2},
         3,
         0x3FE00F,
         false,
         false},
        {"first listed",
         SimTimed::FirstListed,
         true,
         {1, 3, 5, 6, 8, 9, 11, 12, 13, 18},
         {2, 6, 2},
         1,
         0x3E0084,
         true,
         true},
        {"first listed, another chip",
         SimTimed::FirstListed,
         false,
         {1, 3, 5, 6, 7, 8, 9, 11, 12, 13, 15, 16, 17, 18},
         {8, 2, 4, 6, 2},
         3,
         0x3FE00F,
         false,
         true},
        {"second listed",
         SimTimed::SecondListed,
         true,
         {1, 3, 5, 8, 9, 12, 13, 18},
         {2, 4, 6, 2},
         1,
         0x3FE00F,
         false,
         false},
        {"third listed, another chip",
         SimTimed::ThirdListed,
         false,
         {1, 3, 5, 8, 9, 12, 13, 18},
         {8, 2, 4, 6, 2},
         1,
         0x3E09F,
         false,
         false},
        {"fourth listed",
         SimTimed::FourthListed,
         true,
         {1, 3, 5, 6, 8, 9, 11, 12, 13, 15, 17, 18},
         {6, 2},
         1,
         0,
         false,
         false},
    };
    for (const Case& c : cases)
    {
        TimedRig rig(c.Product, c.Identified);
        ASSERT_EQ(STATUS_SUCCESS, rig.Start()) << c.What;
        EXPECT_EQ(c.Units, rig.UnitIds()) << c.What;
        EXPECT_EQ(c.Channels, rig.PlaybackChannels()) << c.What;
        EXPECT_EQ(c.Kinds, rig.KindCount(SimTimed::Speaker)) << c.What;
        EXPECT_EQ(c.Mask, rig.Device()->GetCapabilityRecord().CapabilityMask) << c.What;
        EXPECT_EQ(c.Timer, rig.Device()->WantsJackTimer()) << c.What;
        EXPECT_EQ(c.JackNode, rig.Device()->HasJackNode()) << c.What;
        EXPECT_EQ(2u, rig.Device()->GetEngineCount()) << c.What;
        // Only the first listed device's line analog unit takes a forced mute.
        EXPECT_EQ(c.JackNode, Answers(rig.Unit(SimTimed::LineAnalog), IID_ITimedForcedMute))
            << c.What;
    }
}

// The line units of the second and third listed devices: a mute that is a
// chain node, and an extra on/off control that switches register 1.
TEST(TimedDevice, LineUnitsOfTheSecondAndThirdListedDevices)
{
    {
        TimedRig rig(SimTimed::SecondListed);
        ASSERT_EQ(STATUS_SUCCESS, rig.Start());
        CUacUnit* unit = rig.Unit(SimTimed::MicRec);
        EXPECT_EQ((std::vector<ULONG>{CONTROL_KIND_MUTE, CONTROL_KIND_VOLUME}), ControlKinds(unit));
        CAudioControl* mute = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, unit->UnitGetControl(0, &mute));
        EXPECT_TRUE(Answers(mute, IID_IChainNode));
    }
    TimedRig rig(SimTimed::ThirdListed);
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    CUacUnit* unit = rig.Unit(SimTimed::MicRec);
    EXPECT_EQ((std::vector<ULONG>{CONTROL_KIND_MUTE, CONTROL_KIND_VOLUME, CONTROL_KIND_SWITCH2}),
              ControlKinds(unit));
    CAudioControl* control = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, unit->UnitGetControl(2, &control));
    PBOOLEANCONTROL on = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, control->QueryInterface(IID_IBooleanControl, (PVOID*)&on));
    rig.Chip->Writes.clear();
    EXPECT_EQ(STATUS_SUCCESS, on->SetValue(0, 1));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, on->SetValue(1, 1));
    EXPECT_EQ(STATUS_SUCCESS, on->SetValue(0, 0));
    UCHAR value = 7;
    EXPECT_EQ(STATUS_SUCCESS, on->GetValue(0, &value));
    EXPECT_EQ(0, value);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, on->GetValue(1, &value));
    on->Release();
    // Register 1 after the start's routing is 0x3002: bits 4 and 5 follow.
    EXPECT_EQ((Writes{W(1, 0x3012), W(1, 0x3032)}), rig.Chip->Writes);
}

// The start writes the routing of the speakers, then the chip's start
// sequence (register 5's bits 12 and 13 cleared, set again after 1 ms) and
// every register 0 to 4; every return to full power runs the sequence
// again with the values the shadow holds.
TEST(TimedDevice, RegisterWritesAtStartAndOnReturnToFullPower)
{
    TimedRig rig;
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    const Writes routing = {W(2, 0xE000), W(1, 0x3002), W(0, 0x2004)};
    const Writes refresh = {W(5, 0x0000), W(5, 0x3000), W(0, 0x2004), W(1, 0x3002),
                            W(2, 0xE000), W(3, 0x143F), W(4, 0x0000)};
    Writes start = routing;
    start.insert(start.end(), refresh.begin(), refresh.end());
    ASSERT_LE(start.size(), rig.Chip->Writes.size());
    EXPECT_EQ(start, Writes(rig.Chip->Writes.begin(), rig.Chip->Writes.begin() + start.size()));

    // The pause between the two writes of register 5.
    std::vector<ULONG> frames;
    for (const SimRequestRecord& r : rig.Rig->Device()->Log())
        if (r.Setup.bRequest == 0x09 && r.Setup.wIndex == 3 && r.Data.size() == 4 && r.Data[3] == 5)
            frames.push_back(r.Frame);
    ASSERT_EQ(2u, frames.size());
    EXPECT_GE(frames[1] - frames[0], 1u);

    EXPECT_EQ(STATUS_SUCCESS, rig.Device()->WriteRegister(3, 0x0001, 0x000F));
    rig.Chip->Writes.clear();
    PADAPTERPOWERMANAGEMENT power = rig.Rig->Adapter()->GetDevicePower();
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    power->PowerChangeState(state);
    EXPECT_TRUE(rig.Chip->Writes.empty());
    state.DeviceState = PowerDeviceD0;
    power->PowerChangeState(state);
    Writes again = refresh;
    again[5] = W(3, 0x1431);
    ASSERT_LE(again.size(), rig.Chip->Writes.size());
    EXPECT_EQ(again, Writes(rig.Chip->Writes.begin(), rig.Chip->Writes.begin() + again.size()));
}

// Masked writes combine the shadow with the new bits; mask 0 sends nothing;
// register 6 is refused; a write the chip refuses leaves the shadow.
TEST(TimedDevice, WriteRegisterSendsExactBytes)
{
    TimedRig rig;
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    CUsbAudioTimedDevice* device = rig.Device();
    // The start left register 2 at 0xE000; make it the power-on 0xF800.
    ASSERT_EQ(STATUS_SUCCESS, device->WriteRegister(2, 0xF800, 0xFFFF));
    struct Case
    {
        ULONG Register;
        USHORT Value, Mask;
        bool Refused; // the chip stalls the write
        NTSTATUS Status;
        Writes Sent;
        USHORT Shadow;
    } cases[] = {
        {2, 0x00A0, 0x00F0, false, STATUS_SUCCESS, {{0x20, 0xA0, 0xF8, 0x02}}, 0xF8A0},
        {2, 0x1234, 0x0000, false, STATUS_SUCCESS, {}, 0xF8A0},
        {2, 0x0005, 0x000F, true, STATUS_UNSUCCESSFUL, {}, 0xF8A0},
        {2, 0x0005, 0x000F, false, STATUS_SUCCESS, {W(2, 0xF8A5)}, 0xF8A5},
        {5, 0xABCD, 0xFFFF, false, STATUS_SUCCESS, {W(5, 0xABCD)}, 0xABCD},
        {6, 0xABCD, 0xFFFF, false, STATUS_UNSUCCESSFUL, {}, 0},
        {0, 0x8000, 0x8000, false, STATUS_SUCCESS, {W(0, 0xA004)}, 0xA004},
    };
    for (const Case& c : cases)
    {
        rig.Chip->Writes.clear();
        rig.Rig->Device()->ClearFaults();
        if (c.Refused)
            rig.Rig->Device()->InjectControlFault({0x21, 0x09, 0x0200, 0x0003},
                                                  SimFaultKind::Stall);
        const NTSTATUS status = device->WriteRegister(c.Register, c.Value, c.Mask);
        EXPECT_EQ(c.Status == STATUS_SUCCESS, NT_SUCCESS(status)) << c.Register << " " << c.Mask;
        if (c.Status != STATUS_SUCCESS && !c.Refused)
        {
            EXPECT_EQ(c.Status, status);
        }
        EXPECT_EQ(c.Sent, rig.Chip->Writes) << c.Register << " " << c.Mask;
        EXPECT_EQ(c.Shadow, device->RegisterShadow(c.Register).Value) << c.Register;
    }
}

// The first identification request may fail; the second decides.
TEST(TimedDevice, ChipIdentification)
{
    struct Case
    {
        USHORT Index;
        NTSTATUS Start;
    } cases[] = {{9, STATUS_SUCCESS}, {8, STATUS_UNSUCCESSFUL}};
    for (const Case& c : cases)
    {
        TimedRig rig;
        rig.Rig->Device()->InjectControlFault({0xC3, 0x81, 0x0000, c.Index}, SimFaultKind::Stall);
        EXPECT_EQ(c.Start == STATUS_SUCCESS, NT_SUCCESS(rig.Start())) << c.Index;
    }
    TimedRig rig;
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    std::vector<std::string> asked;
    for (const std::string& line : rig.Rig->Device()->LogText())
        if (line.rfind("C3 81", 0) == 0)
            asked.push_back(line);
    EXPECT_EQ((std::vector<std::string>{"C3 81 0000 0009 0001 > 9F", "C3 81 0000 0008 0001 > 03"}),
              asked);
}

// "Settings" values over the presets: a terminal takes its paths along; the
// six- and eight-channel settings cannot both go.
TEST(TimedDevice, SwitchesFromSettings)
{
    {
        TimedRig rig(SimTimed::Plain, false);
        rig.Rig->SetSetting(u"DisableMicInTerminal", 1);
        rig.Rig->SetSetting(u"SupportHPOut", 0);
        ASSERT_EQ(STATUS_SUCCESS, rig.Start());
        EXPECT_EQ((std::vector<ULONG>{1, 3, 6, 7, 11, 12, 13, 15, 16, 17, 18}), rig.UnitIds());
        EXPECT_EQ(2u, rig.KindCount(SimTimed::Speaker));
        EXPECT_EQ(2u, rig.Unit(SimTimed::Mixer)->GetValueCount());
    }
    TimedRig rig(SimTimed::Plain, false);
    rig.Rig->SetSetting(u"Disable6ChOutSupported", 1);
    rig.Rig->SetSetting(u"Disable8ChOutSupported", 1);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, rig.Start());
    EXPECT_EQ(SimTimedConfiguration().size(), 509u);
}

// The speaker terminal routes each kind through registers 2, 1 and 0, and
// refuses a kind its switches do not offer.
TEST(TimedDevice, OutputKindsRouteThroughRegisters)
{
    TimedRig rig(SimTimed::Plain, false);
    rig.Rig->SetSetting(u"SupportHPOut", 0);
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    PTERMINALUNIT terminal = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              rig.Unit(SimTimed::Speaker)->QueryInterface(IID_ITerminalUnit, (PVOID*)&terminal));
    ULONG kinds[3] = {};
    terminal->GetKinds(kinds);
    EXPECT_EQ(ENDPOINT_KIND_SPK, kinds[0]);
    EXPECT_EQ(ENDPOINT_KIND_SPDIF, kinds[1]);
    rig.Chip->Writes.clear();
    EXPECT_EQ(STATUS_UNSUCCESSFUL, terminal->SetKind(ENDPOINT_KIND_HP));
    EXPECT_TRUE(rig.Chip->Writes.empty());
    EXPECT_EQ(STATUS_SUCCESS, terminal->SetKind(ENDPOINT_KIND_SPDIF));
    EXPECT_EQ((Writes{W(2, 0xE7F8), W(1, 0x3000), W(0, 0xA004)}), rig.Chip->Writes);
    rig.Chip->Writes.clear();
    EXPECT_EQ(STATUS_SUCCESS, terminal->SetKind(ENDPOINT_KIND_SPK));
    EXPECT_EQ((Writes{W(2, 0xE000), W(1, 0x3002), W(0, 0x2004)}), rig.Chip->Writes);
    ULONG stored = 0;
    EXPECT_TRUE(rig.Rig->GetSetting(u"UACUnit03", &stored));
    EXPECT_EQ(ENDPOINT_KIND_SPK, stored);

    // Jacks: three on the speakers, one S/PDIF; connected by kind or by
    // "SetJackConnect".
    ULONG count = 0;
    terminal->GetJackCount(&count, 0);
    EXPECT_EQ(3u, count);
    terminal->GetJackCount(&count, 1);
    EXPECT_EQ(1u, count);
    terminal->GetJackCount(&count, 2);
    EXPECT_EQ(0u, count);
    JackRecord jacks[3] = {};
    EXPECT_EQ(STATUS_INVALID_PARAMETER, terminal->GetJackInfo(107, jacks, 0));
    ASSERT_EQ(STATUS_SUCCESS, terminal->GetJackInfo(108, jacks, 0));
    EXPECT_EQ(0x0Cu, jacks[1].ChannelMapping);
    EXPECT_EQ(0xFF8000u, jacks[1].Color);
    EXPECT_EQ(1u, jacks[2].IsConnected);
    ASSERT_EQ(STATUS_SUCCESS, terminal->GetJackInfo(36, jacks, 1));
    EXPECT_EQ(5u, jacks[0].ConnectionType);
    EXPECT_EQ(0u, jacks[0].IsConnected);
    rig.Rig->SetSetting(u"SetJackConnect", 1);
    ASSERT_EQ(STATUS_SUCCESS, terminal->GetJackInfo(36, jacks, 1));
    EXPECT_EQ(1u, jacks[0].IsConnected);
    terminal->Release();
}

// The selector sends the chip its own codes (8 -> 1, 15 -> 2, 16 -> 3) and
// puts the chip back on the first pin when it reports a code no pin has.
TEST(TimedDevice, SelectorSpeaksInChipCodes)
{
    TimedRig rig(SimTimed::Plain, false);
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    PSELECTORCONTROL selector = nullptr;
    ASSERT_EQ(
        STATUS_SUCCESS,
        rig.Unit(SimTimed::Selector)->QueryInterface(IID_ISelectorControl, (PVOID*)&selector));
    EXPECT_EQ(1, rig.Rig->Device()->Audio().SelectorInput(SimTimed::Selector));
    EXPECT_EQ(STATUS_SUCCESS, selector->SetCurrent(3));
    EXPECT_EQ(3, rig.Rig->Device()->Audio().SelectorInput(SimTimed::Selector));
    EXPECT_EQ(STATUS_SUCCESS, selector->SetCurrent(2));
    ULONG pin = 0;
    EXPECT_EQ(STATUS_SUCCESS, selector->GetCurrent(&pin));
    EXPECT_EQ(2u, pin);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, selector->SetCurrent(4));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, selector->SetCurrent(0));
    selector->Release();
}

// The mute LED follows the master mute through register 1 when
// "NeedMuteLED" asks for it, the other way round with "ReverseMuteLED" 1.
TEST(TimedDevice, MuteLedFollowsTheMasterMute)
{
    struct Case
    {
        ULONG Need, Reverse;
        Writes Sent; // muting, then unmuting
    } cases[] = {
        {0, 0, {}},
        {1, 0, {W(1, 0x3032), W(1, 0x3012)}},
        {1, 1, {W(1, 0x3012), W(1, 0x3032)}},
        {1, 2, {W(1, 0x3032), W(1, 0x3012)}},
    };
    for (const Case& c : cases)
    {
        TimedRig rig(SimTimed::Plain, false);
        EmuRegistrySetBinary(rig.Rig->SettingsPath(), u"NeedMuteLED", {(UCHAR)c.Need});
        EmuRegistrySetBinary(rig.Rig->SettingsPath(), u"ReverseMuteLED", {(UCHAR)c.Reverse});
        ASSERT_EQ(STATUS_SUCCESS, rig.Start());
        PUNITBOOLEANREQUESTS unit = nullptr;
        ASSERT_EQ(
            STATUS_SUCCESS,
            rig.Unit(SimTimed::Master)->QueryInterface(IID_IUnitBooleanRequests, (PVOID*)&unit));
        rig.Chip->Writes.clear();
        EXPECT_EQ(STATUS_SUCCESS, unit->SetBoolean(1, 0, 1));
        EXPECT_EQ(STATUS_SUCCESS, unit->SetBoolean(1, 0, 0));
        EXPECT_EQ(c.Sent, rig.Chip->Writes) << c.Need << " " << c.Reverse;
        unit->Release();
    }
}

// The jack timer reads the jack every 50 ms into a ring of 30 samples: the
// first disagreement attenuates, 30 clear samples silence, 30 sensed ones
// pass and force the line's analog unit mute.
TEST(TimedDevice, JackDebounceOnVirtualTime)
{
    TimedRig rig(SimTimed::FirstListed);
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    CUsbAudioTimedDevice* device = rig.Device();
    CChainNode* node = device->JackNode();
    ASSERT_NE(nullptr, node);
    rig.Chip->JackSense = false;
    rig.Rig->Device()->ClearLog();
    ASSERT_EQ(STATUS_SUCCESS, device->StartInterruptPolling());
    EXPECT_TRUE(device->JackTimerRunning());
    // The first read and the forced mute go over the bus: a few frames.
    EmuAdvanceMs(c_Settle);
    EXPECT_EQ((std::vector<UCHAR>{1}), MuteSets(rig.Rig->Device(), SimTimed::LineAnalog));
    EXPECT_EQ(JACK_STATE_SENSED, node->NodeMode());

    struct Step
    {
        ULONG Ticks;
        bool Sensed;
        ULONG Mode;
        std::vector<UCHAR> Mutes;
    } steps[] = {
        {1, false, JACK_STATE_CHANGING, {1, 0}},          {27, false, JACK_STATE_CHANGING, {1, 0}},
        {1, false, JACK_STATE_CLEAR, {1, 0, 0}},    // 30 clear samples
        {29, true, JACK_STATE_CLEAR, {1, 0, 0}},    // mixed: a clear state stays
        {1, true, JACK_STATE_SENSED, {1, 0, 0, 1}}, // 30 sensed samples
        {1, false, JACK_STATE_CHANGING, {1, 0, 0, 1, 0}},
    };
    for (const Step& s : steps)
    {
        rig.Chip->JackSense = s.Sensed;
        for (ULONG t = 0; t < s.Ticks; ++t)
        {
            // The next tick's jack read, 50 ms after the last one's start.
            const size_t before = JackReads(rig.Rig->Device());
            ASSERT_TRUE(EmuAdvanceUntil([&] { return JackReads(rig.Rig->Device()) > before; },
                                        2 * JACK_TIMER_PERIOD_MS));
            EmuAdvanceMs(c_Settle);
        }
        EXPECT_EQ(s.Mode, node->NodeMode()) << s.Ticks << " " << s.Sensed;
        EXPECT_EQ(s.Mutes, MuteSets(rig.Rig->Device(), SimTimed::LineAnalog))
            << s.Ticks << " " << s.Sensed;
    }
    EXPECT_EQ(STATUS_SUCCESS, device->StopInterruptPolling());
    EXPECT_FALSE(device->JackTimerRunning());
}

// The ring of samples by itself: the first sample is the jack as read at
// the start, the state moves only on agreement or on a first disagreement.
TEST(TimedDevice, JackDebounceRing)
{
    struct Case
    {
        bool First;
        std::vector<bool> Samples;
        std::vector<ULONG> Changes;
    } cases[] = {
        {true, std::vector<bool>(29, true), {}},
        {false, {false}, {JACK_STATE_CHANGING}},
        {false, std::vector<bool>(29, false), {JACK_STATE_CHANGING, JACK_STATE_CLEAR}},
        {false, std::vector<bool>(28, false), {JACK_STATE_CHANGING}},
        {true, {false, true}, {JACK_STATE_CHANGING}},
    };
    for (const Case& c : cases)
    {
        CJackDebounce ring;
        ring.Start(c.First);
        std::vector<ULONG> changes;
        for (bool sample : c.Samples)
        {
            ULONG state = 99;
            if (ring.Add(sample, &state))
                changes.push_back(state);
        }
        EXPECT_EQ(c.Changes, changes) << c.First << " " << c.Samples.size();
    }
}

// The switches can take unit 11 away: the timer still drives its node and
// looks for the unit on every tick without finding it.
TEST(TimedDevice, JackTimerWithoutTheLineUnit)
{
    TimedRig rig(SimTimed::FirstListed);
    rig.Rig->SetSetting(u"DisableLineInAAUnit", 1);
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    CUsbAudioTimedDevice* device = rig.Device();
    ASSERT_EQ(nullptr, rig.Unit(SimTimed::LineAnalog));
    rig.Chip->JackSense = false;
    ASSERT_EQ(STATUS_SUCCESS, device->StartInterruptPolling());
    EmuAdvanceMs(c_Settle);
    const size_t before = JackReads(rig.Rig->Device());
    ASSERT_TRUE(EmuAdvanceUntil([&] { return JackReads(rig.Rig->Device()) > before; },
                                2 * JACK_TIMER_PERIOD_MS));
    EmuAdvanceMs(c_Settle);
    EXPECT_EQ(JACK_STATE_CHANGING, device->JackNode()->NodeMode());
    EXPECT_TRUE(MuteSets(rig.Rig->Device(), SimTimed::LineAnalog).empty());
    device->StopInterruptPolling();
}

// A device that does not want the timer starts none; a jack read that fails
// ends the thread, which the stop then finds ended.
TEST(TimedDevice, JackTimerOnlyWhereWantedAndEndsOnAFailedRead)
{
    {
        TimedRig rig(SimTimed::Plain);
        ASSERT_EQ(STATUS_SUCCESS, rig.Start());
        EXPECT_EQ(STATUS_SUCCESS, rig.Device()->StartInterruptPolling());
        EXPECT_FALSE(rig.Device()->JackTimerRunning());
    }
    TimedRig rig(SimTimed::FirstListed);
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    const ULONG threads = EmuLiveThreadCount();
    rig.Rig->Device()->InjectControlFault({0xA1, 0x01, 0x0100, 0x0003}, SimFaultKind::Stall, 1, 1);
    ASSERT_EQ(STATUS_SUCCESS, rig.Device()->StartInterruptPolling());
    EmuAdvanceMs(3 * JACK_TIMER_PERIOD_MS);
    EXPECT_EQ(threads, EmuLiveThreadCount());
    EXPECT_EQ(2u, JackReads(rig.Rig->Device()));
    rig.Device()->StopInterruptPolling();
    EXPECT_FALSE(rig.Device()->JackTimerRunning());
}

// The adapter's start of the units starts the jack timer where it is
// wanted, in place of interrupt polling; the stop of the units stops it.
TEST(TimedDevice, UnitsStartAndStopTheJackTimer)
{
    struct Case
    {
        USHORT Product;
        bool Runs;
    } cases[] = {{SimTimed::FirstListed, true}, {SimTimed::Plain, false}};
    for (const Case& c : cases)
    {
        TimedRig rig(c.Product);
        ASSERT_EQ(STATUS_SUCCESS, rig.Start());
        EXPECT_EQ(STATUS_SUCCESS, rig.Rig->Primary()->StartAllUnits());
        EXPECT_EQ(c.Runs, rig.Device()->JackTimerRunning()) << c.Product;
        EXPECT_EQ(STATUS_SUCCESS, rig.Rig->Primary()->StopAllUnits());
        EXPECT_FALSE(rig.Device()->JackTimerRunning()) << c.Product;
    }
}
