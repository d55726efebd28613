#include "globaltopo/common/QVR/IirFilter.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "globaltopo/common/SampleGuards.h"

namespace
{
// The lanes run sections of this many coefficients on each side.
constexpr int32_t kOrder = 4;
constexpr int32_t kLanes = 4;
constexpr int32_t kState = kOrder - 1;

// Up to four filters in the lanes of one set of registers; a group with fewer
// filters repeats its first one in the spare lanes, which then store the same
// values to the same places.
struct LaneGroup
{
    __m128 b[kOrder];
    __m128 a[kOrder];
    __m128 x[kState]; // past inputs, newest first
    __m128 y[kState]; // past outputs, newest first
    const float* in[kLanes];
    float* out[kLanes];
};

// x - x: +0 for a finite x, NaN for an infinity or a NaN.
inline __m128 NonFinite(__m128 x)
{
    return _mm_sub_ps(x, x);
}

// One sample of every lane in the scalar order of IirProcess.
//
// Sparse: a[1] and a[3] are zeros (the factor-1 low-pass). While the outputs
// are finite, y[n-1] a[1] and y[n-3] a[3] are zeros of either sign, and
// subtracting them changes nothing: the feed-forward sum is never -0 (it
// starts from +0, and an exact cancellation rounds to +0), so a zero taken
// from it, or from the sum's +0 less y[n-2] a[2], is +0 again, and from any
// other value the value itself. The step keeps y[n-2] a[2] alone, so the
// recursion waits on a product and a subtraction every second sample rather
// than a product and three subtractions every sample. An output that is not
// finite stays so in every second output after it (y[n-2] a[2] is then an
// infinity or a NaN), so the last two outputs tell whether the run met one;
// such a run is run again in full.
template <bool Sparse> [[gnu::always_inline]] inline __m128 LaneStep(LaneGroup& g, __m128 x0)
{
    __m128 acc = _mm_add_ps(_mm_setzero_ps(), _mm_mul_ps(x0, g.b[0]));
    acc = _mm_add_ps(acc, _mm_mul_ps(g.x[0], g.b[1]));
    acc = _mm_add_ps(acc, _mm_mul_ps(g.x[1], g.b[2]));
    acc = _mm_add_ps(acc, _mm_mul_ps(g.x[2], g.b[3]));
    if constexpr (Sparse)
    {
        acc = _mm_sub_ps(acc, _mm_mul_ps(g.y[1], g.a[2]));
    }
    else
    {
        acc = _mm_sub_ps(acc, _mm_mul_ps(g.y[0], g.a[1]));
        acc = _mm_sub_ps(acc, _mm_mul_ps(g.y[1], g.a[2]));
        acc = _mm_sub_ps(acc, _mm_mul_ps(g.y[2], g.a[3]));
    }
    g.x[2] = g.x[1];
    g.x[1] = g.x[0];
    g.x[0] = x0;
    g.y[2] = g.y[1];
    g.y[1] = g.y[0];
    g.y[0] = acc;
    return acc;
}

// Four samples of every lane: read, turned into four samples across the
// lanes, filtered, turned back and written. Sample t of a reversed buffer of
// len samples lies at len - 1 - t.
template <bool Sparse, bool ReverseIn, bool ReverseOut>
[[gnu::always_inline]] inline void LaneQuad(LaneGroup& g, int32_t i, int32_t len)
{
    const int32_t from = ReverseIn ? len - kLanes - i : i;
    __m128 s0 = _mm_loadu_ps(g.in[0] + from);
    __m128 s1 = _mm_loadu_ps(g.in[1] + from);
    __m128 s2 = _mm_loadu_ps(g.in[2] + from);
    __m128 s3 = _mm_loadu_ps(g.in[3] + from);
    _MM_TRANSPOSE4_PS(s0, s1, s2, s3);
    if constexpr (ReverseIn)
    {
        std::swap(s0, s3);
        std::swap(s1, s2);
    }
    s0 = LaneStep<Sparse>(g, s0);
    s1 = LaneStep<Sparse>(g, s1);
    s2 = LaneStep<Sparse>(g, s2);
    s3 = LaneStep<Sparse>(g, s3);
    if constexpr (ReverseOut)
    {
        std::swap(s0, s3);
        std::swap(s1, s2);
    }
    _MM_TRANSPOSE4_PS(s0, s1, s2, s3);
    const int32_t to = ReverseOut ? len - kLanes - i : i;
    _mm_storeu_ps(g.out[0] + to, s0);
    _mm_storeu_ps(g.out[1] + to, s1);
    _mm_storeu_ps(g.out[2] + to, s2);
    _mm_storeu_ps(g.out[3] + to, s3);
}

template <bool Sparse, bool ReverseIn, bool ReverseOut>
[[gnu::always_inline]] inline void LaneSingle(LaneGroup& g, int32_t i, int32_t len)
{
    const int32_t from = ReverseIn ? len - 1 - i : i;
    const int32_t to = ReverseOut ? len - 1 - i : i;
    float y[kLanes];
    _mm_storeu_ps(y, LaneStep<Sparse>(g, _mm_setr_ps(g.in[0][from], g.in[1][from], g.in[2][from],
                                                     g.in[3][from])));
    for (int32_t lane = 0; lane < kLanes; ++lane)
        g.out[lane][to] = y[lane];
}

// The groups are copied to locals for the run, so that the compiler keeps
// their past outputs in registers: through memory, every sample's recursion
// would wait for a store to reach the next load.
template <bool Sparse, bool ReverseIn, bool ReverseOut, int32_t Groups>
void LaneRunGroups(LaneGroup* group, int32_t len)
{
    LaneGroup g0 = group[0];
    LaneGroup g1 = group[Groups - 1];
    int32_t i = 0;
    for (; i + kLanes <= len; i += kLanes)
    {
        LaneQuad<Sparse, ReverseIn, ReverseOut>(g0, i, len);
        if constexpr (Groups > 1)
            LaneQuad<Sparse, ReverseIn, ReverseOut>(g1, i, len);
    }
    for (; i < len; ++i)
    {
        LaneSingle<Sparse, ReverseIn, ReverseOut>(g0, i, len);
        if constexpr (Groups > 1)
            LaneSingle<Sparse, ReverseIn, ReverseOut>(g1, i, len);
    }
    group[0] = g0;
    group[Groups - 1] = Groups > 1 ? g1 : g0;
}

template <bool Sparse, bool ReverseIn, bool ReverseOut>
void LaneRunIn(LaneGroup* group, int32_t groups, int32_t len)
{
    // The sparse recursion no longer waits long enough for a second group to
    // fill the time, and two groups' state does not fit in the registers.
    if constexpr (Sparse)
    {
        for (int32_t g = 0; g < groups; ++g)
            LaneRunGroups<Sparse, ReverseIn, ReverseOut, 1>(group + g, len);
        return;
    }
    if (groups > 1)
        LaneRunGroups<Sparse, ReverseIn, ReverseOut, 2>(group, len);
    else
        LaneRunGroups<Sparse, ReverseIn, ReverseOut, 1>(group, len);
}

template <bool Sparse>
void LaneRun(LaneGroup* group, int32_t groups, int32_t len, IirLaneOrder order)
{
    if (order == IirLaneOrder::Forward)
        LaneRunIn<Sparse, false, false>(group, groups, len);
    else if (order == IirLaneOrder::ReversedIn)
        LaneRunIn<Sparse, true, false>(group, groups, len);
    else
        LaneRunIn<Sparse, true, true>(group, groups, len);
}

// Whether a past output of any lane is an infinity or a NaN.
bool AnyNonFinite(const LaneGroup* group, int32_t groups)
{
    int mask = 0;
    for (int32_t g = 0; g < groups; ++g)
    {
        const LaneGroup& lanes = group[g];
        const __m128 check = _mm_or_ps(NonFinite(lanes.y[0]),
                                       _mm_or_ps(NonFinite(lanes.y[1]), NonFinite(lanes.y[2])));
        mask |= _mm_movemask_ps(_mm_cmpunord_ps(check, check));
    }
    return mask != 0;
}

// Whether every lane has zero a[1] and a[3] and finite past outputs.
bool SparseLanes(const LaneGroup* group, int32_t groups)
{
    const __m128 zero = _mm_setzero_ps();
    int zeros = 15;
    for (int32_t g = 0; g < groups; ++g)
    {
        zeros &= _mm_movemask_ps(_mm_cmpeq_ps(group[g].a[1], zero));
        zeros &= _mm_movemask_ps(_mm_cmpeq_ps(group[g].a[3], zero));
    }
    return zeros == 15 && !AnyNonFinite(group, groups);
}

// Whether a lane writes where any lane reads: a sparse run that has to be
// run again must find its inputs as they were.
bool LanesOverlap(const float* const* out, const float* const* in, int32_t count, int32_t len)
{
    bool overlap = false;
    for (int32_t c = 0; c < count; ++c)
    {
        const auto outFirst = reinterpret_cast<uintptr_t>(out[c]);
        const auto outEnd = reinterpret_cast<uintptr_t>(out[c] + len);
        for (int32_t d = 0; d < count; ++d)
        {
            const auto inFirst = reinterpret_cast<uintptr_t>(in[d]);
            const auto inEnd = reinterpret_cast<uintptr_t>(in[d] + len);
            overlap = overlap || (outFirst < inEnd && inFirst < outEnd);
        }
    }
    return overlap;
}

// The sparse run where the lanes allow it, else the full one, which also
// runs again a sparse run that met an output that is not finite.
void RunLanes(LaneGroup* group, int32_t groups, float* const* out, const float* const* in,
              int32_t count, int32_t len, IirLaneOrder order)
{
    if (SparseLanes(group, groups) && !LanesOverlap(out, in, count, len))
    {
        LaneGroup before[IIR_MAX_LANES / kLanes];
        std::copy(group, group + groups, before);
        LaneRun<true>(group, groups, len, order);
        if (!AnyNonFinite(group, groups))
            return;
        std::copy(before, before + groups, group);
    }
    LaneRun<false>(group, groups, len, order);
}

// The single path for the orders: sample by sample at the places the lanes
// would read and write.
void IirProcessInOrder(CIirFilter& filter, float* out, const float* in, int32_t len,
                       IirLaneOrder order)
{
    for (int32_t t = 0; t < len; ++t)
    {
        const int32_t from = order == IirLaneOrder::Forward ? t : len - 1 - t;
        const int32_t to = order == IirLaneOrder::ReversedInOut ? len - 1 - t : t;
        float y = in[from];
        filter.IirProcess(&y, &y, 1);
        out[to] = y;
    }
}

void FiniteOrZeroInPlace(float* values, int32_t count)
{
    for (int32_t k = 0; k < count; ++k)
        values[k] = FiniteOrZero(values[k]);
}

int32_t Wrap(int32_t slot, int32_t count)
{
    return (slot % count + count) % count;
}
// Coefficients followed by a doubled history of their length (each value at
// slots i and i + count, so that every window of count values is contiguous
// and no tap wraps); null when the pool is out.
float* CopyWithHistory(const float* coefficients, int32_t count)
{
    float* array = QvrAllocFloats(3 * count);
    if (array != nullptr)
        memcpy(array, coefficients, (size_t)count * sizeof(float));
    return array;
}
} // namespace

CIirFilter::CIirFilter(const float* b, int32_t nb, const float* a, int32_t na)
    : m_pFeedback(nullptr), m_pFeedForward(nullptr), m_na(0), m_nb(0), m_nXPos(0), m_nYPos(0),
      m_bComplete(true)
{
    if (b != nullptr && nb >= 2)
    {
        m_pFeedForward = CopyWithHistory(b, nb);
        m_nb = m_pFeedForward != nullptr ? nb : 0;
        m_bComplete = m_pFeedForward != nullptr;
    }
    if (m_bComplete && a != nullptr && na >= 2)
    {
        m_pFeedback = CopyWithHistory(a, na);
        m_na = m_pFeedback != nullptr ? na : 0;
        m_bComplete = m_pFeedback != nullptr;
    }
    IirReset();
}

CIirFilter::~CIirFilter()
{
    QvrFreeFloats(m_pFeedForward);
    QvrFreeFloats(m_pFeedback);
}

void CIirFilter::IirReset()
{
    if (m_pFeedForward != nullptr)
        memset(m_pFeedForward + m_nb, 0, 2 * (size_t)m_nb * sizeof(float));
    if (m_pFeedback != nullptr)
        memset(m_pFeedback + m_na, 0, 2 * (size_t)m_na * sizeof(float));
    m_nXPos = 0;
    m_nYPos = 0;
}

void CIirFilter::IirProcess(float* out, const float* in, int32_t len)
{
    // The direct form in its order: the feed-forward sum newest input first,
    // then each feedback product subtracted, newest output first.
    for (int32_t i = 0; i < len; ++i)
    {
        float acc = in[i];
        if (m_pFeedForward != nullptr)
        {
            const float* b = m_pFeedForward;
            float* xHistory = m_pFeedForward + m_nb;
            xHistory[m_nXPos] = acc;
            xHistory[m_nXPos + m_nb] = acc;
            const float* x = xHistory + m_nXPos;
            acc = 0.0f;
            for (int32_t k = 0; k < m_nb; ++k)
                acc += x[k] * b[k];
            m_nXPos = m_nXPos == 0 ? m_nb - 1 : m_nXPos - 1;
        }
        if (m_pFeedback != nullptr)
        {
            const float* a = m_pFeedback;
            float* yHistory = m_pFeedback + m_na;
            const int32_t slot = m_nYPos;
            // The previous outputs, newest first, start right after the slot.
            const float* y = yHistory + (slot + 1 == m_na ? 0 : slot + 1);
            for (int32_t k = 1; k < m_na; ++k)
                acc = acc - y[k - 1] * a[k];
            yHistory[slot] = acc;
            yHistory[slot + m_na] = acc;
            m_nYPos = slot == 0 ? m_na - 1 : slot - 1;
        }
        out[i] = acc;
    }
    KeepHistoriesFinite();
}

// An overflow or a NaN left in a history would come back through the
// recursion for good; as silence the filter recovers by its next call. While
// the outputs are finite so are the histories, and nothing changes.
void CIirFilter::KeepHistoriesFinite()
{
    if (m_pFeedForward != nullptr)
        FiniteOrZeroInPlace(m_pFeedForward + m_nb, 2 * m_nb);
    if (m_pFeedback != nullptr)
        FiniteOrZeroInPlace(m_pFeedback + m_na, 2 * m_na);
}

bool CIirFilter::IirThirdOrder() const
{
    return m_pFeedForward != nullptr && m_pFeedback != nullptr && m_nb == kOrder && m_na == kOrder;
}

void CIirFilter::IirLoadState(float* x, float* y) const
{
    const float* xHistory = m_pFeedForward + m_nb + m_nXPos + 1;
    const float* yHistory = m_pFeedback + m_na + (m_nYPos + 1 == m_na ? 0 : m_nYPos + 1);
    for (int32_t k = 0; k < kState; ++k)
    {
        x[k] = xHistory[k];
        y[k] = yHistory[k];
    }
}

// The histories and positions IirProcess leaves after len samples whose last
// inputs and outputs are x and y (the slots still to be read; the others are
// overwritten before they are read), kept finite as IirProcess keeps them.
void CIirFilter::IirStoreState(const float* x, const float* y, int32_t len)
{
    m_nXPos = Wrap(m_nXPos - len, m_nb);
    m_nYPos = Wrap(m_nYPos - len, m_na);
    float* xHistory = m_pFeedForward + m_nb;
    float* yHistory = m_pFeedback + m_na;
    for (int32_t k = 0; k < kState; ++k)
    {
        // Slots below twice the length: a subtraction wraps them (a division
        // per slot costs more than the rest of a short run).
        const int32_t xSlot = m_nXPos + 1 + k - (m_nXPos + 1 + k >= m_nb ? m_nb : 0);
        const int32_t ySlot = m_nYPos + 1 + k - (m_nYPos + 1 + k >= m_na ? m_na : 0);
        xHistory[xSlot] = xHistory[xSlot + m_nb] = FiniteOrZero(x[k]);
        yHistory[ySlot] = yHistory[ySlot + m_na] = FiniteOrZero(y[k]);
    }
}

void CIirFilter::IirProcessLanes(CIirFilter* const* filters, int32_t count, float* const* out,
                                 const float* const* in, int32_t len, IirLaneOrder order)
{
    bool lanes = count >= 1 && count <= IIR_MAX_LANES && len >= 0;
    for (int32_t c = 0; c < count && lanes; ++c)
        lanes = filters[c]->IirThirdOrder();
    if (!lanes)
    {
        for (int32_t c = 0; c < count; ++c)
            IirProcessInOrder(*filters[c], out[c], in[c], len, order);
        return;
    }
    const int32_t groups = (count + kLanes - 1) / kLanes;
    LaneGroup group[IIR_MAX_LANES / kLanes];
    for (int32_t g = 0; g < groups; ++g)
    {
        float values[2 * kOrder + 2 * kState][kLanes];
        for (int32_t lane = 0; lane < kLanes; ++lane)
        {
            const int32_t c = g * kLanes + lane < count ? g * kLanes + lane : g * kLanes;
            const CIirFilter& f = *filters[c];
            for (int32_t k = 0; k < kOrder; ++k)
            {
                values[k][lane] = f.m_pFeedForward[k];
                values[kOrder + k][lane] = f.m_pFeedback[k];
            }
            float x[kState], y[kState];
            f.IirLoadState(x, y);
            for (int32_t k = 0; k < kState; ++k)
            {
                values[2 * kOrder + k][lane] = x[k];
                values[2 * kOrder + kState + k][lane] = y[k];
            }
            group[g].in[lane] = in[c];
            group[g].out[lane] = out[c];
        }
        for (int32_t k = 0; k < kOrder; ++k)
        {
            group[g].b[k] = _mm_loadu_ps(values[k]);
            group[g].a[k] = _mm_loadu_ps(values[kOrder + k]);
        }
        for (int32_t k = 0; k < kState; ++k)
        {
            group[g].x[k] = _mm_loadu_ps(values[2 * kOrder + k]);
            group[g].y[k] = _mm_loadu_ps(values[2 * kOrder + kState + k]);
        }
    }
    RunLanes(group, groups, out, in, count, len, order);
    for (int32_t c = 0; c < count; ++c)
    {
        const LaneGroup& g = group[c / kLanes];
        float x[kState], y[kState], lanesOf[kLanes];
        for (int32_t k = 0; k < kState; ++k)
        {
            _mm_storeu_ps(lanesOf, g.x[k]);
            x[k] = lanesOf[c % kLanes];
            _mm_storeu_ps(lanesOf, g.y[k]);
            y[k] = lanesOf[c % kLanes];
        }
        filters[c]->IirStoreState(x, y, len);
    }
}
