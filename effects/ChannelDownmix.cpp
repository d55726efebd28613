// Narrowing runs frame by frame in single precision, each output sample from
// the input samples of its own frame; the surround weights come from the plain
// flag, halved where two surround channels feed each side.
#include "effects/ChannelDownmix.h"

#include "primitives/dsp.h"

namespace
{
constexpr float CentreWeight = 0.707f;
constexpr float AverageWeight = 0.5f;
constexpr uint32_t MaxChannels = 8;

// Same-side (a) and cross-side (b) surround weights, and the same weights with
// the sign the left side takes them with (minus in the matrix fold).
struct SurroundWeights
{
    float a, b, leftA, leftB;
};

SurroundWeights WeightsFor(uint8_t plain, bool halved)
{
    const float scale = halved ? 0.5f : 1.0f;
    const float a = (plain ? 1.0f : 0.871f) * scale;
    const float b = (plain ? 0.0f : 0.49f) * scale;
    return plain ? SurroundWeights{a, b, a, b} : SurroundWeights{a, b, -a, -b};
}

struct Pair
{
    float left, right;
};

using Fold = Pair (*)(float* const* c, uint32_t i, const SurroundWeights& w);

// The rear pair always enters with the matrix signs.
Pair Fold4(float* const* c, uint32_t i, const SurroundWeights& w)
{
    return {c[0][i] - (w.a * c[2][i] + w.b * c[3][i]), c[1][i] + w.b * c[2][i] + w.a * c[3][i]};
}

Pair Fold6(float* const* c, uint32_t i, const SurroundWeights& w)
{
    const float centre = CentreWeight * (c[2][i] + c[3][i]);
    return {c[0][i] + centre + w.leftA * c[4][i] + w.leftB * c[5][i],
            c[1][i] + centre + w.b * c[4][i] + w.a * c[5][i]};
}

Pair Fold8(float* const* c, uint32_t i, const SurroundWeights& w)
{
    const float centre = CentreWeight * (c[2][i] + c[3][i]);
    const float leftRear = c[4][i] + c[6][i];
    const float rightRear = c[5][i] + c[7][i];
    return {c[0][i] + centre + w.leftA * leftRear + w.leftB * rightRear,
            c[1][i] + centre + w.b * leftRear + w.a * rightRear};
}

template <Fold F> void ToStereo(float* const* c, uint32_t frames, const SurroundWeights& w)
{
    for (uint32_t i = 0; i < frames; ++i)
    {
        const Pair p = F(c, i, w);
        c[0][i] = p.left;
        c[1][i] = p.right;
    }
}

template <Fold F> void ToMono(float* const* c, uint32_t frames, const SurroundWeights& w)
{
    for (uint32_t i = 0; i < frames; ++i)
    {
        const Pair p = F(c, i, w);
        c[0][i] = AverageWeight * (p.left + p.right);
        c[1][i] = p.right;
    }
}

void StereoToMono(float* const* c, uint32_t frames, const SurroundWeights&)
{
    for (uint32_t i = 0; i < frames; ++i)
    {
        c[0][i] = AverageWeight * (c[0][i] + c[1][i]);
    }
}

// Fronts plus the centre and low-frequency pair.
void FoldCentre(float* const* c, uint32_t i)
{
    const float centre = CentreWeight * (c[2][i] + c[3][i]);
    c[0][i] = c[0][i] + centre;
    c[1][i] = c[1][i] + centre;
}

// Back and side pairs into one rear pair at (left, right), unhalved weights.
void FoldRears(float* const* c, uint32_t i, const SurroundWeights& w, uint32_t left, uint32_t right)
{
    const float c4 = c[4][i], c5 = c[5][i];
    c[left][i] = w.a * c4 + c[6][i] + w.b * c5;
    c[right][i] = w.b * c4 + c[7][i] + w.a * c5;
}

void SixToFour(float* const* c, uint32_t frames, const SurroundWeights&)
{
    for (uint32_t i = 0; i < frames; ++i)
    {
        FoldCentre(c, i);
    }
    DspCopy32f(c[4], c[2], static_cast<int32_t>(frames));
    DspCopy32f(c[5], c[3], static_cast<int32_t>(frames));
}

void EightToFour(float* const* c, uint32_t frames, const SurroundWeights& w)
{
    for (uint32_t i = 0; i < frames; ++i)
    {
        FoldCentre(c, i);
        FoldRears(c, i, w, 2, 3);
    }
}

void EightToSix(float* const* c, uint32_t frames, const SurroundWeights& w)
{
    for (uint32_t i = 0; i < frames; ++i)
    {
        FoldRears(c, i, w, 4, 5);
    }
}

struct Narrowing
{
    uint32_t inputs;
    uint32_t outputs;
    bool halved;
    void (*run)(float* const* c, uint32_t frames, const SurroundWeights& w);
};

constexpr Narrowing Narrowings[] = {
    {2, 1, false, StereoToMono},    {4, 2, false, ToStereo<Fold4>}, {4, 1, false, ToMono<Fold4>},
    {6, 2, false, ToStereo<Fold6>}, {6, 1, false, ToMono<Fold6>},   {6, 4, false, SixToFour},
    {8, 2, true, ToStereo<Fold8>},  {8, 1, true, ToMono<Fold8>},    {8, 4, false, EightToFour},
    {8, 6, false, EightToSix},
};

void Fill(float* const* c, uint32_t first, uint32_t end, uint32_t frames)
{
    for (uint32_t k = first; k < end; ++k)
    {
        DspSet32f(ChannelDownmixFill, c[k], static_cast<int32_t>(frames));
    }
}

// The rear pair moves behind the new centre and low-frequency positions.
void WidenFour(float* const* c, uint32_t outputs, uint32_t frames)
{
    DspCopy32f(c[2], c[4], static_cast<int32_t>(frames));
    DspCopy32f(c[3], c[5], static_cast<int32_t>(frames));
    Fill(c, 2, 4, frames);
    Fill(c, 6, outputs, frames);
}

void WidenStereo(float* const* c, uint32_t outputs, uint32_t frames)
{
    Fill(c, 2, outputs, frames);
}

void WidenSix(float* const* c, uint32_t outputs, uint32_t frames)
{
    Fill(c, 6, outputs, frames);
}

struct Widening
{
    uint32_t inputs;
    void (*run)(float* const* c, uint32_t outputs, uint32_t frames);
};

constexpr Widening Widenings[] = {{2, WidenStereo}, {4, WidenFour}, {6, WidenSix}};
} // namespace

void ChannelDownmix(float* const* channels, uint32_t inputChannels, uint32_t outputChannels,
                    uint32_t frames, uint8_t plain)
{
    if (inputChannels == outputChannels || frames == 0)
    {
        return;
    }
    if (inputChannels > outputChannels)
    {
        for (const Narrowing& n : Narrowings)
        {
            if (n.inputs == inputChannels && n.outputs == outputChannels)
            {
                n.run(channels, frames, WeightsFor(plain, n.halved));
                return;
            }
        }
        return;
    }
    if (outputChannels > MaxChannels)
    {
        return;
    }
    for (const Widening& w : Widenings)
    {
        if (w.inputs == inputChannels)
        {
            w.run(channels, outputChannels, frames);
            return;
        }
    }
}
