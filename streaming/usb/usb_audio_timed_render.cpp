#include "streaming/usb/usb_audio_timed_render.h"

#include "framework/interface_table.h"
#include "platform/ks/ksmedia.h"
#include "streaming/usb/usb_stream_control.h"

namespace
{
constexpr ULONG c_RecordBytes = sizeof(WAVEFORMATEXTENSIBLE);
constexpr USHORT c_PcmTag = WAVE_FORMAT_PCM;
constexpr USHORT c_RateMask = 0x7000;
constexpr USHORT c_KindMask = 0x0002;
constexpr USHORT c_NotPcm = 0x0002;

struct RateCode
{
    ULONG Rate;
    USHORT Value;
};
constexpr RateCode c_RateCodes[] = {{44100, 0x0000}, {48000, 0x2000}, {96000, 0x6000}};

USHORT SampleTag(const WAVEFORMATEX& format)
{
    if (format.wFormatTag != WAVE_FORMAT_EXTENSIBLE)
        return format.wFormatTag;
    return (USHORT) reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(format).SubFormat.Data1;
}

WAVEFORMATEXTENSIBLE TwoChannelRecord(ULONG rate, USHORT tag, USHORT cbSize, ULONG mask)
{
    WAVEFORMATEXTENSIBLE r = {};
    r.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    r.Format.nChannels = 2;
    r.Format.nSamplesPerSec = rate;
    r.Format.nAvgBytesPerSec = rate * 4;
    r.Format.nBlockAlign = 4;
    r.Format.wBitsPerSample = 16;
    r.Format.cbSize = cbSize;
    r.Samples.wValidBitsPerSample = 16;
    r.dwChannelMask = mask;
    r.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    r.SubFormat.Data1 = tag;
    return r;
}

// The formats the kinds add: the high-rate PCM setting, and the S/PDIF
// data at every rate of the chip.
struct AddedFormat
{
    WAVEFORMATEXTENSIBLE Record;
    UCHAR Setting;
};
const AddedFormat c_HighRatePcm = {
    TwoChannelRecord(TIMED_HIGH_RATE, c_PcmTag, sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX),
                     3),
    TIMED_HIGH_RATE_SETTING};
const AddedFormat c_SpdifFormats[] = {
    {TwoChannelRecord(44100, TIMED_DOLBY_DIGITAL_TAG, 0, 0), TIMED_SPDIF_SETTING},
    {TwoChannelRecord(48000, TIMED_DOLBY_DIGITAL_TAG, 0, 0), TIMED_SPDIF_SETTING},
    {TwoChannelRecord(TIMED_HIGH_RATE, TIMED_DOLBY_DIGITAL_TAG, 0, 0), TIMED_HIGH_RATE_SETTING}};

// What each endpoint kind offers beyond the two removals.
struct KindFormats
{
    ULONG Kind;
    BOOLEAN Spdif;
    BOOLEAN HighRate;
};
const KindFormats c_KindFormats[] = {{ENDPOINT_KIND_SPK, FALSE, FALSE},
                                     {ENDPOINT_KIND_HP, FALSE, TRUE},
                                     {ENDPOINT_KIND_SPDIF, TRUE, TRUE}};

bool SameRecord(const WAVEFORMATEXTENSIBLE& a, const WAVEFORMATEXTENSIBLE& b)
{
    return RtlCompareMemory(&a, &b, c_RecordBytes) == c_RecordBytes;
}

bool HoldsRecord(CPtrList* list, const WAVEFORMATEXTENSIBLE& record)
{
    POSITION position = list != nullptr ? list->GetHeadPosition() : nullptr;
    PVOID data = nullptr;
    while (list != nullptr && list->GetNext(&position, &data))
        if (SameRecord(*static_cast<const WAVEFORMATEXTENSIBLE*>(data), record))
            return true;
    return false;
}

template <typename Drop> void RemoveFromList(CPtrList* list, Drop drop)
{
    POSITION position = list != nullptr ? list->GetHeadPosition() : nullptr;
    while (position != nullptr)
    {
        POSITION current = position;
        PVOID data = nullptr;
        if (!list->GetNext(&position, &data))
            break;
        if (!drop(*static_cast<const WAVEFORMATEXTENSIBLE*>(data)))
            continue;
        list->RemoveAt(current);
        ExFreePoolWithTag(data, STREAM_ENGINE_POOL_TAG);
    }
}
} // namespace

NTSTATUS CUsbAudioTimedRender::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    const ControlInterfaceEntry entries[] = {{&IID_ITimedRender, static_cast<ITimedRender*>(this)}};
    if (object != nullptr && NT_SUCCESS(AnswerControlInterface(entries, interfaceId, object)))
        return STATUS_SUCCESS;
    return CUsbAudio1Render::NonDelegatingQueryInterface(interfaceId, object);
}

NTSTATUS CUsbAudioTimedRender::SetRegisterWriter(CTimedRegisterWriter* writer)
{
    m_Writer = writer;
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioTimedRender::PrepareStream(PSTREAMCLIENT client, PULONG frameNumber)
{
    PAGED_CODE();
    NTSTATUS status = CUsbAudio1Render::PrepareStream(client, frameNumber);
    if (!NT_SUCCESS(status))
        return status;
    WriteFormatRegisters(client->Format.Format);
    // The register writes are control transfers that take bus frames: the
    // frame the client schedules its first transfer from is read after them,
    // or that start frame has already passed when the stream runs.
    *frameNumber = QueryCurrentFrameNumber();
    return status;
}

void CUsbAudioTimedRender::WriteFormatRegisters(const WAVEFORMATEX& format)
{
    if (m_Writer == nullptr)
        return;
    for (const RateCode& code : c_RateCodes)
        if (code.Rate == format.nSamplesPerSec)
            m_Writer->WriteRegister(TIMED_STREAM_REGISTER, code.Value, c_RateMask);
    m_Writer->WriteRegister(TIMED_STREAM_REGISTER, SampleTag(format) == c_PcmTag ? 0 : c_NotPcm,
                            c_KindMask);
}

NTSTATUS CUsbAudioTimedRender::SetName(PCWSTR name)
{
    PAGED_CODE();
    NTSTATUS status = CStreamEngine::SetName(name);
    if (NT_SUCCESS(status))
        EditFormats(GetEndpointKind());
    return status;
}

template <typename Drop, typename DropSetting>
void CUsbAudioTimedRender::RemoveFormats(Drop drop, DropSetting dropSetting)
{
    RemoveFromList(m_FormatList, drop);
    RemoveFromList(m_TwoChannelFormatList, drop);
    for (PLIST_ENTRY entry = m_AltSettingList.Flink; entry != &m_AltSettingList;)
    {
        PLIST_ENTRY next = entry->Flink;
        auto record = CONTAINING_RECORD(entry, AltSettingFormat, Links);
        if (dropSetting(record->Format))
        {
            RemoveEntryList(entry);
            ExFreePoolWithTag(record, USB_STREAM_POOL_TAG);
        }
        entry = next;
    }
}

// The record goes to the engine's lists and the alternate-setting list
// only where it is missing: a kind chosen again and again adds nothing.
NTSTATUS CUsbAudioTimedRender::AddFormatOnce(const WAVEFORMATEXTENSIBLE& record,
                                             UCHAR alternateSetting)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (!HoldsRecord(m_FormatList, record))
        status = AddFormatRecord(&record);
    bool listed = false;
    for (PLIST_ENTRY entry = m_AltSettingList.Flink; entry != &m_AltSettingList && !listed;
         entry = entry->Flink)
    {
        auto held = CONTAINING_RECORD(entry, AltSettingFormat, Links);
        listed = held->AlternateSetting == alternateSetting && SameRecord(held->Format, record);
    }
    if (!NT_SUCCESS(status) || listed)
        return status;
    auto entry = static_cast<AltSettingFormat*>(
        ExAllocatePoolWithTag(PagedPool, sizeof(AltSettingFormat), USB_STREAM_POOL_TAG));
    if (entry == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    entry->AlternateSetting = alternateSetting;
    RtlCopyMemory(&entry->Format, &record, c_RecordBytes);
    InsertTailList(&m_AltSettingList, &entry->Links);
    return STATUS_SUCCESS;
}

void CUsbAudioTimedRender::EditFormats(ULONG endpointKind)
{
    const KindFormats* kind = nullptr;
    for (const KindFormats& row : c_KindFormats)
        kind = row.Kind == endpointKind ? &row : kind;
    if (kind == nullptr)
        return;
    auto spdif = [](const WAVEFORMATEXTENSIBLE& f)
    { return SampleTag(f.Format) == TIMED_DOLBY_DIGITAL_TAG; };
    auto highRatePcm = [](const WAVEFORMATEXTENSIBLE& f)
    { return SampleTag(f.Format) == c_PcmTag && f.Format.nSamplesPerSec == TIMED_HIGH_RATE; };
    auto highRateSpdif = [&](const WAVEFORMATEXTENSIBLE& f)
    { return spdif(f) && f.Format.nSamplesPerSec == TIMED_HIGH_RATE; };
    RemoveFormats(spdif, spdif);
    RemoveFormats(highRatePcm, highRateSpdif);
    if (kind->Spdif)
        for (const AddedFormat& added : c_SpdifFormats)
            AddFormatOnce(added.Record, added.Setting);
    if (kind->HighRate)
        AddFormatOnce(c_HighRatePcm.Record, c_HighRatePcm.Setting);
}
