// 24-bit files play to every reference device whose render pin offers 24
// valid bits, packed or in 32-bit containers, and arrive bit-exact on the
// wire whatever container the device takes them in; a format no device
// offers is refused with the formats the filter does offer.
#include <gtest/gtest.h>

#include "platform/kernel/emu.h"
#include "sim/host/harness/host_formats.h"
#include "sim/host/harness/host_stream.h"
#include "tests/sim/host/render_filter.h"
#include "tests/sim/host/scratch_folder.h"

namespace
{
constexpr ULONG kRate = 48000;

// 24 valid bits, every sample of every frame different, left-justified in
// `container` bits.
ULONG Sample24(size_t index)
{
    return (ULONG)((index + 1) * 0x010203u) & 0xFFFFFFu;
}

HostAudio Ramp24(ULONG frames, USHORT channels, USHORT container)
{
    const ULONG bytes = container / 8;
    HostAudio a{kRate, channels, container, std::vector<UCHAR>((size_t)frames * channels * bytes),
                (USHORT)(container == 24 ? 0 : 24)};
    for (size_t i = 0; i < (size_t)frames * channels; ++i)
        for (ULONG b = 0; b < 3; ++b)
            a.Data[i * bytes + bytes - 3 + b] = (UCHAR)(Sample24(i) >> (8 * b));
    return a;
}

// The top 24 bits of sample `index` of what the device received.
ULONG Received24(const HostAudio& a, size_t index)
{
    const ULONG bytes = a.BitsPerSample / 8;
    ULONG v = 0;
    for (ULONG b = 0; b < 3; ++b)
        v |= (ULONG)a.Data[index * bytes + bytes - 3 + b] << (8 * b);
    return v;
}

// Channel counts the render pin offers with 24 valid bits at the rate.
std::vector<ULONG> ChannelsWith24Bits(HostHarness& host)
{
    RenderFilter render(host);
    std::vector<ULONG> channels;
    if (render.Filter == nullptr)
        return channels;
    std::vector<UCHAR> format;
    for (USHORT c = 1; c <= 8; ++c)
    {
        const KSDATARANGE_AUDIO probe =
            AudioClientRange(KSDATAFORMAT_SUBTYPE_PCM, c, 24, 24, kRate, kRate);
        KSDATAFORMAT_WAVEFORMATEX f = {};
        if (!NT_SUCCESS(
                render.Client.Intersect(render.Filter, render.PinId, &probe.DataRange, &format)) ||
            format.size() < sizeof(f))
            continue;
        memcpy(&f, format.data(), sizeof(f));
        if (f.WaveFormatEx.nChannels == c) // not the most the range holds instead
            channels.push_back(c);
    }
    return channels;
}
} // namespace

TEST(HostFormats, TwentyFourBitFilesArriveBitExactWhereOffered)
{
    int played = 0;
    for (const std::string& name : HostHarness::ReferenceNames())
    {
        HostHarness host;
        std::string error;
        ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
        ASSERT_EQ(STATUS_SUCCESS, host.PlugReference(name, &error)) << error;
        ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
        ASSERT_EQ(STATUS_SUCCESS, host.StartDevice()) << name;
        for (ULONG channels : ChannelsWith24Bits(host))
            for (USHORT container : {24, 32})
            {
                const HostAudio in = Ramp24(960, (USHORT)channels, container);
                HostStream stream(host);
                HostAudio received;
                HostStreamSummary summary;
                ASSERT_EQ(STATUS_SUCCESS, stream.Play(in, {}, &received, &summary))
                    << name << " " << container << ": " << stream.Error();
                // A device that folds the pin's channels to fewer on the wire
                // (chip model C) sends its own mix: nothing to compare.
                if (received.Channels != channels)
                    continue;
                ASSERT_GE(received.BitsPerSample, 24u) << name;
                const size_t samples = (size_t)960 * channels;
                const size_t total = received.Data.size() / (received.BitsPerSample / 8);
                size_t start = 0;
                while (start < total && Received24(received, start) != Sample24(0))
                    start += channels;
                ASSERT_LE(start + samples, total) << name << " " << container;
                for (size_t i = 0; i < samples; ++i)
                    ASSERT_EQ(Sample24(i), Received24(received, start + i))
                        << name << " " << container << " sample " << i;
                ++played;
            }
        EXPECT_EQ(STATUS_SUCCESS, host.RemoveDevice());
        host.Unplug();
        host.UnloadDriver();
        EXPECT_EQ("", EmuCheckClean(false)) << name;
    }
    // The class 1.0 speaker takes them packed, the class 2.0 device in 32 bits.
    EXPECT_GE(played, 4);
}

// A microphone of 16 bits at 48 kHz beside 24 bits at 44.1 kHz, in one data
// range of both: each kind is listed at the rate it opens at, and opens there.
TEST(HostFormats, OfferedFormatsOpenWhereListed)
{
    HostHarness host;
    std::string error;
    ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
    ASSERT_EQ(STATUS_SUCCESS,
              host.PlugDescriptorFile(
                  std::string(LT_QUIRKS_DIR) + "/two-format-settings-microphone.txt", &error))
        << error;
    ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
    ASSERT_EQ(STATUS_SUCCESS, host.StartDevice());
    {
        RenderFilter capture(host, KSPIN_DATAFLOW_OUT);
        ASSERT_NE(nullptr, capture.Filter);
        const std::vector<HostOfferedFormat> offered =
            HostOfferedFormats(capture.Client, capture.Filter, *capture.Info, capture.PinId);
        EXPECT_EQ("  1 channel(s) of 16 bits at 48000 Hz\n  1 channel(s) of 24 bits at 44100 Hz\n",
                  HostOfferedText(offered));
        for (const HostOfferedFormat& f : offered)
        {
            std::vector<UCHAR> format;
            const ULONG rate = f.Rates.front().first;
            PFILE_OBJECT pin = nullptr;
            ASSERT_EQ(STATUS_SUCCESS,
                      HostPinFormat(capture.Client, capture.Filter, capture.PinId,
                                    {rate, (USHORT)f.Channels, f.ContainerBits, {}, f.ValidBits},
                                    &format));
            EXPECT_EQ(STATUS_SUCCESS,
                      capture.Client.OpenPin(capture.Filter, capture.PinId, format.data(),
                                             (ULONG)format.size(), &pin))
                << f.ValidBits << " bits at " << rate;
            if (pin != nullptr)
                capture.Client.Close(pin);
        }
    }
    EXPECT_EQ(STATUS_SUCCESS, host.RemoveDevice());
    host.Unplug();
    host.UnloadDriver();
    EXPECT_EQ("", EmuCheckClean(false));
}

// The two-format microphone with its settings' rates changed: 16 bits at
// 44.1 and 96 kHz but not 48 kHz (24 bits at 44.1 kHz beside it); 16 bits
// over a continuous range of 8 to 96 kHz beside 24 bits at 48 kHz only, a
// rate inside it. Each kind is listed at its rates, runs apart where a rate
// between them does not open (the driver takes a class 1.0 range's standard
// rates, of which 12, 24 and 64 kHz are none).
TEST(HostFormats, OfferedRatesAreListedAsTheyOpen)
{
    const struct
    {
        const char* Name;
        // Setting 1's rates, its endpoint's bytes; setting 2's rates and bytes.
        const char *Rates1, *Bytes1, *Rates2, *Bytes2;
        const char* Offered;
    } rows[] = {
        {"44.1 and 96 kHz", "0E 24 02 01 01 02 10 02 44 AC 00 00 77 01", "C2",
         "0B 24 02 01 01 03 18 01 44 AC 00", "87",
         "  1 channel(s) of 16 bits at 44100 and 96000 Hz\n"
         "  1 channel(s) of 24 bits at 44100 Hz\n"},
        {"8 to 96 kHz", "0E 24 02 01 01 02 10 00 40 1F 00 00 77 01", "C2",
         "0B 24 02 01 01 03 18 01 80 BB 00", "93",
         "  1 channel(s) of 16 bits at 8000 to 11025, 16000 to 22050, 32000 to 48000 and 88200 "
         "to 96000 Hz\n"
         "  1 channel(s) of 24 bits at 48000 Hz\n"},
    };
    const std::string base =
        ReadAll(std::string(LT_QUIRKS_DIR) + "/two-format-settings-microphone.txt");
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Name);
        // The settings' format and endpoint lines, the total length 3 longer.
        std::string text = base;
        const auto put = [&text](const std::string& from, const std::string& to)
        {
            const size_t at = text.find(from);
            ASSERT_NE(std::string::npos, at) << from;
            text.replace(at, text.find('\n', at) - at, to);
        };
        put("09 02 98 00", "09 02 9B 00 02 01 00 80 32");
        put("0B 24 02 01 01 02 10", row.Rates1);
        put("09 05 81 05 62", std::string("09 05 81 05 ") + row.Bytes1 + " 00 01 00 00");
        put("0B 24 02 01 01 03 18", row.Rates2);
        put("09 05 81 05 87", std::string("09 05 81 05 ") + row.Bytes2 + " 00 01 00 00");
        ScratchFolder folder;
        const std::string path = folder / "microphone.txt";
        std::ofstream(path) << text;
        HostHarness host;
        std::string error;
        ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
        ASSERT_EQ(STATUS_SUCCESS, host.PlugDescriptorFile(path, &error)) << error;
        ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
        ASSERT_EQ(STATUS_SUCCESS, host.StartDevice());
        {
            RenderFilter capture(host, KSPIN_DATAFLOW_OUT);
            ASSERT_NE(nullptr, capture.Filter);
            EXPECT_EQ(row.Offered,
                      HostOfferedText(HostOfferedFormats(capture.Client, capture.Filter,
                                                         *capture.Info, capture.PinId)));
        }
        EXPECT_EQ(STATUS_SUCCESS, host.RemoveDevice());
        host.Unplug();
        host.UnloadDriver();
        EXPECT_EQ("", EmuCheckClean(false));
    }
}
