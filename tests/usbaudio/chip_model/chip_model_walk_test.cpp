// The chip models started from their presets: the objects each walk makes
// (classes told apart by their pool tags, level ranges and the requests
// they send), model B's headphone terminal for its vendor only, and model
// C's eight-channel render formats on two-channel settings with the
// repacking stream behind them.
#include <gtest/gtest.h>

#include "platform/kernel/emu.h"
#include "sim/devices/sim_chip_model_devices.h"
#include "streaming/usb/usb_audio_stream.h"
#include "tests/usbaudio/usbaudio_doubles.h"
#include "audioclass/controls/uac_unit.h"

namespace
{
constexpr LONG kDb = 65536;

struct Started
{
    explicit Started(std::unique_ptr<SimUsbDevice> device) : Rig(std::move(device))
    {
        UseDeviceClasses(false);
        Status = Rig.Start();
    }
    CUsbAudioDevice* Device() { return DeviceOf(Rig); }
    CUacUnit* Unit(ULONG id)
    {
        CAudioControl* unit = nullptr;
        return NT_SUCCESS(Device()->FindUnitByIdInDevice(id, &unit)) ? static_cast<CUacUnit*>(unit)
                                                                     : nullptr;
    }
    ULONG TagOf(const void* object)
    {
        ULONG tag = 0;
        return EmuPoolIsBlock(object, nullptr, &tag) ? tag : 0;
    }
    // The current kind of the output terminal's first control.
    ULONG OutputKind(ULONG terminal)
    {
        ULONG first = 0, kind = 99;
        CAudioControl* control = nullptr;
        PTERMINALCONTROL kinds = nullptr;
        if (NT_SUCCESS(Unit(terminal)->UnitGetFirstValue(&first)) &&
            NT_SUCCESS(Device()->GetUnit(first, &control)) &&
            NT_SUCCESS(control->QueryInterface(IID_ITerminalControl, (PVOID*)&kinds)))
        {
            kinds->GetCurrentKind(&kind);
            kinds->Release();
        }
        return kind;
    }
    size_t RequestsStartingWith(const std::string& prefix)
    {
        size_t n = 0;
        for (const SimRequestRecord& r : Rig.Device()->Log())
            n += r.Text().rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    }
    CUsbAudioStream* Stream(ULONG index)
    {
        CStreamEngine* engine = nullptr;
        return NT_SUCCESS(Device()->GetEngine(index, &engine))
                   ? static_cast<CUsbAudioStream*>(engine)
                   : nullptr;
    }
    UsbAdapterRig Rig;
    NTSTATUS Status = STATUS_UNSUCCESSFUL;
};

// A volume range: the chip's table, or 0 for a unit that takes the device's.
struct UnitRow
{
    ULONG Id;
    ULONG Tag;
    LONG Max = 0, Min = 0, Res = 0;
};

void ExpectUnits(Started& s, const std::vector<UnitRow>& rows, const char* model)
{
    for (const UnitRow& row : rows)
    {
        CUacUnit* unit = s.Unit(row.Id);
        ASSERT_NE(nullptr, unit) << model << " unit " << row.Id;
        EXPECT_EQ(row.Tag, s.TagOf(unit)) << model << " unit " << row.Id;
        if (row.Res == 0)
            continue;
        PUNITRANGEDREQUESTS levels = nullptr;
        ASSERT_TRUE(NT_SUCCESS(QueryUnitRequests(unit, IID_IUnitRangedRequests, &levels)));
        LONG max = 0, min = 0, res = 0;
        EXPECT_EQ(STATUS_SUCCESS, levels->GetLevelRange(2, &max, &min, &res));
        EXPECT_EQ((std::vector<LONG>{row.Max, row.Min, row.Res}),
                  (std::vector<LONG>{max, min, res}))
            << model << " unit " << row.Id;
    }
}
} // namespace

// Models A and B: the chip's terminals and reduced units 9, 10 and 13 (each
// with its own range) under the model's tag, and no jack request; model C:
// class 1.0 objects under "UAC1", its feature units making their controls
// under "4410", and the class 1.0 terminals asking for their jacks.
TEST(ChipModelWalks, EachModelStartsFromItsPresetWithItsObjects)
{
    const ULONG tagA = POOL_TAG("4402"), tagB = POOL_TAG("4407"), uac1 = POOL_TAG("UAC1");
    {
        Started a(SimCreateChipModelDevice(SimChipModel::A));
        ASSERT_EQ(STATUS_SUCCESS, a.Status);
        EXPECT_EQ(2u, a.Device()->GetEngineCount());
        ExpectUnits(a,
                    {{1, tagA},
                     {9, tagA, 0, -33 * kDb, kDb / 8},
                     {13, tagA, 45 * kDb / 2, -36 * kDb, 3 * kDb / 2},
                     {6, tagA},
                     {4, tagA},
                     {10, tagA, 33 * kDb, -6 * kDb, 3 * kDb / 2},
                     {7, tagA}},
                    "A");
        EXPECT_EQ(0u, a.RequestsStartingWith("C1 81 02FF"));
        EXPECT_EQ(ENDPOINT_KIND_SPK, a.OutputKind(6));
        // The chip's output terminal lists no types and answers no jacks.
        PTERMINALUNIT terminal = nullptr;
        ASSERT_TRUE(NT_SUCCESS(QueryUnitRequests(a.Unit(6), IID_ITerminalUnit, &terminal)));
        ULONG count = 9;
        EXPECT_EQ(STATUS_SUCCESS, terminal->GetKindCount(&count));
        EXPECT_EQ(0u, count);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, terminal->GetJackCount(&count, 0));
    }
    {
        Started b(SimCreateChipModelDevice(SimChipModel::B));
        ASSERT_EQ(STATUS_SUCCESS, b.Status);
        EXPECT_EQ(2u, b.Device()->GetEngineCount());
        ExpectUnits(b,
                    {{1, tagB},
                     {9, tagB, 45 * kDb / 2, 0, 3 * kDb / 2},
                     {13, tagB, 0, -37 * kDb, kDb},
                     {6, tagB},
                     {10, tagB, 0x00090001, -27 * kDb / 2, 3 * kDb / 2},
                     {7, tagB}},
                    "B");
        EXPECT_EQ(0u, b.RequestsStartingWith("C1 81 02FF"));
    }
    Started c(SimCreateChipModelDevice(SimChipModel::C));
    ASSERT_EQ(STATUS_SUCCESS, c.Status);
    EXPECT_EQ(2u, c.Device()->GetEngineCount());
    ExpectUnits(c, {{1, uac1}, {2, uac1}, {3, uac1}, {4, uac1}, {5, uac1}, {6, uac1}}, "C");
    for (ULONG id : {2u, 5u})
    {
        CAudioControl* mute = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, c.Unit(id)->UnitGetControl(0, &mute));
        EXPECT_EQ(POOL_TAG("4410"), c.TagOf(mute)) << id;
    }
    EXPECT_NE(0u, c.RequestsStartingWith("C1 81 02FF"));
}

// Output terminal 6, a speaker, is headphones on model B for its vendor only.
TEST(ChipModelWalks, ModelBSpeakerSixIsHeadphonesOnlyForItsVendor)
{
    const struct
    {
        USHORT Vendor;
        ULONG Kind;
    } cases[] = {{0x4C54, ENDPOINT_KIND_HP}, {0x4C55, ENDPOINT_KIND_SPK}};
    for (const auto& c : cases)
    {
        Started b(SimCreateChipModelDevice(SimChipModel::B, {}, c.Vendor));
        ASSERT_EQ(STATUS_SUCCESS, b.Status) << c.Vendor;
        EXPECT_EQ(c.Kind, b.OutputKind(6)) << c.Vendor;
    }
    // Model A keeps the speaker whatever the vendor.
    Started a(SimCreateChipModelDevice(SimChipModel::A, {}, 0x4C54));
    ASSERT_EQ(STATUS_SUCCESS, a.Status);
    EXPECT_EQ(ENDPOINT_KIND_SPK, a.OutputKind(6));
}

// A two-channel device of model C offers its render formats with eight
// channels in the layout 0x63F, each on the two-channel setting it came
// from; capture keeps the class 1.0 formats. The stream behind them sends
// two channels of each frame.
TEST(ChipModelWalks, ModelCOffersEightChannelRenderFormatsOnItsTwoChannelSettings)
{
    Started c(SimCreateChipModelDevice(SimChipModel::C));
    ASSERT_EQ(STATUS_SUCCESS, c.Status);
    CUsbAudioStream* render = c.Stream(0);
    ASSERT_NE(nullptr, render);
    ASSERT_EQ(STREAM_DIRECTION_RENDER, render->GetDirection());
    struct Expected
    {
        ULONG Rate;
        USHORT Bits;
        UCHAR Setting;
    } formats[] = {{48000, 16, 1}, {44100, 16, 1}, {48000, 24, 2}};
    ASSERT_EQ(3u, render->GetFormatCount());
    for (ULONG i = 0; i < 3; ++i)
    {
        WAVEFORMATEXTENSIBLE record = {};
        ASSERT_EQ(STATUS_SUCCESS, render->GetFormatAt(i, &record));
        EXPECT_EQ(8, record.Format.nChannels);
        EXPECT_EQ(0x63Fu, record.dwChannelMask);
        EXPECT_EQ(formats[i].Rate, record.Format.nSamplesPerSec);
        EXPECT_EQ(formats[i].Bits, record.Format.wBitsPerSample);
        EXPECT_EQ(8 * formats[i].Bits / 8, record.Format.nBlockAlign);
        EXPECT_EQ(formats[i].Rate * record.Format.nBlockAlign, record.Format.nAvgBytesPerSec);
        UCHAR setting = 0;
        EXPECT_EQ(STATUS_SUCCESS, render->FindAlternateSetting(&record.Format, &setting));
        EXPECT_EQ(formats[i].Setting, setting);
    }
    CUsbAudioStream* capture = c.Stream(1);
    ASSERT_NE(nullptr, capture);
    WAVEFORMATEXTENSIBLE record = {};
    ASSERT_EQ(STATUS_SUCCESS, capture->GetFormatAt(0, &record));
    EXPECT_EQ(1, record.Format.nChannels);

    // Eight 16-bit channels in, two out: 48 frames of 4 bytes a packet (the
    // samples themselves pass the effect nodes on the path).
    struct Client
    {
        static void Callback(PVOID, PVOID, PVOID) {}
    };
    WAVEFORMATEX format = {WAVE_FORMAT_PCM, 8, 48000, 48000 * 16, 16, 16, 0};
    PSTREAMCLIENT client = nullptr;
    ULONG ms = 0, frame = 0;
    ASSERT_EQ(STATUS_SUCCESS, render->RegisterClient(STREAM_CLIENT_KIND_WAVE_CYCLIC, &format, 5, 3,
                                                     Client::Callback, nullptr, &client));
    ASSERT_EQ(STATUS_SUCCESS, render->OpenClient(client->Registration, &ms, &frame));
    ASSERT_EQ(STATUS_SUCCESS, render->StartClient(client->Registration, frame + 2, &ms, nullptr));
    EmuAdvanceMs(20);
    const SimOutRecord& out = c.Rig.Device()->Streaming().OutRecord(0x01);
    ASSERT_GE(out.Packets.size(), 5u);
    EXPECT_EQ(192u, out.Packets[0].Length);
    render->StopClient(client->Registration, nullptr);
    render->CloseClient(client->Registration);
    EXPECT_EQ(STATUS_SUCCESS, render->UnregisterClient(client->Registration));
}

// On the 7.1 device with a stereo setting, only the stereo setting carries
// render formats: its one rate as eight channels; the eight-channel setting
// cannot take the repacked data and is left out.
TEST(ChipModelWalks, ModelCLeavesOutRenderSettingsOfOtherThanTwoChannels)
{
    DeviceBytes bytes = ReferenceBytes(SimReference::Uac1Surround71);
    bytes.Strings[0x50] = u"LTK250 7.1";
    Started c(MakeSimDevice(bytes));
    ASSERT_EQ(STATUS_SUCCESS, c.Status);
    CUsbAudioStream* render = c.Stream(0);
    ASSERT_NE(nullptr, render);
    ASSERT_EQ(1u, render->GetFormatCount());
    WAVEFORMATEXTENSIBLE record = {};
    ASSERT_EQ(STATUS_SUCCESS, render->GetFormatAt(0, &record));
    EXPECT_EQ(8, record.Format.nChannels);
    EXPECT_EQ(0x63Fu, record.dwChannelMask);
    EXPECT_EQ(48000u, record.Format.nSamplesPerSec);
    UCHAR setting = 0;
    EXPECT_EQ(STATUS_SUCCESS, render->FindAlternateSetting(&record.Format, &setting));
    EXPECT_EQ(2, setting);
}
