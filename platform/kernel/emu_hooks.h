// Extension points of the emulated kernel for the other platform areas: their
// own state is reset with the kernel and checked for leaks with it, a system
// worker thread runs deferred work at PASSIVE_LEVEL, and failures are injected
// into their requests as into the pool's.
#pragma once

#include <string>

#include "platform/kernel/kernel.h"

struct EmuPlatformHooks
{
    const char* Name;
    void (*Reset)();                                  // after the kernel's own reset
    std::string (*Leaks)(bool forget);                // before the kernel's own leak check
    void (*ProcessExit)(PEPROCESS process) = nullptr; // after the exit notifications
};
// Registers once per process (registering the same record again does nothing).
void EmuRegisterPlatformHooks(const EmuPlatformHooks* hooks);

// A failure injected into a kind of request: after `skip` of the requests it
// matches, `count` of them fail (0: every later one).
class EmuInjectedFailure
{
  public:
    void Arm(ULONG skip, ULONG count)
    {
        m_Skip = skip;
        m_Count = count;
        m_Forever = count == 0;
        m_Active = true;
    }
    void Clear() { m_Active = false; }
    bool Active() const { return m_Active; }
    // Counts one matching request; true when it is to fail.
    bool Fails()
    {
        if (!m_Active)
            return false;
        if (m_Skip > 0)
        {
            m_Skip--;
            return false;
        }
        if (!m_Forever && --m_Count == 0)
            m_Active = false;
        return true;
    }

  private:
    ULONG m_Skip = 0;
    ULONG m_Count = 0;
    bool m_Active = false;
    bool m_Forever = false;
};

// While one lives, no injected pool failure reaches the allocations this
// thread makes, nor counts them: for what a real system never fails, the I/O
// manager's own requests (PnP, power, file and client requests).
class EmuPoolUnfailing
{
  public:
    EmuPoolUnfailing();
    ~EmuPoolUnfailing();
    EmuPoolUnfailing(const EmuPoolUnfailing&) = delete;
    EmuPoolUnfailing& operator=(const EmuPoolUnfailing&) = delete;
};

// Queues routine(context) for the system worker thread, which runs it at
// PASSIVE_LEVEL in the system process. Callable at IRQL <= DISPATCH_LEVEL. The
// worker is started on first use and ended by the leak check when idle, so it
// never counts as a leaked thread; work still queued then is reported.
void EmuQueueSystemWork(void (*routine)(void* context), void* context);
ULONG EmuSystemWorkQueued(); // queued and not yet started

// For the kernel's own reset and leak check.
void EmuRunResetHooks();
std::string EmuRunLeakHooks(bool forget);
void EmuRunProcessExitHooks(PEPROCESS process);
