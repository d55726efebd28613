// The scale factor of the scaled routines, 2^-sf, built in the exponent
// field of 1.0: sf taken off the biased exponent, so no rounding mode or
// flush-to-zero setting can change it. Exact while 2^-sf is a normal number
// (sf from -127 to 126 for a single, -1023 to 1022 for a double); one step
// beyond, 127 (1023) gives +0.0 and -128 (-1024) infinity. Callers hold sf to
// the range they need.
#pragma once

#include <bit>
#include <cstdint>
#include <type_traits>

template <class P> constexpr P DspScaleFactor(int32_t sf)
{
    static_assert(std::is_same_v<P, float> || std::is_same_v<P, double>);
    if constexpr (std::is_same_v<P, float>)
        return std::bit_cast<float>(0x3F800000u - (static_cast<uint32_t>(sf) << 23));
    else
        return std::bit_cast<double>(0x3FF0000000000000ull - (static_cast<uint64_t>(sf) << 52));
}

static_assert(DspScaleFactor<float>(0) == 1.0f && DspScaleFactor<float>(126) == 0x1p-126f &&
              DspScaleFactor<float>(-127) == 0x1p127f && DspScaleFactor<float>(127) == 0.0f);
static_assert(DspScaleFactor<double>(1022) == 0x1p-1022 &&
              DspScaleFactor<double>(-1023) == 0x1p1023 && DspScaleFactor<double>(1023) == 0.0);
