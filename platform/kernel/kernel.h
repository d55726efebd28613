// The emulated kernel core: IRQL, pool, synchronisation, time, deferred work,
// threads, callback objects, lookaside lists, object manager and run-time
// library, declared by the kernel's own names and signatures.
#pragma once

#include <cstdarg>

#include "platform/kernel/nt_types.h"

// ----------------------------------------------------------------------------
// Failure reporting. What would bug-check a real machine (a spin lock at the
// wrong IRQL, a pageable routine at DISPATCH_LEVEL, a leaked block) is reported
// here; tests turn reports into failures.
void EmuReportFailure(const char* format, ...) __attribute__((format(printf, 1, 2)));
void EmuAssertFailed(const char* expression, const char* file, int line);

#define ASSERT(e) ((e) ? (void)0 : EmuAssertFailed(#e, __FILE__, __LINE__))
#define NT_ASSERT(e) ASSERT(e)

// ----------------------------------------------------------------------------
// IRQL
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define CLOCK_LEVEL 13
#define HIGH_LEVEL 15

KIRQL KeGetCurrentIrql();
void KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql);
void KeLowerIrql(KIRQL newIrql);
KIRQL KeRaiseIrqlToDpcLevel();

void EmuPagedCode(const char* function);
#define PAGED_CODE() EmuPagedCode(__func__)
#define PAGED_CODE_LOCKED() ((void)0)

// ----------------------------------------------------------------------------
// Pool
typedef enum _POOL_TYPE
{
    NonPagedPool = 0,
    NonPagedPoolExecute = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    DontUseThisType = 3,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolCacheAlignedMustS = 6,
    NonPagedPoolNx = 512,
    NonPagedPoolNxCacheAligned = 516,
} POOL_TYPE;

// Pool tags are four characters stored little-endian, as a multi-character
// constant 'abcd' would be on the real compiler: "Lis " gives the tag that
// reads "Lis " in a pool dump.
constexpr ULONG EmuMakeTag(const char (&t)[5])
{
    return (ULONG)(UCHAR)t[0] | ((ULONG)(UCHAR)t[1] << 8) | ((ULONG)(UCHAR)t[2] << 16) |
           ((ULONG)(UCHAR)t[3] << 24);
}
constexpr ULONG EmuMakeTag(const char (&t)[4])
{
    return (ULONG)(UCHAR)t[0] | ((ULONG)(UCHAR)t[1] << 8) | ((ULONG)(UCHAR)t[2] << 16);
}
#define POOL_TAG(s) EmuMakeTag(s)

#define PAGE_SIZE 0x1000
#define PAGE_SHIFT 12
#define ROUND_TO_PAGES(size) (((ULONG_PTR)(size) + PAGE_SIZE - 1) & ~(ULONG_PTR)(PAGE_SIZE - 1))

// A request of PAGE_SIZE or more gets a page-aligned block; a smaller one
// lies within one page, which the pool shares with other blocks.
PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag);
PVOID ExAllocatePool(POOL_TYPE poolType, SIZE_T numberOfBytes);
void ExFreePoolWithTag(PVOID p, ULONG tag);
void ExFreePool(PVOID p);

// ----------------------------------------------------------------------------
// Interlocked operations
inline LONG InterlockedIncrement(LONG volatile* p)
{
    return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* p)
{
    return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(LONG volatile* p, LONG v)
{
    return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(LONG volatile* p, LONG v)
{
    return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedAdd(LONG volatile* p, LONG v)
{
    return __atomic_add_fetch(p, v, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedAnd(LONG volatile* p, LONG v)
{
    return __atomic_fetch_and(p, v, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedOr(LONG volatile* p, LONG v)
{
    return __atomic_fetch_or(p, v, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile* p, LONG exchange, LONG comparand)
{
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline LONG64 InterlockedIncrement64(LONG64 volatile* p)
{
    return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedDecrement64(LONG64 volatile* p)
{
    return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedExchange64(LONG64 volatile* p, LONG64 v)
{
    return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedExchangeAdd64(LONG64 volatile* p, LONG64 v)
{
    return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedCompareExchange64(LONG64 volatile* p, LONG64 exchange, LONG64 comparand)
{
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* p, PVOID v)
{
    return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* p, PVOID exchange, PVOID comparand)
{
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}

// ----------------------------------------------------------------------------
// Spin locks
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;

void KeInitializeSpinLock(PKSPIN_LOCK lock);
void KeAcquireSpinLock(PKSPIN_LOCK lock, PKIRQL oldIrql);
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock);
void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql);
void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock);
void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock);

// ----------------------------------------------------------------------------
// Dispatcher objects
typedef enum _KOBJECTS
{
    EventNotificationObject = 0,
    EventSynchronizationObject = 1,
    MutantObject = 2,
    ProcessObject = 3,
    QueueObject = 4,
    SemaphoreObject = 5,
    ThreadObject = 6,
    GateObject = 7,
    TimerNotificationObject = 8,
    TimerSynchronizationObject = 9,
} KOBJECTS;

typedef struct _DISPATCHER_HEADER
{
    UCHAR Type;
    UCHAR Signalling;
    UCHAR Size;
    UCHAR Inserted; // timers: in the timer queue
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef enum _EVENT_TYPE
{
    NotificationEvent,
    SynchronizationEvent
} EVENT_TYPE;

typedef enum _TIMER_TYPE
{
    NotificationTimer,
    SynchronizationTimer
} TIMER_TYPE;

typedef enum _WAIT_TYPE
{
    WaitAll,
    WaitAny,
    WaitNotification,
    WaitDequeue
} WAIT_TYPE;

typedef enum _KWAIT_REASON
{
    Executive = 0,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended,
    UserRequest,
    WrExecutive,
} KWAIT_REASON;

typedef struct _KEVENT
{
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

struct _KTHREAD;
typedef struct _KMUTANT
{
    DISPATCHER_HEADER Header; // SignalState: 1 free, 1 - n when acquired n times
    LIST_ENTRY MutantListEntry;
    struct _KTHREAD* OwnerThread;
    BOOLEAN Abandoned;
    UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;

typedef struct _KSEMAPHORE
{
    DISPATCHER_HEADER Header;
    LONG Limit;
} KSEMAPHORE, *PKSEMAPHORE, *PRKSEMAPHORE;

struct _KDPC;
typedef void KDEFERRED_ROUTINE(struct _KDPC* dpc, PVOID deferredContext, PVOID systemArgument1,
                               PVOID systemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

typedef struct _KDPC
{
    UCHAR Type;
    UCHAR Importance;
    volatile USHORT Number;
    LIST_ENTRY DpcListEntry;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    volatile PVOID DpcData; // non-null while queued
} KDPC, *PKDPC, *PRKDPC;

typedef struct _KTIMER
{
    DISPATCHER_HEADER Header;
    ULARGE_INTEGER DueTime; // interrupt time, 100 ns units
    LIST_ENTRY TimerListEntry;
    struct _KDPC* Dpc;
    ULONG Period; // ms
} KTIMER, *PKTIMER, *PRKTIMER;

#define MAXIMUM_WAIT_OBJECTS 64
#define THREAD_WAIT_OBJECTS 3
typedef struct _KWAIT_BLOCK
{
    LIST_ENTRY WaitListEntry;
    PVOID Object;
} KWAIT_BLOCK, *PKWAIT_BLOCK;

void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state);
LONG KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait);
LONG KeResetEvent(PRKEVENT event);
void KeClearEvent(PRKEVENT event);
LONG KeReadStateEvent(PRKEVENT event);

void KeInitializeMutex(PRKMUTEX mutex, ULONG level);
LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN wait);
LONG KeReadStateMutex(PRKMUTEX mutex);

void KeInitializeSemaphore(PRKSEMAPHORE semaphore, LONG count, LONG limit);
LONG KeReleaseSemaphore(PRKSEMAPHORE semaphore, KPRIORITY increment, LONG adjustment, BOOLEAN wait);

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON waitReason, KPROCESSOR_MODE waitMode,
                               BOOLEAN alertable, PLARGE_INTEGER timeout);
NTSTATUS KeWaitForMultipleObjects(ULONG count, PVOID object[], WAIT_TYPE waitType,
                                  KWAIT_REASON waitReason, KPROCESSOR_MODE waitMode,
                                  BOOLEAN alertable, PLARGE_INTEGER timeout,
                                  PKWAIT_BLOCK waitBlockArray);
#define KeWaitForMutexObject KeWaitForSingleObject
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE waitMode, BOOLEAN alertable,
                                PLARGE_INTEGER interval);

// ----------------------------------------------------------------------------
// Time: 100 ns units. System time counts from 1601; interrupt time from boot.
void KeQuerySystemTime(PLARGE_INTEGER currentTime);
ULONGLONG KeQueryInterruptTime();
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER performanceFrequency);
void KeQueryTickCount(PLARGE_INTEGER tickCount);
ULONG KeQueryTimeIncrement();
void KeStallExecutionProcessor(ULONG microseconds);

// ----------------------------------------------------------------------------
// DPCs and timers
void KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE deferredRoutine, PVOID deferredContext);
BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID systemArgument1, PVOID systemArgument2);
BOOLEAN KeRemoveQueueDpc(PRKDPC dpc);
void KeFlushQueuedDpcs();

void KeInitializeTimer(PKTIMER timer);
void KeInitializeTimerEx(PKTIMER timer, TIMER_TYPE type);
BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc);
BOOLEAN KeSetTimerEx(PKTIMER timer, LARGE_INTEGER dueTime, LONG period, PKDPC dpc);
BOOLEAN KeCancelTimer(PKTIMER timer);
BOOLEAN KeReadStateTimer(PKTIMER timer);

// ----------------------------------------------------------------------------
// Object manager
typedef struct _OBJECT_TYPE
{
    const char* Name;
} OBJECT_TYPE, *POBJECT_TYPE;

extern POBJECT_TYPE* PsThreadType;
extern POBJECT_TYPE* ExEventObjectType;
extern POBJECT_TYPE* ExCallbackObjectType;

typedef struct _OBJECT_ATTRIBUTES
{
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define OBJ_INHERIT 0x00000002L
#define OBJ_PERMANENT 0x00000010L
#define OBJ_EXCLUSIVE 0x00000020L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_OPENIF 0x00000080L
#define OBJ_KERNEL_HANDLE 0x00000200L

#define InitializeObjectAttributes(p, n, a, r, s)                                                  \
    do                                                                                             \
    {                                                                                              \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);                                                   \
        (p)->RootDirectory = (r);                                                                  \
        (p)->Attributes = (a);                                                                     \
        (p)->ObjectName = (n);                                                                     \
        (p)->SecurityDescriptor = (s);                                                             \
        (p)->SecurityQualityOfService = NULL;                                                      \
    } while (0)

typedef struct _OBJECT_HANDLE_INFORMATION
{
    ULONG HandleAttributes;
    ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desiredAccess,
                                   POBJECT_TYPE objectType, KPROCESSOR_MODE accessMode,
                                   PVOID* object, POBJECT_HANDLE_INFORMATION handleInformation);
LONG_PTR ObfReferenceObject(PVOID object);
LONG_PTR ObfDereferenceObject(PVOID object);
#define ObReferenceObject(o) ObfReferenceObject(o)
#define ObDereferenceObject(o) ObfDereferenceObject(o)
NTSTATUS ZwClose(HANDLE handle);
#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)
#define ZwCurrentProcess() NtCurrentProcess()

// ----------------------------------------------------------------------------
// Threads and processes
typedef struct _KTHREAD KTHREAD, *PKTHREAD, *PRKTHREAD, ETHREAD, *PETHREAD;
typedef struct _KPROCESS KPROCESS, *PKPROCESS, *PRKPROCESS, EPROCESS, *PEPROCESS;
typedef void KSTART_ROUTINE(PVOID startContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

typedef struct _CLIENT_ID
{
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

#define LOW_PRIORITY 0
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31
#define MAXIMUM_PRIORITY 32

NTSTATUS PsCreateSystemThread(PHANDLE threadHandle, ULONG desiredAccess,
                              POBJECT_ATTRIBUTES objectAttributes, HANDLE processHandle,
                              PCLIENT_ID clientId, PKSTART_ROUTINE startRoutine,
                              PVOID startContext);
[[noreturn]] NTSTATUS PsTerminateSystemThread(NTSTATUS exitStatus);
PKTHREAD KeGetCurrentThread();
#define PsGetCurrentThread() ((PETHREAD)KeGetCurrentThread())
HANDLE PsGetCurrentThreadId();
KPRIORITY KeSetPriorityThread(PKTHREAD thread, KPRIORITY priority);
KPRIORITY KeQueryPriorityThread(PKTHREAD thread);
PEPROCESS PsGetCurrentProcess();
#define IoGetCurrentProcess PsGetCurrentProcess
HANDLE PsGetCurrentProcessId();
PEPROCESS PsInitialSystemProcess();
HANDLE PsGetProcessId(PEPROCESS process);

// Process creation and exit. A routine runs at PASSIVE_LEVEL: for an exit, in
// the exiting process (its address space still there), before its handles
// are closed. At most 64 routines; a routine must be removed before its code
// goes.
typedef void (*PCREATE_PROCESS_NOTIFY_ROUTINE)(HANDLE parentId, HANDLE processId, BOOLEAN create);
NTSTATUS PsSetCreateProcessNotifyRoutine(PCREATE_PROCESS_NOTIFY_ROUTINE notifyRoutine,
                                         BOOLEAN remove);

// Runs the current thread in another process's address space until the
// matching detach (attaches nest; each one has its own state).
typedef struct _KAPC_STATE
{
    LIST_ENTRY ApcListHead[2];
    PKPROCESS Process; // the process to return to
    BOOLEAN KernelApcInProgress;
    BOOLEAN KernelApcPending;
    BOOLEAN UserApcPending;
} KAPC_STATE, *PKAPC_STATE, *PRKAPC_STATE;
void KeStackAttachProcess(PRKPROCESS process, PRKAPC_STATE apcState);
void KeUnstackDetachProcess(PRKAPC_STATE apcState);

BOOLEAN PsGetVersion(PULONG majorVersion, PULONG minorVersion, PULONG buildNumber,
                     PUNICODE_STRING csdVersion);
BOOLEAN RtlIsNtDdiVersionAvailable(ULONG version);
#define NTDDI_WINXP 0x05010000u
#define NTDDI_VISTA 0x06000000u
#define NTDDI_WIN7 0x06010000u
#define NTDDI_WIN8 0x06020000u
#define NTDDI_WIN10 0x0A000000u

// ----------------------------------------------------------------------------
// Callback objects
typedef struct _CALLBACK_OBJECT* PCALLBACK_OBJECT;
typedef void CALLBACK_FUNCTION(PVOID callbackContext, PVOID argument1, PVOID argument2);
typedef CALLBACK_FUNCTION* PCALLBACK_FUNCTION;

NTSTATUS ExCreateCallback(PCALLBACK_OBJECT* callbackObject, POBJECT_ATTRIBUTES objectAttributes,
                          BOOLEAN create, BOOLEAN allowMultipleCallbacks);
PVOID ExRegisterCallback(PCALLBACK_OBJECT callbackObject, PCALLBACK_FUNCTION callbackFunction,
                         PVOID callbackContext);
void ExUnregisterCallback(PVOID callbackRegistration);
void ExNotifyCallback(PVOID callbackObject, PVOID argument1, PVOID argument2);

// ----------------------------------------------------------------------------
// Lookaside lists (blocks come straight from the pool under the list's tag, so
// the pool's accounting and poisoning cover them)
typedef PVOID ALLOCATE_FUNCTION(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag);
typedef ALLOCATE_FUNCTION* PALLOCATE_FUNCTION;
typedef void FREE_FUNCTION(PVOID buffer);
typedef FREE_FUNCTION* PFREE_FUNCTION;

typedef struct _NPAGED_LOOKASIDE_LIST
{
    POOL_TYPE Type;
    ULONG Tag;
    ULONG Size;
    USHORT Depth;
    PALLOCATE_FUNCTION Allocate;
    PFREE_FUNCTION Free;
    LONG Outstanding;
    ULONG Magic;
} NPAGED_LOOKASIDE_LIST, *PNPAGED_LOOKASIDE_LIST, PAGED_LOOKASIDE_LIST, *PPAGED_LOOKASIDE_LIST;

void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside, PALLOCATE_FUNCTION allocate,
                                     PFREE_FUNCTION free, ULONG flags, SIZE_T size, ULONG tag,
                                     USHORT depth);
void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside);
PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside);
void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside, PVOID entry);
void ExInitializePagedLookasideList(PPAGED_LOOKASIDE_LIST lookaside, PALLOCATE_FUNCTION allocate,
                                    PFREE_FUNCTION free, ULONG flags, SIZE_T size, ULONG tag,
                                    USHORT depth);
void ExDeletePagedLookasideList(PPAGED_LOOKASIDE_LIST lookaside);
PVOID ExAllocateFromPagedLookasideList(PPAGED_LOOKASIDE_LIST lookaside);
void ExFreeToPagedLookasideList(PPAGED_LOOKASIDE_LIST lookaside, PVOID entry);

// ----------------------------------------------------------------------------
// Run-time library: strings
void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source);
void RtlInitAnsiString(PANSI_STRING destination, PCSTR source);
void RtlInitString(PSTRING destination, PCSTR source);
void RtlCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source);
LONG RtlCompareUnicodeString(PCUNICODE_STRING s1, PCUNICODE_STRING s2, BOOLEAN caseInsensitive);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING s1, PCUNICODE_STRING s2, BOOLEAN caseInsensitive);
LONG RtlCompareString(const STRING* s1, const STRING* s2, BOOLEAN caseInsensitive);
WCHAR RtlUpcaseUnicodeChar(WCHAR c);
NTSTATUS RtlUpcaseUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source,
                                BOOLEAN allocateDestination);
NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING destination, PCUNICODE_STRING source,
                                      BOOLEAN allocateDestination);
NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING destination, PCANSI_STRING source,
                                      BOOLEAN allocateDestination);
void RtlFreeUnicodeString(PUNICODE_STRING s);
void RtlFreeAnsiString(PANSI_STRING s);
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING destination, PCWSTR source);
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING destination, PCUNICODE_STRING source);
NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING s, ULONG base, PULONG value);

// Bounded formatting. Conversions: %s %S %ws %hs %wZ %c %C %d %i %u %x %X %p %%
// with flags, width, precision and the h, l, ll, I64, z size prefixes. As on
// the real platform, %s is a narrow string in narrow formats and a wide one in
// wide formats; %S is the other width. Output is always terminated; a result
// that does not fit is truncated and STATUS_BUFFER_OVERFLOW returned.
NTSTATUS RtlStringCbPrintfA(PSTR dest, size_t cbDest, PCSTR format, ...);
NTSTATUS RtlStringCbPrintfW(PWSTR dest, size_t cbDest, PCWSTR format, ...);
NTSTATUS RtlStringCchPrintfA(PSTR dest, size_t cchDest, PCSTR format, ...);
NTSTATUS RtlStringCchPrintfW(PWSTR dest, size_t cchDest, PCWSTR format, ...);
NTSTATUS RtlStringCbVPrintfA(PSTR dest, size_t cbDest, PCSTR format, va_list args);
NTSTATUS RtlStringCbVPrintfW(PWSTR dest, size_t cbDest, PCWSTR format, va_list args);
NTSTATUS RtlStringCbCopyA(PSTR dest, size_t cbDest, PCSTR src);
NTSTATUS RtlStringCbCopyW(PWSTR dest, size_t cbDest, PCWSTR src);
NTSTATUS RtlStringCchCopyW(PWSTR dest, size_t cchDest, PCWSTR src);
NTSTATUS RtlStringCbCatA(PSTR dest, size_t cbDest, PCSTR src);
NTSTATUS RtlStringCbCatW(PWSTR dest, size_t cbDest, PCWSTR src);
NTSTATUS RtlStringCbLengthA(PCSTR s, size_t cbMax, size_t* cbLength);
NTSTATUS RtlStringCbLengthW(PCWSTR s, size_t cbMax, size_t* cbLength);
NTSTATUS RtlStringCchLengthW(PCWSTR s, size_t cchMax, size_t* cchLength);
#define NTSTRSAFE_MAX_CCH 2147483647

ULONG DbgPrint(PCSTR format, ...);
#define KdPrint(args) DbgPrint args
