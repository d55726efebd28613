// The adapter common object: creation, interfaces and reference counts, the
// device object it holds, Init with its INI import and selective-suspend
// setting, and teardown.
#include <gtest/gtest.h>

#include "platform/kernel/emu.h"
#include "tests/driver/adapter_rig.h"

namespace
{
ULONG RefCount(PUNKNOWN unknown)
{
    unknown->AddRef();
    return unknown->Release();
}

std::string IniFor(const std::string& hardwareId, const std::string& version,
                   const std::string& value)
{
    std::string text = "[VERSION]\r\n";
    if (!version.empty())
        text += "V=" + version + "\r\n";
    text += "[LINTRA]\r\n" + hardwareId + "=DevA\r\n[DevA]\r\n" + value + "\r\n";
    return text;
}

const std::string c_HardwareId = "USB\\VID_4C54&PID_1001";

void SetDeviceParameter(UsbAdapterRig& rig, const std::u16string& name,
                        const std::vector<UCHAR>& data, ULONG type = REG_DWORD)
{
    EmuRegistrySetValue(rig.EnumKeyPath() + u"\\Device Parameters", name, type, data.data(),
                        (ULONG)data.size());
}
} // namespace

TEST(AdapterCommon, CreateHandsOutTheAdapterInterfaceWithOneReference)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ULONG requests = EmuTimerResolutionRequests();
    PUNKNOWN unknown = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreateAdapterCommon(&unknown));
    EXPECT_EQ(1u, RefCount(unknown));
    // The 1 ms resolution is held for the object's whole life.
    EXPECT_EQ(requests + 1, EmuTimerResolutionRequests());
    EXPECT_EQ(10000u, EmuCurrentTimerResolution());
    SIZE_T size = 0;
    ULONG tag = 0;
    POOL_TYPE type = PagedPool;
    auto* adapter = static_cast<CAdapterCommon*>(reinterpret_cast<IAdapterCommon*>(unknown));
    ASSERT_TRUE(EmuPoolIsBlock(adapter, &size, &tag, &type));
    EXPECT_EQ(POOL_TAG("PcCr"), tag);
    EXPECT_EQ(NonPagedPool, type);
    EXPECT_EQ(sizeof(CAdapterCommon), size);
    EXPECT_EQ(0u, unknown->Release());
    EXPECT_EQ(requests, EmuTimerResolutionRequests());
    EXPECT_EQ(0u, EmuTimerResolutionReleasesUnmatched());
}

TEST(AdapterCommon, CreateWithoutMemoryLeavesTheOutArgument)
{
    PUNKNOWN unknown = reinterpret_cast<PUNKNOWN>(0x1234);
    EmuPoolInjectFailure(POOL_TAG("PcCr"), 0, 1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, CreateAdapterCommon(&unknown));
    EmuPoolClearInjection();
    EXPECT_EQ(reinterpret_cast<PUNKNOWN>(0x1234), unknown);
    EXPECT_EQ(0u, EmuTimerResolutionRequests());
}

TEST(AdapterCommon, QueryInterfaceAnswersItsTablesWithAReferenceEach)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Create());
    PUNKNOWN primary = rig.Primary();

    PVOID unknown = nullptr;
    PVOID common = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, primary->QueryInterface(IID_IUnknown, &unknown));
    ASSERT_EQ(STATUS_SUCCESS, primary->QueryInterface(IID_IAdapterCommon, &common));
    EXPECT_EQ(unknown, common);
    EXPECT_EQ(static_cast<PVOID>(rig.Primary()), common);
    EXPECT_EQ(3u, RefCount(primary));

    PVOID power = nullptr, usb = nullptr, asio = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, primary->QueryInterface(IID_IAdapterPowerManagement, &power));
    ASSERT_EQ(STATUS_SUCCESS, primary->QueryInterface(IID_IUsbDeviceIo, &usb));
    ASSERT_EQ(STATUS_SUCCESS, primary->QueryInterface(IID_IAsioPrivate, &asio));
    EXPECT_EQ(static_cast<PVOID>(static_cast<IAdapterPowerManagement*>(rig.Adapter())), power);
    EXPECT_EQ(static_cast<PVOID>(rig.UsbIo()), usb);
    EXPECT_EQ(static_cast<PVOID>(static_cast<IAsioPrivate*>(rig.Adapter())), asio);
    EXPECT_EQ(6u, RefCount(primary));

    // Unknown ids, and the device model before there is a device object.
    PVOID none = reinterpret_cast<PVOID>(0x1);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, primary->QueryInterface(IID_IMiniportIdentity, &none));
    EXPECT_EQ(nullptr, none);
    none = reinterpret_cast<PVOID>(0x1);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, primary->QueryInterface(IID_IDeviceModel, &none));
    EXPECT_EQ(nullptr, none);
    EXPECT_EQ(6u, RefCount(primary));

    static_cast<PUNKNOWN>(unknown)->Release();
    static_cast<PUNKNOWN>(common)->Release();
    static_cast<IAdapterPowerManagement*>(power)->Release();
    static_cast<IUsbDeviceIo*>(usb)->Release();
    EXPECT_EQ(1u, static_cast<IAsioPrivate*>(asio)->Release());
    // The slot the ASIO code never routes to.
    EXPECT_EQ(STATUS_UNSUCCESSFUL, rig.Adapter()->AsioUnused(nullptr));
}

TEST(AdapterCommon, OwnCapabilityRecordIsZeroAndSetUpCompletesAtOnce)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Create());
    EndpointCapabilities caps;
    memset(&caps, 0xAB, sizeof(caps));
    EXPECT_EQ(STATUS_SUCCESS, rig.Primary()->GetEndpointCapabilities(TRUE, 2, &caps));
    const UCHAR zero[32] = {};
    EXPECT_EQ(0, memcmp(zero, &caps, sizeof(caps)));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, rig.Primary()->GetEndpointCapabilities(FALSE, 0, nullptr));
    EXPECT_EQ(STATUS_SUCCESS, rig.Primary()->CompleteSetup());
    // Power queries accept every state; removal is always fine.
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    EXPECT_EQ(STATUS_SUCCESS, rig.Adapter()->QueryPowerChangeState(state));
    DEVICE_CAPABILITIES dc = {};
    EXPECT_EQ(STATUS_SUCCESS, rig.Adapter()->QueryDeviceCapabilities(&dc));
    EXPECT_EQ(1u, dc.SurpriseRemovalOK);
    // Nothing to forward to before the device is configured.
    EXPECT_EQ(0u, rig.Primary()->GetEngineCount());
    CStreamEngine* engine = reinterpret_cast<CStreamEngine*>(0x1);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, rig.Primary()->GetEngine(0, &engine));
    EXPECT_EQ(nullptr, engine);
}

TEST(AdapterCommon, InitHoldsTheDeviceObjectWithoutCountingItself)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ClassScript().EngineCount = 2;
    ClassScript().Capabilities = {EndpointCapabilities{}, EndpointCapabilities{}};
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    EXPECT_EQ(1u, RefCount(rig.Primary()));
    EXPECT_EQ(1, ClassScript().Created);
    EXPECT_EQ(static_cast<PUNKNOWN>(rig.UsbIo()), ClassScript().Outer);
    EXPECT_EQ(rig.Fdo(), rig.Primary()->GetDeviceObject());
    EXPECT_EQ(PowerDeviceD0, (int)rig.Adapter()->GetPowerState());

    // Operations the adapter has not got of its own reach the device object.
    EXPECT_EQ(2u, rig.Primary()->GetEngineCount());
    EXPECT_EQ(0u, rig.Primary()->GetUnitCount());

    // The model interface is the device object's, counted on the adapter.
    PVOID model = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, rig.Primary()->QueryInterface(IID_IDeviceModel, &model));
    EXPECT_EQ(static_cast<PVOID>(rig.Adapter()->GetDeviceModel()), model);
    auto* fake = static_cast<FakeDeviceClass*>(static_cast<IDeviceModel*>(model));
    EXPECT_EQ(FakeClass::Uac1, fake->Which());
    EXPECT_EQ(2u, RefCount(rig.Primary()));
    static_cast<PDEVICEMODEL>(model)->Release();

    // Releasing the last outside reference destroys the device object too.
    rig.Release();
    EXPECT_EQ(1, ClassScript().Destroyed);
    EXPECT_EQ("destroy UAC1", ClassScript().Log.back());
}

TEST(AdapterCommon, DeviceObjectWithoutModelInterfaceIsHeldAlike)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ClassScript().AnswersModel = false;
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    EXPECT_EQ(nullptr, rig.Adapter()->GetDeviceModel());
    PVOID model = reinterpret_cast<PVOID>(0x1);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, rig.Primary()->QueryInterface(IID_IDeviceModel, &model));
    EXPECT_EQ(nullptr, model);
    EXPECT_EQ(1u, RefCount(rig.Primary()));
    rig.Release();
    EXPECT_EQ(1, ClassScript().Destroyed);
}

TEST(AdapterCommon, FailedDeviceObjectQueriesFailInitAndStillBalance)
{
    for (int which = 0; which < 2; ++which)
    {
        UsbAdapterRig rig;
        ASSERT_TRUE(rig.Ok());
        if (which == 0)
            ClassScript().AnswersAdapterCommon = false;
        else
            ClassScript().AnswersPower = false;
        ASSERT_EQ(STATUS_SUCCESS, rig.Create());
        EXPECT_EQ(STATUS_INVALID_PARAMETER, rig.Init());
        EXPECT_EQ(1u, RefCount(rig.Primary()));
        // The device object was never opened.
        for (const std::string& line : ClassScript().Log)
            EXPECT_EQ(std::string::npos, line.find("open"));
        rig.Release();
        EXPECT_EQ(1, ClassScript().Destroyed);
    }
}

TEST(AdapterCommon, FactoryAndOpenFailuresAreInitsResult)
{
    {
        UsbAdapterRig rig;
        ASSERT_TRUE(rig.Ok());
        ClassScript().FactoryStatus = STATUS_INSUFFICIENT_RESOURCES;
        EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, rig.Start());
        EXPECT_EQ(nullptr, rig.Adapter()->GetDeviceClassObject());
    }
    {
        UsbAdapterRig rig;
        ASSERT_TRUE(rig.Ok());
        ClassScript().OpenStatus = STATUS_DEVICE_CONFIGURATION_ERROR;
        // The setting is read whatever Init gives; the timer is not armed.
        SetDeviceParameter(rig, u"SelectiveSuspendEnabled", {1, 0, 0, 0});
        ULONG timers = EmuArmedTimerCount();
        EXPECT_EQ(STATUS_DEVICE_CONFIGURATION_ERROR, rig.Start());
        EXPECT_TRUE(rig.Adapter()->IsSelectiveSuspendEnabled());
        EXPECT_EQ(timers, EmuArmedTimerCount());
        // No device names and no ASIO state after a failed open.
        EXPECT_EQ(nullptr, rig.Adapter()->GetAsioRings());
    }
}

TEST(AdapterCommon, InitWithoutMemoryForTheIniReaderStopsAtOnce)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Create());
    EmuPoolInjectFailure(POOL_TAG("PINI"), 0, 1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, rig.Init());
    EmuPoolClearInjection();
    EXPECT_TRUE(rig.Adapter()->IsDevicePresent());
    EXPECT_EQ(0u, rig.Device()->Log().size());
    EXPECT_EQ(0, ClassScript().Created);
    // Teardown does not wait on idle events that were never set up.
    rig.Release();
}

TEST(AdapterCommon, SelectiveSuspendArmsTheIdleTimerUntilTeardown)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    SetDeviceParameter(rig, u"SelectiveSuspendEnabled", {1, 0, 0, 0});
    ULONG timers = EmuArmedTimerCount();
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    EXPECT_TRUE(rig.Adapter()->IsSelectiveSuspendEnabled());
    EXPECT_EQ(timers + 1, EmuArmedTimerCount());
    EXPECT_EQ(1, rig.Adapter()->GetBusyCount());
    // While a stream keeps the device busy it runs past its first expiry and
    // keeps its period.
    rig.UsbIo()->IncrementActiveStreamCount();
    EmuAdvanceMs(5001);
    EXPECT_EQ(timers + 1, EmuArmedTimerCount());
    rig.UsbIo()->DecrementActiveStreamCount();
    rig.Release();
    EXPECT_EQ(timers, EmuArmedTimerCount());
}

TEST(AdapterCommon, SelectiveSuspendOffMissingOrTooLongLeavesTheTimerAlone)
{
    const std::vector<std::vector<UCHAR>> values = {{}, {0, 0, 0, 0}, {1, 0, 0, 0, 0}};
    for (size_t i = 0; i < values.size(); ++i)
    {
        UsbAdapterRig rig;
        ASSERT_TRUE(rig.Ok());
        if (i != 0)
            SetDeviceParameter(rig, u"SelectiveSuspendEnabled", values[i], REG_BINARY);
        ULONG timers = EmuArmedTimerCount();
        ASSERT_EQ(STATUS_SUCCESS, rig.Start());
        EXPECT_FALSE(rig.Adapter()->IsSelectiveSuspendEnabled()) << i;
        EXPECT_EQ(timers, EmuArmedTimerCount()) << i;
    }
}

TEST(AdapterCommon, ReadSelectiveSuspendNamesItsTwoValues)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    SetDeviceParameter(rig, u"DeviceSelectiveSuspended", {7, 0, 0, 0});
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    ULONG value = 0;
    EXPECT_EQ(STATUS_SUCCESS, rig.Adapter()->ReadSelectiveSuspend(0, 4, &value));
    EXPECT_EQ(7u, value);
    value = 0;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, rig.Adapter()->ReadSelectiveSuspend(1, 4, &value));
    EXPECT_EQ(0u, value);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, rig.Adapter()->ReadSelectiveSuspend(2, 4, &value));
    // Longer than the caller's room: not taken.
    EXPECT_EQ(STATUS_UNSUCCESSFUL, rig.Adapter()->ReadSelectiveSuspend(0, 2, &value));
    EXPECT_EQ(0u, value);
}

TEST(AdapterCommon, IniFileIsImportedOncePerNewVersion)
{
    // Registry version equal to the file's: nothing imported.
    {
        UsbAdapterRig rig;
        ASSERT_TRUE(rig.Ok());
        rig.SetSetting(u"IniVersion", 3);
        rig.WriteIni(IniFor(c_HardwareId, "3", "A=5"));
        ASSERT_EQ(STATUS_SUCCESS, rig.Start());
        ULONG value = 0;
        EXPECT_FALSE(rig.GetSetting(u"A", &value));
    }
    // A newer file is imported, and its version stored, before the device
    // is configured: the ASIO rate it sets is the adapter's.
    {
        UsbAdapterRig rig;
        ASSERT_TRUE(rig.Ok());
        rig.SetSetting(u"IniVersion", 2);
        rig.WriteIni(IniFor(c_HardwareId, "3", "ASIOMLSampleRate=44100"));
        ASSERT_EQ(STATUS_SUCCESS, rig.Start());
        ULONG value = 0;
        ASSERT_TRUE(rig.GetSetting(u"IniVersion", &value));
        EXPECT_EQ(3u, value);
        ASSERT_TRUE(rig.GetSetting(u"ASIOMLSampleRate", &value));
        EXPECT_EQ(44100u, value);
        EXPECT_EQ(44100u, rig.Adapter()->GetAsioSampleRate());
    }
    // No version at all: never imported, however often.
    {
        UsbAdapterRig rig;
        ASSERT_TRUE(rig.Ok());
        rig.WriteIni(IniFor(c_HardwareId, "", "A=5"));
        ASSERT_EQ(STATUS_SUCCESS, rig.Start());
        ULONG value = 0;
        EXPECT_FALSE(rig.GetSetting(u"A", &value));
        EXPECT_FALSE(rig.GetSetting(u"IniVersion", &value));
    }
}

TEST(AdapterCommon, PowerChangeReachesTheDeviceObjectAndTheTimerResolution)
{
    UsbAdapterRig rig;
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    ClassScript().Log.clear();
    ULONG requests = EmuTimerResolutionRequests();
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    rig.Adapter()->PowerChangeState(state); // already there: nothing at all
    EXPECT_TRUE(ClassScript().Log.empty());
    state.DeviceState = PowerDeviceD3;
    rig.Adapter()->PowerChangeState(state);
    EXPECT_EQ(requests - 1, EmuTimerResolutionRequests());
    state.DeviceState = PowerDeviceD0;
    rig.Adapter()->PowerChangeState(state);
    EXPECT_EQ(requests, EmuTimerResolutionRequests());
    EXPECT_EQ((std::vector<std::string>{"power 4", "power 1"}), ClassScript().Log);
    EXPECT_EQ(PowerDeviceD0, (int)rig.Adapter()->GetPowerState());
}
