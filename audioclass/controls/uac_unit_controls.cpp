#include "audioclass/controls/uac_unit_controls.h"

#include "audioclass/controls/control_settings.h"

namespace
{
void WriteSingle(PDEVICE_OBJECT key, ULONG id, ULONG value)
{
    WCHAR name[CONTROL_VALUE_NAME_CHARS] = {};
    if (NT_SUCCESS(FormatSingleValueName(name, id)))
        WriteControlSetting(key, name, &value, sizeof(value));
}

void ReadSingle(PDEVICE_OBJECT key, ULONG id, PULONG value)
{
    WCHAR name[CONTROL_VALUE_NAME_CHARS] = {};
    if (NT_SUCCESS(FormatSingleValueName(name, id)))
        ReadControlSetting(key, name, value, sizeof(*value));
}

// The mixer as a "StereoMix" input: one kind and one always-connected jack.
constexpr ULONG c_MixerKind = ENDPOINT_KIND_STEREOMIX;
constexpr JackRecord c_MixerJack = {3, 0, 7, 14, 1, 1, 0, 1, 0};
} // namespace

// ----------------------------------------------------------------------------
// Selector

NTSTATUS CUacSelectorControl::SetCurrent(ULONG selection)
{
    PAGED_CODE();
    if (selection == 0 || selection > m_SourceCount || m_Unit == nullptr)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = m_Unit->SetCurrent(selection);
    if (NT_SUCCESS(status))
        status = CSelectorControl::SetCurrent(selection);
    if (NT_SUCCESS(status))
        WriteSingle(m_Key, m_Id, m_Current);
    return status;
}

NTSTATUS CUacSelectorControl::RestoreState()
{
    PAGED_CODE();
    return m_Unit != nullptr ? m_Unit->SetCurrent(m_Current) : STATUS_UNSUCCESSFUL;
}

NTSTATUS CUacSelectorControl::UpdateState()
{
    PAGED_CODE();
    ULONG current = 0;
    NTSTATUS status = m_Unit != nullptr ? m_Unit->GetCurrent(&current) : STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status) && current >= 1 && current <= m_SourceCount)
        m_Current = current;
    return status;
}

NTSTATUS CUacSelectorControl::CreateSelectorControl(CUacUnit* unit, PDEVICE_OBJECT key)
{
    PAGED_CODE();
    NTSTATUS status = QueryUnitRequests(unit, IID_ISelectorControl, &m_Unit);
    ULONG inputs = 0;
    if (NT_SUCCESS(status))
        status = m_Unit->GetSourceCount(&inputs);
    if (!NT_SUCCESS(status))
        return status;
    auto zeros = static_cast<PULONG>(ExAllocatePoolWithTag(
        NonPagedPool, (inputs + 1) * sizeof(ULONG), SELECTOR_CONTROL_POOL_TAG));
    if (zeros == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(zeros, (inputs + 1) * sizeof(ULONG));
    status = Init(inputs, zeros);
    ExFreePoolWithTag(zeros, SELECTOR_CONTROL_POOL_TAG);
    if (!NT_SUCCESS(status))
        return status;
    m_Key = key;
    ULONG current = 0;
    m_Unit->GetCurrent(&current);
    ReadSingle(key, m_Id, &current);
    m_Current = current > inputs ? inputs : (current == 0 ? 1 : current);
    return STATUS_SUCCESS;
}

// ----------------------------------------------------------------------------
// Mixer

CUacMixerControl::~CUacMixerControl()
{
    if (m_Sources != nullptr)
        ExFreePoolWithTag(m_Sources, UAC_MIXER_CONTROL_POOL_TAG);
}

NTSTATUS CUacMixerControl::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    const ControlInterfaceEntry entries[] = {
        {&IID_IMixerTerminalSwitch, static_cast<IMixerTerminalSwitch*>(this)}};
    if (NT_SUCCESS(AnswerControlInterface(entries, interfaceId, object)))
        return STATUS_SUCCESS;
    return CTerminalControl::NonDelegatingQueryInterface(interfaceId, object);
}

NTSTATUS CUacMixerControl::SetAsTerminal(BOOLEAN on)
{
    PAGED_CODE();
    if ((on != FALSE) == m_AsTerminal)
        return STATUS_SUCCESS;
    if (on)
    {
        ULONG count = m_ValueCount;
        if (m_Sources == nullptr || count > m_SourceCount ||
            !NT_SUCCESS(GetValues(&count, m_Sources)))
            return STATUS_INVALID_PARAMETER;
        SetValueArray(0, nullptr);
        m_Kind = CONTROL_KIND_INPUT_TERMINAL;
    }
    else
    {
        NTSTATUS status = SetValueArray(m_SourceCount, m_Sources);
        if (!NT_SUCCESS(status))
            return status;
        m_Kind = CONTROL_KIND_MIXER_UNIT;
    }
    m_AsTerminal = on != FALSE;
    return STATUS_SUCCESS;
}

NTSTATUS CUacMixerControl::CreateMixerControl(CUacUnit* unit)
{
    PAGED_CODE();
    if (unit == nullptr)
        return STATUS_INVALID_PARAMETER;
    m_SourceCount = unit->GetValueCount();
    const ULONG bytes = (m_SourceCount + 1) * sizeof(ULONG);
    m_Sources =
        static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, bytes, UAC_MIXER_CONTROL_POOL_TAG));
    if (m_Sources == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(m_Sources, bytes);
    NTSTATUS status = m_SourceCount != 0 ? SetValueArray(m_SourceCount, m_Sources) : STATUS_SUCCESS;
    if (NT_SUCCESS(status))
        status = Init(1, &c_MixerKind, 1, &c_MixerJack);
    return status;
}

// ----------------------------------------------------------------------------
// Terminals

NTSTATUS CUacTerminalControl::InitTerminalControl(CUacUnit* unit,
                                                  const EndpointCapabilities& record)
{
    PAGED_CODE();
    NTSTATUS status = QueryUnitRequests(unit, IID_ITerminalUnit, &m_Unit);
    ULONG count = 0;
    if (NT_SUCCESS(status))
        status = m_Unit->GetKindCount(&count);
    if (!NT_SUCCESS(status))
        return status;
    if (count == 0 || count > TERMINAL_CONTROL_MAX_KINDS ||
        (m_Kind == CONTROL_KIND_OUTPUT_TERMINAL && m_Index >= count))
        return STATUS_INSUFFICIENT_RESOURCES;
    ULONG kinds[TERMINAL_CONTROL_MAX_KINDS] = {};
    ULONG current = 0;
    status = m_Unit->GetKinds(kinds);
    if (NT_SUCCESS(status))
        status = m_Unit->GetCurrentKind(&current);
    if (!NT_SUCCESS(status))
        return status;
    // An output terminal's control stands for one of the types.
    const bool output = m_Kind == CONTROL_KIND_OUTPUT_TERMINAL;
    status = Init(output ? 1 : count, output ? &kinds[m_Index] : kinds, 0, nullptr);
    if (NT_SUCCESS(status) && !output)
        CTerminalControl::SetKind(current);
    if (NT_SUCCESS(status))
        status = ReadJacks();
    SetCapabilities(record);
    return status;
}

// The jacks as the unit reports them now; a new count brings a new array.
// A read that fails (the records' array, the device's answer) leaves the
// jacks unread, not unplugged, until a read works.
NTSTATUS CUacTerminalControl::ReadJacks()
{
    ULONG count = 0;
    if (m_Unit == nullptr || !NT_SUCCESS(m_Unit->GetJackCount(&count, m_Index)))
        count = 0;
    if (count > MAXULONG / JACK_RECORD_SIZE)
        return STATUS_INVALID_PARAMETER;
    if (count != m_JackCount)
    {
        JackRecord* jacks = nullptr;
        if (count != 0)
        {
            jacks = static_cast<JackRecord*>(ExAllocatePoolWithTag(
                PagedPool, count * JACK_RECORD_SIZE, TERMINAL_CONTROL_POOL_TAG));
            if (jacks == nullptr)
                return m_JackRead = STATUS_INSUFFICIENT_RESOURCES;
            RtlZeroMemory(jacks, count * JACK_RECORD_SIZE);
        }
        if (m_Jacks != nullptr)
            ExFreePoolWithTag(m_Jacks, TERMINAL_CONTROL_POOL_TAG);
        m_Jacks = jacks;
        m_JackCount = count;
    }
    m_JackRead = count != 0 ? m_Unit->GetJackInfo(count * JACK_RECORD_SIZE, m_Jacks, m_Index)
                            : STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

NTSTATUS CUacTerminalControl::UpdateState()
{
    PAGED_CODE();
    return ReadJacks();
}

// ----------------------------------------------------------------------------
// Output type

NTSTATUS CUacOutputTypeControl::CreateOutputTypeControl(CUacUnit* terminal, PDEVICE_OBJECT key,
                                                        CAudioHal* device)
{
    PAGED_CODE();
    NTSTATUS status = QueryUnitRequests(terminal, IID_ITerminalUnit, &m_Terminal);
    ULONG count = 0;
    if (NT_SUCCESS(status))
        status = m_Terminal->GetKindCount(&count);
    if (!NT_SUCCESS(status))
        return status;
    if (count == 0 || count > LIST_CONTROL_MAX_ITEMS)
        return STATUS_INSUFFICIENT_RESOURCES;
    ULONG kinds[LIST_CONTROL_MAX_ITEMS] = {};
    ULONG current = 0;
    status = m_Terminal->GetKinds(kinds);
    if (NT_SUCCESS(status))
        status = m_Terminal->GetCurrentKind(&current);
    if (NT_SUCCESS(status))
        status = Init(0, count, kinds);
    if (!NT_SUCCESS(status))
        return status;
    m_TerminalId = terminal->GetId();
    m_Key = key;
    m_Device = device;
    ULONG stored = current;
    ReadSingle(key, m_Id, &stored);
    m_Current = current;
    for (ULONG i = 0; i < m_Count; ++i)
        if (m_Items[i] == stored)
            m_Current = stored; // a stored kind the terminal no longer has is not taken
    return STATUS_SUCCESS;
}

NTSTATUS CUacOutputTypeControl::Select(ULONG endpointKind)
{
    PAGED_CODE();
    bool listed = false;
    for (ULONG i = 0; i < m_Count && !listed; ++i)
        listed = m_Items[i] == endpointKind;
    if (!listed || m_Terminal == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (endpointKind == m_Current)
        return STATUS_SUCCESS;
    const ULONG previous = m_Current;
    NTSTATUS status = m_Terminal->SetKind(endpointKind);
    if (NT_SUCCESS(status))
        status = Announce(endpointKind);
    if (!NT_SUCCESS(status))
    {
        m_Terminal->SetKind(previous);
        m_Current = previous;
    }
    return status;
}

// The new kind is kept and marked changed, the engines on it are renamed
// and reinstalled, and the controls upstream take it as their mode.
NTSTATUS CUacOutputTypeControl::Announce(ULONG kind)
{
    m_Current = kind;
    m_Changed = 1;
    PDEVICEMODEL model = nullptr;
    NTSTATUS status = m_Device != nullptr
                          ? m_Device->QueryInterface(IID_IDeviceModel, (PVOID*)&model)
                          : STATUS_UNSUCCESSFUL;
    if (!NT_SUCCESS(status))
        return status;
    status = model->CreateMiniports(m_TerminalId);
    model->Release();
    if (!NT_SUCCESS(status))
        return status;
    PVOID target = m_Device->GetCallbackObject();
    PVOID data = nullptr;
    POSITION position = m_Listeners != nullptr ? m_Listeners->GetHeadPosition() : nullptr;
    while (m_Listeners != nullptr && m_Listeners->GetNext(&position, &data))
        static_cast<PCONTROLMODESETUP>(data)->SetMode(kind, target);
    Persist();
    return STATUS_SUCCESS;
}

void CUacOutputTypeControl::Persist()
{
    WriteSingle(m_Key, m_Id, m_Current);
}

NTSTATUS CUacOutputTypeControl::RestoreState()
{
    PAGED_CODE();
    return m_Terminal != nullptr ? m_Terminal->SetKind(m_Current) : STATUS_UNSUCCESSFUL;
}

NTSTATUS CUacOutputTypeControl::UpdateState()
{
    PAGED_CODE();
    ULONG kind = 0;
    NTSTATUS status =
        m_Terminal != nullptr ? m_Terminal->GetCurrentKind(&kind) : STATUS_UNSUCCESSFUL;
    if (!NT_SUCCESS(status) || kind == m_Current)
        return status;
    WriteSingle(m_Key, m_Id, kind);
    return Select(kind);
}
