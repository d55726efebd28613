#include <gtest/gtest.h>

#include <vector>

#include "driver/ptr_list.h"
#include "platform/kernel/emu.h"

namespace
{
// Walks the list both ways and checks the links against each other.
std::vector<PVOID> Forward(const CPtrList& list)
{
    std::vector<PVOID> out;
    POSITION pos = list.GetHeadPosition();
    PVOID data = nullptr;
    while (list.GetNext(&pos, &data))
        out.push_back(data);
    return out;
}

void CheckLinks(const CPtrList& list)
{
    POSITION head = list.GetHeadPosition();
    if (head == nullptr)
    {
        EXPECT_EQ(list.GetCount(), 0u);
        PVOID tail = reinterpret_cast<PVOID>(1);
        EXPECT_FALSE(list.GetTailData(&tail));
        return;
    }
    EXPECT_EQ(head->m_Prev, nullptr);
    ULONG n = 1;
    PtrListNode* last = head;
    for (PtrListNode* p = head; p->m_Next != nullptr; p = p->m_Next, ++n)
    {
        EXPECT_EQ(p->m_Next->m_Prev, p);
        last = p->m_Next;
    }
    EXPECT_EQ(n, list.GetCount());
    PVOID tail = nullptr;
    EXPECT_TRUE(list.GetTailData(&tail));
    EXPECT_EQ(tail, last->m_Data);
}

PVOID P(uintptr_t v)
{
    return reinterpret_cast<PVOID>(v);
}

void Drain(CPtrList& list)
{
    PVOID d;
    while (!list.IsEmpty())
        ASSERT_TRUE(list.RemoveHead(&d));
}
} // namespace

TEST(PtrList, EmptyListAnswersWithoutTouchingOutputs)
{
    CPtrList list;
    EXPECT_TRUE(list.IsEmpty());
    EXPECT_EQ(list.GetCount(), 0u);
    PVOID out = P(0x55);
    EXPECT_FALSE(list.GetAt(0, &out));
    EXPECT_EQ(out, P(0x55));
    EXPECT_FALSE(list.RemoveHead(&out));
    EXPECT_EQ(out, P(0x55));
    // Head and tail queries report "none" by writing null.
    EXPECT_FALSE(list.GetHeadData(&out));
    EXPECT_EQ(out, nullptr);
    out = P(0x55);
    EXPECT_FALSE(list.GetTailData(&out));
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(list.GetHeadPosition(), nullptr);
    POSITION pos = nullptr;
    out = P(0x55);
    EXPECT_FALSE(list.GetNext(&pos, &out));
    EXPECT_EQ(out, P(0x55));
}

TEST(PtrList, NullOutPointersChangeNothing)
{
    CPtrList list;
    ASSERT_NE(list.AddTail(P(1)), nullptr);
    EXPECT_FALSE(list.RemoveHead(nullptr));
    EXPECT_FALSE(list.GetHeadData(nullptr));
    EXPECT_FALSE(list.GetTailData(nullptr));
    EXPECT_FALSE(list.GetAt(0, nullptr));
    EXPECT_EQ(list.GetCount(), 1u);
    Drain(list);
}

TEST(PtrList, NodesAreTaggedNonPagedPoolBlocks)
{
    CPtrList list;
    POSITION a = list.AddHead(P(7));
    ASSERT_NE(a, nullptr);
    SIZE_T size = 0;
    ULONG tag = 0;
    POOL_TYPE type = PagedPool;
    ASSERT_TRUE(EmuPoolIsBlock(a, &size, &tag, &type));
    EXPECT_EQ(size, 24u);
    // "Lis" with a zero fourth byte.
    EXPECT_EQ(tag, 0x0073694Cu);
    EXPECT_NE(type, PagedPool);
    EXPECT_EQ(a->m_Data, P(7));
    // A single node is head and tail at once.
    EXPECT_EQ(list.GetHeadPosition(), a);
    PVOID t = nullptr;
    EXPECT_TRUE(list.GetTailData(&t));
    EXPECT_EQ(t, P(7));
    list.RemoveAt(a);
    EXPECT_EQ(EmuPoolOutstandingCount(POOL_TAG("Lis")), 0u);
    EXPECT_TRUE(list.IsEmpty());

    ASSERT_NE(list.AddTail(P(8)), nullptr);
    PVOID h = nullptr;
    EXPECT_TRUE(list.GetHeadData(&h));
    EXPECT_TRUE(list.GetTailData(&t));
    EXPECT_EQ(h, P(8));
    EXPECT_EQ(t, P(8));
    Drain(list);
}

TEST(PtrList, OrderOfHeadAndTailInsertion)
{
    CPtrList list;
    ASSERT_NE(list.AddTail(P(2)), nullptr);
    ASSERT_NE(list.AddHead(P(1)), nullptr);
    ASSERT_NE(list.AddTail(P(3)), nullptr);
    ASSERT_NE(list.AddHead(P(0)), nullptr);
    EXPECT_EQ(Forward(list), (std::vector<PVOID>{P(0), P(1), P(2), P(3)}));
    CheckLinks(list);
    PVOID d = nullptr;
    EXPECT_TRUE(list.GetAt(2, &d));
    EXPECT_EQ(d, P(2));
    // An index equal to the count is past the end; a negative index makes no
    // step and yields the head.
    d = P(0x99);
    EXPECT_FALSE(list.GetAt(4, &d));
    EXPECT_EQ(d, P(0x99));
    EXPECT_TRUE(list.GetAt(-3, &d));
    EXPECT_EQ(d, P(0));
    Drain(list);
}

TEST(PtrList, RemoveAtHeadMiddleTailAndOnly)
{
    CPtrList list;
    POSITION n[4];
    for (int i = 0; i < 4; ++i)
        ASSERT_NE(n[i] = list.AddTail(P(10 + i)), nullptr);
    list.RemoveAt(n[1]); // middle
    EXPECT_EQ(Forward(list), (std::vector<PVOID>{P(10), P(12), P(13)}));
    CheckLinks(list);
    list.RemoveAt(n[0]); // head
    EXPECT_EQ(Forward(list), (std::vector<PVOID>{P(12), P(13)}));
    CheckLinks(list);
    list.RemoveAt(n[3]); // tail of a two-node list
    EXPECT_EQ(list.GetCount(), 1u);
    EXPECT_EQ(n[2]->m_Next, nullptr);
    EXPECT_EQ(n[2]->m_Prev, nullptr);
    CheckLinks(list);
    list.RemoveAt(n[2]); // the only node
    EXPECT_EQ(list.GetHeadPosition(), nullptr);
    EXPECT_EQ(list.GetCount(), 0u);
    CheckLinks(list);
    // The list can be used again after it was emptied.
    ASSERT_NE(list.AddTail(P(1)), nullptr);
    CheckLinks(list);
    Drain(list);
}

TEST(PtrList, RemoveHeadHandsOutDataInOrder)
{
    CPtrList list;
    for (int i = 1; i <= 3; ++i)
        ASSERT_NE(list.AddTail(P(i)), nullptr);
    PVOID d = nullptr;
    for (int i = 1; i <= 3; ++i)
    {
        ASSERT_TRUE(list.RemoveHead(&d));
        EXPECT_EQ(d, P(i));
        CheckLinks(list);
    }
    EXPECT_TRUE(list.IsEmpty());
    EXPECT_EQ(EmuPoolOutstandingCount(POOL_TAG("Lis")), 0u);
}

TEST(PtrList, AllocationFailureLeavesListUnchanged)
{
    CPtrList list;
    ASSERT_NE(list.AddTail(P(1)), nullptr);
    EmuPoolInjectFailure(POOL_TAG("Lis"), 0, 3);
    EXPECT_EQ(list.AddHead(P(2)), nullptr);
    EXPECT_EQ(list.AddTail(P(3)), nullptr);
    EXPECT_EQ(list.InsertBefore(list.GetHeadPosition(), P(4)), nullptr);
    EmuPoolClearInjection();
    EXPECT_EQ(Forward(list), (std::vector<PVOID>{P(1)}));
    CheckLinks(list);
    Drain(list);
}

TEST(PtrList, InsertBeforeKeepsASortedList)
{
    // Ordered by value, largest first, as the stream client lists are: a new
    // entry goes before the first smaller one, else at the tail.
    CPtrList list;
    auto sortedAdd = [&](uintptr_t v)
    {
        POSITION pos = list.GetHeadPosition();
        while (pos != nullptr && reinterpret_cast<uintptr_t>(pos->m_Data) >= v)
            pos = pos->m_Next;
        return list.InsertBefore(pos, P(v));
    };
    for (uintptr_t v : {3u, 5u, 1u, 4u, 9u, 2u})
        ASSERT_NE(sortedAdd(v), nullptr);
    EXPECT_EQ(Forward(list), (std::vector<PVOID>{P(9), P(5), P(4), P(3), P(2), P(1)}));
    CheckLinks(list);
    // Before the head makes a new head; before the tail goes second to last.
    POSITION head = list.GetHeadPosition();
    POSITION h2 = list.InsertBefore(head, P(100));
    EXPECT_EQ(list.GetHeadPosition(), h2);
    PtrListNode* tail = head;
    while (tail->m_Next != nullptr)
        tail = tail->m_Next;
    ASSERT_NE(list.InsertBefore(tail, P(50)), nullptr);
    EXPECT_EQ(Forward(list),
              (std::vector<PVOID>{P(100), P(9), P(5), P(4), P(3), P(2), P(50), P(1)}));
    CheckLinks(list);
    Drain(list);

    // Into an empty list, a null position appends.
    ASSERT_NE(list.InsertBefore(nullptr, P(6)), nullptr);
    CheckLinks(list);
    Drain(list);
}

TEST(PtrList, CountChangesAtDispatchLevel)
{
    CPtrList list;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ASSERT_NE(list.AddTail(P(1)), nullptr);
    ASSERT_NE(list.AddHead(P(2)), nullptr);
    PVOID d = nullptr;
    EXPECT_TRUE(list.RemoveHead(&d));
    EXPECT_EQ(d, P(2));
    EXPECT_EQ(list.GetCount(), 1u);
    Drain(list);
    KeLowerIrql(old);
}
