// What the effect-node tests share: a feature unit that answers the on/off
// requests of the pseudo controls from a script, nodes made the way the chip
// feature unit makes them, stream formats, the stream engine's table of eight
// 512-frame channel buffers, and processing at DISPATCH_LEVEL with the pool's
// count of requests made there.
#pragma once

#include <string>
#include <vector>

#include "effects/DelayFxNode.h"
#include "effects/QvrFxNode.h"
#include "usbaudio/chip_model/effect_feature_unit.h"

struct EffectUnitScript
{
    UCHAR DeviceValue = 0;
    NTSTATUS SetStatus = STATUS_SUCCESS;
    std::vector<std::string> Sets; // "selector channel value"
};
CUacUnit* MakeEffectUnit(EffectUnitScript* script);

// A node with the creator's reference, released at the end.
template <typename T> struct EffectNodeRef
{
    T* Node = nullptr;
    template <typename... A> explicit EffectNodeRef(A&&... args)
    {
        Node = new (NonPagedPool, CHIP_FEATURE_UNIT_POOL_TAG) T(static_cast<A&&>(args)...);
        Node->AddRef();
    }
    ~EffectNodeRef() { Node->Release(); }
    EffectNodeRef(const EffectNodeRef&) = delete;
    EffectNodeRef& operator=(const EffectNodeRef&) = delete;
    T* operator->() const { return Node; }
};

WAVEFORMATEXTENSIBLE EffectPcmFormat(ULONG channels, ULONG rate);
WAVEFORMATEXTENSIBLE EffectFloatFormat(ULONG channels, ULONG rate);

// The stream engine's eight channel buffers of 512 frames.
struct EffectBlock
{
    EffectBlock();
    std::vector<float> Data[EFFECT_MAX_CHANNELS];
    float* Table[EFFECT_MAX_CHANNELS];
    void Fill(ULONG channel, float value);
};

// Process at DISPATCH_LEVEL, as the stream engine runs it; fails the test
// when the node asks the pool for memory there.
NTSTATUS ProcessAtDispatch(IChainNode* node, WAVEFORMATEXTENSIBLE& format, float** table,
                           ULONG frames);

// Runs a mono impulse stream through a chain, 512 frames a call: `input`
// per channel for the channels of the format; returns channel 0 and 1 of
// the output.
struct EffectRun
{
    std::vector<float> Left, Right;
};
EffectRun RunChain(const std::vector<IChainNode*>& chain, WAVEFORMATEXTENSIBLE format,
                   const std::vector<std::vector<float>>& input);

// What a node says it changes in `format` ("": nothing); whether it
// changes samples must agree.
std::string SaidBy(CEffectPseudoControl* node, WAVEFORMATEXTENSIBLE format);

// Index of the largest magnitude.
size_t PeakOf(const std::vector<float>& signal);
