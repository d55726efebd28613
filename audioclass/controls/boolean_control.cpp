#include "audioclass/controls/boolean_control.h"

CBooleanControl::~CBooleanControl()
{
    if (m_ChannelValues != nullptr)
        ExFreePoolWithTag(m_ChannelValues, BOOLEAN_CONTROL_POOL_TAG);
}

NTSTATUS CBooleanControl::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    const ControlInterfaceEntry entries[] = {
        {&IID_IBooleanControl, static_cast<IBooleanControl*>(this)},
        {&IID_IControlModeSetup, static_cast<IControlModeSetup*>(this)},
    };
    if (NT_SUCCESS(AnswerControlInterface(entries, interfaceId, object)))
        return STATUS_SUCCESS;
    return CAudioControl::NonDelegatingQueryInterface(interfaceId, object);
}

NTSTATUS CBooleanControl::GetValue(ULONG channel, PUCHAR value)
{
    if (value == nullptr || channel >= m_ChannelCount || m_ChannelValues == nullptr)
        return STATUS_INVALID_PARAMETER;
    *value = m_ChannelValues[channel];
    return STATUS_SUCCESS;
}

NTSTATUS CBooleanControl::SetValue(ULONG channel, UCHAR value)
{
    if (channel >= m_ChannelCount || m_ChannelValues == nullptr)
        return STATUS_INVALID_PARAMETER;
    m_ChannelValues[channel] = value;
    return STATUS_SUCCESS;
}

NTSTATUS CBooleanControl::GetChannelCount(PULONG count)
{
    if (count == nullptr)
        return STATUS_INVALID_PARAMETER;
    *count = ChannelCountForMode(m_Mode, m_ChannelCount);
    return STATUS_SUCCESS;
}

NTSTATUS CBooleanControl::Init(ULONG sourceId, ULONG channelCount)
{
    PAGED_CODE();
    if (m_ChannelValues != nullptr || channelCount >= MAXULONG)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = SetValueArray(1, &sourceId);
    if (!NT_SUCCESS(status))
        return status;
    m_ChannelValues = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPool, channelCount + 1, BOOLEAN_CONTROL_POOL_TAG));
    if (m_ChannelValues == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(m_ChannelValues, channelCount + 1);
    m_ChannelCount = channelCount;
    return STATUS_SUCCESS;
}

NTSTATUS CBooleanControl::SetMode(ULONG mode, PVOID notificationTarget)
{
    PAGED_CODE();
    m_Mode = mode;
    NTSTATUS status = ApplyMode();
    NotifyControlChange(notificationTarget, m_Id);
    return status;
}
