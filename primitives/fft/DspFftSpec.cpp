#include "primitives/fft/DspFftSpec.h"

#include <cmath>
#include <cstring>

#include "primitives/fft/DspFftCoreBridge.h"

const int32_t DspFftBlockOrderTable[DspFftMaxOrder + 1] = {
    0,  0,  0,  0,  0,  0, 0, 0, 0, 0, 0, // never read
    0,  0,                                // 11, 12: 1024-point blocks joined by radix-2 passes
    5,  6,  7,  8,  8,  8,                // 13..18
    10, 10, 10, 10,                       // 19..22
    8,  8,                                // 23, 24
    10, 10, 10, 10, 10, 10                // 25..30
};

namespace
{
constexpr int64_t RoundDown32(int64_t x)
{
    return x & ~static_cast<int64_t>(31);
}

uint8_t* AlignUp32(void* p)
{
    auto a = (reinterpret_cast<uintptr_t>(p) + 31) & ~static_cast<uintptr_t>(31);
    return reinterpret_cast<uint8_t*>(a);
}

uint32_t ReverseBits(uint32_t value, int32_t bits)
{
    uint32_t r = 0;
    for (int32_t i = 0; i < bits; ++i)
    {
        r = (r << 1) | ((value >> i) & 1u);
    }
    return r;
}

// W_M^q = exp(-2*pi*j*q/M) for 0 <= q < M, read from a quarter-wave table of
// stride s (s = table length / M) with the sign its quadrant asks for.
void Twiddle(const float* sine, int64_t s, int64_t m, int64_t q, float* re, float* im)
{
    const int64_t quarter = m / 4;
    if (q <= quarter)
    {
        *re = sine[(quarter - q) * s];
        *im = -sine[q * s];
    }
    else if (q <= 2 * quarter)
    {
        *re = -sine[(q - quarter) * s];
        *im = -sine[(2 * quarter - q) * s];
    }
    else if (q <= 3 * quarter)
    {
        *re = -sine[(3 * quarter - q) * s];
        *im = sine[(q - 2 * quarter) * s];
    }
    else
    {
        *re = sine[(q - 3 * quarter) * s];
        *im = sine[(m - q) * s];
    }
}

// Radix-2 join table of M = 2^pointsOrder points: M/4 values W_M^i.
uint8_t* JoinTable(float* table, int32_t pointsOrder, const float* sine, int32_t sineOrder)
{
    const int64_t m = int64_t{1} << pointsOrder;
    const int64_t s = int64_t{1} << (sineOrder - pointsOrder);
    for (int64_t i = 0; i < m / 4; ++i)
    {
        table[2 * i] = sine[(m / 4 - i) * s];
        table[2 * i + 1] = -sine[i * s];
    }
    return AlignUp32(table + m / 2);
}

// Cross twiddles of one recursion depth: 2^q points as R = 2^b rows of C
// columns; grouped by four columns, each row r holds W^(col * rev_b(r)).
uint8_t* CrossTable(float* table, int32_t q, int32_t b, const float* sine, int32_t sineOrder)
{
    const int64_t m = int64_t{1} << q;
    const int64_t s = int64_t{1} << (sineOrder - q);
    const int64_t rows = int64_t{1} << b;
    const int64_t cols = m / rows;
    float* out = table;
    for (int64_t g = 0; g < cols / 4; ++g)
    {
        for (int64_t r = 0; r < rows; ++r)
        {
            const int64_t rr = ReverseBits(static_cast<uint32_t>(r), b);
            for (int64_t c = 0; c < 4; ++c)
            {
                Twiddle(sine, s, m, (4 * g + c) * rr, &out[0], &out[1]);
                out += 2;
            }
        }
    }
    return AlignUp32(out);
}

// Sizes of the large-order scheme, recursion over the block orders.
void LargeSizes(int32_t m, int64_t* t, int64_t* init, int64_t* work)
{
    const int32_t b = DspFftBlockOrderTable[m];
    const int64_t n = int64_t{1} << m;
    if (b == 0)
    {
        *t = RoundDown32(2 * n + 31) + 8224;
        *init = 0;
        *work = 0;
        return;
    }
    const int64_t rows = int64_t{1} << b;
    const int32_t c = m - b;
    const int64_t cols = int64_t{1} << c;
    if (c <= 10)
    {
        *t = RoundDown32(8 * cols + 39);
        *init = 0;
        *work = 0;
    }
    else if (DspFftBlockOrderTable[c] == 0)
    {
        *t = RoundDown32(2 * cols + 31) + 8224;
        *init = 0;
        *work = 0;
    }
    else
    {
        LargeSizes(c, t, init, work);
    }
    *t += 8 * n + RoundDown32(8 * rows + 39);
    *init += RoundDown32(rows + 35) + 32 * rows;
    if (32 * rows > *work)
    {
        *work = 32 * rows;
    }
}

// Sizes of a real record of the given order (0..30), in 64 bits so that the
// orders whose sizes do not fit the 32-bit results can be refused.
void RealSizes(int32_t order, int64_t* spec, int64_t* init, int64_t* work)
{
    if (order <= 3)
    {
        *spec = 168;
        *init = 0;
        *work = 0;
        return;
    }
    const int32_t m = order - 1;
    const int64_t n = int64_t{1} << m;
    const int64_t bigN = int64_t{1} << order;
    int64_t t = 0;
    int64_t i = 0;
    int64_t w = 0;
    if (m <= 10)
    {
        t = RoundDown32(8 * n + 39);
    }
    else
    {
        LargeSizes(m, &t, &i, &w);
    }
    *spec = RoundDown32(n + 35) + t + 2 * RoundDown32(2 * bigN + 31) + 192;
    *init = order <= 10 ? 0 : RoundDown32(bigN + 35) + i + 32;
    *work = w > 0 ? w + 32 : 0;
}

// One depth of the large-order set-up: the column level's tables first (so the
// deeper depths lie below the shallower ones), then this depth's column and
// cross twiddles.
uint8_t* PassSetupStep(DspFftSpecR32f* rec, int32_t q, int32_t depth, uint8_t* cur,
                       const float* sine, int32_t sineOrder)
{
    const int32_t b = DspFftBlockOrderTable[q];
    const int32_t c = q - b;
    if (c < 11)
    {
        rec->radix4Twiddles = reinterpret_cast<float*>(cur);
        cur = DspFftTwiddleTable_Gen(rec->radix4Twiddles, c, sine, sineOrder);
        rec->workBytes = 0;
    }
    else if (DspFftBlockOrderTable[c] != 0)
    {
        cur = PassSetupStep(rec, c, depth + 1, cur, sine, sineOrder);
    }
    else
    {
        rec->radix4Twiddles = reinterpret_cast<float*>(cur);
        cur = DspFftTwiddleTable_Gen(rec->radix4Twiddles, 10, sine, sineOrder);
        rec->joinTwiddles = reinterpret_cast<float*>(cur);
        cur = JoinTable(rec->joinTwiddles, c, sine, sineOrder);
        rec->workBytes = 0;
    }
    rec->columnTwiddles[depth] = reinterpret_cast<float*>(cur);
    cur = DspFftTwiddleTable_Gen(rec->columnTwiddles[depth], b, sine, sineOrder);
    rec->crossTwiddles[depth] = reinterpret_cast<float*>(cur);
    cur = CrossTable(rec->crossTwiddles[depth], q, b, sine, sineOrder);
    const int32_t rowWork = 32 << b;
    if (rowWork > rec->workBytes)
    {
        rec->workBytes = rowWork;
    }
    return cur;
}

uint8_t* PassSetup(DspFftSpecR32f* rec, int32_t m, uint8_t* start, const float* sine,
                   int32_t sineOrder)
{
    DspFftBitRevSwapList(m, rec->bitRevList);
    if (DspFftBlockOrderTable[m] == 0)
    {
        rec->radix4Twiddles = reinterpret_cast<float*>(start);
        uint8_t* cur = DspFftTwiddleTable_Gen(rec->radix4Twiddles, 10, sine, sineOrder);
        rec->joinTwiddles = reinterpret_cast<float*>(cur);
        rec->workBytes = 0;
        return JoinTable(rec->joinTwiddles, m, sine, sineOrder);
    }
    return PassSetupStep(rec, m, 0, start, sine, sineOrder);
}
} // namespace

DspStatus DspFftAnswerSizeQuery(int32_t order, DspFftScaleFlag flag, int32_t* outSpec,
                                int32_t* outInit, int32_t* outWork, DspFftSizesFn sizes)
{
    if (order < 0 || order > DspFftMaxOrder)
    {
        return DspStsFftOrderErr;
    }
    if (outSpec == nullptr || outInit == nullptr || outWork == nullptr)
    {
        return DspStsNullPtrErr;
    }
    if (flag != DspFftScaleForward && flag != DspFftScaleInverse && flag != DspFftScaleBoth &&
        flag != DspFftScaleNone)
    {
        return DspStsFftFlagErr;
    }
    int64_t spec = 0;
    int64_t init = 0;
    int64_t work = 0;
    sizes(order, &spec, &init, &work);
    constexpr int64_t limit = INT32_MAX - 40;
    if (spec > limit || init > limit || work > limit)
    {
        return DspStsMemAllocErr;
    }
    *outSpec = static_cast<int32_t>(spec);
    *outInit = static_cast<int32_t>(init);
    *outWork = static_cast<int32_t>(work);
    return DspStsNoErr;
}

DspStatus DspFftBeginInit(DspFftSpecR32f* const* outSpec, int32_t order, DspFftScaleFlag flag,
                          int32_t hint, uint8_t* specMemory, DspFftSizeFn size, uint32_t kind,
                          DspFftSpecR32f** rec)
{
    if (outSpec == nullptr)
    {
        return DspStsNullPtrErr;
    }
    if (order < 0 || order > DspFftMaxOrder)
    {
        return DspStsFftOrderErr;
    }
    if (specMemory == nullptr)
    {
        return DspStsNullPtrErr;
    }
    int32_t spec = 0;
    int32_t init = 0;
    int32_t work = 0;
    if (size(order, DspFftScaleNone, 0, &spec, &init, &work) != DspStsNoErr)
    {
        return DspStsMemAllocErr;
    }
    *rec = reinterpret_cast<DspFftSpecR32f*>(AlignUp32(specMemory));
    return DspFftInitHeader(*rec, order, flag, hint, kind);
}

DspStatus DspFftInitHeader(DspFftSpecR32f* rec, int32_t order, DspFftScaleFlag flag, int32_t hint,
                           uint32_t kind)
{
    DspZeroBytes(rec, DspFftHeaderBytes);
    rec->libraryOwned = 0;
    rec->order = order;
    rec->hint = static_cast<uint32_t>(hint);
    const float bigN = static_cast<float>(int64_t{1} << order);
    switch (flag)
    {
    case DspFftScaleNone:
        break;
    case DspFftScaleBoth:
        rec->forwardScaled = 1;
        rec->inverseScaled = 1;
        rec->scale = static_cast<float>(1.0 / sqrt(static_cast<double>(int64_t{1} << order)));
        break;
    case DspFftScaleForward:
        rec->forwardScaled = 1;
        rec->scale = 1.0f / bigN;
        break;
    case DspFftScaleInverse:
        rec->inverseScaled = 1;
        rec->scale = 1.0f / bigN;
        break;
    default:
        rec->kind = 0;
        return DspStsFftFlagErr;
    }
    rec->kind = kind;
    return DspStsNoErr;
}

DspStatus DspFftSineFor(DspFftSpecR32f* rec, int32_t order, uint8_t* initBuffer, const float** sine,
                        int32_t* sineOrder)
{
    *sine = DspFftSineTable1024;
    *sineOrder = 10;
    if (order <= 10)
    {
        return DspStsNoErr;
    }
    if (initBuffer == nullptr)
    {
        // Without its tables the record must not pass a kind check.
        rec->kind = 0;
        return DspStsNullPtrErr;
    }
    auto* table = reinterpret_cast<float*>(AlignUp32(initBuffer));
    DspFftSineTable_Gen(table, order);
    *sine = table;
    *sineOrder = order;
    return DspStsNoErr;
}

uint8_t* DspFftPassSetup_Gen(DspFftSpecR32f* rec, int32_t m, uint8_t* start, const float* sine,
                             int32_t sineOrder)
{
    return PassSetup(rec, m, start, sine, sineOrder);
}

DspStatus DspFftCreateWith(DspFftSizeFn size, DspFftInitFn init, DspFftSpecR32f** outSpec,
                           int32_t order, DspFftScaleFlag flag, int32_t hint)
{
    if (outSpec == nullptr)
    {
        return DspStsNullPtrErr;
    }
    int32_t specBytes = 0;
    int32_t initBytes = 0;
    int32_t workBytes = 0;
    DspStatus status = size(order, flag, hint, &specBytes, &initBytes, &workBytes);
    if (status != DspStsNoErr)
    {
        return status;
    }
    auto* specMemory = static_cast<uint8_t*>(DspFftCore::AllocAligned(specBytes));
    if (specMemory == nullptr)
    {
        return DspStsMemAllocErr;
    }
    uint8_t* initBuffer = nullptr;
    if (initBytes > 0)
    {
        initBuffer = static_cast<uint8_t*>(DspFftCore::AllocAligned(initBytes));
        if (initBuffer == nullptr)
        {
            DspFftCore::Free(specMemory);
            return DspStsMemAllocErr;
        }
    }
    DspFftSpecR32f* rec = nullptr;
    status = init(&rec, order, flag, hint, specMemory, initBuffer);
    DspFftCore::Free(initBuffer);
    if (status != DspStsNoErr)
    {
        DspFftCore::Free(specMemory);
        return status;
    }
    rec->libraryOwned = 1;
    *outSpec = rec;
    return DspStsNoErr;
}

DspStatus DspFftFreeKind(DspFftSpecR32f* spec, uint32_t kind)
{
    if (spec == nullptr)
    {
        return DspStsNullPtrErr;
    }
    if (spec->kind != kind)
    {
        return DspStsContextMatchErr;
    }
    spec->kind = 0;
    if (spec->libraryOwned == 1)
    {
        DspFftCore::Free(spec);
    }
    return DspStsNoErr;
}

DspStatus DspZeroBytes(void* dst, int32_t bytes)
{
    if (dst == nullptr)
    {
        return DspStsNullPtrErr;
    }
    if (bytes < 1)
    {
        return DspStsSizeErr;
    }
    memset(dst, 0, static_cast<size_t>(bytes));
    return DspStsNoErr;
}

DspStatus DspCopyChecked32f(const void* src, void* dst, int32_t bytes)
{
    if (src == nullptr || dst == nullptr)
    {
        return DspStsNullPtrErr;
    }
    if (bytes < 1)
    {
        return DspStsSizeErr;
    }
    memcpy(dst, src, static_cast<size_t>(bytes));
    return DspStsNoErr;
}

uint8_t* DspFftSineTable_Gen(float* table, int32_t order)
{
    const int64_t n = int64_t{1} << order;
    const double step = 6.283185307179586 / static_cast<double>(n);
    for (int64_t i = 0; i <= n / 8; ++i)
    {
        table[i] = static_cast<float>(sin(static_cast<double>(i) * step));
    }
    for (int64_t i = n / 8 + 1; i <= n / 4; ++i)
    {
        table[i] = static_cast<float>(cos(static_cast<double>(n / 4 - i) * step));
    }
    return AlignUp32(table + n / 4 + 1);
}

uint8_t* DspFftBitRevSwapList(int32_t bits, uint32_t* list)
{
    if (bits < 2)
    {
        return reinterpret_cast<uint8_t*>(list);
    }
    const int32_t middle = bits - 2;
    const uint32_t groups = 1u << middle;
    uint32_t front = 0;
    uint32_t back = groups - 1;
    for (uint32_t i = 1; i < groups; ++i)
    {
        const uint32_t r = ReverseBits(i, middle);
        if (i < r)
        {
            list[front++] = 4 * i;
            list[front++] = 4 * r;
        }
        else if (i == r)
        {
            list[back--] = 4 * i;
        }
    }
    // Pairs, their terminator and the fixed points fill the list exactly.
    list[front] = 0;
    list[groups] = 0;
    return AlignUp32(list + groups + 1);
}

uint8_t* DspFftTwiddleTable_Gen(float* table, int32_t pointsOrder, const float* sine,
                                int32_t sineOrder)
{
    const int64_t m = int64_t{1} << pointsOrder;
    const int64_t s = int64_t{1} << (sineOrder - pointsOrder);
    float* out = table;
    for (int64_t i = 0; i <= m / 4; ++i)
    {
        Twiddle(sine, s, m, i, &out[0], &out[1]);
        Twiddle(sine, s, m, 2 * i, &out[2], &out[3]);
        Twiddle(sine, s, m, 3 * i, &out[4], &out[5]);
        out += 6;
    }
    return AlignUp32(out);
}

uint8_t* DspFftRealTwiddle_Gen(float* table, int32_t order, const float* sine, int32_t sineOrder)
{
    const int64_t n = int64_t{1} << order;
    const int64_t s = int64_t{1} << (sineOrder - order);
    for (int64_t i = 0; i < n / 4; ++i)
    {
        table[2 * i] = 0.5f * sine[(n / 4 - i) * s];
        table[2 * i + 1] = static_cast<float>(0.5 - 0.5 * static_cast<double>(sine[i * s]));
    }
    return AlignUp32(table + n / 2);
}

uint8_t* DspFftConjTwiddle_Gen(float* table, int32_t order, const float* sine, int32_t sineOrder)
{
    const int64_t n = int64_t{1} << order;
    const int64_t s = int64_t{1} << (sineOrder - order);
    for (int64_t i = 0; i < n / 4; ++i)
    {
        table[2 * i] = sine[(n / 4 - i) * s];
        table[2 * i + 1] = 0.0f - sine[i * s];
    }
    return AlignUp32(table + n / 2);
}

void DspFftWorkSize_Gen(int32_t m, int64_t* tableBytes, int64_t* initBytes, int64_t* workBytes)
{
    LargeSizes(m, tableBytes, initBytes, workBytes);
}

DspStatus DspFftSpecSizeR32f_Gen(int32_t order, DspFftScaleFlag flag, int32_t /*hint*/,
                                 int32_t* outSpecBytes, int32_t* outInitBytes,
                                 int32_t* outWorkBytes)
{
    return DspFftAnswerSizeQuery(order, flag, outSpecBytes, outInitBytes, outWorkBytes, RealSizes);
}

DspStatus DspFftSpecInitR32f_Gen(DspFftSpecR32f** outSpec, int32_t order, DspFftScaleFlag flag,
                                 int32_t hint, uint8_t* specMemory, uint8_t* initBuffer)
{
    DspFftSpecR32f* rec = nullptr;
    const DspStatus status = DspFftBeginInit(outSpec, order, flag, hint, specMemory,
                                             DspFftSpecSizeR32f_Gen, DspFftKindReal, &rec);
    if (status != DspStsNoErr)
    {
        return status;
    }
    if (order < 4)
    {
        rec->workBytes = 0;
        *outSpec = rec;
        return DspStsNoErr;
    }

    const float* sine = nullptr;
    int32_t sineOrder = 0;
    if (DspFftSineFor(rec, order, initBuffer, &sine, &sineOrder) != DspStsNoErr)
    {
        return DspStsNullPtrErr;
    }

    auto* base = reinterpret_cast<uint8_t*>(rec);
    rec->bitRevList = reinterpret_cast<uint32_t*>(base + DspFftHeaderBytes);
    const int32_t m = order - 1;
    uint8_t* end = nullptr;
    if (m <= 10)
    {
        end = DspFftBitRevSwapList(m, rec->bitRevList);
        rec->radix4Twiddles = reinterpret_cast<float*>(end);
        end = DspFftTwiddleTable_Gen(rec->radix4Twiddles, m, sine, sineOrder);
        rec->workBytes = 0;
    }
    else
    {
        const int64_t n = int64_t{1} << m;
        end = PassSetup(rec, m, AlignUp32(base + DspFftHeaderBytes + RoundDown32(n + 35)), sine,
                        sineOrder);
    }
    rec->splitTable = reinterpret_cast<float*>(end);
    end = DspFftRealTwiddle_Gen(rec->splitTable, order, sine, sineOrder);
    rec->mergeTable = reinterpret_cast<float*>(end);
    DspFftConjTwiddle_Gen(rec->mergeTable, order, sine, sineOrder);
    *outSpec = rec;
    return DspStsNoErr;
}

DspStatus DspFftSpecCreateR32f_Gen(DspFftSpecR32f** outSpec, int32_t order, DspFftScaleFlag flag,
                                   int32_t hint)
{
    return DspFftCreateWith(DspFftSpecSizeR32f_Gen, DspFftSpecInitR32f_Gen, outSpec, order, flag,
                            hint);
}

DspStatus DspFftSpecFreeR32f_Gen(DspFftSpecR32f* spec)
{
    return DspFftFreeKind(spec, DspFftKindReal);
}
