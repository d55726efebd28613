// Named callback objects. Notification runs every registration synchronously
// in the notifier's thread and IRQL, in registration order; unregistration
// waits until no notifier is inside that registration's routine.
#include <algorithm>
#include <list>

#include "platform/kernel/emu_internal.h"

struct CallbackRegistration;

struct _CALLBACK_OBJECT
{
    std::u16string Name; // upper-cased; empty for an unnamed object
    bool AllowMultiple;
    std::list<CallbackRegistration*> Registrations;
};

struct CallbackRegistration
{
    PCALLBACK_OBJECT Object;
    PCALLBACK_FUNCTION Function;
    PVOID Context;
    std::vector<EmuThread*> Running; // threads inside Function now
    bool Unregistering = false;
    KEVENT Idle;
};

namespace
{
std::vector<PCALLBACK_OBJECT> g_Named;
std::vector<CallbackRegistration*> g_Registrations;

void DeleteCallbackObject(void* object)
{
    auto* cb = static_cast<PCALLBACK_OBJECT>(object);
    g_Named.erase(std::remove(g_Named.begin(), g_Named.end(), cb), g_Named.end());
    delete cb;
}
const EmuObjectKind g_CallbackKind = {nullptr, DeleteCallbackObject};

std::u16string UpcaseName(PCUNICODE_STRING name)
{
    std::u16string s;
    for (USHORT i = 0; i < name->Length / sizeof(WCHAR); ++i)
        s += RtlUpcaseUnicodeChar(name->Buffer[i]);
    return s;
}
} // namespace

NTSTATUS ExCreateCallback(PCALLBACK_OBJECT* callbackObject, POBJECT_ATTRIBUTES objectAttributes,
                          BOOLEAN create, BOOLEAN allowMultipleCallbacks)
{
    EmuPagedCode("ExCreateCallback");
    if (callbackObject == nullptr || objectAttributes == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::u16string name;
    if (objectAttributes->ObjectName != nullptr && objectAttributes->ObjectName->Length != 0)
    {
        name = UpcaseName(objectAttributes->ObjectName);
        for (PCALLBACK_OBJECT cb : g_Named)
            if (cb->Name == name)
            {
                ObReferenceObject(cb);
                *callbackObject = cb;
                return STATUS_SUCCESS;
            }
    }
    if (!create)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    auto* cb = new _CALLBACK_OBJECT{name, allowMultipleCallbacks != FALSE, {}};
    EmuObRegister(cb, &g_CallbackKind);
    if (!name.empty())
        g_Named.push_back(cb);
    *callbackObject = cb;
    return STATUS_SUCCESS;
}

PVOID ExRegisterCallback(PCALLBACK_OBJECT callbackObject, PCALLBACK_FUNCTION callbackFunction,
                         PVOID callbackContext)
{
    if (callbackObject == nullptr || callbackFunction == nullptr || !EmuObIsObject(callbackObject))
    {
        EmuReportFailure("ExRegisterCallback on %p, which is not a callback object",
                         (void*)callbackObject);
        return nullptr;
    }
    if (!callbackObject->AllowMultiple && !callbackObject->Registrations.empty())
        return nullptr;
    auto* reg = new CallbackRegistration{};
    reg->Object = callbackObject;
    reg->Function = callbackFunction;
    reg->Context = callbackContext;
    KeInitializeEvent(&reg->Idle, NotificationEvent, FALSE);
    ObReferenceObject(callbackObject);
    callbackObject->Registrations.push_back(reg);
    g_Registrations.push_back(reg);
    return reg;
}

void ExUnregisterCallback(PVOID callbackRegistration)
{
    auto* reg = static_cast<CallbackRegistration*>(callbackRegistration);
    auto known = std::find(g_Registrations.begin(), g_Registrations.end(), reg);
    if (reg == nullptr || known == g_Registrations.end())
    {
        EmuReportFailure("ExUnregisterCallback of %p, which is not a registration", (void*)reg);
        return;
    }
    if (reg->Unregistering)
    {
        EmuReportFailure("ExUnregisterCallback of a registration already being removed");
        return;
    }
    EmuThread* self = EmuSelf();
    if (std::find(reg->Running.begin(), reg->Running.end(), self) != reg->Running.end())
    {
        EmuReportFailure("ExUnregisterCallback from inside its own routine would never return");
        return;
    }
    reg->Unregistering = true;
    while (!reg->Running.empty())
    {
        KeClearEvent(&reg->Idle);
        KeWaitForSingleObject(&reg->Idle, Executive, KernelMode, FALSE, nullptr);
    }
    PCALLBACK_OBJECT cb = reg->Object;
    cb->Registrations.remove(reg);
    g_Registrations.erase(std::find(g_Registrations.begin(), g_Registrations.end(), reg));
    delete reg;
    ObDereferenceObject(cb);
}

void ExNotifyCallback(PVOID callbackObject, PVOID argument1, PVOID argument2)
{
    auto* cb = static_cast<PCALLBACK_OBJECT>(callbackObject);
    if (cb == nullptr || !EmuObIsObject(cb))
    {
        EmuReportFailure("ExNotifyCallback on %p, which is not a callback object", callbackObject);
        return;
    }
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        EmuReportFailure("ExNotifyCallback at IRQL %d", KeGetCurrentIrql());
    EmuThread* self = EmuSelf();
    ObReferenceObject(cb); // a routine may unregister the last registration
    for (auto it = cb->Registrations.begin(); it != cb->Registrations.end(); ++it)
    {
        CallbackRegistration* reg = *it;
        if (reg->Unregistering)
            continue;
        reg->Running.push_back(self);
        reg->Function(reg->Context, argument1, argument2);
        reg->Running.erase(std::find(reg->Running.begin(), reg->Running.end(), self));
        if (reg->Unregistering && reg->Running.empty())
            KeSetEvent(&reg->Idle, 0, FALSE);
    }
    ObDereferenceObject(cb);
}

std::string EmuCallbackLeaks(bool forget)
{
    std::string what;
    if (!g_Registrations.empty())
        what += " " + std::to_string(g_Registrations.size()) + " callback registration(s) left;";
    if (forget)
    {
        for (auto* reg : g_Registrations)
        {
            reg->Object->Registrations.remove(reg);
            delete reg;
        }
        g_Registrations.clear();
    }
    return what;
}

void EmuCallbackReset()
{
    for (auto* reg : g_Registrations)
        delete reg;
    g_Registrations.clear();
    g_Named.clear();
}
