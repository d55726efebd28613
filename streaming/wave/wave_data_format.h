// The data formats a wave filter accepts: where the wave format sits inside a
// kernel-streaming data format (by the format's size), the checks of its
// extension and of the signal-processing mode that may follow it, and the
// comparison of two wave formats that decides whether audio passes between
// them unchanged. The wave miniport and its stream share these checks.
#pragma once

#include "framework/stream_engine.h"

// A data format must be at least this long to carry a plain wave format.
inline constexpr ULONG WAVE_DATA_FORMAT_MIN_BYTES = 82;
// The wave-format record kept for a stream: WAVEFORMATEXTENSIBLE at most.
inline constexpr ULONG WAVE_FORMAT_RECORD_BYTES = sizeof(WAVEFORMATEXTENSIBLE);

// The subformat of the one-bit formats that only the ASIO interface carries.
DEFINE_GUID(KSDATAFORMAT_SUBTYPE_LT_DSD, 0x00004C54L, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00,
            0x38, 0x9B, 0x71);

// Finds the wave format of `format`, checks that its extension lies inside
// the format and that the engine supports it, and returns it completed from
// the engine's record in *record (zero-filled past its extension). A format
// whose block alignment or byte rate disagrees with its channels, bits and
// rate is refused. STATUS_INVALID_PARAMETER for every refusal.
NTSTATUS WaveCheckDataFormat(const KSDATAFORMAT* format, CStreamEngine* engine,
                             WAVEFORMATEXTENSIBLE* record);

// The signal-processing mode asked for by the attribute list that follows a
// format flagged with KSDATAFORMAT_ATTRIBUTES (the last mode attribute wins;
// RAW when the list names none). STATUS_INVALID_PARAMETER for a list or an
// entry too short or a mode attribute of the wrong size, STATUS_NOT_SUPPORTED
// for an attribute other than the mode.
NTSTATUS WaveReadProcessingMode(const KSDATAFORMAT* format, GUID* mode);

// The sample type of a wave format: its tag, or its subformat when extensible.
GUID WaveSubFormatOf(const WAVEFORMATEXTENSIBLE& format);
// Bits of each sample that carry audio.
USHORT WaveValidBitsOf(const WAVEFORMATEXTENSIBLE& format);
// Whether audio of one format is audio of the other: channels, rate, container
// and valid bits, block alignment and sample type all equal.
bool WaveSameAudio(const WAVEFORMATEXTENSIBLE& a, const WAVEFORMATEXTENSIBLE& b);
// The byte value of silence: 0x80 for 8-bit samples, else 0.
UCHAR WaveSilenceByte(const WAVEFORMATEXTENSIBLE& format);
