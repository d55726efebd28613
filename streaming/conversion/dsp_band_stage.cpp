#include "streaming/conversion/dsp_band_stage.h"

#include "streaming/conversion/src_filter_tables.h"

CDspBandStage::CDspBandStage(const float* taps, LONG tapCount, LONG factor)
    : m_Taps(taps), m_TapCount(tapCount), m_Factor(factor)
{
}

LONG CDspBandStage::StateSizeUp()
{
    int32_t size = 0;
    return DspFirMultirateStateSize32f(m_TapCount, m_Factor, 1, &size) == DspStsNoErr ? size : 0;
}

LONG CDspBandStage::StateSizeDown()
{
    int32_t size = 0;
    return DspFirMultirateStateSize32f(m_TapCount, 1, m_Factor, &size) == DspStsNoErr ? size : 0;
}

void CDspBandStage::Reset()
{
    const bool up = m_Mode == SRC_MODE_UP;
    for (ULONG c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c)
    {
        DspFirMultirateInit32f(&m_State[c], m_Taps, m_TapCount, up ? m_Factor : 1, 0,
                               up ? 1 : m_Factor, 0, nullptr,
                               up ? m_StateMemoryUp[c] : m_StateMemoryDown[c]);
    }
    ClearCounts();
}

void CDspBandStage::Process(ULONG channel, const float* input, ULONG* count)
{
    *count = m_Mode == SRC_MODE_UP ? ProcessUp(channel, input, *count)
                                   : ProcessDown(channel, input, *count);
}

ULONG CDspBandStage::ProcessDown(ULONG channel, const float* input, ULONG count)
{
    const ULONG k = (ULONG)m_Factor;
    ULONG consumed = 0;
    // A remainder below the factor waits for the next call.
    while (count - consumed >= k && Room(channel) > 0)
    {
        ULONG blocks = (count - consumed) / k;
        blocks = blocks < Room(channel) ? blocks : Room(channel);
        DspFirFilter32f(input + consumed, m_Output[channel] + m_Count[channel], (int32_t)blocks,
                        m_State[channel]);
        m_Count[channel] += blocks;
        consumed += blocks * k;
    }
    return consumed;
}

ULONG CDspBandStage::ProcessUp(ULONG channel, const float* input, ULONG count)
{
    const ULONG k = (ULONG)m_Factor;
    ULONG consumed = 0;
    while (consumed < count && Room(channel) >= k)
    {
        ULONG blocks = count - consumed;
        blocks = blocks < Room(channel) / k ? blocks : Room(channel) / k;
        float* out = m_Output[channel] + m_Count[channel];
        DspFirFilter32f(input + consumed, out, (int32_t)blocks, m_State[channel]);
        // The zeros put between the samples take 1/k of the energy: give it back.
        DspMulConstInPlace32f((float)k, out, (int32_t)(blocks * k));
        m_Count[channel] += blocks * k;
        consumed += blocks;
    }
    return consumed;
}

CDspBandStage* NewHalfBandStage()
{
    return NewSrcStage<CDspBandStage>(g_SrcHalfBandTaps, (LONG)SRC_HALF_BAND_TAPS, (LONG)2);
}

CDspBandStage* NewQuarterBandStage()
{
    return NewSrcStage<CDspBandStage>(g_SrcQuarterBandTaps, (LONG)SRC_QUARTER_BAND_TAPS, (LONG)4);
}
