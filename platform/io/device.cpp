// Driver and device objects, device stacks, physical device objects with
// their instance paths, properties and registry keys.
#include <cstdio>

#include "platform/io/io_internal.h"
#include "platform/kernel/emu.h"

namespace
{
const ULONG DEVICE_TAG = POOL_TAG("Devi");
const ULONG DRIVER_TAG = POOL_TAG("Driv");

OBJECT_TYPE g_FileType = {"File"};
OBJECT_TYPE g_DeviceType = {"Device"};
OBJECT_TYPE g_DriverType = {"Driver"};
POBJECT_TYPE g_FileTypePtr = &g_FileType;
POBJECT_TYPE g_DeviceTypePtr = &g_DeviceType;
POBJECT_TYPE g_DriverTypePtr = &g_DriverType;

const char16_t* const MEDIA_CLASS = u"{4d36e96c-e325-11ce-bfc1-08002be10318}";
const char16_t* const CCS = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet";

// Deleting an object frees only its own memory: during a reset the objects go
// in no particular order.
void DeleteDevice(void* object)
{
    Io().Devices.erase(static_cast<PDEVICE_OBJECT>(object));
    ExFreePoolWithTag(object, DEVICE_TAG);
}
const EmuObjectKind g_DeviceKind = {&g_DeviceType, DeleteDevice};

void DeleteDriver(void* object)
{
    ExFreePoolWithTag(object, DRIVER_TAG);
}
const EmuObjectKind g_DriverKind = {&g_DriverType, DeleteDriver};

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

// The driver object block: object, extension, then the names' characters.
struct DriverBlock
{
    DRIVER_OBJECT Driver;
    DRIVER_EXTENSION Extension;
    UNICODE_STRING RegistryPath;
    WCHAR Names[3][160];
};

void SetString(UNICODE_STRING* s, WCHAR* storage, size_t capacity, const std::u16string& text)
{
    size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
    memcpy(storage, text.data(), n * sizeof(WCHAR));
    storage[n] = 0;
    s->Buffer = storage;
    s->Length = (USHORT)(n * sizeof(WCHAR));
    s->MaximumLength = (USHORT)(capacity * sizeof(WCHAR));
}

PDEVOBJ_EXTENSION Ext(PDEVICE_OBJECT d)
{
    return d->DeviceObjectExtension;
}
} // namespace

POBJECT_TYPE* IoFileObjectType = &g_FileTypePtr;
POBJECT_TYPE* IoDeviceObjectType = &g_DeviceTypePtr;
POBJECT_TYPE* IoDriverObjectType = &g_DriverTypePtr;

// ----------------------------------------------------------------------------
// Drivers

NTSTATUS EmuLoadDriver(const WCHAR* serviceName, PDRIVER_INITIALIZE driverEntry,
                       PDRIVER_OBJECT* driverObject)
{
    *driverObject = nullptr;
    std::u16string name = serviceName ? serviceName : u"";
    if (name.empty() || name.size() > 100 || name.find(u'\\') != std::u16string::npos)
        return STATUS_OBJECT_NAME_INVALID;
    auto* block = static_cast<DriverBlock*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(DriverBlock), DRIVER_TAG));
    if (block == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    memset(block, 0, sizeof(*block));
    PDRIVER_OBJECT d = &block->Driver;
    d->Type = IO_TYPE_DRIVER;
    d->Size = sizeof(DRIVER_OBJECT);
    d->DriverExtension = &block->Extension;
    block->Extension.DriverObject = d;
    std::u16string services = std::u16string(CCS) + u"\\Services\\" + name;
    SetString(&d->DriverName, block->Names[0], 160, u"\\Driver\\" + name);
    SetString(&block->Extension.ServiceKeyName, block->Names[1], 160, name);
    SetString(&block->RegistryPath, block->Names[2], 160, services);
    d->HardwareDatabase = nullptr;
    d->DriverInit = driverEntry;
    for (auto& f : d->MajorFunction)
        f = InvalidDeviceRequest;
    EmuObRegister(d, &g_DriverKind);
    EmuRegistryCreateKey(services);
    if (driverEntry != nullptr)
    {
        NTSTATUS status = driverEntry(d, &block->RegistryPath);
        if (!NT_SUCCESS(status))
        {
            if (d->DeviceObject != nullptr)
                EmuReportFailure("DriverEntry failed (0x%08X) and left device objects",
                                 (unsigned)status);
            else
                ObDereferenceObject(d);
            return status;
        }
    }
    *driverObject = d;
    return STATUS_SUCCESS;
}

void EmuUnloadDriver(PDRIVER_OBJECT driverObject)
{
    if (driverObject == nullptr)
        return;
    if (driverObject->DriverUnload != nullptr)
        driverObject->DriverUnload(driverObject);
    if (driverObject->DeviceObject != nullptr)
    {
        // Its devices point at it: it stays, and the leak check shows them.
        EmuReportFailure("driver %s unloaded with device objects left",
                         IoNarrow(IoFromUnicode(&driverObject->DriverName)).c_str());
        return;
    }
    ObDereferenceObject(driverObject);
}

// ----------------------------------------------------------------------------
// Devices

NTSTATUS IoCreateDevice(PDRIVER_OBJECT driverObject, ULONG deviceExtensionSize,
                        PUNICODE_STRING deviceName, DEVICE_TYPE deviceType,
                        ULONG deviceCharacteristics, BOOLEAN exclusive,
                        PDEVICE_OBJECT* deviceObject)
{
    PAGED_CODE();
    if (deviceObject == nullptr || driverObject == nullptr)
        return STATUS_INVALID_PARAMETER;
    *deviceObject = nullptr;
    IoState& io = Io();
    std::u16string name;
    if (deviceName != nullptr && deviceName->Length != 0)
    {
        if (!IoValidUnicode(deviceName))
            return STATUS_OBJECT_NAME_INVALID;
        name = IoFromUnicode(deviceName);
    }
    else if ((deviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME) != 0)
    {
        char buf[32];
        snprintf(buf, sizeof(buf), "\\Device\\%08lx", (unsigned long)io.NextAutoName++);
        for (const char* p = buf; *p; ++p)
            name += (char16_t)*p;
    }
    if (!name.empty() && io.DeviceNames.count(IoUpper(name)) != 0)
        return STATUS_OBJECT_NAME_COLLISION;
    if (deviceExtensionSize > 0x10000000)
        return STATUS_INVALID_PARAMETER;

    SIZE_T extension = ((SIZE_T)deviceExtensionSize + 15) & ~(SIZE_T)15;
    SIZE_T size = sizeof(DEVICE_OBJECT) + extension + sizeof(DEVOBJ_EXTENSION);
    auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, size, DEVICE_TAG));
    if (block == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    memset(block, 0, size);
    auto* d = reinterpret_cast<PDEVICE_OBJECT>(block);
    auto* ext = reinterpret_cast<PDEVOBJ_EXTENSION>(block + sizeof(DEVICE_OBJECT) + extension);
    d->Type = IO_TYPE_DEVICE;
    d->Size = (USHORT)(sizeof(DEVICE_OBJECT) + deviceExtensionSize);
    d->DriverObject = driverObject;
    d->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
    d->Characteristics = deviceCharacteristics & ~FILE_AUTOGENERATED_DEVICE_NAME;
    d->DeviceExtension = deviceExtensionSize != 0 ? block + sizeof(DEVICE_OBJECT) : nullptr;
    d->DeviceType = deviceType;
    d->StackSize = 1;
    KeInitializeEvent(&d->DeviceLock, SynchronizationEvent, TRUE);
    d->DeviceObjectExtension = ext;
    ext->Type = IO_TYPE_DEVICE_OBJECT_EXTENSION;
    ext->Size = sizeof(DEVOBJ_EXTENSION);
    ext->DeviceObject = d;

    d->NextDevice = driverObject->DeviceObject;
    driverObject->DeviceObject = d;
    IoDeviceInfo info;
    info.Name = name;
    io.Devices[d] = info;
    if (!name.empty())
        io.DeviceNames[IoUpper(name)] = d;
    EmuObRegister(d, &g_DeviceKind);
    *deviceObject = d;
    return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT deviceObject)
{
    IoDeviceInfo* info = IoInfo(deviceObject);
    if (info == nullptr || info->Deleted)
    {
        EmuReportFailure("IoDeleteDevice on %p, which is not a live device object",
                         (void*)deviceObject);
        return;
    }
    // A device still in a stack or with open files would leave dangling
    // pointers behind: it is reported and kept.
    bool keep = false;
    if (deviceObject->AttachedDevice != nullptr)
    {
        EmuReportFailure("IoDeleteDevice on device %p while device %p is attached to it",
                         (void*)deviceObject, (void*)deviceObject->AttachedDevice);
        keep = true;
    }
    if (Ext(deviceObject)->AttachedTo != nullptr)
    {
        EmuReportFailure("IoDeleteDevice on device %p still attached to device %p",
                         (void*)deviceObject, (void*)Ext(deviceObject)->AttachedTo);
        keep = true;
    }
    if (deviceObject->ReferenceCount != 0)
    {
        EmuReportFailure("IoDeleteDevice on device %p with %d file(s) still open",
                         (void*)deviceObject, deviceObject->ReferenceCount);
        keep = true;
    }
    if (keep)
        return;
    info->Deleted = true;
    IoState& io = Io();
    if (!info->Name.empty())
        io.DeviceNames.erase(IoUpper(info->Name));
    for (auto it = io.Interfaces.begin(); it != io.Interfaces.end();)
        it = it->PhysicalDeviceObject == deviceObject ? io.Interfaces.erase(it) : it + 1;
    for (PDEVICE_OBJECT* p = &deviceObject->DriverObject->DeviceObject; *p != nullptr;
         p = &(*p)->NextDevice)
        if (*p == deviceObject)
        {
            *p = deviceObject->NextDevice;
            break;
        }
    ObDereferenceObject(deviceObject);
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT deviceObject)
{
    PDEVICE_OBJECT d = deviceObject;
    while (d->AttachedDevice != nullptr)
        d = d->AttachedDevice;
    return d;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT deviceObject)
{
    PDEVICE_OBJECT top = IoGetAttachedDevice(deviceObject);
    ObReferenceObject(top);
    return top;
}

PDEVICE_OBJECT IoGetLowerDeviceObject(PDEVICE_OBJECT deviceObject)
{
    PDEVICE_OBJECT lower = Ext(deviceObject)->AttachedTo;
    if (lower != nullptr)
        ObReferenceObject(lower);
    return lower;
}

PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT fileObject)
{
    return IoGetAttachedDevice(fileObject->DeviceObject);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT sourceDevice, PDEVICE_OBJECT targetDevice)
{
    if (!IoIsDevice(sourceDevice) || !IoIsDevice(targetDevice))
    {
        EmuReportFailure("IoAttachDeviceToDeviceStack with an object that is not a device");
        return nullptr;
    }
    if (Ext(sourceDevice)->AttachedTo != nullptr)
    {
        EmuReportFailure("IoAttachDeviceToDeviceStack: device %p is already attached",
                         (void*)sourceDevice);
        return nullptr;
    }
    PDEVICE_OBJECT top = IoGetAttachedDevice(targetDevice);
    top->AttachedDevice = sourceDevice;
    sourceDevice->StackSize = (CCHAR)(top->StackSize + 1);
    if (top->AlignmentRequirement > sourceDevice->AlignmentRequirement)
        sourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    Ext(sourceDevice)->AttachedTo = top;
    return top;
}

void IoDetachDevice(PDEVICE_OBJECT targetDevice)
{
    PDEVICE_OBJECT above = targetDevice->AttachedDevice;
    if (above == nullptr)
    {
        EmuReportFailure("IoDetachDevice on device %p, which has nothing attached",
                         (void*)targetDevice);
        return;
    }
    Ext(above)->AttachedTo = nullptr;
    targetDevice->AttachedDevice = nullptr;
}

// ----------------------------------------------------------------------------
// Physical device objects

NTSTATUS EmuCreatePhysicalDevice(PDRIVER_OBJECT busDriver, ULONG deviceExtensionSize,
                                 const WCHAR* instancePath, PDEVICE_OBJECT* physicalDeviceObject)
{
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = IoCreateDevice(busDriver, deviceExtensionSize, nullptr, FILE_DEVICE_USB,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    if (!NT_SUCCESS(status))
        return status;
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    IoState& io = Io();
    IoDeviceInfo& info = io.Devices[pdo];
    info.Pdo = true;
    if (instancePath != nullptr && instancePath[0] != 0)
        info.InstancePath = instancePath;
    else
    {
        char buf[40];
        snprintf(buf, sizeof(buf), "ROOT\\EMULATED\\%04u", (unsigned)io.NextInstance++);
        for (const char* p = buf; *p; ++p)
            info.InstancePath += (char16_t)*p;
    }
    info.DriverKeyIndex = io.NextDriverKey++;
    EmuRegistryCreateKey(std::u16string(CCS) + u"\\Enum\\" + info.InstancePath +
                         u"\\Device Parameters");
    // Until the bus says more, the device ID (the instance path without the
    // instance) is the one hardware ID.
    std::u16string deviceId = info.InstancePath.substr(0, info.InstancePath.rfind(u'\\'));
    EmuSetHardwareIds(pdo, {deviceId});
    *physicalDeviceObject = pdo;
    return STATUS_SUCCESS;
}

void EmuSetDeviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, const void* data,
                          ULONG size)
{
    IoDeviceInfo* info = IoInfo(pdo);
    if (info == nullptr || !info->Pdo)
    {
        EmuReportFailure("EmuSetDeviceProperty on %p, which is not a physical device object",
                         (void*)pdo);
        return;
    }
    auto bytes = static_cast<const UCHAR*>(data);
    info->Properties[property] = std::vector<UCHAR>(bytes, bytes + size);
}

void EmuSetHardwareIds(PDEVICE_OBJECT pdo, const std::vector<std::u16string>& ids)
{
    std::u16string multi;
    for (auto& id : ids)
    {
        multi += id;
        multi += u'\0';
    }
    multi += u'\0';
    EmuSetDeviceProperty(pdo, DevicePropertyHardwareID, multi.data(),
                         (ULONG)(multi.size() * sizeof(WCHAR)));
    IoDeviceInfo* info = IoInfo(pdo);
    if (info != nullptr)
        EmuRegistrySetMultiSz(std::u16string(CCS) + u"\\Enum\\" + info->InstancePath, u"HardwareID",
                              ids);
}

std::u16string EmuDeviceInstancePath(PDEVICE_OBJECT pdo)
{
    IoDeviceInfo* info = IoInfo(pdo);
    return info ? info->InstancePath : std::u16string();
}

NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT deviceObject, DEVICE_REGISTRY_PROPERTY deviceProperty,
                             ULONG bufferLength, PVOID propertyBuffer, PULONG resultLength)
{
    PAGED_CODE();
    IoDeviceInfo* info = IoInfo(deviceObject);
    if (info == nullptr || info->Deleted || !info->Pdo)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (resultLength == nullptr || (bufferLength != 0 && propertyBuffer == nullptr))
        return STATUS_INVALID_PARAMETER;
    std::vector<UCHAR> value;
    auto it = info->Properties.find(deviceProperty);
    if (it != info->Properties.end())
        value = it->second;
    else
    {
        std::u16string text;
        switch (deviceProperty)
        {
        case DevicePropertyPhysicalDeviceObjectName:
            text = info->Name;
            break;
        case DevicePropertyEnumeratorName:
            text = info->InstancePath.substr(0, info->InstancePath.find(u'\\'));
            break;
        case DevicePropertyDriverKeyName:
        {
            char buf[8];
            snprintf(buf, sizeof(buf), "%04u", (unsigned)info->DriverKeyIndex);
            text = std::u16string(MEDIA_CLASS) + u"\\";
            for (const char* p = buf; *p; ++p)
                text += (char16_t)*p;
            break;
        }
        default:
            *resultLength = 0;
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        text += u'\0';
        auto bytes = reinterpret_cast<const UCHAR*>(text.data());
        value.assign(bytes, bytes + text.size() * sizeof(WCHAR));
    }
    *resultLength = (ULONG)value.size();
    if (bufferLength < value.size())
        return STATUS_BUFFER_TOO_SMALL;
    if (!value.empty())
        memcpy(propertyBuffer, value.data(), value.size());
    return STATUS_SUCCESS;
}

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT deviceObject, ULONG devInstKeyType,
                                 ACCESS_MASK desiredAccess, PHANDLE devInstRegKey)
{
    PAGED_CODE();
    IoDeviceInfo* info = IoInfo(deviceObject);
    if (info == nullptr || info->Deleted || !info->Pdo)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (devInstRegKey == nullptr)
        return STATUS_INVALID_PARAMETER;
    bool device = (devInstKeyType & PLUGPLAY_REGKEY_DEVICE) != 0;
    bool driver = (devInstKeyType & PLUGPLAY_REGKEY_DRIVER) != 0;
    bool profile = (devInstKeyType & PLUGPLAY_REGKEY_CURRENT_HWPROFILE) != 0;
    if (device == driver || (devInstKeyType & ~7u) != 0)
        return STATUS_INVALID_PARAMETER;
    std::u16string base = std::u16string(CCS);
    if (profile)
        base += u"\\Hardware Profiles\\Current\\System\\CurrentControlSet";
    std::u16string path;
    if (device)
    {
        // The hardware profile's key is the instance key itself; the global
        // one is its "Device Parameters" subkey.
        path = base + u"\\Enum\\" + info->InstancePath;
        if (!profile)
            path += u"\\Device Parameters";
    }
    else
    {
        char buf[8];
        snprintf(buf, sizeof(buf), "%04u", (unsigned)info->DriverKeyIndex);
        path = base + u"\\Control\\Class\\" + MEDIA_CLASS + u"\\";
        for (const char* p = buf; *p; ++p)
            path += (char16_t)*p;
    }
    return IoRegistryOpenPath(path, true, desiredAccess, devInstRegKey);
}

// ----------------------------------------------------------------------------
// Power state bookkeeping

POWER_STATE PoSetPowerState(PDEVICE_OBJECT deviceObject, POWER_STATE_TYPE type, POWER_STATE state)
{
    POWER_STATE previous;
    previous.DeviceState = PowerDeviceUnspecified;
    IoDeviceInfo* info = IoInfo(deviceObject);
    if (info == nullptr)
    {
        EmuReportFailure("PoSetPowerState on %p, which is not a device object",
                         (void*)deviceObject);
        return previous;
    }
    if (type == DevicePowerState)
    {
        previous.DeviceState = info->DevicePower;
        info->DevicePower = state.DeviceState;
    }
    else
    {
        previous.SystemState = info->SystemPower;
        info->SystemPower = state.SystemState;
    }
    return previous;
}

DEVICE_POWER_STATE EmuDevicePowerState(PDEVICE_OBJECT device)
{
    IoDeviceInfo* info = IoInfo(device);
    return info ? info->DevicePower : PowerDeviceUnspecified;
}
