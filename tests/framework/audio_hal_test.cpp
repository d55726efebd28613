#include <gtest/gtest.h>

#include "platform/kernel/emu.h"
#include "tests/framework/frame_doubles.h"

namespace
{
const ULONG kHalb = POOL_TAG("HALB");

// A device opened with a set-up that registers what the test gives it.
struct OpenedDevice
{
    TestDevice* Device = nullptr;
    NTSTATUS Status = STATUS_UNSUCCESSFUL;

    OpenedDevice(std::vector<CAudioControl*> units, std::vector<CStreamEngine*> engines = {})
    {
        DoubleLog().clear();
        Device = MakeDevice();
        Device->Setup = [units, engines](TestDevice* d)
        {
            for (CAudioControl* u : units)
                if (NTSTATUS s = d->AddUnitObject(u); !NT_SUCCESS(s))
                    return s;
            for (CStreamEngine* e : engines)
                if (NTSTATUS s = d->AddStreamObject(e); !NT_SUCCESS(s))
                    return s;
            return STATUS_SUCCESS;
        };
        auto fdo = reinterpret_cast<PDEVICE_OBJECT>(0x1000);
        Status =
            Device->OpenAudioHalCallback(nullptr, fdo, reinterpret_cast<PDEVICE_OBJECT>(0x2000),
                                         reinterpret_cast<PDEVICE_OBJECT>(0x3000));
        // The device holds its own references now.
        for (CAudioControl* u : units)
            u->Release();
        for (CStreamEngine* e : engines)
            e->Release();
    }
    ~OpenedDevice()
    {
        if (Device != nullptr)
            Device->Release();
    }
};

std::u16string HalCallbackName(TestDevice* device)
{
    WCHAR name[64];
    RtlStringCbPrintfW(name, sizeof(name), u"\\Callback\\AudioHalAddr%p", AsAdapter(device));
    return name;
}

PCALLBACK_OBJECT OpenByName(const std::u16string& name)
{
    UNICODE_STRING us;
    RtlInitUnicodeString(&us, name.c_str());
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    PCALLBACK_OBJECT found = nullptr;
    return NT_SUCCESS(ExCreateCallback(&found, &oa, FALSE, FALSE)) ? found : nullptr;
}

std::vector<std::string> Log()
{
    return DoubleLog();
}

class TestModel : public IDeviceModel
{
  public:
    STDMETHODIMP QueryInterface(REFIID, PVOID*) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP_(ULONG) AddRef() override { return 1; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateMiniports(ULONG) override { return STATUS_SUCCESS; }
    STDMETHODIMP GetUnitList(CPtrList**) override { return STATUS_SUCCESS; }
    STDMETHODIMP ParseAudioControl(struct _USB_INTERFACE_DESCRIPTOR*, ULONG) override
    {
        return STATUS_SUCCESS;
    }
    STDMETHODIMP ParseAudioStreaming(struct _USB_CONFIGURATION_DESCRIPTOR*,
                                     struct _USB_INTERFACE_DESCRIPTOR*, ULONG) override
    {
        return STATUS_SUCCESS;
    }
    STDMETHODIMP PostParse() override
    {
        DoubleLog().push_back("prestart");
        return STATUS_SUCCESS;
    }
};
} // namespace

TEST(AudioHal, OpenCreatesListsAndCallbackObjectThenRunsSetUp)
{
    OpenedDevice d({MakeUnit(1, CONTROL_KIND_GENERIC)}, {MakeEngine(0)});
    ASSERT_EQ(d.Status, STATUS_SUCCESS);
    TestDevice* device = d.Device;
    EXPECT_EQ(device->GetDeviceObject(), reinterpret_cast<PDEVICE_OBJECT>(0x1000));
    EXPECT_EQ(device->Next(), reinterpret_cast<PDEVICE_OBJECT>(0x2000));
    EXPECT_EQ(device->Physical(), reinterpret_cast<PDEVICE_OBJECT>(0x3000));
    EXPECT_EQ(device->GetPowerState(), 1u);
    EXPECT_EQ(EmuPoolOutstandingCount(kHalb), 2u);
    EXPECT_EQ(EmuPoolOutstandingBytes(kHalb), 48u);
    EXPECT_EQ(EmuPoolOutstandingCount(POOL_TAG("Temp")), 0u);
    EXPECT_EQ(device->GetUnitCount(), 1u);
    EXPECT_EQ(device->GetEngineCount(), 1u);
    // Set-up ends with the units restored.
    EXPECT_EQ(Log(), std::vector<std::string>({"restore 1"}));

    PCALLBACK_OBJECT named = OpenByName(HalCallbackName(device));
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(named, device->GetCallbackObject());
    ObDereferenceObject(named);
    // Opened once only.
    EXPECT_EQ(device->OpenAudioHalCallback(nullptr, nullptr, nullptr, nullptr),
              STATUS_INVALID_DEVICE_STATE);
}

TEST(AudioHal, FailedOpenEmptiesTheListsAndKeepsTheCallbackObject)
{
    TestUnit* unit = MakeUnit(1, CONTROL_KIND_GENERIC);
    TestDevice* device = MakeDevice();
    // The base's InitDevice is not implemented: a device class must parse.
    EXPECT_EQ(device->CAudioHal::InitDevice(), STATUS_NOT_IMPLEMENTED);
    device->Setup = [unit](TestDevice* d)
    {
        d->AddUnitObject(unit);
        return STATUS_NOT_IMPLEMENTED;
    };
    EXPECT_EQ(device->OpenAudioHalCallback(nullptr, nullptr, nullptr, nullptr),
              STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(EmuPoolOutstandingCount(kHalb), 0u);
    EXPECT_EQ(device->GetUnitCount(), 0u);
    unit->AddRef();
    EXPECT_EQ(unit->Release(), 1u); // the list's reference was given back
    const std::u16string name = HalCallbackName(device);
    PCALLBACK_OBJECT named = OpenByName(name);
    ASSERT_NE(named, nullptr);
    ObDereferenceObject(named);
    device->Release();
    EXPECT_EQ(OpenByName(name), nullptr); // gone with the device
    unit->Release();

    // A list that cannot be allocated.
    for (ULONG skip : {0u, 1u})
    {
        TestDevice* other = MakeDevice();
        EmuPoolInjectFailure(kHalb, skip);
        EXPECT_EQ(other->OpenAudioHalCallback(nullptr, nullptr, nullptr, nullptr),
                  STATUS_INSUFFICIENT_RESOURCES);
        EmuPoolClearInjection();
        EXPECT_EQ(EmuPoolOutstandingCount(kHalb), 0u);
        other->Release();
    }
}

TEST(AudioHal, IndexOperationsWithoutListsAndOutOfRange)
{
    TestDevice* bare = MakeDevice();
    CStreamEngine* engine = reinterpret_cast<CStreamEngine*>(0x1);
    EXPECT_EQ(bare->GetEngineCount(), 0u);
    EXPECT_EQ(bare->GetUnitCount(), 0u);
    EXPECT_EQ(bare->GetEngine(0, &engine), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(engine, nullptr);
    CAudioControl* unit = nullptr;
    EXPECT_EQ(bare->GetUnit(0, &unit), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bare->StopAllUnits(), STATUS_SUCCESS);
    EXPECT_EQ(bare->InitAllUnits(), STATUS_SUCCESS);
    EXPECT_EQ(bare->FindUnitById(1, &unit), STATUS_UNSUCCESSFUL);
    PVOID registration = nullptr;
    EXPECT_EQ(bare->RegisterCallback([](PVOID, PVOID, PVOID) {}, nullptr, &registration),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bare->AddUnitObject(nullptr), STATUS_INVALID_PARAMETER);
    bare->Release();

    TestEngine* e0 = MakeEngine(0);
    TestEngine* e1 = MakeEngine(1);
    OpenedDevice d({MakeUnit(4, 0)}, {e0, e1});
    ASSERT_EQ(d.Status, STATUS_SUCCESS);
    ASSERT_EQ(d.Device->GetEngine(1, &engine), STATUS_SUCCESS);
    EXPECT_EQ(engine, static_cast<CStreamEngine*>(e1));
    engine = reinterpret_cast<CStreamEngine*>(0x1);
    EXPECT_EQ(d.Device->GetEngine(2, &engine), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(engine, nullptr);
    EXPECT_EQ(d.Device->GetEngine(0, nullptr), STATUS_INVALID_PARAMETER);
    unit = reinterpret_cast<CAudioControl*>(0x1);
    EXPECT_EQ(d.Device->GetUnit(1, &unit), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unit, nullptr);
    EXPECT_EQ(d.Device->AddStreamObject(nullptr), STATUS_INVALID_PARAMETER);
    // No reference for the caller.
    e0->AddRef();
    EXPECT_EQ(e0->Release(), 1u);
}

TEST(AudioHal, RegistrationThatCannotBeAppendedGivesTheReferenceBack)
{
    OpenedDevice d({});
    ASSERT_EQ(d.Status, STATUS_SUCCESS);
    TestUnit* unit = MakeUnit(3, 0);
    TestEngine* engine = MakeEngine(0);
    EmuPoolInjectFailure(POOL_TAG("Lis"), 0, 2);
    EXPECT_EQ(d.Device->AddUnitObject(unit), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(d.Device->AddStreamObject(engine), STATUS_INSUFFICIENT_RESOURCES);
    EmuPoolClearInjection();
    EXPECT_EQ(unit->Release(), 0u);
    EXPECT_EQ(engine->Release(), 0u);
}

TEST(AudioHal, FindUnitByIdReturnsTheLastMatch)
{
    TestUnit* first = MakeUnit(7, 0);
    TestUnit* second = MakeUnit(7, 1);
    OpenedDevice d({MakeUnit(6, 0), first, second, MakeUnit(8, 0)});
    ASSERT_EQ(d.Status, STATUS_SUCCESS);
    CAudioControl* found = nullptr;
    ASSERT_EQ(d.Device->FindUnitById(7, &found), STATUS_SUCCESS);
    EXPECT_EQ(found, static_cast<CAudioControl*>(second));
    found = reinterpret_cast<CAudioControl*>(0x1);
    EXPECT_EQ(d.Device->FindUnitById(9, &found), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(d.Device->FindUnitById(7, nullptr), STATUS_INVALID_PARAMETER);
}

// A unit the device refuses is passed and the others are restored; a
// device that is gone ends the walk, and the open, with its status.
TEST(AudioHal, UnitsAreRestoredInOrderPastARefusalUntilTheDeviceIsGone)
{
    struct Case
    {
        NTSTATUS Second;
        NTSTATUS Open;
        std::vector<std::string> Restored;
    } cases[] = {
        {STATUS_UNSUCCESSFUL, STATUS_SUCCESS, {"restore 1", "restore 2", "restore 3"}},
        {STATUS_INVALID_PARAMETER, STATUS_SUCCESS, {"restore 1", "restore 2", "restore 3"}},
        {STATUS_NO_SUCH_DEVICE, STATUS_NO_SUCH_DEVICE, {"restore 1", "restore 2"}},
        {STATUS_DEVICE_NOT_CONNECTED, STATUS_DEVICE_NOT_CONNECTED, {"restore 1", "restore 2"}},
    };
    for (const Case& c : cases)
    {
        DoubleLog().clear();
        TestUnit* second = MakeUnit(2, 0);
        second->RestoreStatus = c.Second;
        OpenedDevice d({MakeUnit(1, 0), second, MakeUnit(3, 0)});
        EXPECT_EQ(d.Status, c.Open);
        EXPECT_EQ(Log(), c.Restored) << std::hex << c.Second;
        // The lists are gone again after a failed open only.
        EXPECT_EQ(d.Device->GetUnitCount(), NT_SUCCESS(c.Open) ? 3u : 0u);
    }

    TestUnit* last = MakeUnit(3, 0);
    last->RestoreStatus = STATUS_MORE_ENTRIES; // a success status is passed on
    OpenedDevice ok({MakeUnit(1, 0), last});
    EXPECT_EQ(ok.Status, STATUS_MORE_ENTRIES);
    DoubleLog().clear();
    EXPECT_EQ(ok.Device->InitAllUnits(), STATUS_MORE_ENTRIES);
    EXPECT_EQ(Log(), std::vector<std::string>({"restore 1", "restore 3"}));
}

TEST(AudioHal, StartAndStopReachEveryUnitWhateverTheyReturn)
{
    OpenedDevice d({MakeUnit(1, 0), MakeUnit(2, 0)});
    ASSERT_EQ(d.Status, STATUS_SUCCESS);
    DoubleLog().clear();
    EXPECT_EQ(d.Device->CAudioHal::StartAllUnits(), STATUS_SUCCESS);
    EXPECT_EQ(d.Device->CAudioHal::StopAllUnits(), STATUS_SUCCESS);
    EXPECT_EQ(Log(), std::vector<std::string>({"start 1", "start 2", "stop 1", "stop 2"}));
}

TEST(AudioHal, SelectorInputsAreLinkedDeepestFirst)
{
    // Selector 20: input 1 from unit 5 <- 4 <- 3 <- terminal 1; input 2 from
    // the two-input mixer 8. Unit 4 does not follow selectors.
    TestSelector* selector = MakeSelector(20, {5, 8});
    selector->Current = 2;
    TestUnit* u5 = MakeUnit(5, 0, {4});
    TestUnit* u4 = MakeUnit(4, 0, {3});
    TestUnit* u3 = MakeUnit(3, 0, {1});
    TestUnit* t1 = MakeUnit(1, 0);
    TestUnit* mixer = MakeUnit(8, CONTROL_KIND_MIXER_UNIT, {3, 4});
    for (TestUnit* u : {u5, u3, t1, mixer})
        u->FollowsSelector = true;
    OpenedDevice d({selector, u5, u4, u3, t1, mixer});
    ASSERT_EQ(d.Status, STATUS_SUCCESS);
    std::vector<std::string> expected = {"listener 20", "index 3=1", "state 3=2", "listener 20",
                                         "index 5=1",   "state 5=2", "restore 5", "restore 4",
                                         "restore 3",   "restore 1", "restore 8"};
    EXPECT_EQ(Log(), expected);
    EXPECT_EQ(selector->Listeners.size(), 2u);
    EXPECT_EQ(t1->Index, 0u);
    EXPECT_EQ(mixer->Index, 0u);
}

TEST(AudioHal, SelectorsWithElevenInputsAreNotLinked)
{
    std::vector<ULONG> ten = {2, 2, 2, 2, 2, 2, 2, 2, 2, 2};
    std::vector<ULONG> eleven = ten;
    eleven.push_back(2);
    TestSelector* big = MakeSelector(30, eleven);
    TestSelector* small = MakeSelector(31, ten);
    TestUnit* feed = MakeUnit(2, 0, {1});
    feed->FollowsSelector = true;
    OpenedDevice d({big, small, feed});
    ASSERT_EQ(d.Status, STATUS_SUCCESS);
    EXPECT_TRUE(big->Listeners.empty());
    EXPECT_EQ(small->Listeners.size(), 10u);
    EXPECT_EQ(feed->Index, 10u); // the last input it was linked for
}

TEST(AudioHal, SelectorLinkingStopsOnACycleOfSourceIds)
{
    TestSelector* selector = MakeSelector(40, {30});
    TestUnit* a = MakeUnit(30, 0, {31});
    TestUnit* b = MakeUnit(31, 0, {30});
    TestUnit* self = MakeUnit(32, 0, {32});
    a->FollowsSelector = b->FollowsSelector = self->FollowsSelector = true;
    TestSelector* second = MakeSelector(41, {32});
    OpenedDevice d({selector, a, b, self, second});
    ASSERT_EQ(d.Status, STATUS_SUCCESS);
    // Each unit of the loop once, the deepest (last reached) first.
    ASSERT_EQ(selector->Listeners.size(), 2u);
    EXPECT_EQ(selector->Listeners[0], static_cast<IChainNodeState*>(b));
    EXPECT_EQ(selector->Listeners[1], static_cast<IChainNodeState*>(a));
    EXPECT_EQ(second->Listeners.size(), 1u);
}

TEST(AudioHal, ListenersReceiveTheControlChangeRecord)
{
    OpenedDevice d({});
    ASSERT_EQ(d.Status, STATUS_SUCCESS);
    struct Seen
    {
        std::vector<ULONG> Words;
        PVOID Second = reinterpret_cast<PVOID>(0x1);
        int Calls = 0;
    } seen;
    PVOID registration = nullptr;
    ASSERT_EQ(d.Device->RegisterCallback(
                  [](PVOID context, PVOID record, PVOID second)
                  {
                      auto s = static_cast<Seen*>(context);
                      const ULONG* w = static_cast<const ULONG*>(record);
                      s->Words.assign(w, w + 6);
                      s->Second = second;
                      ++s->Calls;
                  },
                  &seen, &registration),
              STATUS_SUCCESS);
    d.Device->NotifyHalListeners(0x2A);
    EXPECT_EQ(seen.Calls, 1);
    EXPECT_EQ(seen.Words, std::vector<ULONG>({1, 1, 0x2A, 0, 0, 0}));
    EXPECT_EQ(seen.Second, nullptr);
    EXPECT_EQ(d.Device->UnregisterCallback(registration), STATUS_SUCCESS);
    d.Device->NotifyHalListeners(3);
    EXPECT_EQ(seen.Calls, 1);
    EXPECT_EQ(d.Device->RegisterCallback(nullptr, nullptr, &registration),
              STATUS_INVALID_PARAMETER);
}

TEST(AudioHal, BasePowerChangeRestoresUnitsOnReturnToFullPower)
{
    OpenedDevice d({MakeUnit(1, 0)});
    ASSERT_EQ(d.Status, STATUS_SUCCESS);
    DoubleLog().clear();
    POWER_STATE s;
    s.DeviceState = PowerDeviceD0;
    d.Device->PowerChangeState(s); // already D0
    s.DeviceState = PowerDeviceD3;
    d.Device->PowerChangeState(s);
    EXPECT_EQ(d.Device->GetPowerState(), 4u);
    s.DeviceState = (DEVICE_POWER_STATE)5;
    d.Device->PowerChangeState(s);
    EXPECT_EQ(d.Device->GetPowerState(), 4u);
    EXPECT_TRUE(Log().empty());
    s.DeviceState = PowerDeviceD0;
    d.Device->PowerChangeState(s);
    EXPECT_EQ(d.Device->GetPowerState(), 1u);
    EXPECT_EQ(Log(), std::vector<std::string>({"restore 1"}));
    EXPECT_EQ(d.Device->QueryPowerChangeState(s), STATUS_SUCCESS);
    DEVICE_CAPABILITIES caps = {};
    EXPECT_EQ(d.Device->QueryDeviceCapabilities(&caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
}

TEST(AudioHal, DevicePowerChangeReachesEveryEngineAndStartsOrStopsUnits)
{
    TestEngine* e0 = MakeEngine(0);
    TestEngine* e1 = MakeEngine(1);
    OpenedDevice d({MakeUnit(1, 0)}, {e0, e1});
    ASSERT_EQ(d.Status, STATUS_SUCCESS);
    TestModel model;
    DoubleLog().clear();
    d.Device->PowerTo(1, &model); // no change
    EXPECT_TRUE(Log().empty());
    EXPECT_TRUE(e0->PowerStates.empty());

    d.Device->PowerTo(4, &model);
    EXPECT_EQ(Log(), std::vector<std::string>({"device stop", "stop 1"}));
    EXPECT_EQ(e0->PowerStates, std::vector<ULONG>({4}));
    EXPECT_EQ(e1->PowerStates, std::vector<ULONG>({4}));

    DoubleLog().clear();
    d.Device->PowerTo(1, &model);
    EXPECT_EQ(Log(),
              std::vector<std::string>({"prestart", "restore 1", "device start", "start 1"}));
    EXPECT_EQ(e1->PowerStates, std::vector<ULONG>({4, 1}));

    // A failing engine ends the walk over the engines, not the power change.
    e0->PowerStatus = STATUS_UNSUCCESSFUL;
    DoubleLog().clear();
    d.Device->PowerTo(2);
    EXPECT_EQ(e0->PowerStates, std::vector<ULONG>({4, 1, 2}));
    EXPECT_EQ(e1->PowerStates, std::vector<ULONG>({4, 1}));
    EXPECT_EQ(Log(), std::vector<std::string>({"device stop", "stop 1"}));
    d.Device->PowerTo(9);
    EXPECT_EQ(d.Device->GetPowerState(), 2u);
}

TEST(AudioHal, InterfacesAndFixedAnswersOfTheBase)
{
    OpenedDevice d({});
    ASSERT_EQ(d.Status, STATUS_SUCCESS);
    TestDevice* device = d.Device;
    PVOID unknown = nullptr;
    PVOID common = nullptr;
    PVOID power = nullptr;
    ASSERT_EQ(device->QueryInterface(IID_IUnknown, &unknown), STATUS_SUCCESS);
    ASSERT_EQ(device->QueryInterface(IID_IAdapterCommon, &common), STATUS_SUCCESS);
    ASSERT_EQ(device->QueryInterface(IID_IAdapterPowerManagement, &power), STATUS_SUCCESS);
    EXPECT_EQ(unknown, common);
    EXPECT_EQ(common, static_cast<PVOID>(AsAdapter(device)));
    EXPECT_EQ(power, static_cast<PVOID>(static_cast<IAdapterPowerManagement*>(device)));
    static_cast<IUnknown*>(unknown)->Release();
    static_cast<IUnknown*>(common)->Release();
    static_cast<IAdapterPowerManagement*>(power)->Release();
    PVOID other = reinterpret_cast<PVOID>(0x1);
    EXPECT_EQ(device->QueryInterface(IID_IDeviceModel, &other), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(other, nullptr);

    EndpointCapabilities record = {0x3E10A0, {}, 12, 0, ENDPOINT_CAPS_ASIO_STREAM, 0};
    device->SetCapabilities(record);
    EndpointCapabilities out;
    for (ULONG index : {0u, 7u})
    {
        memset(&out, 0xEE, sizeof(out));
        ASSERT_EQ(device->GetStreamCapabilities(index, &out), STATUS_SUCCESS);
        EXPECT_EQ(memcmp(&out, &record, 32), 0);
    }
    memset(&out, 0xEE, sizeof(out));
    ASSERT_EQ(device->GetEndpointCapabilities(TRUE, 7, &out), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(&out, &record, 32), 0);
    EXPECT_EQ(device->GetStreamCapabilities(0, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(device->GetEndpointCapabilities(FALSE, 1, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(device->GetComponentId(nullptr, nullptr), (NTSTATUS)0xC0000010);
    EXPECT_EQ(device->WakeFromIdle(nullptr), STATUS_SUCCESS);
}

TEST(AudioHal, DestructionReleasesUnitsEnginesAndTheCallbackObject)
{
    TestUnit* unit = MakeUnit(1, 0);
    TestEngine* engine = MakeEngine(0);
    unit->AddRef();
    engine->AddRef();
    std::u16string name;
    {
        OpenedDevice d({unit}, {engine});
        ASSERT_EQ(d.Status, STATUS_SUCCESS);
        name = HalCallbackName(d.Device);
    }
    EXPECT_EQ(EmuPoolOutstandingCount(kHalb), 0u);
    EXPECT_EQ(OpenByName(name), nullptr);
    EXPECT_EQ(unit->Release(), 0u);
    EXPECT_EQ(engine->Release(), 0u);
}
