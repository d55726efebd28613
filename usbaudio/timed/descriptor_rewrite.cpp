#include "usbaudio/timed/descriptor_rewrite.h"

#include "usbaudio/device/usb_audio_device.h"

namespace
{
constexpr UCHAR c_AnyId = 0xFF;
constexpr ULONG c_AudioControlStart = 18; // the class-specific header
constexpr ULONG c_StreamingStart = 218;   // the first AudioStreaming interface
constexpr ULONG c_PlaybackRate = 96000;

// What each fixed place must hold: the descriptor's length, type, subtype
// (for interfaces the subclass) and byte 3 (a unit's or terminal's id, an
// interface's alternate setting, a format type's kind).
struct ExpectedDescriptor
{
    USHORT Offset;
    UCHAR Length;
    UCHAR Type;
    UCHAR Subtype;
    UCHAR Byte3;
};
const ExpectedDescriptor c_Layout[] = {
    {0, 9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, c_AnyId},
    {9, 9, USB_INTERFACE_DESCRIPTOR_TYPE, USB_AUDIO_SUBCLASS_AUDIOCONTROL, 0}, // AudioControl
    {18, 10, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_HEADER, c_AnyId},            // header
    {28, 12, USB_AUDIO_CS_INTERFACE, USB_AUDIO_INPUT_TERMINAL, TimedId::PlaybackTerminal},
    {40, 12, USB_AUDIO_CS_INTERFACE, USB_AUDIO_INPUT_TERMINAL, c_AnyId},
    {52, 10, USB_AUDIO_CS_INTERFACE, USB_AUDIO_FEATURE_UNIT, TimedId::MicRec},
    {62, 10, USB_AUDIO_CS_INTERFACE, USB_AUDIO_FEATURE_UNIT, TimedId::MicAnalog},
    {72, 25, USB_AUDIO_CS_INTERFACE, USB_AUDIO_MIXER_UNIT, c_AnyId},
    {97, 16, USB_AUDIO_CS_INTERFACE, USB_AUDIO_FEATURE_UNIT, TimedId::Master},
    {113, 9, USB_AUDIO_CS_INTERFACE, USB_AUDIO_OUTPUT_TERMINAL, TimedId::Speaker},
    {122, 13, USB_AUDIO_CS_INTERFACE, USB_AUDIO_MIXER_UNIT, c_AnyId},
    {135, 9, USB_AUDIO_CS_INTERFACE, USB_AUDIO_OUTPUT_TERMINAL, c_AnyId},
    {144, 10, USB_AUDIO_CS_INTERFACE, USB_AUDIO_SELECTOR_UNIT, c_AnyId},
    {154, 12, USB_AUDIO_CS_INTERFACE, USB_AUDIO_INPUT_TERMINAL, c_AnyId},
    {166, 10, USB_AUDIO_CS_INTERFACE, USB_AUDIO_FEATURE_UNIT, TimedId::LineRec},
    {176, 10, USB_AUDIO_CS_INTERFACE, USB_AUDIO_FEATURE_UNIT, TimedId::LineAnalog},
    {186, 12, USB_AUDIO_CS_INTERFACE, USB_AUDIO_INPUT_TERMINAL, c_AnyId},
    {198, 10, USB_AUDIO_CS_INTERFACE, USB_AUDIO_FEATURE_UNIT, TimedId::StereoMixRec},
    {208, 10, USB_AUDIO_CS_INTERFACE, USB_AUDIO_FEATURE_UNIT, TimedId::SpdifRec},
    {218, 9, USB_INTERFACE_DESCRIPTOR_TYPE, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 0},
    {227, 9, USB_INTERFACE_DESCRIPTOR_TYPE, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 1},
    {273, 9, USB_INTERFACE_DESCRIPTOR_TYPE, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 2},
    {319, 9, USB_INTERFACE_DESCRIPTOR_TYPE, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 3},
    {365, 9, USB_INTERFACE_DESCRIPTOR_TYPE, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 4},
    {411, 9, USB_INTERFACE_DESCRIPTOR_TYPE, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 5},
    // the single-rate setting's format type
    {427, 11, USB_AUDIO_CS_INTERFACE, USB_AUDIO_FORMAT_TYPE, USB_AUDIO_FORMAT_TYPE_I},
    {454, 9, USB_INTERFACE_DESCRIPTOR_TYPE, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 0},
};
// Byte pairs that must agree: the master feature unit's source is the
// mixer, the recording terminal's source the selector.
struct SameByte
{
    USHORT First;
    USHORT Second;
};
const SameByte c_Links[] = {{97 + 4, 72 + 3}, {135 + 7, 144 + 3}};
constexpr USHORT c_MasterControlSize = 97 + 5;
constexpr USHORT c_SingleRateCount = 427 + 7;

enum class Keep : UCHAR
{
    Always,
    NoneOf,   // none of the switches is set
    NotAllOf, // not every one of the switches is set
    WithRecordingSources,
    TwoRecordingSources
};
enum class Edit : UCHAR
{
    None,
    Lengths,
    PlaybackTerminal,
    Mixer,
    Master,
    RecordingTerminal,
    Selector,
    SingleRate
};
struct Piece
{
    USHORT Offset;
    UCHAR Length;
    Keep Rule;
    ULONG Switches;
    Edit Change;
};
constexpr ULONG c_BothAnalog = SwitchBit(DisableMicInAAUnit) | SwitchBit(DisableLineInAAUnit);
constexpr ULONG c_AllInputs = SwitchBit(DisableMicInTerminal) | SwitchBit(DisableLineInTerminal) |
                              SwitchBit(DisableSpdifInTerminal);
const Piece c_Pieces[] = {
    {0, 28, Keep::Always, 0, Edit::Lengths},
    {28, 12, Keep::Always, 0, Edit::PlaybackTerminal},
    {40, 12, Keep::NoneOf, SwitchBit(DisableMicInTerminal), Edit::None},
    {52, 10, Keep::NoneOf, SwitchBit(DisableMicInRecUnit), Edit::None},
    {62, 10, Keep::NoneOf, SwitchBit(DisableMicInAAUnit), Edit::None},
    {72, 25, Keep::NotAllOf, c_BothAnalog, Edit::Mixer},
    {97, 16, Keep::Always, 0, Edit::Master},
    {113, 9, Keep::Always, 0, Edit::None},
    {122, 13, Keep::NoneOf, SwitchBit(DisableStereoMixRecUnit) | c_BothAnalog, Edit::None},
    {135, 9, Keep::WithRecordingSources, c_AllInputs, Edit::RecordingTerminal},
    {144, 10, Keep::TwoRecordingSources, 0, Edit::Selector},
    {154, 12, Keep::NoneOf, SwitchBit(DisableLineInTerminal), Edit::None},
    {166, 10, Keep::NoneOf, SwitchBit(DisableLineInRecUnit), Edit::None},
    {176, 10, Keep::NoneOf, SwitchBit(DisableLineInAAUnit), Edit::None},
    {186, 12, Keep::NoneOf, SwitchBit(DisableSpdifInTerminal), Edit::None},
    {198, 10, Keep::NoneOf, SwitchBit(DisableStereoMixRecUnit), Edit::None},
    {208, 10, Keep::NoneOf, SwitchBit(DisableSpdifInTerminal), Edit::None},
    {218, 9, Keep::Always, 0, Edit::None},
    {227, 46, Keep::NoneOf, SwitchBit(Disable8ChOutSupported), Edit::None},
    {273, 46, Keep::NoneOf, SwitchBit(Disable2ChOutSupported), Edit::None},
    {319, 46, Keep::NoneOf, SwitchBit(Disable4ChOutSupported), Edit::None},
    {365, 46, Keep::NoneOf, SwitchBit(Disable6ChOutSupported), Edit::None},
    {411, 43, Keep::Always, 0, Edit::SingleRate},
    {454, 55, Keep::WithRecordingSources, c_AllInputs, Edit::None},
};

// The recording selector's inputs, in order, each with the switch that removes it.
struct RecordingSource
{
    UCHAR Id;
    TimedSwitch RemovedBy;
};
const RecordingSource c_RecordingSources[] = {{TimedId::MicRec, DisableMicInRecUnit},
                                              {TimedId::LineRec, DisableLineInRecUnit},
                                              {TimedId::SpdifRec, DisableSpdifInTerminal},
                                              {TimedId::StereoMixRec, DisableStereoMixRecUnit}};
constexpr ULONG c_MaxRecordingSources = 4;

// Mixer inputs: the playback terminal, then each analog path that is kept.
struct MixerInput
{
    UCHAR Id;
    TimedSwitch RemovedBy;
};
const MixerInput c_AnalogPaths[] = {{TimedId::MicAnalog, DisableMicInAAUnit},
                                    {TimedId::LineAnalog, DisableLineInAAUnit}};
constexpr UCHAR c_AnalogChannels = 2;

struct RewriteState
{
    const UCHAR* Source;
    const TimedSwitches* Switches;
    UCHAR Sources[c_MaxRecordingSources];
    ULONG SourceCount;
    PUCHAR Out;
    ULONG Written;
    ULONG AudioControlEnd;
};

bool Tiled(const UCHAR* piece, ULONG length)
{
    ULONG at = 0;
    while (at < length)
    {
        if (piece[at] < 2 || piece[at] > length - at)
            return false;
        at += piece[at];
    }
    return true;
}

bool Kept(const Piece& piece, const RewriteState& state)
{
    switch (piece.Rule)
    {
    case Keep::Always:
        return true;
    case Keep::NoneOf:
        return !state.Switches->HasAny(piece.Switches);
    case Keep::NotAllOf:
        return !state.Switches->HasAll(piece.Switches);
    case Keep::WithRecordingSources:
        // Without any source a recording terminal would name a unit that
        // is gone: the recording side goes with its last source.
        return !state.Switches->HasAll(piece.Switches) && state.SourceCount != 0;
    case Keep::TwoRecordingSources:
        return state.SourceCount >= 2;
    }
    return false;
}

ULONG BuildMixer(const UCHAR* source, const TimedSwitches& switches, PUCHAR out)
{
    const bool six = switches.Has(Disable8ChOutSupported);
    const UCHAR channels = six ? 6 : 8;
    const USHORT config = six ? 0x003F : 0x063F;
    RtlCopyMemory(out, source, 4);
    ULONG pins = 0;
    out[5 + pins++] = TimedId::PlaybackTerminal;
    for (const MixerInput& path : c_AnalogPaths)
        if (!switches.Has(path.RemovedBy))
            out[5 + pins++] = path.Id;
    const ULONG inputChannels = channels + c_AnalogChannels * (pins - 1);
    const ULONG controlBytes = (channels * inputChannels + 7) / 8;
    const ULONG length = 10 + pins + controlBytes;
    out[0] = (UCHAR)length;
    out[4] = (UCHAR)pins;
    out[5 + pins] = channels;
    out[6 + pins] = (UCHAR)config;
    out[7 + pins] = (UCHAR)(config >> 8);
    RtlZeroMemory(out + 8 + pins, length - (8 + pins)); // names, controls, string
    return length;
}

ULONG BuildSelector(const UCHAR* source, const RewriteState& state, PUCHAR out)
{
    RtlCopyMemory(out, source, 4);
    const ULONG length = 6 + state.SourceCount;
    out[0] = (UCHAR)length;
    out[4] = (UCHAR)state.SourceCount;
    RtlCopyMemory(out + 5, state.Sources, state.SourceCount);
    out[5 + state.SourceCount] = 0;
    return length;
}

void WriteLe16(PUCHAR at, ULONG value)
{
    at[0] = (UCHAR)value;
    at[1] = (UCHAR)(value >> 8);
}

// Copies or rebuilds one kept piece at the end of the output.
void EmitPiece(const Piece& piece, RewriteState* state)
{
    const UCHAR* source = state->Source + piece.Offset;
    PUCHAR out = state->Out + state->Written;
    ULONG length = piece.Length;
    const bool six = state->Switches->Has(Disable8ChOutSupported);
    switch (piece.Change)
    {
    case Edit::Mixer:
        length = BuildMixer(source, *state->Switches, out);
        break;
    case Edit::Selector:
        length = BuildSelector(source, *state, out);
        break;
    case Edit::Master:
        length = six ? 14 : piece.Length;
        RtlCopyMemory(out, source, length);
        if (state->Switches->HasAll(c_BothAnalog))
            out[4] = TimedId::PlaybackTerminal;
        if (six)
        {
            out[0] = 14;
            out[13] = 0;
        }
        break;
    default:
        RtlCopyMemory(out, source, length);
        break;
    }
    if (piece.Change == Edit::PlaybackTerminal && six)
    {
        out[7] = 6;
        WriteLe16(out + 8, 0x003F);
    }
    if (piece.Change == Edit::RecordingTerminal && state->SourceCount == 1)
        out[7] = state->Sources[0];
    if (piece.Change == Edit::SingleRate)
    {
        out[24] = (UCHAR)c_PlaybackRate;
        out[25] = (UCHAR)(c_PlaybackRate >> 8);
        out[26] = (UCHAR)(c_PlaybackRate >> 16);
    }
    state->Written += length;
    if (piece.Offset < c_StreamingStart)
        state->AudioControlEnd = state->Written;
}
} // namespace

bool IsTimedConfigurationLayout(const UCHAR* configuration, ULONG bytes)
{
    if (configuration == nullptr || bytes < TIMED_CONFIGURATION_BYTES)
        return false;
    const ULONG total = configuration[2] | configuration[3] << 8;
    if (total < TIMED_CONFIGURATION_BYTES || total > bytes)
        return false;
    for (const Piece& piece : c_Pieces)
        if (!Tiled(configuration + piece.Offset, piece.Length))
            return false;
    for (const ExpectedDescriptor& d : c_Layout)
    {
        const UCHAR* at = configuration + d.Offset;
        const bool subtype = d.Type == USB_INTERFACE_DESCRIPTOR_TYPE
                                 ? at[5] == USB_DEVICE_CLASS_AUDIO && at[6] == d.Subtype
                                 : d.Type != USB_AUDIO_CS_INTERFACE || at[2] == d.Subtype;
        if (at[0] != d.Length || at[1] != d.Type || !subtype ||
            (d.Byte3 != c_AnyId && at[3] != d.Byte3))
            return false;
    }
    for (const SameByte& link : c_Links)
        if (configuration[link.First] != configuration[link.Second])
            return false;
    return configuration[c_MasterControlSize] == 1 && configuration[c_SingleRateCount] == 1;
}

NTSTATUS RewriteTimedConfiguration(PUCHAR configuration, ULONG bytes, TimedSwitches* switches)
{
    PAGED_CODE();
    if (switches == nullptr)
        return STATUS_INVALID_PARAMETER;
    ApplyTimedSwitchConsequences(switches);
    if (switches->Has(Disable6ChOutSupported) && switches->Has(Disable8ChOutSupported))
        return STATUS_UNSUCCESSFUL;
    if (!IsTimedConfigurationLayout(configuration, bytes))
    {
        DbgPrint("CUsbAudioTimedDevice: the configuration is not of the chip's layout\n");
        return STATUS_UNSUCCESSFUL;
    }
    auto out = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(PagedPool, TIMED_REWRITE_BUFFER_BYTES, TIMED_POOL_TAG));
    if (out == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    RewriteState state = {configuration, switches, {}, 0, out, 0, 0};
    for (const RecordingSource& source : c_RecordingSources)
        if (!switches->Has(source.RemovedBy))
            state.Sources[state.SourceCount++] = source.Id;
    for (const Piece& piece : c_Pieces)
        if (Kept(piece, state))
            EmitPiece(piece, &state);
    WriteLe16(out + 2, state.Written);
    WriteLe16(out + c_AudioControlStart + 5, state.AudioControlEnd - c_AudioControlStart);
    RtlCopyMemory(configuration, out, state.Written);
    ExFreePoolWithTag(out, TIMED_POOL_TAG);
    return STATUS_SUCCESS;
}
