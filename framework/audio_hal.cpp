#include "framework/callback_object.h"
#include "framework/audio_hal.h"

#include <new>

#include "framework/interface_table.h"
#include "framework/stream_engine.h"

namespace
{
// What the bus answers for a device that is no longer there.
constexpr NTSTATUS c_DeviceGoneStatuses[] = {STATUS_NO_SUCH_DEVICE, STATUS_DEVICE_NOT_CONNECTED};

bool DeviceGone(NTSTATUS status)
{
    for (NTSTATUS gone : c_DeviceGoneStatuses)
        if (status == gone)
            return true;
    return false;
}

CPtrList* NewList()
{
    void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(CPtrList), AUDIO_HAL_POOL_TAG);
    return block != nullptr ? new (block) CPtrList() : nullptr;
}

template <typename T> void ReleaseAndFree(CPtrList*& list)
{
    if (list == nullptr)
        return;
    PVOID data = nullptr;
    while (list->RemoveHead(&data))
        static_cast<T*>(data)->Release();
    ExFreePoolWithTag(list, AUDIO_HAL_POOL_TAG);
    list = nullptr;
}

template <typename T> NTSTATUS GetEntry(CPtrList* list, ULONG index, T** entry)
{
    if (entry == nullptr)
        return STATUS_INVALID_PARAMETER;
    *entry = nullptr;
    if (list == nullptr)
        return STATUS_UNSUCCESSFUL;
    if (index >= list->GetCount())
        return STATUS_INVALID_PARAMETER;
    PVOID data = nullptr;
    if (!list->GetAt((LONG)index, &data))
        return STATUS_UNSUCCESSFUL;
    *entry = static_cast<T*>(data);
    return STATUS_SUCCESS;
}

template <typename T> NTSTATUS AddEntry(CPtrList* list, T* entry)
{
    if (entry == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (list == nullptr)
        return STATUS_UNSUCCESSFUL;
    entry->AddRef();
    if (list->AddTail(entry) == nullptr)
    {
        entry->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

bool IsDevicePowerState(ULONG state)
{
    return state >= PowerDeviceD0 && state <= PowerDeviceD3;
}
} // namespace

CAudioHal::CAudioHal(PUNKNOWN outerUnknown)
    : CUnknown(outerUnknown), m_DeviceObject(nullptr), m_NextDeviceObject(nullptr),
      m_PhysicalDeviceObject(nullptr), m_PowerState(0), m_CallbackObject(nullptr),
      m_UnitList(nullptr), m_EngineList(nullptr), m_CapabilityRecord()
{
}

CAudioHal::~CAudioHal()
{
    PAGED_CODE();
    FreeLists();
    if (m_CallbackObject != nullptr)
        ObDereferenceObject(m_CallbackObject);
    m_CallbackObject = nullptr;
}

void CAudioHal::FreeLists()
{
    ReleaseAndFree<CAudioControl>(m_UnitList);
    ReleaseAndFree<CStreamEngine>(m_EngineList);
}

NTSTATUS CAudioHal::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    *object = nullptr;
    const ControlInterfaceEntry entries[] = {
        {&IID_IUnknown, static_cast<IAdapterCommon*>(this)},
        {&IID_IAdapterCommon, static_cast<IAdapterCommon*>(this)},
        {&IID_IAdapterPowerManagement, static_cast<IAdapterPowerManagement*>(this)}};
    return AnswerControlInterface(entries, interfaceId, object);
}

// ----------------------------------------------------------------------------
// IAdapterCommon

NTSTATUS CAudioHal::GetStreamCapabilities(ULONG, PENDPOINTCAPABILITIES capabilities)
{
    if (capabilities == nullptr)
        return STATUS_INVALID_PARAMETER;
    *capabilities = m_CapabilityRecord;
    return STATUS_SUCCESS;
}

NTSTATUS CAudioHal::GetComponentId(PVOID, PKSCOMPONENTID)
{
    return STATUS_INVALID_DEVICE_REQUEST;
}

ULONG CAudioHal::GetEngineCount()
{
    return m_EngineList != nullptr ? m_EngineList->GetCount() : 0;
}

NTSTATUS CAudioHal::GetEngine(ULONG index, CStreamEngine** engine)
{
    return GetEntry(m_EngineList, index, engine);
}

ULONG CAudioHal::GetUnitCount()
{
    return m_UnitList != nullptr ? m_UnitList->GetCount() : 0;
}

NTSTATUS CAudioHal::GetUnit(ULONG index, CAudioControl** unit)
{
    return GetEntry(m_UnitList, index, unit);
}

PDEVICE_OBJECT CAudioHal::GetDeviceObject()
{
    return m_DeviceObject;
}

NTSTATUS CAudioHal::OpenAudioHalCallback(PRESOURCELIST, PDEVICE_OBJECT deviceObject,
                                         PDEVICE_OBJECT nextDeviceObject,
                                         PDEVICE_OBJECT physicalDeviceObject)
{
    PAGED_CODE();
    if (m_UnitList != nullptr || m_EngineList != nullptr || m_CallbackObject != nullptr)
        return STATUS_INVALID_DEVICE_STATE; // opened once only
    m_UnitList = NewList();
    m_EngineList = NewList();
    NTSTATUS status = STATUS_SUCCESS;
    if (m_UnitList == nullptr || m_EngineList == nullptr)
        status = STATUS_INSUFFICIENT_RESOURCES;
    if (NT_SUCCESS(status))
        status = CreateAddressCallbackObject(u"\\Callback\\AudioHalAddr",
                                             static_cast<IAdapterCommon*>(this), &m_CallbackObject);
    if (!NT_SUCCESS(status))
        DbgPrint("AudioHal: the unit and engine lists or the callback object could not be made: "
                 "0x%08X\n",
                 (unsigned)status);
    if (NT_SUCCESS(status))
    {
        m_DeviceObject = deviceObject;
        m_NextDeviceObject = nextDeviceObject;
        m_PhysicalDeviceObject = physicalDeviceObject;
        m_PowerState = PowerDeviceD0;
        // InitDevice names what it refuses itself.
        status = InitDevice();
        if (NT_SUCCESS(status))
        {
            status = CompleteSetup();
            if (!NT_SUCCESS(status))
                DbgPrint("AudioHal: the controls' values could not be restored to the device: "
                         "0x%08X\n",
                         (unsigned)status);
        }
    }
    if (!NT_SUCCESS(status))
        FreeLists(); // the callback object stays until destruction
    return status;
}

NTSTATUS CAudioHal::StartAllUnits()
{
    PAGED_CODE();
    if (m_UnitList == nullptr)
        return STATUS_SUCCESS;
    POSITION position = m_UnitList->GetHeadPosition();
    PVOID data = nullptr;
    while (m_UnitList->GetNext(&position, &data))
        static_cast<CAudioControl*>(data)->Start();
    return STATUS_SUCCESS;
}

NTSTATUS CAudioHal::StopAllUnits()
{
    PAGED_CODE();
    if (m_UnitList == nullptr)
        return STATUS_SUCCESS;
    POSITION position = m_UnitList->GetHeadPosition();
    PVOID data = nullptr;
    while (m_UnitList->GetNext(&position, &data))
        static_cast<CAudioControl*>(data)->Stop();
    return STATUS_SUCCESS;
}

NTSTATUS CAudioHal::RegisterCallback(PCALLBACK_FUNCTION callback, PVOID context,
                                     PVOID* registration)
{
    return RegisterOnCallbackObject(m_CallbackObject, callback, context, registration);
}

NTSTATUS CAudioHal::UnregisterCallback(PVOID registration)
{
    return UnregisterFromCallbackObject(registration);
}

NTSTATUS CAudioHal::WakeFromIdle(PIRP)
{
    return STATUS_SUCCESS;
}

NTSTATUS CAudioHal::InitDevice()
{
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS CAudioHal::CompleteSetup()
{
    PAGED_CODE();
    LinkSelectorInputs();
    return InitAllUnits();
}

NTSTATUS CAudioHal::GetEndpointCapabilities(BOOLEAN, ULONG, PENDPOINTCAPABILITIES capabilities)
{
    if (capabilities == nullptr)
        return STATUS_INVALID_PARAMETER;
    *capabilities = m_CapabilityRecord;
    return STATUS_SUCCESS;
}

// ----------------------------------------------------------------------------
// IAdapterPowerManagement

void CAudioHal::PowerChangeState(POWER_STATE newState)
{
    PAGED_CODE();
    const ULONG state = (ULONG)newState.DeviceState;
    if (state == m_PowerState || !IsDevicePowerState(state))
        return;
    if (state == PowerDeviceD0)
        InitAllUnits();
    m_PowerState = state;
}

NTSTATUS CAudioHal::QueryPowerChangeState(POWER_STATE)
{
    return STATUS_SUCCESS;
}

NTSTATUS CAudioHal::QueryDeviceCapabilities(PDEVICE_CAPABILITIES powerDeviceCaps)
{
    if (powerDeviceCaps == nullptr)
        return STATUS_INVALID_PARAMETER;
    powerDeviceCaps->SurpriseRemovalOK = 1;
    return STATUS_SUCCESS;
}

void CAudioHal::DevicePowerChangeState(ULONG newState, PDEVICEMODEL model)
{
    PAGED_CODE();
    if (newState == m_PowerState || !IsDevicePowerState(newState))
        return;
    if (newState == PowerDeviceD0)
    {
        if (model != nullptr)
            model->PostParse();
        InitAllUnits();
    }
    m_PowerState = newState;
    const ULONG engines = GetEngineCount();
    for (ULONG i = 0; i < engines; ++i)
    {
        CStreamEngine* engine = nullptr;
        if (!NT_SUCCESS(GetEngine(i, &engine)))
            break;
        if (!NT_SUCCESS(engine->PowerChangeState(newState)))
            break;
        // The jacks may have changed while the device slept; an engine that
        // cannot be installed now is tried again at the next return.
        if (newState == PowerDeviceD0)
            engine->InstallMiniport(m_DeviceObject, nullptr, static_cast<IAdapterCommon*>(this));
    }
    if (newState == PowerDeviceD0)
        StartAllUnits();
    else
        StopAllUnits();
}

// ----------------------------------------------------------------------------
// Registration and unit walks

NTSTATUS CAudioHal::AddUnitObject(CAudioControl* unit)
{
    PAGED_CODE();
    return AddEntry(m_UnitList, unit);
}

NTSTATUS CAudioHal::AddStreamObject(CStreamEngine* engine)
{
    PAGED_CODE();
    return AddEntry(m_EngineList, engine);
}

NTSTATUS CAudioHal::FindUnitById(ULONG id, CAudioControl** unit)
{
    PAGED_CODE();
    if (unit == nullptr)
        return STATUS_INVALID_PARAMETER;
    *unit = nullptr;
    if (m_UnitList == nullptr || m_UnitList->IsEmpty())
        return STATUS_UNSUCCESSFUL;
    POSITION position = m_UnitList->GetHeadPosition();
    PVOID data = nullptr;
    while (m_UnitList->GetNext(&position, &data))
    {
        auto candidate = static_cast<CAudioControl*>(data);
        if (candidate->GetId() == id)
            *unit = candidate; // the last one in list order wins
    }
    return *unit != nullptr ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CAudioHal::InitAllUnits()
{
    PAGED_CODE();
    if (m_UnitList == nullptr)
        return STATUS_SUCCESS;
    NTSTATUS result = STATUS_SUCCESS;
    POSITION position = m_UnitList->GetHeadPosition();
    PVOID data = nullptr;
    while (m_UnitList->GetNext(&position, &data))
    {
        // One control the device will not take back costs only that
        // control; a device that is gone ends the walk.
        auto unit = static_cast<CAudioControl*>(data);
        const NTSTATUS status = unit->RestoreState();
        if (DeviceGone(status))
            return status;
        if (NT_SUCCESS(status))
            result = status;
        else
            DbgPrint("AudioHal: control %lu refused its restore (0x%08lX)\n",
                     (unsigned long)unit->GetId(), (unsigned long)status);
    }
    return result;
}

void CAudioHal::LinkSelectorInputs()
{
    PAGED_CODE();
    const ULONG units = GetUnitCount();
    for (ULONG i = 0; i < units; ++i)
    {
        CAudioControl* unit = nullptr;
        if (!NT_SUCCESS(GetUnit(i, &unit)) || unit->GetKind() != CONTROL_KIND_SELECTOR)
            continue;
        ULONG count = unit->GetValueCount();
        if (count > MAX_LINKED_SELECTOR_INPUTS)
            continue;
        ULONG sources[MAX_LINKED_SELECTOR_INPUTS] = {};
        if (count == 0 || !NT_SUCCESS(unit->GetValues(&count, sources)))
            continue;
        PSELECTORCONTROL selector = nullptr;
        if (!NT_SUCCESS(unit->QueryInterface(IID_ISelectorControl, (PVOID*)&selector)))
            continue;
        for (ULONG input = 1; input <= count; ++input)
            LinkSelectorInput(input, selector, sources[input - 1]);
        selector->Release();
    }
}

// Follows the chain of single-input units upstream from one selector input
// and links each unit of it, the deepest first. The source ids come from the
// device, so a chain that comes back to a unit already on it ends there.
void CAudioHal::LinkSelectorInput(ULONG inputNumber, PSELECTORCONTROL selector, ULONG unitId)
{
    PAGED_CODE();
    const ULONG limit = GetUnitCount();
    if (limit == 0)
        return;
    auto chain = static_cast<CAudioControl**>(
        ExAllocatePoolWithTag(PagedPool, limit * sizeof(CAudioControl*), AUDIO_HAL_POOL_TAG));
    if (chain == nullptr)
        return;
    ULONG length = 0;
    ULONG id = unitId;
    while (length < limit)
    {
        CAudioControl* unit = nullptr;
        if (!NT_SUCCESS(FindUnitById(id, &unit)) || unit->GetValueCount() != 1)
            break;
        bool seen = false;
        for (ULONG k = 0; k < length && !seen; ++k)
            seen = chain[k] == unit;
        if (seen)
            break;
        chain[length++] = unit;
        ULONG one = 1;
        ULONG source = 0;
        if (!NT_SUCCESS(unit->GetValues(&one, &source)) || one != 1)
            break;
        id = source;
    }
    for (ULONG k = length; k-- > 0;)
    {
        ULONG selection = 0;
        selector->GetCurrent(&selection);
        PCHAINNODESTATE link = nullptr;
        if (!NT_SUCCESS(chain[k]->QueryInterface(IID_IChainNodeState, (PVOID*)&link)))
            continue;
        selector->AddListener(link);
        link->SetIndex(inputNumber);
        link->SetState(selection);
        link->Release();
    }
    ExFreePoolWithTag(chain, AUDIO_HAL_POOL_TAG);
}

void CAudioHal::NotifyHalListeners(ULONG id)
{
    if (m_CallbackObject == nullptr)
        return;
    HalNotification record = {HAL_NOTIFICATION_TYPE, HAL_NOTIFICATION_SUBTYPE, id, 0, 0};
    ExNotifyCallback(m_CallbackObject, &record, nullptr);
}
