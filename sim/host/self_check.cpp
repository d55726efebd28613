// The platform self-check: a system thread, a periodic timer with its DPC,
// events, a callback object and the pool's leak report, on the real clock.
#include "sim/host/self_check.h"

#include <cstdio>
#include <cstring>

#include "platform/cpu/cpu.h"
#include "platform/kernel/emu.h"

namespace
{
struct SelfCheck
{
    KTIMER Timer;
    KDPC Dpc;
    KEVENT TenTicks;
    LONG Ticks = 0;
    PCALLBACK_OBJECT Callback = nullptr;
    LONG Notified = 0;
};

void TickDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* c = static_cast<SelfCheck*>(context);
    if (InterlockedIncrement(&c->Ticks) == 10)
        KeSetEvent(&c->TenTicks, 0, FALSE);
}

void OnNotify(PVOID context, PVOID argument1, PVOID)
{
    auto* c = static_cast<SelfCheck*>(context);
    c->Notified += (LONG)(ULONG_PTR)argument1;
}

void Worker(PVOID context)
{
    auto* c = static_cast<SelfCheck*>(context);
    LARGE_INTEGER due;
    due.QuadPart = -10000; // 1 ms
    KeSetTimerEx(&c->Timer, due, 1, &c->Dpc);
    KeWaitForSingleObject(&c->TenTicks, Executive, KernelMode, FALSE, nullptr);
    KeCancelTimer(&c->Timer);
    ExNotifyCallback(c->Callback, (PVOID)(ULONG_PTR)7, nullptr);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

} // namespace

int RunPlatformSelfCheck()
{
    EmuReset(EmuClockMode::Real);
    int failures = 0;
    EmuSetFailureHandler([](const char* m) { fprintf(stderr, "kernel failure: %s\n", m); });

    auto* c = static_cast<SelfCheck*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(SelfCheck), POOL_TAG("Host")));
    c->Ticks = 0;
    c->Notified = 0;
    KeInitializeTimerEx(&c->Timer, NotificationTimer);
    KeInitializeDpc(&c->Dpc, TickDpc, c);
    KeInitializeEvent(&c->TenTicks, NotificationEvent, FALSE);

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Callback\\HostSelfCheck");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    ExCreateCallback(&c->Callback, &oa, TRUE, TRUE);
    PVOID reg = ExRegisterCallback(c->Callback, OnNotify, c);

    ULONGLONG start = KeQueryInterruptTime();
    HANDLE h;
    PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Worker, c);
    PVOID thread;
    ObReferenceObjectByHandle(h, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr);
    ZwClose(h);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    double ms = (double)(KeQueryInterruptTime() - start) / 10000.0;

    printf("timer ticks: %d in %.1f ms (real clock)\n", c->Ticks, ms);
    printf("callback notified with: %d\n", c->Notified);
    if (c->Ticks < 10 || c->Notified != 7)
        ++failures;

    ExUnregisterCallback(reg);
    ObDereferenceObject(c->Callback);
    ExFreePoolWithTag(c, POOL_TAG("Host"));

    int info[4];
    __cpuid(info, 0);
    char vendor[13];
    memcpy(vendor, &info[1], 4);
    memcpy(vendor + 4, &info[3], 4);
    memcpy(vendor + 8, &info[2], 4);
    vendor[12] = 0;
    printf("processor: %s, MXCSR 0x%04X\n", vendor, EmuGetMxcsr());

    std::string left = EmuCheckClean(true);
    printf("leaks at unload: %s\n", left.empty() ? "none" : left.c_str());
    if (!left.empty())
        ++failures;
    EmuShutdown();
    printf("platform self-check: %s\n", failures == 0 ? "passed" : "FAILED");
    return failures == 0 ? 0 : 1;
}
