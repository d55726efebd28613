// The fractional stage against one one-sample FIR call per output, as the
// stage is defined: the same outputs bit for bit, the same inputs taken and
// the same history carried, over calls of every size, a full output buffer,
// special sample values, and at level 0 (block path) and level 1.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "streaming/dsp_fractional_stage.h"
#include "streaming/src_filter_tables.h"
#include "tests/primitives/filters/fir_reference.h"

namespace
{
// One channel of the stage, one entry call per output.
struct Reference
{
    explicit Reference(bool up) : Up(up) {}
    ULONG Process(const float* input, ULONG count, ULONG room, std::vector<float>& out)
    {
        return Up ? ProcessUp(input, count, room, out) : ProcessDown(input, count, room, out);
    }
    ULONG ProcessUp(const float* input, ULONG count, ULONG room, std::vector<float>& out)
    {
        ULONG consumed = 0;
        for (ULONG produced = 0; consumed < count && produced < room; ++produced)
        {
            int32_t index = Index;
            float y = 0.0f;
            DspFirOneSample32f(input[consumed], &y, g_SrcBank44To48[Phase], SRC_BANK_44_TO_48_TAPS,
                               Delay.data(), &index);
            out.push_back(y);
            Phase += SRC_BANK_48_TO_44_PHASES;
            if (Phase >= SRC_BANK_44_TO_48_PHASES)
            {
                Phase -= SRC_BANK_44_TO_48_PHASES;
                ++consumed;
                Index = index;
            }
        }
        return consumed;
    }
    ULONG ProcessDown(const float* input, ULONG count, ULONG room, std::vector<float>& out)
    {
        constexpr int32_t n = SRC_BANK_48_TO_44_TAPS;
        ULONG consumed = 0;
        ULONG produced = 0;
        for (; consumed < count; ++consumed)
        {
            if (Phase >= SRC_BANK_48_TO_44_PHASES)
            {
                Delay[(size_t)Index] = Delay[(size_t)(Index + n)] = input[consumed];
                Index = Index + 1 == n ? 0 : Index + 1;
                Phase -= SRC_BANK_48_TO_44_PHASES;
                continue;
            }
            if (produced++ == room)
            {
                break;
            }
            float y = 0.0f;
            DspFirOneSample32f(input[consumed], &y, g_SrcBank48To44[Phase], n, Delay.data(),
                               &Index);
            out.push_back(y);
            Phase += SRC_BANK_44_TO_48_PHASES - SRC_BANK_48_TO_44_PHASES;
        }
        return consumed;
    }
    bool Up;
    ULONG Phase = 0;
    int32_t Index = 0;
    std::vector<float> Delay = std::vector<float>(SRC_FRACTIONAL_DELAY_FLOATS, 0.0f);
};

struct StageCase
{
    bool Up;
    std::vector<ULONG> Calls; // inputs offered per call, repeated
    bool Drain;               // the output taken after every call, or left to fill up
};

void RunCase(const StageCase& c, int32_t cpuType)
{
    CDspFractionalStage* stage = NewSrcStage<CDspFractionalStage>();
    ASSERT_NE(stage, nullptr);
    ASSERT_TRUE(stage->AllocateStageBuffers());
    stage->SetMode(c.Up ? SRC_MODE_UP : SRC_MODE_DOWN);
    stage->Reset();
    DspSetCpuLevel(cpuType);
    std::vector<Reference> refs(2, Reference(c.Up));
    std::vector<float> inputs[2] = {firref::Signal(24000, 5), firref::Signal(24000, 6)};
    const float specials[] = {std::nanf(""), std::numeric_limits<float>::infinity(), 1e-40f, -0.0f,
                              -std::numeric_limits<float>::infinity()};
    for (size_t s = 0; s < 5; ++s)
    {
        inputs[1][3001 + 97 * s] = specials[s];
    }
    ULONG offered[2] = {0, 0};
    for (size_t call = 0; offered[0] < 16000; ++call)
    {
        const ULONG size = c.Calls[call % c.Calls.size()];
        for (ULONG ch = 0; ch < 2; ++ch)
        {
            const ULONG before = stage->GetCount(ch);
            std::vector<float> expected;
            const ULONG taken = refs[ch].Process(inputs[ch].data() + offered[ch], size,
                                                 SRC_STAGE_BUFFER_SAMPLES - before, expected);
            ULONG count = size;
            stage->Process(ch, inputs[ch].data() + offered[ch], &count);
            ASSERT_EQ(count, taken) << "call " << call << " channel " << ch;
            ASSERT_EQ(stage->GetCount(ch) - before, expected.size()) << "call " << call;
            ASSERT_TRUE(expected.empty() || memcmp(stage->GetOutput(ch) + before, expected.data(),
                                                   expected.size() * sizeof(float)) == 0)
                << "call " << call << " channel " << ch;
            offered[ch] += count;
            // Left to fill, the buffer limits a call before room is made.
            const bool full = stage->GetCount(ch) + 64 > SRC_STAGE_BUFFER_SAMPLES;
            if (c.Drain || full)
            {
                stage->ConsumeStageOutput(ch, c.Drain ? stage->GetCount(ch) : 4000);
            }
        }
    }
    DspSetCpuLevel(0);
    DeleteSrcStage(stage);
}
} // namespace

TEST(DspFractionalStage, BlockPathIsOneCallPerOutput)
{
    const StageCase cases[] = {
        {true, {1}, true},
        {false, {1}, true},
        {true, {127, 128, 129, 3, 1000}, true},
        {false, {127, 128, 129, 3, 1000}, true},
        {true, {2900}, false},
        {false, {3300}, false},
        {true, {4000, 17}, false},
        {false, {7000, 5}, false},
    };
    for (const int32_t cpuType : {0, 32})
    {
        for (const StageCase& c : cases)
        {
            SCOPED_TRACE(testing::Message() << (c.Up ? "up" : "down") << " calls of " << c.Calls[0]
                                            << " level code " << cpuType);
            RunCase(c, cpuType);
        }
    }
}
