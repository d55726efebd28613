#include "framework/registry_settings.h"

#include "platform/portcls/portcls.h"

namespace
{
// Offset of the data in a KEY_VALUE_PARTIAL_INFORMATION record.
constexpr ULONG c_PartialHeader = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
// Room for the record's header beyond the caller's size.
constexpr ULONG c_ReadSlack = 16;

NTSTATUS OpenSubKey(PREGISTRYKEY parent, PCWSTR name, PREGISTRYKEY* subKey)
{
    UNICODE_STRING subName;
    RtlInitUnicodeString(&subName, name);
    return parent->NewSubKey(subKey, nullptr, KEY_QUERY_VALUE, &subName, 0, nullptr);
}

NTSTATUS ReadValue(PREGISTRYKEY key, PCWSTR valueName, PVOID data, ULONG size)
{
    ULONG bufferSize = size + c_ReadSlack;
    auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, bufferSize, SETTINGS_POOL_TAG));
    if (info == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, valueName);
    ULONG resultLength = 0;
    NTSTATUS status =
        key->QueryValueKey(&name, KeyValuePartialInformation, info, bufferSize, &resultLength);
    if (NT_SUCCESS(status))
    {
        // Longer than the caller's variable: refuse rather than cut. The
        // length is also checked against the record actually returned.
        if (info->DataLength > size || info->DataLength > bufferSize - c_PartialHeader)
            status = STATUS_UNSUCCESSFUL;
        else
            RtlCopyMemory(data, info->Data, info->DataLength);
    }
    ExFreePoolWithTag(info, SETTINGS_POOL_TAG);
    return status;
}
} // namespace

NTSTATUS AccessSettingsKey(PDEVICE_OBJECT deviceObject, ULONG mode, PCWSTR subkeyName,
                           PCWSTR valueName, ULONG valueType, PVOID data, ULONG size)
{
    PAGED_CODE();
    if (valueType != REG_SZ && valueType != REG_BINARY && valueType != REG_DWORD)
        return STATUS_UNSUCCESSFUL;
    if (valueName == nullptr || (data == nullptr && size != 0) || size > MAXULONG - c_ReadSlack)
        return STATUS_INVALID_PARAMETER;

    PREGISTRYKEY driverKey = nullptr;
    PREGISTRYKEY settingsKey = nullptr;
    PREGISTRYKEY subKey = nullptr;
    NTSTATUS status = PcNewRegistryKey(&driverKey, nullptr, DriverRegistryKey, KEY_ALL_ACCESS,
                                       deviceObject, nullptr, nullptr, 0, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    status = OpenSubKey(driverKey, u"Settings", &settingsKey);
    if (NT_SUCCESS(status) && subkeyName != nullptr)
        status = OpenSubKey(settingsKey, subkeyName, &subKey);
    if (NT_SUCCESS(status))
    {
        PREGISTRYKEY valueKey = subKey != nullptr ? subKey : settingsKey;
        if (mode == SETTINGS_READ)
        {
            status = ReadValue(valueKey, valueName, data, size);
        }
        else if (mode == SETTINGS_WRITE)
        {
            UNICODE_STRING name;
            RtlInitUnicodeString(&name, valueName);
            status = valueKey->SetValueKey(&name, valueType, data, size);
        }
    }
    if (subKey != nullptr)
        subKey->Release();
    if (settingsKey != nullptr)
        settingsKey->Release();
    driverKey->Release();
    return status;
}

NTSTATUS RegistryBinarySetting(PDEVICE_OBJECT deviceObject, ULONG mode, PVOID data, ULONG size,
                               PCWSTR valueName)
{
    PAGED_CODE();
    return AccessSettingsKey(deviceObject, mode, nullptr, valueName, REG_BINARY, data, size);
}

NTSTATUS RegistryIndexedSetting(PDEVICE_OBJECT deviceObject, ULONG mode, PVOID data, ULONG size,
                                PCWSTR baseName, LONG index)
{
    PAGED_CODE();
    if (baseName == nullptr)
        return STATUS_INVALID_PARAMETER;
    WCHAR name[SETTINGS_INDEXED_NAME_CCH];
    // A name that does not fit is cut and still used.
    RtlStringCchPrintfW(name, SETTINGS_INDEXED_NAME_CCH, u"%s%d", baseName, index);
    return AccessSettingsKey(deviceObject, mode, nullptr, name, REG_BINARY, data, size);
}
