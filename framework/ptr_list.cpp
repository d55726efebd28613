#include "framework/ptr_list.h"

CPtrList::CPtrList() : m_Head(nullptr), m_Tail(nullptr), m_Count(0) {}

PtrListNode* CPtrList::NewNode(PVOID data)
{
    auto* node = static_cast<PtrListNode*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PtrListNode), PTR_LIST_POOL_TAG));
    if (node == nullptr)
        return nullptr;
    RtlZeroMemory(node, sizeof(*node));
    node->m_Data = data;
    return node;
}

POSITION CPtrList::AddHead(PVOID data)
{
    PtrListNode* node = NewNode(data);
    if (node == nullptr)
        return nullptr;
    node->m_Prev = nullptr;
    node->m_Next = m_Head;
    if (m_Head != nullptr)
        m_Head->m_Prev = node;
    else
        m_Tail = node;
    m_Head = node;
    InterlockedIncrement(&m_Count);
    return node;
}

POSITION CPtrList::AddTail(PVOID data)
{
    PtrListNode* node = NewNode(data);
    if (node == nullptr)
        return nullptr;
    node->m_Next = nullptr;
    node->m_Prev = m_Tail;
    if (m_Tail != nullptr)
        m_Tail->m_Next = node;
    else
        m_Head = node;
    m_Tail = node;
    InterlockedIncrement(&m_Count);
    return node;
}

POSITION CPtrList::InsertBefore(POSITION position, PVOID data)
{
    if (position == nullptr)
        return AddTail(data);
    if (position == m_Head)
        return AddHead(data);
    PtrListNode* node = NewNode(data);
    if (node == nullptr)
        return nullptr;
    node->m_Next = position;
    node->m_Prev = position->m_Prev;
    position->m_Prev->m_Next = node;
    position->m_Prev = node;
    InterlockedIncrement(&m_Count);
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

void CPtrList::RemoveAt(POSITION position)
{
    if (position == nullptr)
        return;
    if (position->m_Prev == nullptr)
    {
        m_Head = position->m_Next;
        if (m_Head != nullptr)
            m_Head->m_Prev = nullptr;
        else
            m_Tail = nullptr;
    }
    else if (position->m_Next == nullptr)
    {
        m_Tail = position->m_Prev;
        m_Tail->m_Next = nullptr;
    }
    else
    {
        position->m_Prev->m_Next = position->m_Next;
        position->m_Next->m_Prev = position->m_Prev;
    }
    ExFreePoolWithTag(position, PTR_LIST_POOL_TAG);
    InterlockedDecrement(&m_Count);
}

BOOLEAN CPtrList::RemoveHead(PVOID* data)
{
    if (data == nullptr || m_Count == 0 || m_Head == nullptr)
        return FALSE;
    PtrListNode* node = m_Head;
    *data = node->m_Data;
    m_Head = node->m_Next;
    if (m_Head != nullptr)
        m_Head->m_Prev = nullptr;
    else
        m_Tail = nullptr;
    ExFreePoolWithTag(node, PTR_LIST_POOL_TAG);
    InterlockedDecrement(&m_Count);
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
