// The concrete controls against a unit double: what a set sends and keeps
// (clamp, snap toward zero, minus infinity per class), the ranges that are
// refused, the on/off set rules, the selector's stored input, the three
// kind tables of terminal types, the values kept per mode, and what a
// restore sends.
#include <gtest/gtest.h>

#include "platform/kernel/emu.h"
#include "tests/driver/adapter_rig.h"
#include "tests/audioclass/controls/unit_double.h"
#include "tests/usbaudio/walk_doubles.h"
#include "audioclass/controls/uac_level_controls.h"
#include "audioclass/controls/uac_unit_controls.h"
#include "audioclass/units/uac1_terminals.h"
#include "audioclass/controls/volume_arithmetic.h"
#include "usbaudio/topology/properties.h"

namespace
{
constexpr ULONG kTag = POOL_TAG("UaCt");
constexpr LONG kDb = 65536;
constexpr LONG kInf = LEVEL_MINUS_INFINITY;

template <typename T> struct Owned
{
    T* Object;
    template <typename... A>
    explicit Owned(A&&... args) : Object(new (NonPagedPool, kTag) T(args...))
    {
        Object->AddRef();
    }
    ~Owned() { Object->Release(); }
    T* operator->() const { return Object; }
};

struct UnitFor
{
    FakeUnitScript Script;
    CUacUnit* Unit;
    UnitFor(LONG maximum, LONG minimum, LONG resolution, ULONG channels = 2)
    {
        Script.Maximum = maximum;
        Script.Minimum = minimum;
        Script.Resolution = resolution;
        Script.Channels = channels;
        Unit = MakeFakeUnit(&Script);
    }
    ~UnitFor() { Unit->Release(); }
};
} // namespace

// A set clamps into the range and sends the clamped value snapped toward
// zero, keeping the clamped one; minus infinity goes out as it is (volume),
// as the snapped minimum (tone, gain pad), kept as minus infinity (tone) or
// the minimum (gain pad). A refused set keeps the old value.
TEST(UacControls, LevelSets)
{
    const LONG maximum = 10 * kDb, minimum = -806093; // about -12.3 dB
    struct Case
    {
        const UacRangedKind* Kind;
        ULONG Channel;
        LONG Value;
        NTSTATUS SetStatus;
        NTSTATUS Status;
        const char* Sent; // "" for nothing
        LONG Kept;
    } cases[] = {
        {&UAC_VOLUME_CONTROL, 0, 85197, STATUS_SUCCESS, STATUS_SUCCESS, "level 2 0 65536", 85197},
        {&UAC_VOLUME_CONTROL, 1, -85197, STATUS_SUCCESS, STATUS_SUCCESS, "level 2 1 -65536",
         -85197},
        {&UAC_VOLUME_CONTROL, 0, kInf, STATUS_SUCCESS, STATUS_SUCCESS, "level 2 0 -2147483648",
         kInf},
        {&UAC_VOLUME_CONTROL, 0, maximum + 1, STATUS_SUCCESS, STATUS_SUCCESS, "level 2 0 655360",
         maximum},
        {&UAC_VOLUME_CONTROL, 0, minimum - 1, STATUS_SUCCESS, STATUS_SUCCESS, "level 2 0 -786432",
         minimum},
        {&UAC_VOLUME_CONTROL, 0, minimum, STATUS_SUCCESS, STATUS_SUCCESS, "level 2 0 -786432",
         minimum},
        {&UAC_BASS_CONTROL, 0, kInf, STATUS_SUCCESS, STATUS_SUCCESS, "level 3 0 -786432", kInf},
        {&UAC_TREBLE_CONTROL, 1, 65535, STATUS_SUCCESS, STATUS_SUCCESS, "level 5 1 0", 65535},
        {&UAC_GAIN_PAD_CONTROL, 0, kInf, STATUS_SUCCESS, STATUS_SUCCESS, "level 12 0 -786432",
         minimum},
        {&UAC_VOLUME_CONTROL, 0, kDb, STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL, "level 2 0 65536",
         7},
        {&UAC_VOLUME_CONTROL, 2, kDb, STATUS_SUCCESS, STATUS_INVALID_PARAMETER, "", 7},
    };
    for (const Case& c : cases)
    {
        UnitFor unit(maximum, minimum, kDb);
        unit.Script.Levels = {7, 7, 7};
        Owned<CUacRangedControl> control(4u, *c.Kind);
        ASSERT_EQ(STATUS_SUCCESS,
                  control->CreateRangedControl(unit.Unit, c.Kind->Selector, nullptr));
        unit.Script.SetStatus = c.SetStatus;
        EXPECT_EQ(c.Status, control->SetValue(c.Channel, c.Value))
            << c.Kind->ClassName << " " << c.Value;
        EXPECT_EQ(c.Sent, unit.Script.Log.empty() ? std::string() : unit.Script.Log.back())
            << c.Value;
        LONG kept = 0;
        control->GetValue(c.Channel < 2 ? c.Channel : 0, &kept);
        EXPECT_EQ(c.Kept, kept) << c.Kind->ClassName << " " << c.Value;
        // A restore sends what the set sent; the other channel holds the
        // device's own 7, off the steps, which goes back as it came.
        unit.Script.SetStatus = STATUS_SUCCESS;
        unit.Script.Log.clear();
        EXPECT_EQ(STATUS_SUCCESS, control->RestoreState());
        const std::string own = "level " + std::to_string(c.Kind->Selector) + " ";
        std::vector<std::string> restored = {own + "0 7", own + "1 7"};
        if (NT_SUCCESS(c.Status))
            restored[c.Channel] = c.Sent;
        EXPECT_EQ(restored, unit.Script.Log) << c.Kind->ClassName << " " << c.Value;
    }
}

// The gain pad's channel 0xFFFFFFFF sets every channel and reads channel 0.
TEST(UacControls, GainPadAllChannels)
{
    UnitFor unit(10 * kDb, -10 * kDb, kDb, 3);
    Owned<CUacRangedControl> control(4u, UAC_GAIN_PAD_CONTROL);
    ASSERT_EQ(STATUS_SUCCESS, control->CreateRangedControl(unit.Unit, 12, nullptr));
    EXPECT_EQ(STATUS_SUCCESS, control->SetValue(UAC_ALL_CHANNELS, 2 * kDb));
    EXPECT_EQ(
        (std::vector<std::string>{"level 12 0 131072", "level 12 1 131072", "level 12 2 131072"}),
        unit.Script.Log);
    LONG value = 0;
    EXPECT_EQ(STATUS_SUCCESS, control->GetValue(UAC_ALL_CHANNELS, &value));
    EXPECT_EQ(2 * kDb, value);
}

// Ranges whose sets could not be computed are refused at creation.
TEST(UacControls, UnusableRangesAreRefused)
{
    struct Case
    {
        LONG Maximum, Minimum, Resolution;
        NTSTATUS Status;
    } cases[] = {
        {kDb, -kDb, 0, STATUS_DEVICE_DATA_ERROR},
        {kDb, -kDb, 1, STATUS_SUCCESS},
        {-kDb, -kDb + 1, kDb, STATUS_DEVICE_DATA_ERROR},
        {-kDb, -kDb, kDb, STATUS_SUCCESS},
        {kDb, -kDb, -kDb, STATUS_SUCCESS},
    };
    for (const Case& c : cases)
    {
        UnitFor unit(c.Maximum, c.Minimum, c.Resolution);
        Owned<CUacRangedControl> control(4u, UAC_VOLUME_CONTROL);
        EXPECT_EQ(c.Status, control->CreateRangedControl(unit.Unit, 2, nullptr)) << c.Resolution;
    }
}

// Mute keeps what it was given whatever the device answers; the switch 144
// keeps only what the device took; the switch 22 asks no device.
TEST(UacControls, BooleanSets)
{
    struct Case
    {
        const UacBooleanKind* Kind;
        NTSTATUS SetStatus;
        UCHAR Kept;
        size_t Requests;
    } cases[] = {
        {&UAC_MUTE_CONTROL, STATUS_SUCCESS, 1, 1},
        {&UAC_MUTE_CONTROL, STATUS_UNSUCCESSFUL, 1, 1},
        {&UAC_SWITCH144_CONTROL, STATUS_SUCCESS, 1, 1},
        {&UAC_SWITCH144_CONTROL, STATUS_UNSUCCESSFUL, 0, 1},
        {&UAC_SWITCH_CONTROL, STATUS_UNSUCCESSFUL, 1, 0},
    };
    for (const Case& c : cases)
    {
        UnitFor unit(0, 0, 1, 1);
        Owned<CUacBooleanControl> control(3u, *c.Kind);
        ASSERT_EQ(STATUS_SUCCESS,
                  c.Kind->Set == BooleanSet::KeepOnly
                      ? control->CreateSwitchControl(unit.Unit, nullptr)
                      : control->CreateBooleanControl(unit.Unit, c.Kind->Selector, nullptr));
        unit.Script.SetStatus = c.SetStatus;
        control->SetValue(0, 1);
        UCHAR kept = 9;
        control->GetValue(0, &kept);
        EXPECT_EQ(c.Kept, kept) << c.Kind->ClassName;
        EXPECT_EQ(c.Requests, unit.Script.Log.size()) << c.Kind->ClassName;
        EXPECT_EQ(STATUS_INVALID_PARAMETER, control->SetValue(1, 1));
    }
}

// The selector starts at its stored input, limited to 1..inputs.
TEST(UacControls, SelectorStartsAtItsStoredInput)
{
    struct Case
    {
        LONG Stored; // -1: none
        ULONG Current;
    } cases[] = {{-1, 3}, {9, 4}, {4, 4}, {0, 1}, {2, 2}};
    for (const Case& c : cases)
    {
        UsbAdapterRig rig(SimCreateReferenceDevice(SimReference::Uac1SpeakerMic));
        if (c.Stored >= 0)
            rig.SetSetting(u"Unit05_", (ULONG)c.Stored);
        FakeUnitScript script;
        script.Current = 3;
        CUacUnit* unit = MakeFakeUnit(&script);
        Owned<CUacSelectorControl> control(5u);
        ASSERT_EQ(STATUS_SUCCESS, control->CreateSelectorControl(unit, rig.Fdo()));
        ULONG current = 0;
        control->GetCurrent(&current);
        EXPECT_EQ(c.Current, current) << c.Stored;
        EXPECT_EQ(STATUS_INVALID_PARAMETER, control->SetCurrent(5));
        EXPECT_EQ(STATUS_SUCCESS, control->SetCurrent(2));
        ULONG stored = 0;
        EXPECT_TRUE(rig.GetSetting(u"Unit05_", &stored));
        EXPECT_EQ(2u, stored);
        unit->Release();
    }
}

// Three tables of terminal types on purpose: what an input terminal
// reports, what the capability records of its control use, and what an
// output terminal reports (a type of the USB side, 0x0100 to 0x01FF, reads
// as "SPK" on the interrupt path).
TEST(UacControls, TerminalKindTables)
{
    struct Case
    {
        USHORT Type;
        ULONG Input, Capability, Output, Interrupt;
    } cases[] = {
        {0x0101, 0, 6, 0, 1},  {0x0201, 7, 7, 1, 1},     {0x0202, 7, 11, 1, 1},
        {0x0206, 7, 6, 1, 1},  {0x0207, 8, 6, 1, 1},     {0x0301, 8, 6, 1, 1},
        {0x0302, 8, 2, 2, 2},  {0x0401, 13, 13, 13, 13}, {0x0402, 14, 14, 14, 14},
        {0x0403, 15, 6, 1, 1}, {0x0405, 15, 6, 1, 1},    {0x0406, 8, 6, 1, 1},
        {0x0601, 8, 6, 6, 6},  {0x0603, 6, 6, 6, 6},     {0x0605, 3, 3, 3, 3},
        {0x0606, 8, 6, 1, 1},  {0x00FF, 8, 6, 1, 1},     {0x0100, 0, 6, 0, 1},
        {0x01FF, 0, 6, 0, 1},  {0x0200, 8, 6, 1, 1},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(c.Input, InputTerminalKindForType(c.Type)) << std::hex << c.Type;
        EXPECT_EQ(c.Capability, TerminalTypeToEndpointKind(c.Type)) << std::hex << c.Type;
        EXPECT_EQ(c.Output, OutputTerminalKindForType(c.Type)) << std::hex << c.Type;
        EXPECT_EQ(c.Output == 0 ? 1 : c.Output, OutputTerminalTypeToEndpointKind(c.Type))
            << std::hex << c.Type;
        EXPECT_EQ(c.Interrupt, InterruptOutputKindForType(c.Type)) << std::hex << c.Type;
    }
}

// A new jack count brings a new array for the records. Where it cannot be
// had, the control answers the failure for the count and the records, not
// the records it held before nor none at all: the stream's jacks read as
// unread, which leaves its filter as it was, until a read works.
TEST(UacControls, TerminalJacksOfANewCount)
{
    using State = CStreamEngine::JackState;
    const JackRecord plugged = {0x3, 0x00FF00, 1, 1, 0, 0, 0, 1, 0};
    JackRecord unplugged = plugged;
    unplugged.IsConnected = 0;
    const struct
    {
        std::vector<JackRecord> Jacks;
        bool Fails;    // the records' array cannot be had
        NTSTATUS Read; // the control's answer for the count and the records
        State Stream;
    } steps[] = {
        {{unplugged, unplugged}, true, STATUS_INSUFFICIENT_RESOURCES, State::Unread},
        {{unplugged, unplugged}, false, STATUS_SUCCESS, State::Unplugged},
        {{plugged}, true, STATUS_INSUFFICIENT_RESOURCES, State::Unread},
        {{}, false, STATUS_SUCCESS, State::Connected}, // nothing to detect
        {{plugged}, true, STATUS_INSUFFICIENT_RESOURCES, State::Unread},
        {{unplugged, plugged}, false, STATUS_SUCCESS, State::Connected},
    };
    FakeUnitScript script;
    script.Jacks = {plugged};
    CUacUnit* unit = MakeFakeUnit(&script, 3);
    Owned<CUacTerminalControl> control(7u, (ULONG)CONTROL_KIND_OUTPUT_TERMINAL, 0u);
    ASSERT_EQ(STATUS_SUCCESS, control->InitTerminalControl(unit, EndpointCapabilities{}));
    CUsbAudioStream* stream = MakeTestStream(STREAM_DIRECTION_RENDER);
    ASSERT_EQ(STATUS_SUCCESS, stream->AddPathControl(control.Object));
    EXPECT_EQ(State::Connected, stream->ReadJackState());
    for (size_t i = 0; i < std::size(steps); ++i)
    {
        script.Jacks = steps[i].Jacks;
        if (steps[i].Fails)
            EmuPoolInjectFailure(TERMINAL_CONTROL_POOL_TAG, 0);
        EXPECT_EQ(steps[i].Read, control->UpdateState()) << i;
        EmuPoolClearInjection();
        ULONG count = 0;
        JackRecord read[2] = {};
        EXPECT_EQ(steps[i].Read, control->GetJackCount(&count)) << i;
        // Records only from a read that worked, and the ones it read.
        const NTSTATUS info = control->GetJackInfo(sizeof(read), read);
        EXPECT_EQ(NT_SUCCESS(steps[i].Read) && count != 0, NT_SUCCESS(info)) << i;
        EXPECT_TRUE(!NT_SUCCESS(steps[i].Read) || count == steps[i].Jacks.size()) << i;
        EXPECT_TRUE(!NT_SUCCESS(info) ||
                    memcmp(read, steps[i].Jacks.data(), count * JACK_RECORD_SIZE) == 0)
            << i;
        EXPECT_EQ(steps[i].Stream, stream->ReadJackState()) << i;
    }
    stream->Release();
    unit->Release();
}

// A mode change re-applies the values stored for the new mode, on the
// channels that mode reports.
TEST(UacControls, ValuesKeptPerMode)
{
    UsbAdapterRig rig(SimCreateReferenceDevice(SimReference::Uac1SpeakerMic));
    rig.SetSetting(u"Unit04_ 3_0", (ULONG)(-3 * kDb));
    rig.SetSetting(u"Unit04_ 3_1", (ULONG)(-4 * kDb));
    UnitFor unit(0, -20 * kDb, kDb, 6);
    Owned<CUacRangedControl> control(4u, UAC_VOLUME_CONTROL);
    ASSERT_EQ(STATUS_SUCCESS, control->CreateRangedControl(unit.Unit, 2, rig.Fdo()));
    unit.Script.Log.clear();
    EXPECT_EQ(STATUS_SUCCESS, control->SetMode(3, nullptr));
    EXPECT_EQ((std::vector<std::string>{"level 2 0 -196608", "level 2 1 -262144"}),
              unit.Script.Log);
    ULONG channels = 0;
    control->GetChannelCount(&channels);
    EXPECT_EQ(2u, channels);
}

// A restore sends a channel's value only when it is known (the device gave
// it, a set since, or "Settings") and the device lets the driver write it:
// the device's own as it came, even off the 2 dB steps; one from "Settings"
// as a set sends it, unless the device had it too.
TEST(UacControls, RestoreSendsOnlyKnownWritableValues)
{
    const LONG levels[] = {-1 * kDb, -2 * kDb, -5 * kDb};
    const UCHAR booleans[] = {1, 0, 1};
    struct Case
    {
        const char* What;
        ULONG Unread, ReadOnly;
        int SetSince; // channel set to -6 dB (level) or 1 (on/off) after creation, or -1
        int Stored;   // channel with -5 dB (level) or 1 (on/off) in "Settings", or -1
    } cases[] = {
        {"all read", 0, 0, -1, -1},
        {"channel 1 unread", 2, 0, -1, -1},
        {"channel 1 unread, set since", 2, 0, 1, -1},
        {"channel 0 read-only", 0, 1, -1, -1},
        {"channel 2 unread, in Settings", 4, 0, -1, 2},
        {"channel 2 in Settings as the device has it", 0, 0, -1, 2},
    };
    ULONG id = 20;
    for (const Case& c : cases)
    {
        UsbAdapterRig rig(SimCreateReferenceDevice(SimReference::Uac1SpeakerMic));
        const ULONG levelId = id++, booleanId = id++;
        if (c.Stored >= 0)
        {
            auto name = [&](ULONG control)
            {
                return u"Unit" +
                       std::u16string{(char16_t)(u'0' + control / 10),
                                      (char16_t)(u'0' + control % 10)} +
                       u"_ 0_" + std::u16string(1, (char16_t)(u'0' + c.Stored));
            };
            rig.SetSetting(name(levelId), (ULONG)(-5 * kDb));
            EmuRegistrySetBinary(rig.SettingsPath(), name(booleanId), {1});
        }
        UnitFor unit(0, -20 * kDb, 2 * kDb, 3);
        unit.Script.Levels.assign(levels, levels + 3);
        unit.Script.Booleans.assign(booleans, booleans + 3);
        unit.Script.UnreadChannels = c.Unread;
        unit.Script.ReadOnlyChannels = c.ReadOnly;
        Owned<CUacRangedControl> level(levelId, UAC_VOLUME_CONTROL);
        Owned<CUacBooleanControl> mute(booleanId, UAC_MUTE_CONTROL);
        ASSERT_EQ(STATUS_SUCCESS, level->CreateRangedControl(unit.Unit, 2, rig.Fdo()));
        ASSERT_EQ(STATUS_SUCCESS, mute->CreateBooleanControl(unit.Unit, 1, rig.Fdo()));
        if (c.SetSince >= 0)
        {
            level->SetValue(c.SetSince, -6 * kDb);
            mute->SetValue(c.SetSince, 1);
        }
        unit.Script.Log.clear();
        EXPECT_EQ(STATUS_SUCCESS, level->RestoreState());
        EXPECT_EQ(STATUS_SUCCESS, mute->RestoreState());
        std::vector<std::string> levelsSent, booleansSent;
        for (int ch = 0; ch < 3; ++ch)
        {
            const bool given = (c.Unread >> ch & 1) == 0;
            if ((c.ReadOnly >> ch & 1) != 0 || !(given || ch == c.SetSince || ch == c.Stored))
                continue;
            const bool changed = ch == c.SetSince || ch == c.Stored;
            const LONG stored = given && levels[ch] == -5 * kDb ? -5 * kDb : -4 * kDb;
            const LONG sent = ch == c.SetSince ? -6 * kDb : ch == c.Stored ? stored : levels[ch];
            levelsSent.push_back("level 2 " + std::to_string(ch) + " " + std::to_string(sent));
            booleansSent.push_back("boolean 1 " + std::to_string(ch) + " " +
                                   std::to_string(changed ? 1 : booleans[ch]));
        }
        levelsSent.insert(levelsSent.end(), booleansSent.begin(), booleansSent.end());
        EXPECT_EQ(levelsSent, unit.Script.Log) << c.What;
    }
}

// The DEV_SPECIFIC requests of the gain and switch nodes read and write
// exactly four bytes: an instance or a value one byte short is refused, and
// nothing past either buffer is touched (each buffer is its size exactly).
TEST(UacControls, DevSpecificRequestsAtTheirBounds)
{
    UnitFor unit(10 * kDb, -10 * kDb, kDb, 2);
    unit.Script.Levels[1] = 3 * kDb;
    Owned<CUacRangedControl> gain(4u, UAC_GAIN_PAD_CONTROL);
    ASSERT_EQ(STATUS_SUCCESS, gain->CreateRangedControl(unit.Unit, 12, nullptr));
    Owned<CUacBooleanControl> on(3u, UAC_SWITCH_CONTROL);
    ASSERT_EQ(STATUS_SUCCESS, on->CreateSwitchControl(unit.Unit, nullptr));
    on->SetValue(0, 1);
    constexpr ULONG G = KSPROPERTY_TYPE_GET, S = KSPROPERTY_TYPE_SET;
    struct Case
    {
        bool Gain;
        ULONG Verb, InstanceBytes, ValueBytes;
        NTSTATUS Status;
        LONG Read; // the value a get returns
    } cases[] = {
        {true, G, 4, 4, STATUS_SUCCESS, 3 * kDb},
        {true, G, 4, 3, STATUS_INVALID_PARAMETER, 0},
        {true, G, 3, 4, STATUS_INVALID_PARAMETER, 0},
        {true, S, 4, 3, STATUS_INVALID_PARAMETER, 0},
        {true, S, 3, 4, STATUS_INVALID_PARAMETER, 0},
        {false, G, 0, 4, STATUS_SUCCESS, 1},
        {false, G, 0, 3, STATUS_INVALID_PARAMETER, 0},
        {false, S, 0, 3, STATUS_INVALID_PARAMETER, 0},
    };
    for (const Case& c : cases)
    {
        const PCPROPERTY_ITEM item = {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, c.Verb,
                                      nullptr};
        std::vector<UCHAR> instance(c.InstanceBytes, 0), value(c.ValueBytes, 0);
        if (c.InstanceBytes == 4)
            instance[0] = 1;
        PCPROPERTY_REQUEST request = {};
        request.PropertyItem = &item;
        request.Verb = c.Verb;
        request.InstanceSize = c.InstanceBytes;
        request.Instance = instance.empty() ? nullptr : instance.data();
        request.ValueSize = c.ValueBytes;
        request.Value = value.data();
        const NTSTATUS status =
            c.Gain ? GainProperty(&request, gain.Object) : SwitchProperty(&request, on.Object);
        EXPECT_EQ(c.Status, status) << c.Gain << " " << c.Verb << " " << c.ValueBytes;
        if (NT_SUCCESS(c.Status))
        {
            LONG read = 0;
            memcpy(&read, value.data(), 4);
            EXPECT_EQ(c.Read, read) << c.Gain;
            EXPECT_EQ(4u, request.ValueSize);
        }
    }
    EXPECT_EQ(std::vector<std::string>{}, unit.Script.Log); // nothing refused reached the unit
}
