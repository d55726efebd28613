// The adapter's power entry points and the idle-timer hooks it needs at
// start-up and teardown. The selective-suspend machinery (idle check, idle
// notification request, D2 on idle) and the ASIO side of power changes are
// not part of the driver yet: no idle request is ever outstanding, and ASIO
// streaming never runs.
#include "driver/adapter_common.h"

void CAdapterCommon::ArmIdleTimer()
{
    LARGE_INTEGER due;
    due.QuadPart = -IDLE_TIMER_DUE_100NS;
    KeSetTimerEx(&m_IdleTimer, due, IDLE_TIMER_PERIOD_MS, &m_IdleDpc);
}

// Without the idle check there is nothing to do when the timer expires; the
// device is never found idle.
void CAdapterCommon::IdleTimerDpc(PKDPC, PVOID, PVOID, PVOID) {}

void CAdapterCommon::CancelNotifyIrp()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_IdleLock, &irql);
    PIRP request = nullptr;
    if (!(m_BusyCount == ADAPTER_BUSY_IDLE && m_ActiveStreamCount == 0))
        request = static_cast<PIRP>(
            InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&m_IdleRequest), nullptr));
    KeReleaseSpinLock(&m_IdleLock, irql);
    if (request == nullptr)
        return;
    IoCancelIrp(request);
    if (InterlockedDecrement(&m_IdleRequestReferences) == 0)
    {
        IoFreeIrp(request);
        KeSetEvent(&m_IdleFinishedEvent, IO_NO_INCREMENT, FALSE);
    }
}

NTSTATUS CAdapterCommon::WakeFromIdle(PIRP)
{
    PAGED_CODE();
    InterlockedIncrement(&m_BusyCount);
    if (m_IdleInitialized)
    {
        CancelNotifyIrp();
        LARGE_INTEGER timeout;
        timeout.QuadPart = -URB_TIMEOUT_100NS;
        KeWaitForSingleObject(&m_IdleFinishedEvent, Executive, KernelMode, FALSE, &timeout);
        timeout.QuadPart = -URB_TIMEOUT_100NS;
        KeWaitForSingleObject(&m_WakeFinishedEvent, Executive, KernelMode, FALSE, &timeout);
    }
    InterlockedDecrement(&m_BusyCount);
    return STATUS_SUCCESS;
}

void CAdapterCommon::PowerChangeState(POWER_STATE newState)
{
    PAGED_CODE();
    const ULONG state = (ULONG)newState.DeviceState;
    if (state == m_PowerState)
        return;
    m_AsioLock.Lock();
    if (state == PowerDeviceD0)
    {
        if (m_DevicePower != nullptr)
            m_DevicePower->PowerChangeState(newState);
        ExSetTimerResolution(ADAPTER_TIMER_RESOLUTION, TRUE);
    }
    else
    {
        if (!ResetPortIfNeeded() && m_DevicePower != nullptr)
            m_DevicePower->PowerChangeState(newState);
        ExSetTimerResolution(0, FALSE);
    }
    m_PowerState = state;
    m_AsioLock.Unlock();
}
