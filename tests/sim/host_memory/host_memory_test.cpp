// The host program when its memory runs out: this program replaces the
// global operator new with one that models an address-space limit, reached
// at the Nth allocation of a run and holding from then on (limited_new.h),
// and runs a short play, recording and ASIO run with each allocation in turn
// the one that reaches it; and again with the first large allocation from
// it on refused outright, as one larger than all memory left would be. No
// run aborts: each ends with its result line, exit status 1 and the memory
// named; the device is removed and the driver unloaded wherever they were
// loaded, nothing leaks, and an output made reads whole.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <chrono>
#include <exception>

#include "sim/host/harness/host_wav.h"
#include "sim/host/host_program.h"
#include "tests/sim/host/program_run.h"
#include "tests/sim/host/scratch_folder.h"
#include "tests/sim/host_memory/limited_new.h"

namespace
{
struct LimitedRun
{
    int Exit = -1, Signal = 0;
    std::string Out; // both streams, in order
    unsigned long long Allocations = 0;
};

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// The host program in a child of the test, its limit reached at the
// allocation `limitAt` (0: never) of those it makes.
LimitedRun RunLimited(std::vector<std::string> args, unsigned long long limitAt,
                      bool refused = false)
{
    static auto* const counted = static_cast<unsigned long long*>(
        mmap(nullptr, sizeof(unsigned long long), PROT_READ | PROT_WRITE,
             MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    *counted = 0;
    const ProgramRun run =
        RunInChildProcess(std::move(args),
                          [&](int argc, char** argv)
                          {
                              g_Allocations = 0;
                              g_LimitAt = limitAt;
                              g_Refused = refused;
                              alarm(20); // a run that hangs fails its test instead of holding it
                              try
                              {
                                  const int exit = HostProgramMain(argc, argv);
                                  *counted = g_Allocations;
                                  return exit;
                              }
                              catch (...)
                              {
                                  // As out of the program's main: not into the test's.
                                  std::terminate();
                              }
                          });
    return {run.Exit, run.Signal, run.Out, *counted};
}

// What every run must be, its limit reached or not.
void ExpectEndedInOrder(const LimitedRun& run, const std::string& out, const std::string& what)
{
    ASSERT_EQ(0, run.Signal) << what << run.Out;
    size_t results = 0;
    for (size_t at = run.Out.find("result: "); at != std::string::npos;
         at = run.Out.find("result: ", at + 1))
        ++results;
    EXPECT_EQ(1u, results) << what << run.Out;
    EXPECT_EQ(run.Exit == 0, Has(run.Out, "result: worked\n")) << what << run.Out;
    EXPECT_TRUE(!Has(run.Out, "add device: 0x00000000") ||
                Has(run.Out, "remove device: 0x00000000 STATUS_SUCCESS\n"))
        << what << run.Out;
    EXPECT_TRUE(!Has(run.Out, "driver load: 0x00000000") ||
                Has(run.Out, "driver unloaded\nleaks: none\n"))
        << what << run.Out;
    // An output the run made reads whole, however the run ended.
    HostAudio written;
    std::string error;
    EXPECT_TRUE(!std::filesystem::exists(out) || HostReadWav(out, &written, &error))
        << what << error;
    EXPECT_TRUE(!Has(run.Out, ": wrote " + out) ||
                Has(run.Out, ", " + std::to_string(written.Frames()) + " frames"))
        << what << run.Out;
}
} // namespace

// A short play (50 ms of a ramp), a short recording and a short ASIO run
// (50 ms each), each run
// with each allocation in turn (a step over them where they are many) the
// one that reaches the limit, with and without a large one refused after
// it, and without a limit.
TEST(HostMemory, EveryAllocationThatFindsNoMemoryFailsTheRunInWords)
{
    ScratchFolder w;
    const std::string in = w / "in.wav", out = w / "out.wav";
    HostAudio ramp{48000, 2, 16, std::vector<UCHAR>(2400 * 4)};
    for (size_t i = 0; i < ramp.Data.size(); ++i)
        ramp.Data[i] = (UCHAR)(i * 7 + i / 256);
    std::string error;
    ASSERT_TRUE(HostWriteWav(in, ramp, &error)) << error;
    // The runs each kind makes at most.
    constexpr unsigned long long kRuns = 300;
    for (std::vector<std::string> args :
         {std::vector<std::string>{"--play", in, "--device-out", out},
          std::vector<std::string>{"--record", out, "--seconds", "0.05"},
          std::vector<std::string>{"--asio", "0.05", "--device", "Uac2HighSpeed"}})
    {
        const LimitedRun whole = RunLimited(args, 0);
        ExpectEndedInOrder(whole, out, args[0]);
        ASSERT_EQ(0, whole.Exit) << whole.Out;
        const unsigned long long step = whole.Allocations / kRuns + 1;
        const auto began = std::chrono::steady_clock::now();
        for (unsigned long long n = 1; n <= whole.Allocations; n += step)
        {
            for (const bool refused : {false, true})
            {
                std::filesystem::remove(out);
                const LimitedRun run = RunLimited(args, n, refused);
                const std::string what = args[0] + " limited at allocation " + std::to_string(n) +
                                         (refused ? ", refused\n" : "\n");
                ExpectEndedInOrder(run, out, what);
                EXPECT_EQ(1, run.Exit) << what << run.Out;
                EXPECT_TRUE(Has(run.Out, "memory")) << what << run.Out;
                // One run's faults are enough to read.
                if (HasFailure())
                    return;
            }
        }
        printf("%s: %llu allocations, one run in %llu limited: %lld ms\n", args[0].c_str(),
               whole.Allocations, step,
               (long long)std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - began)
                   .count());
    }
}
