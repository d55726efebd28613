// One system thread a device object runs for itself: started with a
// routine, its context and a priority, the routine watching the stop event
// and returning once it is set. Stop signals it, waits for the routine to
// be done and then for the thread object itself, so that nothing of the
// thread outlives Stop.
#pragma once

#include "framework/adapter_interfaces.h"

class CDeviceWorkerThread
{
  public:
    CDeviceWorkerThread();
    ~CDeviceWorkerThread() { Stop(); }
    CDeviceWorkerThread(const CDeviceWorkerThread&) = delete;
    CDeviceWorkerThread& operator=(const CDeviceWorkerThread&) = delete;

    // Runs routine(context) on a new system thread at `priority`. A thread
    // that starts but cannot be referenced is stopped and waited for before
    // the failure returns.
    NTSTATUS Start(PKSTART_ROUTINE routine, PVOID context, KPRIORITY priority);
    // Signals the routine and waits for the thread; nothing when none runs.
    void Stop();
    bool IsRunning() const { return m_Thread != nullptr; }
    PKTHREAD Thread() const { return m_Thread; }
    // What the routine waits on besides its own work.
    PKEVENT StopEvent() { return &m_StopEvent; }

  private:
    static void ThreadMain(PVOID context);

    PKSTART_ROUTINE m_Routine = nullptr;
    PVOID m_Context = nullptr;
    PKTHREAD m_Thread = nullptr;
    KEVENT m_StopEvent;
    KEVENT m_StoppedEvent;
};
