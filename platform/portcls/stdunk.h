// The reference-counted object base of port-class drivers: a non-delegating
// IUnknown that owns the count, an outer unknown that every interface table
// forwards to (the object itself unless it is aggregated), and allocation from
// the kernel pools. The last release deletes the object.
#pragma once

#include "platform/ks/unknown.h"

DECLARE_INTERFACE(INonDelegatingUnknown)
{
    virtual NTSTATUS NonDelegatingQueryInterface(REFIID interfaceId, PVOID * object) = 0;
    virtual ULONG NonDelegatingAddRef() = 0;
    virtual ULONG NonDelegatingRelease() = 0;
};
typedef INonDelegatingUnknown* PNONDELEGATINGUNKNOWN;

class CUnknown : public INonDelegatingUnknown
{
  public:
    explicit CUnknown(PUNKNOWN outerUnknown);
    virtual ~CUnknown();
    CUnknown(const CUnknown&) = delete;
    CUnknown& operator=(const CUnknown&) = delete;

    // The unknown the interface tables forward to.
    PUNKNOWN GetOuterUnknown() const { return m_pUnknownOuter; }
    // The non-delegating unknown as an IUnknown, as factories hand it out.
    PUNKNOWN GetNonDelegatingUnknown() { return &m_Forwarder; }

    NTSTATUS NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object) override;
    ULONG NonDelegatingAddRef() override;
    ULONG NonDelegatingRelease() override;

    // Objects live in the kernel pools, zeroed, under the caller's tag.
    static void* operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept;
    static void operator delete(void* p);
    static void operator delete(void* p, POOL_TYPE, ULONG) { operator delete(p); }

  protected:
    LONG m_lRefCount;
    PUNKNOWN m_pUnknownOuter;

  private:
    // The non-delegating unknown seen as an IUnknown. Objects of kernel-mode
    // code are built without run-time type information, so these calls skip
    // the sanitizer's type check.
    struct ForwardingUnknown : public IUnknown
    {
        CUnknown* Owner;
        STDMETHODIMP QueryInterface(REFIID iid, PVOID* object) override;
        STDMETHODIMP_(ULONG) AddRef() override;
        STDMETHODIMP_(ULONG) Release() override;
    } m_Forwarder;
};

// The delegating IUnknown of a class built on CUnknown; the class writes its
// own NonDelegatingQueryInterface.
#define DECLARE_STD_UNKNOWN()                                                                      \
    NTSTATUS NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object) override;              \
    STDMETHODIMP QueryInterface(REFIID interfaceId, PVOID* object) override                        \
    {                                                                                              \
        return GetOuterUnknown()->QueryInterface(interfaceId, object);                             \
    }                                                                                              \
    STDMETHODIMP_(ULONG) AddRef() override                                                         \
    {                                                                                              \
        return GetOuterUnknown()->AddRef();                                                        \
    }                                                                                              \
    STDMETHODIMP_(ULONG) Release() override                                                        \
    {                                                                                              \
        return GetOuterUnknown()->Release();                                                       \
    }
