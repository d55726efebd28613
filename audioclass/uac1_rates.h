// The sampling rates a class 1.0 format-type descriptor offers: its discrete
// list as it stands, or the standard rates its continuous range holds. The
// driver offers the stream these. A simulated device takes its range's bounds
// in either order too (Uac1RangeBounds), but holds a rate to them exactly,
// without the tolerance below. Header only: the simulator uses it without
// the driver's libraries.
#pragma once

#include "platform/kernel/nt_types.h"

inline constexpr ULONG UAC1_STANDARD_RATES[9] = {8000,  11025, 16000, 22050, 32000,
                                                 44100, 48000, 88200, 96000};

// A bound of a continuous range this close to a standard rate counts as that
// rate (devices state 47990 for 48000): rate r lies in [L, U] when
// 200 L <= 201 r and 199 r <= 200 U.
inline constexpr ULONGLONG UAC1_RATE_TOLERANCE_PER = 200;
inline constexpr ULONGLONG UAC1_RATE_TOLERANCE_ABOVE = 201;
inline constexpr ULONGLONG UAC1_RATE_TOLERANCE_BELOW = 199;

// A rate as a format-type descriptor states it: three bytes, little-endian.
inline ULONG Uac1ReadRate(const UCHAR* p)
{
    return p[0] | p[1] << 8 | p[2] << 16;
}

// The bounds of a continuous range (a format-type descriptor of at least 14
// bytes), the lower first, in whichever order the descriptor states them.
inline void Uac1RangeBounds(const UCHAR* formatType, ULONG* lower, ULONG* upper)
{
    const ULONG first = Uac1ReadRate(formatType + 8), second = Uac1ReadRate(formatType + 11);
    *lower = first < second ? first : second;
    *upper = first < second ? second : first;
}

// The rates of a format-type descriptor checked whole: its discrete list
// (up to 255 rates), or the standard rates its continuous range holds, its
// bounds in either order (none is no rates). A range that reaches past the
// highest standard rate is refused.
inline NTSTATUS Uac1FormatRates(const UCHAR* formatType, ULONG* rates, PULONG count)
{
    const ULONG n = formatType[7];
    if (n != 0)
    {
        for (ULONG i = 0; i < n; ++i)
            rates[i] = Uac1ReadRate(formatType + 8 + 3 * i);
        *count = n;
        return STATUS_SUCCESS;
    }
    ULONG lower = 0, upper = 0;
    Uac1RangeBounds(formatType, &lower, &upper);
    const ULONG highest = UAC1_STANDARD_RATES[ARRAYSIZE(UAC1_STANDARD_RATES) - 1];
    if (UAC1_RATE_TOLERANCE_PER * upper > UAC1_RATE_TOLERANCE_ABOVE * highest)
        return STATUS_INVALID_PARAMETER;
    *count = 0;
    for (const ULONG rate : UAC1_STANDARD_RATES)
        if (UAC1_RATE_TOLERANCE_PER * lower <= UAC1_RATE_TOLERANCE_ABOVE * rate &&
            UAC1_RATE_TOLERANCE_BELOW * rate <= UAC1_RATE_TOLERANCE_PER * upper)
            rates[(*count)++] = rate;
    return STATUS_SUCCESS;
}
