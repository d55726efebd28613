// Extension points of the emulated kernel for the other platform areas: their
// own state is reset with the kernel and checked for leaks with it, and a
// system worker thread runs deferred work at PASSIVE_LEVEL.
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
