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
std::vector<UCHAR> Bytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void Put(std::vector<UCHAR>* to, ULONGLONG value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        to->push_back((UCHAR)(value >> (8 * i)));
}

void Put(std::vector<UCHAR>* to, const char* id)
{
    to->insert(to->end(), id, id + 4);
}

// A header built by hand as the formats' documents lay it out: RIFF, a
// 16-byte PCM format and the data chunk; or, for valid bits below the
// container, a 40-byte WAVE_FORMAT_EXTENSIBLE format and a fact chunk; or
// an RF64 file, whose ds64 chunk holds the sizes and whose format is always
// the extensible one.
std::vector<UCHAR> Header(const HostAudio& f, ULONGLONG frames, bool rf64)
{
    const bool extensible = rf64 || f.Valid() < f.BitsPerSample;
    const ULONGLONG data = frames * f.FrameBytes();
    const ULONGLONG headerBytes = rf64 ? 104 : extensible ? 80 : 44;
    const ULONGLONG riff = headerBytes + data + (data & 1) - 8;
    std::vector<UCHAR> h;
    Put(&h, rf64 ? "RF64" : "RIFF");
    Put(&h, rf64 ? 0xFFFFFFFF : riff, 4);
    Put(&h, "WAVE");
    if (rf64)
    {
        Put(&h, "ds64");
        Put(&h, 28, 4);
        Put(&h, riff, 8);
        Put(&h, data, 8);
        Put(&h, frames, 8);
        Put(&h, 0, 4); // no table
    }
    Put(&h, "fmt ");
    Put(&h, extensible ? 40 : 16, 4);
    Put(&h, extensible ? 0xFFFE : 1, 2);
    Put(&h, f.Channels, 2);
    Put(&h, f.Rate, 4);
    Put(&h, (ULONGLONG)f.Rate * f.FrameBytes(), 4);
    Put(&h, f.FrameBytes(), 2);
    Put(&h, f.BitsPerSample, 2);
    if (extensible)
    {
        Put(&h, 22, 2);
        Put(&h, f.Valid(), 2);
        Put(&h, f.Channels == 1 ? 0x4 : 0x3, 4); // front centre; front left and right
        const UCHAR pcm[16] = {1, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
        h.insert(h.end(), pcm, pcm + 16);
    }
    if (extensible && !rf64)
    {
        Put(&h, "fact");
        Put(&h, 4, 4);
        Put(&h, frames, 4);
    }
    Put(&h, "data");
    Put(&h, rf64 ? 0xFFFFFFFF : data, 4);
    return h;
}

// `frames` frames of a ramp in the format, no two bytes in a row alike.
HostAudio Ramp(HostAudio format, ULONG frames)
{
    format.Data.resize((size_t)frames * format.FrameBytes());
    for (size_t i = 0; i < format.Data.size(); ++i)
        format.Data[i] = (UCHAR)(i * 7 + 3);
    return format;
}

const HostAudio kStereo16{48000, 2, 16, {}};
const HostAudio kStereo24In32{48000, 2, 32, {}, 24};
const HostAudio kMono8{8000, 1, 8, {}};
const HostAudio kMono24{8000, 1, 24, {}};

// The frames libsndfile reads of a file.
sf_count_t SndfileFrames(const std::string& path, int* format = nullptr)
{
    SF_INFO info = {};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr)
        return -1;
    sf_close(file);
    if (format != nullptr)
        *format = info.format & SF_FORMAT_TYPEMASK;
    return info.frames;
}
} // namespace

// A run whose most frames keep the RIFF size (the file but 8 bytes, an odd
// data chunk's pad byte included) within 0xFFFFFFFF writes a plain or
// extensible WAV file, as it did with no bound known; one frame more, an
// RF64 file. Each is the hand-built header and the samples.
TEST(HostWavWriter, EachBoundWritesTheFileThatHoldsIt)
{
    const struct
    {
        HostAudio Format;
        ULONGLONG MaxFrames;
        bool Rf64;
        ULONG Frames; // written
    } rows[] = {
        {kStereo16, 0, false, 480},
        {kStereo16, 480, false, 480},
        {kStereo16, 1073741814, false, 480}, // 44 + 4 x 1073741814 - 8 = 0xFFFFFFFC
        {kStereo16, 1073741815, true, 480},
        {kStereo24In32, 0, false, 480},
        {kStereo24In32, 536870902, false, 480}, // 80 + 8 x 536870902 - 8 = 0xFFFFFFF8
        {kStereo24In32, 536870903, true, 480},
        {kMono8, 4294967258, false, 3}, // 44 + 4294967258 - 8 = 0xFFFFFFFE
        {kMono8, 4294967259, true, 3},  // its pad byte takes the RIFF size to 2^32
        {kMono24, 1431655752, false, 5},
        {kMono24, 1431655753, true, 5},               // 3 x 1431655753 is odd: its pad byte passes
        {kStereo24In32, 3600ull * 384000, true, 480}, // an hour of 384 kHz
    };
    for (const auto& row : rows)
    {
        ScratchFolder scratch;
        const HostAudio audio = Ramp(row.Format, row.Frames);
        HostWavWriter writer(scratch / "out.wav");
        writer.SetMaxFrames(row.MaxFrames);
        std::string error;
        ASSERT_TRUE(writer.Open(row.Format, &error)) << error;
        ASSERT_TRUE(writer.Write(audio.Data.data(), audio.Data.size(), &error)) << error;
        ASSERT_TRUE(writer.Close(&error)) << error;
        std::vector<UCHAR> expected = Header(row.Format, row.Frames, row.Rf64);
        expected.insert(expected.end(), audio.Data.begin(), audio.Data.end());
        if (audio.Data.size() & 1)
            expected.push_back(0);
        EXPECT_EQ(expected, Bytes(scratch / "out.wav"))
            << row.Format.BitsPerSample << " bits, at most " << row.MaxFrames << " frames";
    }
}

// An RF64 file reads back as it was written: its samples, its valid bits
// (set again after the writer's), and the data size of its ds64 chunk,
// which a header that promises more than the file holds is warned by.
TEST(HostWavWriter, AnRf64FileReadsBackWhole)
{
    ScratchFolder scratch;
    const std::string path = scratch / "out.wav";
    HostAudio format = kStereo24In32;
    format.BitsPerSample = 24;
    format.ValidBits = 20;
    const HostAudio audio = Ramp(format, 4801);
    HostWavWriter writer(path);
    writer.SetMaxFrames(1ull << 32);
    std::string error;
    ASSERT_TRUE(writer.Open(format, &error)) << error;
    ASSERT_TRUE(writer.Write(audio.Data.data(), audio.Data.size(), &error)) << error;
    ASSERT_TRUE(writer.Close(&error)) << error;
    int major = 0;
    EXPECT_EQ(4801, SndfileFrames(path, &major));
    EXPECT_EQ(SF_FORMAT_RF64, major);

    HostAudio read;
    std::string warning;
    ASSERT_TRUE(HostReadWav(path, &read, &error, &warning)) << error;
    EXPECT_EQ("", warning);
    EXPECT_EQ(20, read.ValidBits);
    EXPECT_EQ(audio.Data, read.Data);
    ASSERT_TRUE(HostSetValidBits(path, 22, &error)) << error;
    EXPECT_EQ(22, HostReadHeaderFacts(path).ValidBits);

    // The ds64 chunk's data size, tripled.
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    const ULONGLONG promised = 3ull * 4801 * 6;
    f.seekp(12 + 8 + 8);
    f.write(reinterpret_cast<const char*>(&promised), 8);
    f.close();
    EXPECT_EQ(promised, HostReadHeaderFacts(path).DataBytes);
    ASSERT_TRUE(HostReadWav(path, &read, &error, &warning)) << error;
    EXPECT_EQ(path + ": the header says 14403 frames, the file holds 4801", warning);
}

// While the file is open, its header says the frames written up to the last
// whole second of audio, with the valid bits of the run: what a run killed
// then leaves. Closed, it says them all.
TEST(HostWavWriter, TheHeaderFollowsTheFileAsItGrows)
{
    for (const bool rf64 : {false, true})
    {
        ScratchFolder scratch;
        const std::string path = scratch / "out.wav";
        HostAudio format = kStereo24In32;
        format.Rate = 8000;
        const HostAudio block = Ramp(format, 100);
        HostWavWriter writer(path);
        writer.SetMaxFrames(rf64 ? 1ull << 30 : 0);
        std::string error;
        ASSERT_TRUE(writer.Open(format, &error)) << error;
        // The first block is said at once, then a second (8000 frames) at a time.
        const struct
        {
            ULONG Written; // frames, in blocks of 100
            ULONG Said;
        } steps[] = {{0, 0},        {100, 100},     {8000, 100},   {8100, 8100},
                     {16000, 8100}, {16100, 16100}, {17000, 16100}};
        for (const auto& step : steps)
        {
            while (writer.Frames() < step.Written)
                ASSERT_TRUE(writer.Write(block.Data.data(), block.Data.size(), &error)) << error;
            const HostWavHeaderFacts facts = HostReadHeaderFacts(path);
            EXPECT_EQ(step.Said * 8ull, facts.DataBytes) << rf64 << " " << step.Written;
            EXPECT_EQ(24, facts.ValidBits) << rf64 << " " << step.Written;
            // libsndfile takes a data size of 0 for one not written yet.
            if (step.Said != 0)
            {
                EXPECT_EQ(step.Said, SndfileFrames(path)) << rf64 << " " << step.Written;
            }
        }
        ASSERT_TRUE(writer.Close(&error)) << error;
        EXPECT_EQ(17000, SndfileFrames(path)) << rf64;
        EXPECT_EQ(24, HostReadHeaderFacts(path).ValidBits) << rf64;
    }
}
