// The network runs in one circular memory: every delay is a fixed depth below
// the position, which advances one cell per frame, so a value written at depth
// d is found at depth d + k after k frames. The regions, from the top:
//   - the four delay lines, each read at m consecutive depths; lines 2 to 4
//     are written into the cell that the line before them reads last, line 1
//     into the last cell of the memory, so each line's signal travels down to
//     its reads untouched;
//   - four second-order sections of six cells (input, two inputs back, output
//     written two down, a zero four down);
//   - seven sparse filters, each writing its input at its first cell and
//     reading every second cell below it;
//   - the left and right output regions of eleven cells sharing one cell.
#include "effects/DelayFxEngine.h"

#include <algorithm>

#include "effects/DelayFxRateRecords.h"
#include "globaltopo/common/SampleGuards.h"
#include "primitives/dsp.h"

namespace
{
constexpr int32_t Lines = 4;
constexpr int32_t SparseFilters = 7;
constexpr int32_t SectionCells = 6;
constexpr int32_t OutputCells = 10; // to the first cell of the next region
constexpr uint32_t MaxChannelsMinusOne = 7;
constexpr int32_t CoefficientWords = 36; // q2..q9, the section, q15..q37
constexpr int32_t SpacingZ[Lines - 1] = {50, 55, 60};

// Taps per delay read by rate index; 0 where no record is.
constexpr int32_t ReadTaps[DelayFxRateSlots] = {2, 2, 3, 0, 0, 0, 0, 0, 0,
                                                0, 0, 0, 0, 0, 0, 0, 4, 4};

struct RateIndexEntry
{
    int32_t sampleRate;
    int32_t index;
};
constexpr RateIndexEntry RateIndexes[] = {
    {48000, 0}, {44100, 1}, {32000, 2}, {96000, 16}, {88200, 17},
};
constexpr int32_t OtherRateIndex = 1;

// Depths and coefficients of a record, read once per call.
struct Network
{
    int32_t cells;
    int32_t taps;
    int32_t lineDepth[Lines];
    const float* lineWeights[Lines];
    const float* q; // q[k - 2]: q2..q9, b0 b1 b2 a1 a2, q15..q37
    int32_t sectionDepth;
    int32_t sparseTaps[SparseFilters];
    int32_t maxSparseTaps;
    int32_t sparseDepth[SparseFilters];
    const float* sparseWeights[SparseFilters];
    const float* mid;
    const float* side;
    const float* z; // z[k - 16]: output filters z16..z45, feedback z46..z64
    int32_t outputDepth;
    int32_t writeDepth[Lines];
};

int32_t Whole(float word)
{
    return static_cast<int32_t>(word);
}

Network Describe(int32_t rateIndex, int32_t cells)
{
    Network net{};
    const float* p = DelayFxRateRecords[rateIndex];
    net.cells = cells;
    net.taps = ReadTaps[rateIndex];
    int32_t depth = 0;
    for (int32_t k = 0; k < Lines; ++k)
    {
        depth += Whole(p[0]);
        net.lineDepth[k] = depth;
        net.lineWeights[k] = p + 1;
        depth += net.taps;
        p += 1 + net.taps;
    }
    net.q = p;
    p += CoefficientWords;
    net.sectionDepth = depth;
    depth += Lines * SectionCells;
    for (int32_t k = 0; k < SparseFilters; ++k)
    {
        net.sparseTaps[k] = Whole(p[0]);
        net.maxSparseTaps = std::max(net.maxSparseTaps, net.sparseTaps[k]);
        net.sparseWeights[k] = p + 1;
        net.sparseDepth[k] = depth;
        depth += 2 * net.sparseTaps[k] + 1;
        p += 1 + net.sparseTaps[k];
    }
    net.outputDepth = depth;
    net.mid = p;
    net.side = p + SparseFilters;
    net.z = p + 2 * SparseFilters;
    net.writeDepth[0] = cells - 1;
    for (int32_t k = 1; k < Lines; ++k)
    {
        net.writeDepth[k] = (net.writeDepth[k - 1] + Whole(net.z[SpacingZ[k - 1] - 16])) % cells;
    }
    return net;
}

// The seven network inputs of one frame, at the samples' own scale.
struct FrameInputs
{
    float lt, rt, c, sl, sr, bl, br;
};

enum class Layout
{
    Silent,
    Six,
    Eight
};

template <Layout L> FrameInputs ReadInputs(float* const* in, int32_t n)
{
    if constexpr (L == Layout::Silent)
    {
        return {};
    }
    else
    {
        auto at = [&](int32_t c) { return FiniteOrZero(in[c][n]); };
        FrameInputs x{at(0) + at(3), at(1) + at(3), at(2), at(4), at(5), 0.0f, 0.0f};
        if constexpr (L == Layout::Eight)
        {
            x.bl = at(6);
            x.br = at(7);
        }
        return x;
    }
}

// The cells of one frame: depth d is d cells below the frame's base.
class Cells
{
  public:
    Cells(float* memory, int32_t cells, int32_t base)
        : m_Memory(memory), m_Cells(cells), m_Base(base)
    {
    }
    float& operator[](int32_t depth) const
    {
        int32_t i = m_Base - depth;
        i += (i < 0) ? m_Cells : 0;
        return m_Memory[i];
    }
    // Memory never keeps a denormal: the network's feedback would otherwise
    // cycle through them for as long as the input is silent.
    void Store(int32_t depth, float value) const { (*this)[depth] = NormalOrZero(value); }

  private:
    float* m_Memory;
    int32_t m_Cells;
    int32_t m_Base;
};

// The seven filters walk their taps side by side, so their sums proceed in
// parallel; each still adds its products in tap order.
void RunSparseFilters(const Network& net, const Cells& cell, float* out)
{
    float acc[SparseFilters];
#pragma GCC unroll 7
    for (int32_t k = 0; k < SparseFilters; ++k)
    {
        acc[k] = net.sparseWeights[k][0] * cell[net.sparseDepth[k] + 2];
    }
    for (int32_t j = 1; j < net.maxSparseTaps; ++j)
    {
#pragma GCC unroll 7
        for (int32_t k = 0; k < SparseFilters; ++k)
        {
            if (j < net.sparseTaps[k])
            {
                acc[k] = acc[k] + net.sparseWeights[k][j] * cell[net.sparseDepth[k] + 2 + 2 * j];
            }
        }
    }
    std::copy(acc, acc + SparseFilters, out);
}

float Mix(const float* weights, const float* filtered)
{
    float v = weights[0] * filtered[0];
    for (int32_t k = 1; k < SparseFilters; ++k)
    {
        v = v + weights[k] * filtered[k];
    }
    return v;
}

float Dot4(const float* row, const float* s)
{
    return row[0] * s[0] + row[1] * s[1] + row[2] * s[2] + row[3] * s[3];
}

// One output: z[0..2] on the mix, then z[3..14] on the current and two past
// values of the four side signals, whose pasts sit at cells 1 to 10 below.
float OutputFilter(const float* z, float mix, const float* current, const Cells& cell, int32_t at)
{
    float v = z[0] * mix + z[1] * cell[at + 1] + z[2] * cell[at + 2];
    for (int32_t k = 0; k < 4; ++k)
    {
        v = v + z[3 + 3 * k] * current[k] + z[4 + 3 * k] * cell[at + 3 + 2 * k] +
            z[5 + 3 * k] * cell[at + 4 + 2 * k];
    }
    return v;
}

void WriteOutputRegion(const Cells& cell, int32_t at, float mix, const float* current)
{
    cell.Store(at, mix);
    for (int32_t k = 0; k < 4; ++k)
    {
        cell.Store(at + 2 + 2 * k, current[k]);
    }
}

void RunFrame(const Network& net, const Cells& cell, const FrameInputs& x, float* left,
              float* right)
{
    const float* q = net.q - 2;
    float d[Lines];
    for (int32_t k = 0; k < Lines; ++k)
    {
        const float* w = net.lineWeights[k];
        float acc = w[0] * cell[net.lineDepth[k]];
        for (int32_t j = 1; j < net.taps; ++j)
        {
            acc = acc + w[j] * cell[net.lineDepth[k] + j];
        }
        d[k] = acc;
    }
    const float feed[Lines] = {q[2] * x.rt + q[3] * x.sr, q[4] * x.lt + q[5] * x.sl,
                               q[6] * x.bl + q[7] * x.c, q[8] * x.br + q[9] * x.c};
    const float* b = q + 10; // b0 b1 b2 a1 a2, halved
    float s[Lines];
    for (int32_t k = 0; k < Lines; ++k)
    {
        const int32_t at = net.sectionDepth + SectionCells * k;
        const float y = 2.0f * (b[0] * feed[k] + b[1] * cell[at + 1] + b[2] * cell[at + 2] +
                                b[3] * cell[at + 3] + b[4] * cell[at + 4]);
        cell.Store(at, feed[k]);
        cell.Store(at + 2, y);
        cell[at + 4] = 0.0f;
        s[k] = y + d[k];
    }
    const float cC = q[15] * x.c;
    const float u1 = q[16] * x.lt + q[17] * d[3];
    const float u2 = q[18] * x.rt + q[19] * d[0];
    const float uBL = q[20] * x.bl;
    const float uBR = q[21] * x.br;
    const float u3 = q[22] * x.sl + q[23] * d[1];
    const float u4 = q[24] * x.sr + q[25] * d[2];
    const float sparseIn[SparseFilters] = {
        cC,
        q[26] * u1 + q[27] * u2,
        q[28] * u1 + q[29] * u2,
        q[30] * uBL + q[31] * uBR,
        q[32] * uBL + q[33] * uBR,
        q[34] * u3 + q[35] * u4,
        q[36] * u3 + q[37] * u4,
    };
    float sparseOut[SparseFilters];
    RunSparseFilters(net, cell, sparseOut);
    for (int32_t k = 0; k < SparseFilters; ++k)
    {
        cell.Store(net.sparseDepth[k], sparseIn[k]);
    }
    const float ml = Mix(net.mid, sparseOut);
    const float ms = Mix(net.side, sparseOut);
    const float leftSide[4] = {cC, u1, uBL, u3};
    const float rightSide[4] = {cC, u2, uBR, u4};
    const int32_t l = net.outputDepth;
    const int32_t r = l + OutputCells;
    *left = DelayFxRoundToStep(OutputFilter(net.z, ml, leftSide, cell, l));
    WriteOutputRegion(cell, l, ml, leftSide);
    *right = DelayFxRoundToStep(OutputFilter(net.z + 15, ms, rightSide, cell, r));
    WriteOutputRegion(cell, r, ms, rightSide);
    const float* rows = net.z + (46 - 16);
    for (int32_t k = 0; k < Lines; ++k)
    {
        cell.Store(net.writeDepth[k], Dot4(rows + 5 * k, s));
    }
}

template <Layout L>
int32_t RunFrames(const Network& net, float* memory, int32_t base, float* const* in,
                  float* const* out, int32_t frames)
{
    for (int32_t n = 0; n < frames; ++n)
    {
        const FrameInputs x = ReadInputs<L>(in, n);
        RunFrame(net, Cells(memory, net.cells, base), x, out[0] + n, out[1] + n);
        base = (base + 1 == net.cells) ? 0 : base + 1;
    }
    return base;
}
} // namespace

float DelayFxRoundToStep(float value)
{
    constexpr float Top = 0.99998474f;    // 1 - 2^-16: rounds to full scale
    constexpr float TopStep = 0.9999695f; // 32767/32768
    constexpr int32_t Offset = 65536;     // keeps the sum positive for the truncation
    constexpr int32_t TopWord = Offset + 32767;
    float v = (value >= Top) ? TopStep : value;
    v = (v < -Top) ? -1.0f : v;
    v = (v == v) ? v : 0.0f; // a NaN leaves as silence, as the integer conversion would make it
    // The float sum can round just below the top up to the next step, which
    // the 16-bit reduction would wrap to -1.0: the largest step is kept.
    const int32_t t = std::min(static_cast<int32_t>(65536.5f + 32768.0f * v), TopWord);
    return static_cast<float>(static_cast<int16_t>(static_cast<uint16_t>(t))) * (1.0f / 32768.0f);
}

int32_t DelayFxRateIndex(int32_t sampleRate)
{
    for (const RateIndexEntry& e : RateIndexes)
    {
        if (e.sampleRate == sampleRate)
        {
            return e.index;
        }
    }
    return OtherRateIndex;
}

void CDelayFxEngine::DelayFxReset()
{
    m_RateIndex = 0;
    m_ChannelsMinusOne = 0;
    m_PendingRateIndex = 0;
    m_PendingChannelsMinusOne = 0;
    m_MemoryLength = DelayFxMemoryLengths[0];
    m_MemoryStart = m_Memory;
    m_Position = m_Memory;
    DspZero32f(m_Memory, m_MemoryLength);
}

void CDelayFxEngine::DelayFxSetRate(int32_t sampleRate, uint32_t channelsMinusOne)
{
    m_PendingRateIndex = DelayFxRateIndex(sampleRate);
    m_PendingChannelsMinusOne = channelsMinusOne;
}

int32_t CDelayFxEngine::DelayFxPendingValid() const
{
    const bool record = m_PendingRateIndex >= 0 && m_PendingRateIndex < DelayFxRateSlots &&
                        DelayFxRateRecords[m_PendingRateIndex] != nullptr;
    return (record && m_PendingChannelsMinusOne <= MaxChannelsMinusOne) ? 1 : 0;
}

void CDelayFxEngine::Adopt()
{
    m_RateIndex = m_PendingRateIndex;
    m_ChannelsMinusOne = m_PendingChannelsMinusOne;
    m_MemoryLength = DelayFxMemoryLengths[m_RateIndex];
    m_Position = m_MemoryStart;
    DspZero32f(m_MemoryStart, m_MemoryLength);
}

void CDelayFxEngine::RevertPending()
{
    m_PendingRateIndex = m_RateIndex;
    m_PendingChannelsMinusOne = m_ChannelsMinusOne;
}

void CDelayFxEngine::DelayFxApplyPending()
{
    if (DelayFxPendingValid())
    {
        Adopt();
        return;
    }
    RevertPending();
}

// Memory length, position and rate index change together or not at all: an
// invalid pending setting is dropped and the current one is silenced again.
void CDelayFxEngine::DelayFxClear()
{
    if (!DelayFxPendingValid())
    {
        RevertPending();
    }
    Adopt();
}

void CDelayFxEngine::DelayFxProcess(float* const* inputs, float* const* outputs, int32_t frames)
{
    if (m_PendingRateIndex != m_RateIndex || m_PendingChannelsMinusOne != m_ChannelsMinusOne)
    {
        DelayFxApplyPending();
    }
    const Network net = Describe(m_RateIndex, m_MemoryLength);
    auto base = static_cast<int32_t>(m_Position - m_MemoryStart);
    switch (m_ChannelsMinusOne)
    {
    case 5:
        base = RunFrames<Layout::Six>(net, m_MemoryStart, base, inputs, outputs, frames);
        break;
    case 7:
        base = RunFrames<Layout::Eight>(net, m_MemoryStart, base, inputs, outputs, frames);
        break;
    default:
        base = RunFrames<Layout::Silent>(net, m_MemoryStart, base, inputs, outputs, frames);
        break;
    }
    m_Position = m_MemoryStart + base;
}
