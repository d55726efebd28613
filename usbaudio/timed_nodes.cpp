#include "primitives/dsp.h"
#include "usbaudio/chain_nodes.h"
#include "usbaudio/timed_walkers.h"

namespace
{
constexpr float c_LevelPerDecade = 1310720.0f; // 20 dB in 1/65536 dB
} // namespace

bool ComputeVolumeGains(const LONG* levels, ULONG count, float* gains)
{
    if (levels == nullptr || gains == nullptr)
        return false;
    const int32_t n = (int32_t)(count < VOLUME_NODE_MAX_GAINS ? count : VOLUME_NODE_MAX_GAINS);
    if (n == 0)
        return true;
    float exponents[VOLUME_NODE_MAX_GAINS];
    float tens[VOLUME_NODE_MAX_GAINS];
    float result[VOLUME_NODE_MAX_GAINS];
    for (int32_t i = 0; i < n; ++i)
        tens[i] = 10.0f;
    if (DspConvert32sTo32f(reinterpret_cast<const int32_t*>(levels), exponents, n) != 0 ||
        DspDivConstInPlace32f(c_LevelPerDecade, exponents, n) != 0 ||
        DspPow32f(tens, exponents, result, n) != 0)
        return false;
    for (int32_t i = 0; i < n; ++i)
        gains[i] = result[i];
    return true;
}

// Every level's gain again, whichever channel changed: the mode and the
// device's values change them all at once.
void CGatedVolumeNode::LevelChanged(ULONG)
{
    if (m_Gains != nullptr && m_Levels != nullptr)
        ComputeVolumeGains(m_Levels, m_ChannelCount, m_Gains);
}
