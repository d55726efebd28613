// The concrete controls of selector and mixer units, of terminals and of an
// output terminal's switchable type. Each reaches the device through its
// unit (selection, terminal kinds and jacks) and persists what it keeps.
#pragma once

#include "audioclass/controls/list_control.h"
#include "audioclass/controls/selector_control.h"
#include "audioclass/controls/terminal_control.h"
#include "audioclass/controls/uac_unit.h"

// A mixer control stands as a "StereoMix" input terminal while on.
DECLARE_INTERFACE_(IMixerTerminalSwitch, IUnknown)
{
    STDMETHOD(SetAsTerminal)(BOOLEAN on) PURE;
};
typedef IMixerTerminalSwitch* PMIXERTERMINALSWITCH;

inline constexpr ULONG UAC_MIXER_CONTROL_POOL_TAG = POOL_TAG("TMix");

class CUacSelectorControl : public CSelectorControl
{
  public:
    explicit CUacSelectorControl(ULONG id) : CSelectorControl(nullptr, id) {}
    STDMETHODIMP SetCurrent(ULONG selection) override;
    NTSTATUS RestoreState() override;
    NTSTATUS UpdateState() override;
    // As many (unlinked) sources as the unit has inputs; the unit's input,
    // then "Settings", limited to 1..inputs.
    NTSTATUS CreateSelectorControl(CUacUnit* unit, PDEVICE_OBJECT key);

  private:
    PSELECTORCONTROL m_Unit = nullptr;
    PDEVICE_OBJECT m_Key = nullptr;
};

class CUacMixerControl : public CTerminalControl, public IMixerTerminalSwitch
{
  public:
    explicit CUacMixerControl(ULONG id) : CTerminalControl(nullptr, id, CONTROL_KIND_MIXER_UNIT) {}
    ~CUacMixerControl() override;
    DECLARE_CONTROL_UNKNOWN()
    STDMETHODIMP SetAsTerminal(BOOLEAN on) override;
    NTSTATUS CreateMixerControl(CUacUnit* unit);

  protected:
    bool AnswersTerminal() const override { return m_AsTerminal; }

  private:
    bool m_AsTerminal = false;
    ULONG m_SourceCount = 0;
    PULONG m_Sources = nullptr; // kept while the control stands as a terminal
};

// Input and output terminals: what the terminal unit reports for one
// output type (index), with the device's capability record for its kind.
class CUacTerminalControl : public CTerminalControl
{
  public:
    CUacTerminalControl(ULONG id, ULONG kind, ULONG index)
        : CTerminalControl(nullptr, id, kind), m_Index(index)
    {
    }
    NTSTATUS UpdateState() override;
    NTSTATUS InitTerminalControl(CUacUnit* unit, const EndpointCapabilities& record);

  private:
    NTSTATUS ReadJacks();

    PTERMINALUNIT m_Unit = nullptr;
    ULONG m_Index;
};

class CUacOutputTypeControl : public CListControl
{
  public:
    explicit CUacOutputTypeControl(ULONG id) : CListControl(nullptr, id) {}
    STDMETHODIMP Select(ULONG endpointKind) override;
    NTSTATUS RestoreState() override;
    NTSTATUS UpdateState() override;
    NTSTATUS CreateOutputTypeControl(CUacUnit* terminal, PDEVICE_OBJECT key, CAudioHal* device);

  private:
    NTSTATUS Announce(ULONG kind);
    void Persist();

    PTERMINALUNIT m_Terminal = nullptr;
    ULONG m_TerminalId = 0;
    PDEVICE_OBJECT m_Key = nullptr;
    CAudioHal* m_Device = nullptr;
};
