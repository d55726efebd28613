// The class 1.0 walks on the reference devices and on descriptor sets that
// bend the rules: the units, controls, paths, formats and the starts that
// fail, with the double stream class standing in for the stream classes.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "platform/kernel/emu.h"
#include "tests/usbaudio/usbaudio_doubles.h"
#include "tests/usbaudio/walk_doubles.h"
#include "usbaudio/uac1/walkers.h"
#include "audioclass/controls/uac_unit.h"

namespace
{
// "id:kind{sources}" of every control of the device, in list order.
std::string Controls(CUsbAudioDevice* device)
{
    std::string text;
    for (ULONG i = 0; i < device->GetUnitCount(); ++i)
    {
        CAudioControl* control = nullptr;
        device->GetUnit(i, &control);
        ULONG values[16] = {}, count = 16;
        control->GetValues(&count, values);
        text += (i ? " " : "") + std::to_string(control->GetId()) + ":" +
                std::to_string(control->GetKind()) + "{";
        for (ULONG v = 0; v < count; ++v)
            text += (v ? "," : "") + std::to_string(values[v]);
        text += "}";
    }
    return text;
}

// "direction link: control ids | rate/bits/channels/mask per format".
std::string Engine(CUsbAudioDevice* device, ULONG index)
{
    CStreamEngine* engine = nullptr;
    if (!NT_SUCCESS(device->GetEngine(index, &engine)))
        return "none";
    std::string text = std::to_string(engine->GetDirection()) + " " +
                       std::to_string(static_cast<CUsbAudioStream*>(engine)->GetTerminalLink()) +
                       ":";
    for (ULONG i = 0; i < engine->GetControlCount(); ++i)
    {
        CAudioControl* control = nullptr;
        engine->GetControlAt(i, &control);
        text += " " + std::to_string(control->GetId());
    }
    text += " |";
    for (ULONG i = 0; i < engine->GetFormatCount(); ++i)
    {
        WAVEFORMATEXTENSIBLE f = {};
        engine->GetFormatAt(i, &f);
        char one[64];
        snprintf(one, sizeof(one), " %lu/%u/%u/%lx", (unsigned long)f.Format.nSamplesPerSec,
                 f.Format.wBitsPerSample, f.Format.nChannels, (unsigned long)f.dwChannelMask);
        text += one;
    }
    return text;
}

struct Started
{
    explicit Started(std::unique_ptr<SimUsbDevice> device) : Rig(std::move(device))
    {
        UseDeviceClasses(false);
        Status = Rig.Ok() ? Rig.Start() : STATUS_UNSUCCESSFUL;
    }
    CUsbAudioDevice* Device() { return DeviceOf(Rig); }
    ScopedTestStreams Streams;
    UsbAdapterRig Rig;
    NTSTATUS Status;
};
} // namespace

// The reference devices parse to their units' controls, each unit's first
// control linked to the last control of its source unit's chain (a feature
// unit's mute, volume and tone controls all lie on the path), and to one
// stream per AudioStreaming
// interface with the path from its terminal and a record per alternate
// setting and rate (capture below four channels twice, the second with
// mask 0). The surround playback reaches its streaming terminal through
// the mixer's first input only: the line input stays off its path.
TEST(Uac1Walk, ReferenceDevices)
{
    struct Case
    {
        SimReference Which;
        const char* Controls;
        const char* Playback;
        const char* Capture;
    } cases[] = {
        {SimReference::Uac1SpeakerMic, "0:0{} 1:2{0} 2:3{1} 3:1{2} 4:0{} 5:2{4} 6:3{5} 7:1{6}",
         "0 0: 3 2 1 0 | 48000/16/2/3 44100/16/2/3 48000/24/2/3",
         "1 7: 7 6 5 4 | 48000/16/1/4 48000/16/1/0"},
        {SimReference::Uac1Surround71,
         "0:0{} 1:0{} 2:5{0,1} 3:2{2} 4:3{3} 5:9{4} 6:11{5} 7:7{6} 8:1{7} 9:0{} 10:4{9,1} 11:2{10} "
         "12:3{11} 13:6{12} 14:1{13}",
         "0 0: 8 7 6 5 4 3 2 0 | 48000/16/8/63f 44100/16/8/63f 48000/16/2/3",
         "1 14: 14 13 12 11 10 9 1 | 8000/16/2/3 11025/16/2/3 16000/16/2/3 22050/16/2/3 "
         "32000/16/2/3 "
         "44100/16/2/3 48000/16/2/3 8000/16/2/0 11025/16/2/0 16000/16/2/0 22050/16/2/0 "
         "32000/16/2/0 "
         "44100/16/2/0 48000/16/2/0"},
    };
    for (const Case& c : cases)
    {
        Started s(SimCreateReferenceDevice(c.Which));
        ASSERT_EQ(STATUS_SUCCESS, s.Status);
        EXPECT_EQ(c.Controls, Controls(s.Device()));
        EXPECT_EQ(c.Playback, Engine(s.Device(), 0));
        EXPECT_EQ(c.Capture, Engine(s.Device(), 1));
        EXPECT_EQ(2u, s.Device()->GetEngineCount());
    }
}

namespace
{
// The offset of the nth class-specific interface descriptor of a subtype
// (AudioControl ones first, in configuration order), checked by its id.
size_t Find(const std::vector<UCHAR>& c, UCHAR subtype, int nth = 0, bool streaming = false)
{
    for (size_t pos = c[0]; pos + 2 < c.size(); pos += c[pos])
    {
        if (c[pos + 1] == 4 && c[pos + 5] == 1 && c[pos + 6] == 2)
            streaming = false; // from here on: AudioStreaming descriptors
        if (!streaming && c[pos + 1] == USB_AUDIO_CS_INTERFACE && c[pos + 2] == subtype &&
            nth-- == 0)
            return pos;
    }
    ADD_FAILURE() << "no subtype " << (int)subtype;
    return 0;
}

// Inserts a descriptor, the AudioControl header's total length following.
void Insert(std::vector<UCHAR>& c, size_t at, const std::vector<UCHAR>& bytes)
{
    c.insert(c.begin() + (ptrdiff_t)at, bytes.begin(), bytes.end());
    const size_t header = Find(c, 1);
    const size_t ac = (c[header + 5] | c[header + 6] << 8) + bytes.size();
    c[header + 5] = (UCHAR)ac;
    c[header + 6] = (UCHAR)(ac >> 8);
}

// Replaces `erase` bytes at `at` by `bytes` in the AudioStreaming part; Copy
// inserts a copy of bytes [from, to) there.
void Splice(std::vector<UCHAR>& c, size_t at, size_t erase, const std::vector<UCHAR>& bytes)
{
    c.erase(c.begin() + (ptrdiff_t)at, c.begin() + (ptrdiff_t)(at + erase));
    c.insert(c.begin() + (ptrdiff_t)at, bytes.begin(), bytes.end());
}

void Copy(std::vector<UCHAR>& c, size_t from, size_t to, size_t at)
{
    Splice(c, at, 0, std::vector<UCHAR>(c.begin() + (ptrdiff_t)from, c.begin() + (ptrdiff_t)to));
}

// Starts the reference device changed, its total length following the change.
NTSTATUS StartWith(SimReference which, const std::function<void(DeviceBytes&)>& change,
                   std::string* controls = nullptr, std::vector<std::string>* engines = nullptr)
{
    DeviceBytes bytes = ReferenceBytes(which);
    auto& c = bytes.Configuration;
    change(bytes), c[2] = (UCHAR)c.size(), c[3] = (UCHAR)(c.size() >> 8);
    EmuDbgClear(); // the debug output holds this start's lines only
    Started s(MakeSimDevice(bytes));
    if (controls != nullptr && s.Device() != nullptr)
        *controls = Controls(s.Device());
    for (ULONG i = 0;
         engines != nullptr && s.Device() != nullptr && i < s.Device()->GetEngineCount(); ++i)
        engines->push_back(Engine(s.Device(), i));
    return s.Status;
}

// A streaming descriptor: 0 and 1 the playback settings, 2 the capture one.
size_t FindAs(const std::vector<UCHAR>& c, UCHAR subtype, int nth)
{
    return Find(c, subtype, nth, true);
}

constexpr UCHAR kFeature = 6, kOutput = 3, kSelector = 5, kGeneral = 1, kFormat = 2;

// A format-type descriptor of two channels, 16 bits in 2 bytes, with a
// continuous rate range.
std::vector<UCHAR> Continuous(ULONG lower, ULONG upper, UCHAR type = 1)
{
    std::vector<UCHAR> d = {14, 0x24, kFormat, type, 2, 2, 16, 0};
    for (ULONG bound : {lower, upper})
        for (int b = 0; b < 3; ++b)
            d.push_back((UCHAR)(bound >> (8 * b)));
    return d;
}

// The offset of the first endpoint descriptor of an address.
size_t Endpoint(const std::vector<UCHAR>& c, UCHAR address)
{
    for (size_t pos = 0; pos + 2 < c.size(); pos += c[pos])
        if (c[pos + 1] == 5 && c[pos + 2] == address)
            return pos;
    ADD_FAILURE() << "no endpoint " << (int)address;
    return 0;
}
} // namespace

// Starts that the descriptors make fail, each with its status and, where
// the driver refuses on purpose or the rules find the descriptor malformed,
// the debug line that says so; the walk's own limits at their edges.
TEST(Uac1Walk, DescriptorsThatEndTheStart)
{
    using Change = std::function<void(std::vector<UCHAR>&)>;
    // A unit of 15 bytes (one input, one control byte) after feature unit 2.
    const auto addUnit = [](UCHAR subtype) -> Change
    {
        return [=](auto& c)
        {
            Insert(c, Find(c, kFeature) + c[Find(c, kFeature)],
                   {15, 0x24, subtype, 7, 1, 0, 1, 2, 2, 3, 0, 0, 1, 1, 0});
        };
    };
    // The first playback setting's two rates (14 bytes) made a continuous range.
    const auto range = [](ULONG lower, ULONG upper) -> Change
    {
        return [=](auto& c) {
            std::ranges::copy(Continuous(lower, upper),
                              c.begin() + (ptrdiff_t)FindAs(c, kFormat, 0));
        };
    };
    struct Case
    {
        const char* What;
        Change Edit;
        NTSTATUS Status;
        const char* Said = nullptr; // a debug line the start leaves
    } cases[] = {
        {"bControlSize 0", [](auto& c) { c[Find(c, kFeature) + 5] = 0; }, STATUS_UNSUCCESSFUL,
         "UsbAudio: AudioControl interface 0: descriptor subtype 0x06 id 2 length 10 refused "
         "(malformed): 0xC0000001"},
        {"feature unit too short for its bitmaps", [](auto& c) { c[Find(c, kFeature) + 5] = 4; },
         STATUS_UNSUCCESSFUL},
        {"processing unit (subtype 7)", addUnit(7), STATUS_UNSUCCESSFUL,
         "UsbAudio: AudioControl interface 0: processing unit 7 is not supported by this "
         "driver: 0xC0000001"},
        {"extension unit (subtype 8)", addUnit(8), STATUS_UNSUCCESSFUL,
         "UsbAudio: AudioControl interface 0: extension unit 7 is not supported by this "
         "driver: 0xC0000001"},
        {"stream linked to a feature unit", [](auto& c) { c[FindAs(c, kGeneral, 0) + 3] = 2; },
         STATUS_INVALID_PARAMETER},
        {"feature units feeding each other",
         [](auto& c)
         {
             c[Find(c, kFeature) + 4] = 5;
             c[Find(c, kFeature, 1) + 4] = 2;
         },
         STATUS_INVALID_PARAMETER},
        {"capture rate of 0 Hz",
         [](auto& c)
         {
             c[FindAs(c, kFormat, 2) + 8] = c[FindAs(c, kFormat, 2) + 9] =
                 c[FindAs(c, kFormat, 2) + 10] = 0;
         },
         STATUS_UNSUCCESSFUL},
        {"one of two playback settings unusable", [](auto& c) { c[FindAs(c, kFormat, 0) + 4] = 0; },
         STATUS_SUCCESS},
        {"capture format type 2 of tag 0x1001",
         [](auto& c) { c[FindAs(c, kFormat, 2) + 3] = 2, c[FindAs(c, kGeneral, 2) + 6] = 0x10; },
         STATUS_INVALID_PARAMETER,
         "UsbAudio: AudioStreaming interface 2 alternate setting 1: Type II format is not "
         "supported by this driver: 0xC000000D"},
        {"range past 96 kHz by more than 0.5%", range(48000, 96481), STATUS_INVALID_PARAMETER,
         "UsbAudio: AudioStreaming interface 1 alternate setting 1: continuous rate range 48000 "
         "to 96481 Hz, reaching more than 0.5% above 96000 Hz, is not supported by this driver: "
         "0xC000000D"},
        {"general descriptor of 5 bytes",
         [](auto& c) {
             Splice(c, FindAs(c, kGeneral, 0), 7, {5, 0x24, kGeneral, 1, 1});
         },
         STATUS_UNSUCCESSFUL,
         "UsbAudio: AudioStreaming interface 1: descriptor subtype 0x01 id 1 length 5 refused "
         "(malformed): 0xC0000001"},
        {"range between standard rates", range(8041, 10969), STATUS_UNSUCCESSFUL,
         "UsbAudio: AudioStreaming interface 1 alternate setting 1: continuous rate range 8041 "
         "to 10969 Hz, holding no standard rate up to 96000 Hz, is not supported by this "
         "driver: 0xC0000001"},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(c.Status, StartWith(SimReference::Uac1SpeakerMic,
                                      [&](DeviceBytes& b) { c.Edit(b.Configuration); }))
            << c.What;
        EXPECT_TRUE(c.Said == nullptr || DbgLinesSaying(c.Said + std::string("\n")) == 1) << c.What;
    }
}

// A feature unit builds the controls it declares, mute or not; one with
// none of its own hands its consumer its source's link. Only a unit whose
// request block cannot be allocated ends the start.
TEST(Uac1Walk, FeatureUnitsWithoutMute)
{
    struct Case
    {
        const char* What;
        std::function<void(std::vector<UCHAR>&)> Edit;
        bool FailRequestBlock; // of the playback unit, after the input terminal's control
        NTSTATUS Status;
        const char* Controls;
    } cases[] = {
        {"volume only", [](auto& c) { c[Find(c, kFeature) + 6] = 0; }, false, STATUS_SUCCESS,
         "0:0{} 1:3{0} 2:1{1} 3:0{} 4:2{3} 5:3{4} 6:1{5}"},
        {"no controls",
         [](auto& c)
         { c[Find(c, kFeature) + 6] = c[Find(c, kFeature) + 7] = c[Find(c, kFeature) + 8] = 0; },
         false, STATUS_SUCCESS, "0:0{} 1:1{6} 2:0{} 3:2{2} 4:3{3} 5:1{4} 6:2{0}"},
        {"request block not allocated", [](auto&) {}, true, STATUS_INSUFFICIENT_RESOURCES, ""},
    };
    for (const Case& c : cases)
    {
        std::string controls;
        if (c.FailRequestBlock)
            EmuPoolInjectFailure(POOL_TAG("UA10"), 1);
        EXPECT_EQ(c.Status, StartWith(
                                SimReference::Uac1SpeakerMic,
                                [&](DeviceBytes& b) { c.Edit(b.Configuration); }, &controls))
            << c.What;
        if (NT_SUCCESS(c.Status))
        {
            EXPECT_EQ(c.Controls, controls) << c.What;
        }
    }
}

// An interface with no format the driver can carry is left out, named in
// the debug output, and the device starts with the others; with no stream
// left the start fails. Float, A-law, mu-law and tags the class does not
// define are not carried, nor PCM8 of more than 8 bits.
TEST(Uac1Walk, InterfacesWithoutAUsableFormatAreLeftOut)
{
    const struct
    {
        UCHAR Subtype, Offset, Value; // in the descriptors of `Formats`
        std::vector<int> Formats;     // 0 and 1 playback (interface 1), 2 capture (interface 2)
        std::vector<int> LeftOut;
        bool NamesTag = false;     // a setting of a kept interface is named with its tag
        USHORT CapturePacket = 98; // the capture endpoint's wMaxPacketSize
    } cases[] = {{kFormat, 4, 0, {2}, {2}},
                 {kFormat, 4, 9, {2}, {2}},
                 {kFormat, 4, 8, {2}, {}, false, 768},
                 {kFormat, 4, 8, {2}, {2}, false, 767},
                 {kFormat, 4, 1, {2}, {}, false, 96},
                 {kFormat, 4, 1, {2}, {2}, false, 95},
                 {kFormat, 5, 0, {2}, {2}},
                 {kFormat, 4, 9, {0}, {}},
                 {kFormat, 4, 9, {0, 1, 2}, {1, 2}},
                 {kGeneral, 5, 3, {2}, {2}},
                 {kGeneral, 5, 2, {2}, {2}},
                 {kGeneral, 5, 4, {0, 1}, {1}},
                 {kGeneral, 5, 5, {0}, {}, true},
                 {kGeneral, 5, 0x20, {0, 1, 2}, {1, 2}},
                 {kGeneral, 5, 0, {2}, {2}}};
    for (const auto& c : cases)
    {
        std::vector<std::string> engines;
        const NTSTATUS status = StartWith(
            SimReference::Uac1SpeakerMic,
            [&](DeviceBytes& b)
            {
                auto& cfg = b.Configuration;
                for (int nth : c.Formats)
                    cfg[FindAs(cfg, c.Subtype, nth) + c.Offset] = c.Value;
                const size_t in = Endpoint(cfg, SimRef1::RecEndpoint);
                cfg[in + 4] = (UCHAR)c.CapturePacket;
                cfg[in + 5] = (UCHAR)(c.CapturePacket >> 8);
            },
            nullptr, &engines);
        const size_t left = 2 - c.LeftOut.size();
        EXPECT_EQ(left != 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL, status) << c.LeftOut.size();
        EXPECT_TRUE(left == 0 || engines.size() == left) << engines.size();
        std::vector<int> named;
        int number = -1;
        bool tagNamed = false;
        for (const std::string& line : EmuDbgOutput())
        {
            tagNamed = tagNamed || line.find("interface 1 alternate setting 1: Type I format "
                                             "tag 0x5 at 2 bytes") != std::string::npos;
            if (line.find(" has no format") != std::string::npos &&
                sscanf(line.c_str(), "UsbAudio: AudioStreaming interface %d", &number) == 1)
                named.push_back(number);
        }
        EXPECT_EQ(c.NamesTag, tagNamed);
        EXPECT_EQ(c.LeftOut, named) << (int)c.Offset << " " << (int)c.Value;
    }
}

// A subframe of 1 to 4 bytes holding 1 to 8 bits a byte is offered at its
// size; any other sample leaves its setting out, named once: the capture
// interface, whose only setting it is, before its walk; the playback's
// second setting by its own line, its first setting still offered.
TEST(Uac1Walk, SampleFieldsAtTheirBounds)
{
    const struct
    {
        int Format; // 1: playback setting 2 (24 bits in 3 bytes), 2: the capture setting
        UCHAR Subframe, Resolution;
        bool Offered;
    } cases[] = {{2, 0, 8, false},  {2, 1, 8, true},   {2, 1, 9, false}, {2, 4, 32, true},
                 {2, 4, 33, false}, {2, 5, 16, false}, {2, 2, 0, false}, {2, 2, 1, true},
                 {2, 2, 16, true},  {2, 2, 17, false}, {1, 3, 24, true}, {1, 3, 25, false},
                 {1, 5, 24, false}, {1, 3, 0, false}};
    for (const auto& c : cases)
    {
        const std::string bits = std::to_string(c.Resolution) + " bits of resolution in " +
                                 std::to_string(c.Subframe) + " bytes a sample is not";
        SCOPED_TRACE(std::to_string(c.Format) + ": " + bits);
        const auto edit = [&](DeviceBytes& b)
        {
            auto& cfg = b.Configuration;
            cfg[FindAs(cfg, kFormat, c.Format) + 5] = c.Subframe;
            cfg[FindAs(cfg, kFormat, c.Format) + 6] = c.Resolution;
            cfg[Endpoint(cfg, SimRef1::RecEndpoint) + 4] = 200;
        };
        std::vector<std::string> engines;
        ASSERT_EQ(STATUS_SUCCESS, StartWith(SimReference::Uac1SpeakerMic, edit, nullptr, &engines));
        const bool capture = c.Format == 2;
        const std::string size = " 48000/" + std::to_string(8 * c.Subframe);
        const std::string second = capture ? " 48000/24/2/3" : c.Offered ? size + "/2/3" : "";
        std::vector<std::string> expected = {"0 0: 3 2 1 0 | 48000/16/2/3 44100/16/2/3" + second};
        if (!capture || c.Offered)
            expected.push_back("1 7: 7 6 5 4 |" + (capture ? size + "/1/4" + size + "/1/0"
                                                           : " 48000/16/1/4 48000/16/1/0"));
        EXPECT_EQ(expected, engines);
        EXPECT_EQ(c.Offered ? 0u : 1u,
                  DbgLinesSaying(capture ? "interface 2 has no format of 1 to 8"
                                         : "interface 1 alternate setting 2: " + bits));
    }
}

// A rate whose packets the endpoint cannot carry is named once, though a
// two-channel capture setting offers its formats twice (the second time
// with mask 0).
TEST(Uac1Walk, LeftOutCaptureRateNamedOnce)
{
    const auto edit = [](DeviceBytes& b) // 44100 Hz needs 180-byte packets, 48000 Hz 192
    { b.Configuration[Endpoint(b.Configuration, SimRef2::RecEndpoint) + 4] = 188; };
    std::vector<std::string> engines;
    ASSERT_EQ(STATUS_SUCCESS, StartWith(SimReference::Uac1Surround71, edit, nullptr, &engines));
    EXPECT_EQ(1u, DbgLinesSaying("interface 2 alternate setting 1: 48000 Hz of 4-byte frames needs "
                                 "192-byte packets, the endpoint carries 188: format left out"));
    ASSERT_EQ(2u, engines.size());
    EXPECT_EQ("1 14: 14 13 12 11 10 9 1 | 8000/16/2/3 11025/16/2/3 16000/16/2/3 22050/16/2/3 "
              "32000/16/2/3 44100/16/2/3 8000/16/2/0 11025/16/2/0 16000/16/2/0 22050/16/2/0 "
              "32000/16/2/0 44100/16/2/0",
              engines[1]);
}

// A setting the driver cannot read one way only is left out by its own line,
// the others staying; an interface left out is named with what each of its
// settings holds, as many as the line holds; with no stream left, the start
// fails naming the interfaces left out.
TEST(Uac1Walk, SettingsLeftOutAndWhatTheirLinesName)
{
    using Change = std::function<void(std::vector<UCHAR>&)>;
    // 0 and 1 the playback settings' descriptors, 2 the capture one's.
    const auto set = [](UCHAR subtype, UCHAR offset, UCHAR value, auto... nths) -> Change
    { return [=](auto& c) { ((c[FindAs(c, subtype, nths) + offset] = value), ...); }; };
    // The capture setting, the configuration's last, of `channels` channels
    // and copied as alternate settings `first` to `last`.
    const auto copies = [](UCHAR channels, UCHAR first, UCHAR last) -> Change
    {
        return [=](auto& c)
        {
            c[FindAs(c, kFormat, 2) + 4] = channels;
            const size_t from = FindAs(c, kGeneral, 2) - 9, to = c.size();
            for (UCHAR alt = first; alt <= last; ++alt)
            {
                Copy(c, from, to, c.size());
                c[c.size() - (to - from) + 3] = alt;
            }
        };
    };
    const Change twoTypes = [](auto& c) // in the second playback setting
    {
        const size_t at = FindAs(c, kFormat, 1);
        Copy(c, at, at + c[at], at);
    };
    // Playback setting 2 without a general descriptor of its own, its endpoint IN.
    const Change inherits = [](auto& c)
    {
        Splice(c, FindAs(c, kGeneral, 1), 7, {});
        c[FindAs(c, kFormat, 1) + c[FindAs(c, kFormat, 1)] + 2] = 0x81;
    };
    // Playback setting 1 copied, mono, as setting 3 after a malformed setting 2.
    const Change between = [=](auto& c)
    {
        const size_t capture = FindAs(c, kGeneral, 2) - 18;
        Copy(c, FindAs(c, kGeneral, 0) - 9, FindAs(c, kGeneral, 1) - 9, capture);
        c[capture + 3] = 3, c[FindAs(c, kFormat, 2) + 4] = 1;
        twoTypes(c);
    };
    constexpr UCHAR kSpeaker = 3, kUsbInput = 1;
    const std::string playback = "0 0: 3 2 1 0 | 48000/16/2/3 44100/16/2/3";
    const std::string capture = "1 7: 7 6 5 4 | 48000/16/1/4 48000/16/1/0";
    const std::vector<std::string> noPlayback = {capture}, noSecond = {playback, capture},
                                   noCapture = {playback + " 48000/24/2/3"}, none,
                                   whole = {noCapture[0], capture},
                                   noFirst = {"0 0: 3 2 1 0 | 48000/24/2/3", capture},
                                   withThird = {playback + " 48000/16/1/4 44100/16/1/4", capture};
    const struct
    {
        Change Edit;
        const std::vector<std::string>& Engines; // none: the start fails
        std::string Said;
        size_t Times = 1; // the lines that say it
    } cases[] = {
        {set(kGeneral, 3, kSpeaker, 0, 1), noPlayback,
         "interface 1 has no format of 1 to 8 channels the driver carries (PCM, or PCM8 at 8 "
         "bits; 1 to 4 bytes a sample, at most 8 bits a byte): alternate setting 1 is malformed, "
         "alternate setting 2 is malformed: left out\n"},
        {set(kGeneral, 3, kUsbInput, 2), noCapture,
         "interface 2 alternate setting 1 links to input terminal 1 but its data endpoint 0x82 is "
         "IN: malformed, left out\n"},
        {copies(1, 1, 1), noCapture,
         "interface 2 alternate setting 1 is described 2 times (which one the device means is "
         "not known): malformed, left out\n"},
        {twoTypes, noSecond,
         "interface 1 alternate setting 2 has 2 format-type descriptors: malformed, left out\n"},
        {set(kFormat, 5, 5, 2), noCapture,
         "a byte): alternate setting 1 has 1 channel(s) in 5-byte samples of 16 bits: left out\n"},
        {set(kGeneral, 5, 3, 2), noCapture,
         "a byte): alternate setting 1 has 1 channel(s) in 2-byte samples coded by format tag "
         "0x3: left out\n"},
        {set(kFormat, 4, 9, 0, 1, 2), none,
         "UsbAudio: no audio stream left: AudioStreaming interfaces 1 and 2 left out\n"},
        {copies(9, 2, 12), noCapture, ", alternate setting 6 has 9 channel(s)...: left out\n"},
        {set(kFormat, 3, 3, 1), noSecond,
         "interface 1 alternate setting 2 has a format-type descriptor of Type 3 and a general "
         "descriptor of format tag 0x0001 (Type 1): malformed, left out\n"},
        // Both playback settings IEC 61937 (tag 0x2001, Type III).
        {[=](auto& c) { set(kGeneral, 6, 0x20, 0, 1)(c), set(kFormat, 3, 3, 0, 1)(c); }, noPlayback,
         "interface 1 has no PCM format to offer, only compressed or raw-data ones: left out\n"},
        {set(kGeneral, 6, 0x20, 1), noSecond,
         "interface 1 alternate setting 2 has a format-type descriptor of Type 1 and a general "
         "descriptor of format tag 0x2001 (Type 3): malformed, left out\n"},
        // Tag 0x3001 names no format type: Type III under it is IEC 61937 only.
        {[=](auto& c) { set(kGeneral, 6, 0x30, 0, 1)(c), set(kFormat, 3, 3, 0, 1)(c); }, noPlayback,
         "interface 1 has no PCM format to offer, only compressed or raw-data ones: left out\n"},
        {[](auto& c) { c[FindAs(c, kGeneral, 0) - 5] = 0; }, noFirst, // setting 1 declares 0
         "interface 1 alternate setting 1 declares 0 endpoint(s) and holds 1: malformed, left "
         "out\n"},
        // Setting 0, which the configuration's selection checks, holding an
        // endpoint it does not declare: the bus opens only what it declares,
        // and no setting is left out.
        {[](auto& c)
         {
             const size_t endpoint = FindAs(c, kFormat, 0) + c[FindAs(c, kFormat, 0)];
             Copy(c, endpoint, endpoint + 9, FindAs(c, kGeneral, 0) - 9);
         },
         whole, "left out", 0},
        {inherits, noSecond,
         "interface 1 alternate setting 2 links to input terminal 1 but its data endpoint 0x81 is "
         "IN: malformed, left out\n"},
        {between, withThird,
         "interface 1 alternate setting 2 has 2 format-type descriptors: malformed, left out\n"},
        // The playback interface alone, of eight channels its packets cannot carry.
        {[=](auto& c) { set(kFormat, 4, 8, 0, 1)(c), c.resize(FindAs(c, kGeneral, 2) - 18); }, none,
         "UsbAudio: no audio stream left: AudioStreaming interface 1 left out\n"},
    };
    for (const auto& c : cases)
    {
        std::vector<std::string> engines;
        EXPECT_EQ(c.Engines.empty() ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS,
                  StartWith(
                      SimReference::Uac1SpeakerMic,
                      [&](DeviceBytes& b) { c.Edit(b.Configuration); }, nullptr, &engines))
            << c.Said;
        EXPECT_EQ(c.Engines, engines) << c.Said;
        EXPECT_EQ(c.Times, DbgLinesSaying(c.Said)) << c.Said;
    }
}

// A path search holds 20 ids: a unit of 20 sources on the playback path is
// walked, one of 21 ends the search and with it the start.
TEST(Uac1Walk, PathSearchRingOfTwenty)
{
    for (UCHAR inputs : {20, 21})
    {
        const NTSTATUS status = StartWith(
            SimReference::Uac1SpeakerMic,
            [&](DeviceBytes& b)
            {
                auto& c = b.Configuration;
                std::vector<UCHAR> selector = {(UCHAR)(6 + inputs), 0x24, kSelector, 9, inputs};
                selector.insert(selector.end(), inputs, 1);
                selector.push_back(0);
                c[Find(c, kOutput) + 7] = 9;
                Insert(c, Find(c, kOutput), selector);
            });
        EXPECT_EQ(inputs == 20 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER, status) << (int)inputs;
    }
}

// Paths of exactly two terminal controls get a software mute node, and on
// systems before Vista a capture path also gets a one-input selector,
// which a capture path of three controls gets as well.
TEST(Uac1Walk, PathsWithoutControls)
{
    struct Case
    {
        ULONG Ntddi;
        const char* Controls;
        const char* Playback;
        const char* Capture;
    } cases[] = {
        {0x0A000000, "0:0{} 1:2{0} 2:3{1} 3:1{8} 4:0{} 5:2{4} 6:3{5} 7:1{9} 8:2{0} 9:2{4}",
         "0 0: 3 0 8 | 48000/16/2/3 44100/16/2/3 48000/24/2/3",
         "1 7: 7 4 9 | 48000/16/1/4 48000/16/1/0"},
        {0x05010000, "0:0{} 1:2{0} 2:3{1} 3:1{8} 4:0{} 5:2{4} 6:3{5} 7:1{10} 8:2{0} 9:2{4} 10:4{9}",
         "0 0: 3 0 8 | 48000/16/2/3 44100/16/2/3 48000/24/2/3",
         "1 7: 7 4 9 10 | 48000/16/1/4 48000/16/1/0"},
    };
    for (const Case& c : cases)
    {
        EmuSetOsVersion(c.Ntddi >> 24, (c.Ntddi >> 16) & 0xFF, 0, c.Ntddi);
        std::string controls;
        std::vector<std::string> engines;
        EXPECT_EQ(STATUS_SUCCESS,
                  StartWith(
                      SimReference::Uac1SpeakerMic,
                      [](DeviceBytes& b)
                      {
                          auto& cfg = b.Configuration;
                          cfg[Find(cfg, kOutput) + 7] = 1;    // speaker straight from USB
                          cfg[Find(cfg, kOutput, 1) + 7] = 4; // USB straight from microphone
                      },
                      &controls, &engines));
        EXPECT_EQ(c.Controls, controls);
        ASSERT_EQ(2u, engines.size());
        EXPECT_EQ(c.Playback, engines[0]);
        EXPECT_EQ(c.Capture, engines[1]);
    }
    std::string controls;
    std::vector<std::string> engines;
    EXPECT_EQ(STATUS_SUCCESS,
              StartWith(
                  SimReference::Uac1SpeakerMic, [](DeviceBytes&) {}, &controls, &engines));
    EXPECT_EQ("0:0{} 1:2{0} 2:3{1} 3:1{2} 4:0{} 5:2{4} 6:3{5} 7:1{8} 8:4{6}", controls);
    EXPECT_EQ("1 7: 7 6 5 4 8 | 48000/16/1/4 48000/16/1/0", engines[1]);
}

// A recording through a mixer whose first input is a second mixer: the
// second mixer's line joins the path and names the recording, and the
// microphone, the first mixer's second input, stays off it with its volume.
TEST(Uac1Walk, AMixerReachedThroughAMixerIsFollowedToItsLine)
{
    std::string error;
    Started s(SimUsbDevice::CreateFromFile(LT_QUIRKS_DIR "/mixer-of-a-mixer-capture.txt",
                                           std::nullopt, &error));
    ASSERT_EQ(STATUS_SUCCESS, s.Status) << error;
    // Controls in descriptor order: line 0, its mixer 1, microphone 2, volume
    // 3, the first mixer 4, the streaming terminal 5.
    EXPECT_EQ("1 5: 5 4 1 0 | 48000/16/2/3 48000/16/2/0", Engine(s.Device(), 0));
}

// Format records of one format-type descriptor: a continuous range takes
// the standard rates it holds, a bound within 0.5% of one counting as it
// (none is no rates; a bound further above 96 kHz is refused); type III
// gives Dolby Digital then WMA Pro records for the compressed tags only.
// The playback setting 1 carries 196-byte packets, setting 2 (made so
// here) 1023; a rate whose packet does not fit adds nothing. A record whose
// sample the driver does not carry is counted as dropped.
TEST(Uac1Walk, CollectStreamFormats)
{
    auto discrete = [](ULONG rate)
    {
        return std::vector<UCHAR>{
            11, 0x24, 2, 1, 2, 2, 16, 1, (UCHAR)rate, (UCHAR)(rate >> 8), (UCHAR)(rate >> 16)};
    };
    const std::vector<std::pair<ULONG, USHORT>> all = {{8000, 1},  {11025, 1}, {16000, 1},
                                                       {22050, 1}, {32000, 1}, {44100, 1},
                                                       {48000, 1}, {88200, 1}, {96000, 1}};
    struct Case
    {
        std::vector<UCHAR> Descriptor;
        USHORT Tag;
        NTSTATUS Status;
        std::vector<std::pair<ULONG, USHORT>> Records; // rate, sub-format tag
        UCHAR AlternateSetting = 2;
        USHORT ValidBits = 16; // of the template's 16-bit container
        ULONG Dropped = 0;
    } cases[] = {
        {Continuous(44100, 48000), 1, STATUS_SUCCESS, {{44100, 1}, {48000, 1}}},
        {Continuous(40000, 50000), 1, STATUS_SUCCESS, {{44100, 1}, {48000, 1}}},
        {Continuous(48000, 44100), 1, STATUS_SUCCESS, {{44100, 1}, {48000, 1}}},
        {Continuous(4990, 55010), 1, STATUS_SUCCESS,
         std::vector<std::pair<ULONG, USHORT>>(all.begin(), all.begin() + 7)},
        {Continuous(8000, 96000), 1, STATUS_SUCCESS, all},
        {Continuous(8040, 96480), 1, STATUS_SUCCESS, all},
        {Continuous(8041, 96479), 1, STATUS_SUCCESS,
         std::vector<std::pair<ULONG, USHORT>>(all.begin() + 1, all.end())},
        {Continuous(7960, 7960), 1, STATUS_SUCCESS, {{8000, 1}}},
        {Continuous(44100, 47759), 1, STATUS_SUCCESS, {{44100, 1}}},
        {Continuous(48241, 50000), 1, STATUS_UNSUCCESSFUL, {}},
        {Continuous(8000, 96481), 1, STATUS_INVALID_PARAMETER, {}},
        {Continuous(96481, 8000), 1, STATUS_INVALID_PARAMETER, {}},
        {Continuous(96001, 96001), 1, STATUS_SUCCESS, {{96000, 1}}},
        {Continuous(8000, 96000),
         1,
         STATUS_SUCCESS,
         {{8000, 1}, {11025, 1}, {16000, 1}, {22050, 1}, {32000, 1}, {44100, 1}, {48000, 1}},
         1},
        {discrete(49000), 1, STATUS_SUCCESS, {{49000, 1}}, 1},
        {discrete(49001), 1, STATUS_SUCCESS, {}, 1},
        {Continuous(48000, 48000, 3), 0x2001, STATUS_SUCCESS, {{48000, 0x92}, {48000, 0x164}}},
        {Continuous(48000, 48000, 3), 0x2006, STATUS_SUCCESS, {{48000, 0x92}, {48000, 0x164}}},
        {Continuous(48000, 48000, 3), 0x2002, STATUS_SUCCESS, {{48000, 0x92}, {48000, 0x164}}},
        {Continuous(48000, 48000, 3), 0x0001, STATUS_SUCCESS, {{48000, 0x92}, {48000, 0x164}}},
        {Continuous(48000, 48000, 3), 0x0100, STATUS_SUCCESS, {}},
        {Continuous(48000, 48000), 0x0002, STATUS_SUCCESS, {}}, // PCM8 is 8-bit only
        {Continuous(48000, 48000), 0x0003, STATUS_SUCCESS, {}},
        {Continuous(48000, 48000), 0x0004, STATUS_SUCCESS, {}},
        {Continuous(48000, 48000), 0x0005, STATUS_SUCCESS, {}},
        {Continuous(48000, 48000), 0x0006, STATUS_SUCCESS, {}},
        // A template whose resolution its samples cannot hold: dropped.
        {Continuous(44100, 48000), 1, STATUS_SUCCESS, {}, 2, 17, 2},
        {Continuous(44100, 48000), 1, STATUS_SUCCESS, {}, 2, 0, 2},
        {Continuous(44100, 48000), 1, STATUS_SUCCESS, {{44100, 1}, {48000, 1}}, 2, 1},
    };
    DeviceBytes bytes = ReferenceBytes(SimReference::Uac1SpeakerMic);
    const size_t second = Endpoint(bytes.Configuration, SimRef1::PlayEndpoint) + 9 + 7 + 9 + 7 + 11;
    ASSERT_EQ(SimRef1::PlayEndpoint, bytes.Configuration[second + 2]);
    bytes.Configuration[second + 4] = 0xFF;
    bytes.Configuration[second + 5] = 0x03;
    Started s(MakeSimDevice(bytes));
    ASSERT_EQ(STATUS_SUCCESS, s.Status);
    for (const Case& c : cases)
    {
        CUsbAudioStream* stream = MakeTestStream(STREAM_DIRECTION_RENDER, SimRef1::PlayInterface, 0,
                                                 static_cast<IAdapterCommon*>(s.Device()));
        WAVEFORMATEXTENSIBLE format = {};
        format.Format.nChannels = 2;
        format.Format.wBitsPerSample = 16;
        format.Samples.wValidBitsPerSample = c.ValidBits;
        format.Format.nBlockAlign = 4;
        ULONG dropped = 0;
        EXPECT_EQ(c.Status, CollectStreamFormats(stream, c.Descriptor.data(), c.Tag,
                                                 c.AlternateSetting, format, &dropped));
        ASSERT_EQ(c.Records.size(), stream->GetFormatCount()) << c.Tag;
        for (ULONG i = 0; i < stream->GetFormatCount(); ++i)
        {
            WAVEFORMATEXTENSIBLE record = {};
            stream->GetFormatAt(i, &record);
            EXPECT_EQ(c.Records[i].first, record.Format.nSamplesPerSec);
            EXPECT_EQ(4 * c.Records[i].first, record.Format.nAvgBytesPerSec);
            EXPECT_EQ(c.Records[i].second, record.SubFormat.Data1);
        }
        EXPECT_EQ(c.Dropped, dropped);
        stream->Release();
    }
}

// One vendor's output terminal 16 of type speaker is made a headphone
// output; a listed device must have output terminals 16 and 64.
TEST(Uac1Walk, ListedTerminals)
{
    auto outputKind = [](USHORT vendor, USHORT product, UCHAR id, NTSTATUS* status)
    {
        DeviceBytes bytes = ReferenceBytes(SimReference::Uac1SpeakerMic);
        SetIds(&bytes, vendor, product, 1, 2);
        bytes.Configuration[Find(bytes.Configuration, kOutput) + 3] = id;
        Started s(MakeSimDevice(bytes));
        *status = s.Status;
        CAudioControl* control = nullptr;
        ULONG kind = 99;
        PTERMINALCONTROL terminal = nullptr;
        if (s.Device() != nullptr && NT_SUCCESS(s.Device()->GetUnit(3, &control)) &&
            NT_SUCCESS(control->QueryInterface(IID_ITerminalControl, (PVOID*)&terminal)))
        {
            terminal->GetCurrentKind(&kind);
            terminal->Release();
        }
        return kind;
    };
    NTSTATUS status = 0;
    EXPECT_EQ(ENDPOINT_KIND_HP, outputKind(0x4C54, 0x1001, 16, &status));
    EXPECT_EQ(STATUS_SUCCESS, status);
    EXPECT_EQ(ENDPOINT_KIND_SPK, outputKind(0x4C54, 0x1001, 15, &status));
    EXPECT_EQ(ENDPOINT_KIND_SPK, outputKind(0x0000, 0x1001, 16, &status));
    outputKind(0x4C54, 0x1501, 16, &status);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, status); // no unit 64
}

// The AudioControl walk on bytes given directly: a bad interface
// descriptor, a descriptor that runs past the bytes or is too short to
// carry a subtype, an interface with nothing after it, and another
// descriptor type that ends the walk with the units before it kept.
TEST(Uac1Walk, AudioControlBytes)
{
    Started s(SimCreateReferenceDevice(SimReference::Uac1SpeakerMic));
    ASSERT_EQ(STATUS_SUCCESS, s.Status);
    const std::vector<UCHAR> iface = {9, 4, 0, 0, 0, 1, 1, 0, 0};
    const std::vector<UCHAR> terminal = {12, 0x24, 2, 30, 1, 2, 0, 1, 0, 0, 0, 0};
    auto with = [&](std::vector<UCHAR> head, std::vector<UCHAR> tail)
    {
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    struct Case
    {
        const char* What;
        std::vector<UCHAR> Bytes;
        ULONG BytesToEnd; // 0: all of them
        NTSTATUS Status;
        ULONG NewUnits;
        const char* Said = nullptr;
    } cases[] = {
        {"nothing after the interface", iface, 0, STATUS_SUCCESS, 0},
        {"interface of 8 bytes", {8, 4, 0, 0, 0, 1, 1, 0}, 0, STATUS_INVALID_PARAMETER, 0},
        {"protocol of class 2.0", {9, 4, 0, 0, 0, 1, 1, 0x20, 0}, 0, STATUS_INVALID_PARAMETER, 0},
        {"fewer than 9 bytes", iface, 8, STATUS_INVALID_PARAMETER, 0},
        {"class-specific length 2", with(iface, {2, 0x24}), 0, STATUS_UNSUCCESSFUL, 0},
        {"length 1", with(iface, {1, 0x24}), 0, STATUS_UNSUCCESSFUL, 0},
        {"past the bytes", with(iface, terminal), 20, STATUS_UNSUCCESSFUL, 0},
        {"a terminal", with(iface, terminal), 0, STATUS_SUCCESS, 1},
        {"an endpoint past the bytes", with(iface, {7, 5, 0x83, 3}), 0, STATUS_UNSUCCESSFUL, 0,
         "AudioControl interface 0: descriptor length 7 refused (4 byte(s) left in the "
         "configuration): 0xC0000001\n"},
        {"a terminal, then an endpoint",
         with(with(iface, terminal), {7, 5, 0x83, 3, 2, 0, 32, 12, 0x24, 2}), 0, STATUS_SUCCESS, 1},
    };
    for (const Case& c : cases)
    {
        CPtrList* units = nullptr;
        s.Device()->GetUnitList(&units);
        const ULONG before = units->GetCount();
        std::vector<UCHAR> bytes = c.Bytes;
        EXPECT_EQ(c.Status,
                  ParseAudioControlUac1(s.Device(), (PUSB_INTERFACE_DESCRIPTOR)bytes.data(),
                                        c.BytesToEnd != 0 ? c.BytesToEnd : (ULONG)bytes.size()))
            << c.What;
        EXPECT_EQ(before + c.NewUnits, units->GetCount()) << c.What;
        EXPECT_TRUE(c.Said == nullptr || DbgLinesSaying(c.Said) == 1) << c.What;
    }
}

// The walk ends by linking each unit to the controls its sources end in; a
// link whose copy cannot be allocated (the last allocation of the control
// tag the walk makes) fails the walk with that status, and the device's
// removal leaves nothing behind.
TEST(Uac1Walk, AFailedSourceLinkFailsTheWalk)
{
    const std::vector<UCHAR> walked = {9,  4,    0, 0,  0, 1, 1, 0,  0,          // interface
                                       12, 0x24, 2, 30, 1, 2, 0, 1,  0, 0, 0, 0, // microphone
                                       9,  0x24, 3, 31, 1, 1, 0, 30, 0};         // to the host
    ULONG allocations = 0;
    for (bool fail : {false, true})
    {
        {
            Started s(SimCreateReferenceDevice(SimReference::Uac1SpeakerMic));
            ASSERT_EQ(STATUS_SUCCESS, s.Status);
            const unsigned long long before = EmuPoolAllocationCount(AUDIO_CONTROL_POOL_TAG);
            if (fail)
                EmuPoolInjectFailure(AUDIO_CONTROL_POOL_TAG, allocations - 1);
            std::vector<UCHAR> bytes = walked;
            EXPECT_EQ(fail ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS,
                      ParseAudioControlUac1(s.Device(), (PUSB_INTERFACE_DESCRIPTOR)bytes.data(),
                                            (ULONG)bytes.size()));
            if (!fail)
                allocations = (ULONG)(EmuPoolAllocationCount(AUDIO_CONTROL_POOL_TAG) - before);
            EmuPoolClearInjection();
        }
        EXPECT_EQ("", EmuCheckClean(false));
    }
    // The two new units' own sources, then the links of every unit that has one.
    EXPECT_GT(allocations, 2u);
}

// Streaming interfaces that end the start or are skipped: a continuous
// capture range beyond the standard rates, and an interface without its
// general descriptor, which makes no stream.
TEST(Uac1Walk, StreamingInterfaces)
{
    std::vector<std::string> engines;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, StartWith(SimReference::Uac1Surround71,
                                                  [](DeviceBytes& b)
                                                  {
                                                      auto& c = b.Configuration;
                                                      const size_t format = FindAs(c, kFormat, 2);
                                                      c[format + 11] =
                                                          0xA0; // upper bound 100000 Hz
                                                      c[format + 12] = 0x86;
                                                      c[format + 13] = 0x01;
                                                  }));
    EXPECT_EQ(STATUS_SUCCESS, StartWith(
                                  SimReference::Uac1SpeakerMic,
                                  [](DeviceBytes& b)
                                  {
                                      auto& c = b.Configuration;
                                      c[FindAs(c, kFormat, 2) + 2] = 0x11; // subtypes no walk knows
                                      c[FindAs(c, kGeneral, 2) + 2] = 0x10;
                                  },
                                  nullptr, &engines));
    EXPECT_EQ(1u, engines.size());
}
