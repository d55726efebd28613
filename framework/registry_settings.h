// Access to the driver's persistent settings: values under the "Settings"
// subkey of the driver's software key, or under a subkey of "Settings".
// Every call opens the keys, does one read or write and closes them again.
#pragma once

#include "platform/io/io.h"

inline constexpr ULONG SETTINGS_READ = 1;
inline constexpr ULONG SETTINGS_WRITE = 2;
inline constexpr ULONG SETTINGS_POOL_TAG = POOL_TAG("hlep");
inline constexpr ULONG SETTINGS_INDEXED_NAME_CCH = 50;

// Reads (mode 1) or writes (mode 2) one value; any other mode only opens and
// closes the keys. A read copies the stored bytes, which may be fewer than
// `size`, and leaves the rest of the caller's buffer as it was; a missing
// value gives STATUS_OBJECT_NAME_NOT_FOUND with the buffer untouched.
NTSTATUS AccessSettingsKey(PDEVICE_OBJECT deviceObject, ULONG mode, PCWSTR subkeyName,
                           PCWSTR valueName, ULONG valueType, PVOID data, ULONG size);

// A REG_BINARY value directly under "Settings".
NTSTATUS RegistryBinarySetting(PDEVICE_OBJECT deviceObject, ULONG mode, PVOID data, ULONG size,
                               PCWSTR valueName);

// As RegistryBinarySetting for the value named "%s%d" from baseName and index
// (cut to 49 characters).
NTSTATUS RegistryIndexedSetting(PDEVICE_OBJECT deviceObject, ULONG mode, PVOID data, ULONG size,
                                PCWSTR baseName, LONG index);
