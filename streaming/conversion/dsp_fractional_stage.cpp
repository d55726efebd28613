#include "streaming/conversion/dsp_fractional_stage.h"

#include "primitives/filters/DspFirOneBlock.h"
#include "streaming/conversion/src_filter_tables.h"

namespace
{
constexpr ULONG kUpPhases = SRC_BANK_44_TO_48_PHASES;   // 160
constexpr ULONG kUpStep = SRC_BANK_48_TO_44_PHASES;     // 147 phases per output
constexpr ULONG kDownPhases = SRC_BANK_48_TO_44_PHASES; // 147
constexpr ULONG kDownStep = kUpPhases - kDownPhases;    // 13 beyond one input per output
constexpr int32_t kUpTaps = SRC_BANK_44_TO_48_TAPS;     // 20
constexpr int32_t kDownTaps = SRC_BANK_48_TO_44_TAPS;   // 24
static_assert(2 * kDownTaps == SRC_FRACTIONAL_DELAY_FLOATS);
static_assert(kUpTaps < kDownTaps);
static_assert(kDownTaps - 1 + SRC_FRACTIONAL_CHUNK_INPUTS + 1 + SRC_FRACTIONAL_LOAD_SLACK ==
              SRC_FRACTIONAL_LINEAR_FLOATS);
// Up to two outputs per input going up, one going down.
static_assert(SRC_FRACTIONAL_CHUNK_OUTPUTS >= 2 * SRC_FRACTIONAL_CHUNK_INPUTS);

// The sample enters a doubled delay line of taps at index, which moves on.
inline void Push(float* line, int32_t& index, float sample, int32_t taps)
{
    line[index] = sample;
    line[index + taps] = sample;
    index = index + 1 == taps ? 0 : index + 1;
}
} // namespace

CDspFractionalStage::CDspFractionalStage()
    : m_Phase{}, m_DelayLine{}, m_DelayIndex{}, m_Starts{}, m_Rows{}, m_Linear{}, m_Quad{}
{
}

LONG CDspFractionalStage::StateSizeUp()
{
    int32_t size = 0;
    return DspFirStateSize32f(kUpTaps, &size) == DspStsNoErr ? size : 0;
}

LONG CDspFractionalStage::StateSizeDown()
{
    int32_t size = 0;
    return DspFirStateSize32f(kDownTaps, &size) == DspStsNoErr ? size : 0;
}

void CDspFractionalStage::Reset()
{
    const bool up = m_Mode == SRC_MODE_UP;
    for (ULONG c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c)
    {
        m_Phase[c] = 0;
        DspFirInit32f(&m_State[c], up ? g_SrcBank44To48[0] : g_SrcBank48To44[0],
                      up ? kUpTaps : kDownTaps, nullptr,
                      up ? m_StateMemoryUp[c] : m_StateMemoryDown[c]);
        DspZero32f(m_DelayLine[c], (int32_t)SRC_FRACTIONAL_DELAY_FLOATS);
        m_DelayIndex[c] = 0;
    }
    ClearCounts();
}

void CDspFractionalStage::Process(ULONG channel, const float* input, ULONG* count)
{
    *count = Run(channel, 1, &input, *count);
}

void CDspFractionalStage::ProcessChannels(CDspSrcStage* previous, ULONG channels)
{
    ULONG c = 0;
    while (DspCpuLevel == 0 && c + 4 <= channels)
    {
        // Eight channels in step share each chunk's plan.
        const ULONG lanes = c + 8 <= channels && InStep(previous, c, 8) ? 8 : 4;
        if (lanes == 4 && !InStep(previous, c, 4))
        {
            break;
        }
        const ULONG count = previous->GetCount(c);
        const float* input[8];
        for (ULONG q = 0; q < lanes; ++q)
        {
            input[q] = previous->GetOutput(c + q);
        }
        const ULONG consumed = count > 0 ? Run(c, lanes, input, count) : 0;
        for (ULONG q = 0; count > 0 && q < lanes; ++q)
        {
            previous->ConsumeStageOutput(c + q, consumed);
        }
        c += lanes;
    }
    ProcessEach(previous, c, channels);
}

bool CDspFractionalStage::InStep(const CDspSrcStage* previous, ULONG first, ULONG lanes) const
{
    bool same = true;
    for (ULONG q = first + 1; q < first + lanes; ++q)
    {
        same = same && m_Phase[q] == m_Phase[first] && m_DelayIndex[q] == m_DelayIndex[first] &&
               m_Count[q] == m_Count[first] && previous->GetCount(q) == previous->GetCount(first);
    }
    return same;
}

ULONG CDspFractionalStage::Run(ULONG first, ULONG lanes, const float* const* input, ULONG count)
{
    const bool up = m_Mode == SRC_MODE_UP;
    const int32_t taps = up ? kUpTaps : kDownTaps;
    const ULONG room = Room(first);
    ULONG consumed = 0;
    ULONG produced = 0;
    // Going down, samples that make no output are taken even into a full buffer.
    while (consumed < count)
    {
        ULONG chunk = count - consumed;
        chunk = chunk < SRC_FRACTIONAL_CHUNK_INPUTS ? chunk : SRC_FRACTIONAL_CHUNK_INPUTS;
        const Plan plan =
            up ? PlanUp(first, chunk, room - produced) : PlanDown(first, chunk, room - produced);
        float* out = m_Output[first] + m_Count[first] + produced;
        if (lanes >= 4)
        {
            const float* at[8];
            for (ULONG q = 0; q < lanes; ++q)
            {
                at[q] = input[q] + consumed;
            }
            for (ULONG q = 0; q < lanes; q += 4)
            {
                FilterQuad(first + q, at + q, plan, taps, produced);
            }
        }
        else if (DspCpuLevel == 0)
        {
            FilterBlock(first, input[0] + consumed, plan, taps, out);
        }
        else
        {
            FilterEach(first, input[0] + consumed, plan, taps, out);
        }
        consumed += plan.Used;
        produced += plan.Made;
        if (plan.Used == 0 && plan.Made == 0)
        {
            break;
        }
    }
    for (ULONG q = first; q < first + lanes; ++q)
    {
        m_Phase[q] = m_Phase[first];
        m_Count[q] += produced;
    }
    return consumed;
}

CDspFractionalStage::Plan CDspFractionalStage::PlanUp(ULONG channel, ULONG inputs, ULONG room)
{
    ULONG phase = m_Phase[channel];
    Plan plan{};
    while (plan.Used < inputs && plan.Made < room)
    {
        m_Starts[plan.Made] = (int32_t)plan.Used;
        m_Rows[plan.Made] = g_SrcBank44To48[phase];
        ++plan.Made;
        phase += kUpStep;
        if (phase >= kUpPhases)
        {
            phase -= kUpPhases;
            ++plan.Used;
        }
        // Otherwise the same sample is filtered again with the next row.
    }
    m_Phase[channel] = phase;
    return plan;
}

CDspFractionalStage::Plan CDspFractionalStage::PlanDown(ULONG channel, ULONG inputs, ULONG room)
{
    ULONG phase = m_Phase[channel];
    Plan plan{};
    while (plan.Used < inputs)
    {
        if (phase >= kDownPhases)
        {
            // The sample enters the delay line without an output.
            phase -= kDownPhases;
            ++plan.Used;
            continue;
        }
        // A full buffer ends the call: the rest of the input waits.
        if (plan.Made == room)
        {
            break;
        }
        m_Starts[plan.Made] = (int32_t)plan.Used;
        m_Rows[plan.Made] = g_SrcBank48To44[phase];
        ++plan.Made;
        ++plan.Used;
        phase += kDownStep;
    }
    m_Phase[channel] = phase;
    return plan;
}

void CDspFractionalStage::FilterEach(ULONG channel, const float* input, const Plan& plan,
                                     int32_t taps, float* out)
{
    ULONG j = 0;
    for (ULONG c = 0; c < plan.Used || j < plan.Made; ++c)
    {
        int32_t index = m_DelayIndex[channel];
        const ULONG first = j;
        for (; j < plan.Made && m_Starts[j] == (int32_t)c; ++j)
        {
            index = m_DelayIndex[channel];
            DspFirOneSample32f(input[c], &out[j], m_Rows[j], taps, m_DelayLine[channel], &index);
        }
        if (c >= plan.Used)
        {
            // Filtered but not consumed: the index waits for the next call.
            continue;
        }
        if (j == first)
        {
            Push(m_DelayLine[channel], m_DelayIndex[channel], input[c], taps);
        }
        m_DelayIndex[channel] = j == first ? m_DelayIndex[channel] : index;
    }
}

ULONG CDspFractionalStage::Span(const Plan& plan) const
{
    const ULONG last = plan.Made > 0 ? (ULONG)m_Starts[plan.Made - 1] : 0;
    // The last output's sample may be filtered without being consumed; the
    // next call writes it again where the delay line keeps it.
    const bool pending = plan.Made > 0 && last == plan.Used;
    return plan.Used + (pending ? 1 : 0);
}

void CDspFractionalStage::FilterBlock(ULONG channel, const float* input, const Plan& plan,
                                      int32_t taps, float* out)
{
    const int32_t history = taps - 1;
    const ULONG span = Span(plan);
    if (plan.Made > 0)
    {
        // The window of an output at input c is m_Linear[c .. c + taps - 1].
        const float* dly = m_DelayLine[channel] + m_DelayIndex[channel] + 1;
        DspCopy32f(dly, m_Linear, history);
        DspCopy32f(input, m_Linear + history, (int32_t)span);
        // Room behind the samples for the loads of the last groups, which
        // serve no output there.
        float* pad = m_Linear + history + span;
        DspZero32f(pad, (int32_t)SRC_FRACTIONAL_LOAD_SLACK);
        DspFirOneSampleBlock32f(m_Linear, history + (int32_t)(span + SRC_FRACTIONAL_LOAD_SLACK),
                                m_Starts, m_Rows, taps, out, (int32_t)plan.Made);
    }
    Remember(channel, input, plan, taps);
}

void CDspFractionalStage::FilterQuad(ULONG first, const float* const* input, const Plan& plan,
                                     int32_t taps, ULONG produced)
{
    const int32_t history = taps - 1;
    if (plan.Made > 0)
    {
        // Frame c of m_Quad holds the four channels' sample c of their
        // m_Linear sequences (FilterBlock).
        const float* dly[4];
        float* out[4];
        for (ULONG q = 0; q < 4; ++q)
        {
            dly[q] = m_DelayLine[first + q] + m_DelayIndex[first + q] + 1;
            out[q] = m_Output[first + q] + m_Count[first + q] + produced;
        }
        const ULONG span = Span(plan);
        DspInterleave32f(dly, 4, history, m_Quad);
        DspInterleave32f(input, 4, (int32_t)span, m_Quad + 4 * history);
        DspFirOneSampleQuad32f(m_Quad, history + (int32_t)span, m_Starts, m_Rows, taps, out,
                               (int32_t)plan.Made);
    }
    for (ULONG q = 0; q < 4; ++q)
    {
        Remember(first + q, input[q], plan, taps);
    }
}

void CDspFractionalStage::Remember(ULONG channel, const float* input, const Plan& plan,
                                   int32_t taps)
{
    // Only the last taps samples pushed decide the delay line.
    const ULONG kept = plan.Used < (ULONG)taps ? plan.Used : (ULONG)taps;
    // The index in a local, which the stores into the line cannot change.
    int32_t index = (int32_t)((m_DelayIndex[channel] + plan.Used - kept) % (ULONG)taps);
    float* line = m_DelayLine[channel];
    for (ULONG c = plan.Used - kept; c < plan.Used; ++c)
    {
        Push(line, index, input[c], taps);
    }
    m_DelayIndex[channel] = index;
}
