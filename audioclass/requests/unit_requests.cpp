#include "audioclass/requests/unit_requests.h"

#include "audioclass/device_selectors.h"
#include "audioclass/requests/control_transfer.h"

namespace
{
constexpr USHORT CLASS = URB_FUNCTION_CLASS_INTERFACE;
constexpr USHORT VENDOR = URB_FUNCTION_VENDOR_INTERFACE;
constexpr LONG PER_CHANNEL = -1;
// wValue of a fixed request: the control selector in the high byte and the
// channel in the low one. The jacks answer on channel 0xFF of the connector.
constexpr LONG Control(ULONG selector, ULONG channel = 0)
{
    return (LONG)(selector << 8 | channel);
}
constexpr ULONG c_JackChannel = 0xFF;

// Class 1.0: class requests of the audio class, and the device's own vendor
// requests for jacks and output types, on the class 2.0 terminal selectors.
const UnitRequestRow c_Uac1Requests[] = {
    {UnitRequest::GetCurrent, CLASS, TRUE, USB_AUDIO10_GET_CUR, PER_CHANNEL},
    {UnitRequest::SetCurrent, CLASS, FALSE, USB_AUDIO10_SET_CUR, PER_CHANNEL},
    {UnitRequest::GetMaximum, CLASS, TRUE, USB_AUDIO10_GET_MAX, PER_CHANNEL},
    {UnitRequest::GetMinimum, CLASS, TRUE, USB_AUDIO10_GET_MIN, PER_CHANNEL},
    {UnitRequest::GetResolution, CLASS, TRUE, USB_AUDIO10_GET_RES, PER_CHANNEL},
    {UnitRequest::TableLength, CLASS, TRUE, USB_AUDIO10_GET_MEM, 0x0010},
    {UnitRequest::Table, CLASS, TRUE, USB_AUDIO10_GET_MEM, 0x0000},
    {UnitRequest::CurrentInput, CLASS, TRUE, USB_AUDIO10_GET_CUR, Control(USB_AUDIO10_SU_CONTROL)},
    {UnitRequest::SelectInput, CLASS, FALSE, USB_AUDIO10_SET_CUR, Control(USB_AUDIO10_SU_CONTROL)},
    {UnitRequest::JackCount, VENDOR, TRUE, USB_AUDIO10_GET_CUR,
     Control(USB_AUDIO20_TE_CONNECTOR_CONTROL, c_JackChannel)},
    {UnitRequest::JackList, VENDOR, TRUE, USB_AUDIO10_GET_CUR,
     Control(USB_AUDIO20_TE_CONNECTOR_CONTROL, c_JackChannel)},
    {UnitRequest::ConnectionState, VENDOR, TRUE, USB_AUDIO10_GET_CUR,
     Control(USB_AUDIO20_TE_CONNECTOR_CONTROL)},
    {UnitRequest::TypeCount, VENDOR, TRUE, 0x86, Control(UAC2_OUTPUT_TYPE_SELECTOR)},
    {UnitRequest::TypeList, VENDOR, TRUE, 0x86, Control(UAC2_OUTPUT_TYPE_SELECTOR)},
    {UnitRequest::CurrentType, VENDOR, TRUE, USB_AUDIO10_GET_CUR,
     Control(UAC2_OUTPUT_TYPE_SELECTOR)},
    {UnitRequest::SelectType, VENDOR, FALSE, USB_AUDIO10_GET_CUR,
     Control(UAC2_OUTPUT_TYPE_SELECTOR)},
};

// Class 2.0: every request a class request.
const UnitRequestRow c_Uac2Requests[] = {
    {UnitRequest::GetCurrent, CLASS, TRUE, USB_AUDIO20_CUR, PER_CHANNEL},
    {UnitRequest::SetCurrent, CLASS, FALSE, USB_AUDIO20_CUR, PER_CHANNEL},
    {UnitRequest::GetRange, CLASS, TRUE, USB_AUDIO20_RANGE, PER_CHANNEL},
    {UnitRequest::TableLength, CLASS, TRUE, USB_AUDIO20_MEM, 0x0010},
    {UnitRequest::Table, CLASS, TRUE, USB_AUDIO20_MEM, 0x0000},
    {UnitRequest::CurrentInput, CLASS, TRUE, USB_AUDIO20_CUR,
     Control(USB_AUDIO20_SU_SELECTOR_CONTROL)},
    {UnitRequest::SelectInput, CLASS, FALSE, USB_AUDIO20_CUR,
     Control(USB_AUDIO20_SU_SELECTOR_CONTROL)},
    {UnitRequest::Frequency, CLASS, TRUE, USB_AUDIO20_CUR,
     Control(USB_AUDIO20_CS_SAM_FREQ_CONTROL)},
    {UnitRequest::SetFrequency, CLASS, FALSE, USB_AUDIO20_CUR,
     Control(USB_AUDIO20_CS_SAM_FREQ_CONTROL)},
    {UnitRequest::FrequencyCount, CLASS, TRUE, USB_AUDIO20_RANGE,
     Control(USB_AUDIO20_CS_SAM_FREQ_CONTROL)},
    {UnitRequest::FrequencyList, CLASS, TRUE, USB_AUDIO20_RANGE,
     Control(USB_AUDIO20_CS_SAM_FREQ_CONTROL)},
    {UnitRequest::ClockValid, CLASS, TRUE, USB_AUDIO20_CUR,
     Control(USB_AUDIO20_CS_CLOCK_VALID_CONTROL)},
    {UnitRequest::JackCount, CLASS, TRUE, USB_AUDIO20_CUR,
     Control(USB_AUDIO20_TE_CONNECTOR_CONTROL, c_JackChannel)},
    {UnitRequest::JackList, CLASS, TRUE, USB_AUDIO20_CUR,
     Control(USB_AUDIO20_TE_CONNECTOR_CONTROL, c_JackChannel)},
    {UnitRequest::ConnectionState, CLASS, TRUE, USB_AUDIO20_CUR,
     Control(USB_AUDIO20_TE_CONNECTOR_CONTROL)},
    {UnitRequest::TypeCount, CLASS, TRUE, USB_AUDIO20_RANGE, Control(UAC2_OUTPUT_TYPE_SELECTOR)},
    {UnitRequest::TypeList, CLASS, TRUE, USB_AUDIO20_RANGE, Control(UAC2_OUTPUT_TYPE_SELECTOR)},
    {UnitRequest::CurrentType, CLASS, TRUE, USB_AUDIO20_CUR, Control(UAC2_OUTPUT_TYPE_SELECTOR)},
    {UnitRequest::SelectType, CLASS, FALSE, USB_AUDIO20_CUR, Control(UAC2_OUTPUT_TYPE_SELECTOR)},
};

constexpr ULONG c_TypeEntryBytes = 6;
constexpr ULONG c_JackEntryBytes = 8;
constexpr ULONG c_FrequencyEntryBytes = 12;
constexpr ULONG c_MaxRequestBytes = 0xFFFF;

// The requests that answer one value: the bytes asked for and where the value
// lies in them; every byte up to its end must arrive. The frequency count and
// the jack count ask for more than they read.
struct ValueRead
{
    UnitRequest Which;
    ULONG Length;
    ULONG Offset;
    ULONG Bytes;
};
const ValueRead c_ValueReads[] = {
    {UnitRequest::CurrentInput, 1, 0, 1},
    {UnitRequest::Frequency, 4, 0, 4},
    {UnitRequest::FrequencyCount, FREQUENCY_COUNT_REQUEST_BYTES, 0, 2},
    {UnitRequest::ClockValid, 1, 0, 1},
    {UnitRequest::JackCount, JACK_COUNT_REQUEST_BYTES, 0, 1},
    {UnitRequest::ConnectionState, CONNECTION_STATE_BYTES, 1, 4},
    {UnitRequest::TypeCount, 2, 0, 2},
    {UnitRequest::CurrentType, 2, 0, 2},
};
constexpr ULONG c_MaxValueReadBytes = FREQUENCY_COUNT_REQUEST_BYTES;

template <ULONG N> const UnitRequestRow* FindRow(const UnitRequestRow (&rows)[N], UnitRequest which)
{
    for (const UnitRequestRow& row : rows)
        if (row.Which == which)
            return &row;
    return nullptr;
}

ULONG ReadLe(const UCHAR* p, ULONG bytes)
{
    ULONG v = 0;
    for (ULONG i = 0; i < bytes; ++i)
        v |= (ULONG)p[i] << (8 * i);
    return v;
}

void WriteLe(ULONG v, ULONG bytes, UCHAR* p)
{
    for (ULONG i = 0; i < bytes; ++i)
        p[i] = (UCHAR)(v >> (8 * i));
}

// A paged block for a parameter block of `bytes`, freed with it.
class RequestBlock
{
  public:
    explicit RequestBlock(ULONG bytes)
        : m_Block(static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, POOL_TAG("UAbk"))))
    {
    }
    ~RequestBlock()
    {
        if (m_Block != nullptr)
            ExFreePoolWithTag(m_Block, POOL_TAG("UAbk"));
    }
    RequestBlock(const RequestBlock&) = delete;
    RequestBlock& operator=(const RequestBlock&) = delete;
    PUCHAR Get() const { return m_Block; }

  private:
    PUCHAR m_Block;
};
} // namespace

const UnitRequestRow* FindUnitRequest(AudioClassVersion version, UnitRequest which)
{
    return version == AudioClassVersion::Uac1 ? FindRow(c_Uac1Requests, which)
                                              : FindRow(c_Uac2Requests, which);
}

NTSTATUS SendUnitRequest(PUNKNOWN owner, AudioClassVersion version, UnitRequest which, UCHAR entity,
                         USHORT value, bool vendor, PVOID buffer, ULONG length, ULONG needed)
{
    PAGED_CODE();
    const UnitRequestRow* row = FindUnitRequest(version, which);
    if (row == nullptr || owner == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (length > c_MaxRequestBytes)
        return STATUS_INVALID_PARAMETER;
    PUSBDEVICEIO io = nullptr;
    NTSTATUS status = owner->QueryInterface(IID_IUsbDeviceIo, (PVOID*)&io);
    if (!NT_SUCCESS(status))
        return status;
    ControlRequest request;
    request.Function = vendor ? (USHORT)URB_FUNCTION_VENDOR_INTERFACE : row->Function;
    request.In = row->In;
    request.Request = row->Request;
    request.Value = row->Value == PER_CHANNEL ? value : (USHORT)row->Value;
    request.Index = (USHORT)(entity << 8 | io->GetAudioControlInterfaceNumber());
    status = ControlRequestAtLeast(io, request, buffer, length, row->In ? needed : 0);
    io->Release();
    return status;
}

NTSTATUS CEntityRequests::Send(UnitRequest which, PVOID buffer, ULONG length, ULONG needed,
                               USHORT value, bool vendor)
{
    return SendUnitRequest(m_Owner, m_Version, which, m_Entity, value, vendor, buffer, length,
                           needed);
}

NTSTATUS CEntityRequests::ReadValue(UnitRequest which, PULONG value)
{
    if (value == nullptr)
        return STATUS_INVALID_PARAMETER;
    for (const ValueRead& read : c_ValueReads)
    {
        if (read.Which != which)
            continue;
        UCHAR block[c_MaxValueReadBytes] = {};
        NTSTATUS status = Send(which, block, read.Length, read.Offset + read.Bytes);
        if (NT_SUCCESS(status))
            *value = ReadLe(block + read.Offset, read.Bytes);
        return status;
    }
    return STATUS_INVALID_DEVICE_REQUEST;
}

// ----------------------------------------------------------------------------
// Selector units

NTSTATUS CEntityRequests::GetCurrentInput(PUCHAR input)
{
    return ReadNarrow(UnitRequest::CurrentInput, input);
}

NTSTATUS CEntityRequests::SelectInput(UCHAR input)
{
    return Send(UnitRequest::SelectInput, &input, 1, 0);
}

// ----------------------------------------------------------------------------
// Clock sources

NTSTATUS CEntityRequests::GetFrequency(PULONG hz)
{
    return ReadValue(UnitRequest::Frequency, hz);
}

NTSTATUS CEntityRequests::SetFrequency(ULONG hz)
{
    UCHAR bytes[4];
    WriteLe(hz, 4, bytes);
    return Send(UnitRequest::SetFrequency, bytes, 4, 0);
}

NTSTATUS CEntityRequests::GetFrequencyCount(PULONG count)
{
    return ReadValue(UnitRequest::FrequencyCount, count);
}

NTSTATUS CEntityRequests::GetFrequencyList(ULONG count, PULONG rates)
{
    PAGED_CODE();
    if (rates == nullptr || count == 0)
        return STATUS_INVALID_PARAMETER;
    if (count > (c_MaxRequestBytes - 2) / c_FrequencyEntryBytes)
        return STATUS_INVALID_PARAMETER;
    const ULONG bytes = 2 + c_FrequencyEntryBytes * count;
    RequestBlock block(bytes);
    if (block.Get() == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = Send(UnitRequest::FrequencyList, block.Get(), bytes, bytes);
    if (NT_SUCCESS(status))
        status = ParseFrequencyList(block.Get(), bytes, count, rates);
    return status;
}

NTSTATUS CEntityRequests::GetClockValid(PUCHAR valid)
{
    return ReadNarrow(UnitRequest::ClockValid, valid);
}

// ----------------------------------------------------------------------------
// Terminals

NTSTATUS CEntityRequests::GetJackCount(PULONG count)
{
    return ReadValue(UnitRequest::JackCount, count);
}

NTSTATUS CEntityRequests::GetJacks(ULONG count, JackRecord* records, PULONG built)
{
    PAGED_CODE();
    if (records == nullptr || built == nullptr || count == 0 || count > 0xFF)
        return STATUS_INVALID_PARAMETER;
    *built = 0;
    const ULONG bytes = 1 + c_JackEntryBytes * count;
    RequestBlock block(bytes);
    if (block.Get() == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = Send(UnitRequest::JackList, block.Get(), bytes, bytes);
    if (NT_SUCCESS(status))
        *built = ParseJackList(m_Version, block.Get(), bytes, records, count);
    return status;
}

NTSTATUS CEntityRequests::GetConnectionState(PULONG channels)
{
    return ReadValue(UnitRequest::ConnectionState, channels);
}

NTSTATUS CEntityRequests::GetTypeCount(PULONG count)
{
    return ReadValue(UnitRequest::TypeCount, count);
}

// A count beyond what a terminal can be switched between is refused before
// any request: the list's length stays far inside a request's 16 bits.
NTSTATUS CEntityRequests::GetTypes(ULONG count, PUSHORT types, PULONG read)
{
    if (types == nullptr || read == nullptr)
        return STATUS_INVALID_PARAMETER;
    *read = 0;
    if (count > OUTPUT_TYPE_MAX)
        return STATUS_DEVICE_DATA_ERROR;
    UCHAR block[2 + c_TypeEntryBytes * OUTPUT_TYPE_MAX] = {};
    const ULONG bytes = 2 + c_TypeEntryBytes * count;
    NTSTATUS status = Send(UnitRequest::TypeList, block, bytes, bytes);
    if (NT_SUCCESS(status))
        *read = ParseOutputTypes(block, bytes, count, types, count);
    return status;
}

NTSTATUS CEntityRequests::GetCurrentType(PUSHORT type)
{
    return ReadNarrow(UnitRequest::CurrentType, type);
}

NTSTATUS CEntityRequests::SelectType(USHORT type)
{
    UCHAR bytes[2];
    WriteLe(type, 2, bytes);
    return Send(UnitRequest::SelectType, bytes, 2, 0);
}
