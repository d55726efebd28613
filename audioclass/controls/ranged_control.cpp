#include "audioclass/controls/ranged_control.h"

CRangedControl::~CRangedControl()
{
    if (m_Levels != nullptr)
        ExFreePoolWithTag(m_Levels, RANGED_CONTROL_POOL_TAG);
}

NTSTATUS CRangedControl::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    const ControlInterfaceEntry entries[] = {
        {&IID_IRangedControl, static_cast<IRangedControl*>(this)},
        {&IID_IControlModeSetup, static_cast<IControlModeSetup*>(this)},
    };
    if (NT_SUCCESS(AnswerControlInterface(entries, interfaceId, object)))
        return STATUS_SUCCESS;
    return CAudioControl::NonDelegatingQueryInterface(interfaceId, object);
}

NTSTATUS CRangedControl::GetValue(ULONG channel, PLONG value)
{
    if (value == nullptr || channel > m_ChannelCount || m_Levels == nullptr)
        return STATUS_INVALID_PARAMETER;
    *value = m_Levels[channel];
    return STATUS_SUCCESS;
}

NTSTATUS CRangedControl::SetValue(ULONG channel, LONG value)
{
    if (channel > m_ChannelCount || m_Levels == nullptr)
        return STATUS_INVALID_PARAMETER;
    m_Levels[channel] = value;
    return STATUS_SUCCESS;
}

NTSTATUS CRangedControl::GetRange(PLONG maximum, PLONG minimum, PLONG resolution)
{
    if (maximum == nullptr || minimum == nullptr || resolution == nullptr)
        return STATUS_INVALID_PARAMETER;
    *maximum = m_Maximum;
    *minimum = m_Minimum;
    *resolution = m_Resolution;
    return STATUS_SUCCESS;
}

NTSTATUS CRangedControl::GetChannelCount(PULONG count)
{
    if (count == nullptr)
        return STATUS_INVALID_PARAMETER;
    *count = ChannelCountForMode(m_Mode, m_ChannelCount);
    return STATUS_SUCCESS;
}

NTSTATUS CRangedControl::Init(ULONG sourceId, ULONG channelCount, LONG maximum, LONG minimum,
                              LONG resolution)
{
    PAGED_CODE();
    if (m_Levels != nullptr || channelCount >= MAXULONG / sizeof(LONG))
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = SetValueArray(1, &sourceId);
    if (!NT_SUCCESS(status))
        return status;
    const ULONG bytes = (channelCount + 1) * sizeof(LONG);
    m_Levels = static_cast<PLONG>(ExAllocatePoolWithTag(PagedPool, bytes, RANGED_CONTROL_POOL_TAG));
    if (m_Levels == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(m_Levels, bytes);
    m_ChannelCount = channelCount;
    m_Maximum = maximum;
    m_Minimum = minimum;
    m_Resolution = resolution;
    return STATUS_SUCCESS;
}

NTSTATUS CRangedControl::SetMode(ULONG mode, PVOID notificationTarget)
{
    PAGED_CODE();
    m_Mode = mode;
    NTSTATUS status = ApplyMode();
    NotifyControlChange(notificationTarget, m_Id);
    return status;
}
