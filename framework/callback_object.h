// Named callback objects of the driver's objects: each name carries the
// address of its object, so every device object and stream engine has its own.
#pragma once

#include "platform/kernel/kernel.h"

inline constexpr ULONG CALLBACK_NAME_POOL_TAG = POOL_TAG("Temp");
// Bytes of the name buffer, and at most this many bytes of it are formatted.
inline constexpr ULONG CALLBACK_NAME_BUFFER_BYTES = 102;
inline constexpr ULONG CALLBACK_NAME_MAX_BYTES = 98;

// Creates (or opens) the callback object named prefix followed by the address
// ("%p"), case-insensitive and permanent, accepting several registrations.
NTSTATUS CreateAddressCallbackObject(PCWSTR prefix, const void* address,
                                     PCALLBACK_OBJECT* callbackObject);

// Registers callback(context) on an object's callback object; a missing object
// or a refused registration is STATUS_UNSUCCESSFUL and leaves *registration null.
NTSTATUS RegisterOnCallbackObject(PCALLBACK_OBJECT callbackObject, PCALLBACK_FUNCTION callback,
                                  PVOID context, PVOID* registration);
NTSTATUS UnregisterFromCallbackObject(PVOID registration);
