// Pool accounting, poisoning, IRQL rules, failure injection and lookaside lists.
#include <gtest/gtest.h>

#include "platform/kernel/emu.h"

TEST(Pool, BlocksArePoisonedAlignedAndCountedPerTag)
{
    const ULONG tag = POOL_TAG("Lis ");
    EXPECT_EQ(tag, 0x2073694Cu); // 'L' in the low byte, as the real compiler's 'Lis ' constant
    EXPECT_EQ(POOL_TAG("Lis"), 0x0073694Cu);
    auto* a = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 40, tag));
    auto* b = static_cast<unsigned char*>(ExAllocatePoolWithTag(PagedPool, 8, tag));
    auto* c = static_cast<unsigned char*>(
        ExAllocatePoolWithTag(NonPagedPoolCacheAligned, 100, POOL_TAG("DSPL")));
    ASSERT_TRUE(a && b && c);
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(a[i], EMU_POOL_POISON);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(c) % 64, 0u);
    EXPECT_EQ(EmuPoolOutstandingCount(tag), 2u);
    EXPECT_EQ(EmuPoolOutstandingBytes(tag), 48u);
    EXPECT_EQ(EmuPoolOutstandingCount(), 3u);
    SIZE_T size;
    ULONG t;
    POOL_TYPE type;
    ASSERT_TRUE(EmuPoolIsBlock(b, &size, &t, &type));
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(type, PagedPool);
    ExFreePoolWithTag(a, tag);
    ExFreePool(b);
    ExFreePool(c);
    EXPECT_EQ(EmuPoolOutstandingCount(), 0u);
    EXPECT_EQ(EmuPoolAllocationCount(tag), 2u);
}

TEST(Pool, MisuseIsReported)
{
    void* p = ExAllocatePoolWithTag(NonPagedPool, 4, POOL_TAG("AAAA"));
    {
        EmuExpectFailures f;
        ExFreePoolWithTag(p, POOL_TAG("BBBB"));
        EXPECT_TRUE(f.Contains("block tagged AAAA freed with tag BBBB"));
    }
    {
        EmuExpectFailures f;
        ExFreePool(p); // double free
        EXPECT_TRUE(f.Contains("not a pool block"));
    }
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    {
        EmuExpectFailures f;
        EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 4, POOL_TAG("Pgd ")), nullptr);
        EXPECT_TRUE(f.Contains("paged pool allocation (tag Pgd ) at IRQL 2"));
    }
    void* np = ExAllocatePoolWithTag(NonPagedPool, 4, POOL_TAG("NP  "));
    EXPECT_NE(np, nullptr);
    ExFreePool(np);
    KeLowerIrql(old);
}

TEST(Pool, FailureInjectionByCountAndTag)
{
    const ULONG urb = POOL_TAG("URB ");
    const ULONG other = POOL_TAG("Othr");
    EmuPoolInjectFailure(urb, 1, 2); // the second and third "URB " allocations fail
    void* a = ExAllocatePoolWithTag(NonPagedPool, 4, urb);
    void* o = ExAllocatePoolWithTag(NonPagedPool, 4, other);
    void* b = ExAllocatePoolWithTag(NonPagedPool, 4, urb);
    void* c = ExAllocatePoolWithTag(NonPagedPool, 4, urb);
    void* d = ExAllocatePoolWithTag(NonPagedPool, 4, urb);
    EXPECT_NE(a, nullptr);
    EXPECT_NE(o, nullptr);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(c, nullptr);
    EXPECT_NE(d, nullptr);
    ExFreePool(a);
    ExFreePool(o);
    ExFreePool(d);

    EmuPoolInjectFailure(0, 0, 0); // every allocation from now on
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, other), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, urb), nullptr);
    EmuPoolClearInjection();
    void* e = ExAllocatePoolWithTag(NonPagedPool, 4, urb);
    EXPECT_NE(e, nullptr);
    ExFreePool(e);
}

TEST(Lookaside, BlocksComeFromThePoolUnderTheListsTag)
{
    NPAGED_LOOKASIDE_LIST list;
    const ULONG tag = POOL_TAG("URB ");
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 164, tag, 0);
    void* a = ExAllocateFromNPagedLookasideList(&list);
    void* b = ExAllocateFromNPagedLookasideList(&list);
    EXPECT_EQ(EmuPoolOutstandingCount(tag), 2u);
    EXPECT_EQ(EmuPoolOutstandingBytes(tag), 328u);
    ExFreeToNPagedLookasideList(&list, a);
    ExFreeToNPagedLookasideList(&list, b);
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(EmuPoolOutstandingCount(tag), 0u);
    EmuExpectFailures f;
    ExAllocateFromNPagedLookasideList(&list);
    EXPECT_TRUE(f.Contains("uninitialised lookaside"));
}

// Requests at DISPATCH_LEVEL are counted, failed ones too; those below are not.
TEST(Pool, DispatchLevelRequestsAreCounted)
{
    const ULONG tag = POOL_TAG("Dsp ");
    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 4, tag));
    EXPECT_EQ(EmuPoolDispatchRequestCount(), 0u);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 4, tag));
    EmuPoolInjectFailure(tag, 0);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, tag), nullptr);
    KeLowerIrql(old);
    EXPECT_EQ(EmuPoolDispatchRequestCount(), 2u);
}

// The block that holds an address is found from its first byte to its last,
// and none holds the byte past it, whichever blocks lie around it.
TEST(Pool, TheBlockHoldingAnAddressIsFoundToItsLastByte)
{
    const ULONG tags[] = {POOL_TAG("PbA "), POOL_TAG("PbB "), POOL_TAG("PbC ")};
    const SIZE_T sizes[] = {40, 4096, 1};
    unsigned char* blocks[3];
    for (int i = 0; i < 3; ++i)
        ASSERT_NE(nullptr, blocks[i] = static_cast<unsigned char*>(
                               ExAllocatePoolWithTag(NonPagedPool, sizes[i], tags[i])));
    for (int i = 0; i < 3; ++i)
        for (const SIZE_T at : {SIZE_T{0}, sizes[i] / 2, sizes[i] - 1, sizes[i]})
        {
            EmuPoolBlock found = {};
            const bool held = EmuPoolBlockHolding(blocks[i] + at, &found);
            const bool inside = at < sizes[i];
            // The byte past a block is no block's unless another starts there.
            if (!inside && EmuPoolIsBlock(blocks[i] + at))
                continue;
            EXPECT_EQ(inside, held) << i << " at " << at;
            EXPECT_TRUE(!inside || (found.Address == blocks[i] && found.Tag == tags[i]))
                << i << " at " << at;
        }
    EmuPoolBlock none = {};
    EXPECT_FALSE(EmuPoolBlockHolding(nullptr, &none));
    for (unsigned char* b : blocks)
        ExFreePool(b);
    EXPECT_FALSE(EmuPoolBlockHolding(blocks[1] + 1, &none));
}
