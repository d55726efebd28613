#include "sim/host/harness/host_interrupt.h"

#include <csignal>
#include <cstdio>

namespace
{
volatile sig_atomic_t g_Signal = 0;

void OnSignal(int signal)
{
    g_Signal = signal;
}

constexpr int kCaught[] = {SIGINT, SIGTERM};
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
    return g_Signal != 0;
}

const char* HostInterruptName()
{
    return g_Signal == SIGINT ? "SIGINT" : g_Signal == SIGTERM ? "SIGTERM" : "";
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
}
