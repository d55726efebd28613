// The host program as a user runs it: each bad command line or file is
// refused with exit 2 and a message saying what to give, before the driver
// loads and without leaving a file behind; a recording pulled out half-way
// keeps what was received; a truncated file plays what it holds, said so;
// a run that moves too little fails.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/host/harness/host_stream.h"
#include "tests/sim/host/mic_sine.h"

extern char** environ;

namespace
{
struct ProgramRun
{
    int Exit = -1;
    std::string Out;
    std::string Err;
};

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A folder of the files a run uses, removed with the object.
class Workspace
{
  public:
    Workspace()
    {
        char name[] = "/tmp/lthost-run-XXXXXX";
        m_Dir = mkdtemp(name) != nullptr ? name : "/tmp";
    }
    ~Workspace() { std::filesystem::remove_all(m_Dir); }
    std::string operator/(const std::string& name) const { return m_Dir + "/" + name; }

    // Runs the host program with `args`, its output kept apart by stream.
    ProgramRun Run(const std::vector<std::string>& args) const
    {
        std::vector<char*> argv{const_cast<char*>(LT_HOST_PROGRAM)};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const std::string out = *this / "stdout", err = *this / "stderr";
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        ProgramRun run;
        pid_t pid = 0;
        int status = 0;
        if (posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ) == 0 &&
            waitpid(pid, &status, 0) == pid && WIFEXITED(status))
            run.Exit = WEXITSTATUS(status);
        posix_spawn_file_actions_destroy(&files);
        run.Out = ReadAll(out);
        run.Err = ReadAll(err);
        return run;
    }

  private:
    std::string m_Dir;
};

// 16-bit stereo at 48 kHz, a ramp so no two frames are alike.
HostAudio Ramp(ULONG frames)
{
    HostAudio a{48000, 2, 16, std::vector<UCHAR>((size_t)frames * 4)};
    for (size_t i = 0; i < a.Data.size(); ++i)
        a.Data[i] = (UCHAR)(i * 7 + i / 256);
    return a;
}

// A WAV file whose data chunk says it holds `factor` times what it holds.
void WriteTruncated(const std::string& path, ULONG frames, ULONG factor)
{
    std::string error;
    ASSERT_TRUE(HostWriteWav(path, Ramp(frames), &error)) << error;
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(f)), {});
    const size_t data = bytes.find("data");
    ASSERT_NE(std::string::npos, data);
    const uint32_t size = frames * 4 * factor;
    f.seekp((std::streamoff)data + 4);
    f.write(reinterpret_cast<const char*>(&size), 4);
}

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}
} // namespace

// Each bad input is refused before the driver loads (nothing of a run is
// printed) with exit 2 and its own message, and no output file is left.
TEST(HostProgram, BadInputIsRefusedBeforeTheDriverLoads)
{
    Workspace w;
    const std::string in = w / "in.wav", out = w / "out.wav", folder = w / "folder";
    const std::string empty = w / "empty.wav";
    std::string error;
    ASSERT_TRUE(HostWriteWav(in, Ramp(4800), &error)) << error;
    ASSERT_TRUE(HostWriteWav(empty, Ramp(0), &error)) << error;
    std::filesystem::create_directory(folder);
    const struct
    {
        std::vector<std::string> Args;
        const char* Message;
    } cases[] = {
        {{"--record", out, "--seconds", "2x"}, "--seconds \"2x\": give seconds from 0.001 to 3600"},
        {{"--record", out, "--seconds", "0"}, "--seconds \"0\": give seconds"},
        {{"--record", out, "--seconds", "0.0004"}, "--seconds \"0.0004\": give seconds"},
        {{"--record", out, "--seconds", "3600.001"}, "--seconds \"3600.001\": give seconds"},
        {{"--record", out, "--seconds"}, "--seconds needs a value"},
        {{"--asio", "4294968"}, "--asio \"4294968\": give seconds from 0.001 to 3600"},
        {{"--asio", "2x"}, "--asio \"2x\": give seconds"},
        {{"--speed", "slow"}, "--speed \"slow\": give full or high"},
        {{"--record", ""}, "--record needs a file name"},
        {{"--play", in, "--device-out", ""}, "--device-out needs a file name"},
        {{"--play", in, "--device-out", in}, "is the file being played"},
        {{"--play", in, "--device-out", w / "./in.wav"}, "is the file being played"},
        {{"--record", w / "missing/out.wav"}, "No such file or directory"},
        {{"--record", folder}, "Is a directory"},
        {{"--record", "/proc/out.wav"}, "/proc/out.wav: "},
        {{"--play", w / "missing.wav"}, "missing.wav"},
        {{"--play", empty}, "empty.wav: the file holds no frames"},
        {{"--play", in, "--record", out}, "--play and --record are one run each"},
        {{"--device-out", out}, "--device-out goes with --play"},
        {{"--seconds", "2"}, "--seconds goes with --record"},
        {{"--unplug-after", "1"}, "--unplug-after goes with --play or --record"},
        {{"--record", out, "--unplug-after", "1"}, "--unplug-after must come before the end"},
        {{"--play", in, "--unplug-after", "0.1"}, "--unplug-after must come before the end"},
        {{"--device", "NoSuchName"}, "\"NoSuchName\" (lthost --list names them)"},
        {{"--descriptor-file", w / "missing.txt"}, "missing.txt"},
        {{"--bogus"}, "unexpected argument \"--bogus\""},
    };
    for (const auto& c : cases)
    {
        const ProgramRun run = w.Run(c.Args);
        std::string line;
        for (const std::string& a : c.Args)
            line += a + " ";
        EXPECT_EQ(2, run.Exit) << line;
        EXPECT_TRUE(Has(run.Err, c.Message)) << line << "\n" << run.Err;
        EXPECT_FALSE(Has(run.Out, "driver load")) << line;
        EXPECT_FALSE(std::filesystem::exists(out)) << line;
    }
    // The lower bound itself is taken.
    EXPECT_EQ(0, w.Run({"--record", out, "--seconds", "0.001"}).Exit);
}

// Pulled out half a second into a two-second recording: the file holds the
// frames received before, the microphone's sine bit-exact from its first
// sound on, and the run says it ended early.
TEST(HostProgram, AnUnpluggedRecordingKeepsWhatWasReceived)
{
    Workspace w;
    const std::string out = w / "out.wav";
    const ProgramRun run = w.Run({"--record", out, "--seconds", "2", "--unplug-after", "0.5"});
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
// names both counts; a run that moves a fraction of what it should fails.
TEST(HostProgram, NoShortRunPassesForAWholeOne)
{
    Workspace w;
    const std::string in = w / "in.wav";
    // Not a whole number of the host's 5 ms steps: the play-out after the
    // last frame is no underrun.
    WriteTruncated(in, 4801, 6);
    ProgramRun run = w.Run({"--play", in});
    EXPECT_EQ(0, run.Exit) << run.Err;
    EXPECT_TRUE(Has(run.Err, "the header says 28806 frames, the file holds 4801")) << run.Err;
    EXPECT_TRUE(Has(run.Out, "4801 of 4801 frames moved")) << run.Out;
    EXPECT_TRUE(Has(run.Out, "0 underrun(s)")) << run.Out;

    // The device stays at 44.1 kHz while the driver records at 48 kHz.
    run = w.Run({"--descriptor-file",
                 std::string(LT_QUIRKS_DIR) + "/rate-request-ignored-microphone.txt", "--record",
                 w / "out.wav"});
    EXPECT_EQ(1, run.Exit);
    EXPECT_TRUE(Has(run.Err, "the run did not keep to the device")) << run.Err;
}

// A format the filter does not offer is refused with the driver's status by
// name and the formats the filter offers: the S/PDIF device's 16-bit stereo
// at its clock's three rates.
TEST(HostProgram, ARefusedFormatNamesWhatTheFilterOffers)
{
    Workspace w;
    const std::string in = w / "in.wav";
    HostAudio packed = Ramp(960);
    packed.BitsPerSample = 24;
    packed.Data.resize(960 * 6);
    std::string error;
    ASSERT_TRUE(HostWriteWav(in, packed, &error)) << error;
    const ProgramRun run = w.Run({"--device", "Uac2Spdif", "--play", in});
    EXPECT_EQ(1, run.Exit);
    EXPECT_TRUE(Has(run.Err, "refused 2 channel(s) of 24 bits at 48000 Hz: 0xC0000272 "
                             "STATUS_NO_MATCH\nplay: the filter offers:\n"
                             "  2 channel(s) of 16 bits at 44100, 48000, 96000 Hz\n"))
        << run.Err;
}
