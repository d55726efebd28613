// The audio class 1.0 input and output terminals: their endpoint kinds, the
// jacks the device reports for them, and for output terminals the types the
// device can switch the connector between, each with its own jacks.
#pragma once

#include "audioclass/requests/unit_requests.h"
#include "audioclass/controls/uac_unit.h"

// "UACUnit" + the terminal id: an output terminal's kind across starts.
inline constexpr WCHAR OUTPUT_KIND_VALUE_BASE[] = u"UACUnit";
inline constexpr WCHAR INIT_OUTPUT_TYPE_BY_SELECTION_VALUE[] = u"INITOTTYPEBYSEL";
inline constexpr WCHAR SET_JACK_CONNECT_VALUE[] = u"SetJackConnect";

// The kind an input terminal reports for its type (unlike the capability
// records' table, a line connector of type 0x0601 counts as "Aux").
ULONG InputTerminalKindForType(USHORT terminalType);
// Output terminals; the interrupt path reads a USB type as "SPK".
ULONG OutputTerminalKindForType(USHORT terminalType);
ULONG InterruptOutputKindForType(USHORT terminalType);

class CUac1TerminalBase : public CUacUnit, public ITerminalUnit
{
  public:
    explicit CUac1TerminalBase(ULONG index, AudioClassVersion version = AudioClassVersion::Uac1)
        : CUacUnit(index), m_Version(version)
    {
    }
    DECLARE_CONTROL_UNKNOWN()
    USHORT TerminalType() const { return DescriptorWord(4); }

  protected:
    CEntityRequests Requests() const { return CEntityRequests(Owner(), m_Version, (UCHAR)m_Id); }
    ULONG PoolTag() const;
    // Reads the jack records of the terminal (or of its current type).
    NTSTATUS ReadJackList(PULONG count, JackRecord** records);
    // Copies the records, each marked connected from the device's
    // connection state.
    NTSTATUS CopyConnectedJacks(const JackRecord* records, ULONG count, PVOID out);
    NTSTATUS AddTerminalControl(CAudioHal* device, ULONG kind, ULONG index, BOOLEAN isInput,
                                ULONG endpointKind);
    // The unit's first control of a kind, or null.
    CAudioControl* ControlOfKind(ULONG kind);

    AudioClassVersion m_Version;
};

class CUac1InputTerminal : public CUac1TerminalBase
{
  public:
    explicit CUac1InputTerminal(ULONG index, AudioClassVersion version = AudioClassVersion::Uac1)
        : CUac1TerminalBase(index, version)
    {
    }
    ~CUac1InputTerminal() override;
    NTSTATUS GetSingleControlId(ULONG selector, ULONG channel, PULONG id) override;

    STDMETHODIMP GetCurrentKind(PULONG endpointKind) override;
    STDMETHODIMP GetKindCount(PULONG count) override;
    STDMETHODIMP GetKinds(PULONG kinds) override;
    STDMETHODIMP SetKind(ULONG endpointKind) override;
    STDMETHODIMP GetJackCount(PULONG count, ULONG index) override;
    STDMETHODIMP GetJackInfo(ULONG bytes, PVOID jacks, ULONG index) override;
    NTSTATUS CreateControls(CAudioHal* device) override;

  protected:
    UCHAR Subtype() const override { return USB_AUDIO_INPUT_TERMINAL; }
    // Whether the device is asked for the terminal's jacks.
    virtual bool ReadsJacks() const { return !IsUsbTerminalType(TerminalType()); }

    ULONG m_JackCount = 0;
    JackRecord* m_JackRecords = nullptr;
};

class CUac1OutputTerminal : public CUac1TerminalBase
{
  public:
    static constexpr ULONG MAX_TYPES = OUTPUT_TYPE_MAX;
    explicit CUac1OutputTerminal(ULONG index, AudioClassVersion version = AudioClassVersion::Uac1)
        : CUac1TerminalBase(index, version)
    {
    }
    ~CUac1OutputTerminal() override;
    // The refresh on a device event: follows the device's current type.
    NTSTATUS GetSingleControlId(ULONG selector, ULONG channel, PULONG id) override;

    STDMETHODIMP GetCurrentKind(PULONG endpointKind) override;
    STDMETHODIMP GetKindCount(PULONG count) override;
    STDMETHODIMP GetKinds(PULONG kinds) override;
    STDMETHODIMP SetKind(ULONG endpointKind) override;
    STDMETHODIMP GetJackCount(PULONG count, ULONG index) override;
    STDMETHODIMP GetJackInfo(ULONG bytes, PVOID jacks, ULONG index) override;
    NTSTATUS CreateControls(CAudioHal* device) override;

  protected:
    UCHAR Subtype() const override { return USB_AUDIO_OUTPUT_TERMINAL; }

    // Whether the terminal has one type only (its own): no type requests.
    virtual bool HasSingleType() const { return IsUsbTerminalType(TerminalType()); }
    NTSTATUS ReadOutputTypes();
    // The terminal controls of the output types and the type switch.
    NTSTATUS CreateKindControls(CAudioHal* device);
    void PersistKind();
    void RefreshControls(bool* found);
    NTSTATUS ReadValueName(PWSTR name);

    ULONG m_CurrentKind = 0;
    ULONG m_TypeCount = 0;
    ULONG m_OutputKinds[MAX_TYPES] = {};
    USHORT m_OutputTypes[MAX_TYPES] = {};
    ULONG m_JackCounts[MAX_TYPES] = {};
    JackRecord* m_JackRecords[MAX_TYPES] = {};
};
