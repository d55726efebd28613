// Process creation and exit notifications. Routines run synchronously in the
// thread that creates or ends the process, attached to that process, at
// PASSIVE_LEVEL, in registration order.
#include <algorithm>
#include <vector>

#include "platform/kernel/emu_hooks.h"
#include "platform/kernel/emu_internal.h"

namespace
{
constexpr size_t c_MaxRoutines = 64;
std::vector<PCREATE_PROCESS_NOTIFY_ROUTINE> g_Routines;
} // namespace

NTSTATUS PsSetCreateProcessNotifyRoutine(PCREATE_PROCESS_NOTIFY_ROUTINE notifyRoutine,
                                         BOOLEAN remove)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        EmuReportFailure("PsSetCreateProcessNotifyRoutine at IRQL %d", KeGetCurrentIrql());
    auto found = std::find(g_Routines.begin(), g_Routines.end(), notifyRoutine);
    if (remove)
    {
        if (found == g_Routines.end())
            return STATUS_PROCEDURE_NOT_FOUND;
        g_Routines.erase(found);
        return STATUS_SUCCESS;
    }
    if (notifyRoutine == nullptr || found != g_Routines.end() || g_Routines.size() >= c_MaxRoutines)
        return STATUS_INVALID_PARAMETER;
    g_Routines.push_back(notifyRoutine);
    return STATUS_SUCCESS;
}

HANDLE PsGetProcessId(PEPROCESS process)
{
    return (HANDLE)(ULONG_PTR)EmuProcessId(process);
}

void EmuNotifyProcess(PEPROCESS process, BOOLEAN create)
{
    PEPROCESS previous = PsGetCurrentProcess();
    const HANDLE parent = PsGetCurrentProcessId();
    EmuAttachProcess(process);
    // A routine may remove itself (or another) while it runs.
    const std::vector<PCREATE_PROCESS_NOTIFY_ROUTINE> routines = g_Routines;
    for (PCREATE_PROCESS_NOTIFY_ROUTINE routine : routines)
    {
        routine(create ? parent : nullptr, PsGetProcessId(process), create);
        if (KeGetCurrentIrql() != PASSIVE_LEVEL)
            EmuReportFailure("a process notify routine returned at IRQL %d", KeGetCurrentIrql());
    }
    if (!create)
        EmuRunProcessExitHooks(process);
    EmuAttachProcess(previous);
}

void EmuProcessNotifyReset()
{
    g_Routines.clear();
}

std::string EmuProcessNotifyLeaks(bool forget)
{
    if (g_Routines.empty())
        return {};
    std::string what =
        " " + std::to_string(g_Routines.size()) + " process notify routine(s) still registered;";
    if (forget)
        g_Routines.clear();
    return what;
}
