// What the two effect nodes share: each is a pseudo control of the chip
// feature unit (an on/off byte the topology gets and sets, kept in the
// registry, a node GUID and a count of 32-bit values) and a node of the
// stream engine's processing chain. The control side hands a switch to the
// processing side through one atomic change flag; the processing side keeps
// the crossfade state and runs the crossfade between its plain and its
// processed signal.
#pragma once

#include "framework/stream_engine.h"
#include "audioclass/controls/chain_nodes.h"

// Pool tag of the effect nodes' buffers and converters.
inline constexpr ULONG EFFECT_NODE_POOL_TAG = POOL_TAG("DoHP");
// Frames of one processing chunk, the most the stream engine passes.
inline constexpr ULONG EFFECT_CHUNK_FRAMES = STREAM_ENGINE_CHUNK_FRAMES;
inline constexpr ULONG EFFECT_MAX_CHANNELS = STREAM_ENGINE_MAX_CHANNELS;

// Crossfade states.
inline constexpr LONG EFFECT_FADE_NONE = 1;
inline constexpr LONG EFFECT_FADE_TO_EFFECT = 2;
inline constexpr LONG EFFECT_FADE_TO_PLAIN = 3;

// A chunk of `frames` frames that begins at frame `position` of a crossfade
// of unit k: the old signal falls to 0 over crossfade frames 0 to 2k - 1,
// the new one rises from 0 over 2k to 4k - 1, each step 1 / (2k - 1). State
// 2 fades `plain` out and `out` in; state 3 fades `out` out and `plain` in,
// and from 4k on `out` is `plain`. With k = 0 state 3 copies `plain`, state
// 2 changes nothing.
void EffectCrossfade(float* out, const float* plain, ULONG frames, ULONG k, LONG state,
                     ULONG position);

// Points `table` at frame `offset` of each of the eight channel buffers.
void EffectOffsetTable(float* const* buffers, ULONG offset, float** table);

// Calls `process(table, count)` on each chunk of a processing call's
// `frames` frames in turn: `table` points at the chunk's first frame in each
// of the eight channel buffers, `count` is its frames (a full chunk but for
// the last).
template <class Process> void ForEachEffectChunk(PVOID buffers, ULONG frames, Process process)
{
    float* const* stream = static_cast<float* const*>(buffers);
    for (ULONG done = 0; done < frames; done += EFFECT_CHUNK_FRAMES)
    {
        float* chunk[EFFECT_MAX_CHANNELS];
        EffectOffsetTable(stream, done, chunk);
        const ULONG left = frames - done;
        process(chunk, left < EFFECT_CHUNK_FRAMES ? left : EFFECT_CHUNK_FRAMES);
    }
}

// A table of eight zeroed channel buffers of `frames` floats; false when an
// allocation fails (what was made stays, for FreeEffectBuffers).
bool MakeEffectBuffers(float** table, ULONG frames);
void FreeEffectBuffers(float** table);

// Keeps the plain IChainNode reserved slots apart from the pseudo control's,
// which answer otherwise.
class CEffectChainSlots : public IChainNode
{
  public:
    STDMETHODIMP Reserved1() override { return STATUS_SUCCESS; }
    STDMETHODIMP Reserved2() override { return STATUS_SUCCESS; }
};

// Each node says for itself, through the activity interface, when it
// changes a stream's samples; a switch pending or fading always does.
class CEffectPseudoControl : public CUacPseudo140Control,
                             public CEffectChainSlots,
                             public IEffectPseudoControl,
                             public IChainNodeActivity
{
  public:
    CEffectPseudoControl(ULONG id, const GUID& nodeGuid, ULONG valueCount);
    DECLARE_CONTROL_UNKNOWN()

    // IEffectPseudoControl
    STDMETHODIMP GetNodeGuid(GUID* nodeGuid) override;
    STDMETHODIMP SetValue(UCHAR value) override { return CUacPseudo140Control::SetValue(value); }
    STDMETHODIMP GetValue(PUCHAR value) override;
    STDMETHODIMP GetEffectValueCount(PULONG count) override;
    // A node without values refuses both.
    STDMETHODIMP ReadValues(ULONG, ULONG, PULONG) override { return STATUS_INVALID_PARAMETER; }
    STDMETHODIMP WriteValues(ULONG, ULONG, const ULONG*) override
    {
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP GetValueItem(ULONG, PVOID) override { return STATUS_INVALID_PARAMETER; }
    STDMETHODIMP ResetValueList(ULONG value) override;

    // The pseudo control's own set-up: unit, selector, the on/off byte from
    // the device and then the registry, no change pending, no crossfade.
    NTSTATUS CreateEffectControl(CUacUnit* unit, UCHAR selector, PDEVICE_OBJECT key);

    bool IsOn() const { return m_Value != 0; }
    LONG CrossfadeState() const { return m_Crossfade; }

  protected:
    // Takes the change flag; when it was set, the crossfade toward the
    // current on/off value starts. True when a crossfade starts.
    bool TakeChange();
    void EndCrossfade() { InterlockedExchange(&m_Crossfade, EFFECT_FADE_NONE); }
    bool Fading() const { return m_Crossfade != EFFECT_FADE_NONE; }
    // A switch not yet taken, or its crossfade under way.
    bool SwitchPending() const { return Changed() != 0 || Fading(); }

    // How a node names its change: its effect ("the delay effect"), its fold
    // of more than two channels (a format taking the channel count) and
    // what it does to one or two channels otherwise.
    struct EffectWords
    {
        PCSTR Effect;
        PCSTR Fold;
        PCSTR Otherwise;
    };
    // "<effect>'s switch", the effect where `heard`, the fold, or the rest,
    // each "on control <id>"; empty unless `changes`.
    void SayChange(bool changes, bool heard, ULONG channels, const EffectWords& words, PSTR text,
                   ULONG size) const;

    ULONG m_EffectValueCount;
    volatile LONG m_Crossfade = EFFECT_FADE_NONE;
};

// True for a PCM stream: the only one the effects touch.
bool EffectIsPcm(const WAVEFORMATEX* format);
// The channels of `format` a node's eight-entry tables hold.
ULONG EffectChannels(const WAVEFORMATEX* format);
