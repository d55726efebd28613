#include "driver/adapter_common.h"

#include <new>

#include "framework/ini_file.h"
#include "framework/interface_table.h"
#include "framework/registry_settings.h"

static_assert(sizeof(CIniFile) <= INI_READER_BLOCK_SIZE, "the INI reader fits its block");

NTSTATUS CreateAdapterCommon(PUNKNOWN* unknown)
{
    PAGED_CODE();
    if (unknown == nullptr)
        return STATUS_INVALID_PARAMETER;
    auto* adapter = new (NonPagedPool, ADAPTER_POOL_TAG) CAdapterCommon();
    if (adapter == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    PADAPTERCOMMON primary = static_cast<IAdapterCommon*>(adapter);
    *unknown = primary;
    primary->AddRef();
    return STATUS_SUCCESS;
}

// The block comes zero-filled from the allocation, so every field not set
// here starts at zero.
CAdapterCommon::CAdapterCommon() : CAdapterCommon(&m_AsioHost) {}

CAdapterCommon::CAdapterCommon(CAsioHost* asioHost)
    : CAudioHal(nullptr), m_AsioHost(this), m_Asio(asioHost)
{
    // Held from the start, as the device starts in D0.
    ExSetTimerResolution(ADAPTER_TIMER_RESOLUTION, TRUE);
    m_TimerResolutionHeld = TRUE;
    m_Asio.JoinProcessWatch();
}

CAdapterCommon::~CAdapterCommon()
{
    PAGED_CODE();
    // No process-exit notification may find the adapter half gone.
    m_Asio.LeaveProcessWatch();
    StopIdleMachinery();
    // The rings' stream clients go before the streams do.
    m_Asio.CloseAllClients();
    if (m_DeviceClassObject != nullptr)
        m_DeviceClassObject->Release();
    m_DeviceClassObject = nullptr;
    m_DeviceInterface = nullptr;
    m_DeviceModel = nullptr;
    m_DevicePower = nullptr;
    FreeInterfaceInformation();
    if (m_ConfigurationDescriptor != nullptr)
        ExFreePoolWithTag(m_ConfigurationDescriptor, USB_IO_POOL_TAG);
    m_ConfigurationDescriptor = nullptr;
    m_ConfigurationHandle = nullptr;
    // The bus driver counts the references on its interface.
    if (m_UsbBusInterface.BusContext != nullptr &&
        m_UsbBusInterface.InterfaceDereference != nullptr)
        m_UsbBusInterface.InterfaceDereference(m_UsbBusInterface.BusContext);
    m_UsbBusInterface.BusContext = nullptr;
    if (m_TimerResolutionHeld)
        ExSetTimerResolution(0, FALSE);
}

NTSTATUS CAdapterCommon::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    *object = nullptr;
    const ControlInterfaceEntry entries[] = {
        {&IID_IUnknown, static_cast<IAdapterCommon*>(this)},
        {&IID_IAdapterCommon, static_cast<IAdapterCommon*>(this)},
        {&IID_IAdapterPowerManagement, static_cast<IAdapterPowerManagement*>(this)},
        {&IID_IDeviceModel, m_DeviceModel}, // the device object's; none before the class choice
        {&IID_IUsbDeviceIo, static_cast<IUsbDeviceIo*>(this)},
        {&IID_IAsioPrivate, static_cast<IAsioPrivate*>(this)},
        {&IID_IAsioCleanup, static_cast<IAsioCleanup*>(this)}};
    const NTSTATUS status = AnswerControlInterface(entries, interfaceId, object);
    if (status == STATUS_INVALID_PARAMETER && IsEqualGUID(interfaceId, IID_IDeviceLock) &&
        m_DeviceClassObject != nullptr)
        return m_DeviceClassObject->QueryInterface(interfaceId, object); // the device object's
    return status;
}

// ----------------------------------------------------------------------------
// Start-up

NTSTATUS CAdapterCommon::Init(PRESOURCELIST resourceList, PDEVICE_OBJECT functionalDeviceObject,
                              PDEVICE_OBJECT lowerDeviceObject, PDEVICE_OBJECT physicalDeviceObject)
{
    PAGED_CODE();
    m_DevicePresent = 1;

    void* iniBlock =
        ExAllocatePoolWithTag(NonPagedPool, INI_READER_BLOCK_SIZE, INI_OBJECT_POOL_TAG);
    if (iniBlock == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(iniBlock, INI_READER_BLOCK_SIZE);
    auto* ini = new (iniBlock) CIniFile(functionalDeviceObject);
    ImportIniFile(ini, functionalDeviceObject);

    KeInitializeSpinLock(&m_IdleLock);
    KeInitializeDpc(&m_IdleDpc, IdleTimerDpc, this);
    KeInitializeTimerEx(&m_IdleTimer, NotificationTimer);
    KeInitializeEvent(&m_IdleFinishedEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&m_WorkFinishedEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&m_WakeFinishedEvent, NotificationEvent, TRUE);
    m_IdleInitialized = TRUE;

    NTSTATUS status = CAudioHal::OpenAudioHalCallback(resourceList, functionalDeviceObject,
                                                      lowerDeviceObject, physicalDeviceObject);

    ULONG selectiveSuspend = 0;
    ReadSelectiveSuspend(1, sizeof(selectiveSuspend), &selectiveSuspend);
    m_SelectiveSuspendEnabled = selectiveSuspend != 0 ? 1 : 0;

    m_IdleCallbackInfo = nullptr;
    m_IdleRequest = nullptr;
    m_IdleOutstanding = 0;
    m_IdleRequestReferences = 0;
    InterlockedExchange(&m_BusyCount, ADAPTER_BUSY_IDLE);
    InterlockedExchange(&m_ActiveStreamCount, 0);

    if (NT_SUCCESS(status) && m_SelectiveSuspendEnabled != 0)
        ArmIdleTimer();

    ini->~CIniFile();
    ExFreePoolWithTag(iniBlock, INI_OBJECT_POOL_TAG);
    return status;
}

// An INI file is imported once per new version number, and before the device
// is configured, so that everything configured reads the imported values.
void CAdapterCommon::ImportIniFile(CIniFile* ini, PDEVICE_OBJECT deviceObject)
{
    PAGED_CODE();
    if (!NT_SUCCESS(ini->IniBuildPath()))
        return;
    ULONG fileVersion = ini->IniReadVersion();
    ULONG registryVersion = 0;
    RegistryBinarySetting(deviceObject, SETTINGS_READ, &registryVersion, sizeof(registryVersion),
                          u"IniVersion");
    if (registryVersion >= fileVersion)
        return;
    if (!NT_SUCCESS(ini->IniOpen()) || !NT_SUCCESS(ini->IniReadAll()))
        return;
    RegistryBinarySetting(deviceObject, SETTINGS_WRITE, &fileVersion, sizeof(fileVersion),
                          u"IniVersion");
}

PUSBD_INTERFACE_INFORMATION CAdapterCommon::GetInterfaceInformation(ULONG index) const
{
    if (m_InterfaceInformation == nullptr || index >= m_InterfaceCount)
        return nullptr;
    return m_InterfaceInformation[index];
}

void CAdapterCommon::FreeInterfaceInformation()
{
    if (m_InterfaceInformation == nullptr)
        return;
    for (ULONG i = 0; i < m_InterfaceCount; ++i)
        if (m_InterfaceInformation[i] != nullptr)
            ExFreePoolWithTag(m_InterfaceInformation[i], USB_IO_POOL_TAG);
    ExFreePoolWithTag(m_InterfaceInformation, USB_IO_POOL_TAG);
    m_InterfaceInformation = nullptr;
    m_InterfaceCount = 0;
}

// ----------------------------------------------------------------------------
// The device-object interface: the adapter has no units or streams of its
// own, so these reach the device object once the device is configured.

NTSTATUS CAdapterCommon::GetStreamCapabilities(ULONG streamIndex,
                                               PENDPOINTCAPABILITIES capabilities)
{
    if (m_DeviceInterface == nullptr)
        return STATUS_UNSUCCESSFUL;
    return m_DeviceInterface->GetStreamCapabilities(streamIndex, capabilities);
}

ULONG CAdapterCommon::GetEngineCount()
{
    return m_DeviceInterface != nullptr ? m_DeviceInterface->GetEngineCount() : 0;
}

NTSTATUS CAdapterCommon::GetEngine(ULONG index, CStreamEngine** engine)
{
    if (m_DeviceInterface == nullptr)
    {
        if (engine != nullptr)
            *engine = nullptr;
        return STATUS_UNSUCCESSFUL;
    }
    return m_DeviceInterface->GetEngine(index, engine);
}

ULONG CAdapterCommon::GetUnitCount()
{
    return m_DeviceInterface != nullptr ? m_DeviceInterface->GetUnitCount() : 0;
}

NTSTATUS CAdapterCommon::GetUnit(ULONG index, CAudioControl** unit)
{
    if (m_DeviceInterface == nullptr)
    {
        if (unit != nullptr)
            *unit = nullptr;
        return STATUS_UNSUCCESSFUL;
    }
    return m_DeviceInterface->GetUnit(index, unit);
}

NTSTATUS CAdapterCommon::StartAllUnits()
{
    PAGED_CODE();
    if (m_DeviceInterface == nullptr)
        return STATUS_UNSUCCESSFUL;
    return m_DeviceInterface->StartAllUnits();
}

NTSTATUS CAdapterCommon::StopAllUnits()
{
    PAGED_CODE();
    if (m_DeviceInterface == nullptr)
        return STATUS_UNSUCCESSFUL;
    return m_DeviceInterface->StopAllUnits();
}

NTSTATUS CAdapterCommon::RegisterCallback(PCALLBACK_FUNCTION callback, PVOID context,
                                          PVOID* registration)
{
    PAGED_CODE();
    if (m_DeviceInterface == nullptr)
    {
        if (registration != nullptr)
            *registration = nullptr;
        return STATUS_UNSUCCESSFUL;
    }
    return m_DeviceInterface->RegisterCallback(callback, context, registration);
}

NTSTATUS CAdapterCommon::UnregisterCallback(PVOID registration)
{
    PAGED_CODE();
    if (m_DeviceInterface == nullptr)
        return STATUS_UNSUCCESSFUL;
    return m_DeviceInterface->UnregisterCallback(registration);
}
