#include "usbaudio/chip_model/feature_unit.h"

#include "audioclass/controls/uac_level_controls.h"
#include "audioclass/descriptor_rules.h"
#include "audioclass/requests/feature_unit_requests.h"

namespace
{
constexpr ULONG c_IdOffset = 3;
constexpr ULONG c_SourceOffset = 4;
constexpr ULONG c_ControlSizeOffset = 5;
constexpr ULONG c_FirstBitmap = 6;
constexpr LONG c_Db = 65536;          // 1 dB in the system's units
constexpr LONG c_Step = 3 * c_Db / 2; // 1.5 dB
constexpr LONG c_Silence = (LONG)0x80000000;
constexpr SHORT c_SilenceRaw = (SHORT)0x8000;

// Model A's volume steps: what the system sees, what the device takes (1/256 dB).
struct StepRow
{
    SHORT System;
    SHORT Device;
};
constexpr StepRow c_ModelASteps[] = {
    {0, 0},         {-192, -256},   {-256, -512},   {-320, -768},   {-386, -1024},  {-455, -1280},
    {-527, -1536},  {-599, -1792},  {-676, -2048},  {-752, -2304},  {-835, -2560},  {-916, -2816},
    {-1006, -3072}, {-1096, -3328}, {-1193, -3584}, {-1290, -3840}, {-1395, -4096}, {-1503, -4352},
    {-1618, -4608}, {-1736, -4864}, {-1866, -5120}, {-1999, -5376}, {-2145, -5632}, {-2296, -5888},
    {-2465, -6144}, {-2637, -6400}, {-2816, -6656}, {-3046, -6912}, {-3277, -7168}, {-3533, -7424},
    {-3840, -7680}, {-4198, -7936}, {-4582, -8192}, {-5120, -8448}, {-5767, -8704}, {-6707, -8960},
    {-8294, -9216}, {-32768, -9472}};
constexpr ULONG c_StepRows = sizeof(c_ModelASteps) / sizeof(c_ModelASteps[0]);
static_assert(c_StepRows == 38);

// A raw value reads as the system value of the step above the first step
// the device value lies below; beyond the last step, as itself.
LONG StepTableFromDevice(SHORT raw)
{
    for (ULONG i = 1; i < c_StepRows; ++i)
        if (c_ModelASteps[i].Device < raw)
            return c_ModelASteps[i - 1].System * 256;
    return raw * 256;
}
SHORT StepTableToDevice(LONG level)
{
    const LONG value = level >> 8;
    for (const StepRow& row : c_ModelASteps)
        if (row.System <= value)
            return row.Device;
    return c_ModelASteps[c_StepRows - 1].Device;
}

// Units 10 to 12 of model A: step s = trunc((v - 6 dB) / 1.5 dB) - 15 on
// the wire, read back as its exact inverse (s + 15) x 1.5 dB + 6 dB, so that
// every value on the range's 1.5 dB grid reads back as it was set.
LONG A10FromDevice(SHORT raw)
{
    return ((raw >> 8) + 15) * c_Step + 6 * c_Db;
}
SHORT A10ToDevice(LONG level)
{
    return (SHORT)(((level - 6 * c_Db) / c_Step - 15) * 256);
}
// Units 13 and 14 of model A: (s + 4) x 1.5 dB.
LONG A13FromDevice(SHORT raw)
{
    return ((raw >> 8) + 4) * c_Step;
}
SHORT A13ToDevice(LONG level)
{
    return (SHORT)(((level + 36 * c_Db) / c_Step - 28) * 256);
}
// Unit 13 of model B: whole dB in steps of 192 from -16.
LONG B13FromDevice(SHORT raw)
{
    return (raw + 16) / 192 * c_Db;
}
SHORT B13ToDevice(LONG level)
{
    return (SHORT)(-16 - 192 * ((-level) >> 16));
}
// Unit 10 of model B: 1.5 dB in steps of 384 from -13.5 dB.
LONG B10FromDevice(SHORT raw)
{
    return (raw - 3456) / 384 * c_Step;
}
SHORT B10ToDevice(LONG level)
{
    return (SHORT)(384 * ((level + 27 * c_Db / 2) / c_Step));
}
// Unit 9 of model B: the device's own 1/256 dB.
LONG B9FromDevice(SHORT raw)
{
    return raw * 256;
}
SHORT B9ToDevice(LONG level)
{
    return (SHORT)(level >> 8);
}

// The controls a model unit makes, in this order, each when it has it.
struct ChipControlRow
{
    UCHAR Selector;
    const UacBooleanKind* Boolean;
    const UacRangedKind* Ranged;
};
const ChipControlRow c_ChipControls[] = {
    {USB_AUDIO_FU_MUTE_CONTROL, &UAC_MUTE_CONTROL, nullptr},
    {USB_AUDIO_FU_VOLUME_CONTROL, nullptr, &UAC_VOLUME_CONTROL},
    {USB_AUDIO_FU_BASS_CONTROL, nullptr, &UAC_BASS_CONTROL},
    {USB_AUDIO_FU_MID_CONTROL, nullptr, &UAC_MID_CONTROL},
    {USB_AUDIO_FU_TREBLE_CONTROL, nullptr, &UAC_TREBLE_CONTROL},
    {USB_AUDIO_FU_AUTOMATIC_GAIN_CONTROL, &UAC_AGC_CONTROL, nullptr},
    {USB_AUDIO_FU_LOUDNESS_CONTROL, &UAC_LOUDNESS_CONTROL, nullptr},
};

LONG Clamp(LONG value, LONG minimum, LONG maximum)
{
    return value < minimum ? minimum : (value > maximum ? maximum : value);
}
} // namespace

const ChipLevelRule CHIP_LEVEL_A9 = {"CChipModelFeatureUnitA9",
                                     StepTableFromDevice,
                                     StepTableToDevice,
                                     0,
                                     -33 * c_Db,
                                     c_Db / 8,
                                     TRUE};
const ChipLevelRule CHIP_LEVEL_A10 = {
    "CChipModelFeatureUnitA10", A10FromDevice, A10ToDevice, 33 * c_Db, -6 * c_Db, c_Step, TRUE};
const ChipLevelRule CHIP_LEVEL_A13 = {"CChipModelFeatureUnitA13",
                                      A13FromDevice,
                                      A13ToDevice,
                                      45 * c_Db / 2,
                                      -36 * c_Db,
                                      c_Step,
                                      TRUE};
const ChipLevelRule CHIP_LEVEL_B9 = {
    "CChipModelFeatureUnitB9", B9FromDevice, B9ToDevice, 45 * c_Db / 2, 0, c_Step, FALSE};
const ChipLevelRule CHIP_LEVEL_B10 = {"CChipModelFeatureUnitB10",
                                      B10FromDevice,
                                      B10ToDevice,
                                      0x00090001,
                                      -27 * c_Db / 2,
                                      c_Step,
                                      FALSE};
const ChipLevelRule CHIP_LEVEL_B13 = {
    "CChipModelFeatureUnitB13", B13FromDevice, B13ToDevice, 0, -37 * c_Db, c_Db, FALSE};

// ----------------------------------------------------------------------------
// Bitmaps

ChipModelBitmaps::ChipModelBitmaps(const UCHAR* descriptor, ULONG length)
    : m_Descriptor(descriptor), m_Entries(0), m_EntrySize(0)
{
    if (descriptor == nullptr || length <= c_ControlSizeOffset)
        return;
    const ULONG bLength = descriptor[0] < length ? descriptor[0] : length;
    m_EntrySize = descriptor[c_ControlSizeOffset];
    if (m_EntrySize == 0 || bLength < c_FirstBitmap + m_EntrySize)
        return;
    // Whole entries from byte 6 to bLength: each lies inside the descriptor.
    m_Entries = (bLength - c_FirstBitmap) / m_EntrySize;
}

bool ChipModelBitmaps::Has(UCHAR selector, ULONG channel) const
{
    if (selector == 0 || channel >= m_Entries)
        return false;
    const UCHAR* entry = m_Descriptor + c_FirstBitmap + channel * m_EntrySize;
    const ULONG bits = m_EntrySize == 1 ? entry[0] : (ULONG)(entry[0] | entry[1] << 8);
    const ULONG bit = (ULONG)selector - 1;
    return bit < 8 * (m_EntrySize == 1 ? 1 : 2) && ((bits >> bit) & 1) != 0;
}

ULONG ChipModelBitmaps::FirstChannel(UCHAR selector) const
{
    for (ULONG c = 1; c <= LogicalChannels(); ++c)
        if (Has(selector, c))
            return c;
    return 0;
}

// ----------------------------------------------------------------------------
// Unit

NTSTATUS CChipModelFeatureUnit::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    const ControlInterfaceEntry entries[] = {
        {&IID_IUnitBooleanRequests, static_cast<IUnitBooleanRequests*>(this)},
        {&IID_IUnitRangedRequests, static_cast<IUnitRangedRequests*>(this)}};
    if (NT_SUCCESS(AnswerControlInterface(entries, interfaceId, object)))
        return STATUS_SUCCESS;
    return CUacUnit::NonDelegatingQueryInterface(interfaceId, object);
}

NTSTATUS CChipModelFeatureUnit::GetSingleControlId(ULONG, ULONG, PULONG id)
{
    return id != nullptr ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

bool CChipModelFeatureUnit::IsFeatureUnit() const
{
    return DescriptorByte(1) == USB_AUDIO_CS_INTERFACE &&
           DescriptorByte(2) == USB_AUDIO_FEATURE_UNIT;
}

ChipModelBitmaps CChipModelFeatureUnit::Bitmaps() const
{
    return ChipModelBitmaps(m_Descriptor, m_Descriptor != nullptr ? m_Descriptor[0] : 0);
}

bool CChipModelFeatureUnit::HasControl(UCHAR selector) const
{
    if (m_Descriptor == nullptr)
        return false;
    const FeatureUnitBitmaps bitmaps(AudioClassVersion::Uac1, m_Descriptor, m_Descriptor[0]);
    for (ULONG c = 0; c <= bitmaps.LogicalChannels(); ++c)
        if (bitmaps.Has(selector, c, false))
            return true;
    return false;
}

bool CChipModelFeatureUnit::IsOneByte(UCHAR selector) const
{
    return m_Rule.OneByteTone && IsOneByteLevel(selector);
}

NTSTATUS CChipModelFeatureUnit::Send(UnitRequest which, UCHAR selector, UCHAR channel, PVOID bytes,
                                     ULONG length)
{
    return SendUnitRequest(Owner(), AudioClassVersion::Uac1, which, (UCHAR)m_Id,
                           (USHORT)(selector << 8 | channel), false, bytes, length, length);
}

NTSTATUS CChipModelFeatureUnit::CreateControls(CAudioHal* device)
{
    PAGED_CODE();
    NTSTATUS status = SetIdentity(c_IdOffset, USB_AUDIO_FEATURE_UNIT, 1, c_SourceOffset);
    if (!NT_SUCCESS(status))
        return status;
    if (!HasControl(USB_AUDIO_FU_MUTE_CONTROL))
        return STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG row = 0; row < ARRAYSIZE(c_ChipControls); ++row)
    {
        if (!HasControl(c_ChipControls[row].Selector))
            continue;
        status = CreateOne(row, device);
        // A control that cannot be allocated ends creation: without mute
        // the unit fails, after it the controls made so far stand.
        if (status == STATUS_NO_MEMORY)
            return row == 0 ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

// A tone level whose device range cannot be used is left out: its sets
// would divide by the resolution.
NTSTATUS CChipModelFeatureUnit::CreateOne(ULONG row, CAudioHal* device)
{
    const ChipControlRow& what = c_ChipControls[row];
    const PDEVICE_OBJECT key = SettingsKey();
    if (what.Boolean != nullptr)
        return MakeUnitControl<CUacBooleanControl>(
            this, device, m_PoolTag,
            [&](CUacBooleanControl* c)
            { return c->CreateBooleanControl(this, what.Selector, key); },
            *what.Boolean);
    NTSTATUS status = MakeUnitControl<CUacRangedControl>(
        this, device, m_PoolTag,
        [&](CUacRangedControl* c) { return c->CreateRangedControl(this, what.Selector, key); },
        *what.Ranged);
    return status == STATUS_DEVICE_DATA_ERROR ? STATUS_SUCCESS : status;
}

// ---- on/off values: the master channel only

NTSTATUS CChipModelFeatureUnit::GetBoolean(UCHAR selector, ULONG channel, PUCHAR value)
{
    if (channel != 0 || value == nullptr)
        return STATUS_INVALID_PARAMETER;
    UCHAR byte = 0;
    NTSTATUS status = Send(UnitRequest::GetCurrent, selector, 0, &byte, 1);
    if (NT_SUCCESS(status))
        *value = byte;
    return status;
}

NTSTATUS CChipModelFeatureUnit::SetBoolean(UCHAR selector, ULONG channel, UCHAR value)
{
    if (channel != 0)
        return STATUS_INVALID_PARAMETER;
    return Send(UnitRequest::SetCurrent, selector, 0, &value, 1);
}

NTSTATUS CChipModelFeatureUnit::GetBooleanChannels(UCHAR, PULONG count)
{
    if (count == nullptr || !IsFeatureUnit())
        return STATUS_INVALID_PARAMETER;
    *count = 1;
    return STATUS_SUCCESS;
}

// ---- levels

NTSTATUS CChipModelFeatureUnit::GetLevelChannels(UCHAR selector, PULONG count)
{
    if (count == nullptr || !IsFeatureUnit())
        return STATUS_INVALID_PARAMETER;
    const ChipModelBitmaps bitmaps = Bitmaps();
    *count = 0;
    for (ULONG c = 1; c <= bitmaps.LogicalChannels(); ++c)
        *count += bitmaps.Has(selector, c) ? 1 : 0;
    if (*count != 0)
        return STATUS_SUCCESS;
    if (bitmaps.Has(selector, 0))
    {
        *count = 1;
        return STATUS_SUCCESS;
    }
    return STATUS_UNSUCCESSFUL;
}

// Index c of n channels goes to channel c + 1 when n > 1. A single channel
// goes to the master when the master has the control, else to the one
// logical channel that has it (a mono unit whose control sits on channel 1
// only would otherwise answer no request at all).
NTSTATUS CChipModelFeatureUnit::LevelChannel(UCHAR selector, ULONG index, PUCHAR channel)
{
    ULONG channels = 0;
    GetLevelChannels(selector, &channels);
    if (index >= channels)
        return STATUS_INVALID_PARAMETER;
    const ChipModelBitmaps bitmaps = Bitmaps();
    ULONG c = channels > 1 ? index + 1 : 0;
    if (channels == 1 && !bitmaps.Has(selector, 0))
        c = bitmaps.FirstChannel(selector);
    if (c > 0xFF || !bitmaps.Has(selector, c))
        return STATUS_INVALID_PARAMETER;
    *channel = (UCHAR)c;
    return STATUS_SUCCESS;
}

NTSTATUS CChipModelFeatureUnit::GetLevel(UCHAR selector, ULONG channel, PLONG level)
{
    UCHAR wire = 0;
    NTSTATUS status =
        level != nullptr ? LevelChannel(selector, channel, &wire) : STATUS_INVALID_PARAMETER;
    const ULONG size = IsOneByte(selector) ? 1 : 2;
    UCHAR bytes[2] = {};
    if (NT_SUCCESS(status))
        status = Send(UnitRequest::GetCurrent, selector, wire, bytes, size);
    if (!NT_SUCCESS(status))
        return status;
    const SHORT raw = (SHORT)(bytes[0] | bytes[1] << 8);
    if (size == 1)
        *level = LevelFromDevice(bytes, 1);
    else
        *level = raw == c_SilenceRaw ? c_Silence : m_Rule.FromDevice(raw);
    return STATUS_SUCCESS;
}

NTSTATUS CChipModelFeatureUnit::SetLevel(UCHAR selector, ULONG channel, LONG level)
{
    UCHAR wire = 0;
    NTSTATUS status = LevelChannel(selector, channel, &wire);
    if (!NT_SUCCESS(status))
        return status;
    UCHAR bytes[2] = {};
    if (IsOneByte(selector))
    {
        LevelToDevice(level, 1, bytes);
        return Send(UnitRequest::SetCurrent, selector, wire, bytes, 1);
    }
    const SHORT raw = level == c_Silence
                          ? c_SilenceRaw
                          : m_Rule.ToDevice(Clamp(level, m_Rule.Minimum, m_Rule.Maximum));
    bytes[0] = (UCHAR)raw;
    bytes[1] = (UCHAR)((USHORT)raw >> 8);
    return Send(UnitRequest::SetCurrent, selector, wire, bytes, 2);
}

NTSTATUS CChipModelFeatureUnit::GetLevelRange(UCHAR selector, PLONG maximum, PLONG minimum,
                                              PLONG resolution)
{
    if (maximum == nullptr || minimum == nullptr || resolution == nullptr || !IsFeatureUnit())
        return STATUS_INVALID_PARAMETER;
    const ULONG first = Bitmaps().FirstChannel(selector);
    const UCHAR channel = first <= 0xFF ? (UCHAR)first : 0;
    // The device is asked all three, in this order; its answers count only
    // for a 1-byte tone level.
    const UnitRequest order[] = {UnitRequest::GetMaximum, UnitRequest::GetMinimum,
                                 UnitRequest::GetResolution};
    const ULONG size = IsOneByte(selector) ? 1 : 2;
    LONG answers[3] = {};
    for (ULONG i = 0; i < 3; ++i)
    {
        UCHAR bytes[2] = {};
        NTSTATUS status = Send(order[i], selector, channel, bytes, size);
        if (!NT_SUCCESS(status))
            return status;
        answers[i] = LevelFromDevice(bytes, size);
    }
    const bool device = size == 1;
    *maximum = device ? answers[0] : m_Rule.Maximum;
    *minimum = device ? answers[1] : m_Rule.Minimum;
    *resolution = device ? answers[2] : m_Rule.Resolution;
    return STATUS_SUCCESS;
}
