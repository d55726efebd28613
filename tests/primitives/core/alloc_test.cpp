// Aligned blocks from the allocation hooks: non-paged pool, tag "DSPL", the
// hook's own pointer kept before the block and handed back on free.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/kernel/emu.h"
#include "primitives/core/DspAlloc.h"

namespace
{
const ULONG Tag = POOL_TAG("DSPL");

const EmuPoolBlock* OnlyBlock(std::vector<EmuPoolBlock>& blocks)
{
    const EmuPoolBlock* found = nullptr;
    for (const auto& b : blocks)
        if (b.Tag == Tag)
        {
            if (found != nullptr)
                return nullptr;
            found = &b;
        }
    return found;
}

TEST(DspAlloc, AlignedBlockKeepsTheHooksPointerBeforeIt)
{
    for (int size : {1, 3, 31, 32, 33, 4096})
    {
        void* block = DspAllocAligned(size);
        ASSERT_NE(nullptr, block);
        EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(block) % 32) << size;
        auto blocks = EmuPoolOutstanding();
        const EmuPoolBlock* raw = OnlyBlock(blocks);
        ASSERT_NE(nullptr, raw);
        EXPECT_EQ(static_cast<SIZE_T>(size) + 40, raw->Size);
        EXPECT_EQ(NonPagedPool, raw->Type);
        void* stored;
        memcpy(&stored, static_cast<char*>(block) - 8, sizeof stored);
        EXPECT_EQ(raw->Address, stored);
        // The whole request lies inside the raw block.
        EXPECT_GE(static_cast<char*>(block), static_cast<const char*>(raw->Address) + 8);
        EXPECT_LE(static_cast<char*>(block) + size,
                  static_cast<const char*>(raw->Address) + raw->Size);
        memset(block, 0x5A, static_cast<size_t>(size));
        DspFree(block);
        EXPECT_EQ(0u, EmuPoolOutstandingCount(Tag));
    }
}

TEST(DspAlloc, BadSizesAndFailuresGiveNullWithoutLeaks)
{
    const auto before = EmuPoolAllocationCount(Tag);
    EXPECT_EQ(nullptr, DspAllocAligned(0));
    EXPECT_EQ(nullptr, DspAllocAligned(-5));
    EXPECT_EQ(nullptr, DspMalloc32f(0));
    EXPECT_EQ(nullptr, DspMalloc32f(-1));
    // 2^30 floats need 4 GB + 40 bytes: the size must not wrap to a small block.
    EXPECT_EQ(nullptr, DspMalloc32f(1 << 30));
    EXPECT_EQ(before, EmuPoolAllocationCount(Tag));
    EmuPoolInjectFailure(Tag, 0);
    EXPECT_EQ(nullptr, DspAllocAligned(64));
    DspFree(nullptr); // nothing happens
    EXPECT_EQ(0u, EmuPoolOutstandingCount(Tag));
}

TEST(DspAlloc, Malloc32fGivesRoomForTheFloatsAtDispatchLevel)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    float* p = DspMalloc32f(100);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(p) % 32);
    EXPECT_EQ(440u, EmuPoolOutstandingBytes(Tag));
    for (int i = 0; i < 100; ++i)
        p[i] = static_cast<float>(i);
    DspFree(p);
    KeLowerIrql(old);
    EXPECT_EQ(0u, EmuPoolOutstandingCount(Tag));
}

TEST(DspAlloc, HookTableHasItsFourSlots)
{
    EXPECT_EQ(&DspPoolAlloc, DspAllocHooks.Alloc);
    EXPECT_EQ(&DspPoolAllocArray, DspAllocHooks.AllocArray);
    EXPECT_EQ(nullptr, DspAllocHooks.Reserved());
    EXPECT_EQ(&DspPoolFree, DspAllocHooks.Free);
    void* p = DspAllocHooks.AllocArray(3, 12);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(36u, EmuPoolOutstandingBytes(Tag));
    DspAllocHooks.Free(p);
}
} // namespace
