// MDLs, their system and user mappings, and user-mode handles of test processes.
#include <algorithm>

#include "platform/io/io_internal.h"
#include "platform/kernel/emu.h"

namespace
{
const ULONG MDL_TAG = POOL_TAG("Mdl ");

// A user mapping hands the process whole pages: the block it shows must fill
// them, or the process sees (and writes) whatever else the pool keeps there,
// now or later.
void CheckPagesWhole(PMDL mdl)
{
    PVOID va = MmGetMdlVirtualAddress(mdl);
    EmuPoolBlock block;
    if (!EmuPoolBlockHolding(va, &block))
        return; // not pool: a driver's own pages
    auto first = reinterpret_cast<uintptr_t>(PAGE_ALIGN(va));
    auto end = first + (uintptr_t)ADDRESS_AND_SIZE_TO_SPAN_PAGES(va, mdl->ByteCount) * PAGE_SIZE;
    auto start = reinterpret_cast<uintptr_t>(block.Address);
    if (start > first || start + block.Size < end)
        EmuReportFailure("user mapping of MDL %p shows pool other than its block to the process: "
                         "the block (tag %s, %zu bytes at page offset %u) does not fill its pages",
                         (void*)mdl, EmuTagName(block.Tag).c_str(), (size_t)block.Size,
                         BYTE_OFFSET(block.Address));
}

bool PagesAccessible(PMDL mdl)
{
    return (mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)) != 0;
}

void Attach(PEPROCESS process)
{
    EmuAttachProcess(process == PsInitialSystemProcess() ? nullptr : process);
}
} // namespace

PMDL IoAllocateMdl(PVOID virtualAddress, ULONG length, BOOLEAN secondaryBuffer, BOOLEAN, PIRP irp)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        EmuReportFailure("IoAllocateMdl at IRQL %d", KeGetCurrentIrql());
    if (length == 0 || length > MAXULONG - PAGE_SIZE)
        return nullptr;
    ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(virtualAddress, length);
    SIZE_T size = sizeof(MDL) + (SIZE_T)pages * sizeof(PFN_NUMBER);
    auto mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPoolNx, size, MDL_TAG));
    if (mdl == nullptr)
        return nullptr;
    memset(mdl, 0, size);
    mdl->Size = (CSHORT)size;
    mdl->MdlFlags = MDL_ALLOCATED_FIXED_SIZE;
    mdl->StartVa = PAGE_ALIGN(virtualAddress);
    mdl->ByteOffset = BYTE_OFFSET(virtualAddress);
    mdl->ByteCount = length;
    auto pfn = reinterpret_cast<PPFN_NUMBER>(mdl + 1);
    for (ULONG i = 0; i < pages; ++i)
        pfn[i] = ((ULONG_PTR)mdl->StartVa >> PAGE_SHIFT) + i;
    if (irp != nullptr)
    {
        if (secondaryBuffer && irp->MdlAddress != nullptr)
        {
            PMDL last = irp->MdlAddress;
            while (last->Next != nullptr)
                last = last->Next;
            last->Next = mdl;
        }
        else
            irp->MdlAddress = mdl;
    }
    return mdl;
}

void IoFreeMdl(PMDL mdl)
{
    ULONG tag = 0;
    if (mdl == nullptr || !EmuPoolIsBlock(mdl, nullptr, &tag) || tag != MDL_TAG)
    {
        EmuReportFailure("IoFreeMdl on %p, which IoAllocateMdl did not allocate", (void*)mdl);
        return;
    }
    auto& maps = Io().Mappings;
    for (auto it = maps.begin(); it != maps.end();)
        if (it->Mdl == mdl)
        {
            EmuReportFailure("IoFreeMdl on MDL %p still mapped at %p in process %u", (void*)mdl,
                             it->UserAddress, EmuProcessId(it->Process));
            it = maps.erase(it);
        }
        else
            ++it;
    ExFreePoolWithTag(mdl, MDL_TAG);
}

void MmBuildMdlForNonPagedPool(PMDL mdl)
{
    PVOID va = MmGetMdlVirtualAddress(mdl);
    // Memory outside the pool (a driver's globals) is resident too; pool
    // memory must be one non-paged block.
    EmuPoolBlock block;
    if (EmuPoolBlockHolding(va, &block))
    {
        auto end = reinterpret_cast<uintptr_t>(block.Address) + block.Size;
        if ((block.Type & 1) != 0)
            EmuReportFailure("MmBuildMdlForNonPagedPool on paged pool at %p (tag %s)", va,
                             EmuTagName(block.Tag).c_str());
        else if (reinterpret_cast<uintptr_t>(va) + mdl->ByteCount > end)
            EmuReportFailure("MmBuildMdlForNonPagedPool: %u bytes at %p run past their pool block",
                             mdl->ByteCount, va);
    }
    mdl->MappedSystemVa = va;
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
    mdl->Process = nullptr;
}

PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, ULONG)
{
    if ((mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) != 0)
        return mdl->MappedSystemVa;
    if ((mdl->MdlFlags & MDL_PAGES_LOCKED) == 0)
    {
        EmuReportFailure("MmGetSystemAddressForMdlSafe on MDL %p whose pages are not locked",
                         (void*)mdl);
        return nullptr;
    }
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return mdl->MappedSystemVa;
}

PVOID MmMapLockedPagesSpecifyCache(PMDL mdl, KPROCESSOR_MODE accessMode, MEMORY_CACHING_TYPE,
                                   PVOID requestedAddress, ULONG, ULONG priority)
{
    if (!PagesAccessible(mdl))
    {
        EmuReportFailure("MmMapLockedPagesSpecifyCache on MDL %p whose pages are not locked",
                         (void*)mdl);
        return nullptr;
    }
    if (accessMode == KernelMode)
        return MmGetSystemAddressForMdlSafe(mdl, priority);
    if (KeGetCurrentIrql() > APC_LEVEL)
    {
        EmuReportFailure("user-mode mapping of MDL %p at IRQL %d", (void*)mdl, KeGetCurrentIrql());
        return nullptr;
    }
    PEPROCESS process = PsGetCurrentProcess();
    if (process == PsInitialSystemProcess())
    {
        EmuReportFailure("user-mode mapping of MDL %p requested in the system process", (void*)mdl);
        return nullptr;
    }
    if (requestedAddress != nullptr)
        return nullptr; // no fixed addresses
    CheckPagesWhole(mdl);
    // The user view aliases the same memory: the mapped pages' address plus
    // the MDL's byte offset, which is the same pointer here.
    PVOID address = MmGetMdlVirtualAddress(mdl);
    Io().Mappings.push_back(EmuUserMapping{mdl, process, address, mdl->ByteCount});
    return address;
}

PVOID MmMapLockedPages(PMDL mdl, KPROCESSOR_MODE accessMode)
{
    return MmMapLockedPagesSpecifyCache(mdl, accessMode, MmCached, nullptr, TRUE,
                                        NormalPagePriority);
}

void MmUnmapLockedPages(PVOID baseAddress, PMDL mdl)
{
    auto& maps = Io().Mappings;
    PEPROCESS current = PsGetCurrentProcess();
    auto mine = std::find_if(maps.begin(), maps.end(),
                             [&](const EmuUserMapping& m) {
                                 return m.Mdl == mdl && m.UserAddress == baseAddress &&
                                        m.Process == current;
                             });
    if (mine != maps.end())
    {
        maps.erase(mine);
        return;
    }
    auto other = std::find_if(maps.begin(), maps.end(),
                              [&](const EmuUserMapping& m)
                              { return m.Mdl == mdl && m.UserAddress == baseAddress; });
    if (other != maps.end())
    {
        // The unmapping would hit another process's address space: the mapping
        // stays where it is.
        EmuReportFailure("MmUnmapLockedPages of a user mapping of process %u from process %u",
                         EmuProcessId(other->Process), EmuProcessId(current));
        return;
    }
    if ((mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) != 0 && baseAddress == mdl->MappedSystemVa)
    {
        mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
        return;
    }
    EmuReportFailure("MmUnmapLockedPages of %p, which MDL %p has not mapped", baseAddress,
                     (void*)mdl);
}

std::vector<EmuUserMapping> EmuUserMappings()
{
    return Io().Mappings;
}

// ----------------------------------------------------------------------------
// User-mode handles

namespace
{
void DeleteUserEvent(void* object)
{
    delete static_cast<PKEVENT>(object);
}
} // namespace

NTSTATUS EmuCreateUserEvent(PEPROCESS process, EVENT_TYPE type, BOOLEAN initialState,
                            PHANDLE handle, PKEVENT* event, ACCESS_MASK access)
{
    static EmuObjectKind kind = {*ExEventObjectType, DeleteUserEvent};
    auto* e = new KEVENT;
    KeInitializeEvent(e, type, initialState);
    EmuObRegister(e, &kind);
    PEPROCESS previous = PsGetCurrentProcess();
    Attach(process);
    NTSTATUS status = EmuObCreateHandle(e, access, UserMode, handle);
    Attach(previous);
    if (event != nullptr)
        *event = NT_SUCCESS(status) ? e : nullptr;
    ObDereferenceObject(e); // the handle holds the object now
    return status;
}

NTSTATUS EmuCloseUserHandle(PEPROCESS process, HANDLE handle)
{
    PEPROCESS previous = PsGetCurrentProcess();
    Attach(process);
    NTSTATUS status = ZwClose(handle);
    Attach(previous);
    return status;
}

void EmuRunInProcess(PEPROCESS process, void (*fn)(void*), void* context)
{
    PEPROCESS previous = PsGetCurrentProcess();
    Attach(process == nullptr ? PsInitialSystemProcess() : process);
    fn(context);
    Attach(previous);
}
