// Registered reset and leak-check hooks of the other platform areas.
#include <algorithm>
#include <vector>

#include "platform/kernel/emu_hooks.h"

namespace
{
std::vector<const EmuPlatformHooks*>& Hooks()
{
    static std::vector<const EmuPlatformHooks*> hooks;
    return hooks;
}
} // namespace

void EmuRegisterPlatformHooks(const EmuPlatformHooks* hooks)
{
    auto& all = Hooks();
    if (std::find(all.begin(), all.end(), hooks) == all.end())
        all.push_back(hooks);
}

void EmuRunResetHooks()
{
    for (const EmuPlatformHooks* h : Hooks())
        if (h->Reset != nullptr)
            h->Reset();
}

std::string EmuRunLeakHooks(bool forget)
{
    std::string what;
    for (const EmuPlatformHooks* h : Hooks())
        if (h->Leaks != nullptr)
            what += h->Leaks(forget);
    return what;
}

void EmuRunProcessExitHooks(PEPROCESS process)
{
    for (const EmuPlatformHooks* h : Hooks())
        if (h->ProcessExit != nullptr)
            h->ProcessExit(process);
}
