#include <gtest/gtest.h>

#include "framework/audio_control.h"
#include "platform/kernel/emu.h"

namespace
{
DEFINE_GUID(IID_Unrelated, 0x12345678L, 0x1111, 0x2222, 0x33, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66,
            0x66);

// A control the way the device model makes them: pool object, referenced by
// its creator, released when done.
CAudioControl* MakeControl(ULONG id, ULONG kind, PUNKNOWN outer = nullptr)
{
    auto* c = new (NonPagedPoolNx, POOL_TAG("TEST")) CAudioControl(outer, id, kind);
    if (c != nullptr)
        c->AddRef();
    return c;
}

// An outer object that counts the calls forwarded to it.
struct CountingOuter : public IUnknown
{
    ULONG AddRefs = 0;
    ULONG Releases = 0;
    ULONG Queries = 0;
    STDMETHODIMP QueryInterface(REFIID, PVOID* object) override
    {
        ++Queries;
        *object = nullptr;
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++AddRefs; }
    STDMETHODIMP_(ULONG) Release() override { return ++Releases; }
};
} // namespace

TEST(AudioControl, ConstructionKeepsIdAndKindWithoutValues)
{
    CAudioControl* c = MakeControl(17, CONTROL_KIND_PSEUDO);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->GetId(), 17u);
    EXPECT_EQ(c->GetKind(), 23u);
    EXPECT_EQ(c->GetValueCount(), 0u);
    EXPECT_EQ(c->RestoreState(), STATUS_SUCCESS);
    EXPECT_EQ(c->UpdateState(), STATUS_SUCCESS);
    EXPECT_EQ(c->Start(), STATUS_SUCCESS);
    EXPECT_EQ(c->Stop(), STATUS_SUCCESS);
    // Without values: nothing copied, count lowered to 0.
    ULONG out[4] = {9, 9, 9, 9};
    ULONG count = 4;
    EXPECT_EQ(c->GetValues(&count, out), STATUS_SUCCESS);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(out[0], 9u);
    EXPECT_EQ(c->Release(), 0u);
}

TEST(AudioControl, TwelveOperationsInFixedPlaces)
{
    CAudioControl* c = MakeControl(5, CONTROL_KIND_SELECTOR);
    ASSERT_NE(c, nullptr);
    ULONG values[2] = {31, 32};
    ASSERT_EQ(c->SetValueArray(2, values), STATUS_SUCCESS);
    // Callers that know only the root call through the table by place.
    void** table = *reinterpret_cast<void***>(static_cast<IUnknown*>(c));
    using GetU = ULONG (*)(CAudioControl*);
    using Status0 = NTSTATUS (*)(CAudioControl*);
    using GetVals = NTSTATUS (*)(CAudioControl*, PULONG, PULONG);
    using SetVals = NTSTATUS (*)(CAudioControl*, ULONG, const ULONG*);
    EXPECT_EQ(reinterpret_cast<GetU>(table[1])(c), 2u); // AddRef
    EXPECT_EQ(reinterpret_cast<GetU>(table[2])(c), 1u); // Release
    EXPECT_EQ(reinterpret_cast<GetU>(table[3])(c), 5u); // GetId
    EXPECT_EQ(reinterpret_cast<GetU>(table[4])(c), 4u); // GetKind
    EXPECT_EQ(reinterpret_cast<GetU>(table[5])(c), 2u); // GetValueCount
    ULONG out[2] = {};
    ULONG count = 2;
    EXPECT_EQ(reinterpret_cast<GetVals>(table[6])(c, &count, out), STATUS_SUCCESS);
    EXPECT_EQ(out[1], 32u);
    for (int slot = 7; slot <= 10; ++slot) // RestoreState, UpdateState, Start, Stop
        EXPECT_EQ(reinterpret_cast<Status0>(table[slot])(c), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<SetVals>(table[11])(c, 0, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(c->GetValueCount(), 0u);
    c->Release();
}

TEST(AudioControl, GetValuesClipsTheCallersCount)
{
    CAudioControl* c = MakeControl(1, CONTROL_KIND_MIXER_UNIT);
    ASSERT_NE(c, nullptr);
    const ULONG src[2] = {0xDEADBEEF, 7};
    ASSERT_EQ(c->SetValueArray(2, src), STATUS_SUCCESS);
    ULONG out[10];
    for (ULONG& v : out)
        v = 0x5A5A5A5A;
    ULONG count = 10;
    EXPECT_EQ(c->GetValues(&count, out), STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(out[0], 0xDEADBEEFu);
    EXPECT_EQ(out[1], 7u);
    EXPECT_EQ(out[2], 0x5A5A5A5Au);
    // Asking for fewer copies fewer.
    count = 1;
    out[0] = out[1] = 0;
    EXPECT_EQ(c->GetValues(&count, out), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(out[0], 0xDEADBEEFu);
    EXPECT_EQ(out[1], 0u);
    // Null count or array.
    EXPECT_EQ(c->GetValues(nullptr, out), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(c->GetValues(&count, nullptr), STATUS_INVALID_PARAMETER);
    c->Release();
}

TEST(AudioControl, SetValueArrayCopiesReplacesAndClears)
{
    CAudioControl* c = MakeControl(2, CONTROL_KIND_GENERIC);
    ASSERT_NE(c, nullptr);
    ULONG src[3] = {1, 2, 3};
    ASSERT_EQ(c->SetValueArray(3, src), STATUS_SUCCESS);
    src[0] = 100; // the control holds its own copy
    ULONG out[3] = {};
    ULONG count = 3;
    c->GetValues(&count, out);
    EXPECT_EQ(out[0], 1u);
    // A paged block under "Topo" of exactly count x 4 bytes.
    std::vector<EmuPoolBlock> blocks = EmuPoolOutstanding();
    size_t topo = 0;
    for (const EmuPoolBlock& b : blocks)
        if (b.Tag == POOL_TAG("Topo"))
        {
            ++topo;
            EXPECT_EQ(b.Size, 12u);
            EXPECT_EQ(b.Type, PagedPool);
        }
    EXPECT_EQ(topo, 1u);

    // Count 3 with a null array fails and changes nothing.
    EXPECT_EQ(c->SetValueArray(3, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(c->GetValueCount(), 3u);

    // Replacing frees the old array (no block left behind).
    ULONG two[2] = {8, 9};
    ASSERT_EQ(c->SetValueArray(2, two), STATUS_SUCCESS);
    EXPECT_EQ(EmuPoolOutstandingCount(POOL_TAG("Topo")), 1u);

    // Count 0 with a null array clears.
    EXPECT_EQ(c->SetValueArray(0, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(c->GetValueCount(), 0u);
    EXPECT_EQ(EmuPoolOutstandingCount(POOL_TAG("Topo")), 0u);
    c->Release();
}

TEST(AudioControl, SetValueArrayFromItsOwnValues)
{
    CAudioControl* c = MakeControl(3, CONTROL_KIND_GENERIC);
    ASSERT_NE(c, nullptr);
    ULONG src[4] = {4, 5, 6, 7};
    ASSERT_EQ(c->SetValueArray(4, src), STATUS_SUCCESS);
    // Hand the control its own array back (shorter): the copy must come first.
    ULONG tmp[4];
    ULONG count = 4;
    c->GetValues(&count, tmp);
    struct Peek : CAudioControl
    {
        PULONG Values() { return m_Values; }
    };
    PULONG own = static_cast<Peek*>(c)->Values();
    ASSERT_EQ(c->SetValueArray(3, own), STATUS_SUCCESS);
    ULONG out[3] = {};
    count = 3;
    c->GetValues(&count, out);
    EXPECT_EQ(out[0], 4u);
    EXPECT_EQ(out[2], 6u);
    c->Release();
}

TEST(AudioControl, AllocationFailureLeavesNoValues)
{
    CAudioControl* c = MakeControl(4, CONTROL_KIND_LIST);
    ASSERT_NE(c, nullptr);
    ULONG src[2] = {1, 2};
    ASSERT_EQ(c->SetValueArray(2, src), STATUS_SUCCESS);
    EmuPoolInjectFailure(POOL_TAG("Topo"), 0, 1);
    EXPECT_EQ(c->SetValueArray(2, src), STATUS_INSUFFICIENT_RESOURCES);
    EmuPoolClearInjection();
    EXPECT_EQ(c->GetValueCount(), 0u);
    EXPECT_EQ(EmuPoolOutstandingCount(POOL_TAG("Topo")), 0u);
    c->Release();
}

TEST(AudioControl, QueryInterfaceAnswersTheRootAndIUnknownOnly)
{
    CAudioControl* c = MakeControl(6, CONTROL_KIND_GENERIC);
    ASSERT_NE(c, nullptr);
    ULONG src[5] = {1, 2, 3, 4, 5};
    ASSERT_EQ(c->SetValueArray(5, src), STATUS_SUCCESS);
    PVOID p = reinterpret_cast<PVOID>(0x1);
    EXPECT_EQ(c->QueryInterface(IID_Unrelated, &p), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(p, nullptr);
    // The GUID value of the control root.
    const GUID expected = {
        0x200AFF7F, 0x71A4, 0x4FFC, {0xBF, 0x4F, 0x61, 0xF2, 0xB8, 0xA5, 0x22, 0xB5}};
    EXPECT_TRUE(IsEqualGUID(IID_CAudioControl, expected));
    ASSERT_EQ(c->QueryInterface(IID_CAudioControl, &p), STATUS_SUCCESS);
    EXPECT_EQ(p, static_cast<IUnknown*>(c));
    PVOID u = nullptr;
    ASSERT_EQ(c->QueryInterface(IID_IUnknown, &u), STATUS_SUCCESS);
    EXPECT_EQ(u, static_cast<IUnknown*>(c));
    // Two references handed out plus the creator's.
    EXPECT_EQ(static_cast<IUnknown*>(u)->Release(), 2u);
    EXPECT_EQ(static_cast<IUnknown*>(p)->Release(), 1u);
    // The last release deletes the object and its values.
    EXPECT_EQ(c->Release(), 0u);
    EXPECT_EQ(EmuPoolOutstandingCount(POOL_TAG("TEST")), 0u);
    EXPECT_EQ(EmuPoolOutstandingCount(POOL_TAG("Topo")), 0u);
}

TEST(AudioControl, AggregatedControlForwardsToItsOuter)
{
    CountingOuter outer;
    auto* c = new (NonPagedPoolNx, POOL_TAG("TEST")) CAudioControl(&outer, 9, CONTROL_KIND_GENERIC);
    ASSERT_NE(c, nullptr);
    c->AddRef();
    c->Release();
    PVOID p = nullptr;
    c->QueryInterface(IID_CAudioControl, &p);
    EXPECT_EQ(outer.AddRefs, 1u);
    EXPECT_EQ(outer.Releases, 1u);
    EXPECT_EQ(outer.Queries, 1u);
    // The owner answers for the object through the non-delegating unknown.
    ASSERT_EQ(c->NonDelegatingQueryInterface(IID_CAudioControl, &p), STATUS_SUCCESS);
    EXPECT_EQ(outer.AddRefs, 2u);
    // The non-delegating count is still 0; deleting goes through it.
    c->NonDelegatingAddRef();
    EXPECT_EQ(c->NonDelegatingRelease(), 0u);
    EXPECT_EQ(EmuPoolOutstandingCount(POOL_TAG("TEST")), 0u);
}
