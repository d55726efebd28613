#include "primitives/fft/DspFftComplex.h"

#include <cstring>

#include "primitives/fft/DspFftCoreBridge.h"
#include "primitives/fft/DspFftSse2.h"
#include "primitives/fft/DspFftRadix4Sizes.h"

namespace
{
// A point moves as one 64-bit word: the permutation never looks at values.
inline void SwapPoints(float* d, int64_t a, int64_t b)
{
    uint64_t x, y;
    memcpy(&x, d + 2 * a, sizeof(x));
    memcpy(&y, d + 2 * b, sizeof(y));
    memcpy(d + 2 * a, &y, sizeof(y));
    memcpy(d + 2 * b, &x, sizeof(x));
}

inline void CopyPoint(const float* src, int64_t from, float* dst, int64_t to)
{
    memcpy(dst + 2 * to, src + 2 * from, 2 * sizeof(float));
}

#if !defined(__SSE2__)
// The plain loops: the path of builds without SSE2.
// out = a * w, or a * conj(w) in the inverse direction.
template <bool Inv>
inline void MulTw(float ar, float ai, float wr, float wi, float* outR, float* outI)
{
    if (Inv)
    {
        wi = -wi;
    }
    *outR = ar * wr - ai * wi;
    *outI = ar * wi + ai * wr;
}

constexpr int32_t Log2(int64_t n)
{
    int32_t m = 0;
    while ((int64_t{1} << m) < n)
    {
        ++m;
    }
    return m;
}

// Radix-4 butterfly of one k across the four quarters, P1..P3 already
// multiplied by their twiddles.
template <bool Inv>
inline void Butterfly4(float* q0, float* q1, float* q2, float* q3, float p1r, float p1i, float p2r,
                       float p2i, float p3r, float p3i)
{
    const float p0r = q0[0];
    const float p0i = q0[1];
    const float sr = p0r + p1r;
    const float si = p0i + p1i;
    const float dr = p0r - p1r;
    const float di = p0i - p1i;
    const float tr = p2r + p3r;
    const float ti = p2i + p3i;
    const float ur = p2r - p3r;
    const float ui = p2i - p3i;
    // -j*(u) forward, +j*(u) inverse
    const float rr = Inv ? -ui : ui;
    const float ri = Inv ? ur : -ur;
    q0[0] = sr + tr;
    q0[1] = si + ti;
    q1[0] = dr + rr;
    q1[1] = di + ri;
    q2[0] = sr - tr;
    q2[1] = si - ti;
    q3[0] = dr - rr;
    q3[1] = di - ri;
}

// One instance per transform size, so every pass has constant bounds and
// strides the compiler can unroll.
template <bool Inv, int32_t n> void Radix4Sized(float* d, const float* tw)
{
    for (int32_t g = 0; g < n; g += 4)
    {
        float* p = d + 2 * g;
        Butterfly4<Inv>(p, p + 2, p + 4, p + 6, p[2], p[3], p[4], p[5], p[6], p[7]);
    }
    constexpr int32_t m = Log2(n);
    if (m & 1)
    {
        const float wr = tw[6 * (n / 8)];
        const float wi = tw[6 * (n / 8) + 1];
        for (int32_t g = 0; g < n; g += 8)
        {
            float* p = d + 2 * g;
            float t[8];
            t[0] = p[8];
            t[1] = p[9];
            MulTw<Inv>(p[10], p[11], wr, wi, &t[2], &t[3]);
            // -j forward, +j inverse
            t[4] = Inv ? -p[13] : p[13];
            t[5] = Inv ? p[12] : -p[12];
            MulTw<Inv>(p[14], p[15], -wr, wi, &t[6], &t[7]);
            for (int32_t k = 0; k < 8; ++k)
            {
                const float a = p[k];
                p[k] = a + t[k];
                p[k + 8] = a - t[k];
            }
        }
    }
    for (int32_t span = (m & 1) ? 32 : 16; span <= n; span *= 4)
    {
        const int32_t quarter = span / 4;
        const int32_t stride = n / span;
        for (int32_t b = 0; b < n; b += span)
        {
            float* q0 = d + 2 * b;
            float* q1 = q0 + 2 * quarter;
            float* q2 = q1 + 2 * quarter;
            float* q3 = q2 + 2 * quarter;
            Butterfly4<Inv>(q0, q1, q2, q3, q1[0], q1[1], q2[0], q2[1], q3[0], q3[1]);
            for (int32_t k = 1; k < quarter; ++k)
            {
                const float* w = tw + 6 * k * stride;
                float p1r, p1i, p2r, p2i, p3r, p3i;
                MulTw<Inv>(q1[2 * k], q1[2 * k + 1], w[2], w[3], &p1r, &p1i);
                MulTw<Inv>(q2[2 * k], q2[2 * k + 1], w[0], w[1], &p2r, &p2i);
                MulTw<Inv>(q3[2 * k], q3[2 * k + 1], w[4], w[5], &p3r, &p3i);
                Butterfly4<Inv>(q0 + 2 * k, q1 + 2 * k, q2 + 2 * k, q3 + 2 * k, p1r, p1i, p2r, p2i,
                                p3r, p3i);
            }
        }
    }
}

template <bool Inv> void Radix4(float* d, int32_t n, const float* tw)
{
    DspFftForRadix4Size(n, [&](auto size) { Radix4Sized<Inv, decltype(size)::value>(d, tw); });
}

template <bool Inv> inline void Butterfly2(float* a, float* d, float wr, float wi)
{
    float tr, ti;
    MulTw<Inv>(d[0], d[1], wr, wi, &tr, &ti);
    const float ar = a[0];
    const float ai = a[1];
    a[0] = ar + tr;
    a[1] = ai + ti;
    d[0] = ar - tr;
    d[1] = ai - ti;
}

template <bool Inv>
void Radix2Passes(float* d, int32_t n, int32_t blockPoints, const float* table, int32_t chunkFloats)
{
    if (n / blockPoints < 2)
    {
        return;
    }
    const int32_t chunk = chunkFloats / 2;
    for (int32_t span = blockPoints; span < n; span *= 2)
    {
        const int32_t step = n / (2 * span);
        const int32_t half = span / 2;
        for (int32_t k0 = 0; k0 < half; k0 += chunk)
        {
            for (int32_t base = 0; base < n; base += 2 * span)
            {
                float* a = d + 2 * base;
                float* b = a + 2 * span;
                for (int32_t k = k0; k < k0 + chunk; ++k)
                {
                    const float* w = table + 2 * k * step;
                    Butterfly2<Inv>(a + 2 * k, b + 2 * k, w[0], w[1]);
                }
                // W_2B(k + B/2) = -j * W_2B(k)
                for (int32_t k = k0; k < k0 + chunk; ++k)
                {
                    const float* w = table + 2 * k * step;
                    Butterfly2<Inv>(a + 2 * (k + half), b + 2 * (k + half), w[1], -w[0]);
                }
            }
        }
    }
}

// Columns four at a time: cross twiddles, then an R-point transform of each
// gathered column. Rows sit in bit-reversed order, so the gathered columns
// are already in the order the radix-4 passes expect.
template <bool Inv>
void Columns(float* d, int32_t rows, int32_t cols, const float* cross, const float* columnTw,
             float* work)
{
    float* v[4];
    for (int32_t i = 0; i < 4; ++i)
    {
        v[i] = work + 2 * static_cast<int64_t>(i) * rows;
    }
    for (int32_t g = 0; g < cols; g += 4)
    {
        for (int32_t r = 0; r < rows; ++r)
        {
            const float* src = d + 2 * (static_cast<int64_t>(r) * cols + g);
            for (int32_t i = 0; i < 4; ++i)
            {
                MulTw<Inv>(src[2 * i], src[2 * i + 1], cross[2 * i], cross[2 * i + 1], &v[i][2 * r],
                           &v[i][2 * r + 1]);
            }
            cross += 8;
        }
        for (int32_t i = 0; i < 4; ++i)
        {
            Radix4<Inv>(v[i], rows, columnTw);
        }
        for (int32_t r = 0; r < rows; ++r)
        {
            float* dst = d + 2 * (static_cast<int64_t>(r) * cols + g);
            for (int32_t i = 0; i < 4; ++i)
            {
                dst[2 * i] = v[i][2 * r];
                dst[2 * i + 1] = v[i][2 * r + 1];
            }
        }
    }
}
#else
// Two independent points per register; the same roundings as the loops above.
template <bool Inv> void Radix4(float* d, int32_t n, const float* tw)
{
    DspFftSse2::Radix4<Inv>(d, n, tw);
}

template <bool Inv>
void Radix2Passes(float* d, int32_t n, int32_t blockPoints, const float* table, int32_t chunkFloats)
{
    DspFftSse2::Radix2Passes<Inv>(d, n, blockPoints, table, chunkFloats);
}

template <bool Inv>
void Columns(float* d, int32_t rows, int32_t cols, const float* cross, const float* columnTw,
             float* work)
{
    DspFftSse2::Columns<Inv>(d, rows, cols, cross, columnTw, work);
}
#endif

template <bool Inv> void ScaleIfAsked(const DspFftSpecR32f* spec, float* data, int64_t floats)
{
    if ((Inv ? spec->inverseScaled : spec->forwardScaled) == 1)
    {
        DspFftCore::MulConstInPlace(spec->scale, data, static_cast<int32_t>(floats));
    }
}

// 1024-point blocks joined by radix-2 passes (complex orders 11 and 12, and
// rows of that size inside the recursive scheme).
template <bool Inv> void BlockScheme(const DspFftSpecR32f* spec, float* d, int32_t n)
{
    constexpr int32_t block = 1024;
    const int32_t chunk = n < 16384 ? n : 16384;
    for (int32_t c0 = 0; c0 < n; c0 += chunk)
    {
        float* cd = d + 2 * static_cast<int64_t>(c0);
        for (int32_t blk = chunk / block - 1; blk >= 0; --blk)
        {
            float* bd = cd + 2 * static_cast<int64_t>(blk) * block;
            Radix4<Inv>(bd, block, spec->radix4Twiddles);
            ScaleIfAsked<Inv>(spec, bd, 2 * block);
        }
        Radix2Passes<Inv>(cd, chunk, block, spec->joinTwiddles, 256);
    }
}

template <bool Inv>
void LargeStep(const DspFftSpecR32f* spec, float* d, int32_t q, int32_t depth, uint8_t* work)
{
    const int32_t b = DspFftBlockOrderTable[q];
    const int32_t rows = 1 << b;
    const int32_t c = q - b;
    const int32_t cols = 1 << c;

    for (int32_t r = 0; r < rows; ++r)
    {
        float* row = d + 2 * static_cast<int64_t>(r) * cols;
        if (c < 11)
        {
            Radix4<Inv>(row, cols, spec->radix4Twiddles);
            ScaleIfAsked<Inv>(spec, row, 2 * static_cast<int64_t>(cols));
        }
        else if (DspFftBlockOrderTable[c] != 0)
        {
            LargeStep<Inv>(spec, row, c, depth + 1, work);
        }
        else
        {
            BlockScheme<Inv>(spec, row, cols);
        }
    }

    Columns<Inv>(d, rows, cols, spec->crossTwiddles[depth], spec->columnTwiddles[depth],
                 reinterpret_cast<float*>(work));
}

uint32_t Reverse(uint32_t v, int32_t bits)
{
    uint32_t r = 0;
    for (int32_t i = 0; i < bits; ++i)
    {
        r |= ((v >> i) & 1u) << (bits - 1 - i);
    }
    return r;
}

// In-place bit reversal of 2^m points (m >= 7) by tiles: index k = a * 2^(m-3)
// + mid * 8 + c goes to rev(c) * 2^(m-3) + rev(mid) * 8 + rev(a), so the 8 x 8
// points of middle value mid and those of rev(mid) trade places through a
// small buffer, and every cache line is read and written once, where the
// swap-list walk lands each pair's second half on lines all over the array.
void BitRevInPlaceTiled(float* d, int32_t m)
{
    constexpr int32_t rev3[8] = {0, 4, 2, 6, 1, 5, 3, 7};
    const int32_t midBits = m - 6;
    const int64_t rowPoints = int64_t{1} << (m - 3);
    uint64_t tiles[2][8][8];
    for (uint32_t mid = 0; mid < (1u << midBits); ++mid)
    {
        const uint32_t rm = Reverse(mid, midBits);
        if (rm < mid)
        {
            continue;
        }
        const uint32_t at[2] = {mid, rm};
        const int32_t count = rm == mid ? 1 : 2; // a tile of its own turns in place
        for (int32_t t = 0; t < count; ++t)
        {
            for (int32_t a = 0; a < 8; ++a)
            {
                memcpy(tiles[t][a], d + 2 * (a * rowPoints + at[t] * 8), sizeof(tiles[t][a]));
            }
        }
        for (int32_t t = 0; t < count; ++t)
        {
            const uint64_t(&from)[8][8] = tiles[t];
            for (int32_t c = 0; c < 8; ++c)
            {
                uint64_t row[8];
                for (int32_t a = 0; a < 8; ++a)
                {
                    row[rev3[a]] = from[a][c];
                }
                memcpy(d + 2 * (rev3[c] * rowPoints + at[1 - t] * 8), row, sizeof(row));
            }
        }
    }
}

// The permuting copy fused with the row transforms of depth 0. Row r of the
// permuted data holds, at column col, the source point rev_c(col) * R +
// rev_b(r); the eight rows whose rev_b are neighbours therefore take the
// eight points of one source line each, every source line is read once, and
// the rows are transformed while they are still in the first-level cache.
// The points land where the swap-list permutation puts them, and each row
// then sees exactly the operations of the separate passes.
template <bool Inv>
void PermuteAndTransformRows(const DspFftSpecR32f* spec, const float* src, float* d, int32_t b,
                             int32_t c)
{
    const int32_t rows = 1 << b;
    const int32_t cols = 1 << c;
    for (int32_t j = 0; j < rows; j += 8)
    {
        float* row[8];
        for (int32_t t = 0; t < 8; ++t)
        {
            row[t] = d + 2 * static_cast<int64_t>(Reverse(j + t, b)) * cols;
        }
        uint32_t col = 0; // rev_c(i), stepped as i counts up
        for (int32_t i = 0; i < cols; ++i)
        {
            const float* line = src + 2 * (static_cast<int64_t>(i) * rows + j);
            for (int32_t t = 0; t < 8; ++t)
            {
                CopyPoint(line, t, row[t], col);
            }
            col ^= static_cast<uint32_t>(cols - (cols >> (__builtin_ctz(i + 1) + 1)));
        }
        for (int32_t t = 0; t < 8; ++t)
        {
            Radix4<Inv>(row[t], cols, spec->radix4Twiddles);
            ScaleIfAsked<Inv>(spec, row[t], 2 * static_cast<int64_t>(cols));
        }
    }
}

template <bool Inv> void Small(const DspFftSpecR32f* spec, const float* src, float* dst, int32_t m)
{
    const int32_t n = 1 << m;
#if defined(__SSE2__)
    if (src != dst && n >= 16)
    {
        DspFftSse2::PermuteRadix4<Inv>(src, 1, dst, n, spec->radix4Twiddles);
        return;
    }
    if (src == dst && n >= 64)
    {
        DspFftSse2::InPlaceRadix4<Inv>(dst, n, spec->radix4Twiddles);
        return;
    }
    if (src == dst && n >= 16)
    {
        // 256 bytes at most: a copy on the stack lets the fused copy run.
        float copy[64];
        memcpy(copy, src, 2 * sizeof(float) * n);
        DspFftSse2::PermuteRadix4<Inv>(copy, 1, dst, n, spec->radix4Twiddles);
        return;
    }
#endif
    if (src != dst)
    {
        DspBitRevCopy64_Gen(src, dst, n, spec->bitRevList);
    }
    else
    {
        DspBitRevInPlace64_Gen(dst, n, spec->bitRevList);
    }
    Radix4<Inv>(dst, n, spec->radix4Twiddles);
}

#if defined(__SSE2__)
// The permuting copy fused into the 1024-point blocks of the block scheme:
// block k of the permuted data is the transform input whose natural order is
// every (n/1024)-th source point from rev(k).
template <bool Inv>
void PermuteAndTransformBlocks(const DspFftSpecR32f* spec, const float* src, float* d, int32_t m)
{
    constexpr int32_t block = 1024;
    const int32_t bits = m - 10;
    const int32_t blocks = 1 << bits;
    for (int32_t k = 0; k < blocks; ++k)
    {
        float* bd = d + 2 * static_cast<int64_t>(k) * block;
        DspFftSse2::PermuteRadix4<Inv>(src + 2 * Reverse(k, bits), blocks, bd, block,
                                       spec->radix4Twiddles);
        ScaleIfAsked<Inv>(spec, bd, 2 * block);
    }
    Radix2Passes<Inv>(d, 1 << m, block, spec->joinTwiddles, 256);
}
#endif

template <bool Inv>
void Large(const DspFftSpecR32f* spec, const float* src, float* dst, int32_t m, uint8_t* work)
{
    const int32_t n = 1 << m;
    const int32_t b = DspFftBlockOrderTable[m];
#if defined(__SSE2__)
    if (src != dst && b == 0)
    {
        PermuteAndTransformBlocks<Inv>(spec, src, dst, m);
        return;
    }
#endif
    if (src != dst && b != 0 && m - b < 11)
    {
        PermuteAndTransformRows<Inv>(spec, src, dst, b, m - b);
        Columns<Inv>(dst, 1 << b, 1 << (m - b), spec->crossTwiddles[0], spec->columnTwiddles[0],
                     reinterpret_cast<float*>(work));
        return;
    }
    if (src != dst)
    {
        DspBitRevCopy64_Gen(src, dst, n, spec->bitRevList);
    }
    else if (m >= 15) // below, the array sits in the second-level cache and the list walk wins
    {
        BitRevInPlaceTiled(dst, m);
    }
    else
    {
        DspBitRevInPlace64_Gen(dst, n, spec->bitRevList);
    }
    if (b != 0)
    {
        LargeStep<Inv>(spec, dst, m, 0, work);
        return;
    }
    BlockScheme<Inv>(spec, dst, n);
}
} // namespace

void DspBitRevCopy64_Gen(const float* src, float* dst, int32_t n, const uint32_t* list)
{
    if (n < 4)
    {
        for (int32_t k = 0; k < n; ++k)
        {
            CopyPoint(src, k, dst, k);
        }
        return;
    }
    const int64_t half = n / 2;
    // Index t*half + 2*M + l goes to l*half + 2*rev(M) + t.
    int32_t idx = 0;
    for (; list[idx] != 0; idx += 2)
    {
        const int64_t i2 = list[idx] / 2;
        const int64_t r2 = list[idx + 1] / 2;
        for (int64_t t = 0; t < 2; ++t)
        {
            for (int64_t l = 0; l < 2; ++l)
            {
                CopyPoint(src, t * half + i2 + l, dst, l * half + r2 + t);
                CopyPoint(src, t * half + r2 + l, dst, l * half + i2 + t);
            }
        }
    }
    ++idx;
    auto fixedPoint = [&](int64_t i2)
    {
        for (int64_t t = 0; t < 2; ++t)
        {
            for (int64_t l = 0; l < 2; ++l)
            {
                CopyPoint(src, t * half + i2 + l, dst, l * half + i2 + t);
            }
        }
    };
    fixedPoint(0);
    for (; list[idx] != 0; ++idx)
    {
        fixedPoint(list[idx] / 2);
    }
}

void DspBitRevInPlace64_Gen(float* data, int32_t n, const uint32_t* list)
{
    if (n < 4)
    {
        return;
    }
    const int64_t half = n / 2;
    int32_t idx = 0;
    for (; list[idx] != 0; idx += 2)
    {
        const int64_t i2 = list[idx] / 2;
        const int64_t r2 = list[idx + 1] / 2;
        SwapPoints(data, i2, r2);
        SwapPoints(data, i2 + 1, half + r2);
        SwapPoints(data, half + i2, r2 + 1);
        SwapPoints(data, half + i2 + 1, half + r2 + 1);
    }
    ++idx;
    SwapPoints(data, 1, half);
    for (; list[idx] != 0; ++idx)
    {
        const int64_t i2 = list[idx] / 2;
        SwapPoints(data, i2 + 1, half + i2);
    }
}

void DspFftRadix4Fwd_Gen(float* data, int32_t n, const float* twiddles)
{
    Radix4<false>(data, n, twiddles);
}

void DspFftRadix4Inv_Gen(float* data, int32_t n, const float* twiddles)
{
    Radix4<true>(data, n, twiddles);
}

void DspFftRadix2PassesFwd(float* data, int32_t n, int32_t blockPoints, const float* table,
                           int32_t /*direction*/, int32_t chunkFloats)
{
    Radix2Passes<false>(data, n, blockPoints, table, chunkFloats);
}

void DspFftRadix2PassesInv(float* data, int32_t n, int32_t blockPoints, const float* table,
                           int32_t /*direction*/, int32_t chunkFloats)
{
    Radix2Passes<true>(data, n, blockPoints, table, chunkFloats);
}

void DspFftCplxFwdSmall_Gen(const DspFftSpecR32f* spec, const float* src, float* dst, int32_t m)
{
    Small<false>(spec, src, dst, m);
}

void DspFftCplxInvSmall_Gen(const DspFftSpecR32f* spec, const float* src, float* dst, int32_t m)
{
    Small<true>(spec, src, dst, m);
}

void DspFftCplxFwdLarge_Gen(const DspFftSpecR32f* spec, const float* src, float* dst, int32_t m,
                            uint8_t* work)
{
    Large<false>(spec, src, dst, m, work);
}

void DspFftCplxInvLarge_Gen(const DspFftSpecR32f* spec, const float* src, float* dst, int32_t m,
                            uint8_t* work)
{
    Large<true>(spec, src, dst, m, work);
}

void DspFftCplxFwdLargeStep_Gen(const DspFftSpecR32f* spec, float* data, int32_t q, int32_t depth,
                                uint8_t* work)
{
    LargeStep<false>(spec, data, q, depth, work);
}

void DspFftCplxInvLargeStep_Gen(const DspFftSpecR32f* spec, float* data, int32_t q, int32_t depth,
                                uint8_t* work)
{
    LargeStep<true>(spec, data, q, depth, work);
}
