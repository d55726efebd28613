#include "audioclass/controls/control_interfaces.h"

#include <new>

#include "framework/ptr_list.h"

namespace
{
// Modes whose controls report every channel; any other reports two at most.
const ULONG c_FullChannelModes[] = {0, 1, 4, 6};
constexpr ULONG c_NarrowChannels = 2;
} // namespace

ULONG ChannelCountForMode(ULONG mode, ULONG channels)
{
    for (ULONG full : c_FullChannelModes)
        if (full == mode)
            return channels;
    return channels < c_NarrowChannels ? channels : c_NarrowChannels;
}

CPtrList* NewListenerList(POOL_TYPE pool, ULONG tag)
{
    void* block = ExAllocatePoolWithTag(pool, sizeof(CPtrList), tag);
    return block != nullptr ? new (block) CPtrList() : nullptr;
}

NTSTATUS AddListenerTo(CPtrList* list, PUNKNOWN listener)
{
    if (listener == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (list == nullptr)
        return STATUS_UNSUCCESSFUL;
    listener->AddRef();
    if (list->AddTail(listener) == nullptr)
    {
        listener->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

void FreeListenerList(CPtrList*& list, ULONG tag)
{
    if (list == nullptr)
        return;
    PVOID data = nullptr;
    while (list->RemoveHead(&data))
        static_cast<PUNKNOWN>(data)->Release();
    ExFreePoolWithTag(list, tag);
    list = nullptr;
}

void NotifyControlChange(PVOID callbackObject, ULONG controlId)
{
    if (callbackObject == nullptr)
        return;
    HalNotification record = {HAL_NOTIFICATION_TYPE, HAL_NOTIFICATION_SUBTYPE, controlId, 0, 0};
    ExNotifyCallback(static_cast<PCALLBACK_OBJECT>(callbackObject), &record, nullptr);
}
