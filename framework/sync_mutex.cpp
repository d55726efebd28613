#include "framework/sync_mutex.h"

CSyncMutex::CSyncMutex()
{
    KeInitializeMutex(&m_Mutex, 0);
}

BOOLEAN CSyncMutex::Lock()
{
    PAGED_CODE();
    KeWaitForSingleObject(&m_Mutex, Executive, KernelMode, FALSE, nullptr);
    return TRUE;
}

BOOLEAN CSyncMutex::Reserved1()
{
    return FALSE;
}

BOOLEAN CSyncMutex::Unlock()
{
    PAGED_CODE();
    KeReleaseMutex(&m_Mutex, FALSE);
    return TRUE;
}

BOOLEAN CSyncMutex::Reserved2()
{
    return FALSE;
}

BOOLEAN CSyncMutex::TryLock()
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = 0;
    NTSTATUS status = KeWaitForSingleObject(&m_Mutex, Executive, KernelMode, FALSE, &timeout);
    return status == STATUS_SUCCESS;
}

BOOLEAN CSyncMutex::UnlockNonPaged()
{
    KeReleaseMutex(&m_Mutex, FALSE);
    return TRUE;
}
