// The IIR filter at every processor level: statuses at each bound, the state
// layout the builders leave, and the output against a double-precision
// difference equation across orders, lengths, chunk boundaries and splits.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "primitives/dsp.h"
#include "primitives/filters/DspIirState.h"

namespace
{
bool LevelAvailable(int32_t level)
{
    static const bool has[4] = {true, __builtin_cpu_supports("sse3") != 0,
                                __builtin_cpu_supports("ssse3") != 0,
                                __builtin_cpu_supports("sse4.1") != 0};
    return has[level];
}

class IirLevels : public testing::TestWithParam<int32_t>
{
  protected:
    void SetUp() override
    {
        if (!LevelAvailable(GetParam()))
            GTEST_SKIP() << "processor lacks level " << GetParam();
        DspCpuLevel = GetParam();
    }
    void TearDown() override { DspCpuLevel = 0; }

    // A state of the current level for b then a (2N + 2 floats).
    DspIirState32f* Build(const std::vector<float>& coeffs, const float* delay = nullptr)
    {
        const int32_t n = static_cast<int32_t>(coeffs.size() / 2) - 1;
        int32_t size = 0;
        EXPECT_EQ(DspIirStateSize32f(n, &size), DspStsNoErr);
        m_Memory.assign(static_cast<size_t>(size) + 64, 0xA5);
        DspIirState32f* st = nullptr;
        EXPECT_EQ(DspIirInit32f(&st, coeffs.data(), n, delay, m_Memory.data() + 3), DspStsNoErr);
        return st;
    }
    std::vector<uint8_t> m_Memory;
};

// y[n] = (sum b_k x[n-k] - sum_{k>=1} a_k y[n-k]) / a0 from rest.
std::vector<double> Reference(const std::vector<float>& c, const std::vector<float>& x)
{
    const size_t n = c.size() / 2 - 1;
    std::vector<double> y(x.size());
    for (size_t i = 0; i < x.size(); ++i)
    {
        double acc = 0;
        for (size_t k = 0; k <= n && k <= i; ++k)
            acc += double(c[k]) * x[i - k];
        for (size_t k = 1; k <= n && k <= i; ++k)
            acc -= double(c[n + 1 + k]) * y[i - k];
        y[i] = acc / c[n + 1];
    }
    return y;
}

// A stable filter of order n: poles at radius 0.5 spread around the circle,
// expanded into a0..aN, with a mixed numerator and a0 = 2.
std::vector<float> Stable(int32_t n)
{
    std::vector<double> a{1.0};
    for (int32_t p = 0; p < n; ++p)
    {
        const double r = 0.5 * std::cos(0.7 * p + 0.3); // real poles inside 0.5
        a.push_back(0.0);
        for (size_t k = a.size() - 1; k > 0; --k)
            a[k] -= r * a[k - 1];
    }
    std::vector<float> c;
    for (int32_t k = 0; k <= n; ++k)
        c.push_back(static_cast<float>(0.25 + 0.1 * ((k * 5) % 7) - 0.3));
    for (double v : a)
        c.push_back(static_cast<float>(2.0 * v));
    return c;
}

std::vector<float> Signal(size_t len)
{
    std::vector<float> x(len);
    for (size_t i = 0; i < len; ++i)
        x[i] = static_cast<float>(std::sin(0.37 * double(i)) + 0.25 * double((i * 7) % 5) - 0.5);
    return x;
}

void ExpectNear(const std::vector<float>& got, const std::vector<double>& want, double tol)
{
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i)
        ASSERT_NEAR(got[i], want[i], tol * (1.0 + std::fabs(want[i]))) << "sample " << i;
}

TEST_P(IirLevels, StatusesAtEachBound)
{
    int32_t size = -1;
    EXPECT_EQ(DspIirStateSize32f(1, nullptr), DspStsNullPtrErr);
    EXPECT_EQ(DspIirStateSize32f(0, &size), DspStsIirOrderErr);
    EXPECT_EQ(DspIirStateSize32f(-1, &size), DspStsIirOrderErr);
    EXPECT_EQ(size, -1);
    const float c[4] = {1, 0, 1, -0.5f};
    uint8_t mem[8192] = {};
    DspIirState32f* st = nullptr;
    EXPECT_EQ(DspIirInit32f(nullptr, c, 1, nullptr, mem), DspStsNullPtrErr);
    EXPECT_EQ(DspIirInit32f(&st, nullptr, 1, nullptr, mem), DspStsNullPtrErr);
    EXPECT_EQ(DspIirInit32f(&st, c, 1, nullptr, nullptr), DspStsNullPtrErr);
    EXPECT_EQ(DspIirInit32f(&st, nullptr, 0, nullptr, mem), DspStsNullPtrErr);
    EXPECT_EQ(DspIirInit32f(&st, c, 0, nullptr, mem), DspStsIirOrderErr);
    const float zeroA0[4] = {1, 0, 0, 1};
    EXPECT_EQ(DspIirInit32f(&st, zeroA0, 1, nullptr, mem), DspStsDivByZeroErr);
    EXPECT_EQ(st, nullptr);
    ASSERT_EQ(DspIirInit32f(&st, c, 1, nullptr, mem), DspStsNoErr);
    float x[2] = {1, 2};
    EXPECT_EQ(DspIirFilterInPlace32f(x, 1, nullptr), DspStsNullPtrErr);
    EXPECT_EQ(DspIirFilterInPlace32f(nullptr, 1, st), DspStsNullPtrErr);
    EXPECT_EQ(DspIirFilterInPlace32f(x, 0, st), DspStsSizeErr);
    st->kind = 0x46493031; // "FI01"
    EXPECT_EQ(DspIirFilterInPlace32f(x, 2, st), DspStsContextMatchErr);
    EXPECT_EQ(x[0], 1.0f);
    EXPECT_EQ(x[1], 2.0f);
}

TEST_P(IirLevels, StateSizesAndLayout)
{
    const bool tables = GetParam() > 0;
    const struct
    {
        int32_t n, gen, level;
    } rows[] = {{1, 144, 32 + 4 * (8 + 16 + 1024) + 152},
                {4, 192, 48 + 32 + 4 * (32 + 16 + 1024) + 152}};
    for (const auto& r : rows)
    {
        int32_t size = 0;
        ASSERT_EQ(DspIirStateSize32f(r.n, &size), DspStsNoErr);
        EXPECT_EQ(size, tables ? r.level : r.gen) << r.n;
    }
    const float delay[3] = {0.5f, -1.0f, 2.0f};
    DspIirState32f* st = Build({1, 2, 3, 4, 2, 1, 0.5f, 0.25f}, delay);
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(st) % 16, 0u);
    EXPECT_EQ(st->kind, 0x49493031u);
    EXPECT_EQ(st->order, 3);
    EXPECT_EQ(st->sectionCount, 0);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(st->taps), reinterpret_cast<uint8_t*>(st) + 96);
    EXPECT_EQ(std::vector<float>(st->taps, st->taps + 7),
              (std::vector<float>{0.5f, 1, 1.5f, 2, 0.5f, 0.25f, 0.125f}));
    EXPECT_EQ(std::vector<float>(st->delay, st->delay + 4), (std::vector<float>{0.5f, -1, 2, 0}));
    EXPECT_EQ(st->numTable != nullptr, tables);
    EXPECT_EQ(st->work2, nullptr);
}

TEST_P(IirLevels, NanA0MakesEveryTapNan)
{
    DspIirState32f* st = Build({1, 1, NAN, 1});
    ASSERT_NE(st, nullptr);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(std::isnan(st->taps[i]));
}

TEST_P(IirLevels, FirstOrderImpulseHalves)
{
    DspIirState32f* st = Build({1, 0, 1, -0.5f});
    std::vector<float> x(40, 0.0f);
    x[0] = 1;
    ASSERT_EQ(DspIirFilterInPlace32f(x.data(), 40, st), DspStsNoErr);
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(x[static_cast<size_t>(i)], std::ldexp(1.0f, -i));
}

// Every order 1..9 and every length 1..40 (per-sample and block paths on both
// sides of 4N), then across the 1024-sample chunk boundary.
TEST_P(IirLevels, MatchesTheDifferenceEquation)
{
    for (int32_t n = 1; n <= 9; ++n)
    {
        const std::vector<float> c = Stable(n);
        std::vector<size_t> lengths;
        for (size_t len = 1; len <= 40; ++len)
            lengths.push_back(len);
        for (size_t len : {1023u, 1024u, 1025u, 2500u})
            lengths.push_back(len);
        for (size_t len : lengths)
        {
            DspIirState32f* st = Build(c);
            std::vector<float> x = Signal(len);
            const std::vector<double> want = Reference(c, x);
            ASSERT_EQ(DspIirFilterInPlace32f(x.data(), static_cast<int32_t>(len), st), DspStsNoErr);
            ExpectNear(x, want, 2e-5);
        }
    }
}

// Splitting the signal into blocks continues the recursion without a seam.
TEST_P(IirLevels, SplitsContinueTheRecursion)
{
    const std::vector<float> c = Stable(4);
    const std::vector<float> x = Signal(1000);
    const std::vector<double> want = Reference(c, x);
    const std::vector<std::vector<int32_t>> splits = {
        {1000}, {1, 7, 992}, {17, 16, 17, 950}, {3, 997}};
    for (const auto& split : splits)
    {
        DspIirState32f* st = Build(c);
        std::vector<float> y = x;
        int32_t at = 0;
        for (int32_t part : split)
        {
            ASSERT_EQ(DspIirFilterInPlace32f(y.data() + at, part, st), DspStsNoErr);
            at += part;
        }
        ExpectNear(y, want, 2e-5);
    }
}

// An "II02" cascade laid out by hand (no routine builds one): two sections
// equal the product filter.
TEST_P(IirLevels, BiquadCascadeMatchesTheProduct)
{
    const float sec[2][5] = {{0.5f, 0.25f, -0.125f, -0.4f, 0.1f}, {1.0f, -0.5f, 0.3f, 0.2f, 0.05f}};
    alignas(16) float taps[10], delay[4] = {}, records[16] = {}, num[24], rec[40], work[1024];
    for (int s = 0; s < 2; ++s)
    {
        std::memcpy(taps + 5 * s, sec[s], sizeof(sec[s]));
        const float r[8] = {sec[s][0], sec[s][1], sec[s][2], 0, -sec[s][3], -sec[s][4], 0, 0};
        std::memcpy(records + 8 * s, r, sizeof(r));
        for (int j = 0; j < 12; ++j)
            num[12 * s + j] = sec[s][j / 4];
        DspIirRecursionTable(sec[s] + 3, -1.0f, 2, rec + 20 * s);
    }
    DspIirState32f st{};
    st.kind = DspIirKindBiquad;
    st.taps = taps;
    st.delay = delay;
    st.order = 4;
    st.sectionCount = 2;
    st.sectionTable = records;
    st.numTable = num;
    st.recTable = rec;
    st.work = work;
    // b = conv(b1, b2), a = conv(a1, a2) with a0 = 1.
    std::vector<float> c(10, 0.0f);
    const float a[2][3] = {{1, sec[0][3], sec[0][4]}, {1, sec[1][3], sec[1][4]}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
        {
            c[static_cast<size_t>(i + j)] += sec[0][i] * sec[1][j];
            c[static_cast<size_t>(5 + i + j)] += a[0][i] * a[1][j];
        }
    const std::vector<float> x = Signal(1100);
    const std::vector<double> want = Reference(c, x);
    std::vector<float> y = x;
    int32_t at = 0;
    for (int32_t part : {1, 8, 9, 1082})
    {
        ASSERT_EQ(DspIirFilterInPlace32f(y.data() + at, part, &st), DspStsNoErr);
        at += part;
    }
    ExpectNear(y, want, 2e-5);
}

// The block kernels of each level by themselves: the numerator part against a
// double sum, and the recursion (counts 1 to 12, so every remainder of four,
// the count of 3 running one at a time) against the plain recursion.
using KernelAFn = void (*)(const float*, float*, int32_t, const float*, int32_t);
using KernelBFn = void (*)(const float*, float*, int32_t, const float*, int32_t);
TEST(IirBlockKernels, NumeratorAndRecursionAtEveryLevel)
{
    const struct
    {
        const char* feature;
        KernelAFn a;
        KernelBFn b;
    } levels[] = {{"sse3", DspIirBlockKernelA_Sse3, DspIirBlockKernelB_Sse3},
                  {"ssse3", DspIirBlockKernelA_Ssse3, DspIirBlockKernelB_Ssse3},
                  {"sse4.1", DspIirBlockKernelA_Sse4, DspIirBlockKernelB_Sse4}};
    const int32_t n = 3;
    const float b[4] = {0.5f, -0.25f, 0.125f, 1.0f}, fb[3] = {-0.3f, 0.2f, -0.1f};
    alignas(16) float num[16], rec[24];
    for (int k = 0; k < 16; ++k)
        num[k] = b[k / 4];
    DspIirRecursionTable(fb, -1.0f, n, rec);
    const std::vector<float> x = Signal(40);
    for (int32_t l = 0; l < 3; ++l)
        for (int32_t count = 1; count <= 12 && LevelAvailable(l + 1); ++count)
        {
            const auto& level = levels[l];
            std::vector<float> w(static_cast<size_t>(count)), y(x.begin(), x.begin() + n + count);
            level.a(x.data(), w.data(), count, num, n);
            level.b(w.data(), y.data(), count, rec, n);
            std::vector<double> ref(x.begin(), x.begin() + n);
            for (int32_t i = 0; i < count; ++i)
            {
                double wi = 0;
                for (int32_t k = 0; k <= n; ++k)
                    wi += double(b[k]) * x[static_cast<size_t>(i + n - k)];
                ASSERT_NEAR(w[size_t(i)], wi, 1e-6) << level.feature << " " << count;
                double yi = wi;
                for (int32_t k = 1; k <= n; ++k)
                    yi -= double(fb[k - 1]) * ref[static_cast<size_t>(n + i - k)];
                ref.push_back(yi);
                ASSERT_NEAR(y[size_t(n + i)], yi, 1e-5) << level.feature << " " << count;
            }
        }
}

INSTANTIATE_TEST_SUITE_P(Levels, IirLevels, testing::Values(0, 1, 2, 3));
} // namespace
