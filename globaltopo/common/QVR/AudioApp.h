// Block framing of the headphone engine: chunks of any length at the device
// rate are gathered into blocks, converted to the engine rate of 44100 Hz by
// an integer factor, filtered and converted back, and handed out one block
// later. Allocates only when configured; processing runs at DISPATCH_LEVEL.
#pragma once

#include <cstdint>

#include "globaltopo/common/QVR/SRC.h"
#include "globaltopo/common/QVR/headphonefir.h"

// The filter step of the framing; the base filters nothing.
class CAudioAppBase : public CQvrPoolObject
{
  public:
    virtual void AudioAppRunFilter(float* const* out, int32_t nOut, float* const* in, int32_t nIn,
                                   int32_t len);
    virtual void AudioAppReset();
    virtual ~CAudioAppBase() = default;
};

class CAudioApp : public CAudioAppBase
{
  public:
    static constexpr int32_t ENGINE_RATE = 44100;

    explicit CAudioApp(const float* bank = HeadphoneCoefficientBank);
    ~CAudioApp() override;
    CAudioApp(const CAudioApp&) = delete;
    CAudioApp& operator=(const CAudioApp&) = delete;

    // 1 when every buffer, converter and the filter are in place; 0 when the
    // rate or a channel count is outside what the engine supports or an
    // allocation failed (AudioAppProcess then passes the input through).
    int32_t AudioAppConfigure(int32_t sampleRate, int32_t inChannels, int32_t outChannels);
    // Returns the number of blocks completed during the call. The lists may
    // name the same buffers.
    int32_t AudioAppProcess(float* const* out, int32_t nOut, float* const* in, int32_t nIn,
                            uint32_t frames);
    bool AudioAppIsReady() const { return m_bReady; }

    void AudioAppRunFilter(float* const* out, int32_t nOut, float* const* in, int32_t nIn,
                           int32_t len) override;
    void AudioAppReset() override;

    CHeadphoneFir& HeadphoneFir() { return m_HeadphoneFir; }
    int32_t RealDataLen() const { return m_nRealDataLen; }
    int32_t FillPos() const { return m_nFillPos; }
    int32_t SrcDirection() const { return m_nSrcDirection; }
    int32_t SrcFactor() const { return m_nSrcFactor; }

  private:
    bool AudioAppInit();
    void AudioAppFree();
    void AudioAppProcessBlock(int32_t nOut, int32_t nIn);
    void AudioAppInputStage(int32_t nIn);
    void AudioAppOutputStage(int32_t nOut);
    void ConvertChannels(float* const* dst, float* const* src, int32_t count, int32_t len,
                         bool decimate);

    int32_t m_nSampleRate;
    int32_t m_nRealDataLen;
    int32_t m_nEngineRate;
    int32_t m_nDataLen;
    int32_t m_nInChannels;
    int32_t m_nOutChannels;
    int32_t m_nFillPos;
    float* m_pInBlock[QVR_MAX_CHANNELS];
    float* m_pOutBlock[QVR_MAX_CHANNELS];
    int32_t m_nSrcDirection;
    int32_t m_nSrcFactor;
    CSrc* m_pSrc[QVR_MAX_CHANNELS];
    float* m_pEngineIn[QVR_MAX_CHANNELS];
    float* m_pEngineOut[QVR_MAX_CHANNELS];
    bool m_bReady;
    CHeadphoneFir m_HeadphoneFir;
};
