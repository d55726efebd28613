// A per-channel gain stage with its own level detection, in fixed blocks of
// 128 frames and a fixed latency of 128 frames. For each block and channel it
// measures the peak, derives a target gain and ramps the channel's gain to it
// sample by sample: falling fast, rising slowly. Mode 0 is a peak limiter;
// any other mode a leveller that also weighs each block through a 101-tap
// side-chain filter and follows a square-root law on the weighted peak.
// Processing is in place on non-interleaved floats at dispatch level, without
// allocation; the owner serialises every call.
#pragma once

#include <cstdint>

#include "platform/kernel/kernel.h"
#include "platform/ks/ksmedia.h"

struct DspFirState32f;

inline constexpr ULONG STAGE_DSP_POOL_TAG = POOL_TAG("DSPs");

class CStageDspEngine
{
  public:
    static constexpr uint32_t MaxChannels = 8;
    static constexpr uint32_t BlockFrames = 128;
    static constexpr int32_t SideChainTaps = 101;
    static constexpr uint32_t RingBlocks = 200;

    CStageDspEngine();

    // Allocates the buffers and filter states (PASSIVE_LEVEL); 1 on success
    // or when already done, 0 on the first allocation that fails.
    int32_t StageDspInit();
    void StageDspFree();
    void StageDspSetMode(int32_t mode);
    void StageDspSetGain(float gain);
    void StageDspSetLimit(float limit);
    // Adopts the channel count and the side-chain taps of the rate; restarts
    // the latency with silence.
    void StageDspSetFormat(const WAVEFORMATEXTENSIBLE& format);
    // Staging, rings, holds and side-chain histories back to their reset
    // state; the current and target gains stay.
    void StageDspConfigure();
    // channels: one buffer per channel of the format; frames in place.
    void StageDspProcess(float* const* channels, uint32_t frames);

    float CurrentGain(uint32_t channel) const { return m_CurrentGain[channel]; }
    float TargetGain(uint32_t channel) const { return m_TargetGain[channel]; }
    const float* SideChainTapTable() const { return m_Taps; }

  private:
    uint32_t Channels() const;
    void StageDspRunBlock();
    void StageDspDetectPeak();
    void StageDspDetectLoudness();
    static float StageDspBlockPeak(const float* block, uint32_t length);
    void StageDspRamp(uint32_t channel);
    void BuildSideChains();
    void AdvanceRing();

    WAVEFORMATEXTENSIBLE m_Format;
    float* m_BlockChannels[MaxChannels];
    float* m_SideChain[MaxChannels];
    float* m_InputStaging[MaxChannels];
    float* m_OutputStaging[MaxChannels];
    int32_t m_InputFill;
    int32_t m_OutputFill;
    float m_StaticGain[MaxChannels];
    float m_PreviousStaticGain[MaxChannels];
    float m_CurrentGain[MaxChannels];
    float m_TargetGain[MaxChannels];
    float m_PreviousTarget[MaxChannels];
    float m_HeldPeak[MaxChannels];
    float m_HeldSideChainPeak[MaxChannels];
    float m_PeakRing[MaxChannels][RingBlocks];
    float m_SideChainRing[MaxChannels][RingBlocks];
    float* m_DelayLine[MaxChannels];
    float m_Limit;
    DspFirState32f* m_SideChainState[MaxChannels];
    uint8_t* m_StateBuffer[MaxChannels];
    uint32_t m_RingIndex;
    uint32_t m_WarmUp;
    int32_t m_Mode;
    int32_t m_Fast[MaxChannels];
    int32_t m_GainChanged;
    int32_t m_Initialised;
    float m_Taps[SideChainTaps];
};
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40);
