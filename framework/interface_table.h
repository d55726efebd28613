// Query answers from a table: an object lists the interfaces it hands out
// and the pointer that answers each, instead of a chain of comparisons.
#pragma once

#include "platform/ks/unknown.h"

struct ControlInterfaceEntry
{
    const GUID* Id;
    PUNKNOWN Interface;
};

// Answers `interfaceId` with the matching entry's interface, referenced;
// STATUS_INVALID_PARAMETER (and `object` untouched) when none matches, or
// when the matching entry has no interface yet (one an object borrows later).
inline NTSTATUS AnswerControlInterface(const ControlInterfaceEntry* entries, ULONG count,
                                       REFIID interfaceId, PVOID* object)
{
    for (ULONG i = 0; i < count; ++i)
        if (IsEqualGUID(interfaceId, *entries[i].Id))
        {
            if (entries[i].Interface == nullptr)
                return STATUS_INVALID_PARAMETER;
            *object = entries[i].Interface;
            entries[i].Interface->AddRef();
            return STATUS_SUCCESS;
        }
    return STATUS_INVALID_PARAMETER;
}
