// The class 2.0 walks on the reference devices and on descriptor sets that
// bend them: the clock source and its rates, the units and terminals with
// their controls, paths and formats (raw data included), the starts that
// fail, and what the terminals and units answer the interrupt path.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "platform/kernel/emu.h"
#include "streaming/usb/usb_audio2_capture.h"
#include "sim/devices/sim_vendor_presets.h"
#include "streaming/usb/usb_audio2_render.h"
#include "tests/usbaudio/usbaudio_doubles.h"
#include "audioclass/controls/control_interfaces.h"
#include "usbaudio/uac2/walkers.h"
#include "audioclass/units/uac2_terminals.h"
#include "audioclass/units/uac2_units.h"

namespace
{
struct Uac2Started
{
    explicit Uac2Started(std::unique_ptr<SimUsbDevice> device) : Rig(std::move(device))
    {
        UseDeviceClasses(false);
        EmuDbgClear(); // the debug output holds this start's lines only
        Status = Rig.Ok() ? Rig.Start() : STATUS_UNSUCCESSFUL;
    }
    CUsbAudioDevice* Device() { return DeviceOf(Rig); }
    SimUsbDevice* Sim() { return Rig.Device(); }
    CUacUnit* Unit(ULONG id)
    {
        CAudioControl* unit = nullptr;
        return NT_SUCCESS(Device()->FindUnitByIdInDevice(id, &unit)) ? static_cast<CUacUnit*>(unit)
                                                                     : nullptr;
    }
    template <typename I> I* Query(ULONG unitId, REFIID iid)
    {
        I* answer = nullptr;
        CUacUnit* unit = Unit(unitId);
        if (unit != nullptr && NT_SUCCESS(unit->QueryInterface(iid, (PVOID*)&answer)))
            answer->Release(); // the device holds the unit
        return answer;
    }
    UsbAdapterRig Rig;
    NTSTATUS Status;
};

// The reference device with three clock rates.
std::unique_ptr<SimUsbDevice> HighSpeedDevice(const std::vector<ULONG>& rates = {44100, 48000,
                                                                                 96000})
{
    auto device = SimCreateReferenceDevice(SimReference::Uac2HighSpeed);
    device->Audio().SetClockRates(SimRef3::Clock, rates);
    return device;
}

// "id:kind<-sources" of the device's controls.
std::string ControlText(CUsbAudioDevice* device)
{
    std::string text;
    for (ULONG i = 0; i < device->GetUnitCount(); ++i)
    {
        CAudioControl* control = nullptr;
        device->GetUnit(i, &control);
        ULONG values[8] = {}, count = 8;
        control->GetValues(&count, values);
        text += (i ? " " : "") + std::to_string(control->GetId()) + ":" +
                std::to_string(control->GetKind());
        for (ULONG v = 0; v < count; ++v)
            text += (v ? "," : "<-") + std::to_string(values[v]);
    }
    return text;
}

// "path ids / rate bits valid channels mask subformat" of an engine.
std::string EngineText(CUsbAudioDevice* device, ULONG index)
{
    CStreamEngine* engine = nullptr;
    if (!NT_SUCCESS(device->GetEngine(index, &engine)))
        return "none";
    std::string text;
    for (ULONG i = 0; i < engine->GetControlCount(); ++i)
    {
        CAudioControl* control = nullptr;
        engine->GetControlAt(i, &control);
        text += std::to_string(control->GetId()) + " ";
    }
    text += "/";
    for (ULONG i = 0; i < engine->GetFormatCount(); ++i)
    {
        WAVEFORMATEXTENSIBLE f = {};
        engine->GetFormatAt(i, &f);
        char one[80];
        snprintf(one, sizeof(one), " %lu-%u-%u-%u-%lx-%lx", (unsigned long)f.Format.nSamplesPerSec,
                 f.Format.wBitsPerSample, f.Samples.wValidBitsPerSample, f.Format.nChannels,
                 (unsigned long)f.dwChannelMask, (unsigned long)f.SubFormat.Data1);
        text += one;
    }
    return text;
}

// The offset of the nth class-specific AudioControl descriptor of a subtype,
// or of an AudioStreaming one when `streaming`.
size_t Locate(const std::vector<UCHAR>& c, UCHAR subtype, int nth = 0, bool streaming = false)
{
    bool inStreaming = false;
    for (size_t pos = c[0]; pos + 2 < c.size(); pos += c[pos])
    {
        if (c[pos + 1] == 4)
            inStreaming = c[pos + 5] == 1 && c[pos + 6] == 2;
        if (inStreaming == streaming && c[pos + 1] == USB_AUDIO_CS_INTERFACE &&
            c[pos + 2] == subtype && nth-- == 0)
            return pos;
    }
    ADD_FAILURE() << "no subtype " << (int)subtype;
    return 0;
}

using Edit = std::function<void(std::vector<UCHAR>&)>;

// The reference device with its configuration edited, the total length
// following the edit, and, if given, its clock's rates.
std::unique_ptr<SimUsbDevice> EditedDevice(const Edit& edit, const std::vector<ULONG>& rates = {})
{
    DeviceBytes bytes = ReferenceBytes(SimReference::Uac2HighSpeed);
    auto& c = bytes.Configuration;
    edit(c), c[2] = (UCHAR)c.size(), c[3] = (UCHAR)(c.size() >> 8);
    auto device = MakeSimDevice(bytes);
    if (!rates.empty())
        device->Audio().SetClockRates(SimRef3::Clock, rates);
    return device;
}

// `count` rates from 8000 Hz, 1000 Hz apart.
std::vector<ULONG> SteppedRates(ULONG count)
{
    std::vector<ULONG> rates;
    for (ULONG i = 0; i < count; ++i)
        rates.push_back(8000 + 1000 * i);
    return rates;
}

// A RANGE reply of single rates, with subrange `rangeAt` made a range.
std::vector<UCHAR> RangeReply(const std::vector<ULONG>& rates, int rangeAt = -1)
{
    std::vector<UCHAR> r = {(UCHAR)rates.size(), (UCHAR)(rates.size() >> 8)};
    for (size_t i = 0; i < rates.size(); ++i)
    {
        const ULONG max = (int)i == rangeAt ? rates[i] + 1000 : rates[i];
        for (ULONG v : {rates[i], max, (ULONG)0})
            for (int b = 0; b < 4; ++b)
                r.push_back((UCHAR)(v >> (8 * b)));
    }
    return r;
}

// The clock's sampling-frequency RANGE requests.
const SimRequestMatch kClockRange = {0xA1, 0x02, 0x0100, SimRef3::Clock << 8};
constexpr UCHAR kFeature = 6, kGeneral = 1;

// The capture setting's general and format-type descriptors both of Type II.
const auto kTypeTwo = [](std::vector<UCHAR>& c)
{ c[Locate(c, kGeneral, 2, true) + 5] = c[Locate(c, 2, 2, true) + 3] = 2; };
} // namespace

// Units, clock, controls linked to their sources, one stream per interface
// with its clock, path and a record per alternate setting and clock rate.
TEST(Uac2Walk, ReferenceDeviceStartsWithItsClock)
{
    Uac2Started s(HighSpeedDevice());
    ASSERT_EQ(STATUS_SUCCESS, s.Status);
    // Clock control 0; input terminal 1; mute 2 and volume 3 chained to it;
    // speaker 4 on the unit's last control; microphone 5; mute 6 and volume
    // 7; streaming output terminal 8. The paths pass every control.
    EXPECT_EQ("0:12 1:0 2:2<-1 3:3<-2 4:1<-3 5:0 6:2<-5 7:3<-6 8:1<-7", ControlText(s.Device()));
    EXPECT_EQ("4 3 2 1 / 44100-16-16-2-3-1 48000-16-16-2-3-1 96000-16-16-2-3-1 "
              "44100-32-24-2-3-1 48000-32-24-2-3-1 96000-32-24-2-3-1",
              EngineText(s.Device(), 0));
    EXPECT_EQ("8 7 6 5 / 44100-16-16-2-3-1 48000-16-16-2-3-1 96000-16-16-2-3-1",
              EngineText(s.Device(), 1));
    CStreamEngine* render = nullptr;
    CStreamEngine* capture = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, s.Device()->GetEngine(0, &render));
    ASSERT_EQ(STATUS_SUCCESS, s.Device()->GetEngine(1, &capture));
    EXPECT_EQ(
        0u,
        static_cast<CUsbAudio2Render*>(static_cast<CUsbAudioStream*>(render))->GetClockControlId());
    EXPECT_EQ(0u, static_cast<CUsbAudio2Capture*>(static_cast<CUsbAudioStream*>(capture))
                      ->GetClockControlId());
    PCLOCKSOURCELINK link = s.Query<IClockSourceLink>(SimRef3::Speaker, IID_IClockSourceLink);
    ASSERT_NE(nullptr, link);
    ULONG clock = 0;
    EXPECT_EQ(STATUS_SUCCESS, link->GetClockSourceId(&clock));
    EXPECT_EQ(SimRef3::Clock, clock);
    EXPECT_EQ(nullptr, s.Query<IClockSourceLink>(SimRef3::FeaturePlay, IID_IClockSourceLink));
}

// The clock source's rates: the caller's count lowered to the device's, the
// request as long as the count asks for, a range entry refused with the
// single rates written; the rate and validity read from the device.
TEST(Uac2Walk, ClockSourceRates)
{
    Uac2Started s(HighSpeedDevice());
    ASSERT_EQ(STATUS_SUCCESS, s.Status);
    PCLOCKCONTROL clock = s.Query<IClockControl>(SimRef3::Clock, IID_IClockControl);
    ASSERT_NE(nullptr, clock);
    struct Case
    {
        ULONG Count;
        ULONG Returned;
        const char* Request;
    } cases[] = {{30, 3, "A1 02 0100 1000 0026"},
                 {3, 3, "A1 02 0100 1000 0026"},
                 {2, 2, "A1 02 0100 1000 001A"},
                 {1, 1, "A1 02 0100 1000 000E"}};
    for (const Case& c : cases)
    {
        ULONG rates[30] = {};
        ULONG count = c.Count;
        s.Sim()->ClearLog();
        EXPECT_EQ(STATUS_SUCCESS, clock->GetFrequencies(&count, rates));
        EXPECT_EQ(c.Returned, count);
        const ULONG expected[3] = {44100, 48000, 96000};
        for (ULONG i = 0; i < 3; ++i)
            EXPECT_EQ(i < c.Returned ? expected[i] : 0u, rates[i]) << c.Count;
        ASSERT_EQ(2u, s.Sim()->Log().size());
        EXPECT_EQ(0u, s.Sim()->Log()[1].Text().rfind(c.Request, 0)) << s.Sim()->Log()[1].Text();
    }
    ULONG count = 0;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, clock->GetFrequencies(nullptr, &count));
    EXPECT_EQ(STATUS_SUCCESS, clock->GetCount(&count));
    EXPECT_EQ(3u, count);
    EXPECT_EQ(STATUS_SUCCESS, clock->SetFrequency(96000));
    EXPECT_EQ(96000u, s.Sim()->Audio().ClockRate(SimRef3::Clock));
    ULONG hz = 0;
    EXPECT_EQ(STATUS_SUCCESS, clock->GetCurrent(&hz));
    EXPECT_EQ(96000u, hz);
    UCHAR valid = 7;
    s.Sim()->Audio().SetClockValid(SimRef3::Clock, false);
    EXPECT_EQ(STATUS_SUCCESS, clock->GetClockValid(&valid));
    EXPECT_EQ(0, valid);
    // A range in the middle: the single rates on either side are written.
    s.Sim()->ScriptRequest(kClockRange, RangeReply({44100, 48000, 96000}, 1));
    ULONG rates[3] = {1, 2, 3};
    count = 3;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, clock->GetFrequencies(&count, rates));
    EXPECT_EQ(44100u, rates[0]);
    EXPECT_EQ(2u, rates[1]);
    EXPECT_EQ(96000u, rates[2]);
    // A reply shorter than the list asked for is not read past its end.
    std::vector<UCHAR> shortReply = RangeReply({44100, 48000, 96000});
    shortReply.resize(2 + 12 * 2 + 11);
    s.Sim()->ScriptRequest(kClockRange, shortReply);
    ULONG untouched[3] = {1, 2, 3};
    count = 3;
    EXPECT_FALSE(NT_SUCCESS(clock->GetFrequencies(&count, untouched)));
    EXPECT_EQ(1u, untouched[0]);
    EXPECT_EQ(3u, untouched[2]);
}

// Starts the descriptors or the device make fail, each with its status.
TEST(Uac2Walk, StartsThatFail)
{
    using Edit = std::function<void(std::vector<UCHAR>&)>;
    struct Case
    {
        const char* What;
        Edit Change;
        NTSTATUS Status;
    } cases[] = {
        {"effect unit (7)", [](auto& c) { c[Locate(c, kFeature, 1) + 2] = 7; },
         STATUS_UNSUCCESSFUL},
        {"processing unit (8)", [](auto& c) { c[Locate(c, kFeature, 1) + 2] = 8; },
         STATUS_UNSUCCESSFUL},
        {"clock selector (11)", [](auto& c) { c[Locate(c, kFeature, 1) + 2] = 11; },
         STATUS_UNSUCCESSFUL},
        {"clock multiplier (12)", [](auto& c) { c[Locate(c, kFeature, 1) + 2] = 12; },
         STATUS_UNSUCCESSFUL},
        {"rate converter (13)", [](auto& c) { c[Locate(c, kFeature, 1) + 2] = 13; },
         STATUS_UNSUCCESSFUL},
        {"stream linked to a feature unit",
         [](auto& c) { c[Locate(c, kGeneral, 0, true) + 3] = 2; }, STATUS_INVALID_PARAMETER},
        {"terminal naming no clock", [](auto& c) { c[Locate(c, 2) + 7] = 0x11; },
         STATUS_UNSUCCESSFUL},
        {"format type 2", kTypeTwo, STATUS_INVALID_PARAMETER},
        {"format type before the general descriptor",
         [](auto& c) { c[Locate(c, kGeneral, 2, true) + 2] = 0x7F; }, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.Status, Uac2Started(EditedDevice(c.Change)).Status) << c.What;
}

// A feature unit without mute builds what it declares; one without any
// control hands on its source's link, and its path of two terminals gets the
// software mute node. A level whose range the device refuses is left out.
TEST(Uac2Walk, FeatureUnitsWithoutMute)
{
    struct Case
    {
        std::vector<UCHAR> Bitmaps; // master, left, right (first bytes)
        bool RangeRefused;          // the playback unit's volume RANGE stalls
        const char* Controls;
    } cases[] = {
        {{0x0C, 0x0C, 0x0C}, false, "0:12 1:0 2:3<-1 3:1<-2 4:0 5:2<-4 6:3<-5 7:1<-6"},
        {{0x00, 0x00, 0x00}, false, "0:12 1:0 2:1<-7 3:0 4:2<-3 5:3<-4 6:1<-5 7:2<-1"},
        {{0x0F, 0x0C, 0x0C}, true, "0:12 1:0 2:2<-1 3:1<-2 4:0 5:2<-4 6:3<-5 7:1<-6"},
    };
    for (const Case& c : cases)
    {
        DeviceBytes bytes = ReferenceBytes(SimReference::Uac2HighSpeed);
        for (size_t i = 0; i < c.Bitmaps.size(); ++i)
            bytes.Configuration[Locate(bytes.Configuration, kFeature) + 5 + 4 * i] = c.Bitmaps[i];
        auto device = MakeSimDevice(bytes);
        if (c.RangeRefused)
            device->InjectControlFault({0xA1, 0x02, 0x0201, SimRef3::FeaturePlay << 8},
                                       SimFaultKind::Stall);
        Uac2Started s(std::move(device));
        ASSERT_EQ(STATUS_SUCCESS, s.Status) << c.Controls;
        EXPECT_EQ(c.Controls, ControlText(s.Device()));
    }
}

// A playback unit whose table announces the switch 144 and the soft volume
// 130 on its master gets them after its class controls, 130 last, both on
// the path; 130 is the chain node that applies its gain, read-only
// channels of it leave the start alone.
TEST(Uac2Walk, PseudoControlsOfTheTableLast)
{
    for (bool writable : {true, false})
    {
        auto device = HighSpeedDevice();
        SimControlValue onOff, level;
        level.Size = 2;
        level.Ranged = true;
        level.Current = -3 * 256;
        level.Minimum = -60 * 256;
        level.Maximum = 0;
        level.Resolution = 256;
        const ULONG bits130 = writable ? 0xCu : 0x4u;
        SimPresetPseudoControls(*device, SimRef3::FeaturePlay, {0xC0000000u | bits130},
                                {{0x90, onOff}, {0x82, level}});
        Uac2Started s(std::move(device));
        ASSERT_EQ(STATUS_SUCCESS, s.Status) << writable;
        EXPECT_EQ("0:12 1:0 2:2<-1 3:3<-2 4:18<-3 5:3<-4 6:1<-5 7:0 8:2<-7 9:3<-8 10:1<-9",
                  ControlText(s.Device()));
        EXPECT_EQ(0u, EngineText(s.Device(), 0).rfind("6 5 4 3 2 1 /", 0));
        CAudioControl* pseudo = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, s.Device()->FindUnitById(5, &pseudo));
        IChainNode* node = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, pseudo->QueryInterface(IID_IChainNode, (PVOID*)&node));
        node->Release();
        LONG value = 0;
        PRANGEDCONTROL ranged = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, pseudo->QueryInterface(IID_IRangedControl, (PVOID*)&ranged));
        EXPECT_EQ(STATUS_SUCCESS, ranged->GetValue(0, &value));
        EXPECT_EQ(-3 * 65536, value);
        ranged->Release();
    }
}

// A mixer unit names bNrInPins at byte 4 and its sources from 5; an
// extension unit, after its two-byte code, at 6 and from 7. The unit's one
// mixer control has a place for each source.
TEST(Uac2Walk, MixerAndExtensionUnitSources)
{
    Uac2Started s(HighSpeedDevice());
    ASSERT_EQ(STATUS_SUCCESS, s.Status);
    struct Case
    {
        std::vector<UCHAR> Descriptor;
        std::vector<ULONG> Sources;
    } cases[] = {
        {{0x10, 0x24, 0x04, 0x07, 0x02, 0x05, 0x04, 0x02, 0x03, 0, 0, 0, 0, 0xFF, 0, 0}, {5, 4}},
        {{0x12, 0x24, 0x09, 0x08, 0x34, 0x12, 0x03, 0x01, 0x05, 0x04, 0x02, 0x03, 0, 0, 0, 0, 0, 0},
         {1, 5, 4}},
    };
    for (const Case& c : cases)
    {
        auto unit = new (NonPagedPool, POOL_TAG("XuTs"))
            CUac2MixerUnit(s.Device()->GetUnitCount(), c.Descriptor[2]);
        unit->AddRef();
        ASSERT_EQ(STATUS_SUCCESS, unit->Init(c.Descriptor.data(), s.Device()));
        ULONG values[8] = {}, count = 8;
        ASSERT_EQ(STATUS_SUCCESS, unit->GetValues(&count, values));
        EXPECT_EQ(c.Sources, std::vector<ULONG>(values, values + count));
        EXPECT_EQ(c.Descriptor[3], unit->GetId());
        CAudioControl* mixer = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, unit->UnitGetControl(0, &mixer));
        EXPECT_EQ(c.Sources.size(), mixer->GetValueCount());
        unit->Release();
    }
}

// The driver's debug output names what ended a failed start: a unit, or a
// device answer, refused on purpose in words, with its id, its interface
// and the start's status; a malformed descriptor or a refused request by its
// fields.
TEST(Uac2Walk, AFailedStartSaysWhy)
{
    using Answers = std::function<void(SimUsbDevice&)>;
    const auto asRecUnit = [](UCHAR subtype, UCHAR byte4 = 0) -> Edit
    {
        return [=](auto& c)
        {
            const size_t at = Locate(c, kFeature, 1); // 18 bytes, id 5
            c[at + 2] = subtype;
            c[at + 4] = byte4 != 0 ? byte4 : c[at + 4];
        };
    };
    const Edit bytesAsTheyAre = [](auto&) {};
    struct Case
    {
        const char* What;
        Edit Change;
        const char* Line = nullptr; // none: unit 5, of the kind `What`, is not supported
        Answers Device = [](SimUsbDevice&) {};
    } cases[] = {
        {"effect unit", asRecUnit(7)},
        {"processing unit", asRecUnit(8)},
        {"clock selector", asRecUnit(11)},
        {"clock multiplier", asRecUnit(12)},
        {"sample-rate converter", asRecUnit(13)},
        {"clock selector of 20 inputs in 18 bytes", asRecUnit(11, 20),
         "UsbAudio: AudioControl interface 0: descriptor subtype 0x0B id 5 length 18 refused "
         "(malformed): 0xC0000001"},
        {"subtype 0x7F", asRecUnit(0x7F),
         "UsbAudio: AudioControl interface 0: descriptor subtype 0x7F id 5 length 18 refused "
         "(unknown subtype): 0xC0000001"},
        {"format type 2", kTypeTwo,
         "UsbAudio: AudioStreaming interface 2 alternate setting 1: Type II format is not "
         "supported by this driver: 0xC000000D"},
        {"clock RANGE with a continuous subrange", bytesAsTheyAre,
         "UsbAudio: AudioControl interface 0: clock source 16 whose sampling-frequency RANGE "
         "holds a continuous subrange is not supported by this driver: 0xC000000D",
         [](SimUsbDevice& d) {
             d.ScriptRequest(kClockRange, RangeReply({44100, 48000}, 0));
         }},
        {"clock RANGE of 31 rates", bytesAsTheyAre,
         "UsbAudio: AudioControl interface 0: clock source 16 whose sampling-frequency RANGE "
         "holds more than 30 rates is not supported by this driver: 0xC000009A",
         [](SimUsbDevice& d) { d.Audio().SetClockRates(SimRef3::Clock, SteppedRates(31)); }},
        {"volume RANGE of two subranges", bytesAsTheyAre,
         "UsbAudio: AudioControl interface 0: feature unit 2 whose level RANGE holds several "
         "subranges is not supported by this driver: 0xC0000001",
         [](SimUsbDevice& d) { // two subranges of -60 to 0 dB in 1 dB steps, 2-byte levels
             d.ScriptRequest({0xA1, 0x02, 0x0201, SimRef3::FeaturePlay << 8},
                             {2, 0, 0x00, 0xC4, 0, 0, 0, 1, 0x00, 0xC4, 0, 0, 0, 1});
         }},
        {"clock RANGE stalled", bytesAsTheyAre,
         "UsbAudio: request IN bRequest 0x02 wValue 0x0100 wIndex 0x1000 wLength 14 refused: "
         "status 0xC0000001, USBD status 0xC0000004",
         [](SimUsbDevice& d) { d.InjectControlFault(kClockRange, SimFaultKind::Stall, 100); }},
    };
    for (const Case& c : cases)
    {
        auto device = EditedDevice(c.Change);
        c.Device(*device);
        Uac2Started s(std::move(device));
        ASSERT_FALSE(NT_SUCCESS(s.Status)) << c.What;
        const std::string line =
            c.Line != nullptr ? c.Line
                              : "UsbAudio: AudioControl interface 0: " + std::string(c.What) +
                                    " 5 is not supported by this driver: 0xC0000001";
        EXPECT_EQ(1u, DbgLinesSaying(line + "\n")) << c.What;
    }
}

// The clock's list decides the start: 30 single rates are taken, a 31st or
// a range is refused. A fixed clock's list is judged the same, though it
// offers only the rate it runs at.
TEST(Uac2Walk, ClockListsThatFailTheStart)
{
    for (UCHAR controls : {0x07, 0x05}) // frequency read/write; read-only, at the first rate
    {
        const Edit edit = [=](auto& c)
        { c[Locate(c, USB_AUDIO20_CLOCK_SOURCE_SUBTYPE) + 5] = controls; };
        EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
                  Uac2Started(EditedDevice(edit, SteppedRates(31))).Status);
        auto ranged = EditedDevice(edit, {44100, 48000});
        ranged->ScriptRequest(kClockRange, RangeReply({44100, 48000}, 0));
        EXPECT_EQ(STATUS_INVALID_PARAMETER, Uac2Started(std::move(ranged)).Status);
        Uac2Started s(EditedDevice(edit, SteppedRates(30)));
        EXPECT_EQ(STATUS_SUCCESS, s.Status);
        CStreamEngine* capture = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, s.Device()->GetEngine(1, &capture));
        EXPECT_EQ(controls == 0x05 ? 1u : 30u, capture->GetFormatCount());
    }
}

// Raw-data settings carry the maker's subformat, only where the interface
// says the setting is valid; PCM and compressed settings by their bits. PCM8
// is unsigned and 8-bit only. A coding or sample the driver does not carry
// (a subslot of 1 to 4 bytes, 1 to 8 bits of resolution a byte of it) leaves
// the interface out before its walk, with no stream; one whose walk leaves no
// format, or no PCM format (raw data or compressed alone), after it.
TEST(Uac2Walk, FormatKindsPerSetting)
{
    constexpr int kNoStream = -1, kNoPcm = -2;
    struct Case
    {
        const char* What;
        ULONG Formats;  // bmFormats of the capture setting
        UCHAR Type;     // its format type
        ULONG ValidMap; // valid alternate settings of the capture interface
        UCHAR Subslot;
        std::vector<ULONG> Subformats;
        int Unsigned = 0;    // the records' wire sign; kNoStream, kNoPcm: no capture stream
        int Resolution = -1; // -1: 8 x the subslot
        bool PcmToo = false; // a PCM copy of the capture setting as setting 2
    } cases[] = {
        {"PCM", 0x1, 1, 0x2, 2, {1, 1}},
        {"PCM, 8-bit", 0x1, 1, 0x2, 1, {1, 1}},
        {"PCM8", 0x2, 1, 0x2, 1, {1, 1}, 1},
        {"PCM and PCM8: PCM", 0x3, 1, 0x2, 1, {1, 1}},
        {"raw data, valid", 0x80000000, 1, 0x2, 2, {0x4C54, 0x4C54, 1, 1}, 0, -1, true},
        {"raw data (bit 15), valid, alone", 0x8000, 1, 0x3, 2, {}, kNoPcm},
        {"raw data, setting not valid", 0x80000000, 1, 0x4, 2, {}},
        {"PCM8 of more than 8 bits", 0x2, 1, 0x2, 2, {}, kNoStream},
        {"IEEE float", 0x4, 1, 0x2, 2, {}, kNoStream},
        {"compressed", 0x1001, 3, 0x2, 2, {0x92, 0x164, 0x92, 0x164, 1, 1}, 0, -1, true},
        {"compressed, WMA Pro only, alone", 0x1000, 3, 0x2, 2, {}, kNoPcm},
        {"subslot 0", 0x1, 1, 0x2, 0, {}, kNoStream, 8},
        {"subslot 4", 0x1, 1, 0x2, 4, {1, 1}},
        {"subslot 5", 0x1, 1, 0x2, 5, {}, kNoStream},
        {"subslot 9", 0x1, 1, 0x2, 9, {}, kNoStream, 16},
        {"resolution 0", 0x1, 1, 0x2, 2, {}, kNoStream, 0},
        {"resolution 1", 0x1, 1, 0x2, 2, {1, 1}, 0, 1},
        {"resolution 17 in 2 bytes", 0x1, 1, 0x2, 2, {}, kNoStream, 17},
        {"resolution 24 in 2 bytes", 0x1, 1, 0x2, 2, {}, kNoStream, 24},
        {"compressed, resolution 17 in 2 bytes", 0x1001, 3, 0x2, 2, {}, kNoStream, 17},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.What);
        const int resolution = c.Resolution >= 0 ? c.Resolution : 8 * c.Subslot;
        auto device = EditedDevice(
            [&](auto& conf)
            {
                const size_t general = Locate(conf, kGeneral, 2, true), to = conf.size();
                for (size_t at = general - 9; c.PcmToo && at < to; ++at) // a PCM copy as setting 2
                    conf.push_back(at == general - 6 ? 2 : conf[at]);
                conf[general + 5] = c.Type;
                for (int b = 0; b < 4; ++b)
                    conf[general + 6 + b] = (UCHAR)(c.Formats >> (8 * b));
                conf[Locate(conf, 2, 2, true) + 3] = c.Type;
                conf[Locate(conf, 2, 2, true) + 4] = c.Subslot;
                conf[Locate(conf, 2, 2, true) + 5] = (UCHAR)resolution;
            },
            {44100, 48000});
        device->Audio().SetValidAltSettings(SimRef3::RecInterface, 1, c.ValidMap);
        Uac2Started s(std::move(device));
        ASSERT_EQ(STATUS_SUCCESS, s.Status);
        // No stream, or a stream with no format: the interface is left out
        // before its walk or after it, each named once.
        ASSERT_EQ(c.Subformats.empty() ? 1u : 2u, s.Device()->GetEngineCount());
        const bool noStream = c.Unsigned == kNoStream;
        EXPECT_EQ(
            (size_t)noStream,
            DbgLinesSaying("interface 2 has no format of 1 to 8 channels the driver carries"));
        EXPECT_EQ((size_t)(c.Subformats.empty() && c.Unsigned >= 0),
                  DbgLinesSaying("interface 2 has no format to offer"));
        EXPECT_EQ((size_t)(c.Unsigned == kNoPcm), DbgLinesSaying("interface 2 has no PCM format"));
        if (c.Subformats.empty())
            continue;
        CStreamEngine* capture = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, s.Device()->GetEngine(1, &capture));
        std::vector<ULONG> seen;
        for (ULONG i = 0; i < capture->GetFormatCount(); ++i)
        {
            WAVEFORMATEXTENSIBLE f = {};
            capture->GetFormatAt(i, &f);
            seen.push_back(f.SubFormat.Data1);
            EXPECT_EQ(8 * c.Subslot, f.Format.wBitsPerSample);
            EXPECT_EQ(resolution, f.Samples.wValidBitsPerSample);
            const AltSettingFormat* record =
                static_cast<CUsbAudioStream*>(capture)->FindFormatRecord(&f.Format);
            ASSERT_NE(nullptr, record);
            EXPECT_EQ(c.Unsigned == 1, record->Sign == WireSampleSign::Unsigned);
        }
        EXPECT_EQ(c.Subformats, seen);
    }
}

// A setting whose format-type descriptor gives another format type than its
// general descriptor is left out as malformed, one without a general
// descriptor of its own by its interface's. The line of an interface left
// out names its settings' channel counts, from their general descriptors.
TEST(Uac2Walk, SettingsLeftOutAndWhatTheirLinesName)
{
    const std::string types = " has a format-type descriptor of Type 3 and a general descriptor of "
                              "Type 1: malformed, left out\n";
    Uac2Started differs(EditedDevice([](auto& c) { c[Locate(c, 2, 2, true) + 3] = 3; }));
    ASSERT_EQ(STATUS_SUCCESS, differs.Status);
    EXPECT_EQ(1u, differs.Device()->GetEngineCount());
    EXPECT_EQ(1u, DbgLinesSaying("interface 2 alternate setting 1" + types));
    Uac2Started inherits(EditedDevice( // setting 2 of the playback without its general descriptor
        [](auto& c)
        {
            const auto general = c.begin() + (ptrdiff_t)Locate(c, kGeneral, 1, true);
            c.erase(general, general + 16);
            c[Locate(c, 2, 1, true) + 3] = 3;
        }));
    ASSERT_EQ(STATUS_SUCCESS, inherits.Status);
    EXPECT_EQ(1u, DbgLinesSaying("interface 1 alternate setting 2" + types));
    Uac2Started wide(EditedDevice(
        [](auto& c)
        {
            c[Locate(c, kGeneral, 0, true) + 10] = 48;
            c[Locate(c, kGeneral, 1, true) + 10] = 9;
        }));
    ASSERT_EQ(STATUS_SUCCESS, wide.Status);
    EXPECT_EQ(1u, DbgLinesSaying("a byte): alternate setting 1 has 48 channel(s), alternate "
                                 "setting 2 has 9 channel(s): left out\n"));
}

// The terminal control a unit keeps for the stream's path, and its interface.
CAudioControl* TerminalControlOf(CUacUnit* unit, PTERMINALCONTROL* terminal)
{
    CAudioControl* control = nullptr;
    for (ULONG i = 0; unit != nullptr && NT_SUCCESS(unit->UnitGetControl(i, &control)); ++i)
        if (NT_SUCCESS(control->QueryInterface(IID_ITerminalControl, (PVOID*)terminal)))
        {
            (*terminal)->Release(); // the unit holds its control
            return control;
        }
    return nullptr;
}

// Terminal kinds and jacks: handset and headset are both 13 in class 2.0;
// jacks only behind a readable connector control, connected as it reports.
TEST(Uac2Walk, TerminalKindsAndJacks)
{
    struct KindCase
    {
        USHORT Type;
        ULONG Kind;
    } kinds[] = {{0x0101, 0},  {0x0201, 7}, {0x0206, 7}, {0x0401, 13}, {0x0402, 13}, {0x0403, 15},
                 {0x0405, 15}, {0x0603, 6}, {0x0605, 3}, {0x0601, 8},  {0x0301, 8},  {0x0207, 8}};
    for (const KindCase& k : kinds)
        EXPECT_EQ(k.Kind, Uac2InputTerminalKindForType(k.Type)) << std::hex << k.Type;

    // (one adapter at a time)
    {
        Uac2Started s(HighSpeedDevice());
        ASSERT_EQ(STATUS_SUCCESS, s.Status);
        // The speaker has no connector control: one type, its own, and no jacks.
        PTERMINALUNIT speaker = s.Query<ITerminalUnit>(SimRef3::Speaker, IID_ITerminalUnit);
        ASSERT_NE(nullptr, speaker);
        ULONG count = 9;
        EXPECT_EQ(STATUS_SUCCESS, speaker->GetKindCount(&count));
        EXPECT_EQ(1u, count);
        EXPECT_EQ(STATUS_SUCCESS, speaker->GetJackCount(&count, 0));
        EXPECT_EQ(0u, count);
        JackRecord jack = {};
        EXPECT_EQ(STATUS_INVALID_PARAMETER, speaker->GetJackInfo(sizeof(jack), &jack, 0));
        for (const SimRequestRecord& r : s.Sim()->Log())
            EXPECT_FALSE((r.Setup.wValue == 0x02FF || r.Setup.wValue == 0x0800) &&
                         r.Setup.wIndex >> 8 == SimRef3::Speaker)
                << r.Text();
    }
    {
        ULONG count = 0;
        Uac2Started spdif(SimCreateReferenceDevice(SimReference::Uac2Spdif));
        ASSERT_EQ(STATUS_SUCCESS, spdif.Status);
        struct JackCase
        {
            UCHAR Terminal;
            ULONG Connected;
        } jacks[] = {{SimRef4::Headphones, 1}, {SimRef4::LineIn, 0}};
        for (const JackCase& j : jacks)
        {
            PTERMINALUNIT terminal = spdif.Query<ITerminalUnit>(j.Terminal, IID_ITerminalUnit);
            ASSERT_NE(nullptr, terminal);
            EXPECT_EQ(STATUS_SUCCESS, terminal->GetJackCount(&count, 0));
            ASSERT_EQ(1u, count) << (int)j.Terminal;
            JackRecord record = {};
            EXPECT_EQ(STATUS_SUCCESS, terminal->GetJackInfo(sizeof(record), &record, 0));
            EXPECT_EQ(j.Connected, record.IsConnected) << (int)j.Terminal;
            // A connector the device will not report leaves the jack unconnected.
            spdif.Sim()->InjectControlFault({0xA1, 0x01, 0x0200, j.Terminal << 8},
                                            SimFaultKind::Stall);
            EXPECT_FALSE(NT_SUCCESS(terminal->GetJackInfo(sizeof(record), &record, 0)));
            EXPECT_EQ(0u, record.IsConnected);
            // The stream's terminal control then answers with the failure,
            // not with an unplugged jack, until a read works.
            PTERMINALCONTROL jacksOf = nullptr;
            CAudioControl* control = TerminalControlOf(spdif.Unit(j.Terminal), &jacksOf);
            ASSERT_NE(nullptr, control);
            spdif.Sim()->InjectControlFault({0xA1, 0x01, 0x0200, j.Terminal << 8},
                                            SimFaultKind::Stall);
            EXPECT_EQ(STATUS_SUCCESS, control->UpdateState());
            EXPECT_EQ(STATUS_UNSUCCESSFUL, jacksOf->GetJackInfo(sizeof(record), &record));
            control->UpdateState();
            EXPECT_EQ(STATUS_SUCCESS, jacksOf->GetJackInfo(sizeof(record), &record));
            EXPECT_EQ(j.Connected, record.IsConnected) << (int)j.Terminal;
        }
    }
    // A terminal (input or output) whose jack count the device refuses has
    // no jacks; the others keep theirs.
    for (UCHAR refused : {SimRef4::LineIn, SimRef4::Headphones})
    {
        auto refusing = SimCreateReferenceDevice(SimReference::Uac2Spdif);
        refusing->InjectControlFault({0xA1, 0x01, 0x02FF, (USHORT)(refused << 8)},
                                     SimFaultKind::Stall);
        Uac2Started s(std::move(refusing));
        ASSERT_EQ(STATUS_SUCCESS, s.Status) << (int)refused;
        for (UCHAR terminal : {SimRef4::LineIn, SimRef4::Headphones})
        {
            ULONG count = 99;
            PTERMINALUNIT unit = s.Query<ITerminalUnit>(terminal, IID_ITerminalUnit);
            ASSERT_NE(nullptr, unit);
            EXPECT_EQ(STATUS_SUCCESS, unit->GetJackCount(&count, 0));
            EXPECT_EQ(terminal == refused ? 0u : 1u, count) << (int)terminal;
        }
    }
}

// What the interrupt path asks of the units: the control of a feature
// unit's selector, the terminal's connector, the output type's refresh.
TEST(Uac2Walk, SingleControlIds)
{
    Uac2Started s(HighSpeedDevice());
    ASSERT_EQ(STATUS_SUCCESS, s.Status);
    struct Case
    {
        UCHAR Unit;
        ULONG Selector;
        ULONG Channel;
        NTSTATUS Status;
        ULONG Id; // 99: nothing written
    } cases[] = {
        {SimRef3::FeaturePlay, 1, 0, STATUS_SUCCESS, 2},
        {SimRef3::FeaturePlay, 2, 1, STATUS_SUCCESS, 3},
        {SimRef3::FeaturePlay, 130, 0, STATUS_UNSUCCESSFUL, 99}, // no pseudo-control table
        {SimRef3::FeaturePlay, 3, 0, STATUS_UNSUCCESSFUL, 99},   // no bass
        {SimRef3::FeaturePlay, 17, 0, STATUS_UNSUCCESSFUL, 99},  // past the bitmap
        {SimRef3::FeaturePlay, 0x102, 0, STATUS_UNSUCCESSFUL, 99},
        {SimRef3::UsbIn, 2, 0, STATUS_SUCCESS, 1},
        {SimRef3::UsbIn, 2, 1, STATUS_UNSUCCESSFUL, 99},
        {SimRef3::UsbIn, 1, 0, STATUS_UNSUCCESSFUL, 99},
        {SimRef3::Speaker, 2, 0, STATUS_SUCCESS, 99},
        {SimRef3::Speaker, 3, 0, STATUS_UNSUCCESSFUL, 99},
        {SimRef3::Clock, 1, 0, STATUS_SUCCESS, 0},
    };
    for (const Case& c : cases)
    {
        ULONG id = 99;
        EXPECT_EQ(c.Status, s.Unit(c.Unit)->GetSingleControlId(c.Selector, c.Channel, &id))
            << (int)c.Unit << " " << c.Selector;
        EXPECT_EQ(c.Id, id) << (int)c.Unit << " " << c.Selector;
    }
    EXPECT_EQ(3u, Uac2ControlKindForSelector(130));
    EXPECT_EQ(CONTROL_KIND_NONE_FOR_SELECTOR, Uac2ControlKindForSelector(12));
}

// The output-type refresh: the current type read on selector 8 gives the
// kind, a type of the USB side "SPK" (a refused request is the answer and
// nothing is refreshed).
TEST(Uac2Walk, OutputTypeRefresh)
{
    Uac2Started s(SimCreateReferenceDevice(SimReference::Uac2Spdif));
    ASSERT_EQ(STATUS_SUCCESS, s.Status);
    CUacUnit* headphones = s.Unit(SimRef4::Headphones);
    ASSERT_NE(nullptr, headphones);
    PTERMINALUNIT terminal = s.Query<ITerminalUnit>(SimRef4::Headphones, IID_ITerminalUnit);
    ASSERT_NE(nullptr, terminal);
    SimTerminalPorts* ports = s.Sim()->Audio().Ports(SimRef4::Headphones, false);
    ports->Types = {0x0302, 0x0100, 0x0301, 0x01FF, 0x0605};
    const ULONG kinds[] = {ENDPOINT_KIND_HP, ENDPOINT_KIND_SPK, ENDPOINT_KIND_SPK,
                           ENDPOINT_KIND_SPK, ENDPOINT_KIND_SPDIF};
    for (size_t type : {1u, 0u, 3u, 4u, 2u, 0u})
    {
        ports->CurrentType = type;
        ULONG id = 99, kind = 99;
        EXPECT_EQ(STATUS_SUCCESS, headphones->GetSingleControlId(8, 0, &id));
        EXPECT_EQ(99u, id);
        EXPECT_EQ(STATUS_SUCCESS, terminal->GetCurrentKind(&kind));
        EXPECT_EQ(kinds[type], kind) << std::hex << ports->Types[type];
    }
    ULONG id = 99;
    s.Sim()->InjectControlFault({0xA1, 0x01, 0x0800, SimRef4::Headphones << 8},
                                SimFaultKind::Stall);
    s.Sim()->ClearLog();
    EXPECT_FALSE(NT_SUCCESS(headphones->GetSingleControlId(8, 0, &id)));
    EXPECT_EQ(1u, s.Sim()->Log().size()); // the refused request, no refresh
    EXPECT_EQ(STATUS_SUCCESS, headphones->GetSingleControlId(2, 0, &id));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, headphones->GetSingleControlId(5, 0, &id));
}
