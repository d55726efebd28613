// Controls of the emulated kernel for tests and the host program: clock mode,
// virtual time, scheduling, pool accounting and failure injection, captured
// debug output, leak checks, OS version, kernel object registration.
//
// Scheduling model: one emulated processor. Exactly one emulated thread runs
// at a time; a thread gives the processor up only when it blocks in a kernel
// wait (or yields through the helpers below). When every thread is blocked,
// virtual time jumps to the next timer or wait deadline, timers fire, their
// DPCs run at DISPATCH_LEVEL, and timed-out waits end. DPCs queued by code run
// as soon as the queuing thread's IRQL drops below DISPATCH_LEVEL. The order
// is fully determined, so tests are repeatable and never sleep.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/kernel/kernel.h"

enum class EmuClockMode
{
    Virtual, // time moves only when all threads wait, or when a test advances it
    Real     // the host program: waits sleep on the machine's clock
};

// Resets the whole kernel: clock, scheduler, pool accounting, object names,
// captured output, version. Blocks and threads still alive are abandoned.
void EmuReset(EmuClockMode mode);
EmuClockMode EmuGetClockMode();
// Releases everything the emulator holds, before the process exits.
void EmuShutdown();

// ---- time and scheduling (call from an emulated thread, normally the test)
ULONGLONG EmuNow();                        // interrupt time, 100 ns units
void EmuRunUntilIdle();                    // run other threads and DPCs; time stands still
void EmuAdvanceTime(ULONGLONG ticks100ns); // fire everything due up to now + ticks, in order
inline void EmuAdvanceMs(ULONGLONG ms)
{
    EmuAdvanceTime(ms * 10000ull);
}
// Advances in steps of at most stepMs until pred() holds or maxMs elapsed.
bool EmuAdvanceUntil(const std::function<bool()>& pred, ULONGLONG maxMs, ULONGLONG stepMs = 1);
ULONG EmuLiveThreadCount(); // emulated system threads not yet terminated
ULONG EmuArmedTimerCount();
ULONG EmuQueuedDpcCount();
KPRIORITY EmuThreadPriority(PKTHREAD thread);

// ---- failures
// Handler for reports: default prints and aborts. Tests install one that
// records a test failure.
using EmuFailureHandler = void (*)(const char* message);
void EmuSetFailureHandler(EmuFailureHandler handler);
// Captures reports instead of failing while alive; for tests that check that
// misuse is detected.
class EmuExpectFailures
{
  public:
    EmuExpectFailures();
    ~EmuExpectFailures();
    const std::vector<std::string>& Messages() const { return m_Messages; }
    bool Contains(const char* fragment) const;
    std::vector<std::string> m_Messages;

  private:
    EmuExpectFailures* m_Previous;
};

// ---- pool
struct EmuPoolBlock
{
    const void* Address;
    SIZE_T Size;
    ULONG Tag;
    POOL_TYPE Type;
    unsigned long long Sequence;
};
std::vector<EmuPoolBlock> EmuPoolOutstanding();
SIZE_T EmuPoolOutstandingCount(ULONG tag = 0); // 0: every tag
SIZE_T EmuPoolOutstandingBytes(ULONG tag = 0);
unsigned long long EmuPoolAllocationCount(ULONG tag = 0); // successful allocations since reset
// The same for every tag that has allocated since reset.
std::map<ULONG, unsigned long long> EmuPoolAllocationCounts();
// Allocation requests made at DISPATCH_LEVEL since reset, failed ones included:
// what a processing path that must not allocate is checked against.
unsigned long long EmuPoolDispatchRequestCount();
// The allocations matching tag (0: any) after `skip` matching ones fail, `count` of them
// (0: every later one).
void EmuPoolInjectFailure(ULONG tag, ULONG skip, ULONG count = 1);
void EmuPoolClearInjection();
bool EmuPoolIsBlock(const void* p, SIZE_T* size = nullptr, ULONG* tag = nullptr,
                    POOL_TYPE* type = nullptr);
// The outstanding block that holds `address`, at its start or inside it;
// false when none does. It allocates nothing: the platform asks it on a
// driver's calls.
bool EmuPoolBlockHolding(const void* address, EmuPoolBlock* block);
inline constexpr unsigned char EMU_POOL_POISON = 0xCD;
std::string EmuTagName(ULONG tag);

// ---- leak checks: returns a description of what is left (empty when clean)
// and, with forget, stops tracking it.
std::string EmuCheckClean(bool forget);

// ---- debug output
const std::vector<std::string>& EmuDbgOutput();
void EmuDbgClear();
void EmuDbgEcho(bool echo); // also write DbgPrint to stderr

// ---- version
void EmuSetOsVersion(ULONG major, ULONG minor, ULONG build, ULONG ntddiVersion);

// ---- object manager, for the other platform areas
struct EmuObjectKind
{
    POBJECT_TYPE Type;            // may be null for objects no handle names
    void (*Delete)(void* object); // runs when the last reference goes
};
// Registers a kernel object with one reference.
void EmuObRegister(void* object, const EmuObjectKind* kind);
bool EmuObIsObject(const void* object);
LONG_PTR EmuObReferenceCount(const void* object);
// Creates a handle that holds a reference to the object. User handles belong
// to the current process and are refused in kernel-mode requests' stead.
NTSTATUS EmuObCreateHandle(void* object, ACCESS_MASK grantedAccess, KPROCESSOR_MODE mode,
                           PHANDLE handle);
// Resolves a handle without referencing (null when not a live handle).
void* EmuObLookupHandle(HANDLE handle, POBJECT_TYPE* type = nullptr);

// ---- processes (user-mode callers)
PEPROCESS EmuCreateProcess(bool is32Bit);
void EmuDeleteProcess(PEPROCESS process);
void EmuAttachProcess(PEPROCESS process); // current thread runs in process (null: system)
bool EmuProcessIs32Bit(PEPROCESS process);
ULONG EmuProcessId(PEPROCESS process);
