#include "audioclass/requests/feature_unit_requests.h"

#include "audioclass/device_selectors.h"
#include "audioclass/requests/control_transfer.h"

namespace
{
constexpr ULONG c_EntityIdOffset = 3;
// A table must at least hold its own length (bytes 16 and 17).
constexpr ULONG c_TableHeaderBytes = 18;
constexpr ULONG c_Uac2LevelRangeBytes[2] = {5, 8}; // one-byte, two-byte members

// An eight-channel class 1.0 unit takes channels 5 and 6 as 7 and 8 and the
// other way round. A smaller unit has no channel 7 or 8 to swap with.
constexpr ULONG c_SwapLogicalChannels = 8;

UCHAR Uac1WireChannel(UCHAR channel, ULONG logicalChannels)
{
    static const UCHAR swapped[][2] = {{5, 7}, {6, 8}, {7, 5}, {8, 6}};
    if (logicalChannels < c_SwapLogicalChannels)
        return channel;
    for (const auto& pair : swapped)
        if (pair[0] == channel)
            return pair[1];
    return channel;
}

// A range the device refuses to give (a stalled request) is as unusable as
// a short one: the control is left out. A device that is gone stays gone.
NTSTATUS RangeRefused(NTSTATUS status)
{
    return NT_SUCCESS(status) || status == STATUS_NO_SUCH_DEVICE ? status
                                                                 : STATUS_DEVICE_DATA_ERROR;
}
} // namespace

CFeatureUnitRequests::CFeatureUnitRequests(PUNKNOWN owner, AudioClassVersion version,
                                           const UCHAR* descriptor, ULONG length)
    : CEntityRequests(
          owner, version,
          descriptor != nullptr && length > c_EntityIdOffset ? descriptor[c_EntityIdOffset] : 0),
      m_Bitmaps(version, descriptor, length), m_PseudoControlTable(nullptr),
      m_Table(version, nullptr, 0, 0)
{
}

CFeatureUnitRequests::~CFeatureUnitRequests()
{
    if (m_PseudoControlTable != nullptr)
        ExFreePoolWithTag(m_PseudoControlTable, TableTag());
}

ULONG CFeatureUnitRequests::TableTag() const
{
    return m_Version == AudioClassVersion::Uac1 ? UAC1_UNIT_POOL_TAG : UAC2_UNIT_POOL_TAG;
}

NTSTATUS CFeatureUnitRequests::ReadPseudoControlTable()
{
    PAGED_CODE();
    if (m_PseudoControlTable != nullptr)
        return STATUS_SUCCESS;
    UCHAR lengthBytes[2] = {};
    NTSTATUS status = Send(UnitRequest::TableLength, lengthBytes, 2, 2);
    if (!NT_SUCCESS(status))
        return status;
    const ULONG length = lengthBytes[0] | lengthBytes[1] << 8;
    if (length < c_TableHeaderBytes)
        return STATUS_SUCCESS; // no table
    m_PseudoControlTable =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, length, TableTag()));
    if (m_PseudoControlTable == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    // Whatever arrived is kept; the table reads only the bytes received.
    URB urb;
    ULONG received = 0;
    PUSBDEVICEIO io = nullptr;
    status = m_Owner->QueryInterface(IID_IUsbDeviceIo, (PVOID*)&io);
    if (NT_SUCCESS(status))
    {
        const UnitRequestRow* row = FindUnitRequest(m_Version, UnitRequest::Table);
        ControlRequest request = {row->Function, row->In, row->Request, (USHORT)row->Value,
                                  (USHORT)(m_Entity << 8 | io->GetAudioControlInterfaceNumber())};
        status = SubmitControlRequest(io, &urb, request, m_PseudoControlTable, length, &received);
        io->Release();
    }
    if (!NT_SUCCESS(status))
    {
        ExFreePoolWithTag(m_PseudoControlTable, TableTag());
        m_PseudoControlTable = nullptr;
        return status;
    }
    m_Table = PseudoControlTable(m_Version, m_PseudoControlTable, length, received);
    return STATUS_SUCCESS;
}

bool CFeatureUnitRequests::IsVendor(UCHAR selector) const
{
    return m_Version == AudioClassVersion::Uac1 && selector >= UAC_PSEUDO_SELECTOR_BASE;
}

bool CFeatureUnitRequests::Has(UCHAR selector, ULONG channel, bool write, bool either) const
{
    if (selector >= UAC_PSEUDO_SELECTOR_BASE)
        return m_Table.Has(selector, channel, write, either);
    return m_Bitmaps.Has(selector, channel, write, either);
}

NTSTATUS CFeatureUnitRequests::ChannelFor(UCHAR selector, ULONG index, ULONG channels, bool write,
                                          PUCHAR channel) const
{
    if (channel == nullptr || index >= channels)
        return STATUS_INVALID_PARAMETER;
    ULONG c = channels == 1 ? index : index + 1;
    if (!Has(selector, c, write))
    {
        // A single channel may sit on channel 1 instead of the master; the
        // class 2.0 table is not asked twice.
        const bool retry = channels == 1 && !(m_Version == AudioClassVersion::Uac2 &&
                                              selector >= UAC_PSEUDO_SELECTOR_BASE);
        if (!retry || !Has(selector, c + 1, write))
            return STATUS_INVALID_PARAMETER;
        ++c;
    }
    if (c > 0xFF)
        return STATUS_INVALID_PARAMETER;
    *channel = m_Version == AudioClassVersion::Uac1
                   ? Uac1WireChannel((UCHAR)c, m_Bitmaps.LogicalChannels())
                   : (UCHAR)c;
    return STATUS_SUCCESS;
}

UCHAR CFeatureUnitRequests::RangeChannelFor(UCHAR selector, ULONG channels) const
{
    for (ULONG c = 1; c <= channels && c <= 0xFF; ++c)
        if (Has(selector, c, false, true))
            return (UCHAR)c;
    return 0;
}

NTSTATUS CFeatureUnitRequests::GetBoolean(UCHAR selector, ULONG index, ULONG channels, PUCHAR value)
{
    UCHAR channel = 0;
    NTSTATUS status = value != nullptr ? ChannelFor(selector, index, channels, false, &channel)
                                       : STATUS_INVALID_PARAMETER;
    UCHAR byte = 0;
    if (NT_SUCCESS(status))
        status = Send(UnitRequest::GetCurrent, &byte, 1, 1, ValueFor(selector, channel),
                      IsVendor(selector));
    if (NT_SUCCESS(status))
        *value = byte;
    return status;
}

NTSTATUS CFeatureUnitRequests::SetBoolean(UCHAR selector, ULONG index, ULONG channels, UCHAR value)
{
    UCHAR channel = 0;
    NTSTATUS status = ChannelFor(selector, index, channels, true, &channel);
    if (NT_SUCCESS(status))
        status = Send(UnitRequest::SetCurrent, &value, 1, 0, ValueFor(selector, channel),
                      IsVendor(selector));
    return status;
}

NTSTATUS CFeatureUnitRequests::GetLevel(UCHAR selector, ULONG index, ULONG channels, PLONG level)
{
    UCHAR channel = 0;
    NTSTATUS status = level != nullptr ? ChannelFor(selector, index, channels, false, &channel)
                                       : STATUS_INVALID_PARAMETER;
    const ULONG size = LevelBytes(selector);
    UCHAR bytes[2] = {};
    if (NT_SUCCESS(status))
        status = Send(UnitRequest::GetCurrent, bytes, size, size, ValueFor(selector, channel),
                      IsVendor(selector));
    if (NT_SUCCESS(status))
        *level = LevelFromDevice(bytes, size);
    return status;
}

NTSTATUS CFeatureUnitRequests::SetLevel(UCHAR selector, ULONG index, ULONG channels, LONG level)
{
    UCHAR channel = 0;
    NTSTATUS status = ChannelFor(selector, index, channels, true, &channel);
    const ULONG size = LevelBytes(selector);
    UCHAR bytes[2] = {};
    LevelToDevice(level, size, bytes);
    if (NT_SUCCESS(status))
        status = Send(UnitRequest::SetCurrent, bytes, size, 0, ValueFor(selector, channel),
                      IsVendor(selector));
    return status;
}

NTSTATUS CFeatureUnitRequests::GetLevelRange(UCHAR selector, ULONG channels, PLONG maximum,
                                             PLONG minimum, PLONG resolution)
{
    if (maximum == nullptr || minimum == nullptr || resolution == nullptr)
        return STATUS_INVALID_PARAMETER;
    const USHORT value = ValueFor(selector, RangeChannelFor(selector, channels));
    const ULONG size = LevelBytes(selector);
    LevelRange range = {};
    NTSTATUS status = STATUS_SUCCESS;
    if (m_Version == AudioClassVersion::Uac1)
    {
        // Maximum, minimum, resolution: three requests in this order.
        const UnitRequest order[] = {UnitRequest::GetMaximum, UnitRequest::GetMinimum,
                                     UnitRequest::GetResolution};
        LONG* targets[] = {&range.Maximum, &range.Minimum, &range.Resolution};
        for (ULONG i = 0; i < 3 && NT_SUCCESS(status); ++i)
        {
            UCHAR bytes[2] = {};
            status = Send(order[i], bytes, size, size, value, IsVendor(selector));
            if (NT_SUCCESS(status))
                *targets[i] = LevelFromDevice(bytes, size);
        }
        status = RangeRefused(status);
    }
    else
    {
        const ULONG bytes = c_Uac2LevelRangeBytes[size - 1];
        UCHAR block[8] = {};
        status = Send(UnitRequest::GetRange, block, bytes, bytes, value);
        if (NT_SUCCESS(status))
            status = ParseLevelRange(block, bytes, size, &range);
        else
            status = RangeRefused(status);
    }
    if (!NT_SUCCESS(status))
        return status;
    *maximum = range.Maximum;
    *minimum = range.Minimum;
    *resolution = range.Resolution;
    return STATUS_SUCCESS;
}
