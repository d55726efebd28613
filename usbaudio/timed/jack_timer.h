// The jack timer of the timed family's first listed device: a thread that
// reads the chip's jack-sense bit every 50 ms into a ring of 30 samples and,
// once the samples agree (or start to disagree), switches the render
// chain's node and the forced mute of the line's analog feature unit.
#pragma once

#include "framework/adapter_interfaces.h"
#include "usbaudio/device/device_worker_thread.h"

inline constexpr ULONG JACK_HISTORY_SAMPLES = 30;
inline constexpr LONG JACK_TIMER_PERIOD_MS = 50;
inline constexpr KPRIORITY JACK_TIMER_PRIORITY = 16;

// The jack states, which are the chain node's modes as well.
inline constexpr ULONG JACK_STATE_SENSED = 0;   // pass; the line's feature unit muted
inline constexpr ULONG JACK_STATE_CHANGING = 1; // attenuate
inline constexpr ULONG JACK_STATE_CLEAR = 2;    // silence

// The ring of samples and the state they lead to.
class CJackDebounce
{
  public:
    // The first sample is the jack state read before the timer starts.
    void Start(bool sensed);
    // Stores one sample; true when the state changed (*state: the new one).
    bool Add(bool sensed, PULONG state);
    ULONG State() const { return m_State; }

  private:
    UCHAR m_Samples[JACK_HISTORY_SAMPLES] = {};
    ULONG m_Index = 0;
    ULONG m_State = JACK_STATE_SENSED;
};

class CUsbAudioTimedDevice;

class CTimedJackTimer
{
  public:
    CTimedJackTimer();
    ~CTimedJackTimer() { Stop(); }
    CTimedJackTimer(const CTimedJackTimer&) = delete;
    CTimedJackTimer& operator=(const CTimedJackTimer&) = delete;

    // The thread at priority 16; the device must outlive Stop.
    NTSTATUS Start(CUsbAudioTimedDevice* device);
    // Signals the thread and waits for it; nothing when it does not run.
    void Stop();
    bool Running() const { return m_Worker.IsRunning(); }

  private:
    static void ThreadStart(PVOID context);
    void Run();
    NTSTATUS ReadJack(PURB urb, bool* sensed);

    CUsbAudioTimedDevice* m_Device = nullptr;
    KTIMER m_Timer;
    CJackDebounce m_Debounce;
    CDeviceWorkerThread m_Worker;
};
