#include "streaming/dsp_fractional_stage.h"

#include "streaming/src_filter_tables.h"

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
} // namespace

CDspFractionalStage::CDspFractionalStage() : m_Phase{}, m_DelayLine{}, m_DelayIndex{} {}

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
    *count = m_Mode == SRC_MODE_UP ? ProcessUp(channel, input, *count)
                                   : ProcessDown(channel, input, *count);
}

ULONG CDspFractionalStage::ProcessUp(ULONG channel, const float* input, ULONG count)
{
    float* out = m_Output[channel] + m_Count[channel];
    const ULONG room = Room(channel);
    ULONG phase = m_Phase[channel];
    ULONG consumed = 0;
    ULONG produced = 0;
    while (consumed < count && produced < room)
    {
        int32_t index = m_DelayIndex[channel];
        DspFirOneSample32f(input[consumed], &out[produced], g_SrcBank44To48[phase], kUpTaps,
                           m_DelayLine[channel], &index);
        ++produced;
        phase += kUpStep;
        if (phase >= kUpPhases)
        {
            phase -= kUpPhases;
            ++consumed;
            m_DelayIndex[channel] = index;
        }
        // Otherwise the index stays: the same sample is filtered again with
        // the next row.
    }
    m_Phase[channel] = phase;
    m_Count[channel] += produced;
    return consumed;
}

ULONG CDspFractionalStage::ProcessDown(ULONG channel, const float* input, ULONG count)
{
    float* out = m_Output[channel] + m_Count[channel];
    const ULONG room = Room(channel);
    ULONG phase = m_Phase[channel];
    ULONG consumed = 0;
    ULONG produced = 0;
    while (consumed < count)
    {
        if (phase >= kDownPhases)
        {
            Push(channel, input[consumed]);
            phase -= kDownPhases;
            ++consumed;
            continue;
        }
        // A full buffer ends the call: the rest of the input waits.
        if (produced == room)
        {
            break;
        }
        DspFirOneSample32f(input[consumed], &out[produced], g_SrcBank48To44[phase], kDownTaps,
                           m_DelayLine[channel], &m_DelayIndex[channel]);
        ++produced;
        ++consumed;
        phase += kDownStep;
    }
    m_Phase[channel] = phase;
    m_Count[channel] += produced;
    return consumed;
}

void CDspFractionalStage::Push(ULONG channel, float sample)
{
    int32_t& index = m_DelayIndex[channel];
    m_DelayLine[channel][index] = sample;
    m_DelayLine[channel][index + kDownTaps] = sample;
    index = index + 1 == kDownTaps ? 0 : index + 1;
}
