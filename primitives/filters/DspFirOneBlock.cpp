// Four outputs side by side: lane j of every vector belongs to output j, so
// the sum of each output is still the level-0 one, product by product. The
// windows of four neighbouring outputs start one or two samples apart, which
// two overlapping loads and a lane mask serve; the taps of four rows meet in
// a transpose of four loads.
#include "primitives/filters/DspFirOneBlock.h"

#include <emmintrin.h>

namespace
{
// The level-0 sum of one output.
float Single(const float* w, const float* taps, int32_t n)
{
    double sum = 0.0;
    for (int32_t k = 0; k < n; ++k)
    {
        const float product = taps[n - 1 - k] * w[k];
        sum += static_cast<double>(product);
    }
    return static_cast<float>(sum);
}

struct Accumulator
{
    __m128d low = _mm_setzero_pd();  // outputs 0 and 1
    __m128d high = _mm_setzero_pd(); // outputs 2 and 3
    void Add(__m128 taps, __m128 window)
    {
        const __m128 product = _mm_mul_ps(taps, window);
        low = _mm_add_pd(low, _mm_cvtps_pd(product));
        high = _mm_add_pd(high, _mm_cvtps_pd(_mm_movehl_ps(product, product)));
    }
    __m128 Result() const { return _mm_movelh_ps(_mm_cvtpd_ps(low), _mm_cvtpd_ps(high)); }
};

// Lane j reads x[base + j + k], or x[base + j + 1 + k] where its mask is set
// (only with Late: most groups have windows exactly one sample apart).
template <bool Late> __m128 Window(const float* x, __m128 mask, int32_t k)
{
    const __m128 early = _mm_loadu_ps(x + k);
    if constexpr (!Late)
    {
        return early;
    }
    const __m128 late = _mm_loadu_ps(x + k + 1);
    return _mm_or_ps(_mm_and_ps(mask, late), _mm_andnot_ps(mask, early));
}

template <bool Late>
void Group(const float* x, __m128 mask, const float* const* rows, int32_t n, float* dst)
{
    Accumulator acc;
    int32_t k = 0;
    for (; k + 4 <= n; k += 4)
    {
        // Four taps of each row, last first: t3 holds taps[n - 1 - k].
        __m128 t0 = _mm_loadu_ps(rows[0] + n - 4 - k);
        __m128 t1 = _mm_loadu_ps(rows[1] + n - 4 - k);
        __m128 t2 = _mm_loadu_ps(rows[2] + n - 4 - k);
        __m128 t3 = _mm_loadu_ps(rows[3] + n - 4 - k);
        _MM_TRANSPOSE4_PS(t0, t1, t2, t3);
        acc.Add(t3, Window<Late>(x, mask, k));
        acc.Add(t2, Window<Late>(x, mask, k + 1));
        acc.Add(t1, Window<Late>(x, mask, k + 2));
        acc.Add(t0, Window<Late>(x, mask, k + 3));
    }
    for (; k < n; ++k)
    {
        const int32_t t = n - 1 - k;
        acc.Add(_mm_setr_ps(rows[0][t], rows[1][t], rows[2][t], rows[3][t]),
                Window<Late>(x, mask, k));
    }
    _mm_storeu_ps(dst, acc.Result());
}

// The base the four windows can share: each starts at base + j or one later.
// Returns false for windows further apart, which go one at a time.
bool SharedBase(const int32_t* starts, int32_t* base, __m128* mask, bool* late)
{
    const __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(starts));
    // d[j] = starts[j] - starts[0] - j: 0 or 1 after starts[0], 0 or -1 before it.
    const __m128i d =
        _mm_sub_epi32(_mm_sub_epi32(s, _mm_set1_epi32(starts[0])), _mm_setr_epi32(0, 1, 2, 3));
    const __m128i same = _mm_cmpeq_epi32(d, _mm_setzero_si128());
    const __m128i after = _mm_cmpeq_epi32(d, _mm_set1_epi32(1));
    const __m128i before = _mm_cmpeq_epi32(d, _mm_set1_epi32(-1));
    const auto all = [](__m128i m) { return _mm_movemask_ps(_mm_castsi128_ps(m)) == 15; };
    if (all(_mm_or_si128(same, after)))
    {
        *base = starts[0];
        *mask = _mm_castsi128_ps(after);
    }
    else if (all(_mm_or_si128(same, before)))
    {
        *base = starts[0] - 1;
        *mask = _mm_castsi128_ps(same);
    }
    else
    {
        return false;
    }
    *late = _mm_movemask_ps(*mask) != 0;
    return true;
}
// Four outputs side by side where their windows allow it, else one at a time;
// the first `keep` of them are stored.
void FourOrSingles(const float* x, int32_t xLen, const int32_t* starts, const float* const* rows,
                   int32_t n, float* dst, int32_t keep)
{
    int32_t base = 0;
    __m128 mask;
    bool late = false;
    // The loads of a group reach x[base + n + 3], whichever lanes they serve.
    if (SharedBase(starts, &base, &mask, &late) && base >= 0 && base + n + 4 <= xLen)
    {
        float four[4];
        (late ? Group<true> : Group<false>)(x + base, mask, rows, n, keep == 4 ? dst : four);
        for (int32_t q = 0; keep < 4 && q < keep; ++q)
        {
            dst[q] = four[q];
        }
        return;
    }
    for (int32_t q = 0; q < keep; ++q)
    {
        dst[q] = Single(x + starts[q], rows[q], n);
    }
}
// The checks both entries make, in their order, with one branch-free pass
// over the windows and rows.
DspStatus CheckWindows(const float* x, int32_t xLen, const int32_t* starts,
                       const float* const* rows, int32_t n, bool dstNull, int32_t count)
{
    if (x == nullptr || starts == nullptr || rows == nullptr || dstNull)
    {
        return DspStsNullPtrErr;
    }
    if (n < 1)
    {
        return DspStsFirLenErr;
    }
    if (count < 1)
    {
        return DspStsSizeErr;
    }
    int32_t lowest = starts[0];
    int32_t highest = starts[0];
    bool nullRow = false;
    for (int32_t j = 0; j < count; ++j)
    {
        lowest = starts[j] < lowest ? starts[j] : lowest;
        highest = starts[j] > highest ? starts[j] : highest;
        nullRow = nullRow || rows[j] == nullptr;
    }
    if (nullRow)
    {
        return DspStsNullPtrErr;
    }
    if (lowest < 0 || highest > xLen - n)
    {
        return DspStsSizeErr;
    }
    return DspStsNoErr;
}

// Four outputs of four streams: lane q of every vector is stream q, so each
// lane is one output's own double sum, product by product in row order; the
// four outputs keep eight sums in flight. out[i] holds output i's lanes.
void QuadFour(const float* x, const int32_t* starts, const float* const* rows, int32_t n,
              __m128 (&out)[4])
{
    // Named sums and pointers, so that all eight sums stay in registers.
    Accumulator a0, a1, a2, a3;
    const float* w0 = x + 4 * starts[0];
    const float* w1 = x + 4 * starts[1];
    const float* w2 = x + 4 * starts[2];
    const float* w3 = x + 4 * starts[3];
    const float* r0 = rows[0] + n - 1;
    const float* r1 = rows[1] + n - 1;
    const float* r2 = rows[2] + n - 1;
    const float* r3 = rows[3] + n - 1;
    for (int32_t k = 0; k < n; ++k)
    {
        a0.Add(_mm_set1_ps(r0[-k]), _mm_loadu_ps(w0 + 4 * k));
        a1.Add(_mm_set1_ps(r1[-k]), _mm_loadu_ps(w1 + 4 * k));
        a2.Add(_mm_set1_ps(r2[-k]), _mm_loadu_ps(w2 + 4 * k));
        a3.Add(_mm_set1_ps(r3[-k]), _mm_loadu_ps(w3 + 4 * k));
    }
    out[0] = a0.Result();
    out[1] = a1.Result();
    out[2] = a2.Result();
    out[3] = a3.Result();
}
} // namespace

DspStatus DspFirOneSampleBlock32f(const float* x, int32_t xLen, const int32_t* starts,
                                  const float* const* rows, int32_t n, float* dst, int32_t count)
{
    const DspStatus status = CheckWindows(x, xLen, starts, rows, n, dst == nullptr, count);
    if (status != DspStsNoErr)
    {
        return status;
    }
    int32_t j = 0;
    for (; j + 4 <= count; j += 4)
    {
        FourOrSingles(x, xLen, starts + j, rows + j, n, dst + j, 4);
    }
    if (j < count)
    {
        // The last outputs fill a group with lanes that follow the last one
        // a sample apart on its row; only the real lanes are kept.
        const int32_t real = count - j;
        int32_t padStarts[4];
        const float* padRows[4];
        for (int32_t q = 0; q < 4; ++q)
        {
            const int32_t from = q < real ? q : real - 1;
            padStarts[q] = starts[j + from] + (q - from);
            padRows[q] = rows[j + from];
        }
        FourOrSingles(x, xLen, padStarts, padRows, n, dst + j, real);
    }
    return DspStsNoErr;
}

DspStatus DspFirOneSampleQuad32f(const float* x, int32_t xLen, const int32_t* starts,
                                 const float* const* rows, int32_t n, float* const* dst,
                                 int32_t count)
{
    const bool dstNull = dst == nullptr || dst[0] == nullptr || dst[1] == nullptr ||
                         dst[2] == nullptr || dst[3] == nullptr;
    const DspStatus status = CheckWindows(x, xLen, starts, rows, n, dstNull, count);
    if (status != DspStsNoErr)
    {
        return status;
    }
    int32_t j = 0;
    __m128 out[4];
    for (; j + 4 <= count; j += 4)
    {
        QuadFour(x, starts + j, rows + j, n, out);
        // Output-major to stream-major: row q of the transpose is stream q.
        _MM_TRANSPOSE4_PS(out[0], out[1], out[2], out[3]);
        for (int q = 0; q < 4; ++q)
        {
            _mm_storeu_ps(dst[q] + j, out[q]);
        }
    }
    if (j < count)
    {
        // The last outputs repeat the last one to fill the four; only the
        // real ones are stored.
        const int32_t real = count - j;
        int32_t padStarts[4];
        const float* padRows[4];
        for (int32_t i = 0; i < 4; ++i)
        {
            padStarts[i] = starts[j + (i < real ? i : real - 1)];
            padRows[i] = rows[j + (i < real ? i : real - 1)];
        }
        QuadFour(x, padStarts, padRows, n, out);
        float lanes[4][4];
        for (int32_t i = 0; i < real; ++i)
        {
            _mm_storeu_ps(lanes[i], out[i]);
            for (int q = 0; q < 4; ++q)
            {
                dst[q][j + i] = lanes[i][q];
            }
        }
    }
    return DspStsNoErr;
}
