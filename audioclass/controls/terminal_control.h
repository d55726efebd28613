// The terminal shape: the endpoint kinds a terminal can stand for (1 to 5
// indexes of the endpoint prefix table), the one it stands for now, its jack
// records and the device's capability record for it.
#pragma once

#include "audioclass/controls/control_interfaces.h"

inline constexpr ULONG TERMINAL_CONTROL_POOL_TAG = POOL_TAG("TerT");
inline constexpr ULONG TERMINAL_CONTROL_MAX_KINDS = 5;

class CTerminalControl : public CAudioControl, public ITerminalControl
{
  public:
    // kind: input terminal, output terminal or mixer.
    CTerminalControl(PUNKNOWN outerUnknown, ULONG id, ULONG kind)
        : CAudioControl(outerUnknown, id, kind)
    {
    }
    ~CTerminalControl() override;
    DECLARE_CONTROL_UNKNOWN()

    STDMETHODIMP GetCurrentKind(PULONG endpointKind) override;
    STDMETHODIMP GetKindCount(PULONG count) override;
    // kinds: room for the kind count.
    STDMETHODIMP GetKinds(PULONG kinds) override;
    STDMETHODIMP SetKind(ULONG endpointKind) override;
    STDMETHODIMP GetJackCount(PULONG count) override;
    // Copies at most `bytes` bytes of the 36-byte records.
    STDMETHODIMP GetJackInfo(ULONG bytes, PVOID jacks) override;
    STDMETHODIMP GetEndpointCapabilities(PENDPOINTCAPABILITIES capabilities) override;

    // 1 to 5 kinds, each an index of the endpoint prefix table; the first is
    // current. jacks may be null when jackCount is 0.
    virtual NTSTATUS Init(ULONG kindCount, const ULONG* kinds, ULONG jackCount,
                          const JackRecord* jacks);
    void SetCapabilities(const EndpointCapabilities& capabilities)
    {
        m_Capabilities = capabilities;
    }

  protected:
    // Whether the query tables answer ITerminalControl (a mixer only while
    // it stands as a terminal).
    virtual bool AnswersTerminal() const { return true; }

    ULONG m_KindCount = 0;
    PULONG m_Kinds = nullptr;
    ULONG m_CurrentKind = 0;
    ULONG m_JackCount = 0;
    EndpointCapabilities m_Capabilities = {};
    JackRecord* m_Jacks = nullptr;
    NTSTATUS m_JackRead = STATUS_SUCCESS; // how the last read of the jacks ended
};
