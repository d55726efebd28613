// System threads, handles and named callback objects.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/kernel/emu.h"
#include "tests/common/emu_test.h"

namespace
{
PVOID StartThread(PKSTART_ROUTINE routine, PVOID context)
{
    HANDLE h;
    EXPECT_EQ(
        PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, context),
        STATUS_SUCCESS);
    PVOID thread = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread,
                                        nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    return thread;
}

void Join(PVOID thread)
{
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
}

struct PriorityCase
{
    KPRIORITY Before = -1, Seen = -1;
    KEVENT Go;
};

void SetOwnPriority(PVOID context)
{
    auto* p = static_cast<PriorityCase*>(context);
    p->Before = KeSetPriorityThread(KeGetCurrentThread(), 31);
    KeWaitForSingleObject(&p->Go, Executive, KernelMode, FALSE, nullptr);
    p->Seen = KeQueryPriorityThread(KeGetCurrentThread());
    KeSetPriorityThread(KeGetCurrentThread(), 24);
    PsTerminateSystemThread(STATUS_SUCCESS);
}
} // namespace

TEST(Thread, RunsOnlyWhenTheCreatorWaitsAndRecordsPriority)
{
    PriorityCase p;
    KeInitializeEvent(&p.Go, NotificationEvent, FALSE);
    PVOID t = StartThread(SetOwnPriority, &p);
    EXPECT_EQ(p.Before, -1); // not started: the creator still runs
    EXPECT_EQ(EmuLiveThreadCount(), 1u);
    EmuRunUntilIdle();
    EXPECT_EQ(p.Before, 8);
    EXPECT_EQ(EmuThreadPriority(static_cast<PKTHREAD>(t)), 31);
    KeSetEvent(&p.Go, 0, FALSE);
    Join(t);
    EXPECT_EQ(p.Seen, 31);
    EXPECT_EQ(EmuLiveThreadCount(), 0u);
}

TEST(Handle, TypeAndModeAreChecked)
{
    KEVENT go;
    KeInitializeEvent(&go, NotificationEvent, TRUE);
    HANDLE h;
    ASSERT_EQ(PsCreateSystemThread(
                  &h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, [](PVOID) {}, nullptr),
              STATUS_SUCCESS);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(h, 0, *ExEventObjectType, KernelMode, &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(ObReferenceObjectByHandle(h, 0, *PsThreadType, UserMode, &object, nullptr),
              STATUS_INVALID_HANDLE); // a kernel handle named by a user-mode caller
    EXPECT_EQ(ObReferenceObjectByHandle((HANDLE)(ULONG_PTR)0x1234, 0, nullptr, KernelMode, &object,
                                        nullptr),
              STATUS_INVALID_HANDLE);
    ASSERT_EQ(ObReferenceObjectByHandle(h, 0, *PsThreadType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(h), STATUS_INVALID_HANDLE);
    Join(object);
}

namespace
{
struct CallbackCase
{
    std::vector<std::string> Calls;
    KEVENT Inside;  // set by the slow routine once it runs
    KEVENT Release; // the slow routine waits for this
    KIRQL IrqlSeen = 0xFF;
    bool UnregisterReturned = false;
    PVOID Registration = nullptr;
};

void RoutineA(PVOID context, PVOID a1, PVOID a2)
{
    auto* c = static_cast<CallbackCase*>(context);
    c->Calls.push_back("A" + std::to_string((ULONG_PTR)a1) + std::to_string((ULONG_PTR)a2));
    c->IrqlSeen = KeGetCurrentIrql();
}

void RoutineB(PVOID context, PVOID a1, PVOID)
{
    auto* c = static_cast<CallbackCase*>(context);
    c->Calls.push_back("B" + std::to_string((ULONG_PTR)a1));
}

void SlowRoutine(PVOID context, PVOID, PVOID)
{
    auto* c = static_cast<CallbackCase*>(context);
    c->Calls.push_back("slow-in");
    KeSetEvent(&c->Inside, 0, FALSE);
    KeWaitForSingleObject(&c->Release, Executive, KernelMode, FALSE, nullptr);
    c->Calls.push_back("slow-out");
}

PCALLBACK_OBJECT g_Object;

void Notifier(PVOID)
{
    ExNotifyCallback(g_Object, (PVOID)5, nullptr);
}

void Unregisterer(PVOID context)
{
    auto* c = static_cast<CallbackCase*>(context);
    ExUnregisterCallback(c->Registration);
    c->UnregisterReturned = true;
}

PCALLBACK_OBJECT Create(const WCHAR* name, BOOLEAN create, BOOLEAN multiple, NTSTATUS* status)
{
    UNICODE_STRING n;
    RtlInitUnicodeString(&n, name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &n, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    PCALLBACK_OBJECT cb = nullptr;
    *status = ExCreateCallback(&cb, &oa, create, multiple);
    return cb;
}
} // namespace

TEST(Callback, NamesOpenCaseInsensitivelyAndRoutinesRunInOrderInTheCallersContext)
{
    NTSTATUS s;
    EXPECT_EQ(Create(u"\\Callback\\AudioHalAddr0000", FALSE, TRUE, &s), nullptr);
    EXPECT_EQ(s, STATUS_OBJECT_NAME_NOT_FOUND);
    PCALLBACK_OBJECT cb = Create(u"\\Callback\\AudioHalAddr0000", TRUE, TRUE, &s);
    ASSERT_EQ(s, STATUS_SUCCESS);
    PCALLBACK_OBJECT same = Create(u"\\CALLBACK\\audiohaladdr0000", FALSE, TRUE, &s);
    EXPECT_EQ(s, STATUS_SUCCESS);
    EXPECT_EQ(same, cb);

    CallbackCase c;
    PVOID ra = ExRegisterCallback(cb, RoutineA, &c);
    PVOID rb = ExRegisterCallback(cb, RoutineB, &c);
    ASSERT_NE(ra, nullptr);
    ASSERT_NE(rb, nullptr);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ExNotifyCallback(cb, (PVOID)1, (PVOID)2);
    KeLowerIrql(old);
    EXPECT_EQ(c.Calls, (std::vector<std::string>{"A12", "B1"}));
    EXPECT_EQ(c.IrqlSeen, DISPATCH_LEVEL);
    ExUnregisterCallback(ra);
    ExNotifyCallback(cb, (PVOID)3, nullptr);
    EXPECT_EQ(c.Calls.back(), "B3");
    EXPECT_EQ(c.Calls.size(), 3u);
    ExUnregisterCallback(rb);
    ObDereferenceObject(same);
    ObDereferenceObject(cb);
    // The last reference gone, the name no longer opens.
    EXPECT_EQ(Create(u"\\Callback\\AudioHalAddr0000", FALSE, TRUE, &s), nullptr);
}

TEST(Callback, SingleRegistrationObjectsRefuseASecond)
{
    NTSTATUS s;
    PCALLBACK_OBJECT cb = Create(u"\\Callback\\One", TRUE, FALSE, &s);
    CallbackCase c;
    PVOID r = ExRegisterCallback(cb, RoutineA, &c);
    EXPECT_NE(r, nullptr);
    EXPECT_EQ(ExRegisterCallback(cb, RoutineB, &c), nullptr);
    ExUnregisterCallback(r);
    ObDereferenceObject(cb);
}

TEST(Callback, UnregisterWaitsUntilARunningRoutineReturns)
{
    NTSTATUS s;
    g_Object = Create(u"\\Callback\\StreamEngineAddr1", TRUE, TRUE, &s);
    CallbackCase c;
    KeInitializeEvent(&c.Inside, NotificationEvent, FALSE);
    KeInitializeEvent(&c.Release, NotificationEvent, FALSE);
    c.Registration = ExRegisterCallback(g_Object, SlowRoutine, &c);

    PVOID notifier = StartThread(Notifier, nullptr);
    KeWaitForSingleObject(&c.Inside, Executive, KernelMode, FALSE, nullptr);
    PVOID unregisterer = StartThread(Unregisterer, &c);
    EmuAdvanceMs(50);
    EXPECT_FALSE(c.UnregisterReturned); // the routine is still inside
    // A notification meanwhile skips the registration being removed.
    ExNotifyCallback(g_Object, nullptr, nullptr);
    EXPECT_EQ(c.Calls, (std::vector<std::string>{"slow-in"}));
    KeSetEvent(&c.Release, 0, FALSE);
    Join(notifier);
    Join(unregisterer);
    EXPECT_TRUE(c.UnregisterReturned);
    EXPECT_EQ(c.Calls, (std::vector<std::string>{"slow-in", "slow-out"}));
    ObDereferenceObject(g_Object);
}

namespace
{
struct SelfUnregister
{
    PVOID Registration;
};
void UnregisterSelf(PVOID context, PVOID, PVOID)
{
    ExUnregisterCallback(static_cast<SelfUnregister*>(context)->Registration);
}
} // namespace

TEST(Callback, UnregisteringFromInsideItsOwnRoutineIsReported)
{
    NTSTATUS s;
    PCALLBACK_OBJECT cb = Create(u"\\Callback\\Self", TRUE, TRUE, &s);
    SelfUnregister su;
    su.Registration = ExRegisterCallback(cb, UnregisterSelf, &su);
    {
        EmuExpectFailures f;
        ExNotifyCallback(cb, nullptr, nullptr);
        EXPECT_TRUE(f.Contains("never return"));
    }
    ExUnregisterCallback(su.Registration);
    ObDereferenceObject(cb);
}

TEST(Leaks, WhatATestLeavesBehindIsListed)
{
    NTSTATUS s;
    PCALLBACK_OBJECT cb = Create(u"\\Callback\\Leak", TRUE, TRUE, &s);
    PVOID p = ExAllocatePoolWithTag(NonPagedPool, 24, POOL_TAG("URB "));
    KTIMER t;
    KeInitializeTimer(&t);
    KeSetTimer(&t, RelativeMs(1), nullptr);
    std::string left = EmuCheckClean(false);
    EXPECT_NE(left.find("'URB ' 1 block(s) 24 bytes"), std::string::npos) << left;
    EXPECT_NE(left.find("1 timer(s) still armed"), std::string::npos) << left;
    EXPECT_NE(left.find("1 object(s) still referenced"), std::string::npos) << left;
    KeCancelTimer(&t);
    ExFreePool(p);
    ObDereferenceObject(cb);
    EXPECT_EQ(EmuCheckClean(false), "");
}

TEST(ProcessAttach, AttachChangesTheCurrentProcessAndMisuseIsReported)
{
    PEPROCESS a = EmuCreateProcess(false);
    KAPC_STATE state;
    EmuExpectFailures f;
    for (KIRQL level : {APC_LEVEL, DISPATCH_LEVEL}) // the highest allowed, one above
    {
        KIRQL old;
        KeRaiseIrql(level, &old);
        KeStackAttachProcess(a, &state);
        EXPECT_EQ(a, PsGetCurrentProcess());
        KeLowerIrql(old);
        KeUnstackDetachProcess(&state);
    }
    EXPECT_EQ(PsInitialSystemProcess(), PsGetCurrentProcess());
    KeUnstackDetachProcess(&state); // detached already
    EmuDeleteProcess(a);
    KeStackAttachProcess(a, &state); // gone
    KeUnstackDetachProcess(&state);
    EXPECT_TRUE(f.Contains("at IRQL 2") && f.Contains("no attach") && f.Contains("not a live"));
    EXPECT_EQ(3u, f.Messages().size());
}
