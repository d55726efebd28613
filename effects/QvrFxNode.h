// The headphone effect node, pseudo control 140 of the chip feature unit.
// Each block of the stream is converted to the engine rate (44100 or 48000
// Hz), folded plainly to two channels through one stage engine and run
// through the headphone engine and a second stage engine; one of the two
// results is chosen by channel count and on/off value, a switch crossfades
// between them (k = n / 5 of the block's n engine-rate frames), and the
// result is converted back. The back-conversion lands in the node's own
// staging buffers, behind the frames left over from earlier blocks, and the
// stream takes its frames from the front: order is kept, and the stream's
// 512-frame buffers are never written or read beyond the block.
//
// The node also carries two values, the room (0 to 2) and the angle-family
// flag, kept in the registry; a change reaches the engine at the next block
// boundary, inside Process and so under the stream engine's lock.
#pragma once

#include "effects/EffectPseudoControl.h"
#include "effects/StageDspEngine.h"
#include "globaltopo/common/QVR/QvrEngine.h"
#include "streaming/conversion/dsp_non_interleave_src.h"

DEFINE_GUID(QVR_FX_NODE_GUID, 0xC7600B33L, 0x1AA6, 0x4383, 0x91, 0x8D, 0x30, 0xD8, 0x48, 0xBB, 0xAD,
            0x3E);

inline constexpr ULONG QVR_FX_POOL_TAG = POOL_TAG("ZELK");
inline constexpr ULONG QVR_FX_VALUE_COUNT = 2;
inline constexpr ULONG QVR_FX_ROOM_MAX = 2;
// Frames the leftover FIFO keeps at most.
inline constexpr ULONG QVR_FX_FIFO_FRAMES = 512;
// Staging per channel: the FIFO, then a back-converted block.
inline constexpr ULONG QVR_FX_STAGING_FRAMES = QVR_FX_FIFO_FRAMES + 2 * EFFECT_CHUNK_FRAMES;

class CQvrFxNode : public CEffectPseudoControl
{
  public:
    explicit CQvrFxNode(ULONG id, const float* bank = HeadphoneCoefficientBank)
        : CEffectPseudoControl(id, QVR_FX_NODE_GUID, QVR_FX_VALUE_COUNT), m_Bank(bank)
    {
    }
    ~CQvrFxNode() override;

    // The pseudo control, then buffers, converters, stages and engine with
    // its defaults, then the values kept in the registry (a room above 2 is
    // not taken). Anything that cannot be made leaves the node without an
    // engine, passing the stream through; the control's status is returned.
    NTSTATUS QvrFxNodeInit(CUacUnit* unit, UCHAR selector, PDEVICE_OBJECT key);

    // IEffectPseudoControl: values 0 (room) and 1 (flag).
    STDMETHODIMP ReadValues(ULONG first, ULONG count, PULONG values) override;
    // Stores and persists only the values it takes (a room above 2 is
    // refused); STATUS_SUCCESS when it took any.
    STDMETHODIMP WriteValues(ULONG first, ULONG count, const ULONG* values) override;

    // IChainNode
    STDMETHODIMP SetFormat(PWAVEFORMATEX format) override;
    STDMETHODIMP ResetStages() override;
    STDMETHODIMP Process(PWAVEFORMATEX format, PVOID buffers, ULONG frames) override;
    STDMETHODIMP Flush(PWAVEFORMATEX format, PVOID buffers, ULONG frames) override;
    // Every block it runs goes through its converters, stages and FIFO,
    // which delay it: it changes samples while on, through a switch, where
    // it folds more than two channels, and from its first block on until
    // the stream starts again (its state may hold the stream's sound). A
    // node off since the start is passed over, and a run after that starts
    // from the state the start left.
    DECLARE_CHAIN_NODE_ACTIVITY()

    // 44100 Hz for rates that are not whole kilohertz, else 48000 Hz.
    static ULONG EngineRate(ULONG streamRate);
    // Runs a converter over one block: from `inputs` into `outputs`, never
    // beyond `capacity` frames, until the input is used up or a pass moves
    // nothing. STATUS_INVALID_PARAMETER (and *produced as it was) for an
    // empty block, no room or a missing table.
    static NTSTATUS ResampleBlock(CDspNonInterleaveSrc* converter, ULONG inputFrames,
                                  PULONG produced, const WAVEFORMATEXTENSIBLE& inFormat,
                                  const WAVEFORMATEXTENSIBLE& outFormat, float* const* inputs,
                                  float* const* outputs, ULONG capacity, bool reset);

    // The stream's block from staging tables holding fifoCount leftover
    // frames, then the produced ones: leftovers first, silence where both
    // fall short; what lies beyond the block stays, at most the FIFO's
    // frames, the oldest first. Returns the frames that stay.
    static ULONG DeliverStaging(float* const* staging, ULONG fifoCount, float* const* stream,
                                ULONG channels, ULONG frames, ULONG produced);

    bool HasEngine() const { return m_Engine != nullptr; }
    // The engine took the current format: Process works on it.
    bool IsConfigured() const { return m_Configured; }
    ULONG FifoCount() const { return m_FifoCount; }
    CQvrEngine* Engine() const { return m_Engine; }
    const WAVEFORMATEX& WorkingFormat() const { return m_WorkingFormat; }

  private:
    bool MakeConverters();
    bool MakeStages();
    bool MakeEngine();
    void RestoreValues();
    void PersistValue(ULONG index);
    // The stored values to the engine, each only where it differs.
    void ApplyValues();
    bool ConfigureFormats(PWAVEFORMATEX format);
    void ProcessBlock(float* const* stream, ULONG channels, ULONG frames);
    // The stream's block from the staging: leftovers first, then the new
    // frames; what is beyond the block stays for the next one.
    void Deliver(float* const* stream, ULONG channels, ULONG frames, ULONG produced);

    const float* m_Bank;
    WAVEFORMATEXTENSIBLE m_StreamFloat = {};
    WAVEFORMATEXTENSIBLE m_EngineFloat = {};
    WAVEFORMATEX m_WorkingFormat = {};
    CQvrEngine* m_Engine = nullptr;
    CStageDspEngine* m_EffectStage = nullptr;
    CStageDspEngine* m_PlainStage = nullptr;
    CDspNonInterleaveSrc* m_InputSrc = nullptr;
    CDspNonInterleaveSrc* m_OutputSrc = nullptr;
    float* m_Plain[EFFECT_MAX_CHANNELS] = {};
    float* m_Effect[EFFECT_MAX_CHANNELS] = {};
    float* m_Staging[EFFECT_MAX_CHANNELS] = {};
    ULONG m_FifoCount = 0;
    bool m_Configured = false;
    bool m_Ran = false; // a block ran since SetFormat
    ULONG m_Values[QVR_FX_VALUE_COUNT] = {};
    volatile LONG m_ValuesChanged = 0;
};
