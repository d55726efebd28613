// WAV files as the host writes them: a run that cannot pass 4 GB writes the
// plain file it always did, byte for byte; one that can writes RF64, which
// reads back whole with its valid bits; the header follows the file as it
// grows, so a file read before it is closed holds what was written.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <fstream>
#include <iterator>

#include "sim/host/harness/host_wav_writer.h"
#include "tests/sim/host/scratch_folder.h"

namespace
{
// A chunk id as the little-endian number of its four bytes.
constexpr ULONGLONG Id(const char (&id)[5])
{
    return (ULONGLONG)id[0] | (ULONGLONG)id[1] << 8 | (ULONGLONG)id[2] << 16 |
           (ULONGLONG)id[3] << 24;
}

// A header built by hand as the formats' documents lay it out: RIFF, a
// 16-byte PCM format and the data chunk; for valid bits below the container
// a 40-byte WAVE_FORMAT_EXTENSIBLE format and a fact chunk; an RF64 file's
// sizes in its ds64 chunk, its format always the extensible one.
std::vector<UCHAR> Header(const HostAudio& f, ULONGLONG frames, bool rf64)
{
    const bool ext = rf64 || f.Valid() < f.BitsPerSample;
    const ULONGLONG data = frames * f.FrameBytes();
    const ULONGLONG riff = (rf64 ? 104 : ext ? 80 : 44) + data + (data & 1) - 8;
    std::vector<std::pair<ULONGLONG, int>> h = {{Id("RIFF"), 4}, {riff, 4}, {Id("WAVE"), 4}};
    if (rf64)
        h = {{Id("RF64"), 4}, {0xFFFFFFFF, 4}, {Id("WAVE"), 4}, {Id("ds64"), 4}, {28, 4},
             {riff, 8},       {data, 8},       {frames, 8},     {0, 4}};
    h.insert(h.end(), {{Id("fmt "), 4},
                       {ext ? 40 : 16, 4},
                       {ext ? 0xFFFE : 1, 2},
                       {f.Channels, 2},
                       {f.Rate, 4},
                       {f.Rate * f.FrameBytes(), 4},
                       {f.FrameBytes(), 2},
                       {f.BitsPerSample, 2}});
    if (ext) // the channel mask (front centre; left and right) and the PCM GUID
        h.insert(h.end(), {{22, 2},
                           {f.Valid(), 2},
                           {f.Channels == 1 ? 0x4 : 0x3, 4},
                           {0x00000001, 4},
                           {0x00100000, 4},
                           {0xAA000080, 4},
                           {0x719B3800, 4}});
    if (ext && !rf64)
        h.insert(h.end(), {{Id("fact"), 4}, {4, 4}, {frames, 4}});
    h.insert(h.end(), {{Id("data"), 4}, {rf64 ? 0xFFFFFFFF : data, 4}});
    std::vector<UCHAR> bytes;
    for (const auto& [value, size] : h)
        for (int i = 0; i < size; ++i)
            bytes.push_back((UCHAR)(value >> (8 * i)));
    return bytes;
}

std::vector<UCHAR> Bytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Writes `frames` frames of a ramp through a writer told `most`; the bytes.
std::vector<UCHAR> WriteRamp(const std::string& path, const HostAudio& format, ULONG frames,
                             ULONGLONG most)
{
    std::vector<UCHAR> data((size_t)frames * format.FrameBytes());
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = (UCHAR)(i * 7 + 3);
    HostWavWriter writer(path);
    writer.SetMaxFrames(most);
    std::string error;
    EXPECT_TRUE(writer.Open(format, &error) && writer.Write(data.data(), data.size(), &error) &&
                writer.Close(&error))
        << error;
    return data;
}

const HostAudio kStereo16{48000, 2, 16, {}}, kStereo24In32{48000, 2, 32, {}, 24},
    kMono8{8000, 1, 8, {}}, kStereo20In24{48000, 2, 24, {}, 20};
} // namespace

// The most frames that keep the RIFF size (the file but 8 bytes, an odd data
// chunk's pad byte included) within 0xFFFFFFFF make a plain or extensible
// WAV file, as no bound known does; one frame more, an RF64 file. Each reads
// back as written, its valid bits too; an RF64 file's data size is its ds64
// chunk's, which a header that promises too much is warned by.
TEST(HostWavWriter, EachBoundWritesTheFileThatHoldsIt)
{
    const struct
    {
        HostAudio Format;
        ULONGLONG MaxFrames;
        bool Rf64;
    } rows[] = {
        {kStereo16, 0, false},
        {kStereo16, 1073741814, false}, // 44 + 4 x 1073741814 - 8 = 0xFFFFFFFC
        {kStereo16, 1073741815, true},
        {kStereo24In32, 536870902, false}, // 80 + 8 x 536870902 - 8 = 0xFFFFFFF8
        {kStereo24In32, 536870903, true},
        {kMono8, 4294967258, false}, // 44 + 4294967258 - 8 = 0xFFFFFFFE
        {kMono8, 4294967259, true},  // its pad byte takes the RIFF size to 2^32
        {kStereo20In24, 1ull << 32, true},
    };
    ScratchFolder w;
    const std::string path = w / "out.wav";
    HostAudio read;
    std::string error, warning;
    for (const auto& row : rows)
    {
        const ULONG frames = row.Format.BitsPerSample == 8 ? 3 : 4801;
        const std::vector<UCHAR> data = WriteRamp(path, row.Format, frames, row.MaxFrames);
        std::vector<UCHAR> expected = Header(row.Format, frames, row.Rf64);
        expected.insert(expected.end(), data.begin(), data.end());
        if (data.size() & 1)
            expected.push_back(0); // the pad byte
        EXPECT_EQ(expected, Bytes(path)) << row.MaxFrames;
        ASSERT_TRUE(HostReadWav(path, &read, &error, &warning)) << error;
        EXPECT_EQ(data, read.Data);
        EXPECT_EQ(row.Format.ValidBits, read.ValidBits);
        EXPECT_EQ("", warning);
    }
    // The last row's RF64 file, said to hold three times its frames.
    const ULONGLONG promised = 3 * 4801 * kStereo20In24.FrameBytes();
    std::fstream(path, std::ios::in | std::ios::out | std::ios::binary)
        .seekp(12 + 8 + 8)
        .write(reinterpret_cast<const char*>(&promised), 8);
    ASSERT_TRUE(HostReadWav(path, &read, &error, &warning)) << error;
    EXPECT_EQ(path + ": the header says 14403 frames, the file holds 4801", warning);
}

// While the file is open its header says the frames of the first block, then
// a second of audio (8000 frames) at a time, with the run's valid bits, in
// every size it holds: what a run killed then leaves. Closed, it says them
// all.
TEST(HostWavWriter, TheHeaderFollowsTheFileAsItGrows)
{
    for (const bool rf64 : {false, true})
    {
        ScratchFolder w;
        const std::string path = w / "out.wav";
        const std::vector<UCHAR> block(100 * 8, 0x11);
        HostWavWriter writer(path);
        writer.SetMaxFrames(rf64 ? 1ull << 30 : 0);
        std::string error;
        const HostAudio format{8000, 2, 32, {}, 24};
        ASSERT_TRUE(writer.Open(format, &error)) << error;
        const ULONG steps[][2] = {{0, 0},        {100, 100},     {8000, 100},   {8100, 8100},
                                  {16000, 8100}, {16100, 16100}, {17000, 17000}};
        for (const auto& [written, said] : steps)
        {
            while (writer.Frames() < written)
                ASSERT_TRUE(writer.Write(block.data(), block.size(), &error)) << error;
            ASSERT_TRUE(written != 17000 || writer.Close(&error)) << error; // closed at the end
            const HostWavHeaderFacts facts = HostReadHeaderFacts(path);
            EXPECT_EQ(said * 8ull * 100 + 24, facts.DataBytes * 100 + facts.ValidBits) << written;
            // Every size the header holds (the RIFF, fact and ds64 ones too).
            const std::vector<UCHAR> header = Header(format, said, rf64), file = Bytes(path);
            EXPECT_EQ(header, std::vector<UCHAR>(file.begin(), file.begin() + header.size()))
                << rf64 << " " << written;
            // libsndfile takes a data size of 0 for one not written yet.
            SF_INFO info = {};
            if (SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info))
                sf_close(file);
            EXPECT_EQ(said != 0 ? said : written, info.frames) << rf64 << " " << written;
        }
    }
}
