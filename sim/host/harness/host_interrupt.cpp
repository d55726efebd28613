#include "sim/host/harness/host_interrupt.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <new>

namespace
{
volatile sig_atomic_t g_Signal = 0;
// Memory ran out: the new-handler says so on whichever emulated thread the
// allocation was.
std::atomic<bool> g_NoMemory = false;
bool g_Heeded = false; // asked about after it came
// Enough for the run to end in order: the step under way, its verdicts and
// lines, the removal and the unload.
constexpr size_t kReserveBytes = 8 << 20;
void* g_Reserve = nullptr;
void (*g_Probe)(const std::string& place) = nullptr;

void OnSignal(int signal)
{
    g_Signal = signal;
}

constexpr int kCaught[] = {SIGINT, SIGTERM};

sigset_t Caught()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kCaught)
        sigaddset(&set, signal);
    return set;
}
} // namespace

void HostCatchInterrupts()
{
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    // A write or read the signal comes in goes on: the run ends at its next step.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal : kCaught)
        sigaction(signal, &action, nullptr);
}

bool HostInterrupted()
{
    if (g_Signal == 0 && !g_NoMemory)
        return false;
    g_Heeded = true;
    return true;
}

bool HostInterruptUnheeded()
{
    return (g_Signal != 0 || g_NoMemory) && !g_Heeded;
}

const char* HostInterruptName()
{
    return g_Signal == SIGINT    ? "SIGINT"
           : g_Signal == SIGTERM ? "SIGTERM"
           : g_NoMemory          ? "the host's memory running out"
                                 : "";
}

namespace
{
void OnNoMemory();

// Takes the reserve, where there is room for it.
void TakeReserve()
{
    std::set_new_handler(nullptr);
    g_Reserve = ::operator new(kReserveBytes, std::nothrow);
    std::set_new_handler(OnNoMemory);
}

// Called by operator new when it found no memory: it tries again once this
// returns. An allocation the reserve did not make room for is larger than
// all there is: the reserve is taken back for the run's end, which the
// unwinding of the step that asked begins.
void OnNoMemory()
{
    g_NoMemory = true;
    if (g_Reserve == nullptr)
    {
        TakeReserve();
        throw std::bad_alloc();
    }
    ::operator delete(g_Reserve);
    g_Reserve = nullptr;
}
} // namespace

void HostReserveMemory()
{
    TakeReserve();
}

void HostNoteOutOfMemory()
{
    g_NoMemory = true;
    if (g_Reserve == nullptr)
        TakeReserve();
}

bool HostOutOfMemory()
{
    return g_NoMemory;
}

void HostHoldInterrupts()
{
    const sigset_t caught = Caught();
    sigprocmask(SIG_BLOCK, &caught, nullptr);
}

void HostRaiseInterrupt()
{
    const int signal = g_Signal;
    if (signal == 0)
        return;
    fflush(stdout);
    fflush(stderr);
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    raise(signal);
    // Held since the result was said: it ends the program here.
    const sigset_t caught = Caught();
    sigprocmask(SIG_UNBLOCK, &caught, nullptr);
}

void HostSetInterruptProbe(void (*probe)(const std::string& place))
{
    g_Probe = probe;
}

void HostProbeInterrupt(const std::string& place)
{
    if (g_Probe != nullptr)
        g_Probe(place);
}
