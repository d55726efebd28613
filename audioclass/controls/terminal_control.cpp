#include "audioclass/controls/terminal_control.h"

CTerminalControl::~CTerminalControl()
{
    if (m_Kinds != nullptr)
        ExFreePoolWithTag(m_Kinds, TERMINAL_CONTROL_POOL_TAG);
    if (m_Jacks != nullptr)
        ExFreePoolWithTag(m_Jacks, TERMINAL_CONTROL_POOL_TAG);
}

NTSTATUS CTerminalControl::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    const ControlInterfaceEntry entries[] = {
        {&IID_ITerminalControl, static_cast<ITerminalControl*>(this)}};
    if (AnswersTerminal() && NT_SUCCESS(AnswerControlInterface(entries, interfaceId, object)))
        return STATUS_SUCCESS;
    return CAudioControl::NonDelegatingQueryInterface(interfaceId, object);
}

NTSTATUS CTerminalControl::GetCurrentKind(PULONG endpointKind)
{
    if (endpointKind == nullptr)
        return STATUS_INVALID_PARAMETER;
    *endpointKind = m_CurrentKind;
    return STATUS_SUCCESS;
}

NTSTATUS CTerminalControl::GetKindCount(PULONG count)
{
    if (count == nullptr)
        return STATUS_INVALID_PARAMETER;
    *count = m_KindCount;
    return STATUS_SUCCESS;
}

NTSTATUS CTerminalControl::GetKinds(PULONG kinds)
{
    if (kinds == nullptr || m_Kinds == nullptr)
        return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(kinds, m_Kinds, m_KindCount * sizeof(ULONG));
    return STATUS_SUCCESS;
}

NTSTATUS CTerminalControl::SetKind(ULONG endpointKind)
{
    for (ULONG i = 0; i < m_KindCount; ++i)
        if (m_Kinds[i] == endpointKind)
        {
            m_CurrentKind = endpointKind;
            return STATUS_SUCCESS;
        }
    return STATUS_INVALID_PARAMETER;
}

// Jacks whose last read failed are not answered for: what the records held
// before says nothing of them now.
NTSTATUS CTerminalControl::GetJackCount(PULONG count)
{
    if (count == nullptr)
        return STATUS_INVALID_PARAMETER;
    *count = m_JackCount;
    return m_JackRead;
}

NTSTATUS CTerminalControl::GetJackInfo(ULONG bytes, PVOID jacks)
{
    if (bytes == 0 || jacks == nullptr || m_Jacks == nullptr || m_JackCount == 0)
        return STATUS_INVALID_PARAMETER;
    if (!NT_SUCCESS(m_JackRead))
        return m_JackRead;
    const SIZE_T held = (SIZE_T)m_JackCount * JACK_RECORD_SIZE;
    RtlCopyMemory(jacks, m_Jacks, bytes < held ? bytes : held);
    return STATUS_SUCCESS;
}

NTSTATUS CTerminalControl::GetEndpointCapabilities(PENDPOINTCAPABILITIES capabilities)
{
    if (capabilities == nullptr)
        return STATUS_INVALID_PARAMETER;
    *capabilities = m_Capabilities;
    return STATUS_SUCCESS;
}

NTSTATUS CTerminalControl::Init(ULONG kindCount, const ULONG* kinds, ULONG jackCount,
                                const JackRecord* jacks)
{
    PAGED_CODE();
    if (m_Kinds != nullptr || kinds == nullptr || kindCount == 0 ||
        kindCount > TERMINAL_CONTROL_MAX_KINDS || (jackCount != 0 && jacks == nullptr) ||
        jackCount > MAXULONG / JACK_RECORD_SIZE)
        return STATUS_INVALID_PARAMETER;
    // Kinds index the prefix table: one beyond it would name nothing.
    for (ULONG i = 0; i < kindCount; ++i)
        if (kinds[i] >= ENDPOINT_KIND_COUNT)
            return STATUS_INVALID_PARAMETER;
    m_Kinds = static_cast<PULONG>(
        ExAllocatePoolWithTag(PagedPool, kindCount * sizeof(ULONG), TERMINAL_CONTROL_POOL_TAG));
    if (m_Kinds == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (jackCount != 0)
    {
        m_Jacks = static_cast<JackRecord*>(ExAllocatePoolWithTag(
            PagedPool, jackCount * JACK_RECORD_SIZE, TERMINAL_CONTROL_POOL_TAG));
        if (m_Jacks == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
        RtlCopyMemory(m_Jacks, jacks, jackCount * JACK_RECORD_SIZE);
    }
    RtlCopyMemory(m_Kinds, kinds, kindCount * sizeof(ULONG));
    m_KindCount = kindCount;
    m_JackCount = jackCount;
    m_CurrentKind = kinds[0];
    return STATUS_SUCCESS;
}
