#include "audioclass/controls/clock_frequency_control.h"

CClockFrequencyControl::~CClockFrequencyControl()
{
    if (m_Frequencies != nullptr)
        ExFreePoolWithTag(m_Frequencies, CLOCK_CONTROL_POOL_TAG);
}

NTSTATUS CClockFrequencyControl::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    const ControlInterfaceEntry entries[] = {
        {&IID_IClockControl, static_cast<IClockControl*>(this)}};
    if (NT_SUCCESS(AnswerControlInterface(entries, interfaceId, object)))
        return STATUS_SUCCESS;
    return CAudioControl::NonDelegatingQueryInterface(interfaceId, object);
}

NTSTATUS CClockFrequencyControl::GetFrequencies(PULONG count, PULONG frequencies)
{
    if (count == nullptr || frequencies == nullptr || *count < m_Count)
        return STATUS_INVALID_PARAMETER;
    *count = m_Count;
    if (m_Count != 0)
        RtlCopyMemory(frequencies, m_Frequencies, m_Count * sizeof(ULONG));
    return STATUS_SUCCESS;
}

NTSTATUS CClockFrequencyControl::GetCount(PULONG count)
{
    if (count == nullptr)
        return STATUS_INVALID_PARAMETER;
    *count = m_Count;
    return STATUS_SUCCESS;
}

NTSTATUS CClockFrequencyControl::SetFrequency(ULONG hz)
{
    m_Current = hz;
    return STATUS_SUCCESS;
}

NTSTATUS CClockFrequencyControl::GetCurrent(PULONG hz)
{
    if (hz == nullptr)
        return STATUS_INVALID_PARAMETER;
    *hz = m_Current;
    return STATUS_SUCCESS;
}

NTSTATUS CClockFrequencyControl::GetClockValid(PUCHAR valid)
{
    if (valid == nullptr)
        return STATUS_INVALID_PARAMETER;
    *valid = 1;
    return STATUS_SUCCESS;
}

NTSTATUS CClockFrequencyControl::Init(ULONG count, const ULONG* frequencies)
{
    PAGED_CODE();
    if (count > CLOCK_CONTROL_MAX_RATES || frequencies == nullptr || m_Frequencies != nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    m_Frequencies = static_cast<PULONG>(ExAllocatePoolWithTag(
        NonPagedPool, CLOCK_CONTROL_MAX_RATES * sizeof(ULONG), CLOCK_CONTROL_POOL_TAG));
    if (m_Frequencies == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (count != 0)
        RtlCopyMemory(m_Frequencies, frequencies, count * sizeof(ULONG));
    m_Count = count;
    return STATUS_SUCCESS;
}
