// One output of a direct FIR per call, the history kept by the caller in a
// doubled delay line so that every window is contiguous.
#include "primitives/filters/DspFirState.h"

DspStatus DspFirOneSample32f_Gen(float src, float* pDst, const float* taps, int32_t tapsLen,
                                 float* dlyLine, int32_t* pDlyIndex)
{
    if (pDst == nullptr || taps == nullptr)
    {
        return DspStsNullPtrErr;
    }
    if (tapsLen < 1)
    {
        return DspStsFirLenErr;
    }
    if (dlyLine == nullptr || pDlyIndex == nullptr)
    {
        return DspStsNullPtrErr;
    }
    const int32_t n = tapsLen;
    int32_t i = *pDlyIndex;
    if (i < 0 || i >= n)
    {
        // The index comes from the caller: outside 0..n-1 it would write past
        // the delay line.
        return DspStsSizeErr;
    }
    dlyLine[i + n] = src;
    dlyLine[i] = src;
    i = i + 1 == n ? 0 : i + 1;
    *pDlyIndex = i;
    const float* window = dlyLine + i;
    double sum = 0.0;
    for (int32_t k = 0; k < n; ++k)
    {
        const float product = taps[n - 1 - k] * window[k];
        sum += static_cast<double>(product);
    }
    *pDst = static_cast<float>(sum);
    return DspStsNoErr;
}
