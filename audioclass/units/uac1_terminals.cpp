#include "audioclass/units/uac1_terminals.h"

#include "framework/registry_settings.h"
#include "audioclass/controls/uac_unit_controls.h"
#include "audioclass/requests/feature_unit_requests.h"

namespace
{
constexpr ULONG c_IdOffset = 3;
constexpr ULONG c_OutputSourceOffset = 7;
constexpr ULONG c_ValueNameChars = 32;

// The kind an input terminal reports for its own type.
constexpr TerminalKindRange c_InputTerminalKinds[] = {
    {USB_TERMINAL_TYPE_FIRST, USB_TERMINAL_TYPE_LAST, ENDPOINT_KIND_STREAM},
    {0x0201, 0x0206, ENDPOINT_KIND_MIC},
    {0x0401, 0x0401, ENDPOINT_KIND_HANDSET},
    {0x0402, 0x0402, ENDPOINT_KIND_HEADSET},
    {0x0403, 0x0405, ENDPOINT_KIND_SPEAKERPHONE},
    {0x0603, 0x0603, ENDPOINT_KIND_LINE},
    {0x0605, 0x0605, ENDPOINT_KIND_SPDIF}};
// Output terminals; a streaming type is "Stream" at start-up.
constexpr TerminalKindRange c_OutputTerminalKinds[] = {
    {USB_TERMINAL_TYPE_FIRST, USB_TERMINAL_TYPE_LAST, ENDPOINT_KIND_STREAM},
    {0x0302, 0x0302, ENDPOINT_KIND_HP},
    {0x0401, 0x0401, ENDPOINT_KIND_HANDSET},
    {0x0402, 0x0402, ENDPOINT_KIND_HEADSET},
    {0x0601, 0x0601, ENDPOINT_KIND_LINE},
    {0x0603, 0x0603, ENDPOINT_KIND_LINE},
    {0x0605, 0x0605, ENDPOINT_KIND_SPDIF}};
// Input terminal types that have jacks.
constexpr TerminalKindRange c_JackTypes[] = {{0x0201, 0x0206, 1},
                                             {0x0401, 0x0405, 1},
                                             {0x0601, 0x0601, 1},
                                             {0x0603, 0x0603, 1},
                                             {0x0605, 0x0605, 1}};

} // namespace

ULONG InputTerminalKindForType(USHORT terminalType)
{
    return KindForTerminalType(c_InputTerminalKinds, terminalType, ENDPOINT_KIND_AUX);
}

ULONG OutputTerminalKindForType(USHORT terminalType)
{
    return KindForTerminalType(c_OutputTerminalKinds, terminalType, ENDPOINT_KIND_SPK);
}

ULONG InterruptOutputKindForType(USHORT terminalType)
{
    return IsUsbTerminalType(terminalType) ? ENDPOINT_KIND_SPK
                                           : OutputTerminalKindForType(terminalType);
}

// ----------------------------------------------------------------------------
// Shared

ULONG CUac1TerminalBase::PoolTag() const
{
    return m_Version == AudioClassVersion::Uac1 ? UAC1_UNIT_POOL_TAG : UAC2_UNIT_POOL_TAG;
}

NTSTATUS CUac1TerminalBase::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    const ControlInterfaceEntry entries[] = {
        {&IID_ITerminalUnit, static_cast<ITerminalUnit*>(this)}};
    if (NT_SUCCESS(AnswerControlInterface(entries, interfaceId, object)))
        return STATUS_SUCCESS;
    return CUacUnit::NonDelegatingQueryInterface(interfaceId, object);
}

NTSTATUS CUac1TerminalBase::ReadJackList(PULONG count, JackRecord** records)
{
    *count = 0;
    *records = nullptr;
    ULONG jacks = 0;
    CEntityRequests requests = Requests();
    // A device that refuses the count has no jacks to report (many declare
    // a readable connector and stall its jack requests).
    NTSTATUS countStatus = requests.GetJackCount(&jacks);
    if (!NT_SUCCESS(countStatus) || jacks == 0)
        return STATUS_SUCCESS; // no jacks
    auto list = static_cast<JackRecord*>(
        ExAllocatePoolWithTag(NonPagedPool, jacks * JACK_RECORD_SIZE, PoolTag()));
    if (list == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(list, jacks * JACK_RECORD_SIZE);
    ULONG built = 0;
    NTSTATUS status = requests.GetJacks(jacks, list, &built);
    if (!NT_SUCCESS(status) || built == 0)
    {
        ExFreePoolWithTag(list, PoolTag());
        return status;
    }
    *count = built; // only the entries the reply held
    *records = list;
    return STATUS_SUCCESS;
}

NTSTATUS CUac1TerminalBase::CopyConnectedJacks(const JackRecord* records, ULONG count, PVOID out)
{
    ULONG connected = 0;
    NTSTATUS status = Requests().GetConnectionState(&connected);
    if (!NT_SUCCESS(status))
        connected = 0;
    auto copies = static_cast<JackRecord*>(out);
    for (ULONG i = 0; i < count; ++i)
    {
        copies[i] = records[i];
        if ((records[i].ChannelMapping & connected) != 0)
            copies[i].IsConnected = 1;
        else if (records[i].Reserved != 0)
            copies[i].IsConnected = 0; // presence reported, not connected
        else
        {
            copies[i].IsConnected = 1; // no presence detection
            status = STATUS_SUCCESS;
        }
    }
    return status;
}

CAudioControl* CUac1TerminalBase::ControlOfKind(ULONG kind)
{
    for (ULONG i = 0;; ++i)
    {
        CAudioControl* control = nullptr;
        if (!NT_SUCCESS(UnitGetControl(i, &control)))
            return nullptr;
        if (control->GetKind() == kind)
            return control;
    }
}

NTSTATUS CUac1TerminalBase::AddTerminalControl(CAudioHal* device, ULONG kind, ULONG index,
                                               BOOLEAN isInput, ULONG endpointKind)
{
    EndpointCapabilities record = {};
    device->GetEndpointCapabilities(isInput, endpointKind, &record);
    return MakeRequiredUnitControl<CUacTerminalControl>(
        this, device, PoolTag(),
        [&](CUacTerminalControl* c) { return c->InitTerminalControl(this, record); }, kind, index);
}

// ----------------------------------------------------------------------------
// Input terminal

CUac1InputTerminal::~CUac1InputTerminal()
{
    if (m_JackRecords != nullptr)
        ExFreePoolWithTag(m_JackRecords, PoolTag());
}

NTSTATUS CUac1InputTerminal::CreateControls(CAudioHal* device)
{
    PAGED_CODE();
    NTSTATUS status = SetIdentity(c_IdOffset, USB_AUDIO_INPUT_TERMINAL, 0, 0);
    if (NT_SUCCESS(status) && ReadsJacks())
        status = ReadJackList(&m_JackCount, &m_JackRecords);
    if (!NT_SUCCESS(status))
        return status;
    // Without its control no stream's path finds the terminal: the device
    // would start short of that stream and never say so.
    return AddTerminalControl(device, CONTROL_KIND_INPUT_TERMINAL, 0, TRUE,
                              TerminalTypeToEndpointKind(TerminalType()));
}

NTSTATUS CUac1InputTerminal::GetSingleControlId(ULONG, ULONG, PULONG id)
{
    if (id == nullptr)
        return STATUS_INVALID_PARAMETER;
    CAudioControl* control = ControlOfKind(CONTROL_KIND_INPUT_TERMINAL);
    if (control == nullptr)
        return STATUS_UNSUCCESSFUL;
    *id = control->GetId();
    return STATUS_SUCCESS;
}

NTSTATUS CUac1InputTerminal::GetCurrentKind(PULONG endpointKind)
{
    if (endpointKind == nullptr)
        return STATUS_INVALID_PARAMETER;
    *endpointKind = InputTerminalKindForType(TerminalType());
    return STATUS_SUCCESS;
}

NTSTATUS CUac1InputTerminal::GetKindCount(PULONG count)
{
    if (count == nullptr)
        return STATUS_INVALID_PARAMETER;
    *count = 1;
    return STATUS_SUCCESS;
}

NTSTATUS CUac1InputTerminal::GetKinds(PULONG kinds)
{
    return GetCurrentKind(kinds);
}

NTSTATUS CUac1InputTerminal::SetKind(ULONG endpointKind)
{
    return endpointKind == InputTerminalKindForType(TerminalType()) ? STATUS_SUCCESS
                                                                    : STATUS_INVALID_PARAMETER;
}

NTSTATUS CUac1InputTerminal::GetJackCount(PULONG count, ULONG)
{
    if (count == nullptr)
        return STATUS_INVALID_PARAMETER;
    *count = KindForTerminalType(c_JackTypes, TerminalType(), 0) != 0 ? m_JackCount : 0;
    return STATUS_SUCCESS;
}

NTSTATUS CUac1InputTerminal::GetJackInfo(ULONG bytes, PVOID jacks, ULONG)
{
    if (jacks == nullptr || bytes == 0 || IsUsbTerminalType(TerminalType()) || m_JackCount == 0 ||
        bytes < JACK_RECORD_SIZE * m_JackCount)
        return STATUS_INVALID_PARAMETER;
    return CopyConnectedJacks(m_JackRecords, m_JackCount, jacks);
}

// ----------------------------------------------------------------------------
// Output terminal

CUac1OutputTerminal::~CUac1OutputTerminal()
{
    for (JackRecord* records : m_JackRecords)
        if (records != nullptr)
            ExFreePoolWithTag(records, PoolTag());
}

NTSTATUS CUac1OutputTerminal::ReadValueName(PWSTR name)
{
    return RtlStringCchPrintfW(name, c_ValueNameChars, u"%s%02d", OUTPUT_KIND_VALUE_BASE,
                               (int)m_Id);
}

void CUac1OutputTerminal::PersistKind()
{
    WCHAR name[c_ValueNameChars] = {};
    if (NT_SUCCESS(ReadValueName(name)))
        RegistryBinarySetting(SettingsKey(), SETTINGS_WRITE, &m_CurrentKind, sizeof(m_CurrentKind),
                              name);
}

NTSTATUS CUac1OutputTerminal::CreateControls(CAudioHal* device)
{
    PAGED_CODE();
    NTSTATUS status = SetIdentity(c_IdOffset, USB_AUDIO_OUTPUT_TERMINAL, 1, c_OutputSourceOffset);
    if (!NT_SUCCESS(status))
        return status;
    ULONG kind = OutputTerminalKindForType(TerminalType());
    WCHAR name[c_ValueNameChars] = {};
    if (NT_SUCCESS(ReadValueName(name)))
        RegistryBinarySetting(SettingsKey(), SETTINGS_READ, &kind, sizeof(kind), name);
    ULONG initBySelection = 0;
    RegistryBinarySetting(SettingsKey(), SETTINGS_READ, &initBySelection, sizeof(initBySelection),
                          INIT_OUTPUT_TYPE_BY_SELECTION_VALUE);
    m_CurrentKind = kind;
    if (HasSingleType())
    {
        m_TypeCount = 1;
        m_OutputKinds[0] = kind;
        m_OutputTypes[0] = USB_AUDIO_TERMINAL_USB_STREAMING;
    }
    else
    {
        USHORT deviceType = 0;
        if (NT_SUCCESS(Requests().GetCurrentType(&deviceType)) && initBySelection != 0)
            m_CurrentKind = OutputTerminalKindForType(deviceType);
        status = ReadOutputTypes();
    }
    return NT_SUCCESS(status) ? CreateKindControls(device) : status;
}

// One terminal control per output type, then the control that switches
// between them when there are two or more.
NTSTATUS CUac1OutputTerminal::CreateKindControls(CAudioHal* device)
{
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < m_TypeCount && NT_SUCCESS(status); ++i)
        status =
            AddTerminalControl(device, CONTROL_KIND_OUTPUT_TERMINAL, i, FALSE, m_OutputKinds[i]);
    if (!NT_SUCCESS(status) || m_TypeCount < 2)
        return status;
    return MakeRequiredUnitControl<CUacOutputTypeControl>(
        this, device, PoolTag(),
        [&](CUacOutputTypeControl* c)
        { return c->CreateOutputTypeControl(this, SettingsKey(), device); });
}

// The types the connector can be switched between, each with its jacks; a
// device that lists more than a terminal control can hold keeps the first.
NTSTATUS CUac1OutputTerminal::ReadOutputTypes()
{
    CEntityRequests requests = Requests();
    ULONG count = 0;
    NTSTATUS status = STATUS_SUCCESS;
    if (NT_SUCCESS(requests.GetTypeCount(&count)) && count >= 2)
    {
        count = count < MAX_TYPES ? count : MAX_TYPES;
        ULONG read = 0;
        status = requests.GetTypes(count, m_OutputTypes, &read);
        if (!NT_SUCCESS(status))
            return status;
        m_TypeCount = read != 0 ? read : 1;
        if (read == 0)
            m_OutputTypes[0] = TerminalType();
    }
    else
    {
        m_TypeCount = 1;
        m_OutputTypes[0] = TerminalType();
    }
    for (ULONG i = 0; i < m_TypeCount && NT_SUCCESS(status); ++i)
    {
        m_OutputKinds[i] = OutputTerminalKindForType(m_OutputTypes[i]);
        if (m_TypeCount >= 2)
            requests.SelectType(m_OutputTypes[i]);
        status = ReadJackList(&m_JackCounts[i], &m_JackRecords[i]);
    }
    // A kept kind that none of the types has (a stale setting) gives way to
    // the first type's.
    ULONG current = MAX_TYPES;
    for (ULONG i = 0; i < m_TypeCount && current == MAX_TYPES; ++i)
        current = m_OutputKinds[i] == m_CurrentKind ? i : MAX_TYPES;
    if (current == MAX_TYPES)
        current = 0;
    m_CurrentKind = m_OutputKinds[current];
    if (m_TypeCount >= 2)
        requests.SelectType(m_OutputTypes[current]);
    return status;
}

NTSTATUS CUac1OutputTerminal::GetCurrentKind(PULONG endpointKind)
{
    if (endpointKind == nullptr)
        return STATUS_INVALID_PARAMETER;
    *endpointKind = m_CurrentKind;
    return STATUS_SUCCESS;
}

NTSTATUS CUac1OutputTerminal::GetKindCount(PULONG count)
{
    if (count == nullptr)
        return STATUS_INVALID_PARAMETER;
    *count = m_TypeCount;
    return STATUS_SUCCESS;
}

NTSTATUS CUac1OutputTerminal::GetKinds(PULONG kinds)
{
    if (kinds == nullptr)
        return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(kinds, m_OutputKinds, m_TypeCount * sizeof(ULONG));
    return STATUS_SUCCESS;
}

NTSTATUS CUac1OutputTerminal::SetKind(ULONG endpointKind)
{
    PAGED_CODE();
    if (endpointKind == m_CurrentKind)
        return STATUS_SUCCESS;
    ULONG index = MAX_TYPES;
    for (ULONG i = 0; i < m_TypeCount && index == MAX_TYPES; ++i)
        index = m_OutputKinds[i] == endpointKind ? i : MAX_TYPES;
    if (index == MAX_TYPES)
        return STATUS_UNSUCCESSFUL;
    m_CurrentKind = endpointKind;
    Requests().SelectType(m_OutputTypes[index]);
    PersistKind();
    for (ULONG i = 0;; ++i)
    {
        CAudioControl* control = nullptr;
        if (!NT_SUCCESS(UnitGetControl(i, &control)))
            break;
        if (control->GetKind() == CONTROL_KIND_OUTPUT_TERMINAL)
            control->UpdateState();
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUac1OutputTerminal::GetJackCount(PULONG count, ULONG index)
{
    if (count == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (IsUsbTerminalType(TerminalType()))
    {
        *count = 0;
        return STATUS_SUCCESS;
    }
    if (index >= m_TypeCount)
        return STATUS_INVALID_PARAMETER;
    *count = m_JackCounts[index];
    return STATUS_SUCCESS;
}

NTSTATUS CUac1OutputTerminal::GetJackInfo(ULONG bytes, PVOID jacks, ULONG index)
{
    PAGED_CODE();
    if (jacks == nullptr || bytes == 0 || index >= m_TypeCount ||
        IsUsbTerminalType(TerminalType()) || m_JackCounts[index] == 0 ||
        bytes < JACK_RECORD_SIZE * m_JackCounts[index])
        return STATUS_INVALID_PARAMETER;
    if (m_OutputKinds[index] == m_CurrentKind)
        return CopyConnectedJacks(m_JackRecords[index], m_JackCounts[index], jacks);
    // Another type's jacks are as the settings say.
    ULONG connect = 0;
    RegistryBinarySetting(SettingsKey(), SETTINGS_READ, &connect, sizeof(connect),
                          SET_JACK_CONNECT_VALUE);
    auto copies = static_cast<JackRecord*>(jacks);
    for (ULONG i = 0; i < m_JackCounts[index]; ++i)
    {
        copies[i] = m_JackRecords[index][i];
        copies[i].IsConnected = connect != 0 ? 1 : 0;
    }
    return STATUS_SUCCESS;
}

void CUac1OutputTerminal::RefreshControls(bool* found)
{
    bool typeSeen = false;
    for (ULONG i = 0;; ++i)
    {
        CAudioControl* control = nullptr;
        if (!NT_SUCCESS(UnitGetControl(i, &control)))
            break;
        const ULONG kind = control->GetKind();
        if ((kind == CONTROL_KIND_LIST && !typeSeen) || kind == CONTROL_KIND_OUTPUT_TERMINAL)
        {
            typeSeen = typeSeen || kind == CONTROL_KIND_LIST;
            control->UpdateState();
            *found = true;
        }
    }
}

NTSTATUS CUac1OutputTerminal::GetSingleControlId(ULONG, ULONG, PULONG)
{
    PAGED_CODE();
    USHORT type = 0;
    NTSTATUS status = Requests().GetCurrentType(&type);
    if (NT_SUCCESS(status))
    {
        const ULONG kind = InterruptOutputKindForType(type);
        if (kind == m_CurrentKind)
            return STATUS_SUCCESS;
        m_CurrentKind = kind;
        PersistKind();
    }
    bool found = false;
    RefreshControls(&found);
    return found ? STATUS_SUCCESS : status;
}
