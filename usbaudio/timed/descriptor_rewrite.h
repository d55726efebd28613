// The timed chip's configuration descriptor has one fixed layout. Before it
// is parsed, the pieces the switches remove are cut out, the mixer and the
// recording selector are rebuilt for the inputs that remain, and the
// playback channel counts and the single-rate setting are set. The layout is
// checked first: every piece must start where the layout says, with the
// descriptor type, length, subtype and ids the later steps rely on, or the
// descriptor is left as it is and refused.
#pragma once

#include "usbaudio/timed/switches.h"

// Bytes of the chip's configuration as the layout describes it.
inline constexpr ULONG TIMED_CONFIGURATION_BYTES = 509;
inline constexpr ULONG TIMED_REWRITE_BUFFER_BYTES = 4096;

// Unit and terminal ids of the layout.
namespace TimedId
{
constexpr UCHAR PlaybackTerminal = 1, StereoMixRec = 2, Speaker = 3, MicRec = 8, MicAnalog = 9,
                LineAnalog = 11, Master = 13, LineRec = 15, SpdifRec = 16;
} // namespace TimedId

// Whether the bytes hold the fixed layout (wTotalLength included).
bool IsTimedConfigurationLayout(const UCHAR* configuration, ULONG bytes);

// Applies the switches' consequences to *switches (the walks read them
// later), then rewrites `configuration` in place; `bytes` is what the buffer
// holds. STATUS_UNSUCCESSFUL with both the six- and eight-channel settings
// disabled (no playback would be left) and for a descriptor of another
// layout; STATUS_INSUFFICIENT_RESOURCES when the work buffer cannot be had.
// The descriptor is unchanged on any failure.
NTSTATUS RewriteTimedConfiguration(PUCHAR configuration, ULONG bytes, TimedSwitches* switches);
