// Controls that are also nodes of a stream engine's processing chain, and
// the plain chain nodes: software mute (always, by output kind, or by the
// state a device model sets), software gains per channel, the fixed
// attenuation node and the channel swap of 7.1 streams. Process runs at
// DISPATCH_LEVEL under the engine's lock; it reads the kept values without
// a lock and allocates nothing.
#pragma once

#include "audioclass/controls/uac_level_controls.h"

inline constexpr ULONG SOFT_MUTE_POOL_TAG = POOL_TAG("DSPs");
// The output kind under which the gated nodes act ("SPDIF").
inline constexpr ULONG CHAIN_GATE_KIND = ENDPOINT_KIND_SPDIF;

// The sample tag of a stream format: the sub-format's for an extensible one.
ULONG ChainFormatTag(const WAVEFORMATEX* format);
// Silences `frames` frames: per channel buffer for PCM (tag 1), else
// nBlockAlign x frames bytes of the interleaved buffer, never beyond it.
void SoftMuteBuffers(const WAVEFORMATEX* format, PVOID buffers, ULONG frames);
// Multiplies channel c by gains[c] for the channels both have; the others
// keep their level.
void ApplyChannelGains(const WAVEFORMATEX* format, PVOID buffers, ULONG frames, const float* gains,
                       ULONG gainCount);
// Whether ApplyChannelGains would change a PCM stream of `format`: a gain
// other than unity on a channel both have.
bool ChannelGainsChange(const WAVEFORMATEX* format, const float* gains, ULONG gainCount);
// `what` into `text` (at most `size` bytes, terminated) when `changes`, else
// an empty string; with an id, "<what> on control <id>".
void DescribeNodeChange(bool changes, PSTR text, ULONG size, PCSTR what);
void DescribeNodeChange(bool changes, PSTR text, ULONG size, PCSTR what, ULONG id);
// A level in 1/65536 dB as a person reads it, to the tenth: "-6.0", "+3.5",
// "0.0"; "-inf" for silence (0x80000000).
void FormatLevelDb(LONG level, PSTR text, ULONG size);

// The activity interface's two operations, declared in a node class.
#define DECLARE_CHAIN_NODE_ACTIVITY()                                                              \
    STDMETHODIMP_(BOOLEAN) ChangesSamples(PWAVEFORMATEX format) override;                          \
    STDMETHODIMP_(void) DescribeChange(PWAVEFORMATEX format, PSTR text, ULONG size) override;

// The chain-node table of a control or plain node; the reserved slots
// answer `reserved`.
#define DECLARE_CHAIN_NODE_SLOTS(reserved)                                                         \
    STDMETHODIMP Reserved1() override                                                              \
    {                                                                                              \
        return reserved;                                                                           \
    }                                                                                              \
    STDMETHODIMP Reserved2() override                                                              \
    {                                                                                              \
        return reserved;                                                                           \
    }                                                                                              \
    STDMETHODIMP SetFormat(PWAVEFORMATEX) override                                                 \
    {                                                                                              \
        return STATUS_SUCCESS;                                                                     \
    }                                                                                              \
    STDMETHODIMP ResetStages() override                                                            \
    {                                                                                              \
        return STATUS_SUCCESS;                                                                     \
    }                                                                                              \
    STDMETHODIMP Flush(PWAVEFORMATEX, PVOID, ULONG) override                                       \
    {                                                                                              \
        return STATUS_SUCCESS;                                                                     \
    }

// When a mute node silences its stream.
enum class MuteGate : UCHAR
{
    Always,      // CSoftMuteNode, CTimedMuteNode
    ModeIsSpdif, // CGatedMuteNode: the control's mode
    StateIs3     // CGatedMuteNodeEx: the value a device model set
};

// The software mute of a path without controls: one channel, no device.
// It changes samples only while muted.
class CSoftMuteNode : public CBooleanControl, public IChainNode, public IChainNodeActivity
{
  public:
    explicit CSoftMuteNode(ULONG id) : CBooleanControl(nullptr, id, CONTROL_KIND_MUTE) {}
    DECLARE_CONTROL_UNKNOWN()
    DECLARE_CHAIN_NODE_SLOTS(STATUS_NOT_IMPLEMENTED)
    DECLARE_CHAIN_NODE_ACTIVITY()
    STDMETHODIMP Process(PWAVEFORMATEX format, PVOID buffers, ULONG frames) override;
    // Only one channel.
    STDMETHODIMP Init(ULONG sourceId, ULONG channelCount) override;
};

// A device model's mute control that also mutes in software: it changes
// samples while its gate is open and it is muted.
class CMuteNodeControl : public CUacBooleanControl,
                         public IChainNode,
                         public IChainNodeState,
                         public IChainNodeActivity
{
  public:
    CMuteNodeControl(ULONG id, MuteGate gate)
        : CUacBooleanControl(id, UAC_MUTE_CONTROL), m_Gate(gate)
    {
    }
    DECLARE_CONTROL_UNKNOWN()
    DECLARE_CHAIN_NODE_SLOTS(STATUS_NOT_IMPLEMENTED)
    DECLARE_CHAIN_NODE_ACTIVITY()
    STDMETHODIMP Process(PWAVEFORMATEX format, PVOID buffers, ULONG frames) override;
    STDMETHODIMP SelectionChanging(ULONG, ULONG) override { return STATUS_SUCCESS; }
    STDMETHODIMP SetState(ULONG value) override;
    STDMETHODIMP SetIndex(ULONG value) override;

  private:
    bool Mutes() const;

    MuteGate m_Gate;
    volatile ULONG m_State = 0;
    volatile ULONG m_Index = 0;
};
class CTimedMuteNode : public CMuteNodeControl
{
  public:
    explicit CTimedMuteNode(ULONG id) : CMuteNodeControl(id, MuteGate::Always) {}
    ~CTimedMuteNode() override;
};
class CGatedMuteNode : public CMuteNodeControl
{
  public:
    explicit CGatedMuteNode(ULONG id) : CMuteNodeControl(id, MuteGate::ModeIsSpdif) {}
    ~CGatedMuteNode() override;
};
class CGatedMuteNodeEx : public CMuteNodeControl
{
  public:
    explicit CGatedMuteNodeEx(ULONG id) : CMuteNodeControl(id, MuteGate::StateIs3) {}
    ~CGatedMuteNodeEx() override;
};

// A volume control with a software gain per channel (m_ChannelCount + 1):
// it changes PCM samples while its gate is open and a gain of a channel of
// the stream is not unity.
class CGainNodeControl : public CUacRangedControl,
                         public IChainNode,
                         public IChainNodeState,
                         public IChainNodeActivity
{
  public:
    ~CGainNodeControl() override;
    DECLARE_CONTROL_UNKNOWN()
    DECLARE_CHAIN_NODE_ACTIVITY()
    STDMETHODIMP SelectionChanging(ULONG, ULONG) override { return STATUS_SUCCESS; }
    STDMETHODIMP SetState(ULONG value) override;
    STDMETHODIMP SetIndex(ULONG value) override;
    // The ranged control, then the gains of its kept values.
    NTSTATUS CreateSoftVolumeGains(CUacUnit* unit, UCHAR selector, PDEVICE_OBJECT key);
    float Gain(ULONG channel) const
    {
        return channel <= m_ChannelCount && m_Gains ? m_Gains[channel] : 1.0f;
    }

  protected:
    explicit CGainNodeControl(ULONG id) : CUacRangedControl(id, UAC_VOLUME_CONTROL) {}
    void LevelChanged(ULONG channel) override;
    // Whether the node's condition lets it act now.
    virtual bool GateOpen() const = 0;
    void ApplyGains(PWAVEFORMATEX format, PVOID buffers, ULONG frames);
    ULONG GainCount() const { return m_Gains != nullptr ? m_ChannelCount + 1 : 0; }

    float* m_Gains = nullptr;
    volatile ULONG m_State = 0;
    volatile ULONG m_Index = 0;
};

// The volume node's gains: 10^(level / 20 dB) for each of the first `count`
// levels (1/65536 dB), at most eight. false when a step failed (the gains
// are then unchanged).
bool ComputeVolumeGains(const LONG* levels, ULONG count, float* gains);
inline constexpr ULONG VOLUME_NODE_MAX_GAINS = 8;

// Acts in the "SPDIF" mode on PCM streams.
class CGatedVolumeNode : public CGainNodeControl
{
  public:
    explicit CGatedVolumeNode(ULONG id) : CGainNodeControl(id) {}
    DECLARE_CHAIN_NODE_SLOTS(STATUS_NOT_IMPLEMENTED)
    STDMETHODIMP Process(PWAVEFORMATEX format, PVOID buffers, ULONG frames) override;

  protected:
    // The gains of at most eight channels, through the vector primitives.
    void LevelChanged(ULONG channel) override;
    bool GateOpen() const override { return m_Mode == CHAIN_GATE_KIND; }
};

// The device's pseudo volume 130: acts when the selection a device model
// set (state) is the input it feeds (index).
class CUacPseudo130Control : public CGainNodeControl
{
  public:
    explicit CUacPseudo130Control(ULONG id) : CGainNodeControl(id) {}
    DECLARE_CHAIN_NODE_SLOTS(STATUS_SUCCESS)
    STDMETHODIMP Process(PWAVEFORMATEX format, PVOID buffers, ULONG frames) override;
    // Re-applies the mode's values, then every channel's, notifying after each pass.
    STDMETHODIMP SetMode(ULONG mode, PVOID notificationTarget) override;

  protected:
    bool GateOpen() const override { return m_State == m_Index; }
};

// Plain nodes. The jack node changes PCM samples in its modes 1 and 2.
class CChainNode : public IChainNode, public IChainNodeActivity, public CUnknown
{
  public:
    explicit CChainNode(ULONG mode) : CUnknown(nullptr), m_Mode(mode) {}
    DECLARE_CONTROL_UNKNOWN()
    DECLARE_CHAIN_NODE_SLOTS(STATUS_NOT_IMPLEMENTED)
    DECLARE_CHAIN_NODE_ACTIVITY()
    // Mode 1 attenuates by a quarter, mode 2 silences, others pass.
    STDMETHODIMP Process(PWAVEFORMATEX format, PVOID buffers, ULONG frames) override;
    void SetNodeMode(ULONG mode) { m_Mode = mode; }
    ULONG NodeMode() const { return m_Mode; }

  private:
    volatile ULONG m_Mode;
};

// Exchanges the side and back pairs of an eight-channel PCM stream, always;
// other streams it leaves alone.
class CChannelSwapNode : public IChainNode, public IChainNodeActivity, public CUnknown
{
  public:
    CChannelSwapNode() : CUnknown(nullptr) {}
    DECLARE_CONTROL_UNKNOWN()
    DECLARE_CHAIN_NODE_SLOTS(STATUS_NOT_IMPLEMENTED)
    DECLARE_CHAIN_NODE_ACTIVITY()
    STDMETHODIMP Process(PWAVEFORMATEX format, PVOID buffers, ULONG frames) override;
};
