// The IIR filter at level 0 and the state builder that every level shares:
// sizes, checks, layout and the one-reciprocal normalisation of the taps.
#include <cstring>

#include "primitives/filters/DspIirState.h"
#include "primitives/vector/DspVector.h"

namespace
{
int32_t Round16(int32_t x)
{
    return (x + 15) & ~15;
}

uint8_t* AlignUp16(uint8_t* p)
{
    return p + ((16 - (reinterpret_cast<uintptr_t>(p) & 15)) & 15);
}

// Orders at which the size of a state still fits the 32-bit size word.
constexpr int32_t MaxOrder = 1 << 24;

// One step of the transposed direct form: the sample in, its output out.
float StepDirect(const float* t, float* d, int32_t n, float x)
{
    const float y = t[0] * x + d[0];
    for (int32_t k = 0; k < n; ++k)
        d[k] = (t[k + 1] * x - t[n + k + 1] * y) + d[k + 1];
    return y;
}

// Two steps at once: one walk over the delay line per pair of samples.
void PairDirect(const float* t, float* d, int32_t n, float* s)
{
    const float x0 = s[0], x1 = s[1];
    const float y0 = t[0] * x0 + d[0];
    const float y1 = ((t[0] * x1 + d[1]) + t[1] * x0) - t[n + 1] * y0;
    for (int32_t k = 0; k <= n - 2; ++k)
        d[k] =
            (((t[k + 1] * x1 - t[n + k + 1] * y1) + t[k + 2] * x0) - t[n + k + 2] * y0) + d[k + 2];
    d[n - 1] = t[n] * x1 - t[2 * n] * y1;
    s[0] = y0;
    s[1] = y1;
}

void FilterDirect(float* s, int32_t len, DspIirState32f* st)
{
    const float* t = st->taps;
    float* d = st->delay;
    const int32_t n = st->order;
    if (n <= 0)
    {
        for (int32_t i = 0; i < len; ++i)
            s[i] *= t[0];
        return;
    }
    if (n == 1)
    {
        for (int32_t i = 0; i < len; ++i)
        {
            const float x = s[i];
            const float y = t[0] * x + d[0];
            d[0] = t[1] * x - t[2] * y;
            s[i] = y;
        }
        return;
    }
    int32_t i = 0;
    for (; i + 1 < len; i += 2)
        PairDirect(t, d, n, s + i);
    if (i < len)
        s[i] = StepDirect(t, d, n, s[i]);
}

void FilterBiquad(float* s, int32_t len, DspIirState32f* st)
{
    const int32_t m = st->order / 2;
    for (int32_t i = 0; i < len; ++i)
    {
        float x = s[i];
        for (int32_t k = 0; k < m; ++k)
        {
            const float* t = st->taps + 5 * k;
            float* d = st->delay + 2 * k;
            const float y = t[0] * x + d[0];
            d[0] = (t[1] * x + d[1]) - t[3] * y;
            d[1] = t[2] * x + (0.0f - t[4]) * y;
            x = y;
        }
        s[i] = x;
    }
}
} // namespace

int32_t DspIirStateSizeCore(int32_t order, uint32_t kind, bool withTables)
{
    const int32_t areas = Round16(8 * order + 4) + Round16(4 * order + 4);
    if (!withTables)
        return 112 + areas;
    const int32_t work = kind == DspIirKindDirect ? DspIirChunk : 2 * DspIirChunk;
    return areas + 4 * (8 * order + 16 + work) + 152;
}

DspStatus DspIirInitCheck(DspIirState32f* const* ppState, const float* taps, int32_t order,
                          const uint8_t* buffer)
{
    if (ppState == nullptr || taps == nullptr || buffer == nullptr)
        return DspStsNullPtrErr;
    // An order whose size overflows could never have been sized for.
    if (order < 1 || order > MaxOrder)
        return DspStsIirOrderErr;
    return DspStsNoErr;
}

DspIirState32f* DspIirBuildState(uint8_t* buffer, int32_t order, const float* dlyLine,
                                 bool withTables, DspIirCopyFn copy, DspIirZeroFn zero)
{
    uint8_t* base = AlignUp16(buffer);
    auto* st = reinterpret_cast<DspIirState32f*>(base);
    std::memset(base, 0, DspIirRecordBytes);
    st->kind = DspIirKindDirect;
    st->taps = reinterpret_cast<float*>(base + DspIirRecordBytes);
    st->delay = reinterpret_cast<float*>(base + DspIirRecordBytes + Round16(8 * order + 4));
    st->order = order;
    if (dlyLine != nullptr)
        copy(dlyLine, st->delay, order);
    else
        zero(st->delay, order);
    st->delay[order] = 0.0f;
    if (withTables)
    {
        st->numTable = reinterpret_cast<float*>(reinterpret_cast<uint8_t*>(st->delay) +
                                                Round16(4 * order + 4));
        st->recTable = st->numTable + 4 * (order + 1);
        st->work = st->recTable + 4 * order + 12;
    }
    return st;
}

void DspIirRecursionTable(const float* feedback, float negInv, int32_t order, float* table)
{
    auto a = [&](int32_t k) { return k <= order ? feedback[k - 1] * negInv : 0.0f; };
    for (int32_t k = 1; k <= order; ++k)
    {
        float* c = table + 4 * (k - 1);
        c[0] = a(k);
        c[1] = a(1) * c[0];
        if (k + 1 <= order)
            c[1] = c[1] + a(k + 1);
        c[2] = a(1) * c[1] + a(2) * c[0];
        if (k + 2 <= order)
            c[2] = c[2] + a(k + 2);
        c[3] = a(1) * c[2] + a(2) * c[1] + a(3) * c[0];
        if (k + 3 <= order)
            c[3] = c[3] + a(k + 3);
    }
    const float h1 = table[0], h2 = table[1], h3 = table[2];
    const float tail[12] = {1, h1, h2, h3, 0, 1, h1, h2, 0, 0, 1, h1};
    std::memcpy(table + 4 * order, tail, sizeof(tail));
}

DspStatus DspIirNormTaps(DspIirState32f* st, const float* taps, bool withTables)
{
    const int32_t n = st->order;
    const float a0 = taps[n + 1];
    if (a0 == 0.0f)
        return DspStsDivByZeroErr;
    const float inv = 1.0f / a0;
    float* t = st->taps;
    t[0] = taps[0] * inv;
    for (int32_t i = 1; i <= n; ++i)
    {
        t[i] = taps[i] * inv;
        t[n + i] = taps[n + 1 + i] * inv;
    }
    if (!withTables)
        return DspStsNoErr;
    for (int32_t k = 0; k <= n; ++k)
        for (int32_t j = 0; j < 4; ++j)
            st->numTable[4 * k + j] = taps[k] * inv;
    DspIirRecursionTable(taps + n + 2, 0.0f - inv, n, st->recTable);
    return DspStsNoErr;
}

DspStatus DspIirStateSize32f_Gen(int32_t order, int32_t* pSize)
{
    if (pSize == nullptr)
        return DspStsNullPtrErr;
    if (order < 1 || order > MaxOrder)
        return DspStsIirOrderErr;
    *pSize = DspIirStateSizeCore(order, DspIirKindDirect, false);
    return DspStsNoErr;
}

DspStatus DspIirInit32f_Gen(DspIirState32f** ppState, const float* taps, int32_t order,
                            const float* dlyLine, uint8_t* buffer)
{
    if (const DspStatus s = DspIirInitCheck(ppState, taps, order, buffer); s != DspStsNoErr)
        return s;
    DspIirState32f* st =
        DspIirBuildState(buffer, order, dlyLine, false, DspCopy32f_Gen, DspZero32f_Gen);
    if (const DspStatus s = DspIirNormTaps(st, taps, false); s != DspStsNoErr)
        return s;
    *ppState = st;
    return DspStsNoErr;
}

DspStatus DspIirFilterInPlace32f_Gen(float* srcDst, int32_t len, DspIirState32f* state)
{
    if (state == nullptr || srcDst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    if (state->kind == DspIirKindDirect)
        FilterDirect(srcDst, len, state);
    else if (state->kind == DspIirKindBiquad)
        FilterBiquad(srcDst, len, state);
    else
        return DspStsContextMatchErr;
    return DspStsNoErr;
}
