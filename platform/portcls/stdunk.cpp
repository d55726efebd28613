// The reference-counted object base.
#include "platform/portcls/stdunk.h"

#define PC_NO_TYPE_CHECK __attribute__((no_sanitize("vptr")))

PC_NO_TYPE_CHECK NTSTATUS CUnknown::ForwardingUnknown::QueryInterface(REFIID iid, PVOID* object)
{
    return Owner->NonDelegatingQueryInterface(iid, object);
}

PC_NO_TYPE_CHECK ULONG CUnknown::ForwardingUnknown::AddRef()
{
    return Owner->NonDelegatingAddRef();
}

PC_NO_TYPE_CHECK ULONG CUnknown::ForwardingUnknown::Release()
{
    return Owner->NonDelegatingRelease();
}

CUnknown::CUnknown(PUNKNOWN outerUnknown) : m_lRefCount(0)
{
    m_Forwarder.Owner = this;
    m_pUnknownOuter = outerUnknown != nullptr ? outerUnknown : &m_Forwarder;
}

CUnknown::~CUnknown() {}

NTSTATUS CUnknown::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (IsEqualGUID(interfaceId, IID_IUnknown))
    {
        *object = &m_Forwarder;
        NonDelegatingAddRef();
        return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
}

ULONG CUnknown::NonDelegatingAddRef()
{
    return (ULONG)InterlockedIncrement(&m_lRefCount);
}

ULONG CUnknown::NonDelegatingRelease()
{
    LONG count = InterlockedDecrement(&m_lRefCount);
    if (count == 0)
    {
        // Guards against a destructor that takes and drops a reference of its own.
        m_lRefCount = 1;
        delete this;
        return 0;
    }
    if (count < 0)
        EmuReportFailure("object %p released more often than referenced", (void*)this);
    return (ULONG)count;
}

void* CUnknown::operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept
{
    void* p = ExAllocatePoolWithTag(poolType, size, tag);
    if (p != nullptr)
        memset(p, 0, size);
    return p;
}

void CUnknown::operator delete(void* p)
{
    if (p != nullptr)
        ExFreePool(p);
}
