// Coefficient tables of the sample-rate converter stages. The values come
// from scripts/design_src_filters.py; src_filter_tables.cpp is its output.
#pragma once

inline constexpr int SRC_HALF_BAND_TAPS = 66;
inline constexpr int SRC_QUARTER_BAND_TAPS = 132;
inline constexpr int SRC_BANK_44_TO_48_PHASES = 160;
inline constexpr int SRC_BANK_44_TO_48_TAPS = 20;
inline constexpr int SRC_BANK_48_TO_44_PHASES = 147;
inline constexpr int SRC_BANK_48_TO_44_TAPS = 24;

// Symmetric low-pass filters of the 2x and 4x stages, each summing to 1.001.
extern const float g_SrcHalfBandTaps[SRC_HALF_BAND_TAPS];
extern const float g_SrcQuarterBandTaps[SRC_QUARTER_BAND_TAPS];
// Polyphase banks of the 160/147 stage: row p holds taps p, p + phases, ...
// of one interpolation prototype; every row sums to 1.0. Row 0 of the
// 44.1-to-48 kHz bank is the unit impulse at tap 10.
extern const float g_SrcBank44To48[SRC_BANK_44_TO_48_PHASES][SRC_BANK_44_TO_48_TAPS];
extern const float g_SrcBank48To44[SRC_BANK_48_TO_44_PHASES][SRC_BANK_48_TO_44_TAPS];
