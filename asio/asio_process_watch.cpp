#include "asio/asio_process_watch.h"

#include "asio/asio_host.h"

namespace
{
// The adapters on the watch. A notification calls each one with the lock
// released, the link held in the list by its call count.
KSPIN_LOCK g_WatchLock = 0;
LIST_ENTRY g_Watched = {&g_Watched, &g_Watched};
LONG g_WatchStarts = 0;

void AsioProcessNotify(HANDLE, HANDLE processId, BOOLEAN create)
{
    if (create)
        return;
    KIRQL irql;
    KeAcquireSpinLock(&g_WatchLock, &irql);
    for (PLIST_ENTRY e = g_Watched.Flink; e != &g_Watched;)
    {
        auto link = CONTAINING_RECORD(e, AsioProcessWatchLink, Links);
        if (link->Leaving)
        {
            e = e->Flink;
            continue;
        }
        ++link->Calls;
        KeClearEvent(&link->Idle);
        KeReleaseSpinLock(&g_WatchLock, irql);
        link->Adapter->AsioProcessExit(processId);
        KeAcquireSpinLock(&g_WatchLock, &irql);
        e = e->Flink;
        if (--link->Calls == 0)
            KeSetEvent(&link->Idle, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&g_WatchLock, irql);
}
} // namespace

NTSTATUS AsioProcessWatchStart()
{
    PAGED_CODE();
    if (InterlockedIncrement(&g_WatchStarts) != 1)
        return STATUS_SUCCESS;
    NTSTATUS status = PsSetCreateProcessNotifyRoutine(AsioProcessNotify, FALSE);
    if (!NT_SUCCESS(status))
        InterlockedDecrement(&g_WatchStarts);
    return status;
}

void AsioProcessWatchStop()
{
    PAGED_CODE();
    if (InterlockedDecrement(&g_WatchStarts) == 0)
        PsSetCreateProcessNotifyRoutine(AsioProcessNotify, TRUE);
}

void AsioProcessWatchJoin(AsioProcessWatchLink* link, CAsioHost* adapter)
{
    link->Adapter = adapter;
    link->Calls = 0;
    link->Leaving = FALSE;
    KeInitializeEvent(&link->Idle, NotificationEvent, TRUE);
    KIRQL irql;
    KeAcquireSpinLock(&g_WatchLock, &irql);
    InsertTailList(&g_Watched, &link->Links);
    KeReleaseSpinLock(&g_WatchLock, irql);
}

void AsioProcessWatchLeave(AsioProcessWatchLink* link)
{
    if (link->Links.Flink == nullptr)
        return;
    KIRQL irql;
    KeAcquireSpinLock(&g_WatchLock, &irql);
    link->Leaving = TRUE;
    KeReleaseSpinLock(&g_WatchLock, irql);
    KeWaitForSingleObject(&link->Idle, Executive, KernelMode, FALSE, nullptr);
    KeAcquireSpinLock(&g_WatchLock, &irql);
    RemoveEntryList(&link->Links);
    KeReleaseSpinLock(&g_WatchLock, irql);
    link->Links.Flink = nullptr;
}
