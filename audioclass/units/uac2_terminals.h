// The audio class 2.0 input and output terminals: the class 1.0 terminals
// with class requests, jacks only where the connector control is readable,
// their connection read from that control, and the link to their clock.
#pragma once

#include "audioclass/units/uac1_terminals.h"

DEFINE_GUID(IID_IClockSourceLink, 0xE2FABFB5L, 0xCA88, 0x4F28, 0xAF, 0xF8, 0x48, 0x50, 0x5F, 0xDC,
            0x23, 0x4B);

DECLARE_INTERFACE_(IClockSourceLink, IUnknown)
{
    STDMETHOD(GetClockSourceId)(PULONG id) PURE;
};
typedef IClockSourceLink* PCLOCKSOURCELINK;

// The kind a class 2.0 input terminal reports for its type.
ULONG Uac2InputTerminalKindForType(USHORT terminalType);

class CUac2InputTerminal : public CUac1InputTerminal, public IClockSourceLink
{
  public:
    explicit CUac2InputTerminal(ULONG index) : CUac1InputTerminal(index, AudioClassVersion::Uac2) {}
    DECLARE_CONTROL_UNKNOWN()
    NTSTATUS GetSingleControlId(ULONG selector, ULONG channel, PULONG id) override;
    STDMETHODIMP GetCurrentKind(PULONG endpointKind) override;
    STDMETHODIMP SetKind(ULONG endpointKind) override;
    STDMETHODIMP GetJackInfo(ULONG bytes, PVOID jacks, ULONG index) override;
    STDMETHODIMP GetClockSourceId(PULONG id) override;

  protected:
    // Only a readable connector control has jacks to report.
    bool ReadsJacks() const override;

  private:
    bool HasConnector() const;
};

class CUac2OutputTerminal : public CUac1OutputTerminal, public IClockSourceLink
{
  public:
    explicit CUac2OutputTerminal(ULONG index) : CUac1OutputTerminal(index, AudioClassVersion::Uac2)
    {
    }
    DECLARE_CONTROL_UNKNOWN()
    // The refresh on a connector (2) or output-type (8) interrupt.
    NTSTATUS GetSingleControlId(ULONG selector, ULONG channel, PULONG id) override;
    STDMETHODIMP GetJackCount(PULONG count, ULONG index) override;
    STDMETHODIMP GetJackInfo(ULONG bytes, PVOID jacks, ULONG index) override;
    STDMETHODIMP GetClockSourceId(PULONG id) override;

  protected:
    bool HasSingleType() const override;

  private:
    bool HasConnector() const;
};

// Copies a class 2.0 terminal's jack records, each connected when the
// connector control reports one of its channels (there is no jack that is
// always connected); a failed connector request leaves every jack
// unconnected and is the result.
NTSTATUS CopyUac2ConnectedJacks(const CEntityRequests& requests, const JackRecord* records,
                                ULONG count, PVOID out);
