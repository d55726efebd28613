#include "framework/ptr_list.h"

CPtrList::CPtrList() : m_Head(nullptr), m_Tail(nullptr), m_Count(0) {}

POSITION CPtrList::NewNode(PVOID data)
{
    auto* node = static_cast<PtrListNode*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PtrListNode), PTR_LIST_POOL_TAG));
    if (node == nullptr)
        return nullptr;
    RtlZeroMemory(node, sizeof(*node));
    node->m_Data = data;
    return node;
}

void CPtrList::FreeNode(POSITION node)
{
    if (node != nullptr)
        ExFreePoolWithTag(node, PTR_LIST_POOL_TAG);
}

void CPtrList::LinkBefore(POSITION position, POSITION node)
{
    node->m_Next = position;
    node->m_Prev = position != nullptr ? position->m_Prev : m_Tail;
    if (node->m_Prev != nullptr)
        node->m_Prev->m_Next = node;
    else
        m_Head = node;
    if (position != nullptr)
        position->m_Prev = node;
    else
        m_Tail = node;
    InterlockedIncrement(&m_Count);
}

POSITION CPtrList::AddHead(PVOID data)
{
    return InsertBefore(m_Head, data);
}

POSITION CPtrList::AddTail(PVOID data)
{
    return InsertBefore(nullptr, data);
}

POSITION CPtrList::InsertBefore(POSITION position, PVOID data)
{
    PtrListNode* node = NewNode(data);
    if (node != nullptr)
        LinkBefore(position, node);
    return node;
}

BOOLEAN CPtrList::GetAt(LONG index, PVOID* data) const
{
    if (data == nullptr)
        return FALSE;
    if (index >= (LONG)m_Count || m_Head == nullptr)
        return FALSE;
    PtrListNode* node = m_Head;
    for (LONG i = 0; i < index && node != nullptr; ++i)
        node = node->m_Next;
    if (node == nullptr)
        return FALSE;
    *data = node->m_Data;
    return TRUE;
}

BOOLEAN CPtrList::GetNext(POSITION* position, PVOID* data) const
{
    if (position == nullptr || *position == nullptr || data == nullptr)
        return FALSE;
    *data = (*position)->m_Data;
    *position = (*position)->m_Next;
    return TRUE;
}

void CPtrList::Unlink(POSITION position)
{
    if (position->m_Prev != nullptr)
        position->m_Prev->m_Next = position->m_Next;
    else
        m_Head = position->m_Next;
    if (position->m_Next != nullptr)
        position->m_Next->m_Prev = position->m_Prev;
    else
        m_Tail = position->m_Prev;
    position->m_Next = nullptr;
    position->m_Prev = nullptr;
    InterlockedDecrement(&m_Count);
}

void CPtrList::RemoveAt(POSITION position)
{
    if (position == nullptr)
        return;
    Unlink(position);
    FreeNode(position);
}

BOOLEAN CPtrList::RemoveHead(PVOID* data)
{
    if (data == nullptr || m_Count == 0 || m_Head == nullptr)
        return FALSE;
    PtrListNode* node = m_Head;
    *data = node->m_Data;
    RemoveAt(node);
    return TRUE;
}

BOOLEAN CPtrList::GetHeadData(PVOID* data) const
{
    if (data == nullptr)
        return FALSE;
    if (m_Head == nullptr)
    {
        *data = nullptr;
        return FALSE;
    }
    *data = m_Head->m_Data;
    return TRUE;
}

BOOLEAN CPtrList::GetTailData(PVOID* data) const
{
    if (data == nullptr)
        return FALSE;
    if (m_Tail == nullptr)
    {
        *data = nullptr;
        return FALSE;
    }
    *data = m_Tail->m_Data;
    return TRUE;
}
