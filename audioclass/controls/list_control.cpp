#include "audioclass/controls/list_control.h"

#include "framework/ptr_list.h"

CListControl::~CListControl()
{
    FreeListenerList(m_Listeners, LIST_CONTROL_POOL_TAG);
    if (m_Items != nullptr)
        ExFreePoolWithTag(m_Items, LIST_CONTROL_POOL_TAG);
}

NTSTATUS CListControl::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    const ControlInterfaceEntry entries[] = {
        {&IID_IOutputTypeControl, static_cast<IOutputTypeControl*>(this)}};
    if (NT_SUCCESS(AnswerControlInterface(entries, interfaceId, object)))
        return STATUS_SUCCESS;
    return CAudioControl::NonDelegatingQueryInterface(interfaceId, object);
}

NTSTATUS CListControl::GetCurrent(PULONG endpointKind)
{
    if (endpointKind == nullptr)
        return STATUS_INVALID_PARAMETER;
    *endpointKind = m_Current;
    return STATUS_SUCCESS;
}

NTSTATUS CListControl::GetCount(PULONG count)
{
    if (count == nullptr)
        return STATUS_INVALID_PARAMETER;
    *count = m_Count;
    return STATUS_SUCCESS;
}

NTSTATUS CListControl::GetItems(PULONG items)
{
    if (items == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (m_Count != 0)
        RtlCopyMemory(items, m_Items, m_Count * sizeof(ULONG));
    return STATUS_SUCCESS;
}

NTSTATUS CListControl::Select(ULONG endpointKind)
{
    PAGED_CODE();
    bool listed = false;
    for (ULONG i = 0; i < m_Count && !listed; ++i)
        listed = m_Items[i] == endpointKind;
    if (!listed)
        return STATUS_INVALID_PARAMETER;
    if (endpointKind == m_Current)
        return STATUS_SUCCESS;
    m_Current = endpointKind;
    m_Changed = 1;
    PVOID data = nullptr;
    POSITION position = m_Listeners != nullptr ? m_Listeners->GetHeadPosition() : nullptr;
    while (m_Listeners != nullptr && m_Listeners->GetNext(&position, &data))
        static_cast<PCONTROLMODESETUP>(data)->SetMode(endpointKind, nullptr);
    return STATUS_SUCCESS;
}

BOOLEAN CListControl::IsChanged()
{
    return m_Changed != 0;
}

void CListControl::ClearChanged()
{
    m_Changed = 0;
}

NTSTATUS CListControl::AddListener(PCONTROLMODESETUP listener)
{
    return AddListenerTo(m_Listeners, listener);
}

NTSTATUS CListControl::Init(ULONG sourceId, ULONG count, const ULONG* items)
{
    PAGED_CODE();
    if (m_Items != nullptr || items == nullptr || count == 0 || count > LIST_CONTROL_MAX_ITEMS)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = SetValueArray(1, &sourceId);
    if (!NT_SUCCESS(status))
        return status;
    m_Listeners = NewListenerList(PagedPool, LIST_CONTROL_POOL_TAG);
    m_Items = static_cast<PULONG>(
        ExAllocatePoolWithTag(PagedPool, count * sizeof(ULONG), LIST_CONTROL_POOL_TAG));
    if (m_Listeners == nullptr || m_Items == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(m_Items, items, count * sizeof(ULONG));
    m_Count = count;
    m_Current = items[0];
    return STATUS_SUCCESS;
}
