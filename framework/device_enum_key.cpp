#include "framework/device_enum_key.h"

namespace
{
const WCHAR c_EnumRoot[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum";
const WCHAR c_OldEnumRoot[] = u"\\Registry\\Machine\\Enum";

ULONG WideLength(PCWSTR text)
{
    ULONG length = 0;
    while (text[length] != 0)
        ++length;
    return length;
}

PVOID AllocatePaged(SIZE_T bytes)
{
    PVOID block = ExAllocatePoolWithTag(PagedPool, bytes, ENUM_KEY_POOL_TAG);
    if (block != nullptr)
        RtlZeroMemory(block, bytes);
    return block;
}

void FreePaged(PVOID block)
{
    if (block != nullptr)
        ExFreePoolWithTag(block, ENUM_KEY_POOL_TAG);
}

NTSTATUS OpenKey(PCWSTR path, PHANDLE key)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    return ZwOpenKey(key, KEY_ALL_ACCESS, &attributes);
}

// The hardware IDs as a list of strings ended by an empty one; two extra NUL
// characters keep the walk inside the buffer whatever the property held.
NTSTATUS ReadHardwareIds(PDEVICE_OBJECT pdo, PWCHAR* ids)
{
    *ids = nullptr;
    ULONG size = 0;
    NTSTATUS status = IoGetDeviceProperty(pdo, DevicePropertyHardwareID, 0, nullptr, &size);
    if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW)
        return NT_SUCCESS(status) ? STATUS_OBJECT_NAME_NOT_FOUND : status;
    auto buffer = static_cast<PWCHAR>(AllocatePaged((SIZE_T)size + 2 * sizeof(WCHAR)));
    if (buffer == nullptr)
        return STATUS_NO_MEMORY;
    ULONG returned = 0;
    status = IoGetDeviceProperty(pdo, DevicePropertyHardwareID, size, buffer, &returned);
    if (!NT_SUCCESS(status))
    {
        FreePaged(buffer);
        return status;
    }
    // The first ID ends at its first comma.
    for (PWCHAR p = buffer; *p != 0; ++p)
        if (*p == u',')
        {
            *p = 0;
            break;
        }
    *ids = buffer;
    return STATUS_SUCCESS;
}

// The name of the device's hardware key of the current hardware profile: the
// device's instance.
NTSTATUS ReadInstanceName(PDEVICE_OBJECT pdo, PWCHAR* instance)
{
    *instance = nullptr;
    HANDLE key = nullptr;
    NTSTATUS status = IoOpenDeviceRegistryKey(
        pdo, PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE, KEY_ALL_ACCESS, &key);
    if (!NT_SUCCESS(status))
        return status;
    ULONG size = 0;
    status = ZwQueryKey(key, KeyBasicInformation, nullptr, 0, &size);
    PKEY_BASIC_INFORMATION info = nullptr;
    if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW)
        status = NT_SUCCESS(status) ? STATUS_OBJECT_NAME_NOT_FOUND : status;
    else
    {
        info = static_cast<PKEY_BASIC_INFORMATION>(AllocatePaged(size));
        status = info != nullptr ? ZwQueryKey(key, KeyBasicInformation, info, size, &size)
                                 : STATUS_NO_MEMORY;
    }
    if (NT_SUCCESS(status))
    {
        const ULONG nameBytes = info->NameLength;
        if (nameBytes == 0 || nameBytes > size - FIELD_OFFSET(KEY_BASIC_INFORMATION, Name))
            status = STATUS_OBJECT_NAME_NOT_FOUND;
        else
        {
            *instance = static_cast<PWCHAR>(AllocatePaged((SIZE_T)nameBytes + sizeof(WCHAR)));
            if (*instance == nullptr)
                status = STATUS_NO_MEMORY;
            else
                RtlCopyMemory(*instance, info->Name, nameBytes);
        }
    }
    FreePaged(info);
    ZwClose(key);
    return status;
}
} // namespace

NTSTATUS ForEachDeviceEnumKey(PDEVICE_OBJECT physicalDeviceObject, PCWSTR subkey,
                              PENUM_KEY_VISITOR visit, PVOID context)
{
    PAGED_CODE();
    if (physicalDeviceObject == nullptr || visit == nullptr)
        return STATUS_INVALID_PARAMETER;
    PWCHAR ids = nullptr;
    NTSTATUS status = ReadHardwareIds(physicalDeviceObject, &ids);
    if (!NT_SUCCESS(status))
        return status;
    PWCHAR instance = nullptr;
    status = ReadInstanceName(physicalDeviceObject, &instance);
    if (!NT_SUCCESS(status))
    {
        FreePaged(ids);
        return status;
    }

    const ULONG instanceLength = WideLength(instance);
    const ULONG subkeyLength = subkey != nullptr ? WideLength(subkey) + 1 : 0;
    NTSTATUS result = STATUS_OBJECT_NAME_NOT_FOUND; // no hardware ID at all
    for (PWCHAR id = ids; *id != 0; id += WideLength(id) + 1)
    {
        const SIZE_T bytes =
            2 * ((SIZE_T)WideLength(id) + instanceLength + WideLength(c_EnumRoot) + subkeyLength) +
            34;
        auto path = static_cast<PWCHAR>(AllocatePaged(bytes));
        if (path == nullptr)
        {
            result = STATUS_NO_MEMORY;
            continue;
        }
        HANDLE key = nullptr;
        NTSTATUS open = STATUS_OBJECT_NAME_NOT_FOUND;
        const PCWSTR roots[] = {c_EnumRoot, c_OldEnumRoot};
        for (PCWSTR root : roots)
        {
            NTSTATUS format =
                subkey != nullptr
                    ? RtlStringCbPrintfW(path, bytes, u"%s\\%s\\%s\\%s", root, id, instance, subkey)
                    : RtlStringCbPrintfW(path, bytes, u"%s\\%s\\%s", root, id, instance);
            open = NT_SUCCESS(format) ? OpenKey(path, &key) : format;
            if (NT_SUCCESS(open))
                break;
        }
        if (NT_SUCCESS(open))
        {
            result = visit(key, context);
            ZwClose(key);
        }
        else
            result = open;
        FreePaged(path);
    }
    FreePaged(instance);
    FreePaged(ids);
    return result;
}
