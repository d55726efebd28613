// The small numeric operations behind the software volume and the dB-scaled
// controls: powers of 2 and 10 from tables, rounding half away from zero, and
// the fixed curve between a chip's attenuation steps and the dB values it
// reports. They run in set-up and property paths and in the software
// volume's gain, without the platform's floating-point library.
#pragma once

#include "platform/kernel/nt_types.h"

inline constexpr ULONG POW_TABLE2_ENTRIES = 16;
inline constexpr ULONG POW_TABLE10_ENTRIES = 201;
inline constexpr ULONG VOLUME_CURVE_ROWS = 38;
// The resolution of a curve control's range: 0.25 dB in 1/65536 dB.
inline constexpr LONG VOLUME_CURVE_RESOLUTION = 16384;
// Minus infinity in 1/65536 dB.
inline constexpr LONG LEVEL_MINUS_INFINITY = (LONG)0x80000000;

// 2^k for k = 0..15, and 10^(k/200) for k = 0..200.
extern const double PowTable2[POW_TABLE2_ENTRIES];
extern const double PowTable10[POW_TABLE10_ENTRIES];

// {reported value, device value}, both in 1/256 dB; the device value falls by
// 1 dB a row and the last row reports silence.
struct VolumeCurveRow
{
    SHORT Reported;
    SHORT Device;
};
extern const VolumeCurveRow VolumeCurve[VOLUME_CURVE_ROWS];

// x + 0.5 for x >= 0, else x - 0.5, truncated toward zero. Values beyond the
// 32-bit range saturate.
LONG RoundHalfAway(double x);

// base^x for base 2 (x rounds into 0..15; 0.0 outside it) and base 10; any
// other base gives 0.0. Base-10 exponents far beyond what a double holds give
// 0.0 below and infinity above, as the repeated division and
// multiplication would.
double PowBase(double base, double x);
float PowBaseFloat(float base, float x);

// The software gain of a level in 1/65536 dB: 10^(level / 20 dB).
float SoftwareGain(LONG level);

// A device level (1/256 dB) as the chip reports it, in 1/256 dB: a value
// beyond the curve's last step stays as it is.
LONG CurveDeviceToReported(LONG deviceValue);
// The device level (1/256 dB) to send for a level in 1/65536 dB; minus
// infinity, and levels quieter than the curve's last row, send the quietest
// value the curve knows.
SHORT CurveReportedToDevice(LONG level);
