#include "framework/audio_control.h"

#include "framework/interface_table.h"

CAudioControl::CAudioControl(PUNKNOWN outerUnknown, ULONG id, ULONG kind)
    : CUnknown(outerUnknown), m_Id(id), m_Kind(kind), m_ValueCount(0), m_Values(nullptr)
{
}

CAudioControl::~CAudioControl()
{
    if (m_Values != nullptr)
        ExFreePoolWithTag(m_Values, AUDIO_CONTROL_POOL_TAG);
    m_Values = nullptr;
    m_ValueCount = 0;
}

NTSTATUS CAudioControl::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    *object = nullptr;
    const ControlInterfaceEntry entries[] = {{&IID_IUnknown, static_cast<IUnknown*>(this)},
                                             {&IID_CAudioControl, static_cast<IUnknown*>(this)}};
    return AnswerControlInterface(entries, interfaceId, object);
}

ULONG CAudioControl::GetId()
{
    return m_Id;
}

ULONG CAudioControl::GetKind()
{
    return m_Kind;
}

ULONG CAudioControl::GetValueCount()
{
    return m_ValueCount;
}

NTSTATUS CAudioControl::GetValues(PULONG count, PULONG values)
{
    PAGED_CODE();
    if (count == nullptr || values == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (*count > m_ValueCount)
        *count = m_ValueCount;
    if (*count != 0)
        RtlCopyMemory(values, m_Values, *count * sizeof(ULONG));
    return STATUS_SUCCESS;
}

NTSTATUS CAudioControl::RestoreState()
{
    return STATUS_SUCCESS;
}

NTSTATUS CAudioControl::UpdateState()
{
    return STATUS_SUCCESS;
}

NTSTATUS CAudioControl::Start()
{
    return STATUS_SUCCESS;
}

NTSTATUS CAudioControl::Stop()
{
    return STATUS_SUCCESS;
}

NTSTATUS CAudioControl::SetValueArray(ULONG count, const ULONG* values)
{
    PAGED_CODE();
    if (count != 0 && values == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (count > MAXULONG / sizeof(ULONG))
        return STATUS_INVALID_PARAMETER;
    PULONG copy = nullptr;
    if (count != 0)
    {
        copy = static_cast<PULONG>(
            ExAllocatePoolWithTag(PagedPool, count * sizeof(ULONG), AUDIO_CONTROL_POOL_TAG));
        // The source may be the array being replaced: copy before freeing it.
        if (copy != nullptr)
            RtlCopyMemory(copy, values, count * sizeof(ULONG));
    }
    if (m_Values != nullptr)
        ExFreePoolWithTag(m_Values, AUDIO_CONTROL_POOL_TAG);
    m_Values = copy;
    m_ValueCount = copy != nullptr ? count : 0;
    if (count != 0 && copy == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    return STATUS_SUCCESS;
}
