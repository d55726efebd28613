#include "globaltopo/common/QVR/IirFilter.h"

#include <cstring>

namespace
{
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
}
