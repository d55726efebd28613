// The fractional stage against one one-sample FIR call per output, as the
// stage is defined: the same outputs bit for bit, the same inputs taken and
// the same history carried, over calls of every size, a full output buffer,
// special sample values, and at level 0 (block path, one channel or four
// side by side) and level 1.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "streaming/conversion/dsp_fractional_stage.h"
#include "streaming/conversion/src_filter_tables.h"
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

// The stage before: holds what each call offers every channel.
class Feeder : public CDspSrcStage
{
  public:
    LONG StateSizeUp() override { return 4; }
    LONG StateSizeDown() override { return 4; }
    void Process(ULONG, const float*, ULONG*) override {}
    void Reset() override { ClearCounts(); }
    void Hold(ULONG channel, const float* samples, ULONG count)
    {
        memcpy(m_Output[channel], samples, count * sizeof(float));
        m_Count[channel] = count;
    }
};

// Channels one at a time through Process, or all together through
// ProcessChannels (four or eight side by side at level 0, the rest one at a
// time).
void RunCase(const StageCase& c, int32_t cpuType, ULONG channels, bool together)
{
    CDspFractionalStage* stage = NewSrcStage<CDspFractionalStage>();
    Feeder* feeder = NewSrcStage<Feeder>();
    ASSERT_NE(stage, nullptr);
    ASSERT_NE(feeder, nullptr);
    ASSERT_TRUE(stage->AllocateStageBuffers());
    ASSERT_TRUE(feeder->AllocateStageBuffers());
    stage->SetMode(c.Up ? SRC_MODE_UP : SRC_MODE_DOWN);
    stage->Reset();
    DspSetCpuLevel(cpuType);
    std::vector<Reference> refs(channels, Reference(c.Up));
    std::vector<std::vector<float>> inputs;
    for (ULONG ch = 0; ch < channels; ++ch)
    {
        inputs.push_back(firref::Signal(24000, 5 + ch));
    }
    const float specials[] = {std::nanf(""), std::numeric_limits<float>::infinity(), 1e-40f, -0.0f,
                              -std::numeric_limits<float>::infinity()};
    for (size_t s = 0; s < 5; ++s)
    {
        inputs[1][3001 + 97 * s] = specials[s];
        inputs[channels - 1][5003 + 89 * s] = specials[4 - s];
    }
    std::vector<ULONG> offered(channels, 0);
    for (size_t call = 0; offered[0] < 16000; ++call)
    {
        const ULONG size = c.Calls[call % c.Calls.size()];
        std::vector<ULONG> before(channels);
        std::vector<std::vector<float>> expected(channels);
        std::vector<ULONG> taken(channels);
        for (ULONG ch = 0; ch < channels; ++ch)
        {
            before[ch] = stage->GetCount(ch);
            taken[ch] = refs[ch].Process(inputs[ch].data() + offered[ch], size,
                                         SRC_STAGE_BUFFER_SAMPLES - before[ch], expected[ch]);
            feeder->Hold(ch, inputs[ch].data() + offered[ch], size);
        }
        if (together)
        {
            stage->ProcessChannels(feeder, channels);
        }
        for (ULONG ch = 0; ch < channels; ++ch)
        {
            ULONG count = size;
            if (!together)
            {
                stage->Process(ch, inputs[ch].data() + offered[ch], &count);
            }
            else
            {
                count = size - feeder->GetCount(ch);
            }
            ASSERT_EQ(count, taken[ch]) << "call " << call << " channel " << ch;
            ASSERT_EQ(stage->GetCount(ch) - before[ch], expected[ch].size()) << "call " << call;
            ASSERT_TRUE(expected[ch].empty() ||
                        memcmp(stage->GetOutput(ch) + before[ch], expected[ch].data(),
                               expected[ch].size() * sizeof(float)) == 0)
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
    DeleteSrcStage(feeder);
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
    // Two channels one at a time; six together (one group of four); eight
    // together (one plan for both groups of four).
    const struct
    {
        ULONG Channels;
        bool Together;
    } ways[] = {{2, false}, {6, true}, {8, true}};
    for (const int32_t cpuType : {0, 32})
    {
        for (const auto& way : ways)
        {
            for (const StageCase& c : cases)
            {
                SCOPED_TRACE(testing::Message()
                             << (c.Up ? "up" : "down") << " calls of " << c.Calls[0]
                             << " level code " << cpuType << " channels " << way.Channels);
                RunCase(c, cpuType, way.Channels, way.Together);
            }
        }
    }
}
