// Checks of the data formats a wave filter accepts.
#include "streaming/wave/wave_data_format.h"

#include "platform/ks/ksformat.h"

namespace
{
// Where the wave format of a data format lies, by the format's size: 64 for
// the wave-format specifier, 72 behind a sound-buffer description.
struct WaveFormatPlace
{
    bool Attributes;
    ULONG FormatSize;
    ULONG WaveOffset;
};
constexpr WaveFormatPlace c_Places[] = {
    {true, 88, 64},  {true, 104, 64},  {true, 96, 72},
    {false, 82, 64}, {false, 104, 64}, {false, 90, 72},
};

const WaveFormatPlace* FindPlace(const KSDATAFORMAT* format)
{
    const bool attributes = (format->Flags & KSDATAFORMAT_ATTRIBUTES) != 0;
    for (const WaveFormatPlace& place : c_Places)
        if (place.Attributes == attributes && place.FormatSize == format->FormatSize)
            return &place;
    return nullptr;
}

// The block alignment and byte rate follow from channels, bits and rate;
// buffers, URBs and conversion trust them.
bool IsConsistent(const WAVEFORMATEX& wave)
{
    const ULONG block = (ULONG)wave.nChannels * (wave.wBitsPerSample / 8);
    return block != 0 && wave.nBlockAlign == block &&
           (ULONGLONG)wave.nAvgBytesPerSec == (ULONGLONG)block * wave.nSamplesPerSec;
}

constexpr ULONG c_ModeAttributeBytes = sizeof(KSATTRIBUTE_AUDIOSIGNALPROCESSING_MODE);
} // namespace

NTSTATUS WaveCheckDataFormat(const KSDATAFORMAT* format, CStreamEngine* engine,
                             WAVEFORMATEXTENSIBLE* record)
{
    if (format == nullptr || engine == nullptr || record == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (format->FormatSize < WAVE_DATA_FORMAT_MIN_BYTES ||
        !IsEqualGUID(format->MajorFormat, KSDATAFORMAT_TYPE_AUDIO))
        return STATUS_INVALID_PARAMETER;
    const WaveFormatPlace* place = FindPlace(format);
    if (place == nullptr)
        return STATUS_INVALID_PARAMETER;
    const UCHAR* wave = reinterpret_cast<const UCHAR*>(format) + place->WaveOffset;
    WAVEFORMATEX header;
    RtlCopyMemory(&header, wave, sizeof(header));
    // The extension must lie inside the format and inside the record we keep.
    const ULONG bytes = sizeof(WAVEFORMATEX) + header.cbSize;
    if (bytes > place->FormatSize - place->WaveOffset || bytes > WAVE_FORMAT_RECORD_BYTES)
        return STATUS_INVALID_PARAMETER;
    WAVEFORMATEXTENSIBLE copy;
    RtlZeroMemory(&copy, sizeof(copy));
    RtlCopyMemory(&copy, wave, bytes);
    if (!NT_SUCCESS(engine->FindFormat(&copy.Format)) || !IsConsistent(copy.Format))
        return STATUS_INVALID_PARAMETER;
    *record = copy;
    return STATUS_SUCCESS;
}

NTSTATUS WaveReadProcessingMode(const KSDATAFORMAT* format, GUID* mode)
{
    if (format == nullptr || mode == nullptr)
        return STATUS_INVALID_PARAMETER;
    *mode = AUDIO_SIGNALPROCESSINGMODE_RAW;
    const UCHAR* list =
        reinterpret_cast<const UCHAR*>(format) + KsAttributeListOffset(format->FormatSize);
    KSMULTIPLE_ITEM header;
    RtlCopyMemory(&header, list, sizeof(header));
    if (header.Size < sizeof(KSMULTIPLE_ITEM))
        return STATUS_INVALID_PARAMETER;
    ULONG offset = sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < header.Count; ++i)
    {
        offset = (offset + 7u) & ~7u;
        if (offset > header.Size || header.Size - offset < sizeof(KSATTRIBUTE))
            return STATUS_INVALID_PARAMETER;
        KSATTRIBUTE attribute;
        RtlCopyMemory(&attribute, list + offset, sizeof(attribute));
        if (attribute.Size < sizeof(KSATTRIBUTE) || attribute.Size > header.Size - offset)
            return STATUS_INVALID_PARAMETER;
        if (!IsEqualGUID(attribute.Attribute, KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE))
            return STATUS_NOT_SUPPORTED;
        if (attribute.Size != c_ModeAttributeBytes)
            return STATUS_INVALID_PARAMETER;
        RtlCopyMemory(mode, list + offset + sizeof(KSATTRIBUTE), sizeof(GUID));
        offset += attribute.Size;
    }
    return STATUS_SUCCESS;
}

GUID WaveSubFormatOf(const WAVEFORMATEXTENSIBLE& format)
{
    if (format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE)
        return format.SubFormat;
    GUID guid = KSDATAFORMAT_SUBTYPE_PCM;
    guid.Data1 = format.Format.wFormatTag;
    return guid;
}

USHORT WaveValidBitsOf(const WAVEFORMATEXTENSIBLE& format)
{
    if (format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE &&
        format.Samples.wValidBitsPerSample != 0)
        return format.Samples.wValidBitsPerSample;
    return format.Format.wBitsPerSample;
}

bool WaveSameAudio(const WAVEFORMATEXTENSIBLE& a, const WAVEFORMATEXTENSIBLE& b)
{
    return a.Format.nChannels == b.Format.nChannels &&
           a.Format.nSamplesPerSec == b.Format.nSamplesPerSec &&
           a.Format.wBitsPerSample == b.Format.wBitsPerSample &&
           a.Format.nBlockAlign == b.Format.nBlockAlign &&
           WaveValidBitsOf(a) == WaveValidBitsOf(b) &&
           IsEqualGUID(WaveSubFormatOf(a), WaveSubFormatOf(b));
}

UCHAR WaveSilenceByte(const WAVEFORMATEXTENSIBLE& format)
{
    return format.Format.wBitsPerSample == 8 ? 0x80 : 0x00;
}
