// The end of an owner's process. Its rings are mapped into that process, so
// they must go while its address space is still there, and their streams
// before them; another process may hold the owner's file, so no close need
// come. The system's process-exit notification tells every adapter instead.
// The routine is registered while the driver is loaded: every start is
// matched by a stop, and the last stop removes it before the code can go.
#pragma once

#include "platform/kernel/kernel.h"

class CAsioHost;

// One adapter on the watch, from the end of its construction to the start of
// its destruction.
struct AsioProcessWatchLink
{
    LIST_ENTRY Links;
    CAsioHost* Adapter;
    LONG Calls;      // notifications inside the adapter now
    BOOLEAN Leaving; // no new notification enters
    KEVENT Idle;     // signalled while Calls is 0
};

NTSTATUS AsioProcessWatchStart();
void AsioProcessWatchStop();
void AsioProcessWatchJoin(AsioProcessWatchLink* link, CAsioHost* adapter);
// Waits until no notification is inside the adapter; idempotent.
void AsioProcessWatchLeave(AsioProcessWatchLink* link);
