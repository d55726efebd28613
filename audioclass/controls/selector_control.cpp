#include "audioclass/controls/selector_control.h"

#include "framework/ptr_list.h"

CSelectorControl::~CSelectorControl()
{
    FreeListenerList(m_Listeners, SELECTOR_CONTROL_POOL_TAG);
}

NTSTATUS CSelectorControl::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    const ControlInterfaceEntry entries[] = {
        {&IID_ISelectorControl, static_cast<ISelectorControl*>(this)}};
    if (NT_SUCCESS(AnswerControlInterface(entries, interfaceId, object)))
        return STATUS_SUCCESS;
    return CAudioControl::NonDelegatingQueryInterface(interfaceId, object);
}

NTSTATUS CSelectorControl::GetCurrent(PULONG selection)
{
    if (selection == nullptr)
        return STATUS_INVALID_PARAMETER;
    *selection = m_Current;
    return STATUS_SUCCESS;
}

NTSTATUS CSelectorControl::SetCurrent(ULONG selection)
{
    PAGED_CODE();
    // Inputs count from 1: 0 names none of them.
    if (selection == 0 || selection > m_SourceCount)
        return STATUS_INVALID_PARAMETER;
    const ULONG previous = m_Current;
    NTSTATUS status = STATUS_SUCCESS;
    PVOID data = nullptr;
    POSITION position = m_Listeners != nullptr ? m_Listeners->GetHeadPosition() : nullptr;
    while (NT_SUCCESS(status) && m_Listeners != nullptr && m_Listeners->GetNext(&position, &data))
        status = static_cast<PCHAINNODESTATE>(data)->SelectionChanging(selection, previous);
    if (!NT_SUCCESS(status))
        return status;
    m_Current = selection;
    position = m_Listeners != nullptr ? m_Listeners->GetHeadPosition() : nullptr;
    while (NT_SUCCESS(status) && m_Listeners != nullptr && m_Listeners->GetNext(&position, &data))
        status = static_cast<PCHAINNODESTATE>(data)->SetState(selection);
    return status;
}

NTSTATUS CSelectorControl::GetSourceCount(PULONG count)
{
    if (count == nullptr)
        return STATUS_INVALID_PARAMETER;
    *count = m_SourceCount;
    return STATUS_SUCCESS;
}

NTSTATUS CSelectorControl::AddListener(PCHAINNODESTATE listener)
{
    return AddListenerTo(m_Listeners, listener);
}

NTSTATUS CSelectorControl::Init(ULONG sourceCount, const ULONG* sourceIds)
{
    PAGED_CODE();
    if (m_Listeners != nullptr)
        return STATUS_INVALID_PARAMETER;
    m_Listeners = NewListenerList(NonPagedPool, SELECTOR_CONTROL_POOL_TAG);
    if (m_Listeners == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = SetValueArray(sourceCount, sourceIds);
    if (NT_SUCCESS(status))
        m_SourceCount = sourceCount;
    return status;
}
