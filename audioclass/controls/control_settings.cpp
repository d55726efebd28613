#include "audioclass/controls/control_settings.h"

#include "framework/registry_settings.h"

NTSTATUS FormatChannelValueName(PWSTR name, ULONG controlId, ULONG mode, ULONG channel)
{
    WCHAR base[CONTROL_VALUE_NAME_CHARS] = {};
    NTSTATUS status = RtlStringCchPrintfW(base, CONTROL_VALUE_NAME_CHARS, u"%s%02d_%2d_", u"Unit",
                                          (int)controlId, (int)mode);
    if (NT_SUCCESS(status))
        status = RtlStringCchPrintfW(name, CONTROL_VALUE_NAME_CHARS, u"%s%d", base, (int)channel);
    return status;
}

NTSTATUS FormatSingleValueName(PWSTR name, ULONG controlId)
{
    return RtlStringCchPrintfW(name, CONTROL_VALUE_NAME_CHARS, u"%s%02d_", u"Unit", (int)controlId);
}

NTSTATUS ReadControlSetting(PDEVICE_OBJECT deviceObject, PCWSTR name, PVOID data, ULONG bytes)
{
    PAGED_CODE();
    return RegistryBinarySetting(deviceObject, SETTINGS_READ, data, bytes, name);
}

NTSTATUS WriteControlSetting(PDEVICE_OBJECT deviceObject, PCWSTR name, const void* data,
                             ULONG bytes)
{
    PAGED_CODE();
    return RegistryBinarySetting(deviceObject, SETTINGS_WRITE, const_cast<PVOID>(data), bytes,
                                 name);
}
