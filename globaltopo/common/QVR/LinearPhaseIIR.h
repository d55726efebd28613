// Zero-phase low-pass for the resampler: a recursive filter run forwards and
// then backwards over each block, with a look-ahead of m_nOverlap samples that
// absorbs the backward pass's start, so the response is the magnitude squared
// of the recursive one at a fixed delay of m_nOverlap samples.
#pragma once

#include <cstdint>

#include "globaltopo/common/QVR/IirFilter.h"

class CLinearPhaseIIR : public CQvrPoolObject
{
  public:
    explicit CLinearPhaseIIR(int32_t overlap);
    ~CLinearPhaseIIR();
    CLinearPhaseIIR(const CLinearPhaseIIR&) = delete;
    CLinearPhaseIIR& operator=(const CLinearPhaseIIR&) = delete;

    // Replaces both passes with new filters of these coefficients; the
    // buffers keep their contents. False when a filter could not be made.
    bool LinearPhaseIirSetCoefficients(const float* b, int32_t nb, const float* a, int32_t na);
    // out[k] is the filtered input of m_nOverlap samples earlier; len is at
    // most EachChannelSampleCntMax.
    void LinearPhaseIirProcess(float* out, const float* in, int32_t len);
    // LinearPhaseIirProcess of count (at most IIR_MAX_LANES) filters over
    // their own buffers, with the recursive passes side by side.
    static void LinearPhaseIirProcessLanes(CLinearPhaseIIR* const* filters, int32_t count,
                                           float* const* out, const float* const* in, int32_t len);
    // Buffers and both passes exist.
    bool LinearPhaseIirReady() const;

  private:
    void ReverseForward(int32_t len);
    void FinishBlock(float* out, int32_t len);
    void KeepLookAhead(int32_t len);

    int32_t m_nMaxLen;
    int32_t m_nBufLen;
    int32_t m_nOverlap;
    CIirFilter* m_pForward;
    CIirFilter* m_pBackward;
    float* m_pBuffers; // the three buffers below in one allocation
    float* m_pForwardBuf;
    float* m_pReversedBuf;
    float* m_pBackwardBuf;
};
