#include "usbaudio/timed/jack_timer.h"

#include "usbaudio/timed/device.h"
#include "usbaudio/timed/registers.h"

namespace
{
constexpr UCHAR c_SampleSensed = 0;
constexpr UCHAR c_SampleClear = 1;
constexpr LONGLONG c_100nsPerMs = 10000;
} // namespace

void CJackDebounce::Start(bool sensed)
{
    RtlZeroMemory(m_Samples, sizeof(m_Samples));
    m_Samples[0] = sensed ? c_SampleSensed : c_SampleClear;
    m_Index = 1;
    m_State = JACK_STATE_SENSED;
}

bool CJackDebounce::Add(bool sensed, PULONG state)
{
    m_Samples[m_Index] = sensed ? c_SampleSensed : c_SampleClear;
    m_Index = (m_Index + 1) % JACK_HISTORY_SAMPLES;
    ULONG clear = 0;
    for (UCHAR sample : m_Samples)
        clear += sample;
    ULONG next = m_State;
    if (clear == 0)
        next = JACK_STATE_SENSED;
    else if (clear == JACK_HISTORY_SAMPLES)
        next = JACK_STATE_CLEAR;
    else if (m_State == JACK_STATE_SENSED)
        next = JACK_STATE_CHANGING; // mixed samples leave a changing or clear state alone
    if (next == m_State)
        return false;
    m_State = next;
    *state = next;
    return true;
}

CTimedJackTimer::CTimedJackTimer()
{
    KeInitializeTimerEx(&m_Timer, SynchronizationTimer);
}

NTSTATUS CTimedJackTimer::Start(CUsbAudioTimedDevice* device)
{
    PAGED_CODE();
    if (device == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (m_Worker.IsRunning())
        return STATUS_SUCCESS;
    m_Device = device;
    return m_Worker.Start(ThreadStart, this, JACK_TIMER_PRIORITY);
}

void CTimedJackTimer::Stop()
{
    PAGED_CODE();
    m_Worker.Stop();
}

void CTimedJackTimer::ThreadStart(PVOID context)
{
    static_cast<CTimedJackTimer*>(context)->Run();
}

// The adapter's interface is taken for each read only: a reference held
// for the thread's life would keep the adapter, and with it the device whose
// destructor stops the thread, alive.
NTSTATUS CTimedJackTimer::ReadJack(PURB urb, bool* sensed)
{
    PUSBDEVICEIO io = m_Device->QueryUsbIo();
    if (io == nullptr)
        return STATUS_UNSUCCESSFUL;
    NTSTATUS status = ReadTimedJackSense(io, urb, sensed);
    io->Release();
    return status;
}

void CTimedJackTimer::Run()
{
    auto urb = static_cast<PURB>(ExAllocatePoolWithTag(
        NonPagedPool, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), TIMED_POOL_TAG));
    bool sensed = false;
    if (urb != nullptr && NT_SUCCESS(ReadJack(urb, &sensed)))
    {
        m_Debounce.Start(sensed);
        LARGE_INTEGER due;
        due.QuadPart = -(LONGLONG)JACK_TIMER_PERIOD_MS * c_100nsPerMs;
        KeSetTimerEx(&m_Timer, due, JACK_TIMER_PERIOD_MS, nullptr);
        if (m_Device->HasJackNode())
            m_Device->ForceLineMute(TRUE);
        PVOID objects[2] = {m_Worker.StopEvent(), &m_Timer};
        for (;;)
        {
            const NTSTATUS woke = KeWaitForMultipleObjects(2, objects, WaitAny, Executive,
                                                           KernelMode, FALSE, nullptr, nullptr);
            if (woke != STATUS_WAIT_0 + 1 || !NT_SUCCESS(ReadJack(urb, &sensed)))
                break;
            ULONG state = 0;
            if (m_Device->HasJackNode() && m_Debounce.Add(sensed, &state))
                m_Device->ApplyJackState(state);
        }
        KeCancelTimer(&m_Timer);
    }
    if (urb != nullptr)
        ExFreePoolWithTag(urb, TIMED_POOL_TAG);
}
