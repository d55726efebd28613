#include "audioclass/controls/pseudo_control.h"

CPseudoControl::~CPseudoControl() {}

NTSTATUS CPseudoControl::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    const ControlInterfaceEntry entries[] = {
        {&IID_IPseudoControl, static_cast<IPseudoControl*>(this)}};
    if (NT_SUCCESS(AnswerControlInterface(entries, interfaceId, object)))
        return STATUS_SUCCESS;
    return CAudioControl::NonDelegatingQueryInterface(interfaceId, object);
}

NTSTATUS CPseudoControl::GetIdentity(GUID* identity)
{
    if (identity == nullptr)
        return STATUS_INVALID_PARAMETER;
    *identity = m_Identity;
    return STATUS_SUCCESS;
}

NTSTATUS CPseudoControl::SetValue(UCHAR value)
{
    m_Value = value;
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS CPseudoControl::GetValue(PUCHAR value)
{
    if (value == nullptr)
        return STATUS_UNSUCCESSFUL;
    *value = m_Value;
    return STATUS_SUCCESS;
}

NTSTATUS CPseudoControl::GetCurrent(PULONG value)
{
    if (value == nullptr)
        return STATUS_INVALID_PARAMETER;
    *value = m_Value;
    return STATUS_SUCCESS;
}

NTSTATUS CPseudoControl::Init(ULONG sourceId)
{
    PAGED_CODE();
    return SetValueArray(1, &sourceId);
}
