// The network keeps each signal it delays in a window of its own: the four
// lines (their written values, L + m frames back), the sparse filters' inputs
// (2n frames back) and the output filters' nine signals (two frames back),
// each window holding its history and then room for one block. Every line is
// longer than a block, so a block's reads of the lines only see values that
// earlier blocks wrote; the sparse filters read no nearer than two frames
// back and the output filters take the current values from the block. So a
// block runs stage by stage, each stage over all its frames four at a time,
// every lane doing one frame's operations in the scalar order. Only the four
// sections recur frame by frame; they run as the four lanes of one vector,
// with the line writes and the outputs interleaved.
// Each window slides back over its history once per block (the lines once
// per LineSlack frames), never per frame or per read.
#include "effects/DelayFxEngine.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstring>

#include "effects/DelayFxRateRecords.h"
#include "globaltopo/common/SampleGuards.h"
#include "primitives/dsp.h"

namespace
{
constexpr int32_t Lines = CDelayFxEngine::Lines;
constexpr int32_t BlockFrames = CDelayFxEngine::BlockFrames;
constexpr int32_t SparseFilters = 7;
constexpr int32_t SparseGroup = 32; // frames per pass: eight sums in flight
constexpr int32_t Lanes = 4;
constexpr uint32_t MaxChannelsMinusOne = 7;
constexpr int32_t CoefficientWords = 36; // q2..q9, the section, q15..q37
constexpr int32_t SectionState = 4 * Lanes;
static_assert(BlockFrames % SparseGroup == 0);

// The signals the output filters delay, in the order of the scratch rows.
enum Signal
{
    Ml,
    CC,
    U1,
    U2,
    UBL,
    UBR,
    U3,
    U4,
    Ms,
    Signals
};
// Left and right output filters: the mix first, then the four side signals.
constexpr Signal OutputTerms[2][5] = {{Ml, CC, U1, UBL, U3}, {Ms, CC, U2, UBR, U4}};
constexpr int32_t OutputHistory = 2;

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
constexpr int32_t MaxReadTaps = 4;

constexpr float Top = 0.99998474f;    // 1 - 2^-16: rounds to full scale
constexpr float TopStep = 0.9999695f; // 32767/32768

// Coefficients of a record and the windows of the memory, found once per call.
struct Network
{
    int32_t taps;
    int32_t lineLength[Lines];
    const float* lineWeights[Lines];
    float* line[Lines];  // window start; the history is L + m cells
    const float* q;      // q[k - 2]: q2..q9, b0 b1 b2 a1 a2, q15..q37
    float* sectionState; // past inputs (two) and outputs (two), a lane each
    int32_t sparseTaps[SparseFilters];
    const float* sparseWeights[SparseFilters]; // each weight in four lanes
    float* sparse[SparseFilters];              // 2n frames of history, then the block
    const float* mid;
    const float* side;
    const float* z;       // z[k - 16]: output filters z16..z45, feedback z46..z64
    float* past[Signals]; // two frames of history, then the block
};

int32_t Whole(float word)
{
    return static_cast<int32_t>(word);
}

int32_t RoundUp(int32_t frames, int32_t multiple)
{
    return (frames + multiple - 1) / multiple * multiple;
}

// The record's words from the first sparse filter's tap count on.
const float* SparseFilterWords(int32_t rateIndex)
{
    return DelayFxRateRecords[rateIndex] + Lines * (1 + ReadTaps[rateIndex]) + CoefficientWords;
}

Network Describe(int32_t rateIndex, float* memory, const float* sparseWeights)
{
    Network net{};
    const float* p = DelayFxRateRecords[rateIndex];
    net.taps = ReadTaps[rateIndex];
    for (int32_t k = 0; k < Lines; ++k)
    {
        net.lineLength[k] = Whole(p[0]);
        net.lineWeights[k] = p + 1;
        net.line[k] = memory;
        memory += net.lineLength[k] + net.taps + CDelayFxEngine::LineSlack;
        p += 1 + net.taps;
    }
    net.q = p;
    p = SparseFilterWords(rateIndex);
    net.sectionState = memory;
    memory += SectionState;
    for (int32_t k = 0; k < SparseFilters; ++k)
    {
        net.sparseTaps[k] = Whole(p[0]);
        net.sparseWeights[k] = sparseWeights;
        sparseWeights += Lanes * net.sparseTaps[k];
        net.sparse[k] = memory;
        memory += RoundUp(2 * net.sparseTaps[k], Lanes) + BlockFrames;
        p += 1 + net.sparseTaps[k];
    }
    net.mid = p;
    net.side = p + SparseFilters;
    net.z = p + 2 * SparseFilters;
    for (float*& window : net.past)
    {
        window = memory;
        memory += Lanes + BlockFrames;
    }
    return net;
}

__m128 Splat(float value)
{
    return _mm_set1_ps(value);
}

// Coefficients in all four lanes, spread once per stage: a stage's stores
// could otherwise alias the record, and each use would read it again.
template <int32_t N> struct Spread
{
    explicit Spread(const float* w)
    {
        for (int32_t i = 0; i < N; ++i)
        {
            v[i] = Splat(w[i]);
        }
    }
    __m128 operator[](int32_t i) const { return v[i]; }
    __m128 v[N];
};

// a x b + c x d, in that order.
__m128 Pair(__m128 a, __m128 b, __m128 c, __m128 d)
{
    return _mm_add_ps(_mm_mul_ps(a, b), _mm_mul_ps(c, d));
}

// Four frames' network outputs in full scale, each rounded as
// DelayFxRoundToStep rounds one. Clamped at the top step first, the sum never
// reaches the step above it; the truncated word is 65536 plus the step.
[[gnu::always_inline]] inline __m128 RoundToStep(__m128 value)
{
    __m128 v = _mm_and_ps(_mm_cmpord_ps(value, value), value); // a NaN leaves as silence
    v = _mm_min_ps(v, Splat(TopStep));
    // Not a clamp at -1: just below -Top the sum would round up a step.
    const __m128 low = _mm_cmplt_ps(v, Splat(-Top));
    v = _mm_or_ps(_mm_and_ps(low, Splat(-1.0f)), _mm_andnot_ps(low, v));
    const __m128i t = _mm_cvttps_epi32(_mm_add_ps(Splat(65536.5f), _mm_mul_ps(Splat(32768.0f), v)));
    return _mm_sub_ps(_mm_mul_ps(_mm_cvtepi32_ps(t), Splat(1.0f / 32768.0f)), Splat(2.0f));
}

// The window of a line: its history, then this block's frames.
float* LineNow(const Network& net, const int32_t* fill, int32_t k)
{
    return net.line[k] + net.lineLength[k] + net.taps + fill[k];
}

// Slides a line's window back over its history when a block would not fit.
void MakeRoomInLines(const Network& net, int32_t* fill)
{
    for (int32_t k = 0; k < Lines; ++k)
    {
        if (fill[k] + BlockFrames > CDelayFxEngine::LineSlack)
        {
            std::memmove(net.line[k], net.line[k] + fill[k],
                         sizeof(float) * static_cast<size_t>(net.lineLength[k] + net.taps));
            fill[k] = 0;
        }
    }
}

// Silence for the channels the layout does not read.
constexpr float Silence[BlockFrames] = {};

// Where a block's channels are read: the caller's buffers for whole vectors,
// a copy padded with silence for the part vector at the end.
struct ChannelRows
{
    const float* row[8];
    int32_t whole; // frames in whole vectors
};

ChannelRows FindChannels(float* const* in, int32_t first, int32_t frames, int32_t channels,
                         CDelayFxEngine::BlockScratch& s)
{
    ChannelRows rows{};
    rows.whole = frames / Lanes * Lanes;
    for (int32_t c = 0; c < 8; ++c)
    {
        rows.row[c] = (c < channels) ? in[c] + first : Silence;
        std::fill(s.tail[c], s.tail[c] + Lanes, 0.0f);
        std::copy(rows.row[c] + rows.whole, rows.row[c] + frames, s.tail[c]);
    }
    return rows;
}

// Dk for every frame: weight 0 first, then each further tap in order.
template <int32_t Taps>
void ReadLinesOf(const Network& net, const int32_t* fill, int32_t padded,
                 CDelayFxEngine::BlockScratch& s)
{
    for (int32_t k = 0; k < Lines; ++k)
    {
        const Spread<Taps> w(net.lineWeights[k]);
        const float* first = LineNow(net, fill, k) - net.lineLength[k] - 1;
        for (int32_t n = 0; n < padded; n += Lanes)
        {
            __m128 acc = _mm_mul_ps(w[0], _mm_loadu_ps(first + n));
#pragma GCC unroll 3
            for (int32_t j = 1; j < Taps; ++j)
            {
                acc = _mm_add_ps(acc, _mm_mul_ps(w[j], _mm_loadu_ps(first + n - j)));
            }
            _mm_storeu_ps(s.reads[k] + n, acc);
        }
    }
}

// By taps per read (m): 2, 3 or 4.
constexpr void (*ReadLines[MaxReadTaps + 1])(const Network&, const int32_t*, int32_t,
                                             CDelayFxEngine::BlockScratch&) = {
    nullptr, nullptr, ReadLinesOf<2>, ReadLinesOf<3>, ReadLinesOf<4>};

// Feeds (turned to one lane per section), the side signals and the sparse
// filters' inputs, from the channels with non-finite samples as 0; what is
// delayed is kept without denormals.
void SideSignals(const Network& net, const ChannelRows& rows, int32_t frames,
                 CDelayFxEngine::BlockScratch& s)
{
    const Spread<CoefficientWords> spread(net.q);
    auto q = [&spread](int32_t k) { return spread[k - 2]; };
    float* sparseNow[SparseFilters];
    float* pastNow[Signals];
    for (int32_t k = 0; k < SparseFilters; ++k)
    {
        sparseNow[k] = net.sparse[k] + 2 * net.sparseTaps[k];
    }
    for (int32_t k = 0; k < Signals; ++k)
    {
        pastNow[k] = net.past[k] + OutputHistory;
    }
    auto step = [&](int32_t n, auto channel)
    {
        auto at = [n](const float* row) { return _mm_loadu_ps(row + n); };
        const __m128 c3 = channel(3), c = channel(2);
        const __m128 lt = _mm_add_ps(channel(0), c3), rt = _mm_add_ps(channel(1), c3);
        const __m128 sl = channel(4), sr = channel(5), bl = channel(6), br = channel(7);
        __m128 f0 = Pair(q(2), rt, q(3), sr), f1 = Pair(q(4), lt, q(5), sl);
        __m128 f2 = Pair(q(6), bl, q(7), c), f3 = Pair(q(8), br, q(9), c);
        _MM_TRANSPOSE4_PS(f0, f1, f2, f3);
        _mm_storeu_ps(s.feeds[n], f0);
        _mm_storeu_ps(s.feeds[n + 1], f1);
        _mm_storeu_ps(s.feeds[n + 2], f2);
        _mm_storeu_ps(s.feeds[n + 3], f3);
        __m128 sig[Signals];
        sig[CC] = _mm_mul_ps(q(15), c);
        sig[U1] = Pair(q(16), lt, q(17), at(s.reads[3]));
        sig[U2] = Pair(q(18), rt, q(19), at(s.reads[0]));
        sig[UBL] = _mm_mul_ps(q(20), bl);
        sig[UBR] = _mm_mul_ps(q(21), br);
        sig[U3] = Pair(q(22), sl, q(23), at(s.reads[1]));
        sig[U4] = Pair(q(24), sr, q(25), at(s.reads[2]));
        const __m128 x[SparseFilters] = {
            sig[CC],
            Pair(q(26), sig[U1], q(27), sig[U2]),
            Pair(q(28), sig[U1], q(29), sig[U2]),
            Pair(q(30), sig[UBL], q(31), sig[UBR]),
            Pair(q(32), sig[UBL], q(33), sig[UBR]),
            Pair(q(34), sig[U3], q(35), sig[U4]),
            Pair(q(36), sig[U3], q(37), sig[U4]),
        };
#pragma GCC unroll 7
        for (int32_t k = 0; k < SparseFilters; ++k)
        {
            _mm_storeu_ps(sparseNow[k] + n, NormalOrZero(x[k]));
        }
#pragma GCC unroll 7
        for (int32_t k = CC; k <= U4; ++k)
        {
            _mm_storeu_ps(s.now[k] + n, sig[k]);
            _mm_storeu_ps(pastNow[k] + n, NormalOrZero(sig[k]));
        }
    };
    for (int32_t n = 0; n < rows.whole; n += Lanes)
    {
        step(n, [&](int32_t c) { return FiniteOrZero(_mm_loadu_ps(rows.row[c] + n)); });
    }
    if (rows.whole < frames)
    {
        step(rows.whole, [&](int32_t c) { return FiniteOrZero(_mm_loadu_ps(s.tail[c])); });
    }
}

// The four second-order sections, one per lane, frame after frame:
// y = 2 (b0 f + b1 f[-1] + b2 f[-2] + a1 y[-1] + a2 y[-2]). The chain of
// dependent frames leaves most of the processor idle, so every four frames
// the work that does not wait on it runs in its shadow: the line sums
// sk = yk + Dk through the feedback rows into the lines, and the shadow given
// (the outputs of those frames).
template <typename Shadow>
void RunSections(const Network& net, const int32_t* fill, int32_t frames,
                 const CDelayFxEngine::BlockScratch& s, Shadow shadow)
{
    const Spread<5> b(net.q + 8); // b0 b1 b2 a1 a2, halved
    const __m128 two = Splat(2.0f);
    // Four rows of four, each followed by a spacing.
    const Spread<5 * Lines> rows(net.z + (46 - 16));
    float* lineNow[Lines];
    for (int32_t k = 0; k < Lines; ++k)
    {
        lineNow[k] = LineNow(net, fill, k);
    }
    float* state = net.sectionState;
    __m128 f1 = _mm_loadu_ps(state), f2 = _mm_loadu_ps(state + 4);
    __m128 y1 = _mm_loadu_ps(state + 8), y2 = _mm_loadu_ps(state + 12);
    auto section = [&](int32_t n)
    {
        const __m128 f = _mm_loadu_ps(s.feeds[n]);
        __m128 sum = _mm_add_ps(_mm_mul_ps(b[0], f), _mm_mul_ps(b[1], f1));
        sum = _mm_add_ps(sum, _mm_mul_ps(b[2], f2));
        sum = _mm_add_ps(sum, _mm_mul_ps(b[3], y1));
        sum = _mm_add_ps(sum, _mm_mul_ps(b[4], y2));
        const __m128 y = _mm_mul_ps(two, sum);
        f2 = f1;
        f1 = NormalOrZero(f);
        y2 = y1;
        y1 = NormalOrZero(y);
        return y;
    };
    auto writeLines = [&](int32_t n, __m128* sum)
    {
        _MM_TRANSPOSE4_PS(sum[0], sum[1], sum[2], sum[3]);
#pragma GCC unroll 4
        for (int32_t k = 0; k < Lines; ++k)
        {
            sum[k] = _mm_add_ps(sum[k], _mm_loadu_ps(s.reads[k] + n));
        }
#pragma GCC unroll 4
        for (int32_t k = 0; k < Lines; ++k)
        {
            __m128 w = _mm_mul_ps(rows[5 * k], sum[0]);
#pragma GCC unroll 3
            for (int32_t j = 1; j < Lines; ++j)
            {
                w = _mm_add_ps(w, _mm_mul_ps(rows[5 * k + j], sum[j]));
            }
            _mm_storeu_ps(lineNow[k] + n, FiniteNormalOrZero(w));
        }
    };
    int32_t n = 0;
    for (; n + Lanes <= frames; n += Lanes)
    {
        __m128 sum[Lanes];
#pragma GCC unroll 4
        for (int32_t i = 0; i < Lanes; ++i)
        {
            sum[i] = section(n + i);
        }
        writeLines(n, sum);
        shadow(n);
    }
    if (n < frames)
    {
        __m128 sum[Lanes] = {};
        for (int32_t i = 0; n + i < frames; ++i)
        {
            sum[i] = section(n + i);
        }
        writeLines(n, sum);
        shadow(n);
    }
    // An overflow (two channels near the float range summed) would stay in
    // the sections and the lines for good: they keep only finite values, the
    // sections from one block to the next.
    _mm_storeu_ps(state, FiniteOrZero(f1));
    _mm_storeu_ps(state + 4, FiniteOrZero(f2));
    _mm_storeu_ps(state + 8, FiniteOrZero(y1));
    _mm_storeu_ps(state + 12, FiniteOrZero(y2));
}

// Each filter over 32 frames at a time, eight vectors of sums side by side;
// every sum adds its taps in order.
void RunSparseFilters(const Network& net, int32_t padded, CDelayFxEngine::BlockScratch& s)
{
    for (int32_t k = 0; k < SparseFilters; ++k)
    {
        const float* w = net.sparseWeights[k];
        const float* nearest = net.sparse[k] + 2 * net.sparseTaps[k] - 2;
        for (int32_t g = 0; g < padded; g += SparseGroup)
        {
            __m128 acc[SparseGroup / Lanes];
#pragma GCC unroll 8
            for (int32_t v = 0; v < SparseGroup / Lanes; ++v)
            {
                acc[v] = _mm_mul_ps(_mm_loadu_ps(w), _mm_loadu_ps(nearest + g + Lanes * v));
            }
            auto tap = [&](int32_t j)
            {
                const __m128 weight = _mm_loadu_ps(w + Lanes * j);
                // Opaque to the compiler, which would otherwise carry loads
                // over to the taps two further on, in more registers than
                // there are.
                const float* x = nearest + g - 2 * j;
                asm("" : "+r"(x));
#pragma GCC unroll 8
                for (int32_t v = 0; v < SparseGroup / Lanes; ++v)
                {
                    acc[v] = _mm_add_ps(acc[v], _mm_mul_ps(weight, _mm_loadu_ps(x + Lanes * v)));
                }
            };
            int32_t j = 1;
            for (; j + 1 < net.sparseTaps[k]; j += 2) // two taps a pass: half the loop's own work
            {
                tap(j);
                tap(j + 1);
            }
            if (j < net.sparseTaps[k])
            {
                tap(j);
            }
#pragma GCC unroll 8
            for (int32_t v = 0; v < SparseGroup / Lanes; ++v)
            {
                _mm_storeu_ps(s.filtered[k] + g + Lanes * v, acc[v]);
            }
        }
    }
}

// The mid and side mixes of the filters (in filter order), then left and
// right: per term, z on the current value, then on one and two frames back;
// rounded to a 16-bit step. Four frames a call.
class Outputs
{
  public:
    Outputs(const Network& net, CDelayFxEngine::BlockScratch& s, float* const* to, int32_t frames)
        : m_Mid(net.mid), m_Side(net.side), m_Z(net.z), m_S(s), m_To{to[0], to[1]}, m_Frames(frames)
    {
        for (int32_t o = 0; o < 2; ++o)
        {
            for (int32_t t = 0; t < Terms; ++t)
            {
                m_Now[o][t] = s.now[OutputTerms[o][t]];
                m_Past[o][t] = net.past[OutputTerms[o][t]] + OutputHistory;
            }
            m_Kept[o] = _mm_loadh_pi(_mm_setzero_ps(),
                                     reinterpret_cast<const __m64*>(m_Past[o][0] - OutputHistory));
        }
    }

    [[gnu::always_inline]] void operator()(int32_t n)
    {
        __m128 mix[2];
        Mix(n, mix);
        __m128 v[2];
#pragma GCC unroll 2
        for (int32_t o = 0; o < 2; ++o)
        {
            // The mix's past from registers: just stored, a load across
            // two stores would wait for both.
            const __m128 kept = NormalOrZero(mix[o]);
            _mm_storeu_ps(m_Past[o][0] + n, kept);
            const __m128 back2 = _mm_shuffle_ps(m_Kept[o], kept, _MM_SHUFFLE(1, 0, 3, 2));
            const __m128 back1 = _mm_shuffle_ps(back2, kept, _MM_SHUFFLE(2, 1, 2, 1));
            m_Kept[o] = kept;
            const int32_t at = 3 * Terms * o;
            v[o] = _mm_add_ps(_mm_mul_ps(m_Z[at], mix[o]), _mm_mul_ps(m_Z[at + 1], back1));
            v[o] = _mm_add_ps(v[o], _mm_mul_ps(m_Z[at + 2], back2));
        }
#pragma GCC unroll 4
        for (int32_t t = 1; t < Terms; ++t)
        {
#pragma GCC unroll 2
            for (int32_t o = 0; o < 2; ++o)
            {
                const int32_t at = 3 * Terms * o + 3 * t;
                v[o] = _mm_add_ps(v[o], _mm_mul_ps(m_Z[at], _mm_loadu_ps(m_Now[o][t] + n)));
                v[o] =
                    _mm_add_ps(v[o], _mm_mul_ps(m_Z[at + 1], _mm_loadu_ps(m_Past[o][t] + n - 1)));
                v[o] =
                    _mm_add_ps(v[o], _mm_mul_ps(m_Z[at + 2], _mm_loadu_ps(m_Past[o][t] + n - 2)));
            }
        }
#pragma GCC unroll 2
        for (int32_t o = 0; o < 2; ++o)
        {
            Store(o, n, RoundToStep(v[o]));
        }
    }

  private:
    static constexpr int32_t Terms = 5;

    // Whole vectors straight to the caller; the part vector at the end
    // through the scratch row.
    void Store(int32_t o, int32_t n, __m128 steps)
    {
        if (n + Lanes <= m_Frames)
        {
            _mm_storeu_ps(m_To[o] + n, steps);
            return;
        }
        _mm_storeu_ps(m_S.out[o], steps);
        std::copy(m_S.out[o], m_S.out[o] + (m_Frames - n), m_To[o] + n);
    }

    void Mix(int32_t n, __m128* mix) const
    {
        __m128 filtered = _mm_loadu_ps(m_S.filtered[0] + n);
        __m128 ml = _mm_mul_ps(m_Mid[0], filtered), ms = _mm_mul_ps(m_Side[0], filtered);
#pragma GCC unroll 6
        for (int32_t k = 1; k < SparseFilters; ++k)
        {
            filtered = _mm_loadu_ps(m_S.filtered[k] + n);
            ml = _mm_add_ps(ml, _mm_mul_ps(m_Mid[k], filtered));
            ms = _mm_add_ps(ms, _mm_mul_ps(m_Side[k], filtered));
        }
        mix[0] = ml;
        mix[1] = ms;
    }

    Spread<SparseFilters> m_Mid, m_Side;
    Spread<6 * Terms> m_Z;
    CDelayFxEngine::BlockScratch& m_S;
    float* m_To[2]; // the caller's output channels at the block
    int32_t m_Frames;
    const float* m_Now[2][Terms]; // the mixes' rows unused: they stay in registers
    float* m_Past[2][Terms];
    __m128 m_Kept[2]; // the mixes of the last four frames, without denormals
};

// The short windows keep only their history for the next block: copied
// forward four cells at a time (to a lower address, so never over cells still
// to be read), the last vector running into the block's room.
void KeepHistories(const Network& net, int32_t frames)
{
    auto keep = [frames](float* window, int32_t history)
    {
        for (int32_t i = 0; i < history; i += Lanes)
        {
            _mm_storeu_ps(window + i, _mm_loadu_ps(window + frames + i));
        }
    };
    for (int32_t k = 0; k < SparseFilters; ++k)
    {
        keep(net.sparse[k], 2 * net.sparseTaps[k]);
    }
    for (float* window : net.past)
    {
        keep(window, OutputHistory);
    }
}

// Frames [first, first + frames) of the caller's channels, at most a block.
void RunBlock(const Network& net, int32_t* fill, float* const* in, float* const* out, int32_t first,
              int32_t frames, int32_t channels, CDelayFxEngine::BlockScratch& s)
{
    const int32_t padded = RoundUp(frames, Lanes);
    MakeRoomInLines(net, fill);
    const ChannelRows rows = FindChannels(in, first, frames, channels, s);
    ReadLines[net.taps](net, fill, padded, s);
    SideSignals(net, rows, frames, s);
    RunSparseFilters(net, RoundUp(frames, SparseGroup), s);
    float* const to[2] = {out[0] + first, out[1] + first};
    RunSections(net, fill, frames, s, Outputs(net, s, to, frames));
    KeepHistories(net, frames);
    for (int32_t k = 0; k < Lines; ++k)
    {
        fill[k] += frames;
    }
}

// Channels read per frame by the stream's layout: 6 or 8; any other count
// feeds the network silence.
int32_t ChannelsRead(uint32_t channelsMinusOne)
{
    return (channelsMinusOne == 5 || channelsMinusOne == 7) ? int32_t(channelsMinusOne) + 1 : 0;
}
} // namespace

float DelayFxRoundToStep(float value)
{
    return _mm_cvtss_f32(RoundToStep(_mm_set1_ps(value)));
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
    Adopt();
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
    std::fill(m_LineFill, m_LineFill + Lines, 0);
    DspZero32f(m_Memory, MemoryCells);
    // The sparse filters' weights spread to four lanes once per rate, not
    // once per tap of every pass.
    const float* p = SparseFilterWords(m_RateIndex);
    float* to = m_SparseWeights;
    for (int32_t k = 0; k < SparseFilters; ++k, p += 1 + Whole(*p))
    {
        for (int32_t j = 0; j < Whole(*p); ++j, to += Lanes)
        {
            _mm_storeu_ps(to, Splat(p[1 + j]));
        }
    }
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
    const Network net = Describe(m_RateIndex, m_Memory, m_SparseWeights);
    const int32_t channels = ChannelsRead(m_ChannelsMinusOne);
    for (int32_t done = 0; done < frames; done += BlockFrames)
    {
        RunBlock(net, m_LineFill, inputs, outputs, done, std::min(frames - done, BlockFrames),
                 channels, m_Block);
    }
}
