#include "usbaudio/device/usb_audio_device.h"

#include <new>

#include "framework/adapter_extension.h"
#include "framework/audio_function.h"
#include "framework/interface_table.h"
#include "framework/registry_settings.h"
#include "platform/usb/usbdlib.h"
#include "usbaudio/device/device_lock.h"
#include "audioclass/controls/uac_unit.h"

namespace
{
// Indices beyond two digits are never handed out: 255 engines of one kind
// cannot exist on a device with 20 subdevices.
constexpr ULONG c_MaxNameIndex = 99;

// The bytes from an interface to the end of the configuration.
ULONG BytesToEnd(PUSB_CONFIGURATION_DESCRIPTOR configuration, PUSB_INTERFACE_DESCRIPTOR found)
{
    const ULONG offset = (ULONG)((PUCHAR)found - (PUCHAR)configuration);
    const ULONG total = configuration->wTotalLength;
    return offset < total ? total - offset : 0;
}

constexpr ULONG c_NoControlId = 0xFFFFFFFF;

bool IsTerminalUnit(CUacUnit* unit)
{
    const ULONG kind = unit->GetKind();
    return kind == USB_AUDIO_INPUT_TERMINAL || kind == USB_AUDIO_OUTPUT_TERMINAL;
}

template <typename Visit> void ForEachUnitControl(CUacUnit* unit, Visit visit)
{
    ULONG count = 0;
    unit->UnitGetControlCount(&count);
    for (ULONG i = 0; i < count; ++i)
    {
        CAudioControl* control = nullptr;
        if (NT_SUCCESS(unit->UnitGetControl(i, &control)) && control != nullptr)
            visit(control); // a missing control is skipped
    }
}

// A set-up step that failed, by what it tried.
void NameFailedStep(PCSTR what, NTSTATUS status)
{
    DbgPrint("UsbAudio: %s: 0x%08X\n", what, (unsigned)status);
}

bool SameName(PCWSTR a, PCWSTR b)
{
    for (ULONG i = 0; i <= STREAM_ENGINE_NAME_OUT_CHARS; ++i)
    {
        if (a[i] != b[i])
            return false;
        if (a[i] == 0)
            return true;
    }
    return true;
}
} // namespace

POUTPUTTYPECONTROL FindOutputTypeControl(CStreamEngine* engine)
{
    const ULONG count = engine->GetControlCount();
    for (ULONG i = 0; i < count; ++i)
    {
        CAudioControl* control = nullptr;
        if (!NT_SUCCESS(engine->GetControlAt(i, &control)) || control == nullptr ||
            control->GetKind() != CONTROL_KIND_LIST)
            continue;
        POUTPUTTYPECONTROL outputType = nullptr;
        if (!NT_SUCCESS(control->QueryInterface(IID_IOutputTypeControl, (PVOID*)&outputType)))
            outputType = nullptr;
        return outputType; // the first output-type control decides
    }
    return nullptr;
}

CUsbAudioDevice::CUsbAudioDevice(PUNKNOWN outerUnknown, const DeviceClassTraits& traits,
                                 USHORT idVendor, USHORT idProduct)
    : CAudioHal(outerUnknown), m_Traits(traits), m_idVendor(idVendor), m_idProduct(idProduct),
      m_DeviceRecord(FindDeviceRecord(idVendor, idProduct)), m_AudioControlInterface(0),
      m_DeviceUnits(nullptr)
{
}

CUsbAudioDevice::~CUsbAudioDevice()
{
    PAGED_CODE();
    // The units were stopped at removal; only the thread may still be out.
    m_Polling.Stop();
    if (m_DeviceUnits != nullptr)
    {
        PVOID data = nullptr;
        while (m_DeviceUnits->RemoveHead(&data))
            static_cast<CAudioControl*>(data)->Release();
        ExFreePoolWithTag(m_DeviceUnits, m_Traits.ListTag);
        m_DeviceUnits = nullptr;
    }
}

NTSTATUS CUsbAudioDevice::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    const ControlInterfaceEntry entries[] = {{&IID_IDeviceModel, static_cast<IDeviceModel*>(this)},
                                             {&IID_IDeviceLock, static_cast<IDeviceLock*>(this)}};
    if (object != nullptr && NT_SUCCESS(AnswerControlInterface(entries, interfaceId, object)))
        return STATUS_SUCCESS;
    return CAudioHal::NonDelegatingQueryInterface(interfaceId, object);
}

// ----------------------------------------------------------------------------
// Set-up

NTSTATUS CUsbAudioDevice::OpenAudioHalCallback(PRESOURCELIST resourceList,
                                               PDEVICE_OBJECT deviceObject,
                                               PDEVICE_OBJECT nextDeviceObject,
                                               PDEVICE_OBJECT physicalDeviceObject)
{
    PAGED_CODE();
    if (m_DeviceUnits != nullptr)
        return STATUS_INVALID_DEVICE_STATE; // opened once only
    void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(CPtrList), m_Traits.ListTag);
    if (block == nullptr)
    {
        NameFailedStep("the device's unit list could not be allocated",
                       STATUS_INSUFFICIENT_RESOURCES);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    m_DeviceUnits = new (block) CPtrList();
    return CAudioHal::OpenAudioHalCallback(resourceList, deviceObject, nextDeviceObject,
                                           physicalDeviceObject);
}

NTSTATUS CUsbAudioDevice::InitDevice()
{
    PAGED_CODE();
    PUSBDEVICEIO io = nullptr;
    NTSTATUS status = GetOuterUnknown()->QueryInterface(IID_IUsbDeviceIo, (PVOID*)&io);
    if (!NT_SUCCESS(status))
    {
        NameFailedStep("the adapter's USB interface could not be queried", status);
        return status;
    }
    // The steps in order; the first that fails ends the set-up, named with
    // its status. The walks name what they refuse themselves.
    struct Step
    {
        NTSTATUS (CUsbAudioDevice::*Run)(PUSBDEVICEIO io);
        PCSTR Failure;
    };
    static const Step steps[] = {
        {&CUsbAudioDevice::PrepareConfiguration,
         "the device's capabilities could not be read (its model string or chip)"},
        {&CUsbAudioDevice::ParseConfigurationAc, nullptr},
        {&CUsbAudioDevice::ParseConfigurationAs, nullptr},
        {&CUsbAudioDevice::RunModelHook, "the model's registers could not be refreshed"},
    };
    for (const Step& step : steps)
    {
        status = (this->*step.Run)(io);
        if (NT_SUCCESS(status))
            continue;
        if (step.Failure != nullptr)
            NameFailedStep(step.Failure, status);
        break;
    }
    io->Release();
    return status;
}

NTSTATUS CUsbAudioDevice::PrepareConfiguration(PUSBDEVICEIO io)
{
    return FillCapabilityRecord(io);
}

NTSTATUS CUsbAudioDevice::RunModelHook(PUSBDEVICEIO)
{
    return m_Traits.RunsModelHook ? PostParse() : STATUS_SUCCESS;
}

NTSTATUS CUsbAudioDevice::ParseConfigurationAc(PUSBDEVICEIO io)
{
    PAGED_CODE();
    PUSB_CONFIGURATION_DESCRIPTOR configuration = io->GetConfigurationDescriptor();
    if (configuration == nullptr)
        return STATUS_UNSUCCESSFUL;
    PUSB_INTERFACE_DESCRIPTOR audioControl = FindAudioFunctionControl(configuration);
    if (audioControl == nullptr)
        return STATUS_SUCCESS;
    m_AudioControlInterface = audioControl->bInterfaceNumber;
    return ParseAudioControl(audioControl, BytesToEnd(configuration, audioControl));
}

NTSTATUS CUsbAudioDevice::ParseConfigurationAs(PUSBDEVICEIO io)
{
    PAGED_CODE();
    PUSB_CONFIGURATION_DESCRIPTOR configuration = io->GetConfigurationDescriptor();
    if (configuration == nullptr)
        return STATUS_UNSUCCESSFUL;
    PUSB_INTERFACE_DESCRIPTOR streaming =
        NextFunctionStreamingInterface(configuration, configuration);
    if (streaming == nullptr)
    {
        // A MIDI-only function, for one. Its start fails later, for want of
        // the terminals a stream brings, where nothing knows why: said here.
        UCHAR midi = 0;
        if (FindFunctionMidiInterface(configuration, m_AudioControlInterface, &midi))
            DbgPrint("UsbAudio: AudioControl interface %u: the audio function has no audio "
                     "streams, only MIDI interface %u, which this driver does not support\n",
                     m_AudioControlInterface, midi);
        else
            DbgPrint("UsbAudio: AudioControl interface %u: the audio function has no audio "
                     "streams\n",
                     m_AudioControlInterface);
        return STATUS_SUCCESS;
    }
    return ParseAudioStreaming(configuration, streaming, BytesToEnd(configuration, streaming));
}

PUSB_INTERFACE_DESCRIPTOR
CUsbAudioDevice::NextFunctionStreamingInterface(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                                PVOID from) const
{
    for (PUCHAR at = static_cast<PUCHAR>(from);;)
    {
        PUSB_INTERFACE_DESCRIPTOR found =
            USBD_ParseConfigurationDescriptorEx(configuration, at, -1, -1, USB_DEVICE_CLASS_AUDIO,
                                                USB_AUDIO_SUBCLASS_AUDIOSTREAMING, -1);
        if (found == nullptr ||
            InAudioFunction(configuration, m_AudioControlInterface, found->bInterfaceNumber))
            return found;
        at = reinterpret_cast<PUCHAR>(found) + (found->bLength != 0 ? found->bLength : 1);
    }
}

NTSTATUS CUsbAudioDevice::PostParse()
{
    return m_Traits.HasModelHook ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST;
}

// ----------------------------------------------------------------------------
// Interrupt polling and control changes

NTSTATUS CUsbAudioDevice::StartAllUnits()
{
    PAGED_CODE();
    NTSTATUS status = m_Polling.Start(this, PollingKind());
    if (NT_SUCCESS(status) && PollingRunsUnits())
        status = CAudioHal::StartAllUnits();
    return status;
}

NTSTATUS CUsbAudioDevice::StopAllUnits()
{
    PAGED_CODE();
    if (PollingRunsUnits())
        CAudioHal::StopAllUnits();
    m_Polling.Stop();
    return STATUS_SUCCESS;
}

// Audio class 1.0: bStatusType, then the originator's id; only messages
// about an AudioControl entity (low four bits 0) are control changes.
void CUsbAudioDevice::HandleStatusMessage(const UCHAR* message, ULONG length)
{
    constexpr ULONG c_MessageBytes = 2;
    constexpr UCHAR c_OriginatorKind = 0x0F;
    if (message == nullptr || length < c_MessageBytes || (message[0] & c_OriginatorKind) != 0)
        return;
    NotifyControlChange(message[1]);
}

void CUsbAudioDevice::NotifyEveryUnit()
{
    const ULONG units = m_DeviceUnits != nullptr ? m_DeviceUnits->GetCount() : 0;
    for (ULONG i = 0; i < units; ++i)
        NotifyControlChange(i);
}

NTSTATUS CUsbAudioDevice::NotifyControlChange(ULONG unitId)
{
    PAGED_CODE();
    DeviceLockHold hold(this);
    CUacUnit* unit = nullptr;
    ULONG id = 0;
    NTSTATUS status = ReadChangedUnit(unitId, 0, 0, &unit, &id);
    if (!NT_SUCCESS(status))
        return status;
    if (IsTerminalUnit(unit))
        return ReinstallEngines(unit);
    ForEachUnitControl(unit,
                       [this](CAudioControl* control)
                       {
                           control->UpdateState();
                           NotifyHalListeners(control->GetId());
                       });
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioDevice::NotifyControlChangeUac2(ULONG entityId, ULONG selector, ULONG channel)
{
    PAGED_CODE();
    DeviceLockHold hold(this);
    CUacUnit* unit = nullptr;
    ULONG id = c_NoControlId;
    NTSTATUS status = ReadChangedUnit(entityId, selector, channel, &unit, &id);
    if (!NT_SUCCESS(status))
        return status;
    if (IsTerminalUnit(unit))
        return selector == USB_AUDIO20_TE_CONNECTOR_CONTROL ? ReinstallEngines(unit)
                                                            : STATUS_SUCCESS;
    // A unit that names no control has nothing to announce; the one it names
    // reads its value first, so that listeners find the new one.
    CAudioControl* control = nullptr;
    if (id == c_NoControlId || !NT_SUCCESS(FindUnitById(id, &control)) || control == nullptr)
        return STATUS_SUCCESS;
    control->UpdateState();
    NotifyHalListeners(id);
    return STATUS_SUCCESS;
}

// Finds the unit and runs its read, which names the control that changed
// (class 2.0) or refreshes what the unit keeps (an output terminal's type).
NTSTATUS CUsbAudioDevice::ReadChangedUnit(ULONG unitId, ULONG selector, ULONG channel,
                                          CUacUnit** unit, PULONG controlId)
{
    CAudioControl* found = nullptr;
    NTSTATUS status = FindUnitByIdInDevice(unitId, &found);
    if (!NT_SUCCESS(status))
        return status;
    *unit = static_cast<CUacUnit*>(found);
    return (*unit)->GetSingleControlId(selector, channel, controlId);
}

// A terminal's change brings every engine's wave subdevice in line with
// its jacks. An input terminal's read names its control without reading
// the jacks: they are read first, so that a plugged or pulled jack counts.
NTSTATUS CUsbAudioDevice::ReinstallEngines(CUacUnit* terminal)
{
    if (terminal->GetKind() == USB_AUDIO_INPUT_TERMINAL)
        ForEachUnitControl(terminal, [](CAudioControl* control) { control->UpdateState(); });
    const ULONG engines = GetEngineCount();
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < engines && NT_SUCCESS(status); ++i)
    {
        CStreamEngine* engine = nullptr;
        status = GetEngine(i, &engine);
        if (NT_SUCCESS(status))
            status = engine->InstallMiniport(m_DeviceObject, nullptr, GetOuterUnknown());
    }
    return status;
}

// ----------------------------------------------------------------------------
// Units

NTSTATUS CUsbAudioDevice::GetUnitList(CPtrList** unitList)
{
    if (unitList == nullptr)
        return STATUS_UNSUCCESSFUL;
    *unitList = m_DeviceUnits;
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioDevice::AddDeviceUnit(CAudioControl* unit)
{
    PAGED_CODE();
    if (unit == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (m_DeviceUnits == nullptr)
        return STATUS_UNSUCCESSFUL;
    unit->AddRef();
    if (m_DeviceUnits->AddHead(unit) == nullptr)
    {
        unit->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioDevice::FindUnitByIdInDevice(ULONG id, CAudioControl** unit)
{
    PAGED_CODE();
    if (unit == nullptr)
        return STATUS_INVALID_PARAMETER;
    *unit = nullptr;
    if (m_DeviceUnits == nullptr || m_DeviceUnits->IsEmpty())
        return STATUS_UNSUCCESSFUL;
    POSITION position = m_DeviceUnits->GetHeadPosition();
    PVOID data = nullptr;
    while (m_DeviceUnits->GetNext(&position, &data))
    {
        auto candidate = static_cast<CAudioControl*>(data);
        if (candidate->GetId() == id)
            *unit = candidate; // newest first: the last match is the oldest
    }
    return *unit != nullptr ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// ----------------------------------------------------------------------------
// Capabilities

NTSTATUS CUsbAudioDevice::GetStreamCapabilities(ULONG streamIndex,
                                                PENDPOINTCAPABILITIES capabilities)
{
    PAGED_CODE();
    const ULONG engines = GetEngineCount();
    if (engines == 0)
        return GetEndpointCapabilities(FALSE, ENDPOINT_KIND_STREAM, capabilities);
    // An index past the last engine asks for the last one.
    CStreamEngine* engine = nullptr;
    NTSTATUS status = GetEngine(streamIndex < engines ? streamIndex : engines - 1, &engine);
    if (!NT_SUCCESS(status))
        return status;
    const BOOLEAN isInput = engine->GetDirection() != STREAM_DIRECTION_RENDER;
    return GetEndpointCapabilities(isInput, engine->GetEndpointKind(), capabilities);
}

NTSTATUS CUsbAudioDevice::GetEndpointCapabilities(BOOLEAN, ULONG, PENDPOINTCAPABILITIES)
{
    return STATUS_UNSUCCESSFUL; // every class derives its own records
}

// ----------------------------------------------------------------------------
// Power

void CUsbAudioDevice::PowerChangeState(POWER_STATE newState)
{
    PAGED_CODE();
    DevicePowerChangeState((ULONG)newState.DeviceState,
                           m_Traits.HasModelHook ? static_cast<IDeviceModel*>(this) : nullptr);
}

// ----------------------------------------------------------------------------
// Wave subdevices of engines whose output type changed

NTSTATUS CUsbAudioDevice::CreateMiniports(ULONG unitId)
{
    PAGED_CODE();
    const ULONG engines = GetEngineCount();
    if (engines == 0)
        return STATUS_UNSUCCESSFUL;
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < engines && NT_SUCCESS(status); ++i)
        status = RefreshEngine(i, unitId);
    return status;
}

NTSTATUS CUsbAudioDevice::RefreshEngine(ULONG index, ULONG unitId)
{
    CStreamEngine* engine = nullptr;
    NTSTATUS status = GetEngine(index, &engine);
    if (!NT_SUCCESS(status))
        return status;
    POUTPUTTYPECONTROL outputType = FindOutputTypeControl(engine);
    if (outputType == nullptr)
        return STATUS_SUCCESS;
    const bool changed = outputType->IsChanged() != FALSE;
    if (changed)
        outputType->ClearChanged();
    outputType->Release();
    if (!changed)
        return STATUS_SUCCESS;
    auto name = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, MINIPORT_NAME_BYTES, MINIPORT_NAME_POOL_TAG));
    if (name == nullptr)
        return STATUS_UNSUCCESSFUL;

    // The present name, so that a failure can bring the filter back.
    WCHAR previous[STREAM_ENGINE_NAME_OUT_CHARS + 1] = {};
    engine->GetName(previous);
    status = engine->RemoveMiniport(m_DeviceObject);
    const bool removed = NT_SUCCESS(status);
    if (removed)
        status = NameEngine(index, engine, name);
    if (m_Traits.Refresh == MiniportRefresh::InstallAfterWait)
        WaitAfterNaming();
    ExFreePoolWithTag(name, MINIPORT_NAME_POOL_TAG);
    if (NT_SUCCESS(status))
        status = InstallEngine(engine, unitId);
    if (!NT_SUCCESS(status) && removed)
        RestorePrevious(engine, previous);
    return status;
}

// Names as start-up does: the prefix of the engine's kind, its direction and
// the adapter's running index for that kind, or the next index no other
// engine holds.
NTSTATUS CUsbAudioDevice::NameEngine(ULONG index, CStreamEngine* engine, PWSTR name)
{
    AdapterExtension* extension = GetAdapterExtension(m_DeviceObject);
    if (extension == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    const bool render = engine->GetDirection() == STREAM_DIRECTION_RENDER;
    ULONG kind = engine->GetEndpointKind();
    if (kind >= ENDPOINT_KIND_COUNT)
        kind = ENDPOINT_KIND_STREAM;
    UCHAR* counters = render ? extension->OutputNameCounters : extension->InputNameCounters;
    ULONG next = counters[kind] != 0 ? counters[kind] - 1u : 0u;
    for (;; ++next)
    {
        if (next > c_MaxNameIndex)
            return STATUS_UNSUCCESSFUL;
        RtlZeroMemory(name, MINIPORT_NAME_BYTES);
        RtlStringCchPrintfW(name, MINIPORT_NAME_CHARS, render ? u"%sOut%02d" : u"%sIn%02d",
                            EndpointTypePrefixes[kind], (int)next);
        if (!NameTakenByOther(index, name))
            break;
    }
    if (next >= counters[kind])
        counters[kind] = (UCHAR)(next + 1);
    return engine->SetName(name);
}

bool CUsbAudioDevice::NameTakenByOther(ULONG index, PCWSTR name)
{
    const ULONG engines = GetEngineCount();
    WCHAR other[STREAM_ENGINE_NAME_OUT_CHARS + 1];
    for (ULONG i = 0; i < engines; ++i)
    {
        CStreamEngine* engine = nullptr;
        if (i == index || !NT_SUCCESS(GetEngine(i, &engine)))
            continue;
        RtlZeroMemory(other, sizeof(other));
        if (NT_SUCCESS(engine->GetName(other)) && SameName(other, name))
            return true;
    }
    return false;
}

void CUsbAudioDevice::WaitAfterNaming()
{
    ULONG delay = 1;
    if (!NT_SUCCESS(RegistryBinarySetting(m_DeviceObject, SETTINGS_READ, &delay, sizeof(delay),
                                          UPDATE_MINIPORT_DELAY_VALUE)))
        return;
    LARGE_INTEGER interval;
    interval.QuadPart = -(LONGLONG)delay * 10000; // 64 bits: no wrap for large values
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

NTSTATUS CUsbAudioDevice::InstallEngine(CStreamEngine* engine, ULONG unitId)
{
    if (m_Traits.Refresh == MiniportRefresh::NotifyUnit)
        return NotifyControlChange(unitId);
    return engine->InstallMiniport(m_DeviceObject, nullptr, GetOuterUnknown());
}

void CUsbAudioDevice::RestorePrevious(CStreamEngine* engine, PCWSTR previousName)
{
    if (previousName[0] == 0)
        return;
    if (NT_SUCCESS(engine->SetName(previousName)) &&
        m_Traits.Refresh != MiniportRefresh::NotifyUnit)
        engine->InstallMiniport(m_DeviceObject, nullptr, GetOuterUnknown());
}
