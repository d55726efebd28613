#include "globaltopo/common/QVR/SRC.h"

#include "primitives/dsp.h"

// Bilinear-transform designs with cut-offs at 1/2, 1/3 and 1/4 of the Nyquist
// frequency: factor 1 still filters when the rates differ without an integer
// ratio above 1.
const SrcFilterDesign SrcFilterDesigns[SRC_MAX_FACTOR] = {
    {{0.166666672f, 0.5f, 0.5f, 0.166666672f}, {1.0f, -0.0f, 0.333333343f, -0.0f}},
    {{0.0638559237f, 0.191567779f, 0.191567779f, 0.0638559237f},
     {1.0f, -0.965779722f, 0.582644165f, -0.106017053f}},
    {{0.0316893421f, 0.0950680301f, 0.0950680301f, 0.0316893421f},
     {1.0f, -1.45902908f, 0.910368979f, -0.197825193f}},
};

namespace
{
const char kFile[] = "SRC";
constexpr int32_t kOverlap = 64;
constexpr int32_t kWorkLen = EachChannelSampleCntMax * 4;

CLinearPhaseIIR* NewFilter(const SrcFilterDesign& design)
{
    CLinearPhaseIIR* filter = new CLinearPhaseIIR(kOverlap);
    if (filter != nullptr)
        filter->LinearPhaseIirSetCoefficients(design.b, 4, design.a, 4);
    return filter;
}
} // namespace

CSrc::CSrc(int32_t firstRate, int32_t secondRate)
    : m_nEngineRate(secondRate), m_nDeviceRate(firstRate), m_nSrcDirection(0), m_nSrcFactor(1),
      m_pDownFilter(nullptr), m_pUpFilter(nullptr), m_pWork(nullptr), m_bReady(false)
{
    SrcInit();
}

CSrc::~CSrc()
{
    SrcFree();
}

void CSrc::SrcFree()
{
    delete m_pDownFilter;
    m_pDownFilter = nullptr;
    delete m_pUpFilter;
    m_pUpFilter = nullptr;
    QvrFreeFloats(m_pWork);
}

bool CSrc::SrcInit()
{
    SrcFree();
    m_bReady = false;
    if (m_nDeviceRate < 1 || m_nEngineRate < 1)
        return false;
    if (m_nDeviceRate > m_nEngineRate)
    {
        m_nSrcDirection = 1;
        m_nSrcFactor = m_nDeviceRate / m_nEngineRate;
    }
    else if (m_nDeviceRate < m_nEngineRate)
    {
        m_nSrcDirection = -1;
        m_nSrcFactor = m_nEngineRate / m_nDeviceRate;
    }
    else
    {
        m_nSrcDirection = 0;
        m_nSrcFactor = 1;
    }
    // Factors without a design would read past the table: the converter is
    // left unusable and says so.
    if (m_nSrcFactor > SRC_MAX_FACTOR)
        return false;
    bool ok = true;
    if (m_nSrcDirection != 0)
    {
        m_pDownFilter = NewFilter(SrcFilterDesigns[m_nSrcFactor - 1]);
        m_pUpFilter = NewFilter(SrcFilterDesigns[m_nSrcFactor - 1]);
        ok = m_pDownFilter != nullptr && m_pUpFilter != nullptr &&
             m_pDownFilter->LinearPhaseIirReady() && m_pUpFilter->LinearPhaseIirReady();
    }
    m_pWork = QvrAllocFloats(kWorkLen);
    m_bReady = ok && m_pWork != nullptr;
    return m_bReady;
}

void CSrc::SrcDecimate(float* out, const float* in, int32_t len)
{
    QvrCheck(len % m_nSrcFactor == 0, "(len%m_nSrcFactor)==0", kFile, 89);
    const int32_t outLen = len / m_nSrcFactor;
    QvrCheck(outLen <= kWorkLen, "outLen<=(EachChannelSampleCntMax*4)", kFile, 91);
    if (!m_bReady || m_pDownFilter == nullptr)
    {
        DspZero32f(out, outLen);
        return;
    }
    // The work buffer bounds the filtered run (the filter itself takes at most
    // EachChannelSampleCntMax samples and silences the rest).
    const int32_t filtered = len < kWorkLen ? len : kWorkLen;
    m_pDownFilter->LinearPhaseIirProcess(m_pWork, in, filtered);
    const int32_t kept = filtered / m_nSrcFactor;
    for (int32_t k = 0; k < kept; ++k)
        out[k] = m_pWork[m_nSrcFactor * k];
    DspZero32f(out + kept, outLen - kept);
}

void CSrc::SrcInterpolate(float* out, const float* in, int32_t len)
{
    int32_t outLen = len * m_nSrcFactor;
    // A longer result would run past the work buffer; it is cut there.
    if (!QvrCheck(outLen <= kWorkLen, "outLen<=(EachChannelSampleCntMax*4)", kFile, 105))
    {
        DspZero32f(out + kWorkLen, outLen - kWorkLen);
        outLen = kWorkLen;
        len = kWorkLen / m_nSrcFactor;
    }
    if (!m_bReady || m_pUpFilter == nullptr)
    {
        DspZero32f(out, outLen);
        return;
    }
    SrcStuff(in, len, outLen);
    m_pUpFilter->LinearPhaseIirProcess(out, m_pWork, outLen);
    DspMulConstInPlace32f((float)m_nSrcFactor, out, outLen);
}

// The input spread over the first outLen samples of the work buffer with
// factor - 1 zeros after each sample.
void CSrc::SrcStuff(const float* in, int32_t len, int32_t outLen)
{
    DspZero32f(m_pWork, outLen);
    for (int32_t k = 0; k < len; ++k)
        m_pWork[m_nSrcFactor * k] = in[k];
}

bool CSrc::SrcLanesFit(CSrc* const* srcs, int32_t count, int32_t len, int32_t outLen, bool decimate)
{
    bool fit = count >= 1 && count <= IIR_MAX_LANES && len >= 1 && outLen <= kWorkLen;
    for (int32_t c = 0; c < count && fit; ++c)
        fit = srcs[c]->m_bReady && srcs[c]->m_nSrcFactor == srcs[0]->m_nSrcFactor &&
              (decimate ? srcs[c]->m_pDownFilter : srcs[c]->m_pUpFilter) != nullptr;
    return fit && (!decimate || len % srcs[0]->m_nSrcFactor == 0);
}

void CSrc::SrcDecimateLanes(CSrc* const* srcs, int32_t count, float* const* out,
                            const float* const* in, int32_t len)
{
    if (!SrcLanesFit(srcs, count, len, len, true))
    {
        for (int32_t c = 0; c < count; ++c)
            srcs[c]->SrcDecimate(out[c], in[c], len);
        return;
    }
    // Factor 1 keeps every sample: the filter writes the output itself.
    const int32_t factor = srcs[0]->m_nSrcFactor;
    CLinearPhaseIIR* filters[IIR_MAX_LANES];
    float* work[IIR_MAX_LANES];
    for (int32_t c = 0; c < count; ++c)
    {
        filters[c] = srcs[c]->m_pDownFilter;
        work[c] = factor == 1 ? out[c] : srcs[c]->m_pWork;
    }
    CLinearPhaseIIR::LinearPhaseIirProcessLanes(filters, count, work, in, len);
    for (int32_t c = 0; c < count && factor != 1; ++c)
        for (int32_t k = 0; k < len / factor; ++k)
            out[c][k] = work[c][factor * k];
}

void CSrc::SrcInterpolateLanes(CSrc* const* srcs, int32_t count, float* const* out,
                               const float* const* in, int32_t len)
{
    const int32_t factor = count >= 1 ? srcs[0]->m_nSrcFactor : 1;
    if (!SrcLanesFit(srcs, count, len, len * factor, false))
    {
        for (int32_t c = 0; c < count; ++c)
            srcs[c]->SrcInterpolate(out[c], in[c], len);
        return;
    }
    const int32_t outLen = len * factor;
    CLinearPhaseIIR* filters[IIR_MAX_LANES];
    const float* work[IIR_MAX_LANES];
    // Factor 1 stuffs no zeros, and the filter's results (never signalling
    // NaNs) stay what they are when multiplied by 1.0: the filter reads the
    // input itself and the level is left alone.
    for (int32_t c = 0; c < count; ++c)
    {
        filters[c] = srcs[c]->m_pUpFilter;
        work[c] = factor == 1 ? in[c] : srcs[c]->m_pWork;
        if (factor != 1)
            srcs[c]->SrcStuff(in[c], len, outLen);
    }
    CLinearPhaseIIR::LinearPhaseIirProcessLanes(filters, count, out, work, outLen);
    for (int32_t c = 0; c < count && factor != 1; ++c)
        DspMulConstInPlace32f((float)factor, out[c], outLen);
}
