#include "audioclass/controls/restore_channels.h"

CRestoreChannels::~CRestoreChannels()
{
    if (m_Flags != nullptr)
        ExFreePoolWithTag(m_Flags, RESTORE_CHANNELS_POOL_TAG);
}

NTSTATUS CRestoreChannels::Init(ULONG channels)
{
    PAGED_CODE();
    if (m_Flags != nullptr || channels == 0)
        return STATUS_INVALID_PARAMETER;
    m_Flags = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPool, channels, RESTORE_CHANNELS_POOL_TAG));
    if (m_Flags == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(m_Flags, channels);
    m_Count = channels;
    return STATUS_SUCCESS;
}

void CRestoreChannels::Mark(ULONG channel, UCHAR set, UCHAR clear)
{
    if (channel < m_Count)
        m_Flags[channel] = (UCHAR)((m_Flags[channel] & ~clear) | set);
}

bool CRestoreChannels::Restorable(ULONG channel) const
{
    return channel < m_Count && (m_Flags[channel] & (c_Known | c_ReadOnly)) == c_Known;
}

bool CRestoreChannels::DeviceOwn(ULONG channel) const
{
    return channel < m_Count && (m_Flags[channel] & c_DeviceOwn) != 0;
}
