// State shared between the emulated kernel's own source files. Not for driver
// code or tests.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/emu.h"

struct EmuThread;

struct _KTHREAD
{
    DISPATCHER_HEADER Header; // signalled when the thread has terminated
    EmuThread* Emu;
    KPRIORITY Priority;
    ULONG Id;
};

struct _KPROCESS
{
    DISPATCHER_HEADER Header;
    ULONG Id;
    bool Is32Bit;
};

struct EmuThread
{
    PKTHREAD K = nullptr;
    std::condition_variable Cv;
    bool Boot = false;
    bool Terminated = false;
    PKSTART_ROUTINE Start = nullptr;
    PVOID Context = nullptr;
    PEPROCESS Process = nullptr;
    ULONG MutexesHeld = 0;
    // wait state
    bool Blocked = false;
    bool Delay = false;
    ULONG Count = 0;
    PVOID Objects[MAXIMUM_WAIT_OBJECTS] = {};
    WAIT_TYPE Type = WaitAny;
    LONGLONG Deadline = -1; // interrupt time; -1: none
    NTSTATUS Result = STATUS_SUCCESS;
};

struct EmuArmedTimer
{
    PKTIMER Timer;
    LONGLONG Due;
    unsigned long long Seq;
};

struct EmuKernel
{
    std::mutex Lock; // held only while the processor changes hands
    EmuClockMode Mode = EmuClockMode::Virtual;
    unsigned long long Generation = 0;
    EmuThread* Current = nullptr;
    std::deque<EmuThread*> Ready;
    std::vector<EmuThread*> Blocked;
    std::vector<std::unique_ptr<EmuThread>> Threads;
    std::vector<EmuArmedTimer> Timers;
    std::deque<PKDPC> Dpcs;
    bool InDpc = false;
    LONGLONG VirtualNow = 0;
    long long RealBaseNs = 0;
    unsigned long long Seq = 0;
    ULONG NextThreadId = 4;
};

EmuKernel& EmuK();
EmuThread* EmuSelf(); // the running emulated thread (registers the boot thread)
KIRQL& EmuIrql();     // the running thread's IRQL
LONGLONG EmuInterruptTime();
void EmuWakeWaiters(); // after any object became signalled
void EmuRunDpcs();     // drain the DPC queue at DISPATCH_LEVEL
void EmuInitDispatcherHeader(DISPATCHER_HEADER* header, UCHAR type, LONG state);
std::string EmuDescribeObjectsIn(const void* start, SIZE_T size); // armed timers etc. in a block

// Reset hooks of the other source files, run by EmuReset in this order.
void EmuPoolReset();
void EmuObReset();
void EmuCallbackReset();
void EmuDbgReset();
std::string EmuPoolLeaks(bool forget);
std::string EmuObLeaks(bool forget);
std::string EmuCallbackLeaks(bool forget);
void EmuVersionReset();
void EmuProcessNotifyReset();
std::string EmuProcessNotifyLeaks(bool forget);
// The registered routines, for a process being created or exiting.
void EmuNotifyProcess(PEPROCESS process, BOOLEAN create);
void EmuObRegisterThreadObject(PKTHREAD thread);
extern KPROCESS g_EmuSystemProcess;

// Formats into a growing std::string (narrow format).
std::string EmuFormatV(const char* format, va_list args);

inline constexpr LONGLONG EMU_BOOT_SYSTEM_TIME = 134116992000000000LL; // 2026-01-01 UTC
