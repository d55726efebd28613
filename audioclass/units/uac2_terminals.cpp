#include "audioclass/units/uac2_terminals.h"

#include "framework/registry_settings.h"
#include "audioclass/descriptor_rules.h"
#include "audioclass/device_selectors.h"

namespace
{
constexpr ULONG c_InputClockOffset = 7;
constexpr ULONG c_InputControlsOffset = 14;
constexpr ULONG c_OutputClockOffset = 8;
constexpr ULONG c_OutputControlsOffset = 9;
// bmControls: the connector control is readable (selector s has bits
// 2(s - 1), readable, and the writable one after it).
constexpr USHORT c_ConnectorReadable = 1u << 2 * (USB_AUDIO20_TE_CONNECTOR_CONTROL - 1);

// Class 2.0 calls handset and headset alike.
constexpr TerminalKindRange c_Uac2InputTerminalKinds[] = {
    {USB_TERMINAL_TYPE_FIRST, USB_TERMINAL_TYPE_LAST, ENDPOINT_KIND_STREAM},
    {0x0201, 0x0206, ENDPOINT_KIND_MIC},
    {0x0401, 0x0402, ENDPOINT_KIND_HANDSET},
    {0x0403, 0x0405, ENDPOINT_KIND_SPEAKERPHONE},
    {0x0603, 0x0603, ENDPOINT_KIND_LINE},
    {0x0605, 0x0605, ENDPOINT_KIND_SPDIF}};

template <typename Terminal>
NTSTATUS AnswerClockLink(Terminal* terminal, REFIID interfaceId, PVOID* object)
{
    const ControlInterfaceEntry entries[] = {
        {&IID_IClockSourceLink, static_cast<IClockSourceLink*>(terminal)}};
    return AnswerControlInterface(entries, interfaceId, object);
}

NTSTATUS ClockSourceOf(const CUacUnit& terminal, UCHAR subtype, ULONG offset, PULONG id)
{
    if (id == nullptr || terminal.DescriptorByte(1) != USB_AUDIO_CS_INTERFACE ||
        terminal.DescriptorByte(2) != subtype)
        return STATUS_INVALID_PARAMETER;
    *id = terminal.DescriptorByte(offset);
    return STATUS_SUCCESS;
}
} // namespace

ULONG Uac2InputTerminalKindForType(USHORT terminalType)
{
    return KindForTerminalType(c_Uac2InputTerminalKinds, terminalType, ENDPOINT_KIND_AUX);
}

NTSTATUS CopyUac2ConnectedJacks(const CEntityRequests& requests, const JackRecord* records,
                                ULONG count, PVOID out)
{
    ULONG connected = 0;
    NTSTATUS status = CEntityRequests(requests).GetConnectionState(&connected);
    if (!NT_SUCCESS(status))
        connected = 0;
    auto copies = static_cast<JackRecord*>(out);
    for (ULONG i = 0; i < count; ++i)
    {
        copies[i] = records[i];
        copies[i].IsConnected = (records[i].ChannelMapping & connected) != 0 ? 1 : 0;
    }
    return status;
}

// ----------------------------------------------------------------------------
// Input terminal

NTSTATUS CUac2InputTerminal::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (NT_SUCCESS(AnswerClockLink(this, interfaceId, object)))
        return STATUS_SUCCESS;
    return CUac1InputTerminal::NonDelegatingQueryInterface(interfaceId, object);
}

bool CUac2InputTerminal::HasConnector() const
{
    return (DescriptorWord(c_InputControlsOffset) & c_ConnectorReadable) != 0;
}

bool CUac2InputTerminal::ReadsJacks() const
{
    return !IsUsbTerminalType(TerminalType()) && HasConnector();
}

NTSTATUS CUac2InputTerminal::GetSingleControlId(ULONG selector, ULONG channel, PULONG id)
{
    if (selector != USB_AUDIO20_TE_CONNECTOR_CONTROL || channel != 0)
        return STATUS_UNSUCCESSFUL;
    return CUac1InputTerminal::GetSingleControlId(selector, channel, id);
}

NTSTATUS CUac2InputTerminal::GetCurrentKind(PULONG endpointKind)
{
    if (endpointKind == nullptr)
        return STATUS_INVALID_PARAMETER;
    *endpointKind = Uac2InputTerminalKindForType(TerminalType());
    return STATUS_SUCCESS;
}

NTSTATUS CUac2InputTerminal::SetKind(ULONG endpointKind)
{
    return endpointKind == Uac2InputTerminalKindForType(TerminalType()) ? STATUS_SUCCESS
                                                                        : STATUS_INVALID_PARAMETER;
}

NTSTATUS CUac2InputTerminal::GetJackInfo(ULONG bytes, PVOID jacks, ULONG)
{
    PAGED_CODE();
    if (jacks == nullptr || bytes == 0 || IsUsbTerminalType(TerminalType()) || !HasConnector() ||
        m_JackCount == 0 || bytes < JACK_RECORD_SIZE * m_JackCount)
        return STATUS_INVALID_PARAMETER;
    return CopyUac2ConnectedJacks(Requests(), m_JackRecords, m_JackCount, jacks);
}

NTSTATUS CUac2InputTerminal::GetClockSourceId(PULONG id)
{
    return ClockSourceOf(*this, USB_AUDIO_INPUT_TERMINAL, c_InputClockOffset, id);
}

// ----------------------------------------------------------------------------
// Output terminal

NTSTATUS CUac2OutputTerminal::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (NT_SUCCESS(AnswerClockLink(this, interfaceId, object)))
        return STATUS_SUCCESS;
    return CUac1OutputTerminal::NonDelegatingQueryInterface(interfaceId, object);
}

bool CUac2OutputTerminal::HasConnector() const
{
    return (DescriptorWord(c_OutputControlsOffset) & c_ConnectorReadable) != 0;
}

bool CUac2OutputTerminal::HasSingleType() const
{
    return IsUsbTerminalType(TerminalType()) || !HasConnector();
}

NTSTATUS CUac2OutputTerminal::GetJackCount(PULONG count, ULONG index)
{
    if (count == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (HasSingleType())
    {
        *count = 0;
        return STATUS_SUCCESS;
    }
    return CUac1OutputTerminal::GetJackCount(count, index);
}

NTSTATUS CUac2OutputTerminal::GetJackInfo(ULONG bytes, PVOID jacks, ULONG index)
{
    PAGED_CODE();
    if (!HasConnector())
        return STATUS_INVALID_PARAMETER;
    if (jacks == nullptr || bytes == 0 || index >= m_TypeCount ||
        IsUsbTerminalType(TerminalType()) || m_JackCounts[index] == 0 ||
        bytes < JACK_RECORD_SIZE * m_JackCounts[index])
        return STATUS_INVALID_PARAMETER;
    if (m_OutputKinds[index] == m_CurrentKind)
        return CopyUac2ConnectedJacks(Requests(), m_JackRecords[index], m_JackCounts[index], jacks);
    return CUac1OutputTerminal::GetJackInfo(bytes, jacks, index);
}

NTSTATUS CUac2OutputTerminal::GetClockSourceId(PULONG id)
{
    return ClockSourceOf(*this, USB_AUDIO_OUTPUT_TERMINAL, c_OutputClockOffset, id);
}

NTSTATUS CUac2OutputTerminal::GetSingleControlId(ULONG selector, ULONG, PULONG)
{
    PAGED_CODE();
    if (selector != USB_AUDIO20_TE_CONNECTOR_CONTROL && selector != UAC2_OUTPUT_TYPE_SELECTOR)
        return STATUS_UNSUCCESSFUL;
    if (selector == UAC2_OUTPUT_TYPE_SELECTOR)
    {
        USHORT type = 0;
        NTSTATUS status = Requests().GetCurrentType(&type);
        if (!NT_SUCCESS(status))
            return status;
        m_CurrentKind = InterruptOutputKindForType(type);
        PersistKind();
    }
    bool found = false;
    RefreshControls(&found);
    return found ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}
