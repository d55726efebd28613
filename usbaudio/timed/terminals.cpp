#include "usbaudio/timed/terminals.h"

#include "framework/registry_settings.h"
#include "audioclass/controls/uac_unit_controls.h"
#include "audioclass/descriptor_rules.h"
#include "audioclass/requests/unit_requests.h"

namespace
{
constexpr ULONG c_IdOffset = 3;
constexpr ULONG c_OutputSourceOffset = 7;
constexpr ULONG c_ValueNameChars = 32;

// Register writes that route the chip's output to one kind, in order.
struct RegisterWrite
{
    ULONG Register;
    USHORT Value;
    USHORT Mask;
};
struct KindRouting
{
    ULONG Kind;
    RegisterWrite Writes[3];
};
const KindRouting c_Routing[] = {
    {ENDPOINT_KIND_SPK, {{2, 0xE000, 0xFFFF}, {1, 0x0002, 0x0002}, {0, 0x0000, 0x8000}}},
    {ENDPOINT_KIND_HP, {{2, 0xFFE0, 0xFFFF}, {1, 0x0002, 0x0002}, {0, 0x0000, 0x8000}}},
    {ENDPOINT_KIND_SPDIF, {{2, 0xE7F8, 0xFFFF}, {1, 0x0000, 0x0002}, {0, 0x8000, 0x8000}}},
};

// The fixed jack descriptions of each kind.
struct FixedJack
{
    ULONG Kind;
    ULONG ChannelMapping;
    ULONG Color;
    ULONG ConnectionType;
};
constexpr ULONG c_Rear = 1;
constexpr ULONG c_Jack35mm = 1;
constexpr ULONG c_Optical = 5;
const FixedJack c_Jacks[] = {
    {ENDPOINT_KIND_SPK, 0x03, 0x00FF00, c_Jack35mm},
    {ENDPOINT_KIND_SPK, 0x0C, 0xFF8000, c_Jack35mm},
    {ENDPOINT_KIND_SPK, 0x30, 0x000000, c_Jack35mm},
    {ENDPOINT_KIND_HP, 0x03, 0x00FF00, c_Jack35mm},
    {ENDPOINT_KIND_SPDIF, 0x03, 0x000000, c_Optical},
};

ULONG JacksOfKind(ULONG kind)
{
    ULONG count = 0;
    for (const FixedJack& jack : c_Jacks)
        count += jack.Kind == kind ? 1 : 0;
    return count;
}

// The chip's code of each recording source.
struct SourceCode
{
    UCHAR Source;
    UCHAR Code;
};
const SourceCode c_SourceCodes[] = {{8, 1}, {15, 2}, {16, 3}, {2, 4}};

bool IsSelectorDescriptor(const CUacUnit* unit)
{
    return unit->DescriptorByte(1) == USB_AUDIO_CS_INTERFACE &&
           unit->DescriptorByte(2) == USB_AUDIO_SELECTOR_UNIT;
}
} // namespace

// ----------------------------------------------------------------------------
// Speaker terminal

NTSTATUS CTimedOutputTerminal::Init(const UCHAR* descriptor, CAudioHal* device)
{
    PAGED_CODE();
    const TimedSwitches& switches = m_TimedDevice->Switches();
    m_TypeCount = 0;
    m_OutputKinds[m_TypeCount++] = ENDPOINT_KIND_SPK;
    if (switches.Has(SupportHPOut))
        m_OutputKinds[m_TypeCount++] = ENDPOINT_KIND_HP;
    if (switches.Has(SupportSpdifOut))
        m_OutputKinds[m_TypeCount++] = ENDPOINT_KIND_SPDIF;
    NTSTATUS status = CUac1OutputTerminal::Init(descriptor, device);
    RouteKind(m_CurrentKind);
    return status;
}

NTSTATUS CTimedOutputTerminal::CreateControls(CAudioHal* device)
{
    PAGED_CODE();
    NTSTATUS status = SetIdentity(c_IdOffset, USB_AUDIO_OUTPUT_TERMINAL, 1, c_OutputSourceOffset);
    if (!NT_SUCCESS(status))
        return status;
    m_CurrentKind = ENDPOINT_KIND_SPK;
    WCHAR name[c_ValueNameChars] = {};
    ULONG kept = m_CurrentKind;
    if (NT_SUCCESS(ReadValueName(name)))
        RegistryBinarySetting(SettingsKey(), SETTINGS_READ, &kept, sizeof(kept), name);
    // A kept kind the switches no longer offer gives way to the speakers.
    for (ULONG i = 0; i < m_TypeCount; ++i)
        if (m_OutputKinds[i] == kept)
            m_CurrentKind = kept;
    return CreateKindControls(device);
}

// The routing's own failures do not stop a kind change: the chip keeps
// whatever it had and the next change writes again.
void CTimedOutputTerminal::RouteKind(ULONG kind)
{
    for (const KindRouting& routing : c_Routing)
    {
        if (routing.Kind != kind)
            continue;
        for (const RegisterWrite& write : routing.Writes)
            m_TimedDevice->WriteRegister(write.Register, write.Value, write.Mask);
    }
}

NTSTATUS CTimedOutputTerminal::SetKind(ULONG endpointKind)
{
    PAGED_CODE();
    bool listed = false;
    for (ULONG i = 0; i < m_TypeCount; ++i)
        listed = listed || m_OutputKinds[i] == endpointKind;
    if (!listed)
        return STATUS_UNSUCCESSFUL;
    m_CurrentKind = endpointKind;
    RouteKind(endpointKind);
    PersistKind();
    return STATUS_SUCCESS;
}

NTSTATUS CTimedOutputTerminal::GetJackCount(PULONG count, ULONG index)
{
    if (count == nullptr)
        return STATUS_INVALID_PARAMETER;
    *count = index < m_TypeCount ? JacksOfKind(m_OutputKinds[index]) : 0;
    return STATUS_SUCCESS;
}

NTSTATUS CTimedOutputTerminal::GetJackInfo(ULONG bytes, PVOID jacks, ULONG index)
{
    PAGED_CODE();
    if (jacks == nullptr || index >= m_TypeCount)
        return STATUS_INVALID_PARAMETER;
    const ULONG kind = m_OutputKinds[index];
    const ULONG count = JacksOfKind(kind);
    if (count == 0 || bytes < count * JACK_RECORD_SIZE)
        return STATUS_INVALID_PARAMETER;
    ULONG connect = 0;
    RegistryBinarySetting(SettingsKey(), SETTINGS_READ, &connect, sizeof(connect),
                          SET_JACK_CONNECT_VALUE);
    auto records = static_cast<JackRecord*>(jacks);
    RtlZeroMemory(records, count * JACK_RECORD_SIZE);
    ULONG at = 0;
    for (const FixedJack& jack : c_Jacks)
    {
        if (jack.Kind != kind)
            continue;
        JackRecord& record = records[at++];
        record.ChannelMapping = jack.ChannelMapping;
        record.Color = jack.Color;
        record.ConnectionType = jack.ConnectionType;
        record.GeoLocation = c_Rear;
        record.IsConnected = connect != 0 || m_CurrentKind == kind ? 1 : 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CTimedOutputTerminal::GetSingleControlId(ULONG, ULONG, PULONG id)
{
    PAGED_CODE();
    if (id == nullptr)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    for (ULONG i = 0;; ++i)
    {
        CAudioControl* control = nullptr;
        if (!NT_SUCCESS(UnitGetControl(i, &control)))
            break;
        if (control->GetKind() != CONTROL_KIND_OUTPUT_TERMINAL)
            continue;
        *id = control->GetId();
        control->UpdateState();
        status = STATUS_SUCCESS;
    }
    return status;
}

// ----------------------------------------------------------------------------
// Recording selector

NTSTATUS CTimedSelectorUnit::CreateControls(CAudioHal* device)
{
    PAGED_CODE();
    // The codes come from the descriptor alone; the selector control reads
    // the current input through them while it is made.
    m_Pins = DescriptorByte(UAC1_INPUT_COUNT_OFFSET);
    for (ULONG pin = 1; pin <= m_Pins; ++pin)
    {
        const UCHAR source = DescriptorByte(UAC1_SOURCES_OFFSET + pin - 1);
        for (const SourceCode& row : c_SourceCodes)
            if (row.Source == source)
                m_Codes[pin - 1] = row.Code;
    }
    NTSTATUS status = CUac1SelectorUnit::CreateControls(device);
    return NT_SUCCESS(status) ? SetCurrent(1) : status;
}

NTSTATUS CTimedSelectorUnit::SetCurrent(ULONG selection)
{
    if (!IsSelectorDescriptor(this) || selection == 0 ||
        selection > DescriptorByte(UAC1_INPUT_COUNT_OFFSET))
        return STATUS_INVALID_PARAMETER;
    return CEntityRequests(Owner(), AudioClassVersion::Uac1, (UCHAR)m_Id)
        .SelectInput(DeviceCode(selection));
}

NTSTATUS CTimedSelectorUnit::GetCurrent(PULONG selection)
{
    if (selection == nullptr || !IsSelectorDescriptor(this))
        return STATUS_INVALID_PARAMETER;
    ULONG code = 0;
    NTSTATUS status = CUac1SelectorUnit::GetCurrent(&code);
    if (!NT_SUCCESS(status))
        return status;
    for (ULONG pin = 1; pin <= m_Pins; ++pin)
        if (DeviceCode(pin) == code)
        {
            *selection = pin;
            return STATUS_SUCCESS;
        }
    // A code no pin has: the chip is put back on the first pin.
    *selection = 1;
    CEntityRequests(Owner(), AudioClassVersion::Uac1, (UCHAR)m_Id).SelectInput(DeviceCode(1));
    return STATUS_SUCCESS;
}
