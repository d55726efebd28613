// The host program as a user runs it: each bad command line or file is
// refused with exit 2 and a message saying what to give, before the driver
// loads and without leaving a file behind; a recording pulled out half-way
// keeps what was received; a truncated file plays what it holds, said so;
// a run that moves too little fails.
#include <gtest/gtest.h>

#include <sndfile.h>
#include <sys/stat.h>

#include <filesystem>

#include "sim/host/harness/host_interrupt.h"
#include "sim/host/harness/host_stream.h"
#include "sim/host/host_program.h"
#include "tests/sim/host/mic_sine.h"
#include "tests/sim/host/program_run.h"
#include "tests/sim/host/scratch_folder.h"

namespace
{
// 16-bit stereo at 48 kHz, a ramp so no two frames are alike.
HostAudio Ramp(ULONG frames)
{
    HostAudio a{48000, 2, 16, std::vector<UCHAR>((size_t)frames * 4)};
    for (size_t i = 0; i < a.Data.size(); ++i)
        a.Data[i] = (UCHAR)(i * 7 + i / 256);
    return a;
}

void WriteRifx(const std::string& path, const HostAudio& audio);

// A WAV file (RIFX when big-endian) whose data chunk says it holds `factor`
// times what it holds.
void WriteTruncated(const std::string& path, ULONG frames, ULONG factor, bool bigEndian = false)
{
    std::string error;
    if (bigEndian)
        WriteRifx(path, Ramp(frames));
    else
        ASSERT_TRUE(HostWriteWav(path, Ramp(frames), &error)) << error;
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(f)), {});
    const size_t data = bytes.find("data");
    ASSERT_NE(std::string::npos, data);
    const uint32_t size = frames * 4 * factor;
    const uint32_t said = bigEndian ? __builtin_bswap32(size) : size;
    f.seekp((std::streamoff)data + 4);
    f.write(reinterpret_cast<const char*>(&said), 4);
}

// A big-endian (RIFX) 16-bit WAV file of the audio's samples, through
// libsndfile's conversion.
void WriteRifx(const std::string& path, const HostAudio& audio)
{
    SF_INFO info = {};
    info.samplerate = (int)audio.Rate;
    info.channels = audio.Channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16 | SF_ENDIAN_BIG;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(nullptr, file);
    std::vector<short> samples(audio.Data.size() / 2);
    memcpy(samples.data(), audio.Data.data(), audio.Data.size());
    EXPECT_EQ((sf_count_t)audio.Frames(), sf_writef_short(file, samples.data(), audio.Frames()));
    sf_close(file);
}

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// Where the program's interrupt probe raises SIGINT, as a signal that came
// just then would: at each of its calls there from the g_RaiseFrom'th on;
// those calls, counted in memory the child shares.
std::string g_RaiseAt;
ULONG g_RaiseFrom = 1;
ULONG* const g_CallsAt = static_cast<ULONG*>(
    mmap(nullptr, sizeof(ULONG), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));

// The host program in a child of the test, with that probe: Out holds what
// it printed on both streams, in order.
ProgramRun RunInChild(std::vector<std::string> args)
{
    *g_CallsAt = 0;
    return RunInChildProcess(std::move(args),
                             [](int argc, char** argv)
                             {
                                 HostSetInterruptProbe(
                                     [](const std::string& place)
                                     {
                                         if (place == g_RaiseAt && ++*g_CallsAt >= g_RaiseFrom)
                                             raise(SIGINT);
                                     });
                                 return HostProgramMain(argc, argv);
                             });
}
} // namespace

// Each command line ends as it says: bad input is refused before the driver
// loads (nothing of a run printed) with exit 2 and its own message and no
// output left; a run names its outcome, and writes its output in the format
// the pin ran in (none when the pin refused it). No figure reads "-0.000".
TEST(HostProgram, EachCommandLineEndsAsItSays)
{
    ScratchFolder w;
    const std::string in = w / "in.wav", out = w / "out.wav", folder = w / "folder";
    const std::string empty = w / "empty.wav", rifx = w / "rifx.wav", silent = w / "silent.wav";
    const std::string eight = w / "eight.wav", deep = w / "deep.wav", rates = w / "rates.txt";
    std::string error;
    ASSERT_TRUE(HostWriteWav(in, Ramp(4800), &error)) << error;
    ASSERT_TRUE(HostWriteWav(empty, Ramp(0), &error)) << error;
    ASSERT_TRUE(HostWriteWav(silent, {48000, 2, 16, std::vector<UCHAR>(4800 * 4)}, &error));
    HostAudio a = Ramp(4800);
    a.Channels = 8;
    ASSERT_TRUE(HostWriteWav(eight, a, &error)) << error;
    const std::string eightLong = w / "eight-long.wav"; // 150 ms: the stream settles
    a = Ramp(4 * 7200);
    a.Channels = 8;
    ASSERT_TRUE(HostWriteWav(eightLong, a, &error)) << error;
    a = Ramp(4800);
    a.BitsPerSample = 24;
    ASSERT_TRUE(HostWriteWav(deep, a, &error)) << error;
    const std::string wide = w / "wide.wav"; // 28 valid bits said in 24
    a.ValidBits = 20;
    ASSERT_TRUE(HostWriteWav(wide, a, &error)) << error;
    ASSERT_TRUE(HostSetValidBits(wide, 28, &error)) << error;
    WriteRifx(rifx, Ramp(4800));
    // A class 2.0 device of 12-bit samples whose clock answers at 16, 22 and 48 kHz.
    {
        std::string text = ReadAll(std::string(LT_QUIRKS_DIR) + "/uac2-mixer-path.txt");
        text.replace(text.find("06 24 02 01 02 10"), 17, "06 24 02 01 02 0C");
        std::ofstream(rates) << text << "clock-rates 16000 22000 48000\n";
    }
    const std::string in441 = w / "in441.wav";
    a = Ramp(4800);
    a.Rate = 44100;
    ASSERT_TRUE(HostWriteWav(in441, a, &error)) << error;
    std::filesystem::create_directory(folder);
    // Files the run reads: a descriptor file by its name and by two links.
    const std::string dev = w / "dev.txt", devSoft = w / "soft.txt", devHard = w / "hard.txt";
    std::filesystem::copy_file(std::string(LT_QUIRKS_DIR) + "/headset-volume-only.txt", dev);
    std::filesystem::create_symlink(dev, devSoft);
    std::filesystem::create_hard_link(dev, devHard);
    const std::string rifxShort = w / "rifx-short.wav", six = w / "six.wav";
    WriteTruncated(rifxShort, 4801, 6, true);
    a = Ramp(48000 * 3);
    a.Channels = 6;
    ASSERT_TRUE(HostWriteWav(six, a, &error)) << error;
    const std::string speaker = std::string(LT_QUIRKS_DIR) + "/six-channel-speaker.txt";
    const std::string pipe = w / "pipe", rf64 = w / "rf64.wav";
    ASSERT_EQ(0, mkfifo(pipe.c_str(), 0600));
    {
        // 24 valid bits in 32, as a run that could pass 4 GB writes them.
        HostWavWriter writer(rf64);
        writer.SetMaxFrames(1ull << 32);
        const std::vector<UCHAR> data(4800 * 8, 0x42);
        ASSERT_TRUE(writer.Open({48000, 2, 32, {}, 24}, &error) &&
                    writer.Write(data.data(), data.size(), &error) && writer.Close(&error));
    }
    const struct
    {
        std::vector<std::string> Args;
        std::string Message; // in what the run printed, on either stream
        int Exit = 2;
        USHORT Bits = 0;                    // out.wav's container; 0: no out.wav
        USHORT Valid = 0;                   // and its valid bits
        ULONG LimitKiB = 0, FrameBytes = 0; // a file-size limit; out.wav's frame under it
    } cases[] = {
        {{"--record", out, "--seconds", "2x"}, "--seconds \"2x\": give seconds from 0.001 to 3600"},
        {{"--record", out, "--seconds", "0"}, "--seconds \"0\": give seconds"},
        {{"--record", out, "--seconds", "0.0004"}, "--seconds \"0.0004\": give seconds"},
        {{"--record", out, "--seconds", "0.0005"}, "--seconds \"0.0005\": give seconds"},
        {{"--record", out, "--seconds", "0x10"}, "--seconds \"0x10\": give seconds"},
        {{"--record", out, "--seconds", "1e1"}, "--seconds \"1e1\": give seconds"},
        {{"--record", out, "--seconds", "-1"}, "--seconds \"-1\": give seconds"},
        {{"--record", out, "--seconds", "."}, "--seconds \".\": give seconds"},
        {{"--record", out, "--seconds", "3600.001"}, "--seconds \"3600.001\": give seconds"},
        {{"--record", out, "--seconds"}, "--seconds needs a value"},
        {{"--record", out, "--seconds", "1", "--seconds", "2"}, "--seconds is given twice"},
        {{"--asio", "4294968"}, "--asio \"4294968\": give seconds from 0.001 to 3600"},
        {{"--asio", "2x"}, "--asio \"2x\": give seconds"},
        {{"--speed", "slow"}, "--speed \"slow\": give full or high"},
        {{"--record", ""}, "--record needs a file name"},
        {{"--play", in, "--device-out", ""}, "--device-out needs a file name"},
        {{"--play", in, "--device-out", in}, "is the file being played"},
        {{"--play", in, "--device-out", w / "./in.wav"}, "is the file being played"},
        {{"--descriptor-file", dev, "--record", dev}, "dev.txt: is the descriptor file"},
        {{"--descriptor-file", dev, "--record", devSoft}, "soft.txt: is the descriptor file"},
        {{"--descriptor-file", dev, "--play", in, "--device-out", devHard},
         "hard.txt: is the descriptor file"},
        {{"--device", "Uac2Spdif", "--descriptor-file", dev},
         "--device and --descriptor-file: give one device"},
        {{"--descriptor-file", dev, "--device", "Uac2Spdif"},
         "--device and --descriptor-file: give one device"},
        {{"--play", wide}, "wide.wav: 28 valid bits in a container of 24"},
        {{"--record", w / "missing/out.wav"}, "No such file or directory"},
        {{"--record", folder}, "Is a directory"},
        {{"--record", in + "/out.wav"}, "in.wav/out.wav: Not a directory"},
        {{"--record", "-"}, "-: standard output is not written; give a file name"},
        {{"--record", pipe}, "pipe: is a named pipe, not a file"},
        {{"--play", in, "--device-out", pipe}, "pipe: is a named pipe, not a file"},
        {{"--play", "-"}, "-: standard input is not read; give a file name"},
        {{"--play", pipe}, "pipe: is a named pipe, not a file"},
        {{"--descriptor-file", "-"}, "-: standard input is not read; give a file name"},
        {{"--descriptor-file", pipe}, "pipe: is a named pipe, not a file"},
        {{"--descriptor-file", "/dev/zero"}, "/dev/zero: is a character device, not a file"},
        {{"--play", "/dev/urandom"}, "/dev/urandom: is a character device, not a file"},
        {{"--play", in, "--device-out", "/dev/stderr"},
         "/dev/stderr: is the program's standard error, where its errors go"},
        {{"--record", "/proc/self/fd/2"}, "/proc/self/fd/2: is the program's standard error"},
        {{"--device", "TimedChip", "--speed", "high"},
         "--speed high: TimedChip runs at full speed only"},
        {{"--device", "Uac2Spdif", "--speed", "full"},
         "--speed full: Uac2Spdif runs at high speed only"},
        {{"--play", w / "missing.wav"}, "missing.wav: No such file or directory"},
        {{"--play", folder}, "folder: is a folder, not a file"},
        {{"--play", empty}, "empty.wav: the file holds no frames"},
        {{"--play", in, "--record", out}, "--play and --record are one run each"},
        {{"--device-out", out}, "--device-out goes with --play"},
        {{"--seconds", "2"}, "--seconds goes with --record"},
        {{"--unplug-after", "1"}, "--unplug-after goes with --play or --record"},
        {{"--record", out, "--unplug-after", "1"}, "--unplug-after must come before the end"},
        {{"--play", in, "--unplug-after", "0.1"}, "--unplug-after must come before the end"},
        {{"--device", "NoSuchName"}, "\"NoSuchName\" (lthost --list names them)"},
        {{"--descriptor-file", w / "missing.txt"}, "missing.txt: No such file or directory"},
        {{"--descriptor-file", folder}, "folder: is a folder, not a file"},
        {{"--bogus"}, "unexpected argument \"--bogus\""},
        {{"--list", "--bogus"}, "unexpected argument \"--bogus\""},
        {{"--list", "--verbose"}, "--list takes no other option"},
        // A big-endian file plays its samples, not their bytes swapped.
        {{"--play", rifx}, "play: the device received the file's samples unchanged", 0},
        {{"--play", silent}, "play: the file is silence, and so was all the device received", 0},
        // The position counts the file's frames as the device receives them,
        // none of the path's 15 ms of silence before them: no offset. A
        // silent file has no frames to place them by.
        {{"--play", in}, "offset +0.000 ms and drift +0.000 ms", 0},
        {{"--play", silent}, "offset not measured and drift +0.000 ms", 0},
        // At 44.1 kHz the position reaches a byte into the transfer under
        // way: a quarter of a frame, no latency.
        {{"--play", in441}, "offset +0.000 ms and drift +0.000 ms", 0},
        // Its fold delays the file 128 frames: the path's own latency.
        {{"--device", "ChipModelC", "--play", eightLong}, "offset +2.667 ms", 0},
        {{"--play", rifxShort}, "the header says 28806 frames, the file holds 4801", 0},
        // An RF64 file plays as a WAV file does, its valid bits kept.
        {{"--device", "Uac2HighSpeed", "--play", rf64, "--device-out", out},
         "play: the device received the file's samples unchanged",
         0,
         32,
         24},
        // The driver's own line follows the host's sentence.
        {{"--descriptor-file", std::string(LT_QUIRKS_DIR) + "/midi-first-uac3-function.txt"},
         "nor 2.0 (0x20); the driver says \"SelectDeviceClass: AudioControl interface 2 has "
         "protocol 0x30",
         1},
        // The timed chip's levels ramp in over its first 45 ms.
        {{"--device", "TimedChipListed", "--play", in},
         "play: the device's processing is on: from file frame 2160 it received",
         0},
        // 13 ms at 192 kHz, shorter than the stream takes to settle.
        {{"--device", "Uac2HighSpeed", "--record", out, "--seconds", "0.013"},
         "2496 of 2496 frames moved, offset not measured and drift not measured",
         0,
         16,
         16},
        {{"--record", "/dev/full"},
         "ended early: writing failed after 0 ms of recording: /dev/full: ",
         1},
        {{"--play", in, "--device-out", "/dev/full"}, " ms of play: /dev/full: ", 1},
        {{"--record", out, "--unplug-after", "0.001"}, "wrote " + out + ", 0 frames", 1, 16, 16},
        {{"--device", "ChipModelC", "--play", eight},
         "play: the device keeps 2 channel(s) of 16 bits, not the file's format",
         0},
        {{"--device", "Uac2Spdif", "--asio", "0.1"}, "asio: 0.1 s of 0.1 s", 0},
        // What the filter's data range takes: its channels and bits, at the
        // standard rates and bounds its clock answers (22 kHz is none).
        {{"--descriptor-file", rates, "--play", in441},
         "the filter's data ranges offer:\n  2 channel(s) of 12 bits in 16 at 16000 and 48000 Hz\n",
         1},
        // Valid bits below the container, to a device with no header to set them in.
        {{"--device", "Uac2HighSpeed", "--play", deep, "--device-out", "/dev/null"},
         "play: wrote /dev/null, ",
         0},
        // Any device that opens for writing is written as a file is.
        {{"--record", "/dev/zero", "--seconds", "0.01"}, "record: wrote /dev/zero, 480 frames", 0},
        {{"--descriptor-file", std::string(LT_QUIRKS_DIR) + "/high-bandwidth-eight-channels.txt",
          "--record", "/dev/null", "--seconds", "0.1"},
         "record: wrote /dev/null, 4800 frames, 8 channel(s) of 24 bits in 32",
         0},
        {{"--device", "Uac2Spdif", "--play", deep, "--device-out", out}, "STATUS_NO_MATCH", 1},
        {{"--device", "Uac2HighSpeed", "--play", deep, "--device-out", out},
         "wrote " + out + ", ",
         0,
         32,
         24},
        {{"--play", in, "--device-out", out, "--unplug-after", "0.05"},
         "frames, 2 channel(s) of 16 bits at 48000 Hz (ended early)",
         1,
         16,
         16},
        // Pulled out before the stream settled, 100 ms in.
        {{"--play", in, "--device-out", out, "--unplug-after", "0.05"},
         "offset not measured and drift not measured",
         1,
         16,
         16},
        // Under a file-size limit a run ends at the write that reaches it and
        // fails; the file keeps the whole frames written before (a frame cut
        // in two is dropped): (the limit - 44 bytes of header) / FrameBytes.
        {{"--record", out, "--seconds", "3"}, "record summary: 10218 of 144000", 1, 16, 16, 20, 2},
        {{"--descriptor-file", speaker, "--play", six, "--device-out", out},
         out + ", 1788 frames",
         1,
         16,
         16,
         21,
         12},
    };
    for (const auto& c : cases)
    {
        std::filesystem::remove(out);
        std::vector<std::string> args = c.Args;
        if (c.LimitKiB != 0)
            args.insert(args.begin(),
                        {"-c", "ulimit -f " + std::to_string(c.LimitKiB) + " && exec \"$0\" \"$@\"",
                         LT_HOST_PROGRAM});
        // A refusal comes at once: a run that waits (on a named pipe) is ended.
        const ProgramRun run =
            RunProgram(args, {.Program = c.LimitKiB != 0 ? "bash" : LT_HOST_PROGRAM,
                              .LimitSeconds = c.Exit == 2 ? 30 : 0});
        std::string line;
        for (const std::string& a : c.Args)
            line += a + " ";
        EXPECT_EQ(c.Exit, run.Exit) << line << "(signal " << run.Signal << ")\n" << run.Err;
        EXPECT_TRUE(Has(run.Out + run.Err, c.Message)) << line << "\n" << run.Out << run.Err;
        EXPECT_FALSE(Has(run.Out, "-0.000")) << line;
        EXPECT_EQ(c.Exit == 2, !Has(run.Out, "driver load")) << line;
        EXPECT_EQ(c.Bits != 0, std::filesystem::exists(out)) << line;
        HostAudio written;
        if (c.Bits != 0)
        {
            ASSERT_TRUE(HostReadWav(out, &written, &error)) << line << error;
            EXPECT_EQ(c.Bits * 100 + c.Valid, written.BitsPerSample * 100 + written.Valid())
                << line;
        }
        if (c.LimitKiB != 0)
        {
            EXPECT_EQ((c.LimitKiB * 1024 - 44) / c.FrameBytes, written.Frames()) << line;
            EXPECT_EQ(44 + written.Frames() * c.FrameBytes, std::filesystem::file_size(out))
                << line;
        }
    }
    // The lower bound itself is taken.
    EXPECT_EQ(0, RunProgram({"--record", out, "--seconds", "0.001"}).Exit);
    EXPECT_TRUE(ReadAll(std::string(LT_QUIRKS_DIR) + "/headset-volume-only.txt") == ReadAll(dev))
        << "the descriptor file was overwritten";
}

// Pulled out half a second into a two-second recording: the file holds the
// frames received before, the microphone's sine bit-exact from its first
// sound on, and the run says it ended early.
TEST(HostProgram, AnUnpluggedRecordingKeepsWhatWasReceived)
{
    ScratchFolder w;
    const std::string out = w / "out.wav";
    const ProgramRun run = RunProgram({"--record", out, "--seconds", "2", "--unplug-after", "0.5"});
    EXPECT_EQ(1, run.Exit);
    EXPECT_TRUE(Has(run.Err, "ended early: the device was unplugged after 500 ms")) << run.Err;
    HostAudio recorded;
    std::string error;
    ASSERT_TRUE(HostReadWav(out, &recorded, &error)) << error;
    ASSERT_EQ(1u, recorded.Channels);
    ASSERT_EQ(16u, recorded.BitsPerSample);
    EXPECT_TRUE(Has(run.Out, "wrote " + out + ", " + std::to_string(recorded.Frames()) + " frames"))
        << run.Out;
    // Half a second at most, less the capture path's latency at least.
    EXPECT_LE(recorded.Frames(), 24000u);
    EXPECT_GE(recorded.Frames(), 24000u - 48u * 20);
    std::vector<SHORT> samples(recorded.Frames());
    memcpy(samples.data(), recorded.Data.data(), samples.size() * 2);
    EXPECT_EQ(1, MicSinePhases(samples));
}

// A file shorter than its header plays what it holds, with a warning that
// names both counts; a run that moves a fraction of what it should fails,
// even where what it holds is the device's: a recording short of the frames
// asked, which it says it holds.
TEST(HostProgram, NoShortRunPassesForAWholeOne)
{
    ScratchFolder w;
    const std::string in = w / "in.wav";
    // Not a whole number of the host's 5 ms steps: the play-out after the
    // last frame is no underrun.
    WriteTruncated(in, 4801, 6);
    ProgramRun run = RunProgram({"--play", in});
    EXPECT_EQ(0, run.Exit) << run.Err;
    EXPECT_TRUE(Has(run.Err, "the header says 28806 frames, the file holds 4801")) << run.Err;
    EXPECT_TRUE(Has(run.Out, "4801 of 4801 frames moved")) << run.Out;
    EXPECT_TRUE(Has(run.Out, "0 underrun(s)")) << run.Out;

    // The device stays at 44.1 kHz while the driver records at 48 kHz.
    run = RunProgram({"--descriptor-file",
                      std::string(LT_QUIRKS_DIR) + "/rate-request-ignored-microphone.txt",
                      "--record", w / "out.wav"});
    EXPECT_EQ(1, run.Exit);
    EXPECT_TRUE(Has(run.Err, "the run did not keep to the device")) << run.Err;
    EXPECT_TRUE(Has(run.Out, "record: the recording holds the device's samples unchanged"));
    const ULONG frames = std::stoul(run.Out.substr(run.Out.find("record summary: ") + 16));
    EXPECT_LT(frames, 48000u) << run.Out;
    EXPECT_TRUE(Has(run.Err, "holds " + std::to_string(frames) + " of the 48000 frames asked"));
}

// A format the filter does not offer is refused with the driver's status by
// name and the data ranges the filter offers: the S/PDIF device's 16-bit
// stereo at its clock's rates, none of the standard rates between them; a
// 16-bit file to a device of 12 valid bits in 16 and of 24 bits, neither of
// them 16.
TEST(HostProgram, ARefusedFormatNamesWhatTheFilterOffers)
{
    ScratchFolder w;
    const std::string in24 = w / "in24.wav", in16 = w / "in16.wav";
    HostAudio packed = Ramp(960);
    std::string error;
    ASSERT_TRUE(HostWriteWav(in16, packed, &error)) << error;
    packed.BitsPerSample = 24;
    packed.Data.resize(960 * 6);
    ASSERT_TRUE(HostWriteWav(in24, packed, &error)) << error;
    const struct
    {
        std::vector<std::string> Args;
        std::string Said;
    } rows[] = {
        {{"--device", "Uac2Spdif", "--play", in24},
         "refused 2 channel(s) of 24 bits at 48000 Hz: 0xC0000272 STATUS_NO_MATCH\nplay: the "
         "filter's data ranges offer:\n  2 channel(s) of 16 bits at 44100 to 48000 and 96000 Hz\n"},
        {{"--descriptor-file", std::string(LT_QUIRKS_DIR) + "/uac2-24-and-12-bit-headset.txt",
          "--play", in16},
         "refused 2 channel(s) of 16 bits at 48000 Hz: 0xC0000272 STATUS_NO_MATCH\nplay: the "
         "filter's data ranges offer:\n  2 channel(s) of 12 bits in 16 at 48000 Hz\n  2 "
         "channel(s) of 24 bits at 48000 Hz\n"},
    };
    for (const auto& row : rows)
    {
        const ProgramRun run = RunProgram(row.Args);
        EXPECT_EQ(1, run.Exit) << row.Args[1];
        EXPECT_TRUE(Has(run.Err, row.Said)) << run.Err;
    }
}

// The set-up script asks dpkg what is installed and installs the rest of
// each command's packages with apt-get, as root; without root it names the
// one command to run and stops; where apt-get fails, it names what is still
// missing. The stand-ins first on PATH say every package is missing (or,
// once, installed) and log what apt-get is asked.
TEST(HostProgram, SetUpInstallsWhatEachCommandNeeds)
{
    ScratchFolder w;
    const std::string bin = w / "bin", log = w / "apt.log";
    std::filesystem::create_directory(bin);
    const auto script = [&](const std::string& name, const std::string& body)
    {
        std::ofstream(bin + "/" + name) << "#!/bin/sh\n" << body << "\n";
        std::filesystem::permissions(bin + "/" + name, std::filesystem::perms::owner_all);
    };
    const std::string host = "g++ make cmake pkg-config libsndfile1-dev";
    const std::string test = host + " libgtest-dev libgmock-dev googletest libbenchmark-dev "
                                    "libfftw3-dev libkissfft-dev libsamplerate0-dev libsoxr-dev "
                                    "python3";
    const std::string install = "install -y --no-install-recommends ";
    const struct
    {
        const char* Command;
        const char* Uid;
        bool Installed;
        int Exit;
        std::string Asked; // apt-get's log
        std::string Said;  // on stderr
        int AptExit = 0;
    } cases[] = {
        {"host", "0", false, 0, "update\n" + install + host + "\n", ""},
        {"test", "0", false, 0, "update\n" + install + test + "\n", ""},
        {"ci", "0", false, 0, "update\n" + install + test + " clang libclang-rt-dev\n", ""},
        {"host", "1000", false, 1, "",
         "sudo sh -c 'apt-get update && apt-get " + install + host + "'"},
        {"ci", "1000", true, 0, "", ""},
        {"all", "0", false, 2, "", "usage: bash scripts/setup.sh host|test|ci"},
        {"host", "0", false, 1, "update\n",
         "setup: apt-get failed; not installed: g++ make cmake pkg-config libsndfile1-dev\n", 100},
    };
    const std::string path = "PATH=" + bin + ":" + getenv("PATH");
    for (const auto& c : cases)
    {
        std::filesystem::remove(log);
        script("apt-get", "echo \"$*\" >>" + log + "; exit " + std::to_string(c.AptExit));
        script("id", std::string("echo ") + c.Uid);
        script("dpkg", c.Installed
                           ? "echo 'Status: install ok installed'"
                           : "echo \"dpkg-query: package '$2' is not installed\" >&2; exit 1");
        const ProgramRun run =
            RunProgram({"-i", path, "bash", LT_SETUP_SCRIPT, c.Command}, {.Program = "env"});
        EXPECT_EQ(c.Exit, run.Exit) << c.Command << " " << c.Uid << "\n" << run.Err;
        EXPECT_EQ(c.Asked, ReadAll(log)) << c.Command << " " << c.Uid;
        EXPECT_TRUE(Has(run.Err, c.Said)) << c.Command << " " << c.Uid << "\n" << run.Err;
    }
}

// An output given through a link is written through it, as a shell's
// redirection writes it: the link stays, its target holds the recording. A
// run that records nothing makes neither.
TEST(HostProgram, AnOutputThatIsALinkIsWrittenThroughIt)
{
    ScratchFolder w;
    const std::string link = w / "out.wav", target = w / "elsewhere.wav";
    std::filesystem::create_symlink("elsewhere.wav", link);
    EXPECT_EQ(1, RunProgram({"--device", "Uac2Spdif", "--record", link}).Exit);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_EQ(0, RunProgram({"--record", link, "--seconds", "0.1"}).Exit);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(4800 * 2 + 44, std::filesystem::file_size(target));
}

// SIGINT or SIGTERM ten seconds into a recording or a play of 24 valid bits
// in 32 ends the run early, said in its summary and its "ended early" line,
// with the device removed and the driver unloaded; the file reads as the
// frames the run says it wrote, with its valid bits; then the program ends
// by that signal. The play runs on for 30 s of device time after the
// signal is sent, far longer than it takes to arrive.
TEST(HostProgram, AnInterruptedRunClosesItsFilesWhole)
{
    ScratchFolder w;
    const std::string in = w / "in.wav", out = w / "out.wav";
    HostAudio deep = Ramp(48000 * 60);
    deep.BitsPerSample = 24;
    std::string error;
    ASSERT_TRUE(HostWriteWav(in, deep, &error)) << error;
    for (const auto& [args, what, signal, name] :
         {std::tuple<std::vector<std::string>, std::string, int, std::string>{
              {"--descriptor-file",
               std::string(LT_QUIRKS_DIR) + "/high-bandwidth-eight-channels.txt", "--record", out,
               "--seconds", "3600"},
              "record",
              SIGTERM,
              "SIGTERM"},
          {{"--device", "Uac2HighSpeed", "--play", in, "--device-out", out},
           "play",
           SIGINT,
           "SIGINT"}})
    {
        const ProgramRun run = RunProgram(args, {.Until = what + ": 10 s of", .Signal = signal});
        EXPECT_EQ(signal, run.Signal) << run.Err;
        EXPECT_TRUE(Has(run.Out, what + " summary, interrupted by " + name + ": ")) << run.Out;
        EXPECT_TRUE(Has(run.Err, what + ": ended early: interrupted by " + name)) << run.Err;
        EXPECT_TRUE(Has(run.Out, "remove device: 0x00000000 STATUS_SUCCESS\ndriver unloaded\n"));
        HostAudio written;
        ASSERT_TRUE(HostReadWav(out, &written, &error)) << error;
        EXPECT_EQ(3224u, written.BitsPerSample * 100u + written.Valid());
        EXPECT_GT(written.Frames(), 48000u * 9);
        EXPECT_TRUE(Has(run.Out, ": wrote " + out + ", " + std::to_string(written.Frames())))
            << run.Out;
    }
}

// SIGINT during the ASIO part of a run that records or plays after it: the
// ASIO run ends early, the later part does not begin (no pin opened) and
// says so by the signal's name, its output, a whole file before, is left
// byte for byte as it was; the device is removed, the driver unloaded, and
// the program ends by the signal.
TEST(HostProgram, AnInterruptBeforeAPartLeavesItsOutputAsItWas)
{
    ScratchFolder w;
    const std::string in = w / "in.wav", keep = w / "keep.wav";
    std::string error;
    ASSERT_TRUE(HostWriteWav(in, Ramp(4800), &error)) << error;
    for (const auto& [part, args] :
         {std::pair<std::string, std::vector<std::string>>{"record", {"--record", keep}},
          {"play", {"--play", in, "--device-out", keep}}})
    {
        ASSERT_TRUE(HostWriteWav(keep, Ramp(480), &error)) << error;
        const std::string before = ReadAll(keep);
        std::vector<std::string> all = {"--device", "Uac2HighSpeed", "--asio", "3600"};
        all.insert(all.end(), args.begin(), args.end());
        const ProgramRun run = RunProgram(all, {.Until = "asio device", .Signal = SIGINT});
        EXPECT_EQ(SIGINT, run.Signal) << run.Err;
        EXPECT_TRUE(Has(run.Err, part + ": not run: interrupted by SIGINT\n")) << run.Err;
        EXPECT_FALSE(Has(run.Out, part + ": ")) << run.Out;
        EXPECT_TRUE(Has(run.Out, "remove device: 0x00000000 STATUS_SUCCESS\ndriver unloaded\n"
                                 "leaks: none\nresult: FAILED, interrupted by SIGINT\n"))
            << run.Out;
        EXPECT_TRUE(before == ReadAll(keep)) << part;
    }
}

// A signal that comes once the run's parts have ended (here while the play
// pulled out says so: its error line waits) cuts nothing short, but it
// still ends the program: a line says so, and so does the result.
TEST(HostProgram, ASignalAfterThePartsIsSaid)
{
    ScratchFolder w;
    const std::string in = w / "in.wav";
    std::string error;
    ASSERT_TRUE(HostWriteWav(in, Ramp(4800), &error)) << error;
    const ProgramRun run = RunProgram(
        {"--play", in, "--unplug-after", "0.05"},
        {.Until = "play summary", .Signal = SIGTERM, .LimitSeconds = 120, .HoldErrors = true});
    EXPECT_EQ(SIGTERM, run.Signal);
    EXPECT_TRUE(Has(run.Out, "play summary: ")) << run.Out;
    EXPECT_TRUE(Has(run.Err, "lthost: interrupted by SIGTERM after the run's parts ended: "
                             "nothing was cut short\n"))
        << run.Err;
    EXPECT_TRUE(Has(run.Out, "\nresult: FAILED, interrupted by SIGTERM\n")) << run.Out;
}

// An output that is the program's own standard output, by any spelling, is
// refused as "-" is, before the driver loads: the WAV would be written over
// its log. The null device keeps nothing: it may be both.
TEST(HostProgram, AnOutputThatIsItsOwnLogIsRefused)
{
    ScratchFolder w;
    const auto run = [](const std::string& log, const std::string& out)
    {
        return RunProgram({"-c", "exec \"$0\" \"$@\" >" + log, LT_HOST_PROGRAM, "--record", out,
                           "--seconds", "0.1"},
                          {.Program = "bash"});
    };
    const ProgramRun refused = run(w / "log.txt", "/dev/stdout");
    EXPECT_EQ(2, refused.Exit);
    EXPECT_TRUE(Has(refused.Err, "/dev/stdout: is the program's standard output, where its log "
                                 "goes; give a file name"))
        << refused.Err;
    EXPECT_EQ("", ReadAll(w / "log.txt"));
    EXPECT_EQ(0, run("/dev/null", "/dev/null").Exit);
}

// A run started with standard descriptors closed writes its files whole:
// each closed one is the null device, so no file the run opens takes its
// number and none of its log (the driver's lines too, --verbose) goes into
// a file, whose data chunk says what follows it.
TEST(HostProgram, ClosedStandardDescriptorsKeepTheLogOutOfItsFiles)
{
    ScratchFolder w;
    const std::string in = w / "in.wav", out = w / "out.wav";
    std::string error;
    ASSERT_TRUE(HostWriteWav(in, Ramp(48000), &error)) << error;
    const struct
    {
        const char* Closed;
        std::vector<std::string> Args;
        ULONGLONG Frames; // 0: those the device received
    } cases[] = {
        {">&-", {"--record", out, "--seconds", "2"}, 96000},
        {"2>&-", {"--record", out, "--seconds", "2"}, 96000},
        {"<&- >&- 2>&-", {"--play", in, "--device-out", out, "--unplug-after", "0.5"}, 0},
    };
    for (const auto& c : cases)
    {
        std::filesystem::remove(out);
        std::vector<std::string> args = {"-c", std::string("exec \"$0\" \"$@\" ") + c.Closed,
                                         LT_HOST_PROGRAM, "--verbose"};
        args.insert(args.end(), c.Args.begin(), c.Args.end());
        // A play pulled out ends early, and fails.
        EXPECT_EQ(c.Frames == 0 ? 1 : 0, RunProgram(args, {.Program = "bash"}).Exit) << c.Closed;
        HostAudio written;
        ASSERT_TRUE(HostReadWav(out, &written, &error)) << c.Closed << error;
        EXPECT_EQ(44 + written.Data.size(), std::filesystem::file_size(out)) << c.Closed;
        EXPECT_TRUE(c.Frames == 0 || c.Frames == written.Frames()) << c.Closed;
        // Half a second, less the path's latency, at least.
        EXPECT_GT(written.Frames(), 23000u) << c.Closed;
        for (const char* log : {"STATUS", "UsbAudio"})
            EXPECT_FALSE(Has(ReadAll(out), log)) << c.Closed << ": " << log;
    }
}

// A signal just before each part of a run begins (raised by the probe at
// its check) keeps that part and every one after it from beginning, each
// said once: the ASIO client opens nothing, the recording's output is left
// as it was. One after a part began but before its output is made (a
// recording's once its pin runs, a play's at the device's first frames)
// leaves the output as it was too, and says the signal is why.
TEST(HostProgram, AnInterruptAtEachCheckStopsThere)
{
    ScratchFolder w;
    const std::string in = w / "in.wav", keep = w / "keep.wav";
    std::string error;
    ASSERT_TRUE(HostWriteWav(in, Ramp(4800), &error)) << error;
    const std::vector<std::string> parts = {
        "driver load", "device Uac2HighSpeed", "add device", "start device", "asio", "record"};
    struct Row
    {
        std::string Place;
        std::vector<std::string> Args;
        std::vector<std::string> Said;
    };
    std::vector<Row> rows;
    for (size_t i = 0; i < parts.size(); ++i)
    {
        rows.push_back(
            {parts[i], {"--device", "Uac2HighSpeed", "--asio", "0.1", "--record", keep}, {}});
        for (size_t p = i; p < parts.size(); ++p)
            rows.back().Said.push_back(parts[p] + ": not run: interrupted by SIGINT\n");
    }
    rows.push_back({"output",
                    {"--record", keep},
                    {"record: the recording holds nothing: interrupted by SIGINT before the device "
                     "sent anything\n",
                     "record: " + keep + ": not written: interrupted by SIGINT\n"}});
    rows.push_back({"output",
                    {"--play", in, "--device-out", keep},
                    {"play: " + keep + ": not written: interrupted by SIGINT\n"}});
    for (const Row& row : rows)
    {
        ASSERT_TRUE(HostWriteWav(keep, Ramp(480), &error)) << error;
        const std::string before = ReadAll(keep);
        g_RaiseAt = row.Place;
        const ProgramRun run = RunInChild(row.Args);
        EXPECT_EQ(SIGINT, run.Signal) << row.Place;
        for (const std::string& said : row.Said)
            EXPECT_TRUE(Has(run.Out, said)) << row.Place << "\n" << run.Out;
        // Each part said not run once, and nothing of the ASIO run after it.
        size_t notRun = 0, first = run.Out.find(": not run: ");
        for (size_t at = first; at != std::string::npos; at = run.Out.find(": not run: ", at + 1))
            ++notRun;
        EXPECT_EQ(row.Place == "output" ? 0 : row.Said.size(), notRun) << row.Place;
        EXPECT_FALSE(Has(run.Out.substr(std::min(first, run.Out.size())), "asio open"));
        EXPECT_TRUE(Has(run.Out, "\nresult: FAILED, interrupted by SIGINT\n")) << row.Place;
        EXPECT_TRUE(before == ReadAll(keep)) << row.Place;
    }
}

// A file of long leading silence: the play's compare scans it before the
// pin runs, asking after a signal every so many frames. One raised at its
// third ask ends the scan there (no fourth) and the play before any of it,
// said; the device is removed and the driver unloaded.
TEST(HostProgram, ASignalEndsTheScanOfAFilesLeadingSilence)
{
    ScratchFolder w;
    const std::string in = w / "in.wav";
    HostAudio file{48000, 2, 16, std::vector<UCHAR>(48000 * 30 * 4)};
    const HostAudio sound = Ramp(4800);
    file.Data.insert(file.Data.end(), sound.Data.begin(), sound.Data.end());
    std::string error;
    ASSERT_TRUE(HostWriteWav(in, file, &error)) << error;
    g_RaiseAt = "scan";
    g_RaiseFrom = 3;
    const ProgramRun run = RunInChild({"--play", in});
    g_RaiseFrom = 1;
    EXPECT_EQ(SIGINT, run.Signal);
    EXPECT_EQ(3u, *g_CallsAt);
    EXPECT_TRUE(Has(run.Out, "play: ended early: interrupted by SIGINT after 0 ms of play\n"))
        << run.Out;
    EXPECT_TRUE(Has(run.Out, "remove device: 0x00000000 STATUS_SUCCESS\ndriver unloaded\n"
                             "leaks: none\nresult: FAILED, interrupted by SIGINT\n"))
        << run.Out;
}
