// Object manager (reference counts, typed handles), processes, OS version,
// failure reporting and captured debug output.
#include <cstdio>
#include <map>
#include <unordered_map>

#include "platform/kernel/emu_internal.h"

KPROCESS g_EmuSystemProcess = {{ProcessObject, 0, 0, 0, 1, {nullptr, nullptr}}, 4, false};

namespace
{
OBJECT_TYPE g_ThreadType = {"Thread"};
OBJECT_TYPE g_EventType = {"Event"};
OBJECT_TYPE g_CallbackType = {"Callback"};
POBJECT_TYPE g_ThreadTypePtr = &g_ThreadType;
POBJECT_TYPE g_EventTypePtr = &g_EventType;
POBJECT_TYPE g_CallbackTypePtr = &g_CallbackType;

struct ObEntry
{
    const EmuObjectKind* Kind;
    LONG_PTR References;
};

struct HandleEntry
{
    void* Object;
    ACCESS_MASK Access;
    KPROCESSOR_MODE Mode;
    PEPROCESS Process;
};

struct ObState
{
    std::unordered_map<const void*, ObEntry> Objects;
    std::map<ULONG_PTR, HandleEntry> Handles;
    ULONG_PTR NextKernelHandle = 0xFFFFFFFF80000004ull;
    ULONG_PTR NextUserHandle = 0x104;
    ULONG NextProcessId = 0x1000;
};
ObState g_Ob;

void DeleteThreadObject(void* object)
{
    delete static_cast<PKTHREAD>(object);
}
const EmuObjectKind g_ThreadKind = {&g_ThreadType, DeleteThreadObject};

struct Version
{
    ULONG Major = 10, Minor = 0, Build = 19045, Ntddi = NTDDI_WIN10;
};
Version g_Version;

std::vector<std::string> g_Dbg;
bool g_DbgEcho = false;

void DefaultFailureHandler(const char* message)
{
    fprintf(stderr, "emulated kernel failure: %s\n", message);
    abort();
}
EmuFailureHandler g_FailureHandler = DefaultFailureHandler;
EmuExpectFailures* g_Expect = nullptr;
} // namespace

POBJECT_TYPE* PsThreadType = &g_ThreadTypePtr;
POBJECT_TYPE* ExEventObjectType = &g_EventTypePtr;
POBJECT_TYPE* ExCallbackObjectType = &g_CallbackTypePtr;

// ---------------------------------------------------------------------------
// Failures

void EmuSetFailureHandler(EmuFailureHandler handler)
{
    g_FailureHandler = handler ? handler : DefaultFailureHandler;
}

void EmuReportFailure(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string message = EmuFormatV(format, args);
    va_end(args);
    if (g_Expect != nullptr)
    {
        g_Expect->m_Messages.push_back(message);
        return;
    }
    g_FailureHandler(message.c_str());
}

void EmuAssertFailed(const char* expression, const char* file, int line)
{
    EmuReportFailure("ASSERT(%s) failed at %s:%d", expression, file, line);
}

EmuExpectFailures::EmuExpectFailures() : m_Previous(g_Expect)
{
    g_Expect = this;
}
EmuExpectFailures::~EmuExpectFailures()
{
    g_Expect = m_Previous;
}
bool EmuExpectFailures::Contains(const char* fragment) const
{
    for (auto& m : m_Messages)
        if (m.find(fragment) != std::string::npos)
            return true;
    return false;
}

// ---------------------------------------------------------------------------
// Objects and handles

void EmuObRegister(void* object, const EmuObjectKind* kind)
{
    if (g_Ob.Objects.count(object))
    {
        EmuReportFailure("object %p registered twice", object);
        return;
    }
    g_Ob.Objects[object] = ObEntry{kind, 1};
}

void EmuObRegisterThreadObject(PKTHREAD thread)
{
    EmuObRegister(thread, &g_ThreadKind);
}

bool EmuObIsObject(const void* object)
{
    return g_Ob.Objects.count(object) != 0;
}

LONG_PTR EmuObReferenceCount(const void* object)
{
    auto it = g_Ob.Objects.find(object);
    return it == g_Ob.Objects.end() ? 0 : it->second.References;
}

LONG_PTR ObfReferenceObject(PVOID object)
{
    auto it = g_Ob.Objects.find(object);
    if (it == g_Ob.Objects.end())
    {
        EmuReportFailure("ObReferenceObject on %p, which is not an object", object);
        return 0;
    }
    return ++it->second.References;
}

LONG_PTR ObfDereferenceObject(PVOID object)
{
    auto it = g_Ob.Objects.find(object);
    if (it == g_Ob.Objects.end())
    {
        EmuReportFailure("ObDereferenceObject on %p, which is not an object (released twice?)",
                         object);
        return 0;
    }
    LONG_PTR left = --it->second.References;
    if (left == 0)
    {
        const EmuObjectKind* kind = it->second.Kind;
        g_Ob.Objects.erase(it);
        if (kind != nullptr && kind->Delete != nullptr)
            kind->Delete(object);
    }
    return left;
}

NTSTATUS EmuObCreateHandle(void* object, ACCESS_MASK grantedAccess, KPROCESSOR_MODE mode,
                           PHANDLE handle)
{
    if (!EmuObIsObject(object))
    {
        EmuReportFailure("handle requested for %p, which is not an object", object);
        return STATUS_INVALID_PARAMETER;
    }
    ULONG_PTR value;
    if (mode == KernelMode)
    {
        value = g_Ob.NextKernelHandle;
        g_Ob.NextKernelHandle += 4;
    }
    else
    {
        value = g_Ob.NextUserHandle;
        g_Ob.NextUserHandle += 4;
    }
    ObReferenceObject(object);
    g_Ob.Handles[value] = HandleEntry{object, grantedAccess, mode, PsGetCurrentProcess()};
    *handle = (HANDLE)value;
    return STATUS_SUCCESS;
}

void* EmuObLookupHandle(HANDLE handle, POBJECT_TYPE* type)
{
    auto it = g_Ob.Handles.find((ULONG_PTR)handle);
    if (it == g_Ob.Handles.end())
        return nullptr;
    if (type != nullptr)
    {
        auto ob = g_Ob.Objects.find(it->second.Object);
        *type = (ob != g_Ob.Objects.end() && ob->second.Kind) ? ob->second.Kind->Type : nullptr;
    }
    return it->second.Object;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desiredAccess,
                                   POBJECT_TYPE objectType, KPROCESSOR_MODE accessMode,
                                   PVOID* object, POBJECT_HANDLE_INFORMATION handleInformation)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    *object = nullptr;
    auto it = g_Ob.Handles.find((ULONG_PTR)handle);
    if (it == g_Ob.Handles.end())
        return STATUS_INVALID_HANDLE;
    const HandleEntry& h = it->second;
    if (accessMode == UserMode && (h.Mode != UserMode || h.Process != PsGetCurrentProcess()))
        return STATUS_INVALID_HANDLE;
    if (h.Mode == UserMode && h.Process != PsGetCurrentProcess())
        return STATUS_INVALID_HANDLE;
    auto ob = g_Ob.Objects.find(h.Object);
    if (ob == g_Ob.Objects.end())
        return STATUS_INVALID_HANDLE;
    POBJECT_TYPE actual = ob->second.Kind ? ob->second.Kind->Type : nullptr;
    if (objectType != nullptr && objectType != actual)
        return STATUS_OBJECT_TYPE_MISMATCH;
    if (accessMode == UserMode && (desiredAccess & ~h.Access) != 0)
        return STATUS_ACCESS_DENIED;
    ob->second.References++;
    *object = h.Object;
    if (handleInformation != nullptr)
    {
        handleInformation->HandleAttributes = 0;
        handleInformation->GrantedAccess = h.Access;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE handle)
{
    auto it = g_Ob.Handles.find((ULONG_PTR)handle);
    if (it == g_Ob.Handles.end())
        return STATUS_INVALID_HANDLE;
    if (it->second.Mode == UserMode && it->second.Process != PsGetCurrentProcess())
        return STATUS_INVALID_HANDLE;
    void* object = it->second.Object;
    g_Ob.Handles.erase(it);
    ObDereferenceObject(object);
    return STATUS_SUCCESS;
}

std::string EmuObLeaks(bool forget)
{
    std::string what;
    if (!g_Ob.Handles.empty())
        what += " " + std::to_string(g_Ob.Handles.size()) + " handle(s) still open;";
    size_t objects = 0;
    for (auto& kv : g_Ob.Objects)
    {
        auto* kt = kv.second.Kind == &g_ThreadKind ? (PKTHREAD)kv.first : nullptr;
        if (kt != nullptr && kt->Emu != nullptr && EmuSelf() == kt->Emu)
            continue; // the test's own thread
        ++objects;
    }
    if (objects != 0)
        what += " " + std::to_string(objects) + " object(s) still referenced;";
    if (forget)
        g_Ob.Handles.clear();
    return what;
}

void EmuObReset()
{
    g_Ob.Handles.clear();
    auto objects = std::move(g_Ob.Objects);
    g_Ob.Objects.clear();
    for (auto& kv : objects)
        if (kv.second.Kind != nullptr && kv.second.Kind->Delete != nullptr)
            kv.second.Kind->Delete(const_cast<void*>(kv.first));
    g_Ob.NextKernelHandle = 0xFFFFFFFF80000004ull;
    g_Ob.NextUserHandle = 0x104;
}

// ---------------------------------------------------------------------------
// Processes

namespace
{
void DeleteProcessObject(void* object)
{
    delete static_cast<PEPROCESS>(object);
}
const EmuObjectKind g_ProcessKind = {nullptr, DeleteProcessObject};
} // namespace

// A process is an object: whoever references it keeps it (and may attach to
// it) after it exits.
PEPROCESS EmuCreateProcess(bool is32Bit)
{
    auto* p = new KPROCESS{};
    p->Header.Type = ProcessObject;
    p->Id = g_Ob.NextProcessId;
    g_Ob.NextProcessId += 4;
    p->Is32Bit = is32Bit;
    EmuObRegister(p, &g_ProcessKind);
    EmuNotifyProcess(p, TRUE);
    return p;
}

void EmuDeleteProcess(PEPROCESS process)
{
    // The process exits: its notifications, then the creator's reference; a
    // reset may have reclaimed the process already.
    if (process == &g_EmuSystemProcess || !EmuObIsObject(process))
        return;
    EmuNotifyProcess(process, FALSE);
    ObDereferenceObject(process);
}

bool EmuProcessIs32Bit(PEPROCESS process)
{
    return process->Is32Bit;
}
ULONG EmuProcessId(PEPROCESS process)
{
    // 0 for a process that is gone (a failure report may still name it).
    return process == &g_EmuSystemProcess || EmuObIsObject(process) ? process->Id : 0;
}
PEPROCESS PsInitialSystemProcess()
{
    return &g_EmuSystemProcess;
}

// ---------------------------------------------------------------------------
// Version

void EmuSetOsVersion(ULONG major, ULONG minor, ULONG build, ULONG ntddiVersion)
{
    g_Version = Version{major, minor, build, ntddiVersion};
}

void EmuVersionReset()
{
    g_Version = Version{};
}

BOOLEAN PsGetVersion(PULONG majorVersion, PULONG minorVersion, PULONG buildNumber,
                     PUNICODE_STRING csdVersion)
{
    if (majorVersion)
        *majorVersion = g_Version.Major;
    if (minorVersion)
        *minorVersion = g_Version.Minor;
    if (buildNumber)
        *buildNumber = g_Version.Build;
    if (csdVersion)
        csdVersion->Length = 0;
    return FALSE; // a free build
}

BOOLEAN RtlIsNtDdiVersionAvailable(ULONG version)
{
    return version <= g_Version.Ntddi;
}

// ---------------------------------------------------------------------------
// Debug output

ULONG DbgPrint(PCSTR format, ...)
{
    va_list args;
    va_start(args, format);
    std::string s = EmuFormatV(format, args);
    va_end(args);
    if (g_DbgEcho)
        fputs(s.c_str(), stderr);
    g_Dbg.push_back(std::move(s));
    return STATUS_SUCCESS;
}

const std::vector<std::string>& EmuDbgOutput()
{
    return g_Dbg;
}
void EmuDbgClear()
{
    g_Dbg.clear();
}
void EmuDbgEcho(bool echo)
{
    g_DbgEcho = echo;
}
void EmuDbgReset()
{
    g_Dbg.clear();
}
