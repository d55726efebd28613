// Direct-form recursive filter with circular histories, one section of the
// resampler's linear-phase low-pass.
#pragma once

#include <cstdint>

#include "globaltopo/common/QVR/QvrCommon.h"

inline constexpr int32_t IIR_MAX_LANES = 8;

// Where sample t of a run of len samples lies in the lanes' buffers: at t, or
// at len - 1 - t in the input, or in both input and output.
enum class IirLaneOrder
{
    Forward,
    ReversedIn,
    ReversedInOut,
};

class CIirFilter : public CQvrPoolObject
{
  public:
    // Copies nb feed-forward coefficients b and na feedback coefficients a
    // (a[0] is taken as 1). A side with fewer than two coefficients, or whose
    // array cannot be allocated, is left out.
    CIirFilter(const float* b, int32_t nb, const float* a, int32_t na);
    ~CIirFilter();
    CIirFilter(const CIirFilter&) = delete;
    CIirFilter& operator=(const CIirFilter&) = delete;

    // y[n] = sum b[k] x[n-k] - sum over k >= 1 of a[k] y[n-k]; out may be
    // in itself. An input or output that is not finite is left in the
    // histories as 0 when the call returns.
    void IirProcess(float* out, const float* in, int32_t len);
    // IirProcess of count (at most IIR_MAX_LANES) filters over their own
    // buffers, side by side: each SIMD lane repeats one filter's operations in
    // their order, so every result is the one IirProcess gives over the
    // samples in that order. Where a[1] and a[3] are zeros, the lanes leave
    // out those two products for as long as the outputs are finite, which
    // changes no result.
    static void IirProcessLanes(CIirFilter* const* filters, int32_t count, float* const* out,
                                const float* const* in, int32_t len,
                                IirLaneOrder order = IirLaneOrder::Forward);
    void IirReset();
    // False when an array the coefficients asked for could not be allocated.
    bool IirComplete() const { return m_bComplete; }

  private:
    // Whether the filter has the third-order shape the lanes run.
    bool IirThirdOrder() const;
    // Its last three inputs and outputs, newest first, and back again after
    // len samples.
    void IirLoadState(float* x, float* y) const;
    void IirStoreState(const float* x, const float* y, int32_t len);
    void KeepHistoriesFinite();

    float* m_pFeedback;    // a[0..na-1], then na past outputs twice over
    float* m_pFeedForward; // b[0..nb-1], then nb past inputs twice over
    int32_t m_na;
    int32_t m_nb;
    int32_t m_nXPos; // slot of the newest input
    int32_t m_nYPos; // slot the next output goes to
    bool m_bComplete;
};
