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
// when the matching entry has no interface (one an object borrows later, or
// one it hands out only in some states). The table is an array, so its count
// comes from its type.
template <ULONG Count>
inline NTSTATUS AnswerControlInterface(const ControlInterfaceEntry (&entries)[Count],
                                       REFIID interfaceId, PVOID* object)
{
    for (const ControlInterfaceEntry& entry : entries)
        if (IsEqualGUID(interfaceId, *entry.Id))
        {
            if (entry.Interface == nullptr)
                return STATUS_INVALID_PARAMETER;
            *object = entry.Interface;
            entry.Interface->AddRef();
            return STATUS_SUCCESS;
        }
    return STATUS_INVALID_PARAMETER;
}
