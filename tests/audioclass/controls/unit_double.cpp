#include "tests/audioclass/controls/unit_double.h"

namespace
{
constexpr ULONG kTag = POOL_TAG("UaWd");

class FakeUnit : public CUacUnit,
                 public IUnitBooleanRequests,
                 public IUnitRangedRequests,
                 public ISelectorControl
{
  public:
    FakeUnit(FakeUnitScript* script, ULONG id) : CUacUnit(0), m_Script(script) { m_Id = id; }
    DECLARE_CONTROL_UNKNOWN()
    STDMETHODIMP GetBoolean(UCHAR, ULONG channel, PUCHAR value) override
    {
        if (Unread(channel))
            return STATUS_UNSUCCESSFUL;
        *value = m_Script->Booleans[channel];
        return STATUS_SUCCESS;
    }
    STDMETHODIMP SetBoolean(UCHAR selector, ULONG channel, UCHAR value) override
    {
        m_Script->Log.push_back("boolean " + std::to_string(selector) + " " +
                                std::to_string(channel) + " " + std::to_string(value));
        return m_Script->SetStatus;
    }
    STDMETHODIMP GetBooleanChannels(UCHAR, PULONG count) override
    {
        *count = m_Script->Channels;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetLevel(UCHAR, ULONG channel, PLONG level) override
    {
        if (Unread(channel))
            return STATUS_UNSUCCESSFUL;
        *level = m_Script->Levels[channel];
        return STATUS_SUCCESS;
    }
    bool ChannelWritable(UCHAR, ULONG channel) override
    {
        return (m_Script->ReadOnlyChannels >> channel & 1) == 0;
    }
    STDMETHODIMP SetLevel(UCHAR selector, ULONG channel, LONG level) override
    {
        m_Script->Log.push_back("level " + std::to_string(selector) + " " +
                                std::to_string(channel) + " " + std::to_string(level));
        return m_Script->SetStatus;
    }
    STDMETHODIMP GetLevelRange(UCHAR, PLONG maximum, PLONG minimum, PLONG resolution) override
    {
        *maximum = m_Script->Maximum;
        *minimum = m_Script->Minimum;
        *resolution = m_Script->Resolution;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetLevelChannels(UCHAR, PULONG count) override
    {
        *count = m_Script->Channels;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetCurrent(PULONG selection) override
    {
        *selection = m_Script->Current;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP SetCurrent(ULONG selection) override
    {
        m_Script->Log.push_back("select " + std::to_string(selection));
        return m_Script->SetStatus;
    }
    STDMETHODIMP GetSourceCount(PULONG count) override
    {
        *count = m_Script->Inputs;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP AddListener(PCHAINNODESTATE) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS CreateControls(CAudioHal*) override { return STATUS_SUCCESS; }

  protected:
    UCHAR Subtype() const override { return 0; }

  private:
    bool Unread(ULONG channel) const { return (m_Script->UnreadChannels >> channel & 1) != 0; }
    FakeUnitScript* m_Script;
};

NTSTATUS FakeUnit::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    const ControlInterfaceEntry entries[] = {
        {&IID_IUnitBooleanRequests, static_cast<IUnitBooleanRequests*>(this)},
        {&IID_IUnitRangedRequests, static_cast<IUnitRangedRequests*>(this)},
        {&IID_ISelectorControl, static_cast<ISelectorControl*>(this)}};
    if (NT_SUCCESS(AnswerControlInterface(entries, interfaceId, object)))
        return STATUS_SUCCESS;
    return CUacUnit::NonDelegatingQueryInterface(interfaceId, object);
}
} // namespace

CUacUnit* MakeFakeUnit(FakeUnitScript* script, ULONG id)
{
    auto unit = new (NonPagedPool, kTag) FakeUnit(script, id);
    unit->AddRef();
    return unit;
}
