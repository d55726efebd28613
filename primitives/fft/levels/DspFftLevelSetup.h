// Specification records of the processor levels: sizes, the bit-reversal index
// and tile tables, the four-lane twiddle tables in the order the level's
// kernels read them, the per-depth outer tables of the large path and the real
// split tables in blocks of four bins.
#pragma once

#include <cmath>

#include "primitives/fft/DspFftCoreBridge.h"
#include "primitives/fft/levels/DspFftLevelLarge.h"

namespace
{
constexpr int64_t Up32(int64_t x)
{
    return (x + 31) & ~int64_t{31};
}
constexpr int64_t Fit32(int64_t x)
{
    return (x + 39) & ~int64_t{31};
}
uint8_t* AlignUp32(void* p)
{
    return reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(p) + 31) & ~uintptr_t{31});
}

// cos and -sin of 2 pi q / 2^mOrder (0 <= q < 2^mOrder) folded from the
// quarter-wave table of order sineOrder.
void CosNegSin(const float* sine, int32_t sineOrder, int32_t mOrder, int64_t q, float* c, float* s)
{
    const int64_t step = int64_t{1} << (sineOrder - mOrder);
    const int64_t quarter = (int64_t{1} << mOrder) / 4;
    const int64_t quadrant = q / quarter;
    const int64_t off = q % quarter;
    const float a = sine[(quarter - off) * step]; // cos of the offset
    const float b = sine[off * step];             // sin of the offset
    const float cs[4] = {a, -b, -a, b};
    const float sn[4] = {b, a, -b, -a};
    *c = cs[quadrant];
    *s = -sn[quadrant];
}

uint8_t* BitRevTable(int32_t m, uint32_t* dst)
{
    if (m < 2)
    {
        return reinterpret_cast<uint8_t*>(dst);
    }
    const int32_t bits = m - 2;
    const uint32_t count = 1u << bits;
    uint32_t rev = 0;
    dst[0] = 0;
    for (uint32_t k = 1; k < count; ++k)
    {
        uint32_t bit = count >> 1;
        while ((rev & bit) != 0)
        {
            rev &= ~bit;
            bit >>= 1;
        }
        rev |= bit;
        dst[k] = 2 * rev;
    }
    dst[count] = 0;
    return AlignUp32(dst + count + 1);
}

void TiledBitRevTable(int32_t m, uint32_t* dst)
{
    const int32_t bits = m - 12;
    const uint32_t count = 1u << bits;
    for (uint32_t t = 0; t < count; ++t)
    {
        uint32_t r = 0;
        for (int32_t b = 0; b < bits; ++b)
        {
            r |= ((t >> b) & 1u) << (bits - 1 - b);
        }
        dst[t] = r << 6;
    }
    DspFftBitRevSwapList(12, dst + count);
}

// One twiddle block of four positions for factors j = 1 .. r-1.
float* TwiddleBlock(float* out, int32_t r, int32_t mOrder, const int64_t* x, const float* sine,
                    int32_t sineOrder)
{
    const int64_t mask = (int64_t{1} << mOrder) - 1;
    for (int32_t j = 1; j < r; ++j)
    {
        for (int l = 0; l < 4; ++l)
        {
            CosNegSin(sine, sineOrder, mOrder, (j * x[l]) & mask, &out[l], &out[4 + l]);
        }
        out += 8;
    }
    return out;
}

template <int Lvl>
uint8_t* TwiddleTable(int32_t m, const float* sine, int32_t sineOrder, float* dst)
{
    if (m <= 3)
    {
        return reinterpret_cast<uint8_t*>(dst);
    }
    float* out = dst;
    for (int32_t done = 2; done < m;)
    {
        const int32_t r = StageRadix<Lvl>(m, done);
        const int32_t lr = r == 8 ? 3 : 2;
        for (int64_t k = 0; k < (int64_t{1} << done); k += 4)
        {
            const int64_t x[4] = {k, k + 1, k + 2, k + 3};
            out = TwiddleBlock(out, r, done + lr, x, sine, sineOrder);
        }
        done += lr;
    }
    return AlignUp32(dst + 2 * (int64_t{1} << m));
}

// Outer table of one depth: per tile column chunk, per outer pass, the
// factors of every position in blocks of four.
float* OuterTable(int32_t mD, const float* sine, int32_t sineOrder, float* dst)
{
    const int32_t outer = kOuterOrder[mD];
    const int32_t inner = mD - outer;
    const int64_t cols = int64_t{1} << (kTileOrder[mD] - outer);
    const int64_t innerN = int64_t{1} << inner;
    float* out = dst;
    for (int64_t chunk = 0; chunk * cols < innerN; ++chunk)
    {
        int64_t span = cols;
        for (int32_t done = 0; done < outer;)
        {
            const int32_t r = OuterRadix(outer, done);
            const int32_t lr = r == 8 ? 3 : 2;
            for (int64_t p = 0; p < span; p += 4)
            {
                int64_t x[4];
                for (int l = 0; l < 4; ++l)
                {
                    const int64_t pos = p + l;
                    x[l] = (pos / cols) * innerN + chunk * cols + pos % cols;
                }
                out = TwiddleBlock(out, r, inner + done + lr, x, sine, sineOrder);
            }
            done += lr;
            span *= r;
        }
    }
    return dst + 2 * (int64_t{1} << mD);
}

// Split tables in blocks of four bins from k = 1: four first factors, then
// four second factors.
template <bool Conj> uint8_t* RealTable(int32_t p, const float* sine, int32_t sineOrder, float* dst)
{
    const int64_t n = int64_t{1} << p;
    const int64_t q = n / 4;
    const int64_t step = int64_t{1} << (sineOrder - p);
    auto first = [&](int64_t k)
    { return Conj ? sine[(q - k) * step] : 0.5f * sine[(q - k) * step]; };
    auto second = [&](int64_t k)
    {
        return Conj ? 0.0f - sine[k * step]
                    : static_cast<float>(0.5 - 0.5 * static_cast<double>(sine[k * step]));
    };
    if (n <= 8)
    {
        for (int64_t k = 0; k < q; ++k)
        {
            dst[2 * k] = first(k);
            dst[2 * k + 1] = second(k);
        }
        return AlignUp32(dst + 4);
    }
    for (int64_t k = 1; k <= q; k += 4)
    {
        float* b = dst + 2 * (k - 1);
        for (int l = 0; l < 4; ++l)
        {
            b[l] = first(k + l);
            b[4 + l] = second(k + l);
        }
    }
    return AlignUp32(dst + 2 * q);
}

// Table, init and work bytes of the large path of complex order m.
template <int Lvl> void WorkSizeStep(int32_t m, int64_t* table, int64_t* work)
{
    const int32_t inner = m - kOuterOrder[m];
    if (inner < FftLevel<Lvl>::kLargeFrom)
    {
        *table = Fit32(8 * (int64_t{1} << inner));
        *work = Up32(8 * (int64_t{1} << inner));
    }
    else
    {
        WorkSizeStep<Lvl>(inner, table, work);
    }
    *table += 8 * (int64_t{1} << m);
    const int64_t tile = 8 * (int64_t{1} << kTileOrder[m]);
    *work = *work > tile ? *work : tile;
}

template <int Lvl> void WorkSize(int32_t m, int64_t* table, int64_t* init, int64_t* work)
{
    WorkSizeStep<Lvl>(m, table, work);
    *init = 0;
    if (m >= FftLevel<Lvl>::kTiledFrom && *work < 65536)
    {
        *work = 65536;
    }
}

// Table and work bytes of complex order m (at least 2).
template <int Lvl> void CoreSizes(int32_t m, int64_t* table, int64_t* work)
{
    if (m < FftLevel<Lvl>::kLargeFrom)
    {
        *table = Fit32(8 * (int64_t{1} << m));
        *work = Up32(8 * (int64_t{1} << m));
        return;
    }
    int64_t init = 0;
    WorkSize<Lvl>(m, table, &init, work);
}

template <int Lvl>
uint8_t* PassSetupStep(DspFftSpecR32f* rec, int32_t mD, const float* sine, int32_t sineOrder,
                       int32_t depth, uint8_t* area)
{
    const int32_t inner = mD - kOuterOrder[mD];
    uint8_t* cur = nullptr;
    if (inner > FftLevel<Lvl>::kLeafLimit)
    {
        cur = PassSetupStep<Lvl>(rec, inner, sine, sineOrder, depth + 1, area);
    }
    else
    {
        rec->radix4Twiddles = reinterpret_cast<float*>(area);
        cur = TwiddleTable<Lvl>(inner, sine, sineOrder, rec->radix4Twiddles);
        rec->workBytes = static_cast<int32_t>(Up32(8 * (int64_t{1} << inner)));
    }
    rec->crossTwiddles[depth] = reinterpret_cast<float*>(cur);
    auto* end =
        reinterpret_cast<uint8_t*>(OuterTable(mD, sine, sineOrder, rec->crossTwiddles[depth]));
    const int64_t tile = 8 * (int64_t{1} << kTileOrder[mD]);
    if (tile > rec->workBytes)
    {
        rec->workBytes = static_cast<int32_t>(tile);
    }
    return end;
}

template <int Lvl>
uint8_t* PassSetup(DspFftSpecR32f* rec, int32_t m, const float* sine, int32_t sineOrder,
                   uint8_t* area)
{
    if (m < FftLevel<Lvl>::kTiledFrom)
    {
        BitRevTable(m, rec->bitRevList);
    }
    else
    {
        TiledBitRevTable(m, rec->bitRevList);
    }
    uint8_t* end = PassSetupStep<Lvl>(rec, m, sine, sineOrder, 0, area);
    if (m >= FftLevel<Lvl>::kTiledFrom && rec->workBytes < 65536)
    {
        rec->workBytes = 65536;
    }
    return end;
}

// The complex core's tables of order m from the start of the table area;
// returns the end of what it wrote.
template <int Lvl>
uint8_t* CoreTables(DspFftSpecR32f* rec, int32_t m, const float* sine, int32_t sineOrder)
{
    auto* base = reinterpret_cast<uint8_t*>(rec) + DspFftHeaderBytes;
    rec->bitRevList = reinterpret_cast<uint32_t*>(base);
    if (m < FftLevel<Lvl>::kLargeFrom)
    {
        uint8_t* cur = BitRevTable(m, rec->bitRevList);
        rec->radix4Twiddles = reinterpret_cast<float*>(cur);
        rec->workBytes = static_cast<int32_t>(Up32(8 * (int64_t{1} << m)));
        return TwiddleTable<Lvl>(m, sine, sineOrder, rec->radix4Twiddles);
    }
    uint8_t* area = AlignUp32(base) + 4 * (int64_t{1} << (m - 2)) + 32;
    return PassSetup<Lvl>(rec, m, sine, sineOrder, area);
}
} // namespace
