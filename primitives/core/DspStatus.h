// Result codes of the signal-processing primitives. Negative values are
// errors (nothing, or for internal allocation failures only released work,
// was done); positive values are warnings (the whole output was written).
#pragma once

#include <cstdint>

using DspStatus = int32_t;

enum : DspStatus
{
    DspStsNoErr = 0,
    DspStsSizeErr = -6,           // a length or element count below 1
    DspStsNullPtrErr = -8,        // a required pointer is null
    DspStsMemAllocErr = -9,       // an allocation through the hooks failed
    DspStsDivByZeroErr = -10,     // division by a constant equal to zero
    DspStsFftOrderErr = -15,      // FFT order outside 0..30
    DspStsFftFlagErr = -16,       // FFT scaling flag not 1, 2, 4 or 8
    DspStsContextMatchErr = -17,  // state or specification of the wrong kind
    DspStsIirOrderErr = -25,      // IIR order below 1
    DspStsFirLenErr = -26,        // FIR tap count below 1
    DspStsFirMrPhaseErr = -28,    // multirate phase outside 0..factor-1
    DspStsFirMrFactorErr = -29,   // multirate up or down factor below 1
    DspStsNumChannelsErr = -53,   // channel count below 1
    DspStsMisalignedBuf = 2,      // interleave buffer not 16-byte aligned
    DspStsSqrtNegArg = 3,         // square root of a negative element
    DspStsDivByZero = 6,          // division by zero inside a vector
    DspStsLnZeroArg = 7,          // logarithm of zero
    DspStsLnNegArg = 8,           // logarithm of a negative element
    DspStsPowDomain = 19,         // zero base with negative exponent, or negative base
                                  // with non-integer exponent
    DspStsNonIntelCpu = 20,       // level set, but the processor is not "GenuineIntel"
    DspStsCpuTypeNotAccepted = 21 // processor-type code not accepted; level unchanged
};

// Round-mode argument of the float-to-integer conversions. Any value other than
// 0 and 1 (negative ones included) rounds to nearest with ties away from zero.
using DspRoundMode = int32_t;
enum : DspRoundMode
{
    DspRndZero = 0,
    DspRndNear = 1,
    DspRndFinancial = 2
};

// Processor levels held in DspCpuLevel.
enum : int32_t
{
    DspLevelGeneric = 0,
    DspLevelSse3 = 1,
    DspLevelSsse3 = 2,
    DspLevelSse4 = 3
};
