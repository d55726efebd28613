// Doubly linked list of opaque pointers shared by every object of the driver.
// It has no lock of its own: owners serialise changes and walks with their own
// locks. All of it is non-paged so lists can be walked at DISPATCH_LEVEL.
#pragma once

#include "platform/kernel/kernel.h"

struct PtrListNode
{
    PtrListNode* m_Next;
    PtrListNode* m_Prev;
    PVOID m_Data;
};
static_assert(sizeof(PtrListNode) == 24, "list nodes are 24-byte pool blocks");

// Positions handed out by the list are node addresses.
typedef PtrListNode* POSITION;

inline constexpr ULONG PTR_LIST_POOL_TAG = POOL_TAG("Lis");

class CPtrList
{
  public:
    CPtrList();

    POSITION AddHead(PVOID data);
    POSITION AddTail(PVOID data);
    // New node before `position`; a null position (the end a walk reaches
    // after the tail) appends at the tail. Sorted lists insert this way.
    POSITION InsertBefore(POSITION position, PVOID data);

    // A node on no list, for an owner that moves an entry between lists:
    // linking and unlinking allocate and free nothing, so a move cannot fail
    // for want of memory. The owner frees the node once it is on no list.
    static POSITION NewNode(PVOID data);
    static void FreeNode(POSITION node);
    // Links a node that is on no list before `position` (null: at the tail).
    void LinkBefore(POSITION position, POSITION node);
    // Takes a node of this list off it without freeing it.
    void Unlink(POSITION position);

    BOOLEAN GetAt(LONG index, PVOID* data) const;
    ULONG GetCount() const { return (ULONG)m_Count; }
    BOOLEAN IsEmpty() const { return m_Count == 0; }
    POSITION GetHeadPosition() const { return m_Head; }
    BOOLEAN GetNext(POSITION* position, PVOID* data) const;

    void RemoveAt(POSITION position);
    BOOLEAN RemoveHead(PVOID* data);
    BOOLEAN GetHeadData(PVOID* data) const;
    BOOLEAN GetTailData(PVOID* data) const;

  private:
    PtrListNode* m_Head;
    PtrListNode* m_Tail;
    volatile LONG m_Count;
};
static_assert(sizeof(CPtrList) == 24, "owners allocate list headers as 24-byte blocks");
