// The object base: reference counting, interface lookup and aggregation.
#include <gtest/gtest.h>

#include "platform/kernel/emu.h"
#include "platform/portcls/portcls.h"
#include "platform/portcls/stdunk.h"

namespace
{
const ULONG kTag = POOL_TAG("TsUk");

// An inner object that answers IPowerNotify; aggregated or standing alone.
class Part : public CUnknown, public IPowerNotify
{
  public:
    explicit Part(PUNKNOWN outer) : CUnknown(outer) {}
    DECLARE_STD_UNKNOWN()
    STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE state) override { Last = state.DeviceState; }
    DEVICE_POWER_STATE Last = PowerDeviceUnspecified;
    LONG Count() const { return m_lRefCount; }
};

NTSTATUS Part::NonDelegatingQueryInterface(REFIID iid, PVOID* object)
{
    if (IsEqualGUID(iid, IID_IPowerNotify))
    {
        *object = static_cast<IPowerNotify*>(this);
        // Counted through the interface: on the outer object when aggregated.
        static_cast<IPowerNotify*>(this)->AddRef();
        return STATUS_SUCCESS;
    }
    return CUnknown::NonDelegatingQueryInterface(iid, object);
}

// An outer object that exposes the inner's IPowerNotify as its own.
class Outer : public CUnknown, public IServiceSink
{
  public:
    Outer() : CUnknown(nullptr)
    {
        m_Inner = new (NonPagedPool, kTag) Part(GetOuterUnknown());
        m_Inner->NonDelegatingAddRef();
    }
    ~Outer() override { m_Inner->NonDelegatingRelease(); }
    DECLARE_STD_UNKNOWN()
    STDMETHODIMP_(void) RequestService() override {}
    Part* m_Inner;
    LONG Count() const { return m_lRefCount; }
};

NTSTATUS Outer::NonDelegatingQueryInterface(REFIID iid, PVOID* object)
{
    if (IsEqualGUID(iid, IID_IServiceSink))
    {
        *object = static_cast<IServiceSink*>(this);
        NonDelegatingAddRef();
        return STATUS_SUCCESS;
    }
    if (IsEqualGUID(iid, IID_IPowerNotify))
        return m_Inner->NonDelegatingQueryInterface(iid, object);
    return CUnknown::NonDelegatingQueryInterface(iid, object);
}
} // namespace

TEST(Unknown, StandaloneObjectCountsAndDeletesAtLastRelease)
{
    auto o = new (NonPagedPool, kTag) Part(nullptr);
    ASSERT_NE(nullptr, o);
    EXPECT_EQ(0, o->Count());
    PUNKNOWN unknown = o->GetNonDelegatingUnknown();
    EXPECT_EQ(1u, unknown->AddRef());
    PPOWERNOTIFY notify = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, unknown->QueryInterface(IID_IPowerNotify, (PVOID*)&notify));
    EXPECT_EQ(2, o->Count());
    // Any interface's IUnknown reaches the same object.
    PUNKNOWN again = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, notify->QueryInterface(IID_IUnknown, (PVOID*)&again));
    EXPECT_EQ(unknown, again);
    again->Release();
    PVOID none = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, unknown->QueryInterface(IID_IServiceSink, &none));
    EXPECT_EQ(nullptr, none);
    EXPECT_EQ(1u, notify->Release());
    EXPECT_EQ(1u, EmuPoolOutstandingCount(kTag));
    EXPECT_EQ(0u, unknown->Release());
    EXPECT_EQ(0u, EmuPoolOutstandingCount(kTag));
}

TEST(Unknown, AggregatedInnerForwardsToItsOuter)
{
    auto outer = new (NonPagedPool, kTag) Outer();
    PUNKNOWN unknown = outer->GetNonDelegatingUnknown();
    unknown->AddRef();
    PPOWERNOTIFY notify = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, unknown->QueryInterface(IID_IPowerNotify, (PVOID*)&notify));
    // The inner's interface counts on the outer and finds the outer's interfaces.
    EXPECT_EQ(2, outer->Count());
    EXPECT_EQ(1, outer->m_Inner->Count());
    PSERVICESINK sink = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, notify->QueryInterface(IID_IServiceSink, (PVOID*)&sink));
    EXPECT_EQ(static_cast<IServiceSink*>(outer), sink);
    EXPECT_EQ(3, outer->Count());
    sink->Release();
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    notify->PowerChangeNotify(d3);
    EXPECT_EQ(PowerDeviceD3, outer->m_Inner->Last);
    notify->Release();
    EXPECT_EQ(2u, EmuPoolOutstandingCount(kTag));
    unknown->Release(); // the outer deletes its inner
    EXPECT_EQ(0u, EmuPoolOutstandingCount(kTag));
}
