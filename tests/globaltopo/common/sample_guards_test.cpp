// The four-lane guards give, lane by lane, the bits the scalar guards give
// (the combined one what both keep), with denormals-are-zero and
// flush-to-zero off and on.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <bit>

#include "globaltopo/common/SampleGuards.h"
#include "platform/cpu/cpu.h"

namespace
{
struct GuardCase
{
    float value;
    bool finite, normal; // kept by FiniteOrZero, kept by NormalOrZero
};

TEST(SampleGuards, FourLanesKeepExactlyWhatOneLaneKeeps)
{
    const GuardCase cases[] = {
        {0.0f, true, false},
        {-0.0f, true, false},
        {FLT_TRUE_MIN, true, false},
        {-FLT_TRUE_MIN, true, false},
        {0.5f * FLT_MIN, true, false},
        {std::nextafter(FLT_MIN, 0.0f), true, false},
        {FLT_MIN, true, true},
        {-FLT_MIN, true, true},
        {1.0f, true, true},
        {-0.75f, true, true},
        {FLT_MAX, true, true},
        {-FLT_MAX, true, true},
        {INFINITY, false, true},
        {-INFINITY, false, true},
        {NAN, false, true},
        {-NAN, false, true},
    };
    const unsigned saved = EmuGetMxcsr();
    for (const unsigned mode : {saved & ~0x8040u, saved | 0x8040u})
    {
        EmuSetMxcsr(mode);
        for (const GuardCase& c : cases)
        {
            SCOPED_TRACE(::testing::Message() << c.value << " mxcsr " << mode);
            float finite[4], normal[4], both[4];
            const __m128 v = _mm_set_ps(1.0f, c.value, -2.0f, c.value);
            _mm_storeu_ps(finite, FiniteOrZero(v));
            _mm_storeu_ps(normal, NormalOrZero(v));
            _mm_storeu_ps(both, FiniteNormalOrZero(v));
            EXPECT_EQ(std::bit_cast<uint32_t>(FiniteOrZero(c.value)),
                      c.finite ? std::bit_cast<uint32_t>(c.value) : 0u);
            EXPECT_EQ(std::bit_cast<uint32_t>(NormalOrZero(c.value)),
                      c.normal ? std::bit_cast<uint32_t>(c.value) : 0u);
            for (const int lane : {0, 2})
            {
                EXPECT_EQ(std::bit_cast<uint32_t>(finite[lane]),
                          std::bit_cast<uint32_t>(FiniteOrZero(c.value)));
                EXPECT_EQ(std::bit_cast<uint32_t>(normal[lane]),
                          std::bit_cast<uint32_t>(NormalOrZero(c.value)));
                EXPECT_EQ(std::bit_cast<uint32_t>(both[lane]),
                          c.finite && c.normal ? std::bit_cast<uint32_t>(c.value) : 0u);
            }
            EXPECT_EQ(finite[1], -2.0f);
            EXPECT_EQ(normal[3], 1.0f);
            EXPECT_EQ(both[1], -2.0f);
        }
    }
    EmuSetMxcsr(saved);
}
} // namespace
