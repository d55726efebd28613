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
    m_pForward->IirProcess(m_pForwardBuf + m_nOverlap, in, len);
    ReverseForward(len);
    m_pBackward->IirProcess(m_pBackwardBuf, m_pReversedBuf, m_nOverlap + len);
    FinishBlock(out, len);
}

void CLinearPhaseIIR::LinearPhaseIirProcessLanes(CLinearPhaseIIR* const* filters, int32_t count,
                                                 float* const* out, const float* const* in,
                                                 int32_t len)
{
    // Blocks the single filter would cut or refuse take its own path.
    bool lanes = count >= 1 && count <= IIR_MAX_LANES && len >= 1;
    for (int32_t c = 0; c < count && lanes; ++c)
        lanes = filters[c]->LinearPhaseIirReady() && len <= filters[c]->m_nMaxLen &&
                filters[c]->m_nOverlap == filters[0]->m_nOverlap;
    if (!lanes)
    {
        for (int32_t c = 0; c < count; ++c)
            filters[c]->LinearPhaseIirProcess(out[c], in[c], len);
        return;
    }
    const int32_t v = filters[0]->m_nOverlap;
    CIirFilter* passes[IIR_MAX_LANES] = {};
    float* dst[IIR_MAX_LANES] = {};
    const float* src[IIR_MAX_LANES] = {};
    for (int32_t c = 0; c < count; ++c)
    {
        passes[c] = filters[c]->m_pForward;
        dst[c] = filters[c]->m_pForwardBuf + v;
        src[c] = in[c];
    }
    CIirFilter::IirProcessLanes(passes, count, dst, src, len);
    // The backward pass reads the forward output from the top: first the
    // look-ahead, whose results are dropped, then the block, whose results
    // land in the output from the top.
    for (int32_t c = 0; c < count; ++c)
    {
        passes[c] = filters[c]->m_pBackward;
        dst[c] = filters[c]->m_pBackwardBuf;
        src[c] = filters[c]->m_pForwardBuf + len;
    }
    CIirFilter::IirProcessLanes(passes, count, dst, src, v, IirLaneOrder::ReversedIn);
    for (int32_t c = 0; c < count; ++c)
        src[c] = filters[c]->m_pForwardBuf;
    CIirFilter::IirProcessLanes(passes, count, out, src, len, IirLaneOrder::ReversedInOut);
    for (int32_t c = 0; c < count; ++c)
        filters[c]->KeepLookAhead(len);
}

void CLinearPhaseIIR::ReverseForward(int32_t len)
{
    const int32_t n = m_nOverlap + len;
    for (int32_t k = 0; k < n; ++k)
        m_pReversedBuf[k] = m_pForwardBuf[n - 1 - k];
}

// The backward output in forward order, then the look-ahead kept.
void CLinearPhaseIIR::FinishBlock(float* out, int32_t len)
{
    const int32_t n = m_nOverlap + len;
    for (int32_t k = 0; k < len; ++k)
        out[k] = m_pBackwardBuf[n - 1 - k];
    KeepLookAhead(len);
}

// The newest forward outputs move to the front (for blocks shorter than the
// look-ahead the two ranges overlap).
void CLinearPhaseIIR::KeepLookAhead(int32_t len)
{
    DspMove32f(m_pForwardBuf + len, m_pForwardBuf, m_nOverlap);
}
