// Pool allocator with per-tag accounting, poisoning, IRQL checks, failure
// injection and a leak report; lookaside lists on top of it.
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <map>

#include "platform/kernel/emu_hooks.h"
#include "platform/kernel/emu_internal.h"

namespace
{
struct PoolState
{
    std::map<const void*, EmuPoolBlock> Blocks;
    unsigned long long Sequence = 0;
    std::map<ULONG, unsigned long long> Allocations; // successful, per tag
    unsigned long long DispatchRequests = 0;         // made at DISPATCH_LEVEL
    ULONG InjectTag = 0;
    EmuInjectedFailure Inject;
};
PoolState g_Pool;
thread_local ULONG t_Unfailing = 0; // EmuPoolUnfailing scopes open on this thread

bool IsPaged(POOL_TYPE type)
{
    return (type & 1) != 0;
}
bool IsCacheAligned(POOL_TYPE type)
{
    return (type & 4) != 0;
}

bool InjectedFailure(ULONG tag)
{
    PoolState& p = g_Pool;
    return t_Unfailing == 0 && p.Inject.Active() && (p.InjectTag == 0 || p.InjectTag == tag) &&
           p.Inject.Fails();
}
} // namespace

std::string EmuTagName(ULONG tag)
{
    std::string s;
    for (int i = 0; i < 4; ++i)
    {
        char c = (char)((tag >> (8 * i)) & 0xFF);
        s += (c >= 32 && c < 127) ? c : '.';
    }
    return s;
}

PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag)
{
    KIRQL irql = KeGetCurrentIrql();
    if (IsPaged(poolType) && irql > APC_LEVEL)
    {
        EmuReportFailure("paged pool allocation (tag %s) at IRQL %d", EmuTagName(tag).c_str(),
                         irql);
        return nullptr;
    }
    if (irql > DISPATCH_LEVEL)
    {
        EmuReportFailure("pool allocation at IRQL %d", irql);
        return nullptr;
    }
    if (irql == DISPATCH_LEVEL)
        g_Pool.DispatchRequests++;
    if (InjectedFailure(tag))
        return nullptr;
    SIZE_T size = numberOfBytes == 0 ? 1 : numberOfBytes;
    // Aligned as the real pool aligns: a page or more on a page boundary,
    // less on 16 bytes (64 for the cache-aligned types).
    void* block = nullptr;
    const SIZE_T alignment = size >= PAGE_SIZE ? PAGE_SIZE : IsCacheAligned(poolType) ? 64 : 16;
    if (posix_memalign(&block, alignment, size) != 0)
        block = nullptr;
    if (block == nullptr)
        return nullptr;
    memset(block, EMU_POOL_POISON, size);
    PoolState& p = g_Pool;
    p.Blocks[block] = EmuPoolBlock{block, numberOfBytes, tag, poolType, ++p.Sequence};
    p.Allocations[tag]++;
    return block;
}

PVOID ExAllocatePool(POOL_TYPE poolType, SIZE_T numberOfBytes)
{
    return ExAllocatePoolWithTag(poolType, numberOfBytes, POOL_TAG("None"));
}

void ExFreePoolWithTag(PVOID p, ULONG tag)
{
    if (p == nullptr)
    {
        EmuReportFailure("ExFreePool of a null pointer");
        return;
    }
    auto it = g_Pool.Blocks.find(p);
    if (it == g_Pool.Blocks.end())
    {
        EmuReportFailure("ExFreePool of %p, which is not a pool block (double free?)", p);
        return;
    }
    const EmuPoolBlock& b = it->second;
    if (tag != 0 && tag != b.Tag)
        EmuReportFailure("block tagged %s freed with tag %s", EmuTagName(b.Tag).c_str(),
                         EmuTagName(tag).c_str());
    KIRQL irql = KeGetCurrentIrql();
    if ((IsPaged(b.Type) && irql > APC_LEVEL) || irql > DISPATCH_LEVEL)
        EmuReportFailure("pool block (tag %s) freed at IRQL %d", EmuTagName(b.Tag).c_str(), irql);
    std::string live = EmuDescribeObjectsIn(p, b.Size);
    if (!live.empty())
    {
        EmuReportFailure("pool block (tag %s) freed while it holds:%s; kept to avoid corruption",
                         EmuTagName(b.Tag).c_str(), live.c_str());
        return;
    }
    g_Pool.Blocks.erase(it);
    free(p);
}

void ExFreePool(PVOID p)
{
    ExFreePoolWithTag(p, 0);
}

std::vector<EmuPoolBlock> EmuPoolOutstanding()
{
    std::vector<EmuPoolBlock> v;
    for (auto& kv : g_Pool.Blocks)
        v.push_back(kv.second);
    std::sort(v.begin(), v.end(),
              [](const EmuPoolBlock& a, const EmuPoolBlock& b) { return a.Sequence < b.Sequence; });
    return v;
}

SIZE_T EmuPoolOutstandingCount(ULONG tag)
{
    SIZE_T n = 0;
    for (auto& kv : g_Pool.Blocks)
        if (tag == 0 || kv.second.Tag == tag)
            ++n;
    return n;
}

SIZE_T EmuPoolOutstandingBytes(ULONG tag)
{
    SIZE_T n = 0;
    for (auto& kv : g_Pool.Blocks)
        if (tag == 0 || kv.second.Tag == tag)
            n += kv.second.Size;
    return n;
}

unsigned long long EmuPoolAllocationCount(ULONG tag)
{
    if (tag != 0)
    {
        auto it = g_Pool.Allocations.find(tag);
        return it == g_Pool.Allocations.end() ? 0 : it->second;
    }
    unsigned long long n = 0;
    for (auto& kv : g_Pool.Allocations)
        n += kv.second;
    return n;
}

std::map<ULONG, unsigned long long> EmuPoolAllocationCounts()
{
    return g_Pool.Allocations;
}

unsigned long long EmuPoolDispatchRequestCount()
{
    return g_Pool.DispatchRequests;
}

void EmuPoolInjectFailure(ULONG tag, ULONG skip, ULONG count)
{
    g_Pool.InjectTag = tag;
    g_Pool.Inject.Arm(skip, count);
}

void EmuPoolClearInjection()
{
    g_Pool.Inject.Clear();
}

EmuPoolUnfailing::EmuPoolUnfailing()
{
    t_Unfailing++;
}

EmuPoolUnfailing::~EmuPoolUnfailing()
{
    t_Unfailing--;
}

bool EmuPoolBlockHolding(const void* address, EmuPoolBlock* block)
{
    // Blocks are kept by where they start: the one that holds the address
    // is the last that starts at or before it.
    auto it = g_Pool.Blocks.upper_bound(address);
    if (it == g_Pool.Blocks.begin())
        return false;
    --it;
    const auto a = reinterpret_cast<uintptr_t>(address);
    const auto start = reinterpret_cast<uintptr_t>(it->first);
    if (a >= start + it->second.Size)
        return false;
    *block = it->second;
    return true;
}

bool EmuPoolIsBlock(const void* p, SIZE_T* size, ULONG* tag, POOL_TYPE* type)
{
    auto it = g_Pool.Blocks.find(p);
    if (it == g_Pool.Blocks.end())
        return false;
    if (size)
        *size = it->second.Size;
    if (tag)
        *tag = it->second.Tag;
    if (type)
        *type = it->second.Type;
    return true;
}

std::string EmuPoolLeaks(bool forget)
{
    PoolState& p = g_Pool;
    if (p.Blocks.empty())
        return {};
    std::map<ULONG, std::pair<SIZE_T, SIZE_T>> byTag;
    for (auto& kv : p.Blocks)
    {
        byTag[kv.second.Tag].first++;
        byTag[kv.second.Tag].second += kv.second.Size;
    }
    std::string what = " pool blocks leaked:";
    for (auto& kv : byTag)
        what += " '" + EmuTagName(kv.first) + "' " + std::to_string(kv.second.first) +
                " block(s) " + std::to_string(kv.second.second) + " bytes;";
    if (forget)
    {
        for (auto& kv : p.Blocks)
            free(const_cast<void*>(kv.first));
        p.Blocks.clear();
    }
    return what;
}

void EmuPoolReset()
{
    EmuPoolLeaks(true);
    g_Pool = PoolState{};
}

// ---------------------------------------------------------------------------
// Lookaside lists

namespace
{
constexpr ULONG LOOKASIDE_MAGIC = 0x4C6B4C73;

void InitLookaside(PNPAGED_LOOKASIDE_LIST l, PALLOCATE_FUNCTION allocate, PFREE_FUNCTION free,
                   SIZE_T size, ULONG tag, USHORT depth, POOL_TYPE type)
{
    l->Type = type;
    l->Tag = tag;
    l->Size = (ULONG)size;
    l->Depth = depth;
    l->Allocate = allocate;
    l->Free = free;
    l->Outstanding = 0;
    l->Magic = LOOKASIDE_MAGIC;
}

PVOID AllocLookaside(PNPAGED_LOOKASIDE_LIST l)
{
    if (l->Magic != LOOKASIDE_MAGIC)
    {
        EmuReportFailure("allocation from an uninitialised lookaside list");
        return nullptr;
    }
    PVOID p = l->Allocate ? l->Allocate(l->Type, l->Size, l->Tag)
                          : ExAllocatePoolWithTag(l->Type, l->Size, l->Tag);
    if (p != nullptr)
        l->Outstanding++;
    return p;
}

void FreeLookaside(PNPAGED_LOOKASIDE_LIST l, PVOID entry)
{
    if (l->Magic != LOOKASIDE_MAGIC)
    {
        EmuReportFailure("free to an uninitialised lookaside list");
        return;
    }
    l->Outstanding--;
    if (l->Free)
        l->Free(entry);
    else
        ExFreePool(entry);
}

void DeleteLookaside(PNPAGED_LOOKASIDE_LIST l)
{
    if (l->Magic != LOOKASIDE_MAGIC)
        EmuReportFailure("delete of an uninitialised lookaside list");
    l->Magic = 0;
}
} // namespace

void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside, PALLOCATE_FUNCTION allocate,
                                     PFREE_FUNCTION free, ULONG, SIZE_T size, ULONG tag,
                                     USHORT depth)
{
    InitLookaside(lookaside, allocate, free, size, tag, depth, NonPagedPool);
}
void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside)
{
    DeleteLookaside(lookaside);
}
PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside)
{
    return AllocLookaside(lookaside);
}
void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside, PVOID entry)
{
    FreeLookaside(lookaside, entry);
}
void ExInitializePagedLookasideList(PPAGED_LOOKASIDE_LIST lookaside, PALLOCATE_FUNCTION allocate,
                                    PFREE_FUNCTION free, ULONG, SIZE_T size, ULONG tag,
                                    USHORT depth)
{
    EmuPagedCode("ExInitializePagedLookasideList");
    InitLookaside(lookaside, allocate, free, size, tag, depth, PagedPool);
}
void ExDeletePagedLookasideList(PPAGED_LOOKASIDE_LIST lookaside)
{
    DeleteLookaside(lookaside);
}
PVOID ExAllocateFromPagedLookasideList(PPAGED_LOOKASIDE_LIST lookaside)
{
    return AllocLookaside(lookaside);
}
void ExFreeToPagedLookasideList(PPAGED_LOOKASIDE_LIST lookaside, PVOID entry)
{
    FreeLookaside(lookaside, entry);
}
