#include "usbaudio/device/device_worker_thread.h"

CDeviceWorkerThread::CDeviceWorkerThread()
{
    KeInitializeEvent(&m_StopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&m_StoppedEvent, NotificationEvent, FALSE);
}

NTSTATUS CDeviceWorkerThread::Start(PKSTART_ROUTINE routine, PVOID context, KPRIORITY priority)
{
    PAGED_CODE();
    m_Routine = routine;
    m_Context = context;
    KeClearEvent(&m_StopEvent);
    KeClearEvent(&m_StoppedEvent);
    HANDLE handle = nullptr;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                           ThreadMain, this);
    if (!NT_SUCCESS(status))
        return status;
    PKTHREAD thread = nullptr;
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                       (PVOID*)&thread, nullptr);
    if (NT_SUCCESS(status))
    {
        KeSetPriorityThread(thread, priority);
        m_Thread = thread;
    }
    else
    {
        // Running without our hold on it: stop it and wait for it to say so.
        KeSetEvent(&m_StopEvent, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&m_StoppedEvent, Executive, KernelMode, FALSE, nullptr);
    }
    ZwClose(handle);
    return status;
}

void CDeviceWorkerThread::Stop()
{
    PAGED_CODE();
    if (m_Thread != nullptr)
    {
        KeSetEvent(&m_StopEvent, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&m_StoppedEvent, Executive, KernelMode, FALSE, nullptr);
        // The stopped event comes just before the thread ends: its object is
        // signalled only once nothing of it runs any more.
        KeWaitForSingleObject(m_Thread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(m_Thread);
        m_Thread = nullptr;
    }
    KeClearEvent(&m_StopEvent);
    KeClearEvent(&m_StoppedEvent);
}

void CDeviceWorkerThread::ThreadMain(PVOID context)
{
    auto self = static_cast<CDeviceWorkerThread*>(context);
    self->m_Routine(self->m_Context);
    KeSetEvent(&self->m_StoppedEvent, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}
