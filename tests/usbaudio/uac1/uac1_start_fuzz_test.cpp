// The fuzz target's short run: a fixed series of mutated configurations of
// the class 1.0 reference device, each started and removed under the
// sanitizers; a start may fail, but only with a status, and leaves nothing.
// LT_FUZZ_RUNS and LT_FUZZ_SEED make a longer or another series by hand.
#include <gtest/gtest.h>

#include <cstdlib>

#include "sim/devices/reference_devices.h"
#include "tests/usbaudio/uac1/uac1_start_fuzz.h"

TEST(Uac1StartFuzz, MutatedConfigurationsStartOrFailCleanly)
{
    // Both class 1.0 references: terminals and feature units; mixer, selector and ranges.
    const std::vector<UCHAR>* bases[] = {
        &SimReferenceDescriptors(SimReference::Uac1SpeakerMic).Configuration,
        &SimReferenceDescriptors(SimReference::Uac1Surround71).Configuration};
    const char* runs = getenv("LT_FUZZ_RUNS");
    const char* seed = getenv("LT_FUZZ_SEED");
    std::mt19937 random(seed != nullptr ? (unsigned)atoi(seed) : 0x4C54);
    const int count = runs != nullptr ? atoi(runs) : 300;
    int started = 0, failed = 0;
    for (int i = 0; i < count; ++i)
    {
        NTSTATUS status = STATUS_SUCCESS;
        if (!StartUac1FromConfiguration(MutateConfiguration(*bases[i % 2], random), &status))
            continue;
        ++(NT_SUCCESS(status) ? started : failed);
    }
    // The series reaches both outcomes, so it walks past the first checks.
    EXPECT_GT(started, 20);
    EXPECT_GT(failed, 20);
}
