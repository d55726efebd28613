// The timed render on the started timed device: the rate and sample-kind
// registers it writes when a client's format is prepared, and the formats it
// offers for each endpoint kind its name stands for, added once however
// often the kind is chosen again.
#include <gtest/gtest.h>

#include "platform/kernel/emu.h"
#include "sim/host/harness/host_stream.h"
#include "sim/host/harness/scenario_host.h"
#include "sim/devices/sim_timed_preset.h"
#include "streaming/usb/usb_audio_timed_render.h"
#include "streaming/usb/usb_stream_control.h"
#include "tests/usbaudio/usbaudio_doubles.h"
#include "usbaudio/timed/device.h"

namespace
{
using Writes = std::vector<std::vector<UCHAR>>;

void Ignore(PVOID, PVOID, PVOID) {}

struct RenderRig
{
    // The speaker terminal starts with the output kind it kept last.
    RenderRig(ULONG hp, ULONG spdif, ULONG kind = ENDPOINT_KIND_SPK)
    {
        SimTimedDevice timed = SimCreateTimedDevice(SimTimed::Plain, false);
        Chip = timed.Chip;
        Rig = std::make_unique<UsbAdapterRig>(std::move(timed.Device));
        Rig->SetSetting(u"SupportHPOut", hp);
        Rig->SetSetting(u"SupportSpdifOut", spdif);
        Rig->SetSetting(u"UACUnit03", kind);
        UseDeviceClasses(false);
        Status = Rig->Ok() ? Rig->Start() : STATUS_UNSUCCESSFUL;
    }
    CUsbAudioStream* Render()
    {
        CStreamEngine* engine = nullptr;
        DeviceOf(*Rig)->GetEngine(0, &engine);
        return static_cast<CUsbAudioStream*>(engine);
    }
    // "rate/channels/tag" of every format the engine offers for its kind.
    std::vector<std::string> Formats()
    {
        std::vector<std::string> text;
        for (ULONG i = 0; i < Render()->GetFormatCount(); ++i)
        {
            WAVEFORMATEXTENSIBLE f = {};
            Render()->GetFormatAt(i, &f);
            text.push_back(std::to_string(f.Format.nSamplesPerSec) + "/" +
                           std::to_string(f.Format.nChannels) + "/" +
                           std::to_string((USHORT)f.SubFormat.Data1));
        }
        return text;
    }
    std::shared_ptr<SimChipRegisters> Chip;
    std::unique_ptr<UsbAdapterRig> Rig;
    NTSTATUS Status;
};

WAVEFORMATEXTENSIBLE Pcm(ULONG rate, USHORT channels, USHORT tag)
{
    WAVEFORMATEXTENSIBLE f = {};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.wBitsPerSample = 16;
    f.Format.nBlockAlign = (USHORT)(2 * channels);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    f.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    f.Samples.wValidBitsPerSample = 16;
    f.dwChannelMask = channels == 2 ? 3 : 0x63F;
    f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    f.SubFormat.Data1 = tag;
    return f;
}
} // namespace

// The speakers offer the settings as the walk found them less 96 kHz;
// headphones the two-channel formats with 96 kHz PCM; S/PDIF those and the
// three S/PDIF formats. Naming the engine again adds nothing.
TEST(TimedRender, FormatsFollowTheEndpointKind)
{
    struct Case
    {
        ULONG Hp, Spdif;
        ULONG Kind;
        std::vector<std::string> Formats;
    } cases[] = {
        {0,
         0,
         ENDPOINT_KIND_SPK,
         {"44100/8/1", "48000/8/1", "44100/2/1", "48000/2/1", "44100/4/1", "48000/4/1", "44100/6/1",
          "48000/6/1"}},
        {1, 0, ENDPOINT_KIND_HP, {"44100/2/1", "48000/2/1", "96000/2/1"}},
        {0,
         1,
         ENDPOINT_KIND_SPDIF,
         {"44100/2/1", "48000/2/1", "44100/2/146", "48000/2/146", "96000/2/146", "96000/2/1"}},
    };
    for (const Case& c : cases)
    {
        RenderRig rig(c.Hp, c.Spdif, c.Kind);
        ASSERT_EQ(STATUS_SUCCESS, rig.Status) << c.Kind;
        ASSERT_EQ(c.Kind, rig.Render()->GetEndpointKind());
        ASSERT_EQ(STATUS_SUCCESS, rig.Render()->SetName(u"Out00"));
        EXPECT_EQ(c.Formats, rig.Formats()) << c.Kind;
        const SIZE_T settings = EmuPoolOutstandingCount(USB_STREAM_POOL_TAG);
        const SIZE_T records = EmuPoolOutstandingCount(STREAM_ENGINE_POOL_TAG);
        for (int again = 0; again < 3; ++again)
            ASSERT_EQ(STATUS_SUCCESS, rig.Render()->SetName(u"Out00"));
        EXPECT_EQ(c.Formats, rig.Formats()) << c.Kind;
        EXPECT_EQ(settings, EmuPoolOutstandingCount(USB_STREAM_POOL_TAG)) << c.Kind;
        EXPECT_EQ(records, EmuPoolOutstandingCount(STREAM_ENGINE_POOL_TAG)) << c.Kind;
    }
}

// The added formats go out on the chip's two-channel and single-rate settings.
TEST(TimedRender, AddedFormatsFindTheirSettings)
{
    RenderRig rig(0, 1, ENDPOINT_KIND_SPDIF);
    ASSERT_EQ(STATUS_SUCCESS, rig.Status);
    ASSERT_EQ(STATUS_SUCCESS, rig.Render()->SetName(u"SPDIFOut00"));
    struct Case
    {
        WAVEFORMATEXTENSIBLE Format;
        UCHAR Setting;
    } cases[] = {
        {Pcm(96000, 2, WAVE_FORMAT_PCM), TIMED_HIGH_RATE_SETTING},
        {Pcm(48000, 2, WAVE_FORMAT_PCM), TIMED_SPDIF_SETTING},
    };
    for (Case& c : cases)
    {
        UCHAR setting = 0;
        EXPECT_EQ(STATUS_SUCCESS, rig.Render()->FindAlternateSetting(&c.Format.Format, &setting));
        EXPECT_EQ(c.Setting, setting) << c.Format.Format.nSamplesPerSec;
    }
    WAVEFORMATEXTENSIBLE record = Pcm(48000, 2, TIMED_DOLBY_DIGITAL_TAG);
    record.Format.cbSize = 0;
    record.dwChannelMask = 0;
    UCHAR setting = 0;
    EXPECT_EQ(STATUS_SUCCESS, rig.Render()->FindAlternateSetting(&record.Format, &setting));
    EXPECT_EQ(TIMED_SPDIF_SETTING, setting);
}

// A prepared client's rate (44.1, 48 or 96 kHz) goes to register 0's bits
// 12 to 14, and whether it is PCM to bit 1.
TEST(TimedRender, PreparationWritesRateAndSampleKind)
{
    struct Case
    {
        ULONG Rate;
        USHORT Tag;
        Writes Sent; // register 0 starts at 0xA004 (routed to S/PDIF)
    } cases[] = {
        {48000, WAVE_FORMAT_PCM, {{0x20, 0x04, 0xA0, 0x00}, {0x20, 0x04, 0xA0, 0x00}}},
        {44100, WAVE_FORMAT_PCM, {{0x20, 0x04, 0x80, 0x00}, {0x20, 0x04, 0x80, 0x00}}},
        {96000, WAVE_FORMAT_PCM, {{0x20, 0x04, 0xE0, 0x00}, {0x20, 0x04, 0xE0, 0x00}}},
        {48000, TIMED_DOLBY_DIGITAL_TAG, {{0x20, 0x04, 0xA0, 0x00}, {0x20, 0x06, 0xA0, 0x00}}},
    };
    for (const Case& c : cases)
    {
        RenderRig rig(0, 1, ENDPOINT_KIND_SPDIF);
        ASSERT_EQ(STATUS_SUCCESS, rig.Status);
        CUsbAudioStream* render = rig.Render();
        ASSERT_EQ(STATUS_SUCCESS, render->SetName(u"SPDIFOut00"));
        WAVEFORMATEXTENSIBLE format = Pcm(c.Rate, 2, c.Tag);
        if (c.Tag != WAVE_FORMAT_PCM)
            format.Format.cbSize = 0, format.dwChannelMask = 0;
        PSTREAMCLIENT client = nullptr;
        ASSERT_EQ(STATUS_SUCCESS,
                  render->RegisterClient(STREAM_CLIENT_KIND_WAVE_CYCLIC, &format.Format, 5, 3,
                                         Ignore, nullptr, &client));
        rig.Chip->Writes.clear();
        ULONG ms = 0, frame = 0;
        ASSERT_EQ(STATUS_SUCCESS, render->OpenClient(client->Registration, &ms, &frame));
        EXPECT_EQ(c.Sent, rig.Chip->Writes) << c.Rate;
        EXPECT_EQ(render->QueryCurrentFrameNumber(), frame) << c.Rate;
        render->CloseClient(client->Registration);
        EXPECT_EQ(STATUS_SUCCESS, render->UnregisterClient(client->Registration));
    }
}

// Six channels reach the chip bit-exact after the 15 ms the first URBs carry.
TEST(TimedRender, PlayReachesTheChipBitExact)
{
    ScenarioHost scenario("TimedChip");
    ASSERT_EQ(STATUS_SUCCESS, scenario.Start());
    HostAudio in{48000, 6, 16, std::vector<UCHAR>(4800u * 12)}, received;
    for (size_t i = 0; i < in.Data.size(); ++i)
        in.Data[i] = (UCHAR)(i * 7 + i / 251);
    HostStreamSummary summary;
    HostStream stream(scenario.Host());
    ASSERT_EQ(STATUS_SUCCESS, stream.Play(in, {}, &received, &summary)) << stream.Error();
    ASSERT_GE(received.Data.size(), 15 * 48 * 12 + in.Data.size());
    EXPECT_TRUE(std::equal(in.Data.begin(), in.Data.end(), &received.Data[15 * 48 * 12]));
}
