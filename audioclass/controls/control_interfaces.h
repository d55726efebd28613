// The interfaces through which the topology, the property handlers and the
// chain nodes reach the device's controls, beside those the driver frame
// declares (terminal, output type, selector, mode set-up).
#pragma once

#include "framework/audio_control.h"
#include "framework/interface_table.h"
#include "framework/interfaces.h"

DEFINE_GUID(IID_IBooleanControl, 0x8EDE1D42L, 0x90E4, 0x4B08, 0x96, 0xEF, 0x7C, 0xBB, 0xC4, 0x72,
            0xF9, 0xED);
DEFINE_GUID(IID_IRangedControl, 0xB0446B44L, 0x06EB, 0x403F, 0x8B, 0x78, 0xE1, 0xE9, 0x63, 0xDE,
            0xA3, 0xCD);
DEFINE_GUID(IID_IPseudoControl, 0x34480E1CL, 0xF752, 0x41EE, 0x81, 0xAE, 0x70, 0x17, 0x4C, 0x8F,
            0xB3, 0xB3);
DEFINE_GUID(IID_IMixerTerminalSwitch, 0x9E3FB612L, 0xFCD2, 0x4C51, 0x88, 0xBA, 0xB1, 0xBD, 0x37,
            0x34, 0xF1, 0xB5);

// Control type ids beside those of the frame.
inline constexpr ULONG CONTROL_KIND_MUTE = 2;
inline constexpr ULONG CONTROL_KIND_VOLUME = 3;
inline constexpr ULONG CONTROL_KIND_AGC = 6;
inline constexpr ULONG CONTROL_KIND_LOUDNESS = 7;
inline constexpr ULONG CONTROL_KIND_GAIN = 8;
inline constexpr ULONG CONTROL_KIND_BASS = 9;
inline constexpr ULONG CONTROL_KIND_MID = 10;
inline constexpr ULONG CONTROL_KIND_TREBLE = 11;
inline constexpr ULONG CONTROL_KIND_SWITCH = 18;
inline constexpr ULONG CONTROL_KIND_SWITCH2 = 22;

// Per-channel on/off values; channel 0 is the master.
DECLARE_INTERFACE_(IBooleanControl, IUnknown)
{
    STDMETHOD(GetValue)(ULONG channel, PUCHAR value) PURE;
    STDMETHOD(SetValue)(ULONG channel, UCHAR value) PURE;
    STDMETHOD(GetChannelCount)(PULONG count) PURE;
    STDMETHOD(Init)(ULONG sourceId, ULONG channelCount) PURE;
};
typedef IBooleanControl* PBOOLEANCONTROL;

// Per-channel levels in 1/65536 dB with their range.
DECLARE_INTERFACE_(IRangedControl, IUnknown)
{
    STDMETHOD(GetValue)(ULONG channel, PLONG value) PURE;
    STDMETHOD(SetValue)(ULONG channel, LONG value) PURE;
    STDMETHOD(GetRange)(PLONG maximum, PLONG minimum, PLONG resolution) PURE;
    STDMETHOD(GetChannelCount)(PULONG count) PURE;
    STDMETHOD(Init)
    (ULONG sourceId, ULONG channelCount, LONG maximum, LONG minimum, LONG resolution) PURE;
};
typedef IRangedControl* PRANGEDCONTROL;

// A device control of its own (selectors 128 and above), named by a GUID.
DECLARE_INTERFACE_(IPseudoControl, IUnknown)
{
    STDMETHOD(GetIdentity)(GUID * identity) PURE;
    STDMETHOD(SetValue)(UCHAR value) PURE;
    STDMETHOD(GetValue)(PUCHAR value) PURE;
    STDMETHOD(GetCurrent)(PULONG value) PURE;
    STDMETHOD(Reserved1)() PURE;
    STDMETHOD(Reserved2)() PURE;
    STDMETHOD(Reserved3)() PURE;
    STDMETHOD(Init)(ULONG sourceId) PURE;
};
typedef IPseudoControl* PPSEUDOCONTROL;

// The effect pseudo controls as the topology's pseudo-control properties
// reach them; the interface id is the property set's own GUID.
DEFINE_GUID(IID_IEffectPseudoControl, 0x369C31B9L, 0x34E6, 0x4640, 0x99, 0xB6, 0xAD, 0xD1, 0x6C,
            0xF1, 0x19, 0x94);
DECLARE_INTERFACE_(IEffectPseudoControl, IUnknown)
{
    STDMETHOD(GetNodeGuid)(GUID * nodeGuid) PURE;
    STDMETHOD(SetValue)(UCHAR value) PURE;
    STDMETHOD(GetValue)(PUCHAR value) PURE;
    // L: how many 32-bit values ReadValues and WriteValues reach.
    STDMETHOD(GetEffectValueCount)(PULONG count) PURE;
    STDMETHOD(ReadValues)(ULONG first, ULONG count, PULONG values) PURE;
    STDMETHOD(WriteValues)(ULONG first, ULONG count, const ULONG* values) PURE;
    // A 12-byte item for an index; no effect control has items.
    STDMETHOD(GetValueItem)(ULONG index, PVOID item) PURE;
    STDMETHOD(ResetValueList)(ULONG value) PURE;
};
typedef IEffectPseudoControl* PEFFECTPSEUDOCONTROL;

// The channel count a property handler reports for a control of `channels`
// channels in `mode`: all of them for modes 0, 1, 4 and 6, at most 2 otherwise.
ULONG ChannelCountForMode(ULONG mode, ULONG channels);

// Tells the listeners of a device's callback object that the control's
// value changed: the record {1, 1, control id, 0}.
void NotifyControlChange(PVOID callbackObject, ULONG controlId);

// The delegating unknown of a control shape, which reaches IUnknown through
// more than one interface table.
#define DECLARE_CONTROL_UNKNOWN()                                                                  \
    STDMETHODIMP QueryInterface(REFIID interfaceId, PVOID* object) override                        \
    {                                                                                              \
        return GetOuterUnknown()->QueryInterface(interfaceId, object);                             \
    }                                                                                              \
    STDMETHODIMP_(ULONG) AddRef() override                                                         \
    {                                                                                              \
        return GetOuterUnknown()->AddRef();                                                        \
    }                                                                                              \
    STDMETHODIMP_(ULONG) Release() override                                                        \
    {                                                                                              \
        return GetOuterUnknown()->Release();                                                       \
    }                                                                                              \
    NTSTATUS NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object) override;

class CPtrList;
// Listener lists of the selector and list shapes: each entry is a referenced
// interface, released with the list.
CPtrList* NewListenerList(POOL_TYPE pool, ULONG tag);
NTSTATUS AddListenerTo(CPtrList* list, PUNKNOWN listener);
void FreeListenerList(CPtrList*& list, ULONG tag);
