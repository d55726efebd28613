// Service groups serve their members from a DPC: never inside the caller's
// RequestService, once per queued request, and after a delay when asked.
#include <gtest/gtest.h>

#include "platform/kernel/emu.h"
#include "platform/portcls/stdunk.h"
#include "tests/platform/portcls/pc_rig.h"

namespace
{
class CountingSink : public CUnknown, public IServiceSink
{
  public:
    CountingSink() : CUnknown(nullptr) {}
    DECLARE_STD_UNKNOWN()
    STDMETHODIMP_(void) RequestService() override
    {
        ++Calls;
        LastIrql = KeGetCurrentIrql();
        if (Inside != nullptr && *Inside)
            ++CallsInside;
    }
    int Calls = 0;
    int CallsInside = 0;
    KIRQL LastIrql = 0xFF;
    bool* Inside = nullptr;
    LONG Refs() const { return m_lRefCount; }
};

NTSTATUS CountingSink::NonDelegatingQueryInterface(REFIID iid, PVOID* object)
{
    if (IsEqualGUID(iid, IID_IServiceSink))
    {
        *object = static_cast<IServiceSink*>(this);
        NonDelegatingAddRef();
        return STATUS_SUCCESS;
    }
    return CUnknown::NonDelegatingQueryInterface(iid, object);
}

struct Group
{
    PSERVICEGROUP G = nullptr;
    CountingSink* Sink = new (NonPagedPool, POOL_TAG("TsSg")) CountingSink();
    Group()
    {
        Sink->NonDelegatingAddRef();
        EXPECT_EQ(STATUS_SUCCESS, PcNewServiceGroup(&G, nullptr));
        EXPECT_EQ(STATUS_SUCCESS, G->AddMember(Sink));
    }
    ~Group()
    {
        G->RemoveMember(Sink);
        G->Release();
        Sink->NonDelegatingRelease();
    }
};
} // namespace

TEST(ServiceGroup, RequestIsServedFromDpcNotInsideTheCaller)
{
    Group g;
    bool inside = false;
    g.Sink->Inside = &inside;
    // The caller holds a spin lock, as a stream reporting a position does.
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    inside = true;
    g.G->RequestService();
    g.G->RequestService(); // a second request before the DPC ran is the same service
    inside = false;
    EXPECT_EQ(0, g.Sink->Calls);
    KeReleaseSpinLock(&lock, irql);
    EXPECT_EQ(1, g.Sink->Calls);
    EXPECT_EQ(0, g.Sink->CallsInside);
    EXPECT_EQ(DISPATCH_LEVEL, g.Sink->LastIrql);
    // At PASSIVE_LEVEL the DPC runs at once, still at DISPATCH_LEVEL.
    g.G->RequestService();
    EXPECT_EQ(2, g.Sink->Calls);
    EXPECT_EQ(DISPATCH_LEVEL, g.Sink->LastIrql);
}

TEST(ServiceGroup, MembersAreReferencedUntilRemoved)
{
    Group g;
    EXPECT_EQ(2, g.Sink->Refs()); // ours and the group's
    EXPECT_EQ(STATUS_INVALID_PARAMETER, g.G->AddMember(nullptr));
    g.G->RemoveMember(g.Sink);
    EXPECT_EQ(1, g.Sink->Refs());
    g.G->RequestService();
    EXPECT_EQ(0, g.Sink->Calls);
    g.G->RemoveMember(g.Sink); // not a member: nothing happens
    EXPECT_EQ(1, g.Sink->Refs());
    EXPECT_EQ(STATUS_SUCCESS, g.G->AddMember(g.Sink));
}

TEST(ServiceGroup, DelayedServiceWaitsForItsTimeAndCanBeCancelled)
{
    Group g;
    g.G->RequestDelayedService(20 * 10000); // not supported yet: ignored
    EmuAdvanceMs(30);
    EXPECT_EQ(0, g.Sink->Calls);
    g.G->SupportDelayedService();
    g.G->RequestDelayedService(20 * 10000);
    EmuAdvanceMs(19);
    EXPECT_EQ(0, g.Sink->Calls);
    EmuAdvanceMs(1);
    EXPECT_EQ(1, g.Sink->Calls);
    g.G->RequestDelayedService(10 * 10000);
    g.G->CancelDelayedService();
    EmuAdvanceMs(20);
    EXPECT_EQ(1, g.Sink->Calls);
    EXPECT_EQ(0u, EmuArmedTimerCount());
}

TEST(ServiceGroup, GroupWithQueuedServiceCanBeDestroyed)
{
    PSERVICEGROUP g = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, PcNewServiceGroup(&g, nullptr));
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    g->RequestService();
    g->SupportDelayedService();
    g->RequestDelayedService(10000);
    g->Release(); // the queued DPC and the timer go with it
    KeLowerIrql(irql);
    EXPECT_EQ(0u, EmuQueuedDpcCount());
    EXPECT_EQ(0u, EmuArmedTimerCount());
}
