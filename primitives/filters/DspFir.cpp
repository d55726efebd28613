// Single-rate FIR: direct form for short filters or short blocks, FFT
// overlap-save for filters of 64 taps or more on blocks of 512 samples or more.
#include <cstring>

#include "primitives/fft/DspFftReal.h"
#include "primitives/filters/DspFirDirect.h"
#include "primitives/filters/DspFirRoutines.h"
#include "primitives/vector/DspVector.h"

namespace
{
constexpr int32_t FftMinTaps = 64;
constexpr int32_t FftMinBlock = 512;
// Alignment loss, record, slack before the spec and an untouched reserve.
constexpr int32_t ReserveBytes = 16384;
constexpr int64_t FixedBytes = 16 + DspFirRecordBytes + 16 + ReserveBytes;
static_assert(FixedBytes == 16576);

constexpr int64_t RoundUp16(int64_t x)
{
    return (x + 15) & ~static_cast<int64_t>(15);
}

uint8_t* AlignUp16(uint8_t* p)
{
    auto a = (reinterpret_cast<uintptr_t>(p) + 15) & ~static_cast<uintptr_t>(15);
    return reinterpret_cast<uint8_t*>(a);
}

// Overlap-save transform: the smallest power of two above 2n, with the sizes
// its record asks for; all zero when the filter is too short or the record
// cannot be had.
struct FftPlan
{
    int32_t order = 0;
    int64_t length = 0;
    int64_t specBytes = 0;
    int64_t initBytes = 0;
    int64_t workBytes = 0;
};

FftPlan PlanFft(const DspFirRoutines& r, int32_t n)
{
    FftPlan plan;
    if (n < FftMinTaps)
    {
        return plan;
    }
    int32_t k = 2;
    while (k < 62 && (int64_t{1} << k) <= n)
    {
        ++k;
    }
    int32_t s = 0, i = 0, w = 0;
    if (r.fftSize(k + 1, DspFftScaleInverse, 0, &s, &i, &w) != DspStsNoErr)
    {
        return plan;
    }
    plan.order = k + 1;
    plan.length = int64_t{1} << plan.order;
    plan.specBytes = s;
    plan.initBytes = i;
    plan.workBytes = w;
    return plan;
}

// Levels 1 to 3 keep four copies of every tap, 64 bytes per four taps.
int64_t TapVectorBytes(const DspFirRoutines& r, int32_t n)
{
    return r.levelLayout ? 64 * ((int64_t{n} + 3) / 4) : 0;
}

// In 64 bits: long filters must not wrap the 32-bit size the caller gets.
int64_t StateBytes(const DspFirRoutines& r, int32_t n, const FftPlan& plan)
{
    return FixedBytes + RoundUp16(4 * int64_t{n}) + RoundUp16(12 * int64_t{n} + 16) +
           TapVectorBytes(r, n) + plan.specBytes + plan.initBytes + plan.workBytes +
           2 * RoundUp16(4 * plan.length);
}

DspStatus Direct(const DspFirRoutines& r, const float* src, float* dst, int32_t len,
                 DspFirState32f* st, int32_t d)
{
    const int32_t n = st->tapCount;
    const int32_t p = st->blockThreshold;
    float* w = st->delayLine + d;
    if (len <= p)
    {
        // History at w[1..n-1], the block right behind it.
        r.copy(src, w + n, len);
        r.direct(st, w + 1, dst, len, nullptr, len);
        r.move(w + len, st->delayLine, n);
        return DspStsNoErr;
    }
    const int32_t r4 = p - 1;
    r.copy(src, w + n, p);
    // One pass: outputs below r4 read the history buffer, output t from r4 on
    // reads src[t-m .. t]; the new history goes in once both are read.
    r.direct(st, w + 1, dst, r4, src + r4 - (n - 1), len);
    r.copy(src + len - n, st->delayLine, n);
    return DspStsNoErr;
}

// One overlap-save transform of the block buffer (from: its input, the block
// buffer itself or a stretch of the source).
DspStatus Transform(const DspFirRoutines& r, const float* from, const DspFirState32f* st)
{
    DspStatus status = r.fftFwd(from, st->fftBlock, st->fftSpec, st->fftWork);
    if (status < 0)
    {
        return status;
    }
    r.mulSpectra(st->tapsSpectrum, st->fftBlock, st->fftLength);
    return r.fftInv(st->fftBlock, st->fftBlock, st->fftSpec, st->fftWork);
}

DspStatus OverlapSave(const DspFirRoutines& r, const float* src, float* dst, int32_t len,
                      DspFirState32f* st, int32_t d)
{
    const int32_t n = st->tapCount;
    const int32_t m = n - 1;
    const int64_t l = st->fftLength;
    const int64_t h = l - m; // new samples per transform
    float* b = st->fftBlock;
    r.copy(st->delayLine + d + 1, b, m);
    if (len <= h)
    {
        r.copy(src, b + m, len);
        r.copy(b + len - 1, st->delayLine, n);
        r.zero(b + m + len, static_cast<int32_t>(l - m - len));
        DspStatus status = Transform(r, b, st);
        if (status < 0)
        {
            return status;
        }
        r.copy(b + m, dst, len);
        return DspStsNoErr;
    }
    r.copy(src, b + m, static_cast<int32_t>(h));
    DspStatus status = Transform(r, b, st);
    if (status < 0)
    {
        return status;
    }
    r.copy(b + m, dst, static_cast<int32_t>(h));
    r.copy(src + len - n, st->delayLine, n);
    for (int64_t c = 1; c * h < len; ++c)
    {
        const int64_t remaining = len - c * h;
        const float* in = src + c * h - m;
        if (remaining >= l)
        {
            status = Transform(r, in, st);
        }
        else
        {
            const int64_t count = remaining + m < l ? remaining + m : l;
            r.copy(in, b, static_cast<int32_t>(count));
            r.zero(b + count, static_cast<int32_t>(l - count));
            status = Transform(r, b, st);
        }
        if (status < 0)
        {
            return status;
        }
        r.copy(b + m, dst + c * h, static_cast<int32_t>(remaining < h ? remaining : h));
    }
    return DspStsNoErr;
}
} // namespace

DspStatus DspFirStateSizeWith(const DspFirRoutines& r, int32_t tapsLen, int32_t* pSize)
{
    if (pSize == nullptr)
    {
        return DspStsNullPtrErr;
    }
    if (tapsLen < 1)
    {
        return DspStsFirLenErr;
    }
    const int64_t bytes = StateBytes(r, tapsLen, PlanFft(r, tapsLen));
    if (bytes > INT32_MAX)
    {
        // So many taps that the state cannot be described by a 32-bit size.
        return DspStsFirLenErr;
    }
    *pSize = static_cast<int32_t>(bytes);
    return DspStsNoErr;
}

namespace
{
// The taps' spectrum for overlap-save; without it the state filters in
// direct form.
void SetUpFft(const DspFirRoutines& r, DspFirState32f* st, const FftPlan& plan, const float* taps,
              uint8_t* specRoom, uint8_t* initRoom, float* spectrum, uint8_t* work)
{
    st->fftLength = -1;
    st->tapsSpectrum = nullptr;
    st->fftWork = nullptr;
    if (plan.length == 0)
    {
        return;
    }
    DspFftSpecR32f* spec = nullptr;
    if (r.fftInit(&spec, plan.order, DspFftScaleInverse, 0, specRoom, initRoom) != DspStsNoErr)
    {
        return;
    }
    const int32_t n = st->tapCount;
    const int32_t l = static_cast<int32_t>(plan.length);
    st->fftSpec = spec;
    st->fftLength = l;
    st->tapsSpectrum = spectrum;
    st->fftWork = plan.workBytes > 0 ? work : nullptr;
    r.copy(taps, spectrum, n);
    r.zero(spectrum + n, l - n);
    if (r.fftFwd(spectrum, spectrum, spec, st->fftWork) != DspStsNoErr)
    {
        st->fftLength = -1;
    }
}
} // namespace

DspStatus DspFirInitWith(const DspFirRoutines& r, DspFirState32f** ppState, const float* taps,
                         int32_t tapsLen, const float* dlyLine, uint8_t* buffer)
{
    if (ppState == nullptr || taps == nullptr || buffer == nullptr)
    {
        return DspStsNullPtrErr;
    }
    if (tapsLen < 1)
    {
        return DspStsFirLenErr;
    }
    const int32_t n = tapsLen;
    const FftPlan plan = PlanFft(r, n);
    if (StateBytes(r, n, plan) > INT32_MAX)
    {
        return DspStsFirLenErr;
    }

    uint8_t* base = AlignUp16(buffer);
    auto* st = reinterpret_cast<DspFirState32f*>(base);
    memset(st, 0, sizeof(*st));
    uint8_t* cur = base + DspFirRecordBytes;
    st->taps = reinterpret_cast<float*>(cur);
    cur += RoundUp16(4 * int64_t{n});
    st->delayLine = reinterpret_cast<float*>(cur);
    cur += RoundUp16(12 * int64_t{n} + 16);
    st->tapVectors = r.levelLayout ? reinterpret_cast<float*>(cur) : nullptr;
    cur += TapVectorBytes(r, n);
    cur += 16;
    uint8_t* specRoom = cur;
    cur += plan.specBytes;
    uint8_t* initRoom = cur;
    cur += plan.initBytes;
    auto* spectrum = reinterpret_cast<float*>(cur);
    cur += RoundUp16(4 * plan.length);
    uint8_t* work = cur;
    cur += plan.workBytes;
    st->fftBlock = reinterpret_cast<float*>(cur);

    st->tapCount = n;
    st->historyLength = n;
    st->delayIndex = 0;
    st->fftSpec = nullptr;
    st->indexTable = nullptr;
    st->fftWorkSize = static_cast<int32_t>(plan.workBytes);
    for (int32_t i = 0; i < n; ++i)
    {
        st->taps[i] = taps[n - 1 - i];
    }
    for (int32_t k = 0; st->tapVectors != nullptr && k < n; ++k)
    {
        for (int32_t lane = 0; lane < 4; ++lane)
        {
            st->tapVectors[4 * k + lane] = taps[k];
        }
    }
    if (dlyLine == nullptr)
    {
        r.zero(st->delayLine, n);
    }
    else
    {
        // The caller gives the newest sample first; the state keeps the oldest first.
        for (int32_t i = 0; i < n; ++i)
        {
            st->delayLine[i] = dlyLine[n - 1 - i];
        }
    }
    st->blockThreshold = ((n + 3) & ~3) + 1;
    SetUpFft(r, st, plan, taps, specRoom, initRoom, spectrum, work);
    st->kind = DspFirKindSingleRate;
    *ppState = st;
    return DspStsNoErr;
}

DspStatus DspFirFilterWith(const DspFirRoutines& r, const float* src, float* dst, int32_t len,
                           DspFirState32f* state)
{
    if (state == nullptr || src == nullptr || dst == nullptr)
    {
        return DspStsNullPtrErr;
    }
    if (len < 1)
    {
        return DspStsSizeErr;
    }
    if (state->kind == DspFirKindMultirate)
    {
        return DspFirMultirateFilterWith(r, src, dst, len, state);
    }
    // A single-rate state built at level 0 has no tap vectors: the levels that
    // read them refuse it rather than read through a null pointer.
    if (state->kind != DspFirKindSingleRate || (r.levelLayout && state->tapVectors == nullptr))
    {
        return DspStsContextMatchErr;
    }
    const int32_t d = state->delayIndex;
    state->delayIndex = 0;
    if (len >= FftMinBlock && state->fftLength > 0)
    {
        return OverlapSave(r, src, dst, len, state, d);
    }
    return Direct(r, src, dst, len, state, d);
}

namespace
{
void DirectGen(const DspFirState32f* st, const float* x, float* y, int32_t split, const float* x2,
               int32_t count)
{
    DspFirDirectOutputsSplit32f(st->taps, st->tapCount, x, y, split, x2, count);
}
} // namespace

const DspFirRoutines DspFirRoutinesGen = {DspCopy32f_Gen,
                                          DspZero32f_Gen,
                                          DspMove32f_Gen,
                                          DspFftSpecSizeR32f_Gen,
                                          DspFftSpecInitR32f_Gen,
                                          DspFftFwdRToPacked32f_Gen,
                                          DspMulPackedSpectra32f_Gen,
                                          DspFftInvPackedToR32f_Gen,
                                          DirectGen,
                                          DspFirMultirateGroups_Gen,
                                          false};

DspStatus DspFirStateSize32f_Gen(int32_t tapsLen, int32_t* pSize)
{
    return DspFirStateSizeWith(DspFirRoutinesGen, tapsLen, pSize);
}

DspStatus DspFirInit32f_Gen(DspFirState32f** ppState, const float* taps, int32_t tapsLen,
                            const float* dlyLine, uint8_t* buffer)
{
    return DspFirInitWith(DspFirRoutinesGen, ppState, taps, tapsLen, dlyLine, buffer);
}

DspStatus DspFirFilter32f_Gen(const float* src, float* dst, int32_t len, DspFirState32f* state)
{
    return DspFirFilterWith(DspFirRoutinesGen, src, dst, len, state);
}
