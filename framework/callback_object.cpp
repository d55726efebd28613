#include "framework/callback_object.h"

static_assert(sizeof(OBJECT_ATTRIBUTES) == 48, "object attributes are 48 bytes");

NTSTATUS CreateAddressCallbackObject(PCWSTR prefix, const void* address,
                                     PCALLBACK_OBJECT* callbackObject)
{
    PAGED_CODE();
    if (prefix == nullptr || callbackObject == nullptr)
        return STATUS_INVALID_PARAMETER;
    *callbackObject = nullptr;
    auto name = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, CALLBACK_NAME_BUFFER_BYTES, CALLBACK_NAME_POOL_TAG));
    if (name == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(name, CALLBACK_NAME_BUFFER_BYTES);
    NTSTATUS status = RtlStringCbPrintfW(name, CALLBACK_NAME_MAX_BYTES, u"%s%p", prefix, address);
    if (NT_SUCCESS(status))
    {
        UNICODE_STRING objectName;
        RtlInitUnicodeString(&objectName, name);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT,
                                   nullptr, nullptr);
        status = ExCreateCallback(callbackObject, &attributes, TRUE, TRUE);
        if (!NT_SUCCESS(status))
            *callbackObject = nullptr;
    }
    ExFreePoolWithTag(name, CALLBACK_NAME_POOL_TAG);
    return status;
}

NTSTATUS RegisterOnCallbackObject(PCALLBACK_OBJECT callbackObject, PCALLBACK_FUNCTION callback,
                                  PVOID context, PVOID* registration)
{
    PAGED_CODE();
    if (registration == nullptr || callback == nullptr)
        return STATUS_INVALID_PARAMETER;
    *registration = nullptr;
    if (callbackObject == nullptr)
        return STATUS_UNSUCCESSFUL;
    *registration = ExRegisterCallback(callbackObject, callback, context);
    return *registration != nullptr ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS UnregisterFromCallbackObject(PVOID registration)
{
    PAGED_CODE();
    if (registration == nullptr)
        return STATUS_INVALID_PARAMETER;
    ExUnregisterCallback(registration);
    return STATUS_SUCCESS;
}
