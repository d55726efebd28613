#include "audioclass/controls/uac_unit.h"

#include <new>

#include "audioclass/descriptor_rules.h"

namespace
{
// Control kinds that take one source from the unit: values[0].
constexpr ULONG c_SingleSourceKinds[] = {1, 2, 3, 6, 7, 8, 9, 10, 11, 13, 18, 22, 23};

bool TakesOneSource(ULONG kind)
{
    for (ULONG k : c_SingleSourceKinds)
        if (k == kind)
            return true;
    return false;
}

// Input terminals of the capability records, and output terminals.
constexpr TerminalKindRange c_InputKinds[] = {
    {0x0201, 0x0201, ENDPOINT_KIND_MIC},     {0x0202, 0x0202, ENDPOINT_KIND_FMIC},
    {0x0302, 0x0302, ENDPOINT_KIND_HP},      {0x0401, 0x0401, ENDPOINT_KIND_HANDSET},
    {0x0402, 0x0402, ENDPOINT_KIND_HEADSET}, {0x0605, 0x0605, ENDPOINT_KIND_SPDIF}};
constexpr TerminalKindRange c_OutputKinds[] = {
    {0x0302, 0x0302, ENDPOINT_KIND_HP},      {0x0401, 0x0401, ENDPOINT_KIND_HANDSET},
    {0x0402, 0x0402, ENDPOINT_KIND_HEADSET}, {0x0601, 0x0601, ENDPOINT_KIND_LINE},
    {0x0603, 0x0603, ENDPOINT_KIND_LINE},    {0x0605, 0x0605, ENDPOINT_KIND_SPDIF}};
} // namespace

ULONG TerminalTypeToEndpointKind(USHORT terminalType)
{
    return KindForTerminalType(c_InputKinds, terminalType, ENDPOINT_KIND_LINE);
}

ULONG OutputTerminalTypeToEndpointKind(USHORT terminalType)
{
    return KindForTerminalType(c_OutputKinds, terminalType, ENDPOINT_KIND_SPK);
}

CUacUnit::~CUacUnit()
{
    UnitReleaseControls();
    if (m_Controls != nullptr)
        ExFreePoolWithTag(m_Controls, UAC_UNIT_POOL_TAG);
    if (m_Descriptor != nullptr)
        ExFreePoolWithTag(m_Descriptor, UAC_UNIT_POOL_TAG);
}

NTSTATUS CUacUnit::Init(const UCHAR* descriptor, CAudioHal* device)
{
    PAGED_CODE();
    if (descriptor == nullptr || descriptor[1] != USB_AUDIO_CS_INTERFACE ||
        descriptor[2] != Subtype())
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = UnitInitDescriptor(descriptor, device);
    if (!NT_SUCCESS(status))
        return status;
    ReadUnitState();
    status = CreateControls(device);
    if (NT_SUCCESS(status))
        UnitSyncControls();
    return status;
}

NTSTATUS CUacUnit::GetSingleControlId(ULONG, ULONG, PULONG id)
{
    if (id == nullptr)
        return STATUS_INVALID_PARAMETER;
    CAudioControl* control = nullptr;
    if (m_Controls == nullptr || m_Controls->GetCount() != 1 ||
        !m_Controls->GetHeadData((PVOID*)&control))
        return STATUS_UNSUCCESSFUL;
    *id = control->GetId();
    return STATUS_SUCCESS;
}

NTSTATUS CUacUnit::UnitInitDescriptor(const UCHAR* descriptor, CAudioHal* device)
{
    PAGED_CODE();
    if (descriptor == nullptr || device == nullptr || m_Descriptor != nullptr)
        return STATUS_INVALID_PARAMETER;
    m_Descriptor =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, descriptor[0], UAC_UNIT_POOL_TAG));
    void* list = ExAllocatePoolWithTag(NonPagedPool, sizeof(CPtrList), UAC_UNIT_POOL_TAG);
    if (m_Descriptor == nullptr || list == nullptr)
    {
        if (list != nullptr)
            ExFreePoolWithTag(list, UAC_UNIT_POOL_TAG);
        if (m_Descriptor != nullptr)
            ExFreePoolWithTag(m_Descriptor, UAC_UNIT_POOL_TAG);
        m_Descriptor = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(m_Descriptor, descriptor, descriptor[0]);
    m_Controls = new (list) CPtrList();
    m_Device = device;
    return STATUS_SUCCESS;
}

NTSTATUS CUacUnit::SetIdentity(ULONG offsetOfId, UCHAR kind, ULONG sourceCount,
                               ULONG offsetOfSources)
{
    m_Id = DescriptorByte(offsetOfId);
    m_Kind = kind;
    if (sourceCount == 0)
        return STATUS_SUCCESS;
    ULONG sources[256];
    for (ULONG i = 0; i < sourceCount && i < 256; ++i)
        sources[i] = DescriptorByte(offsetOfSources + i);
    return SetValueArray(sourceCount, sources);
}

NTSTATUS CUacUnit::UnitAddControl(CAudioControl* control)
{
    if (control == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (m_Controls == nullptr)
        return STATUS_UNSUCCESSFUL;
    control->AddRef();
    if (m_Controls->AddTail(control) == nullptr)
    {
        control->Release();
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUacUnit::UnitGetControl(ULONG index, CAudioControl** control)
{
    if (m_Controls == nullptr || control == nullptr)
        return STATUS_UNSUCCESSFUL;
    return m_Controls->GetAt((LONG)index, (PVOID*)control) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CUacUnit::UnitGetControlCount(PULONG count)
{
    if (m_Controls == nullptr || count == nullptr)
        return STATUS_UNSUCCESSFUL;
    *count = m_Controls->GetCount();
    return STATUS_SUCCESS;
}

void CUacUnit::UnitReleaseControls()
{
    PVOID data = nullptr;
    while (m_Controls != nullptr && m_Controls->RemoveHead(&data))
        static_cast<CAudioControl*>(data)->Release();
}

NTSTATUS CUacUnit::UnitGetFirstValue(PULONG value)
{
    CAudioControl* first = nullptr;
    if (value == nullptr || m_Controls == nullptr || !m_Controls->GetHeadData((PVOID*)&first))
        return STATUS_UNSUCCESSFUL;
    *value = first->GetId();
    return STATUS_SUCCESS;
}

NTSTATUS CUacUnit::UnitSetFirstValue(ULONG count, const ULONG* values)
{
    CAudioControl* first = nullptr;
    if (values == nullptr || count == 0 || m_Controls == nullptr ||
        !m_Controls->GetHeadData((PVOID*)&first))
        return STATUS_INVALID_PARAMETER;
    const ULONG kind = first->GetKind();
    if (kind == CONTROL_KIND_SELECTOR || kind == CONTROL_KIND_MIXER_UNIT)
    {
        if (count != first->GetValueCount())
            return STATUS_INVALID_PARAMETER;
        return first->SetValueArray(count, values);
    }
    if (TakesOneSource(kind))
        return first->SetValueArray(1, values);
    return STATUS_SUCCESS;
}

// Walks the chain of the unit's controls: each after the first takes the
// running id as its one source (when `link`); the id after the last is the
// end of the chain, where the unit's signal leaves (past the effect nodes of
// a feature unit that has them).
bool CUacUnit::WalkControlChain(bool link, PULONG end)
{
    CAudioControl* control = nullptr;
    if (m_Controls == nullptr || !m_Controls->GetHeadData((PVOID*)&control))
        return false;
    ULONG running = control->GetId();
    POSITION position = m_Controls->GetHeadPosition();
    m_Controls->GetNext(&position, (PVOID*)&control); // the first keeps its sources
    while (m_Controls->GetNext(&position, (PVOID*)&control))
    {
        if (link && TakesOneSource(control->GetKind()))
            control->SetValueArray(1, &running);
        if (control->GetKind() != CONTROL_KIND_OUTPUT_TERMINAL)
            running = control->GetId();
    }
    *end = running;
    return true;
}

void CUacUnit::UnitSyncControls()
{
    ULONG end = 0;
    WalkControlChain(true, &end);
}

NTSTATUS CUacUnit::UnitGetOutputValue(PULONG value)
{
    if (value == nullptr || !WalkControlChain(false, value))
        return STATUS_UNSUCCESSFUL;
    return STATUS_SUCCESS;
}

NTSTATUS RegisterUnitControl(CUacUnit* unit, CAudioControl* control, NTSTATUS initStatus)
{
    NTSTATUS status = initStatus;
    if (NT_SUCCESS(status))
        status = unit->Device()->AddUnitObject(control);
    if (NT_SUCCESS(status))
        status = unit->UnitAddControl(control);
    control->Release();
    return status;
}
