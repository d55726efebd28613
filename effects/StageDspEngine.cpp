// Block framing: frames are staged until a block of 128 is complete, the block
// is processed in the input staging and appended to the output staging, and
// the caller gets back the frames at the front of the output staging. Input
// fill + output fill stays 128, which is the latency.
#include "effects/StageDspEngine.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "primitives/dsp.h"

namespace
{
constexpr uint32_t StagingFrames = 2 * CStageDspEngine::BlockFrames;
constexpr uint32_t HoldBlocks = 20; // mode 0: this block and the 19 before it
constexpr uint32_t WarmUpBlocks = 2;
constexpr float ResetPreviousTarget = 8.0f;
constexpr float MaxLevellerGain = 8.0f;
constexpr float LimiterRise = 10240.0f;   // mode 0: blocks of distance per sample
constexpr float LevellerRise = 204800.0f; // mode 1
constexpr float LevellerFall = 1.0f / 1024.0f;
constexpr float MinStepRatio = 1.0f / 8388608.0f; // 2^-23: a ramp never stalls
constexpr float FastFallDivisor = 1.5f;
constexpr int32_t TableARate = 48000;
constexpr int32_t HalfTaps = CStageDspEngine::SideChainTaps / 2 + 1;

// Side-chain weighting, taps 0 to 50 of filters symmetric about tap 50. Table
// A serves 48000 Hz, table B every other rate; both are used doubled.
constexpr float TableA[HalfTaps] = {
    -0.001456522f, -0.001453699f, -0.001619618f, -0.001612991f, -0.001788453f, -0.001936617f,
    -0.002220964f, -0.002326371f, -0.002623952f, -0.002864069f, -0.00316416f,  -0.003253959f,
    -0.003629787f, -0.003846253f, -0.004163969f, -0.004220788f, -0.004659615f, -0.004831718f,
    -0.005130147f, -0.00526829f,  -0.005784335f, -0.005913758f, -0.006190224f, -0.00633402f,
    -0.00696773f,  -0.006961033f, -0.007433683f, -0.007703874f, -0.008599447f, -0.008615408f,
    -0.009422306f, -0.010053358f, -0.011141272f, -0.011151886f, -0.012417668f, -0.013178065f,
    -0.014693483f, -0.014596192f, -0.017430065f, -0.018283647f, -0.02037837f,  -0.019892672f,
    -0.025130944f, -0.025762893f, -0.027679408f, -0.024277216f, -0.035116564f, -0.017695159f,
    -0.003639226f, 0.1965439f,    0.6591155f,
};
constexpr float TableB[HalfTaps] = {
    -0.001659146f, -0.001523661f, -0.001665286f, -0.001570205f, -0.001626211f, -0.00161171f,
    -0.001806434f, -0.001802825f, -0.002043407f, -0.002228803f, -0.002561001f, -0.002660458f,
    -0.003153663f, -0.003290446f, -0.003699583f, -0.003773764f, -0.004426406f, -0.004363642f,
    -0.004915518f, -0.004964528f, -0.005616471f, -0.005474097f, -0.006231244f, -0.006297368f,
    -0.006795798f, -0.006776973f, -0.007592431f, -0.007587543f, -0.008140487f, -0.008506549f,
    -0.009509832f, -0.009443607f, -0.01078359f,  -0.011229859f, -0.012666662f, -0.01226195f,
    -0.015108444f, -0.014548287f, -0.01746185f,  -0.01703719f,  -0.022444375f, -0.019456651f,
    -0.025837433f, -0.024914552f, -0.03285184f,  -0.023375219f, -0.03862778f,  -0.021857603f,
    -0.015266382f, 0.18682593f,   0.6926921f,
};

template <typename T> T* AllocateStage(SIZE_T count)
{
    return static_cast<T*>(
        ExAllocatePoolWithTag(NonPagedPool, count * sizeof(T), STAGE_DSP_POOL_TAG));
}

template <typename T> void FreeStage(T*& p)
{
    if (p != nullptr)
    {
        ExFreePoolWithTag(p, STAGE_DSP_POOL_TAG);
        p = nullptr;
    }
}

void Zero(float* p, uint32_t count)
{
    DspZero32f(p, static_cast<int32_t>(count));
}

// Moves the count floats after the first skip ones to the front.
void ShiftDown(float* p, uint32_t skip, int32_t count)
{
    if (count > 0)
    {
        DspMove32f(p + skip, p, count);
    }
}

float LargestOf(float held, const float* ring, uint32_t count)
{
    for (uint32_t k = 0; k < count; ++k)
    {
        held = std::max(held, ring[k]);
    }
    return held;
}
} // namespace

CStageDspEngine::CStageDspEngine()
{
    std::memset(static_cast<void*>(this), 0, sizeof(*this));
    m_GainChanged = 1;
    m_Limit = 1.0f;
    for (uint32_t c = 0; c < MaxChannels; ++c)
    {
        m_Fast[c] = 1;
        m_CurrentGain[c] = 1.0f;
        m_TargetGain[c] = 1.0f;
        m_PreviousStaticGain[c] = 1.0f;
    }
}

int32_t CStageDspEngine::StageDspInit()
{
    if (m_Initialised)
    {
        return 1;
    }
    for (uint32_t c = 0; c < MaxChannels; ++c)
    {
        m_SideChain[c] = AllocateStage<float>(BlockFrames);
        if (m_SideChain[c] == nullptr)
        {
            return 0;
        }
    }
    int32_t stateBytes = 0;
    DspFirStateSize32f(SideChainTaps, &stateBytes);
    for (uint32_t c = 0; c < MaxChannels; ++c)
    {
        m_DelayLine[c] = AllocateStage<float>(SideChainTaps);
        m_StateBuffer[c] =
            m_DelayLine[c] ? AllocateStage<uint8_t>(static_cast<SIZE_T>(stateBytes)) : nullptr;
        m_InputStaging[c] = m_StateBuffer[c] ? AllocateStage<float>(StagingFrames) : nullptr;
        m_OutputStaging[c] = m_InputStaging[c] ? AllocateStage<float>(StagingFrames) : nullptr;
        if (m_OutputStaging[c] == nullptr)
        {
            return 0;
        }
    }
    m_Initialised = 1;
    StageDspConfigure(); // clears the histories and builds the filter states
    return 1;
}

void CStageDspEngine::StageDspFree()
{
    for (uint32_t c = 0; c < MaxChannels; ++c)
    {
        FreeStage(m_StateBuffer[c]);
        FreeStage(m_SideChain[c]);
        FreeStage(m_DelayLine[c]);
        FreeStage(m_InputStaging[c]);
        FreeStage(m_OutputStaging[c]);
        m_SideChainState[c] = nullptr;
    }
    m_Initialised = 0; // a later set-up allocates again instead of using freed buffers
}

void CStageDspEngine::StageDspSetMode(int32_t mode)
{
    m_Mode = mode;
    m_WarmUp = WarmUpBlocks;
    std::fill(std::begin(m_Fast), std::end(m_Fast), 1);
}

void CStageDspEngine::StageDspSetGain(float gain)
{
    std::fill(std::begin(m_StaticGain), std::end(m_StaticGain), gain);
    if (m_Mode == 0)
    {
        std::fill(std::begin(m_Fast), std::end(m_Fast), 1);
    }
    else
    {
        m_GainChanged = 1;
    }
}

void CStageDspEngine::StageDspSetLimit(float limit)
{
    m_Limit = limit;
}

void CStageDspEngine::StageDspSetFormat(const WAVEFORMATEXTENSIBLE& format)
{
    StageDspConfigure();
    m_Format = format;
    float taps[SideChainTaps];
    const float* half = (format.Format.nSamplesPerSec == TableARate) ? TableA : TableB;
    for (int32_t k = 0; k < HalfTaps; ++k)
    {
        taps[k] = half[k];
        taps[SideChainTaps - 1 - k] = half[k];
    }
    DspMulConst32f(taps, 2.0f, m_Taps, SideChainTaps);
    if (format.Format.nSamplesPerSec == TableARate)
    {
        m_Taps[0] = 1.0f;
    }
    BuildSideChains();
}

void CStageDspEngine::StageDspConfigure()
{
    if (!m_Initialised)
    {
        return;
    }
    for (uint32_t c = 0; c < MaxChannels; ++c)
    {
        m_Fast[c] = 1;
        Zero(m_SideChain[c], BlockFrames);
        Zero(m_DelayLine[c], SideChainTaps);
        Zero(m_InputStaging[c], StagingFrames);
        Zero(m_OutputStaging[c], StagingFrames);
        m_PreviousTarget[c] = ResetPreviousTarget;
        m_PreviousStaticGain[c] = m_StaticGain[c];
        m_HeldPeak[c] = 0.0f;
        m_HeldSideChainPeak[c] = 0.0f;
        Zero(m_PeakRing[c], RingBlocks);
        Zero(m_SideChainRing[c], RingBlocks);
    }
    m_InputFill = 0;
    m_RingIndex = 0;
    m_OutputFill = BlockFrames;
    m_WarmUp = WarmUpBlocks;
    BuildSideChains();
}

// The filter states copy their taps and history when built, so they are built
// again whenever either changes: with the rate's taps and a cleared history.
void CStageDspEngine::BuildSideChains()
{
    for (uint32_t c = 0; c < MaxChannels; ++c)
    {
        DspFirInit32f(&m_SideChainState[c], m_Taps, SideChainTaps, m_DelayLine[c],
                      m_StateBuffer[c]);
    }
}

uint32_t CStageDspEngine::Channels() const
{
    return std::min<uint32_t>(m_Format.Format.nChannels, MaxChannels);
}

void CStageDspEngine::StageDspProcess(float* const* channels, uint32_t frames)
{
    const uint32_t count = Channels();
    float* caller[MaxChannels];
    std::copy(channels, channels + count, caller);
    for (uint32_t done = 0; done < frames;)
    {
        const uint32_t n = std::min(frames - done, BlockFrames);
        for (uint32_t c = 0; c < count; ++c)
        {
            DspCopy32f(caller[c] + done, m_InputStaging[c] + m_InputFill, static_cast<int32_t>(n));
        }
        m_InputFill += static_cast<int32_t>(n);
        if (m_InputFill >= static_cast<int32_t>(BlockFrames))
        {
            StageDspRunBlock();
            m_InputFill -= BlockFrames;
            for (uint32_t c = 0; c < count; ++c)
            {
                DspCopy32f(m_InputStaging[c], m_OutputStaging[c] + m_OutputFill, BlockFrames);
                ShiftDown(m_InputStaging[c], BlockFrames, m_InputFill);
            }
            m_OutputFill += BlockFrames;
        }
        m_OutputFill -= static_cast<int32_t>(n);
        for (uint32_t c = 0; c < count; ++c)
        {
            DspCopy32f(m_OutputStaging[c], caller[c] + done, static_cast<int32_t>(n));
            ShiftDown(m_OutputStaging[c], n, m_OutputFill);
        }
        done += n;
    }
}

void CStageDspEngine::StageDspRunBlock()
{
    for (uint32_t c = 0; c < MaxChannels; ++c)
    {
        m_BlockChannels[c] = m_InputStaging[c];
    }
    if (m_Mode == 0)
    {
        StageDspDetectPeak();
    }
    else
    {
        StageDspDetectLoudness();
    }
    for (uint32_t c = 0; c < Channels(); ++c)
    {
        StageDspRamp(c);
    }
}

float CStageDspEngine::StageDspBlockPeak(const float* block, uint32_t length)
{
    float extremes[2];
    DspMax32f(block, static_cast<int32_t>(length), &extremes[0]);
    DspMin32f(block, static_cast<int32_t>(length), &extremes[1]);
    DspAbsInPlace32f(extremes, 2);
    return std::max(extremes[0], extremes[1]);
}

void CStageDspEngine::AdvanceRing()
{
    m_RingIndex = (m_RingIndex + 1 == RingBlocks) ? 0 : m_RingIndex + 1;
}

// The hold covers this block and the 19 before it. The slot at the ring index
// still holds the peak of 200 blocks ago and is left out, so a peak is held
// for 20 blocks and does not come back 200 blocks later.
void CStageDspEngine::StageDspDetectPeak()
{
    for (uint32_t c = 0; c < Channels(); ++c)
    {
        const float p = StageDspBlockPeak(m_BlockChannels[c], BlockFrames);
        float held = p;
        for (uint32_t d = 1; d < HoldBlocks; ++d)
        {
            held = std::max(held, m_PeakRing[c][(m_RingIndex + RingBlocks - d) % RingBlocks]);
        }
        m_HeldPeak[c] = held;
        m_PeakRing[c][m_RingIndex] = p;
        float target = (m_Limit < m_StaticGain[c] * held) ? m_Limit / held : m_StaticGain[c];
        target = (target < 0.0f) ? 0.0f : target;
        m_TargetGain[c] = target;
        m_PreviousTarget[c] = target;
    }
    AdvanceRing();
}

void CStageDspEngine::StageDspDetectLoudness()
{
    for (uint32_t c = 0; c < Channels(); ++c)
    {
        float r = 1.0f;
        if (m_GainChanged)
        {
            r = m_StaticGain[c] / m_PreviousStaticGain[c];
            m_PreviousStaticGain[c] = m_StaticGain[c];
        }
        r = (r < 0.0f) ? 1.0f : r;
        DspFirFilter32f(m_BlockChannels[c], m_SideChain[c], BlockFrames, m_SideChainState[c]);
        const float p = StageDspBlockPeak(m_BlockChannels[c], BlockFrames);
        const float q =
            (m_WarmUp == WarmUpBlocks) ? 0.0f : StageDspBlockPeak(m_SideChain[c], BlockFrames);
        m_HeldPeak[c] = LargestOf(p, m_PeakRing[c], RingBlocks);
        m_PeakRing[c][m_RingIndex] = p;
        m_HeldSideChainPeak[c] = LargestOf(q, m_SideChainRing[c], RingBlocks);
        m_SideChainRing[c][m_RingIndex] = q;
        const float gain = m_StaticGain[c];
        float target = gain * gain;
        if (m_HeldSideChainPeak[c] > 0.0f)
        {
            const float a = m_Limit / m_HeldPeak[c];
            float b = m_Limit * gain * gain / m_HeldSideChainPeak[c];
            DspSqrtInPlace32f(&b, 1);
            if (a < b)
            {
                target = a;
                m_Fast[c] |= (m_CurrentGain[c] > a) ? 1 : 0;
            }
            else
            {
                target = b;
                m_Fast[c] |= (m_PreviousTarget[c] / FastFallDivisor > b) ? 1 : 0;
            }
            target = std::min(target, MaxLevellerGain);
            if (r != 1.0f)
            {
                target = (r * m_CurrentGain[c] < target) ? r * m_CurrentGain[c] : target;
                m_Fast[c] = 1;
            }
        }
        m_Fast[c] |= (m_WarmUp > 0) ? 1 : 0;
        m_TargetGain[c] = target;
        m_PreviousTarget[c] = target;
    }
    AdvanceRing();
    m_WarmUp -= (m_WarmUp > 0) ? 1 : 0;
    m_GainChanged = 0;
}

void CStageDspEngine::StageDspRamp(uint32_t channel)
{
    float* x = m_BlockChannels[channel];
    float g = m_CurrentGain[channel];
    const float t = m_TargetGain[channel];
    const bool fast = m_Fast[channel] != 0;
    const float minStep = g * MinStepRatio;
    if (t > g)
    {
        const float divisor =
            fast ? float(BlockFrames) : (m_Mode == 0 ? LimiterRise : LevellerRise);
        const float step = std::max((t - g) / divisor, minStep);
        for (uint32_t i = 0; i < BlockFrames; ++i)
        {
            x[i] *= g;
            g = (g < t) ? g + step : t;
        }
    }
    else if (t < g)
    {
        const float fall =
            (m_Mode != 0 && !fast) ? (g - t) * LevellerFall : (g - t) / float(BlockFrames);
        const float step = std::max(fall, minStep);
        for (uint32_t i = 0; i < BlockFrames; ++i)
        {
            x[i] *= g;
            g = (g > t) ? g - step : t;
        }
    }
    else if (!(g == 1.0f && t == 1.0f))
    {
        DspMulConstInPlace32f(g, x, BlockFrames);
    }
    m_CurrentGain[channel] = g;
    m_Fast[channel] = 0;
}
