#include "globaltopo/common/QVR/LinearPhaseIIR.h"

#include "primitives/dsp.h"

namespace
{
const char kFile[] = "LinearPhaseIIR";

void DeleteFilter(CIirFilter*& filter)
{
    delete filter;
    filter = nullptr;
}
} // namespace

CLinearPhaseIIR::CLinearPhaseIIR(int32_t overlap)
    : m_nMaxLen(EachChannelSampleCntMax), m_nBufLen(overlap + EachChannelSampleCntMax),
      m_nOverlap(overlap), m_pForward(nullptr), m_pBackward(nullptr), m_pBuffers(nullptr),
      m_pForwardBuf(nullptr), m_pReversedBuf(nullptr), m_pBackwardBuf(nullptr)
{
    m_pBuffers = QvrAllocFloats(3 * m_nBufLen);
    if (m_pBuffers == nullptr)
        return;
    m_pForwardBuf = m_pBuffers;
    m_pReversedBuf = m_pBuffers + m_nBufLen;
    m_pBackwardBuf = m_pBuffers + 2 * m_nBufLen;
}

CLinearPhaseIIR::~CLinearPhaseIIR()
{
    DeleteFilter(m_pForward);
    DeleteFilter(m_pBackward);
    QvrFreeFloats(m_pBuffers);
}

bool CLinearPhaseIIR::LinearPhaseIirSetCoefficients(const float* b, int32_t nb, const float* a,
                                                    int32_t na)
{
    DeleteFilter(m_pForward);
    DeleteFilter(m_pBackward);
    m_pForward = new CIirFilter(b, nb, a, na);
    m_pBackward = new CIirFilter(b, nb, a, na);
    return LinearPhaseIirReady();
}

bool CLinearPhaseIIR::LinearPhaseIirReady() const
{
    return m_pBuffers != nullptr && m_pForward != nullptr && m_pBackward != nullptr &&
           m_pForward->IirComplete() && m_pBackward->IirComplete();
}

void CLinearPhaseIIR::LinearPhaseIirProcess(float* out, const float* in, int32_t len)
{
    // A longer block would run past the buffers: only the first m_nMaxLen
    // samples are filtered and the rest of the output is silence.
    if (!QvrCheck(len <= m_nMaxLen, "len<=(EachChannelSampleCntMax)", kFile, 41))
    {
        DspZero32f(out + m_nMaxLen, len - m_nMaxLen);
        len = m_nMaxLen;
    }
    if (len < 1)
        return;
    if (!LinearPhaseIirReady())
    {
        DspZero32f(out, len);
        return;
    }
    const int32_t v = m_nOverlap;
    float* f = m_pForwardBuf;
    float* r = m_pReversedBuf;
    float* b = m_pBackwardBuf;
    m_pForward->IirProcess(f + v, in, len);
    for (int32_t k = 0; k < v + len; ++k)
        r[k] = f[v + len - 1 - k];
    m_pBackward->IirProcess(b, r, v + len);
    for (int32_t k = 0; k < len; ++k)
        out[k] = b[v + len - 1 - k];
    // The newest outputs move to the front; for blocks shorter than the
    // look-ahead the two ranges overlap.
    DspMove32f(f + len, f, v);
}
