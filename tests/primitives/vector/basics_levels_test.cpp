// The arithmetic vector basics at every processor level against a per-element
// single-precision reference: lengths 1 to 40, every 4-byte alignment of each
// buffer, special elements (NaN payloads of both signs, infinities, zeros of
// both signs, subnormals, the largest finite values) and special constants,
// bit for bit, with guard bytes around every buffer.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "vector_test_util.h"

namespace
{
const uint32_t SpecialBits[] = {0x7FC00001u, 0xFFA00002u, 0x7F800000u, 0xFF800000u,
                                0x00000000u, 0x80000000u, 0x00000001u, 0x807FFFFFu,
                                0x7F7FFFFFu, 0xFF7FFFFFu, 0x3F800000u, 0xC0490FDBu};

// Element i of vector `which`: specials at positions that differ between the
// two vectors (so no lane sees two NaNs), ordinary values elsewhere.
float Element(int which, int i)
{
    if ((i + 3 * which) % 5 == 0)
        return std::bit_cast<float>(SpecialBits[(i / 5 + which) % std::size(SpecialBits)]);
    return static_cast<float>((i * 37 + which * 11) % 23 - 11) * 0.173f;
}

struct Routine
{
    const char* name;
    // Runs the routine on (a, b) and returns its status; a is the output.
    DspStatus (*run)(float value, float* a, float* b, int len);
    // The element the routine leaves in a[i].
    float (*expected)(float value, float a, float b);
};

// Shortcuts compare the constant with 1 and 0 as floats (-0.0 counts as 0).
float MulShortcut(float value, float x)
{
    if (value == 1.0f)
        return x;
    if (value == 0.0f)
        return 0.0f;
    return x * value;
}

const Routine Routines[] = {
    {"MulConstInPlace",
     [](float v, float* a, float*, int n) { return DspMulConstInPlace32f(v, a, n); },
     [](float v, float a, float) { return MulShortcut(v, a); }},
    {"MulConst", [](float v, float* a, float* b, int n) { return DspMulConst32f(b, v, a, n); },
     [](float v, float, float b) { return MulShortcut(v, b); }},
    {"DivConstInPlace",
     [](float v, float* a, float*, int n) { return DspDivConstInPlace32f(v, a, n); },
     [](float v, float a, float) { return MulShortcut(1.0f / v, a); }},
    {"AddConstInPlace",
     [](float v, float* a, float*, int n) { return DspAddConstInPlace32f(v, a, n); },
     [](float v, float a, float) { return v == 0.0f ? a : a + v; }},
    {"AddInPlace", [](float, float* a, float* b, int n) { return DspAddInPlace32f(b, a, n); },
     [](float, float a, float b) { return b + a; }},
    {"MulInPlace", [](float, float* a, float* b, int n) { return DspMulInPlace32f(b, a, n); },
     [](float, float a, float b) { return b * a; }},
};

const float Constants[] = {
    0.77f, -1.5f, 3e-39f, 1e30f, -0.0f, 1.0f, 0.0f, std::numeric_limits<float>::infinity(), -7.0f};

TEST(VectorBasicsLevels, ArithmeticMatchesTheElementReferenceAtEveryLevel)
{
    for (const Routine& r : Routines)
        for (int level = 0; level < 4; ++level)
            for (float value : Constants)
            {
                if (value == 0.0f && r.run == Routines[2].run)
                    continue; // division by a zero constant is refused, tested elsewhere
                for (int len = 1; len <= 40; ++len)
                    for (size_t k = 0; k < 16; ++k)
                    {
                        GuardedFloats a(static_cast<size_t>(len), 4 * (k % 4));
                        GuardedFloats b(static_cast<size_t>(len), 4 * (k / 4));
                        for (int i = 0; i < len; ++i)
                        {
                            a[i] = Element(0, i);
                            b[i] = Element(1, i);
                        }
                        {
                            LevelScope scope(level);
                            ASSERT_EQ(0, r.run(value, a.Data(), b.Data(), len));
                        }
                        ASSERT_TRUE(a.GuardsIntact() && b.GuardsIntact());
                        for (int i = 0; i < len; ++i)
                        {
                            ASSERT_EQ(std::bit_cast<uint32_t>(
                                          r.expected(value, Element(0, i), Element(1, i))),
                                      std::bit_cast<uint32_t>(a[i]))
                                << r.name << " level " << level << " value " << value << " len "
                                << len << " k " << k << " i " << i;
                            ASSERT_EQ(std::bit_cast<uint32_t>(Element(1, i)),
                                      std::bit_cast<uint32_t>(b[i]))
                                << r.name;
                        }
                    }
            }
}
} // namespace
