// Root of every control, unit and terminal object: an id, a kind and an array
// of 32-bit values. The device object and the stream engines call the first
// twelve operations of the primary interface by place, without knowing the
// concrete class, so every derived class keeps them where they are here and
// declares its own operations after them.
#pragma once

#include "platform/portcls/stdunk.h"

DEFINE_GUID(IID_CAudioControl, 0x200AFF7FL, 0x71A4, 0x4FFC, 0xBF, 0x4F, 0x61, 0xF2, 0xB8, 0xA5,
            0x22, 0xB5);

inline constexpr ULONG AUDIO_CONTROL_POOL_TAG = POOL_TAG("Topo");

// Kinds of control objects.
inline constexpr ULONG CONTROL_KIND_GENERIC = 0; // input terminals and the generic unit base
inline constexpr ULONG CONTROL_KIND_INPUT_TERMINAL = 0;
inline constexpr ULONG CONTROL_KIND_OUTPUT_TERMINAL = 1;
inline constexpr ULONG CONTROL_KIND_SELECTOR = 4;
inline constexpr ULONG CONTROL_KIND_MIXER_UNIT = 5;
inline constexpr ULONG CONTROL_KIND_CLOCK_FREQUENCY_LIST = 12;
inline constexpr ULONG CONTROL_KIND_LIST = 13;
inline constexpr ULONG CONTROL_KIND_PSEUDO = 23;

class CAudioControl : public IUnknown, public CUnknown
{
  public:
    CAudioControl(PUNKNOWN outerUnknown, ULONG id, ULONG kind);

    // Slots 1 to 3: the delegating unknown.
    STDMETHODIMP QueryInterface(REFIID interfaceId, PVOID* object) override
    {
        return GetOuterUnknown()->QueryInterface(interfaceId, object);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return GetOuterUnknown()->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return GetOuterUnknown()->Release(); }

    // Slots 4 to 12, in this order.
    virtual ULONG GetId();
    virtual ULONG GetKind();
    virtual ULONG GetValueCount();
    // Copies at most the stored count and lowers *count to what was copied.
    virtual NTSTATUS GetValues(PULONG count, PULONG values);
    // Brings the device in line with the stored state (after set-up and on
    // every return to full power).
    virtual NTSTATUS RestoreState();
    // Reads the current state back from the device.
    virtual NTSTATUS UpdateState();
    virtual NTSTATUS Start();
    virtual NTSTATUS Stop();
    // Replaces the value array with a copy of `values`; count 0 clears it.
    virtual NTSTATUS SetValueArray(ULONG count, const ULONG* values);

    // Declared after the twelve so that they keep their places.
    NTSTATUS NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object) override;
    ~CAudioControl() override;

  protected:
    ULONG m_Id;
    ULONG m_Kind;
    ULONG m_ValueCount;
    PULONG m_Values;
};
typedef CAudioControl* PAUDIOCONTROL;
