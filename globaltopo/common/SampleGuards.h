// Guards on the samples an effect engine keeps: decided on the bits, with a
// mask rather than a branch, so the sample loops stay free of data branches.
#pragma once

#include <emmintrin.h>

#include <bit>
#include <cmath>
#include <cstdint>

// The sample, or 0 for an infinity or a NaN: one of them entering a
// recursive state would stay there for good.
inline float FiniteOrZero(float sample)
{
    const uint32_t bits = std::bit_cast<uint32_t>(sample);
    return std::bit_cast<float>(bits &
                                (0u - static_cast<uint32_t>((bits & 0x7F800000u) != 0x7F800000u)));
}

// The sample, or 0 for a denormal: a state decaying through denormals is slow
// on every processor unless flush-to-zero is on, which the engine cannot know.
inline float NormalOrZero(float sample)
{
    const uint32_t bits = std::bit_cast<uint32_t>(sample);
    return std::bit_cast<float>(bits & (0u - static_cast<uint32_t>((bits & 0x7F800000u) != 0)));
}

// Four lanes of each guard, the same bits as the scalar forms. The exponent
// field alone, read as a float, is 0, a power of two or infinity, never a
// denormal, so the compares hold whatever the denormals-are-zero mode is.
inline __m128 FiniteOrZero(__m128 samples)
{
    const __m128 exponent = _mm_and_ps(samples, _mm_set1_ps(INFINITY));
    return _mm_and_ps(_mm_cmpneq_ps(exponent, _mm_set1_ps(INFINITY)), samples);
}

inline __m128 NormalOrZero(__m128 samples)
{
    const __m128 exponent = _mm_and_ps(samples, _mm_set1_ps(INFINITY));
    return _mm_and_ps(_mm_cmpneq_ps(exponent, _mm_setzero_ps()), samples);
}

// Both guards in one: the sample, or 0 unless it is normal and finite. The
// exponent field plus 2^31 - 2^23 is below -2^24 as a signed word exactly
// for the fields 1 to 254; one compare instead of two.
inline __m128 FiniteNormalOrZero(__m128 samples)
{
    const __m128i exponent = _mm_castps_si128(_mm_and_ps(samples, _mm_set1_ps(INFINITY)));
    const __m128i shifted = _mm_add_epi32(exponent, _mm_set1_epi32(0x7F800000));
    const __m128i kept = _mm_cmplt_epi32(shifted, _mm_set1_epi32(-0x1000000));
    return _mm_and_ps(_mm_castsi128_ps(kept), samples);
}
