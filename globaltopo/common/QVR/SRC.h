// Integer-factor sample-rate converter of one channel: decimation towards the
// engine rate and interpolation back, each through its own linear-phase
// anti-alias low-pass.
#pragma once

#include <cstdint>

#include "globaltopo/common/QVR/LinearPhaseIIR.h"

// Third-order Butterworth low-pass of one conversion factor (entry factor - 1).
struct SrcFilterDesign
{
    float b[4];
    float a[4];
};
inline constexpr int32_t SRC_MAX_FACTOR = 3;
extern const SrcFilterDesign SrcFilterDesigns[SRC_MAX_FACTOR];

class CSrc : public CQvrPoolObject
{
  public:
    // firstRate is the device-side rate, secondRate the engine's.
    CSrc(int32_t firstRate, int32_t secondRate);
    ~CSrc();
    CSrc(const CSrc&) = delete;
    CSrc& operator=(const CSrc&) = delete;

    // Direction, factor, filters and work buffer; false when the factor has
    // no filter design or an allocation failed.
    bool SrcInit();
    bool SrcReady() const { return m_bReady; }
    // len input samples to len / m_nSrcFactor output samples.
    void SrcDecimate(float* out, const float* in, int32_t len);
    // len input samples to len * m_nSrcFactor output samples.
    void SrcInterpolate(float* out, const float* in, int32_t len);
    // SrcDecimate and SrcInterpolate of count (at most IIR_MAX_LANES)
    // converters, each on its own buffers, with their filters side by side.
    static void SrcDecimateLanes(CSrc* const* srcs, int32_t count, float* const* out,
                                 const float* const* in, int32_t len);
    static void SrcInterpolateLanes(CSrc* const* srcs, int32_t count, float* const* out,
                                    const float* const* in, int32_t len);

    int32_t SrcDirection() const { return m_nSrcDirection; }
    int32_t SrcFactor() const { return m_nSrcFactor; }

  private:
    void SrcFree();
    void SrcStuff(const float* in, int32_t len, int32_t outLen);
    // Whether count converters can run side by side on blocks of len samples
    // giving outLen samples (checks they would report are left to the single
    // path).
    static bool SrcLanesFit(CSrc* const* srcs, int32_t count, int32_t len, int32_t outLen,
                            bool decimate);

    int32_t m_nEngineRate;
    int32_t m_nDeviceRate;
    int32_t m_nSrcDirection;
    int32_t m_nSrcFactor;
    CLinearPhaseIIR* m_pDownFilter;
    CLinearPhaseIIR* m_pUpFilter;
    float* m_pWork;
    bool m_bReady;
};
