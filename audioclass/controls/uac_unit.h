// The base of every unit, terminal and clock object: the copy of its
// class-specific descriptor, the controls it created (each also in the
// device's control list), and the device it belongs to. A unit's id is its
// descriptor's unit or terminal id, its kind the descriptor subtype and its
// values the ids of its sources. The interfaces here are what the concrete
// controls ask of their unit.
#pragma once

#include "framework/audio_hal.h"
#include "audioclass/controls/control_interfaces.h"
#include "platform/usb/usb.h"

DEFINE_GUID(IID_IUnitBooleanRequests, 0xAE45E80CL, 0xD8A3, 0x4E59, 0xB8, 0xDF, 0xC0, 0xEC, 0x0B,
            0x62, 0xF3, 0xCC);
DEFINE_GUID(IID_IUnitRangedRequests, 0x934E9EE1L, 0x3402, 0x4AE4, 0xB5, 0x20, 0xE1, 0xE4, 0x92,
            0x5F, 0xAC, 0x8E);
// The terminal units' own form of the terminal operations: the jack
// queries name the output type they are for.
DEFINE_GUID(IID_ITerminalUnit, 0x6B1D0F52L, 0x2C7E, 0x4E8A, 0x9D, 0x31, 0x5A, 0x44, 0x0C, 0x7B,
            0xE2, 0x19);

inline constexpr ULONG UAC_UNIT_POOL_TAG = POOL_TAG("AUAT");

DECLARE_INTERFACE_(IUnitBooleanRequests, IUnknown)
{
    STDMETHOD(GetBoolean)(UCHAR selector, ULONG channel, PUCHAR value) PURE;
    STDMETHOD(SetBoolean)(UCHAR selector, ULONG channel, UCHAR value) PURE;
    STDMETHOD(GetBooleanChannels)(UCHAR selector, PULONG count) PURE;
};
typedef IUnitBooleanRequests* PUNITBOOLEANREQUESTS;

// Levels in the controls' units (1/65536 dB).
DECLARE_INTERFACE_(IUnitRangedRequests, IUnknown)
{
    STDMETHOD(GetLevel)(UCHAR selector, ULONG channel, PLONG level) PURE;
    STDMETHOD(SetLevel)(UCHAR selector, ULONG channel, LONG level) PURE;
    STDMETHOD(GetLevelRange)(UCHAR selector, PLONG maximum, PLONG minimum, PLONG resolution) PURE;
    STDMETHOD(GetLevelChannels)(UCHAR selector, PULONG count) PURE;
};
typedef IUnitRangedRequests* PUNITRANGEDREQUESTS;

DECLARE_INTERFACE_(ITerminalUnit, IUnknown)
{
    STDMETHOD(GetCurrentKind)(PULONG endpointKind) PURE;
    STDMETHOD(GetKindCount)(PULONG count) PURE;
    STDMETHOD(GetKinds)(PULONG kinds) PURE;
    STDMETHOD(SetKind)(ULONG endpointKind) PURE;
    // index: the output type (output terminals); input terminals ignore it.
    STDMETHOD(GetJackCount)(PULONG count, ULONG index) PURE;
    STDMETHOD(GetJackInfo)(ULONG bytes, PVOID jacks, ULONG index) PURE;
};
typedef ITerminalUnit* PTERMINALUNIT;

// Something of its device a unit refuses on purpose: the unit's kind as the
// audio class names it and what of it is refused, for the walk's debug line
// when the unit's Init fails.
struct UnitRefusal
{
    const char* Kind = nullptr;
    const char* What = nullptr; // null: nothing was refused
};

class CUacUnit : public CAudioControl
{
  public:
    explicit CUacUnit(ULONG index) : CAudioControl(nullptr, index, 0) {}
    ~CUacUnit() override;

    // Checks the descriptor's type and subtype, keeps a copy of it and the
    // device, reads what the unit needs of the device, creates the unit's
    // controls and chains them.
    virtual NTSTATUS Init(const UCHAR* descriptor, CAudioHal* device);
    // The unit's id, kind, sources and controls.
    virtual NTSTATUS CreateControls(CAudioHal* device) = 0;
    // The id of the unit's only control (STATUS_UNSUCCESSFUL otherwise).
    virtual NTSTATUS GetSingleControlId(ULONG selector, ULONG channel, PULONG id);
    // Whether the device lets the driver set the selector's control on the
    // channel (index 0 the first the control counts); a class 2.0 unit may
    // declare a control read-only.
    virtual bool ChannelWritable(UCHAR, ULONG) { return true; }

    NTSTATUS UnitInitDescriptor(const UCHAR* descriptor, CAudioHal* device);
    NTSTATUS UnitAddControl(CAudioControl* control);
    NTSTATUS UnitGetControl(ULONG index, CAudioControl** control);
    NTSTATUS UnitGetControlCount(PULONG count);
    void UnitReleaseControls();
    // The id of the first control: what the walkers link other units to.
    NTSTATUS UnitGetFirstValue(PULONG value);
    // Hands source ids to the first control, by its kind.
    NTSTATUS UnitSetFirstValue(ULONG count, const ULONG* values);
    // Chains the unit's controls one after the other.
    void UnitSyncControls();
    // The id of the last control of that chain: what the unit hands on to
    // the units it feeds (a feature unit's mute feeds its volume, which
    // feeds the next unit).
    NTSTATUS UnitGetOutputValue(PULONG value);
    // Called where a device answer is refused on purpose, before the
    // failure it causes ends the unit's Init.
    void NoteRefusal(const char* kind, const char* what) { m_Refusal = {kind, what}; }
    const UnitRefusal& Refusal() const { return m_Refusal; }

    const UCHAR* Descriptor() const { return m_Descriptor; }
    CAudioHal* Device() const { return m_Device; }
    UCHAR DescriptorByte(ULONG offset) const
    {
        return m_Descriptor != nullptr && offset < m_Descriptor[0] ? m_Descriptor[offset] : 0;
    }
    USHORT DescriptorWord(ULONG offset) const
    {
        return (USHORT)(DescriptorByte(offset) | DescriptorByte(offset + 1) << 8);
    }
    PUNKNOWN Owner() const { return static_cast<IAdapterCommon*>(m_Device); }
    PDEVICE_OBJECT SettingsKey() const
    {
        return m_Device != nullptr ? m_Device->GetDeviceObject() : nullptr;
    }

  protected:
    // The descriptor subtype the class stands for.
    virtual UCHAR Subtype() const = 0;
    // Between keeping the descriptor and creating the controls.
    virtual void ReadUnitState() {}
    // Unit id, kind and sources as the descriptor gives them.
    NTSTATUS SetIdentity(ULONG offsetOfId, UCHAR kind, ULONG sourceCount, ULONG offsetOfSources);
    bool WalkControlChain(bool link, PULONG end);

    PUCHAR m_Descriptor = nullptr;
    CPtrList* m_Controls = nullptr;
    CAudioHal* m_Device = nullptr;
    UnitRefusal m_Refusal;
};

// Registers a new control: the device's list, then the unit's; the
// creator's reference is released either way.
NTSTATUS RegisterUnitControl(CUacUnit* unit, CAudioControl* control, NTSTATUS initStatus);

// Makes a control of class T with the device's next control id, runs `init`
// on it and registers it with the device and the unit.
// STATUS_NO_MEMORY: the object could not be allocated.
template <typename T, typename Init, typename... A>
NTSTATUS MakeUnitControl(CUacUnit* unit, CAudioHal* device, ULONG tag, Init init, A&&... args)
{
    auto control = new (NonPagedPool, tag) T(device->GetUnitCount(), static_cast<A&&>(args)...);
    if (control == nullptr)
        return STATUS_NO_MEMORY;
    control->AddRef();
    return RegisterUnitControl(unit, control, init(control));
}

// MakeUnitControl for a control the unit cannot do without: an object that
// cannot be allocated fails the unit with STATUS_INSUFFICIENT_RESOURCES.
template <typename T, typename Init, typename... A>
NTSTATUS MakeRequiredUnitControl(CUacUnit* unit, CAudioHal* device, ULONG tag, Init init,
                                 A&&... args)
{
    NTSTATUS status = MakeUnitControl<T>(unit, device, tag, init, static_cast<A&&>(args)...);
    return status == STATUS_NO_MEMORY ? STATUS_INSUFFICIENT_RESOURCES : status;
}

// Queries a unit's request interface for a control, which keeps it without
// a reference: the unit holds the control, not the other way round.
template <typename T> NTSTATUS QueryUnitRequests(CUacUnit* unit, REFIID iid, T** requests)
{
    if (unit == nullptr)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = unit->QueryInterface(iid, (PVOID*)requests);
    if (NT_SUCCESS(status))
        (*requests)->Release();
    return status;
}

// Kinds by ranges of USB terminal types.
struct TerminalKindRange
{
    USHORT First;
    USHORT Last;
    ULONG Kind;
};
template <ULONG N>
ULONG KindForTerminalType(const TerminalKindRange (&table)[N], USHORT type, ULONG otherwise)
{
    for (const TerminalKindRange& row : table)
        if (type >= row.First && type <= row.Last)
            return row.Kind;
    return otherwise;
}

// Every type of the USB terminal class (undefined, streaming, vendor
// specific and the rest up to 0x01FF) is the USB side of a stream: it
// reports the streaming kind and has no jack.
inline constexpr USHORT USB_TERMINAL_TYPE_FIRST = 0x0100;
inline constexpr USHORT USB_TERMINAL_TYPE_LAST = 0x01FF;
inline bool IsUsbTerminalType(USHORT type)
{
    return type >= USB_TERMINAL_TYPE_FIRST && type <= USB_TERMINAL_TYPE_LAST;
}

// Endpoint kinds of a USB terminal type as the capability records know them.
ULONG TerminalTypeToEndpointKind(USHORT terminalType);
ULONG OutputTerminalTypeToEndpointKind(USHORT terminalType);
