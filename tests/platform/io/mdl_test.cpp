// MDLs mapped into user processes, and handles a user-mode caller passes in.
#include "tests/platform/io/io_fixture.h"

namespace
{
const ULONG RING_TAG = POOL_TAG("USBd");

struct Ring
{
    PVOID Block = nullptr;
    PMDL Mdl = nullptr;
    PVOID User = nullptr;
};

void MapRing(void* context)
{
    auto* r = static_cast<Ring*>(context);
    r->User =
        MmMapLockedPagesSpecifyCache(r->Mdl, UserMode, MmCached, nullptr, FALSE, HighPagePriority);
}

void UnmapRing(void* context)
{
    auto* r = static_cast<Ring*>(context);
    MmUnmapLockedPages(r->User, r->Mdl);
}
} // namespace

TEST(MdlTest, UserMappingsBelongToTheProcessThatMadeThem)
{
    PEPROCESS owner = EmuCreateProcess(false);
    PEPROCESS other = EmuCreateProcess(true);
    Ring r;
    const ULONG size = 40 + 7680;
    r.Block = ExAllocatePoolWithTag(NonPagedPoolNx, ROUND_TO_PAGES(size), RING_TAG);
    r.Mdl = IoAllocateMdl(r.Block, size, FALSE, TRUE, nullptr);
    ASSERT_NE(r.Mdl, nullptr);
    EXPECT_EQ(MmGetMdlByteCount(r.Mdl), size);
    EXPECT_EQ(MmGetMdlVirtualAddress(r.Mdl), r.Block);
    EXPECT_EQ(r.Mdl->ByteOffset, (ULONG)((ULONG_PTR)r.Block & 0xFFF));
    MmBuildMdlForNonPagedPool(r.Mdl);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(r.Mdl, NormalPagePriority), r.Block);

    EmuRunInProcess(owner, MapRing, &r);
    ASSERT_NE(r.User, nullptr);
    // The user view shows the same bytes.
    static_cast<UCHAR*>(r.Block)[100] = 0x5A;
    EXPECT_EQ(static_cast<UCHAR*>(r.User)[100], 0x5A);
    auto maps = EmuUserMappings();
    ASSERT_EQ(maps.size(), 1u);
    EXPECT_EQ(maps[0].Process, owner);
    EXPECT_EQ(maps[0].ByteCount, size);

    {
        // Unmapping from another process is reported and leaves the mapping.
        EmuExpectFailures f;
        EmuRunInProcess(other, UnmapRing, &r);
        EXPECT_TRUE(f.Contains("MmUnmapLockedPages of a user mapping of process"));
        EXPECT_EQ(EmuUserMappings().size(), 1u);
        // So is unmapping from the system process, and freeing a mapped MDL.
        MmUnmapLockedPages(r.User, r.Mdl);
        EXPECT_EQ(f.Messages().size(), 2u);
    }
    EmuRunInProcess(owner, UnmapRing, &r);
    EXPECT_TRUE(EmuUserMappings().empty());
    {
        EmuExpectFailures f;
        EmuRunInProcess(owner, UnmapRing, &r);
        EXPECT_TRUE(f.Contains("has not mapped"));
        // A user mapping made from a system thread lands in no user process.
        EXPECT_EQ(MmMapLockedPagesSpecifyCache(r.Mdl, UserMode, MmCached, nullptr, FALSE,
                                               NormalPagePriority),
                  nullptr);
        EXPECT_TRUE(f.Contains("in the system process"));
    }
    IoFreeMdl(r.Mdl);
    ExFreePoolWithTag(r.Block, RING_TAG);
    EmuDeleteProcess(owner);
    EmuDeleteProcess(other);
}

TEST(MdlTest, FreeingAMappedMdlAndMisbuiltMdlsAreReported)
{
    PEPROCESS owner = EmuCreateProcess(false);
    Ring r;
    r.Block = ExAllocatePoolWithTag(NonPagedPoolNx, PAGE_SIZE, RING_TAG);
    r.Mdl = IoAllocateMdl(r.Block, 256, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(r.Mdl);
    EmuRunInProcess(owner, MapRing, &r);
    {
        EmuExpectFailures f;
        IoFreeMdl(r.Mdl);
        EXPECT_TRUE(f.Contains("still mapped"));
    }
    EXPECT_TRUE(EmuUserMappings().empty());
    {
        EmuExpectFailures f;
        PMDL mdl = IoAllocateMdl(r.Block, PAGE_SIZE + 1, FALSE, FALSE, nullptr);
        MmBuildMdlForNonPagedPool(mdl); // runs past the block
        EXPECT_TRUE(f.Contains("run past their pool block"));
        IoFreeMdl(mdl);
        PVOID paged = ExAllocatePoolWithTag(PagedPool, 64, RING_TAG);
        mdl = IoAllocateMdl(paged, 64, FALSE, FALSE, nullptr);
        MmBuildMdlForNonPagedPool(mdl);
        EXPECT_TRUE(f.Contains("on paged pool"));
        IoFreeMdl(mdl);
        mdl = IoAllocateMdl(paged, 64, FALSE, FALSE, nullptr);
        EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
        EXPECT_TRUE(f.Contains("not locked"));
        IoFreeMdl(mdl);
        ExFreePoolWithTag(paged, RING_TAG);
    }
    EXPECT_EQ(IoAllocateMdl(r.Block, 0, FALSE, FALSE, nullptr), nullptr);
    ExFreePoolWithTag(r.Block, RING_TAG);
    EmuDeleteProcess(owner);
}

// A user mapping hands over whole pages: a block that does not fill them
// shows the process pool that is not its own. A block of a page or more is
// page-aligned; the mapping returns the pages' address plus the byte offset.
TEST(MdlTest, AUserMappingShowsOnlyPagesItsBlockFills)
{
    const SIZE_T cases[][4] = {// allocated, offset, mapped, misuse
                               {1320, 0, 1320, 1},           {7720, 0, 7720, 1},
                               {PAGE_SIZE, 0, PAGE_SIZE, 0}, {8192, 40, 7680, 0},
                               {8192, PAGE_SIZE - 1, 2, 0},  {8191, 0, PAGE_SIZE, 0},
                               {8191, 0, PAGE_SIZE + 1, 1}};
    PEPROCESS owner = EmuCreateProcess(false);
    for (const auto& [allocated, offset, mapped, misuse] : cases)
    {
        Ring r;
        r.Block = ExAllocatePoolWithTag(NonPagedPoolNx, allocated, RING_TAG);
        EXPECT_TRUE(allocated < PAGE_SIZE || BYTE_OFFSET(r.Block) == 0) << allocated;
        PUCHAR va = static_cast<PUCHAR>(r.Block) + offset;
        r.Mdl = IoAllocateMdl(va, (ULONG)mapped, FALSE, FALSE, nullptr);
        MmBuildMdlForNonPagedPool(r.Mdl);
        EmuExpectFailures f;
        EmuRunInProcess(owner, MapRing, &r);
        EXPECT_EQ(misuse != 0, f.Contains("does not fill its pages")) << allocated << " " << mapped;
        EXPECT_EQ(va, r.User);
        EmuRunInProcess(owner, UnmapRing, &r);
        IoFreeMdl(r.Mdl);
        ExFreePoolWithTag(r.Block, RING_TAG);
    }
    EmuDeleteProcess(owner);
}

TEST(MdlTest, AnMdlForAnIrpChainsBehindItsFirst)
{
    UCHAR a[16], b[16];
    PIRP irp = IoAllocateIrp(1, FALSE);
    PMDL first = IoAllocateMdl(a, sizeof(a), FALSE, FALSE, irp);
    PMDL second = IoAllocateMdl(b, sizeof(b), TRUE, FALSE, irp);
    EXPECT_EQ(irp->MdlAddress, first);
    EXPECT_EQ(first->Next, second);
    IoFreeMdl(second);
    IoFreeMdl(first);
    IoFreeIrp(irp);
}

// ----------------------------------------------------------------------------
// Handles

namespace
{
struct HandleCase
{
    HANDLE Handle;
    ACCESS_MASK Access;
    POBJECT_TYPE Type;
    KPROCESSOR_MODE Mode;
    NTSTATUS Status;
};

void Reference(void* context)
{
    auto* c = static_cast<HandleCase*>(context);
    PVOID object = nullptr;
    c->Status = ObReferenceObjectByHandle(c->Handle, c->Access, c->Type, c->Mode, &object, nullptr);
    if (NT_SUCCESS(c->Status))
        ObDereferenceObject(object);
}
} // namespace

TEST(MdlTest, UserHandlesAreCheckedForProcessTypeAndAccess)
{
    PEPROCESS p = EmuCreateProcess(true);
    PEPROCESS q = EmuCreateProcess(true);
    HANDLE full = nullptr, weak = nullptr;
    PKEVENT event = nullptr;
    ASSERT_EQ(EmuCreateUserEvent(p, SynchronizationEvent, FALSE, &full, &event), STATUS_SUCCESS);
    ASSERT_EQ(EmuCreateUserEvent(p, NotificationEvent, FALSE, &weak, nullptr,
                                 SYNCHRONIZE | EVENT_QUERY_STATE),
              STATUS_SUCCESS);
    HandleCase cases[] = {
        {full, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, STATUS_SUCCESS},
        {weak, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, STATUS_ACCESS_DENIED},
        {weak, SYNCHRONIZE, *ExEventObjectType, UserMode, STATUS_SUCCESS},
        {full, EVENT_MODIFY_STATE, *IoFileObjectType, UserMode, STATUS_OBJECT_TYPE_MISMATCH},
        {(HANDLE)0x1234, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, STATUS_INVALID_HANDLE},
    };
    for (HandleCase& c : cases)
    {
        NTSTATUS expected = c.Status;
        EmuRunInProcess(p, Reference, &c);
        EXPECT_EQ(c.Status, expected) << std::hex << c.Access;
    }
    // Another process's handle table does not hold it.
    HandleCase foreign = {full, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, 0};
    EmuRunInProcess(q, Reference, &foreign);
    EXPECT_EQ(foreign.Status, STATUS_INVALID_HANDLE);
    // A user handle is no kernel handle.
    HandleCase system = {full, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, 0};
    Reference(&system);
    EXPECT_EQ(system.Status, STATUS_INVALID_HANDLE);
    // The event behind the handle is the one the driver sets.
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeReadStateEvent(event), 1);
    EXPECT_EQ(EmuCloseUserHandle(q, full), STATUS_INVALID_HANDLE);
    EXPECT_EQ(EmuCloseUserHandle(p, full), STATUS_SUCCESS);
    EXPECT_EQ(EmuCloseUserHandle(p, weak), STATUS_SUCCESS);
    EmuDeleteProcess(p);
    EmuDeleteProcess(q);
}
