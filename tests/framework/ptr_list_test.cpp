#include <gtest/gtest.h>

#include <vector>

#include "framework/ptr_list.h"
#include "platform/kernel/emu.h"

namespace
{
PVOID P(uintptr_t v)
{
    return reinterpret_cast<PVOID>(v);
}

// The data in list order; also checks every link, the ends and the count.
std::vector<PVOID> Walk(const CPtrList& list)
{
    std::vector<PVOID> out;
    POSITION pos = list.GetHeadPosition();
    const PtrListNode* last = nullptr;
    EXPECT_TRUE(pos == nullptr || pos->m_Prev == nullptr);
    for (const PtrListNode* n = pos; n != nullptr; last = n, n = n->m_Next)
        EXPECT_TRUE(n->m_Next == nullptr || n->m_Next->m_Prev == n);
    PVOID data = nullptr;
    while (list.GetNext(&pos, &data))
        out.push_back(data);
    EXPECT_EQ(out.size(), list.GetCount());
    PVOID tail = P(0xBAD);
    EXPECT_EQ(list.GetTailData(&tail), last != nullptr);
    EXPECT_EQ(tail, last != nullptr ? last->m_Data : nullptr);
    return out;
}

void Drain(CPtrList& list)
{
    PVOID d;
    while (list.RemoveHead(&d))
    {
    }
    EXPECT_TRUE(list.IsEmpty());
}
} // namespace

TEST(PtrList, EmptyListAnswersWithoutTouchingOutputs)
{
    CPtrList list;
    EXPECT_TRUE(list.IsEmpty());
    PVOID out = P(0x55);
    EXPECT_FALSE(list.GetAt(0, &out));
    EXPECT_FALSE(list.RemoveHead(&out));
    POSITION pos = nullptr;
    EXPECT_FALSE(list.GetNext(&pos, &out));
    EXPECT_EQ(out, P(0x55));
    // Head and tail queries report "none" by writing null.
    EXPECT_FALSE(list.GetHeadData(&out));
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(list.GetHeadPosition(), nullptr);
    Walk(list);
    // Null out pointers change nothing.
    ASSERT_NE(list.AddTail(P(1)), nullptr);
    EXPECT_FALSE(list.RemoveHead(nullptr));
    EXPECT_FALSE(list.GetHeadData(nullptr));
    EXPECT_FALSE(list.GetTailData(nullptr));
    EXPECT_FALSE(list.GetAt(0, nullptr));
    EXPECT_EQ(list.GetCount(), 1u);
    Drain(list);
}

TEST(PtrList, NodesAreZeroedNonPagedBlocksTaggedLis)
{
    CPtrList list;
    POSITION a = list.AddHead(P(7));
    ASSERT_NE(a, nullptr);
    SIZE_T size = 0;
    ULONG tag = 0;
    POOL_TYPE type = PagedPool;
    ASSERT_TRUE(EmuPoolIsBlock(a, &size, &tag, &type));
    EXPECT_EQ(size, 24u);
    EXPECT_EQ(tag, 0x0073694Cu); // "Lis" and a zero byte
    EXPECT_EQ((type & 1), 0);    // not paged
    EXPECT_EQ(a->m_Next, nullptr);
    EXPECT_EQ(a->m_Prev, nullptr);
    list.RemoveAt(a);
    EXPECT_EQ(EmuPoolOutstandingCount(POOL_TAG("Lis")), 0u);
    EXPECT_EQ(list.GetHeadPosition(), nullptr);
}

TEST(PtrList, HeadAndTailInsertionAndIndexedAccess)
{
    CPtrList list;
    ASSERT_NE(list.AddTail(P(2)), nullptr);
    ASSERT_NE(list.AddHead(P(1)), nullptr);
    ASSERT_NE(list.AddTail(P(3)), nullptr);
    ASSERT_NE(list.AddHead(P(0)), nullptr);
    EXPECT_EQ(Walk(list), (std::vector<PVOID>{P(0), P(1), P(2), P(3)}));
    PVOID d = nullptr;
    EXPECT_TRUE(list.GetAt(3, &d));
    EXPECT_EQ(d, P(3));
    // An index equal to the count is past the end; a negative one makes no
    // step and yields the head.
    d = P(0x99);
    EXPECT_FALSE(list.GetAt(4, &d));
    EXPECT_EQ(d, P(0x99));
    EXPECT_TRUE(list.GetAt(-3, &d));
    EXPECT_EQ(d, P(0));
    Drain(list);
}

TEST(PtrList, RemoveAtEveryPlace)
{
    CPtrList list;
    POSITION n[4];
    for (int i = 0; i < 4; ++i)
        ASSERT_NE(n[i] = list.AddTail(P(10 + i)), nullptr);
    list.RemoveAt(n[1]); // middle
    EXPECT_EQ(Walk(list), (std::vector<PVOID>{P(10), P(12), P(13)}));
    list.RemoveAt(n[0]); // head
    EXPECT_EQ(Walk(list), (std::vector<PVOID>{P(12), P(13)}));
    list.RemoveAt(n[3]); // tail of a two-node list
    EXPECT_EQ(n[2]->m_Next, nullptr);
    EXPECT_EQ(n[2]->m_Prev, nullptr);
    EXPECT_EQ(Walk(list), (std::vector<PVOID>{P(12)}));
    list.RemoveAt(n[2]); // the only node
    EXPECT_EQ(list.GetCount(), 0u);
    Walk(list);
    list.RemoveAt(nullptr);
    // Usable again, and RemoveHead hands the data out in order.
    for (int i = 1; i <= 3; ++i)
        ASSERT_NE(list.AddTail(P(i)), nullptr);
    PVOID d = nullptr;
    for (int i = 1; i <= 3; ++i)
    {
        ASSERT_TRUE(list.RemoveHead(&d));
        EXPECT_EQ(d, P(i));
        Walk(list);
    }
    EXPECT_EQ(EmuPoolOutstandingCount(POOL_TAG("Lis")), 0u);
}

TEST(PtrList, AllocationFailureLeavesListUnchanged)
{
    CPtrList list;
    ASSERT_NE(list.AddTail(P(1)), nullptr);
    ASSERT_NE(list.AddTail(P(2)), nullptr);
    EmuPoolInjectFailure(POOL_TAG("Lis"), 0, 4);
    EXPECT_EQ(list.AddHead(P(3)), nullptr);
    EXPECT_EQ(list.AddTail(P(4)), nullptr);
    EXPECT_EQ(list.InsertBefore(list.GetHeadPosition(), P(5)), nullptr);
    EXPECT_EQ(list.InsertBefore(list.GetHeadPosition()->m_Next, P(6)), nullptr);
    EmuPoolClearInjection();
    EXPECT_EQ(Walk(list), (std::vector<PVOID>{P(1), P(2)}));
    Drain(list);
}

TEST(PtrList, InsertBeforeKeepsASortedList)
{
    // Largest first, as the stream client lists are kept: a new entry goes
    // before the first smaller one, else at the tail.
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
    EXPECT_EQ(Walk(list), (std::vector<PVOID>{P(9), P(5), P(4), P(3), P(2), P(1)}));
    POSITION newHead = list.InsertBefore(list.GetHeadPosition(), P(100));
    EXPECT_EQ(newHead, list.GetHeadPosition());
    EXPECT_EQ(Walk(list).size(), 7u);
    Drain(list);
    // Into an empty list, a null position appends.
    ASSERT_NE(list.InsertBefore(nullptr, P(6)), nullptr);
    EXPECT_EQ(Walk(list), (std::vector<PVOID>{P(6)}));
    Drain(list);
}
