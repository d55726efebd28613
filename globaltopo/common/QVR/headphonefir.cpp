#include "globaltopo/common/QVR/headphonefir.h"

#include <emmintrin.h>

#include <cstdint>
#include <cstring>

#include "primitives/dsp.h"
#include "primitives/fft/DspFftSpec.h"

namespace
{
const char kFile[] = "headphonefir";
constexpr int32_t N = HEADPHONEFIR_N;
constexpr int32_t kFftOrder = 10;
constexpr int32_t kOutputs = 2;

// Input channels of each stream: front left and right take channel 3 as well;
// channels 6 and 7 reach the surrounds through the fold into 4 and 5.
struct StreamSource
{
    int32_t channel;
    int32_t shared; // -1: none
};
constexpr StreamSource kStreamSources[CHeadphoneFir::STREAMS] = {
    {0, 3}, {1, 3}, {2, -1}, {4, -1}, {5, -1}};

// Streams built and convolved per input layout; other layouts build none.
int32_t StreamCount(int32_t nInCh)
{
    if (nInCh == 2)
        return 2;
    return nInCh == 6 || nInCh == 8 ? CHeadphoneFir::STREAMS : 0;
}

// Surround fold of the eight-channel layout: the side pair joins the rear pair.
constexpr float kFoldNear = 0.871f;
constexpr float kFoldFar = 0.49f;

constexpr int32_t kRoomCodes[] = {3, 2, 1};
constexpr int32_t kAngleCodes[] = {24, 25, 29, 30, 31, 34, 35, 39, 40};

// x4 = (near l + x6) + far r and x5 = (far l + x7) + near r, with the old l
// = x4 and r = x5.
void FoldSides(float* const* in)
{
    const __m128 nearGain = _mm_set1_ps(kFoldNear);
    const __m128 farGain = _mm_set1_ps(kFoldFar);
    for (int32_t i = 0; i < N; i += 4)
    {
        const __m128 l = _mm_loadu_ps(in[4] + i);
        const __m128 r = _mm_loadu_ps(in[5] + i);
        const __m128 x6 = _mm_loadu_ps(in[6] + i);
        const __m128 x7 = _mm_loadu_ps(in[7] + i);
        _mm_storeu_ps(in[4] + i,
                      _mm_add_ps(_mm_add_ps(_mm_mul_ps(nearGain, l), x6), _mm_mul_ps(farGain, r)));
        _mm_storeu_ps(in[5] + i,
                      _mm_add_ps(_mm_add_ps(_mm_mul_ps(farGain, l), x7), _mm_mul_ps(nearGain, r)));
    }
}

// Line of the report for a pair missing from the bank, by room code.
int32_t MissingPairLine(int32_t room)
{
    constexpr int32_t lines[] = {742, 796, 850};
    return room >= 1 && room <= 3 ? lines[room - 1] : 854;
}

// Spectra are kept as chunks of four bins, the real parts and then the
// imaginary parts ([re x 4, im x 4]); the real DC and Nyquist values of the
// FFT's packing take lane 0 of the first chunk. Converted in place.
constexpr int32_t kChunk = 8;

void PackedToChunks(float* p)
{
    for (int32_t q = 0; q < CHeadphoneFir::FFT_LEN; q += kChunk)
    {
        const __m128 a = _mm_loadu_ps(p + q);
        const __m128 b = _mm_loadu_ps(p + q + 4);
        _mm_storeu_ps(p + q, _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
        _mm_storeu_ps(p + q + 4, _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
    }
}

void ChunksToPacked(float* p)
{
    for (int32_t q = 0; q < CHeadphoneFir::FFT_LEN; q += kChunk)
    {
        const __m128 re = _mm_loadu_ps(p + q);
        const __m128 im = _mm_loadu_ps(p + q + 4);
        _mm_storeu_ps(p + q, _mm_unpacklo_ps(re, im));
        _mm_storeu_ps(p + q + 4, _mm_unpackhi_ps(re, im));
    }
}

// One spectral product of both outputs: a window x (or the tail input) with
// the partitions of the filters to output 0 and output 1, held side by side
// chunk by chunk (a chunk of x at q meets the two at 2q and 2q + kChunk).
struct SpectralTerm
{
    const float* x;
    const float* h;
};

// acc = (hr xr - hi xi) + acc and (hr xi + hi xr) + acc for four bins.
inline void MulAccChunk(const float* h, __m128 xr, __m128 xi, __m128& re, __m128& im)
{
    const __m128 hr = _mm_loadu_ps(h);
    const __m128 hi = _mm_loadu_ps(h + 4);
    re = _mm_add_ps(_mm_sub_ps(_mm_mul_ps(hr, xr), _mm_mul_ps(hi, xi)), re);
    im = _mm_add_ps(_mm_add_ps(_mm_mul_ps(hr, xi), _mm_mul_ps(hi, xr)), im);
}

// The first chunk, where lane 0 holds the real DC and Nyquist products.
void MulAccFirstChunk(const SpectralTerm* terms, int32_t count, float* const* acc)
{
    for (int32_t e = 0; e < 2; ++e)
    {
        float* a = acc[e];
        for (int32_t i = 0; i < kChunk; ++i)
            a[i] = 0.0f;
        for (int32_t t = 0; t < count; ++t)
        {
            const float* x = terms[t].x;
            const float* h = terms[t].h + e * kChunk;
            a[0] = x[0] * h[0] + a[0];
            a[4] = x[4] * h[4] + a[4];
            for (int32_t b = 1; b < 4; ++b)
            {
                const float xr = x[b], xi = x[4 + b], hr = h[b], hi = h[4 + b];
                a[b] = (hr * xr - hi * xi) + a[b];
                a[4 + b] = (hr * xi + hi * xr) + a[4 + b];
            }
        }
    }
}

// Both outputs' sums over the terms in their order, bin by bin from 0.0, four
// bins a vector. The terms go in pairs whose sums stay in registers across
// the pair, their arrays' addresses too; a pair sweeps the whole spectrum, so
// that each array is read in order (the prefetcher keeps up with a few
// streams, not with all).
constexpr int32_t kTermGroup = 2;

template <int32_t Count> void MulAccGroup(const SpectralTerm* terms, float* const* acc, bool first)
{
    const float* x[Count];
    const float* h[Count];
    for (int32_t t = 0; t < Count; ++t)
    {
        x[t] = terms[t].x;
        h[t] = terms[t].h;
    }
    float* acc0 = acc[0];
    float* acc1 = acc[1];
    for (int32_t q = kChunk; q < CHeadphoneFir::FFT_LEN; q += kChunk)
    {
        __m128 re0 = _mm_setzero_ps(), im0 = re0, re1 = re0, im1 = re0;
        if (!first)
        {
            re0 = _mm_loadu_ps(acc0 + q);
            im0 = _mm_loadu_ps(acc0 + q + 4);
            re1 = _mm_loadu_ps(acc1 + q);
            im1 = _mm_loadu_ps(acc1 + q + 4);
        }
#pragma GCC unroll 4
        for (int32_t t = 0; t < Count; ++t)
        {
            const __m128 xr = _mm_loadu_ps(x[t] + q);
            const __m128 xi = _mm_loadu_ps(x[t] + q + 4);
            MulAccChunk(h[t] + 2 * q, xr, xi, re0, im0);
            MulAccChunk(h[t] + 2 * q + kChunk, xr, xi, re1, im1);
        }
        _mm_storeu_ps(acc0 + q, re0);
        _mm_storeu_ps(acc0 + q + 4, im0);
        _mm_storeu_ps(acc1 + q, re1);
        _mm_storeu_ps(acc1 + q + 4, im1);
    }
}

void MulAccTerms(const SpectralTerm* terms, int32_t count, float* const* acc)
{
    static_assert(kTermGroup == 2, "one single term at most is left over");
    MulAccFirstChunk(terms, count, acc);
    int32_t t = 0;
    for (; t + kTermGroup <= count; t += kTermGroup)
        MulAccGroup<kTermGroup>(terms + t, acc, t == 0);
    if (t < count)
        MulAccGroup<1>(terms + t, acc, t == 0);
    for (int32_t e = 0; e < 2 && count == 0; ++e)
        memset(acc[e] + kChunk, 0, (CHeadphoneFir::FFT_LEN - kChunk) * sizeof(float));
}

inline __m128 Reversed(__m128 v)
{
    return _mm_shuffle_ps(v, v, _MM_SHUFFLE(0, 1, 2, 3));
}

// Outputs m .. m + 4 Acc - 1 of one crosstalk filter over its reversed
// signal x: output m is the sum over j < n of x[m + j] c[j], from 0.0 in
// increasing j, stored at x[n + m]; one SIMD lane per output, taps given
// already broadcast. The block stores after all its reads.
template <int32_t Acc>
[[gnu::always_inline]] inline void CtcBlock(float* x, const float (*taps)[4], int32_t n, int32_t m)
{
    __m128 acc[Acc];
    for (int32_t i = 0; i < Acc; ++i)
        acc[i] = _mm_setzero_ps();
    for (int32_t j = 0; j < n; ++j)
    {
        const __m128 c = _mm_load_ps(taps[j]);
        const float* from = x + m + j;
#pragma GCC unroll 16
        for (int32_t i = 0; i < Acc; ++i)
            acc[i] = _mm_add_ps(acc[i], _mm_mul_ps(_mm_loadu_ps(from + 4 * i), c));
    }
#pragma GCC unroll 16
    for (int32_t i = 0; i < Acc; ++i)
        _mm_storeu_ps(x + n + m + 4 * i, acc[i]);
}

// One crosstalk filter over all N outputs, in blocks of kCtcAcc registers
// from the top down (enough independent sums to keep both adders busy),
// the rest of N at the bottom: every store lands above what the later
// blocks read, so all of them read the signal.
constexpr int32_t kCtcAcc = 12;
constexpr int32_t kCtcBlock = 4 * kCtcAcc;
constexpr int32_t kCtcRestAcc = (N % kCtcBlock) / 4;
static_assert(N % 4 == 0 && kCtcRestAcc > 0);

void CtcFilter(float* x, const float (*taps)[4], int32_t n)
{
    for (int32_t m = N - kCtcBlock; m >= 0; m -= kCtcBlock)
        CtcBlock<kCtcAcc>(x, taps, n, m);
    CtcBlock<kCtcRestAcc>(x, taps, n, 0);
}

// The delay lines are rings of their full capacity whatever the selected
// filters' partition counts, so slot (pos + j) always holds the window of j
// blocks ago: a selection with another tail length then finds the history in
// order (rings sized by the partition count would hand the new tail windows
// of the wrong age until they had turned over).
int32_t Slot(int32_t pos, int32_t j, int32_t ring)
{
    return (pos + j) % ring;
}

int32_t StepBack(int32_t pos, int32_t ring)
{
    return (pos - 1 + ring) % ring;
}
} // namespace

CHeadphoneFir::CHeadphoneFir(const float* bank)
    : m_pBank(bank), m_nRoom(ROOMSIZE_UNDEFINED), m_nAngle(SPEAKERANGLE_UNDEFINED),
      m_nHeadParts(-1), m_nTailParts(-1), m_nCTCAngle(CTCANGLE_UNDEFINED), m_nCTCTaps(1),
      m_pFftSpec(nullptr), m_nHeadPos(0), m_nTailPos(0)
{
    if (DspFftSpecCreateR32f(&m_pFftSpec, kFftOrder, DspFftScaleInverse, 0) != DspStsNoErr)
        m_pFftSpec = nullptr;
    HeadphoneFirReset();
    HeadphoneFirSelectFilters(1, 29);
    HeadphoneFirSetCTCAngle(0);
}

CHeadphoneFir::~CHeadphoneFir()
{
    if (m_pFftSpec != nullptr)
        DspFftSpecFreeR32f(m_pFftSpec);
    m_pFftSpec = nullptr;
}

void CHeadphoneFir::HeadphoneFirReset()
{
    memset(m_InHistory, 0, sizeof m_InHistory);
    memset(m_HeadFdl, 0, sizeof m_HeadFdl);
    memset(m_TailFdl, 0, sizeof m_TailFdl);
    memset(m_Acc, 0, sizeof m_Acc);
    memset(m_CtcSumBuf, 0, sizeof m_CtcSumBuf);
    memset(m_CtcDiffBuf, 0, sizeof m_CtcDiffBuf);
    m_nHeadPos = 0;
    m_nTailPos = 0;
}

void CHeadphoneFir::HeadphoneFirProcess(float* const* out, int32_t nOutCh, float* const* in,
                                        int32_t nInCh, int32_t len)
{
    QvrCheck(nOutCh == 2, "CheckNumOutChans(nOutCh)", kFile, 65);
    QvrCheck(nInCh == 2 || nInCh == 6 || nInCh == 8, "CheckNumInChans(nInCh)", kFile, 66);
    const bool lengthOk = QvrCheck(len == N, "CheckDataLen(len)", kFile, 67);
    // Every step reads and writes whole blocks of two outputs: with fewer
    // outputs or another length the buffers would be overrun, so the block
    // is left as it is.
    if (nOutCh < 2 || !lengthOk)
        return;

    // The tail takes the sum of all streams from HEAD_PARTS_MAX blocks ago,
    // which this slot of the head delay lines still holds: its partition 0
    // continues the head filters at tap HEADPHONE_HEAD_LEN.
    float* tailIn = m_TailFdl[m_nTailPos];
    const float* f0 = m_HeadFdl[0][m_nHeadPos];
    const float* f1 = m_HeadFdl[1][m_nHeadPos];
    QvrAdd(f1, f0, tailIn, FFT_LEN);
    if (nInCh == 6 || nInCh == 8)
    {
        const float* f2 = m_HeadFdl[2][m_nHeadPos];
        const float* f3 = m_HeadFdl[3][m_nHeadPos];
        const float* f4 = m_HeadFdl[4][m_nHeadPos];
        for (int32_t i = 0; i < FFT_LEN; i += 4)
        {
            const __m128 front = _mm_add_ps(_mm_loadu_ps(f3 + i), _mm_loadu_ps(f2 + i));
            const __m128 all = _mm_add_ps(front, _mm_loadu_ps(f4 + i));
            _mm_storeu_ps(tailIn + i, _mm_add_ps(all, _mm_loadu_ps(tailIn + i)));
        }
    }
    if (nInCh == 8)
        FoldSides(in);
    BuildWindows(in, nInCh);
    Accumulate(nInCh);
    for (int32_t e = 0; e < kOutputs; ++e)
    {
        ChunksToPacked(m_Acc[e]);
        DspFftInvRInPlace32f(m_Acc[e], m_pFftSpec, nullptr);
        QvrMulConst(m_Acc[e] + N, 2.0f, out[e], N);
    }
    m_nHeadPos = StepBack(m_nHeadPos, HEAD_PARTS_MAX);
    m_nTailPos = StepBack(m_nTailPos, TAIL_PARTS_MAX);
    HeadphoneFirCtcStage(out, nOutCh, out, nOutCh, N);
}

// Windows of the previous and the current block per stream, transformed in
// place; the current block becomes the history.
void CHeadphoneFir::BuildWindows(float* const* in, int32_t nInCh)
{
    const int32_t streams = StreamCount(nInCh);
    const bool shared = streams == STREAMS;
    for (int32_t k = 0; k < streams; ++k)
    {
        float* window = m_HeadFdl[k][m_nHeadPos];
        const float* history = m_InHistory[kStreamSources[k].channel];
        const float* current = in[kStreamSources[k].channel];
        if (shared && kStreamSources[k].shared >= 0)
        {
            const float* sharedHistory = m_InHistory[kStreamSources[k].shared];
            const float* sharedCurrent = in[kStreamSources[k].shared];
            QvrAdd(history, sharedHistory, window, N);
            QvrAdd(current, sharedCurrent, window + N, N);
        }
        else
        {
            memcpy(window, history, N * sizeof(float));
            memcpy(window + N, current, N * sizeof(float));
        }
    }
    const int32_t channels = shared ? 6 : streams;
    for (int32_t c = 0; c < channels; ++c)
        memcpy(m_InHistory[c], in[c], N * sizeof(float));
    for (int32_t k = 0; k < streams; ++k)
    {
        DspFftFwdRInPlace32f(m_HeadFdl[k][m_nHeadPos], m_pFftSpec, nullptr);
        PackedToChunks(m_HeadFdl[k][m_nHeadPos]);
    }
}

// Spectral sums of both outputs: the front streams first, then, with the
// multichannel layouts, centre and surrounds, then the shared tail.
void CHeadphoneFir::Accumulate(int32_t nInCh)
{
    SpectralTerm terms[STREAMS * HEAD_PARTS_MAX + TAIL_PARTS_MAX];
    int32_t count = 0;
    const int32_t passes[2][2] = {{0, 2}, {2, STREAMS}};
    const int32_t passCount = nInCh == 6 || nInCh == 8 ? 2 : 1;
    for (int32_t pass = 0; pass < passCount; ++pass)
    {
        for (int32_t j = 0; j < m_nHeadParts; ++j)
        {
            const int32_t s = Slot(m_nHeadPos, j, HEAD_PARTS_MAX);
            for (int32_t k = passes[pass][0]; k < passes[pass][1]; ++k)
                terms[count++] = {m_HeadFdl[k][s], m_HeadSpectra[k][j]};
        }
    }
    for (int32_t j = 0; j < m_nTailParts; ++j)
    {
        const int32_t s = Slot(m_nTailPos, j, TAIL_PARTS_MAX);
        terms[count++] = {m_TailFdl[s], m_TailSpectra[j]};
    }
    float* acc[2] = {m_Acc[0], m_Acc[1]};
    MulAccTerms(terms, count, acc);
}

// Symmetric 2 x 2 crosstalk canceller as two filters on the sum and the
// difference of the ears, computed in place on time-reversed buffers; with
// the single unit tap of the bypass it is a delay of HEADPHONE_CTC_TAPS - 1.
void CHeadphoneFir::HeadphoneFirCtcStage(float* const* out, int32_t nOutCh, float* const* in,
                                         int32_t nInCh, int32_t len)
{
    QvrCheck(nOutCh == 2 && nInCh == 2 && len == N, "nOutCh==2 && nInCh==2 && len==HEADPHONEFIR_N",
             kFile, 394);
    float* s = m_CtcSumBuf;
    float* d = m_CtcDiffBuf;
    const float* l = in[0];
    const float* r = in[1];
    for (int32_t i = 0; i < N; i += 4)
    {
        const __m128 lv = _mm_loadu_ps(l + i);
        const __m128 rv = _mm_loadu_ps(r + i);
        _mm_storeu_ps(s + N - 4 - i, Reversed(_mm_add_ps(lv, rv)));
        _mm_storeu_ps(d + N - 4 - i, Reversed(_mm_sub_ps(lv, rv)));
    }
    CtcFilter(s, m_CtcTapLanes[0], m_nCTCTaps);
    CtcFilter(d, m_CtcTapLanes[1], m_nCTCTaps);
    const __m128 half = _mm_set1_ps(0.5f);
    for (int32_t t = 0; t < N; t += 4)
    {
        const __m128 sum = Reversed(_mm_loadu_ps(s + CTC_BUF_LEN - 4 - t));
        const __m128 diff = Reversed(_mm_loadu_ps(d + CTC_BUF_LEN - 4 - t));
        _mm_storeu_ps(out[0] + t, _mm_mul_ps(_mm_add_ps(diff, sum), half));
        _mm_storeu_ps(out[1] + t, _mm_mul_ps(_mm_sub_ps(sum, diff), half));
    }
    // The reversed last HEADPHONE_CTC_TAPS samples become the history (the
    // ranges do not overlap).
    memcpy(s + N, s, HEADPHONE_CTC_TAPS * sizeof(float));
    memcpy(d + N, d, HEADPHONE_CTC_TAPS * sizeof(float));
}

int32_t CHeadphoneFir::HeadphoneFirSetCTCAngle(int32_t angle)
{
    QvrCheck(angle != CTCANGLE_UNDEFINED, "nCTCAngle!=CTCANGLE_UNDEFINED", kFile, 867);
    if (angle == m_nCTCAngle)
        return 1;
    m_nCTCAngle = angle;
    const int32_t offset = HeadphoneBankFindCtc(angle);
    if (offset >= 0)
    {
        const float* a = m_pBank + offset;
        const float* b = a + HEADPHONE_CTC_TAPS;
        m_nCTCTaps = HEADPHONE_CTC_TAPS;
        for (int32_t i = 0; i < HEADPHONE_CTC_TAPS; ++i)
        {
            m_CtcSum[i] = a[i] + b[i];
            m_CtcDiff[i] = a[i] - b[i];
        }
    }
    else
    {
        m_nCTCTaps = 1;
        m_CtcSum[0] = 1.0f;
        m_CtcDiff[0] = 1.0f;
    }
    for (int32_t j = 0; j < m_nCTCTaps; ++j)
    {
        for (int32_t lane = 0; lane < 4; ++lane)
        {
            m_CtcTapLanes[0][j][lane] = m_CtcSum[j];
            m_CtcTapLanes[1][j][lane] = m_CtcDiff[j];
        }
    }
    memset(m_CtcSumBuf, 0, sizeof m_CtcSumBuf);
    memset(m_CtcDiffBuf, 0, sizeof m_CtcDiffBuf);
    return 1;
}

int32_t CHeadphoneFir::HeadphoneFirSetRoomAndAngle(int32_t roomIndex, int32_t angle)
{
    int32_t room = 2;
    if (QvrCheck(roomIndex >= 0 && roomIndex < 3, "0", kFile, 661))
        room = kRoomCodes[roomIndex];
    bool known = false;
    for (int32_t code : kAngleCodes)
        known = known || code == angle;
    if (!QvrCheck(known, "0", kFile, 677))
        angle = 24;
    return HeadphoneFirSelectFilters(room, angle);
}

int32_t CHeadphoneFir::HeadphoneFirSelectFilters(int32_t room, int32_t angle)
{
    QvrCheck(room != ROOMSIZE_UNDEFINED && angle != SPEAKERANGLE_UNDEFINED,
             "nRoom!=ROOMSIZE_UNDEFINED && nAngle!=SPEAKERANGLE_UNDEFINED", kFile, 684);
    m_nRoom = room;
    m_nAngle = angle;
    m_nHeadParts = -1;
    m_nTailParts = -1;
    int32_t head = 0, tail = 0, tailLen = 0;
    if (!QvrCheck(HeadphoneBankFind(room, angle, &head, &tail, &tailLen), "0", kFile,
                  MissingPairLine(room)))
        return 1;
    HeadphoneFirLoadFilters(m_pBank + head, HEADPHONE_HEAD_FILTERS, HEADPHONE_HEAD_LEN,
                            m_pBank + tail, HEADPHONE_TAIL_FILTERS, tailLen, &m_nHeadParts,
                            &m_nTailParts);
    return 1;
}

void CHeadphoneFir::HeadphoneFirLoadFilters(const float* head, int32_t nhead, int32_t headlen,
                                            const float* tail, int32_t ntail, int32_t tailen,
                                            int32_t* headParts, int32_t* tailParts)
{
    QvrCheck(nhead == 5 || nhead == 10, "nhead==5 || nhead==10", kFile, 447);
    QvrCheck(headlen % N == 0, "headlen%HEADPHONEFIR_N==0", kFile, 448);
    QvrCheck(ntail == 2, "ntail==2", kFile, 449);
    QvrCheck(tailen % N == 0, "tailen%HEADPHONEFIR_N==0", kFile, 450);
    // Filters and partitions beyond what the spectra arrays hold are left out
    // rather than written past them.
    const int32_t hp = headlen / N < HEAD_PARTS_MAX ? headlen / N : HEAD_PARTS_MAX;
    const int32_t tp = tailen / N < TAIL_PARTS_MAX ? tailen / N : TAIL_PARTS_MAX;
    const int32_t nh = nhead < HEADPHONE_HEAD_FILTERS ? nhead : HEADPHONE_HEAD_FILTERS;
    const int32_t nt = ntail < HEADPHONE_TAIL_FILTERS ? ntail : HEADPHONE_TAIL_FILTERS;
    for (int32_t f = 0; f < nh; ++f)
        LoadPartitions(head + f * headlen, hp, &m_HeadSpectra[f / 2][0][0], f % 2);
    for (int32_t t = 0; t < nt; ++t)
        LoadPartitions(tail + t * tailen, tp, &m_TailSpectra[0][0], t);
    *headParts = hp;
    *tailParts = tp;
}

// Zero-padded 512-tap pieces of one filter as unscaled spectra: their product
// with a window's spectrum, transformed back with the 1/1024 inverse, is the
// plain convolution. Each goes into the output's place of its pair; the
// accumulator of output 0 serves as the work buffer (between blocks it holds
// nothing that is read again).
void CHeadphoneFir::LoadPartitions(const float* taps, int32_t parts, float* pairs, int32_t output)
{
    float* spectrum = m_Acc[0];
    for (int32_t p = 0; p < parts; ++p)
    {
        memcpy(spectrum, taps + p * N, N * sizeof(float));
        memset(spectrum + N, 0, N * sizeof(float));
        DspFftFwdRInPlace32f(spectrum, m_pFftSpec, nullptr);
        PackedToChunks(spectrum);
        float* pair = pairs + p * 2 * FFT_LEN + output * kChunk;
        for (int32_t q = 0; q < FFT_LEN; q += kChunk)
            memcpy(pair + 2 * q, spectrum + q, kChunk * sizeof(float));
    }
}
