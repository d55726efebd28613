#include "audioclass/controls/uac_clock_control.h"

static_assert(CLOCK_CONTROL_MAX_RATES == 30, "the refusal below names the limit");

NTSTATUS CUacClockControl::CreateClockControl(CUacUnit* unit)
{
    PAGED_CODE();
    NTSTATUS status = QueryUnitRequests(unit, IID_IClockControl, &m_Clock);
    if (!NT_SUCCESS(status))
        return status;
    // One more than the control holds, so that a longer list is seen.
    ULONG rates[CLOCK_CONTROL_MAX_RATES + 1] = {};
    ULONG count = CLOCK_CONTROL_MAX_RATES + 1;
    status = m_Clock->GetFrequencies(&count, rates);
    if (status == STATUS_INVALID_PARAMETER)
        unit->NoteRefusal("clock source", "sampling-frequency RANGE holds a continuous subrange");
    else if (NT_SUCCESS(status) && count > CLOCK_CONTROL_MAX_RATES)
        unit->NoteRefusal("clock source", "sampling-frequency RANGE holds more than 30 rates");
    if (NT_SUCCESS(status))
        status = Init(count, rates);
    return status;
}

NTSTATUS CUacClockControl::SetFrequency(ULONG hz)
{
    if (m_Clock == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status = m_Clock->SetFrequency(hz);
    if (NT_SUCCESS(status))
        m_Current = hz;
    return status;
}

NTSTATUS CUacClockControl::GetCurrent(PULONG hz)
{
    if (hz == nullptr)
        return STATUS_INVALID_PARAMETER;
    return m_Clock != nullptr ? m_Clock->GetCurrent(hz) : STATUS_INVALID_DEVICE_STATE;
}

NTSTATUS CUacClockControl::GetClockValid(PUCHAR valid)
{
    if (valid == nullptr)
        return STATUS_INVALID_PARAMETER;
    return m_Clock != nullptr ? m_Clock->GetClockValid(valid) : STATUS_INVALID_DEVICE_STATE;
}
