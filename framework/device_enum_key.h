// The device's enumeration keys: "\Registry\Machine\SYSTEM\CurrentControlSet
// \Enum\<hardware ID>\<instance>" for each of its hardware IDs (the old
// "\Registry\Machine\Enum\..." when the first does not open). The device ID
// is one of the hardware IDs, so one of these is the device's own key.
#pragma once

#include "platform/io/io.h"

inline constexpr ULONG ENUM_KEY_POOL_TAG = POOL_TAG("USBd");

// Works on one opened key; its status becomes the walk's result so far.
typedef NTSTATUS (*PENUM_KEY_VISITOR)(HANDLE key, PVOID context);

// Opens each hardware ID's enumeration key of the physical device object (or
// its subkey when one is named) in list order and hands it to visit. Returns
// the status of the last hardware ID tried: the visitor's, or the open's when
// neither path opened. Allocation failures give STATUS_NO_MEMORY.
NTSTATUS ForEachDeviceEnumKey(PDEVICE_OBJECT physicalDeviceObject, PCWSTR subkey,
                              PENUM_KEY_VISITOR visit, PVOID context);
