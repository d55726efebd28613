// Service groups: a request is served from a DPC, so a member never runs
// inside the RequestService (and the spin lock) of whoever asked.
#include "platform/portcls/pc_internal.h"

namespace
{
class CServiceGroup : public CUnknown, public IServiceGroup
{
  public:
    explicit CServiceGroup(PUNKNOWN outerUnknown) : CUnknown(outerUnknown)
    {
        KeInitializeSpinLock(&m_Lock);
        KeInitializeDpc(&m_Dpc, ServiceDpc, this);
        KeInitializeTimer(&m_Timer);
    }
    ~CServiceGroup() override
    {
        KeCancelTimer(&m_Timer);
        KeRemoveQueueDpc(&m_Dpc);
        for (PSERVICESINK member : m_Members)
            member->Release();
    }
    DECLARE_STD_UNKNOWN()

    STDMETHODIMP_(void) RequestService() override { KeInsertQueueDpc(&m_Dpc, nullptr, nullptr); }
    STDMETHODIMP AddMember(PSERVICESINK serviceSink) override
    {
        if (serviceSink == nullptr)
            return STATUS_INVALID_PARAMETER;
        serviceSink->AddRef();
        KIRQL irql;
        KeAcquireSpinLock(&m_Lock, &irql);
        m_Members.push_back(serviceSink);
        KeReleaseSpinLock(&m_Lock, irql);
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(void) RemoveMember(PSERVICESINK serviceSink) override
    {
        bool found = false;
        KIRQL irql;
        KeAcquireSpinLock(&m_Lock, &irql);
        for (auto it = m_Members.begin(); it != m_Members.end(); ++it)
        {
            if (*it == serviceSink)
            {
                m_Members.erase(it);
                found = true;
                break;
            }
        }
        KeReleaseSpinLock(&m_Lock, irql);
        if (found)
            serviceSink->Release();
    }
    STDMETHODIMP_(void) SupportDelayedService() override { m_DelayedSupported = true; }
    STDMETHODIMP_(void) RequestDelayedService(ULONGLONG delay100ns) override
    {
        if (!m_DelayedSupported)
            return;
        LARGE_INTEGER due;
        due.QuadPart = -(LONGLONG)delay100ns;
        KeSetTimer(&m_Timer, due, &m_Dpc);
    }
    STDMETHODIMP_(void) CancelDelayedService() override { KeCancelTimer(&m_Timer); }

  private:
    static void ServiceDpc(PKDPC, PVOID context, PVOID, PVOID)
    {
        auto group = static_cast<CServiceGroup*>(context);
        KeAcquireSpinLockAtDpcLevel(&group->m_Lock);
        // Members may leave while they are served; serve a snapshot.
        std::vector<PSERVICESINK> members = group->m_Members;
        for (PSERVICESINK member : members)
            member->AddRef();
        KeReleaseSpinLockFromDpcLevel(&group->m_Lock);
        for (PSERVICESINK member : members)
        {
            member->RequestService();
            member->Release();
        }
    }

    KSPIN_LOCK m_Lock;
    KDPC m_Dpc;
    KTIMER m_Timer;
    bool m_DelayedSupported = false;
    std::vector<PSERVICESINK> m_Members;
};

NTSTATUS CServiceGroup::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object != nullptr &&
        (IsEqualGUID(interfaceId, IID_IServiceGroup) || IsEqualGUID(interfaceId, IID_IServiceSink)))
    {
        *object = static_cast<IServiceGroup*>(this);
        // Counted through the interface: on the outer object when aggregated.
        static_cast<IServiceGroup*>(this)->AddRef();
        return STATUS_SUCCESS;
    }
    return CUnknown::NonDelegatingQueryInterface(interfaceId, object);
}
} // namespace

NTSTATUS PcNewServiceGroup(PSERVICEGROUP* outServiceGroup, PUNKNOWN outerUnknown)
{
    if (outServiceGroup == nullptr)
        return STATUS_INVALID_PARAMETER;
    *outServiceGroup = nullptr;
    auto group = new (NonPagedPool, PC_TAG_SERVICE_GROUP) CServiceGroup(outerUnknown);
    if (group == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    group->NonDelegatingAddRef();
    *outServiceGroup = group;
    return STATUS_SUCCESS;
}
