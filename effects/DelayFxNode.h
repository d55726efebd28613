// The delay effect node, pseudo control 139 of the chip feature unit: in the
// playback chain it leaves a two-channel signal in channels 0 and 1 of the
// stream's buffers, either the multichannel delay network's output (doubled)
// when the effect is on and the stream has six to eight channels, or the
// plain fold of the stream. A switch crossfades between the two over 2k + 2k
// frames, k being a millisecond of the stream's rate, across chunks and
// calls when it is longer than one.
#pragma once

#include "effects/DelayFxEngine.h"
#include "effects/EffectPseudoControl.h"

DEFINE_GUID(DELAY_FX_NODE_GUID, 0xAC02E636L, 0xCB62, 0x42EF, 0xA9, 0x7C, 0x5F, 0x4C, 0x1C, 0xDF,
            0xEC, 0x13);

class CDelayFxNode : public CEffectPseudoControl
{
  public:
    explicit CDelayFxNode(ULONG id) : CEffectPseudoControl(id, DELAY_FX_NODE_GUID, 0) {}
    ~CDelayFxNode() override;

    // The pseudo control, then the plain buffers and the engine. A buffer
    // or engine that cannot be made leaves the node without an engine,
    // passing the stream through; the control's status is returned.
    NTSTATUS DelayFxNodeInit(CUacUnit* unit, UCHAR selector, PDEVICE_OBJECT key);

    // IChainNode
    STDMETHODIMP SetFormat(PWAVEFORMATEX format) override;
    STDMETHODIMP ResetStages() override { return STATUS_SUCCESS; }
    STDMETHODIMP Process(PWAVEFORMATEX format, PVOID buffers, ULONG frames) override;
    STDMETHODIMP Flush(PWAVEFORMATEX format, PVOID buffers, ULONG frames) override;
    // A switch (its crossfade), a fold of more than two channels (the
    // network's signal, on six to eight, while on), and the 1e-12 guard
    // against denormals on 32-bit containers, whose back-conversion
    // truncates: a small negative sample moves a step. One or two channels
    // of 16 or 24 bits pass as they came. The delay lines run only where
    // it reports a change, so passing it over cuts no tail.
    DECLARE_CHAIN_NODE_ACTIVITY()

    bool HasEngine() const { return m_Engine != nullptr; }
    // A millisecond of the stored rate.
    ULONG FadeUnit() const { return m_StreamFormat.Format.nSamplesPerSec / 1000; }

  private:
    void ProcessChunk(float** channels, ULONG channelCount, ULONG frames);
    void RunEngine(float** channels, ULONG channelCount, ULONG frames);

    WAVEFORMATEXTENSIBLE m_StreamFormat = {};
    CDelayFxEngine* m_Engine = nullptr;
    float* m_Plain[EFFECT_MAX_CHANNELS] = {};
    // Frames of the running crossfade already done.
    ULONG m_FadePosition = 0;
};
