// The adapter device: creation, start with a resource list, subdevice and
// connection registration, filters opened by name, power, registry keys,
// device properties, DRM forwarding, removal.
#include <gtest/gtest.h>

#include "platform/io/io_emu.h"
#include "platform/kernel/emu.h"
#include "tests/common/emu_test.h"
#include "tests/platform/portcls/pc_rig.h"

namespace
{
class Adapter : public ::testing::Test
{
  protected:
    void TearDown() override { Rig.Remove(); }
    PcRig Rig;
};

NTSTATUS OpenByName(PDEVICE_OBJECT device, const std::u16string& name, PFILE_OBJECT* file)
{
    return EmuOpenFile(device, name.data(), (ULONG)(name.size() * sizeof(WCHAR)), nullptr,
                       KernelMode, file);
}
} // namespace

TEST_F(Adapter, AddDeviceReservesThePortClassAreaAheadOfTheDriversExtension)
{
    ASSERT_EQ(STATUS_SUCCESS, Rig.Add());
    ASSERT_NE(nullptr, Rig.Fdo);
    EXPECT_TRUE(EmuPcIsAdapterDevice(Rig.Fdo));
    EXPECT_FALSE(EmuPcIsAdapterDevice(Rig.Pdo));
    EXPECT_EQ(8u, EmuPcMaxSubdevices(Rig.Fdo));
    EXPECT_EQ(0u, Rig.Fdo->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(Rig.Fdo, IoGetAttachedDevice(Rig.Pdo));
    // The driver's block after the reserved area is its own (zeroed, writable).
    UCHAR* block = Rig.DriverExtension();
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(0, block[i]);
    memset(block, 0x5A, 64);
    EXPECT_TRUE(EmuPcIsAdapterDevice(Rig.Fdo));
    EXPECT_EQ(512u, PORT_CLASS_DEVICE_EXTENSION_SIZE);
}

TEST_F(Adapter, AddDeviceRefusesBadArguments)
{
    Rig.ExtensionSize = PORT_CLASS_DEVICE_EXTENSION_SIZE - 1;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Rig.Add());
    EXPECT_EQ(nullptr, Rig.Fdo);
    Rig.Remove();
    Rig.ExtensionSize = 0; // the reserved size alone
    Rig.MaxObjects = 0;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Rig.Add());
    Rig.Remove();
    Rig.MaxObjects = 1;
    EXPECT_EQ(STATUS_SUCCESS, Rig.Add());
    EXPECT_EQ(1u, EmuPcMaxSubdevices(Rig.Fdo));
}

TEST_F(Adapter, StartCallsStartDeviceAndRegistersSubdevicesAndConnections)
{
    ASSERT_EQ(STATUS_SUCCESS, Rig.Add());
    ASSERT_EQ(STATUS_SUCCESS, Rig.StartDevice());
    EXPECT_EQ(1u, Rig.StartCalls);
    EXPECT_EQ(0u, Rig.ResourceEntries); // a USB function has no hardware resources
    EXPECT_GE(Rig.VersionAtStart, 11u);
    EXPECT_TRUE(EmuPcHasPowerManagement(Rig.Fdo));

    auto subdevices = EmuPcSubdevices(Rig.Fdo);
    ASSERT_EQ(3u, subdevices.size());
    EXPECT_EQ(u"Topo", subdevices[0].Name);
    EXPECT_FALSE(subdevices[0].WaveCyclic);
    EXPECT_EQ(u"SPKOut00", subdevices[1].Name);
    EXPECT_TRUE(subdevices[1].WaveCyclic);
    EXPECT_EQ(u"MicIn00", subdevices[2].Name);
    EXPECT_EQ(4u, subdevices[0].Descriptor->PinCount);

    auto connections = EmuPcPhysicalConnections(Rig.Fdo);
    ASSERT_EQ(2u, connections.size());
    EXPECT_EQ(u"SPKOut00", connections[0].FromName);
    EXPECT_EQ(1u, connections[0].FromPin);
    EXPECT_EQ(u"Topo", connections[0].ToName);
    EXPECT_EQ(0u, connections[0].ToPin);
    EXPECT_EQ(u"Topo", connections[1].FromName);
    EXPECT_EQ(3u, connections[1].FromPin);
    EXPECT_EQ(u"MicIn00", connections[1].ToName);
}

TEST_F(Adapter, FailingStartDeviceFailsTheStart)
{
    Rig.Start = [](PDEVICE_OBJECT, PIRP, PRESOURCELIST)
    { return STATUS_DEVICE_CONFIGURATION_ERROR; };
    ASSERT_EQ(STATUS_SUCCESS, Rig.Add());
    EXPECT_EQ(STATUS_DEVICE_CONFIGURATION_ERROR, Rig.StartDevice());
}

TEST_F(Adapter, VersionIsSettable)
{
    const DWORD saved = EmuPcGetVersion();
    EmuPcSetVersion(kVersionWinXPSP1);
    ASSERT_EQ(STATUS_SUCCESS, Rig.Add());
    ASSERT_EQ(STATUS_SUCCESS, Rig.StartDevice());
    EmuPcSetVersion(saved);
    EXPECT_EQ(10u, Rig.VersionAtStart);
    EXPECT_EQ(11u, (DWORD)kVersionWinServer2003);
}

TEST_F(Adapter, SubdeviceRegistrationRules)
{
    Rig.MaxObjects = 3;
    ASSERT_EQ(STATUS_SUCCESS, Rig.Add());
    Rig.Start = [this](PDEVICE_OBJECT device, PIRP irp, PRESOURCELIST resources)
    {
        NTSTATUS s = Rig.Install(device, irp, resources);
        if (!NT_SUCCESS(s))
            return s;
        // A port registered twice, a name used twice (in another case), and
        // an uninitialised port are all refused; the fourth subdevice is one
        // too many.
        EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION,
                  PcRegisterSubdevice(device, u"Other", Rig.TopologyPort));
        PPORT port = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, PcNewPort(&port, CLSID_PortTopology));
        EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, PcRegisterSubdevice(device, u"Fresh", port));
        auto miniport = new (NonPagedPool, POOL_TAG("TsPc")) TestTopologyMiniport(nullptr);
        miniport->NonDelegatingAddRef();
        EXPECT_EQ(STATUS_SUCCESS,
                  port->Init(device, irp, miniport->GetNonDelegatingUnknown(), nullptr, resources));
        EXPECT_EQ(STATUS_INVALID_DEVICE_STATE,
                  port->Init(device, irp, miniport->GetNonDelegatingUnknown(), nullptr, resources));
        EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, PcRegisterSubdevice(device, u"topo", port));
        EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, PcRegisterSubdevice(device, u"Fresh", port));
        EXPECT_EQ(STATUS_INVALID_PARAMETER, PcRegisterSubdevice(device, u"", port));
        EXPECT_EQ(STATUS_INVALID_PARAMETER, PcRegisterSubdevice(device, u"X", nullptr));
        // A pin beyond the filter's pins cannot be connected.
        EXPECT_EQ(STATUS_INVALID_PARAMETER,
                  PcRegisterPhysicalConnection(device, Rig.RenderPort, 2, Rig.TopologyPort, 0));
        miniport->NonDelegatingRelease();
        port->Release(); // the port-miniport pair goes at removal
        return s;
    };
    ASSERT_EQ(STATUS_SUCCESS, Rig.StartDevice());
    EXPECT_EQ(3u, EmuPcSubdevices(Rig.Fdo).size());
    PPORT bad = nullptr;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, PcNewPort(&bad, IID_IPort));
    EXPECT_EQ(nullptr, bad);
}

TEST_F(Adapter, UnregisterRemovesSubdeviceAndConnection)
{
    ASSERT_EQ(STATUS_SUCCESS, Rig.Add());
    ASSERT_EQ(STATUS_SUCCESS, Rig.StartDevice());
    PUNREGISTERPHYSICALCONNECTION unconnect = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Rig.RenderPort->QueryInterface(IID_IUnregisterPhysicalConnection,
                                                             (PVOID*)&unconnect));
    EXPECT_EQ(STATUS_NOT_FOUND, unconnect->UnregisterPhysicalConnection(Rig.Fdo, Rig.RenderPort, 1,
                                                                        Rig.TopologyPort, 1));
    EXPECT_EQ(STATUS_SUCCESS, unconnect->UnregisterPhysicalConnection(Rig.Fdo, Rig.RenderPort, 1,
                                                                      Rig.TopologyPort, 0));
    unconnect->Release();
    ASSERT_EQ(1u, EmuPcPhysicalConnections(Rig.Fdo).size());

    PUNREGISTERSUBDEVICE unregister = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              Rig.RenderPort->QueryInterface(IID_IUnregisterSubdevice, (PVOID*)&unregister));
    EXPECT_EQ(STATUS_SUCCESS, unregister->UnregisterSubdevice(Rig.Fdo, Rig.RenderPort));
    // The interface we hold keeps the port alive; the miniport is gone.
    EXPECT_EQ(STATUS_NOT_FOUND, unregister->UnregisterSubdevice(Rig.Fdo, Rig.RenderPort));
    unregister->Release();
    auto subdevices = EmuPcSubdevices(Rig.Fdo);
    ASSERT_EQ(2u, subdevices.size());
    EXPECT_EQ(u"MicIn00", subdevices[1].Name);
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenByName(Rig.Fdo, u"\\SPKOut00", &file));
}

TEST_F(Adapter, FiltersOpenByNameIgnoringCase)
{
    ASSERT_EQ(STATUS_SUCCESS, Rig.Add());
    ASSERT_EQ(STATUS_SUCCESS, Rig.StartDevice());
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, OpenByName(Rig.Fdo, u"\\spkout00", &file));
    EXPECT_EQ(STATUS_SUCCESS, EmuCloseFile(file));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenByName(Rig.Fdo, u"\\SPKOut0", &file));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenByName(Rig.Fdo, u"\\SPKOut000", &file));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenByName(Rig.Fdo, u"SPKOut00", &file));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
              OpenByName(Rig.Fdo, u"\\LTEnumPrivateInterface", &file));
    // Other requests on the device complete as port-class completes them.
    ULONG_PTR info = 0;
    EXPECT_EQ(STATUS_SUCCESS, OpenByName(Rig.Fdo, u"\\Topo", &file));
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST,
              EmuDeviceControl(file, 0x220000, nullptr, 0, nullptr, 0, &info, KernelMode));
    EXPECT_EQ(STATUS_SUCCESS, EmuCloseFile(file));
}

TEST_F(Adapter, DevicePowerReachesAdapterAndMiniportsInOrder)
{
    ASSERT_EQ(STATUS_SUCCESS, Rig.Add());
    ASSERT_EQ(STATUS_SUCCESS, Rig.StartDevice());
    EXPECT_EQ(STATUS_SUCCESS, EmuPoSendDevicePower(Rig.Pdo, IRP_MN_SET_POWER, PowerDeviceD3));
    EXPECT_EQ(PowerDeviceD3, EmuPcPowerState(Rig.Fdo));
    EXPECT_EQ(PowerDeviceD3, EmuDevicePowerState(Rig.Fdo));
    ASSERT_EQ(1u, Rig.Adapter->PowerChanges.size());
    EXPECT_EQ(PowerDeviceD3, Rig.Adapter->PowerChanges[0]);
    ASSERT_EQ(1u, Rig.Render->PowerNotifications.size());
    EXPECT_EQ(PowerDeviceD3, Rig.Render->PowerNotifications[0]);
    // The same state again changes nothing.
    EXPECT_EQ(STATUS_SUCCESS, EmuPoSendDevicePower(Rig.Pdo, IRP_MN_SET_POWER, PowerDeviceD3));
    EXPECT_EQ(1u, Rig.Adapter->PowerChanges.size());
    // A refused query fails the query and changes nothing.
    Rig.Adapter->QueryStatus = STATUS_DEVICE_BUSY;
    EXPECT_EQ(STATUS_DEVICE_BUSY, EmuPoSendDevicePower(Rig.Pdo, IRP_MN_QUERY_POWER, PowerDeviceD0));
    Rig.Adapter->QueryStatus = STATUS_SUCCESS;
    EXPECT_EQ(STATUS_SUCCESS, EmuPoSendDevicePower(Rig.Pdo, IRP_MN_SET_POWER, PowerDeviceD0));
    ASSERT_EQ(2u, Rig.Adapter->PowerChanges.size());
    EXPECT_EQ(PowerDeviceD0, Rig.Adapter->PowerChanges[1]);
    EXPECT_EQ(PowerDeviceD0, Rig.Capture->PowerNotifications.back());
    // System power passes through untouched.
    EXPECT_EQ(STATUS_SUCCESS,
              EmuPoSendSystemPower(Rig.Pdo, IRP_MN_SET_POWER, PowerSystemSleeping3));
    EXPECT_EQ(2u, Rig.Adapter->PowerChanges.size());
}

TEST_F(Adapter, RegistryKeysOpenAndCreateSubkeys)
{
    ASSERT_EQ(STATUS_SUCCESS, Rig.Add());
    PREGISTRYKEY driverKey = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              PcNewRegistryKey(&driverKey, nullptr, DriverRegistryKey, KEY_ALL_ACCESS, Rig.Fdo,
                               nullptr, nullptr, 0, nullptr));
    WCHAR settingsText[] = u"Settings";
    UNICODE_STRING settings;
    RtlInitUnicodeString(&settings, settingsText);
    PREGISTRYKEY sub = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(STATUS_SUCCESS,
              driverKey->NewSubKey(&sub, nullptr, KEY_QUERY_VALUE, &settings, 0, &disposition));
    EXPECT_EQ((ULONG)REG_CREATED_NEW_KEY, disposition);
    WCHAR nameText[] = u"IniVersion";
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, nameText);
    ULONG value = 0x12345678;
    EXPECT_EQ(STATUS_SUCCESS, sub->SetValueKey(&name, REG_BINARY, &value, sizeof(value)));
    UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 8] = {};
    ULONG length = 0;
    EXPECT_EQ(STATUS_SUCCESS, sub->QueryValueKey(&name, KeyValuePartialInformation, buffer,
                                                 sizeof(buffer), &length));
    auto info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    EXPECT_EQ((ULONG)REG_BINARY, info->Type);
    EXPECT_EQ(4u, info->DataLength);
    ULONG read = 0;
    memcpy(&read, info->Data, 4);
    EXPECT_EQ(value, read);
    WCHAR missingText[] = u"Missing";
    UNICODE_STRING missing;
    RtlInitUnicodeString(&missing, missingText);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, sub->QueryValueKey(&missing, KeyValuePartialInformation,
                                                               buffer, sizeof(buffer), &length));
    sub->Release();
    // Opening again finds the key.
    ASSERT_EQ(STATUS_SUCCESS,
              driverKey->NewSubKey(&sub, nullptr, KEY_QUERY_VALUE, &settings, 0, &disposition));
    EXPECT_EQ((ULONG)REG_OPENED_EXISTING_KEY, disposition);
    sub->Release();
    driverKey->Release();

    PREGISTRYKEY deviceKey = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, PcNewRegistryKey(&deviceKey, nullptr, DeviceRegistryKey, KEY_READ,
                                               Rig.Fdo, nullptr, nullptr, 0, nullptr));
    deviceKey->Release();
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              PcNewRegistryKey(&deviceKey, nullptr, DriverRegistryKey, KEY_READ, Rig.Pdo, nullptr,
                               nullptr, 0, nullptr));
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              PcNewRegistryKey(&deviceKey, nullptr, HwProfileRegistryKey, KEY_READ, Rig.Fdo,
                               nullptr, nullptr, 0, nullptr));
}

TEST_F(Adapter, DevicePropertiesComeFromThePhysicalDevice)
{
    ASSERT_EQ(STATUS_SUCCESS, Rig.Add());
    EmuSetHardwareIds(Rig.Pdo, {u"USB\\VID_4C54&PID_1001"});
    WCHAR ids[64] = {};
    ULONG length = 0;
    ASSERT_EQ(STATUS_SUCCESS,
              PcGetDeviceProperty(Rig.Fdo, DevicePropertyHardwareID, sizeof(ids), ids, &length));
    EXPECT_EQ("USB\\VID_4C54&PID_1001", Narrow(ids));
    // The string, its NUL and the list's NUL.
    EXPECT_EQ(sizeof(u"USB\\VID_4C54&PID_1001") + sizeof(WCHAR), length);
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              PcGetDeviceProperty(Rig.Pdo, DevicePropertyHardwareID, sizeof(ids), ids, &length));
}

TEST_F(Adapter, CompleteIrpAndContentForwarding)
{
    ASSERT_EQ(STATUS_SUCCESS, Rig.Add());
    EmuPcClearDrmForwards();
    DRMFORWARD forward = {0, Rig.Pdo, reinterpret_cast<PFILE_OBJECT>(0x1234), (PVOID)0x1234};
    EXPECT_EQ(STATUS_SUCCESS, PcForwardContentToDeviceObject(7, nullptr, &forward));
    auto records = EmuPcDrmForwards();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(7u, records[0].ContentId);
    EXPECT_EQ(Rig.Pdo, records[0].Forward.DeviceObject);
    EXPECT_EQ((PVOID)0x1234, records[0].Forward.Context);
    forward.Flags = 1;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, PcForwardContentToDeviceObject(7, nullptr, &forward));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, PcForwardContentToDeviceObject(7, nullptr, nullptr));
    EmuPcClearDrmForwards();

    PIRP irp = IoAllocateIrp(Rig.Fdo->StackSize, FALSE);
    ASSERT_NE(nullptr, irp);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, PcCompleteIrp(Rig.Fdo, irp, STATUS_PENDING));
    IoFreeIrp(irp);
}

TEST_F(Adapter, SurpriseRemovalUnregistersEverything)
{
    ASSERT_EQ(STATUS_SUCCESS, Rig.Add());
    ASSERT_EQ(STATUS_SUCCESS, Rig.StartDevice());
    PFILE_OBJECT open = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenByName(Rig.Fdo, u"\\Topo", &open));
    EXPECT_EQ(STATUS_SUCCESS, EmuPnpSendMinor(Rig.Pdo, IRP_MN_SURPRISE_REMOVAL));
    EXPECT_TRUE(EmuPcSubdevices(Rig.Fdo).empty());
    EXPECT_TRUE(EmuPcPhysicalConnections(Rig.Fdo).empty());
    EXPECT_FALSE(EmuPcHasPowerManagement(Rig.Fdo));
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenByName(Rig.Fdo, u"\\Topo", &file));
    // A filter opened before answers no more but closes.
    KSPROPERTY p = {};
    p.Set = KSPROPSETID_Pin;
    p.Id = KSPROPERTY_PIN_CTYPES;
    p.Flags = KSPROPERTY_TYPE_GET;
    ULONG count = 0;
    ULONG_PTR info = 0;
    EXPECT_EQ(STATUS_DEVICE_NOT_READY, EmuDeviceControl(open, IOCTL_KS_PROPERTY, &p, sizeof(p),
                                                        &count, sizeof(count), &info, KernelMode));
    EXPECT_EQ(STATUS_SUCCESS, EmuCloseFile(open));
}

TEST_F(Adapter, RemovalReleasesEverythingTheDeviceHeld)
{
    ASSERT_EQ(STATUS_SUCCESS, Rig.Add());
    ASSERT_EQ(STATUS_SUCCESS, Rig.StartDevice());
    EXPECT_EQ(STATUS_SUCCESS, EmuPnpSendMinor(Rig.Pdo, IRP_MN_SURPRISE_REMOVAL));
    EXPECT_EQ(STATUS_SUCCESS, EmuPnpSendMinor(Rig.Pdo, IRP_MN_REMOVE_DEVICE));
    EXPECT_EQ(nullptr, Rig.Pdo->AttachedDevice);
    // Ports, miniports, adapter object and their pool blocks are gone with the
    // device; the leak check of the test framework holds us to it.
    EXPECT_EQ(0u, EmuPoolOutstandingCount(POOL_TAG("PcPt")));
    EXPECT_EQ(0u, EmuPoolOutstandingCount(POOL_TAG("TsPc")));
}
