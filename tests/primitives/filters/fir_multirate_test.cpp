// Multirate FIR: kind choice, derived quantities, sizes, the three internal
// kinds against the upsample-filter-downsample definition (bit-exact), calls
// of any length, phases and initial history.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "primitives/filters/DspFirState.h"
#include "tests/primitives/filters/fir_reference.h"

namespace
{
struct Mr
{
    Mr(const std::vector<float>& h, int32_t up, int32_t upPhase, int32_t down, int32_t downPhase,
       const std::vector<float>* history = nullptr)
        : u(up), d(down)
    {
        const auto n = static_cast<int32_t>(h.size());
        int32_t size = 0;
        EXPECT_EQ(DspFirMultirateStateSize32f_Gen(n, up, down, &size), DspStsNoErr);
        memory.assign(static_cast<size_t>(size), 0xEE);
        EXPECT_EQ(DspFirMultirateInit32f_Gen(&state, h.data(), n, up, upPhase, down, downPhase,
                                             history ? history->data() : nullptr, memory.data()),
                  DspStsNoErr);
    }
    // Runs the input in calls of the given block counts (in blocks of D inputs).
    std::vector<float> Run(const std::vector<float>& x, const std::vector<int>& calls)
    {
        const size_t blocks = x.size() / static_cast<size_t>(d);
        std::vector<float> y(blocks * static_cast<size_t>(u), -123.0f);
        size_t done = 0;
        size_t c = 0;
        while (done < blocks)
        {
            const size_t len = std::min(blocks - done, static_cast<size_t>(calls[c]));
            // Exact-size copy of the call's input so that reads past it are caught.
            std::vector<float> in(x.begin() + static_cast<long>(done * d),
                                  x.begin() + static_cast<long>((done + len) * d));
            EXPECT_EQ(DspFirFilter32f_Gen(in.data(), y.data() + done * u, static_cast<int32_t>(len),
                                          state),
                      DspStsNoErr);
            done += len;
            c = (c + 1) % calls.size();
        }
        return y;
    }
    std::vector<uint8_t> memory;
    DspFirState32f* state = nullptr;
    int32_t u, d;
};

constexpr int64_t R16(int64_t x)
{
    return (x + 15) & ~int64_t{15};
}
} // namespace

TEST(FirMultirate, DerivedQuantitiesOfTheConverterStages)
{
    struct
    {
        int32_t n, u, d, tpp, q, v, l1;
    } cases[] = {{66, 2, 1, 33, 35, 72, 40},
                 {66, 1, 2, 66, 72, 36, 87},
                 {132, 4, 1, 33, 34, 144, 40},
                 {132, 1, 4, 132, 144, 36, 173}};
    for (const auto& c : cases)
    {
        Mr f(firref::Signal(static_cast<size_t>(c.n), 1), c.u, 0, c.d, 0);
        EXPECT_EQ(f.state->kind, 0x46493033u);
        EXPECT_EQ(f.state->multirateKind, 1) << c.n << c.u << c.d;
        EXPECT_EQ(f.state->historyLength, c.tpp);
        EXPECT_EQ(f.state->tapsPerGroup, c.q);
        EXPECT_EQ(f.state->bufferedOutputs, c.v);
        EXPECT_EQ(f.state->blockThreshold, c.l1);
        EXPECT_EQ(f.state->fftLength, -1);
    }
    // Kind 1 size: record, taps, 16M coefficient bytes, U + 1 index entries,
    // scratch, delay line.
    int32_t size = 0;
    ASSERT_EQ(DspFirMultirateStateSize32f_Gen(66, 2, 1, &size), DspStsNoErr);
    EXPECT_EQ(size, 176 + R16(264) + 16 * 70 + R16(12) + 4 * 4096 + R16(4 * (33 + 40) + 4));
    // Kind 3 (n = 2, U = 3, D = 2: r = 0.25): tpp 1, M 9, V 3 raised in three
    // steps to 12, L1 = 8 + 1 + 3 * 2 = 15, 4U + 1 index entries.
    ASSERT_EQ(DspFirMultirateStateSize32f_Gen(2, 3, 2, &size), DspStsNoErr);
    EXPECT_EQ(size, 176 + R16(8) + 16 * 9 + R16(52) + 4 * 4096 + R16(4 * (1 + 15) + 4));
}

TEST(FirMultirate, KindChoice)
{
    struct
    {
        int32_t n, u, d, kind;
    } cases[] = {
        {6, 1, 2, 2},  // r = 0.5 exactly: not above
        {7, 1, 2, 1},  // r = 7/13
        {9, 2, 7, 1},  // r = 0.3 in single precision is above the double 0.3
        {2, 3, 2, 3},  // r = 0.25
        {10, 2, 3, 1}, // r = 10/19
        {3, 5, 4, 3},  // r = 0.2, fewer taps than U
        {1, 1, 9, 2},
    };
    for (const auto& c : cases)
    {
        Mr f(firref::Signal(static_cast<size_t>(c.n), 2), c.u, 0, c.d, 0);
        EXPECT_EQ(f.state->multirateKind, c.kind) << c.n << " " << c.u << " " << c.d;
    }
    // Factors 1 and 1 build a single-rate state of the same size.
    Mr single(firref::Signal(5, 3), 1, 0, 1, 0);
    EXPECT_EQ(single.state->kind, 0x46493031u);
    int32_t a = 0, b = 0;
    ASSERT_EQ(DspFirMultirateStateSize32f_Gen(100, 1, 1, &a), DspStsNoErr);
    ASSERT_EQ(DspFirStateSize32f_Gen(100, &b), DspStsNoErr);
    EXPECT_EQ(a, b);
}

TEST(FirMultirate, ConverterStagesMatchDefinitionForAnyCalls)
{
    struct
    {
        int32_t n, u, d;
    } cases[] = {{66, 2, 1}, {66, 1, 2}, {132, 4, 1}, {132, 1, 4}};
    for (const auto& c : cases)
    {
        const auto h = firref::Signal(static_cast<size_t>(c.n), 10);
        const auto x = firref::Signal(static_cast<size_t>(1200 * c.d), 11);
        const auto ref = firref::Multirate(h, x, c.u, 0, c.d, 0, {});
        for (const std::vector<int>& calls : {std::vector<int>{1200},
                                              {5},
                                              {10},
                                              {40},
                                              {41},
                                              {20, 21},
                                              {43, 44},
                                              {1, 7, 600, 900},
                                              {3, 171, 2}})
        {
            Mr f(h, c.u, 0, c.d, 0);
            ASSERT_EQ(f.Run(x, calls), ref) << c.n << " " << c.u << " " << c.d << " " << calls[0];
        }
    }
}

TEST(FirMultirate, AllKindsPhasesAndHistoryMatchDefinition)
{
    uint32_t seed = 1;
    int kinds[4] = {0, 0, 0, 0};
    for (int32_t u = 1; u <= 6; ++u)
    {
        for (int32_t d = 1; d <= 6; ++d)
        {
            if (u == 1 && d == 1)
            {
                continue;
            }
            for (int32_t n : {1, 2, 5, 9, 23, 40})
            {
                ++seed;
                const int32_t pu = static_cast<int32_t>(seed % static_cast<uint32_t>(u));
                const int32_t pd = static_cast<int32_t>((seed / 7) % static_cast<uint32_t>(d));
                const auto h = firref::Signal(static_cast<size_t>(n), seed);
                const size_t tpp = static_cast<size_t>((n + u - 1) / u);
                const auto history = firref::Signal(tpp, seed + 1000);
                const auto x = firref::Signal(static_cast<size_t>(300 * d), seed + 2000);
                const auto ref = firref::Multirate(h, x, u, pu, d, pd, history);
                Mr f(h, u, pu, d, pd, &history);
                ++kinds[f.state->multirateKind];
                const auto y = f.Run(x, {1, 7, 13, 64, 2, 100, 3});
                ASSERT_EQ(y, ref) << "n " << n << " U " << u << " pu " << pu << " D " << d << " pd "
                                  << pd << " kind " << f.state->multirateKind;
            }
        }
    }
    EXPECT_GT(kinds[1], 0);
    EXPECT_GT(kinds[2], 0);
    EXPECT_GT(kinds[3], 0);
}

TEST(FirMultirate, HistoryAndPhasesByHand)
{
    // U = 2, phases 0: y[0] = h0 x0 + h2 x[-1] + h4 x[-2].
    const std::vector<float> h = {1, 2, 4, 8, 16};
    const std::vector<float> history = {100, 1000, 10000};
    Mr f(h, 2, 0, 1, 0, &history);
    const auto y = f.Run({3, 0, 0}, {3});
    EXPECT_EQ(y[0], 1 * 3 + 4 * 100 + 16 * 1000);
    EXPECT_EQ(y[1], 2 * 3 + 8 * 100);

    // U = 3: up phase 1 delays the input by one upsampled position.
    const std::vector<float> g = {1, 2, 3, 4, 5, 6};
    const std::vector<float> x = {1, 0, 0, 0};
    Mr p0(g, 3, 0, 1, 0);
    Mr p1(g, 3, 1, 1, 0);
    const auto y0 = p0.Run(x, {4});
    const auto y1 = p1.Run(x, {4});
    EXPECT_EQ(y1[0], 0.0f);
    for (size_t i = 1; i < y0.size(); ++i)
    {
        EXPECT_EQ(y1[i], y0[i - 1]) << i;
    }

    // D = 2 with down phase 1 keeps the odd positions of the filtered stream.
    const auto s = firref::Signal(64, 9);
    Mr full(g, 1, 0, 1, 0);
    const auto all = full.Run(s, {64});
    Mr odd(g, 1, 0, 2, 1);
    const auto kept = odd.Run(s, {32});
    for (size_t i = 0; i < kept.size(); ++i)
    {
        EXPECT_EQ(kept[i], all[2 * i + 1]) << i;
    }
}

TEST(FirMultirate, NoReadsPastTheDelayLine)
{
    // NaN in the builder's scratch area right behind the delay line: a group
    // sum reading past the line's room would turn an output into NaN.
    for (auto [n, u, d] : {std::tuple{66, 2, 1}, {66, 1, 2}, {5, 3, 2}, {6, 1, 2}})
    {
        const auto h = firref::Signal(static_cast<size_t>(n), 4);
        Mr f(h, u, 0, d, 0);
        const DspFirState32f* st = f.state;
        float* end = st->delayLine + st->historyLength + st->blockThreshold + 1;
        float* memEnd = reinterpret_cast<float*>(f.memory.data() + f.memory.size()) - 1;
        for (float* p = end; p < memEnd; ++p)
        {
            *p = std::numeric_limits<float>::quiet_NaN();
        }
        const auto x = firref::Signal(static_cast<size_t>(500 * d), 5);
        const auto y = f.Run(x, {1, 5, 40, 41, 3, 100});
        for (float v : y)
        {
            ASSERT_FALSE(std::isnan(v));
        }
        EXPECT_EQ(y, firref::Multirate(h, x, u, 0, d, 0, {}));
    }
}

TEST(FirMultirate, ChecksInOrder)
{
    const auto h = firref::Signal(8, 1);
    std::vector<uint8_t> memory(40000);
    DspFirState32f* st = nullptr;
    int32_t size = 0;
    EXPECT_EQ(DspFirMultirateStateSize32f_Gen(0, 0, 0, nullptr), DspStsNullPtrErr);
    EXPECT_EQ(DspFirMultirateStateSize32f_Gen(0, 0, 0, &size), DspStsFirLenErr);
    EXPECT_EQ(DspFirMultirateStateSize32f_Gen(8, 0, 2, &size), DspStsFirMrFactorErr);
    EXPECT_EQ(DspFirMultirateStateSize32f_Gen(8, 2, 0, &size), DspStsFirMrFactorErr);
    EXPECT_EQ(DspFirMultirateStateSize32f_Gen(100000000, 1000, 1000, &size), DspStsFirLenErr);
    EXPECT_EQ(size, 0);

    EXPECT_EQ(DspFirMultirateInit32f_Gen(nullptr, h.data(), 0, 0, 5, 0, 5, nullptr, memory.data()),
              DspStsNullPtrErr);
    EXPECT_EQ(DspFirMultirateInit32f_Gen(&st, nullptr, 8, 2, 0, 1, 0, nullptr, memory.data()),
              DspStsNullPtrErr);
    EXPECT_EQ(DspFirMultirateInit32f_Gen(&st, h.data(), 8, 2, 0, 1, 0, nullptr, nullptr),
              DspStsNullPtrErr);
    EXPECT_EQ(DspFirMultirateInit32f_Gen(&st, h.data(), 0, 0, 5, 1, 0, nullptr, memory.data()),
              DspStsFirLenErr);
    EXPECT_EQ(DspFirMultirateInit32f_Gen(&st, h.data(), 8, 0, 5, 1, 0, nullptr, memory.data()),
              DspStsFirMrFactorErr);
    EXPECT_EQ(DspFirMultirateInit32f_Gen(&st, h.data(), 8, 2, 2, 1, 0, nullptr, memory.data()),
              DspStsFirMrPhaseErr);
    EXPECT_EQ(DspFirMultirateInit32f_Gen(&st, h.data(), 8, 2, -1, 1, 0, nullptr, memory.data()),
              DspStsFirMrPhaseErr);
    EXPECT_EQ(DspFirMultirateInit32f_Gen(&st, h.data(), 8, 2, 0, 3, 3, nullptr, memory.data()),
              DspStsFirMrPhaseErr);
    EXPECT_EQ(st, nullptr);

    ASSERT_EQ(DspFirMultirateInit32f_Gen(&st, h.data(), 8, 2, 1, 3, 2, nullptr, memory.data()),
              DspStsNoErr);
    float in[6] = {};
    float out[4] = {7, 7, 7, 7};
    for (int32_t kind : {0, 4})
    {
        st->multirateKind = kind;
        EXPECT_EQ(DspFirFilter32f_Gen(in, out, 2, st), DspStsContextMatchErr);
    }
    EXPECT_EQ(out[0], 7.0f);
}

TEST(FirMultirate, StaleSamplesBehindAShortCallDoNotLeak)
{
    // An infinite sample leaves the history after tpp inputs; the group sums
    // of later short calls must not meet it again through zero coefficients.
    for (auto [n, u, d] : {std::tuple{66, 2, 1}, {66, 1, 2}, {5, 3, 2}, {2, 3, 2}})
    {
        const auto h = firref::Signal(static_cast<size_t>(n), 4);
        Mr f(h, u, 0, d, 0);
        const int32_t l1 = f.state->blockThreshold;
        std::vector<float> burst(static_cast<size_t>(l1 / d * d),
                                 std::numeric_limits<float>::infinity());
        f.Run(burst, {l1 / d});
        // Flush the history with finite samples in short calls of whole cycles.
        const auto x = firref::Signal(static_cast<size_t>(400 * d), 6);
        const auto y = f.Run(x, {4, 5, 8});
        const size_t settled = static_cast<size_t>(n + 4 * u * d);
        for (size_t i = settled; i < y.size(); ++i)
        {
            ASSERT_TRUE(std::isfinite(y[i])) << n << " " << u << " " << d << " at " << i;
        }
    }
}

TEST(FirMultirate, DecimatorGroupsMeetTheirWholeUnionWindowAtEveryCallLength)
{
    // Kind 1 going down: output 4g + q adds, from 0 and oldest first, the
    // products of every sample in its group's window of Q rows, zero taps
    // included (an infinite sample there makes it NaN), stopping at the
    // call's last sample. One fresh call of every length up to past the
    // groups that run side by side at each end of a call.
    const float inf = std::numeric_limits<float>::infinity();
    for (auto [n, d] : {std::pair{66, 2}, {132, 4}})
    {
        const auto h = firref::Signal(static_cast<size_t>(n), 8);
        for (int32_t len = 1; len <= 130; ++len)
        {
            auto x = firref::Signal(static_cast<size_t>(len * d), static_cast<uint32_t>(len));
            const float specials[] = {inf, std::nanf(""), -inf, 1e-40f, -0.0f};
            for (size_t s = 0; 37 * s + 11 < x.size() && s < 5; ++s)
            {
                x[37 * s + 11] = specials[s];
            }
            Mr f(h, 1, 0, d, 0);
            const auto y = f.Run(x, {len});
            const int32_t rows = f.state->tapsPerGroup;
            for (int32_t m = 0; m < len; ++m)
            {
                float acc = 0.0f;
                for (int32_t t = 0; t < rows; ++t)
                {
                    const int32_t j = 4 * d * (m / 4) + t - (n - 1);
                    const int32_t k = (m % 4) * d + n - 1 - t;
                    if (j >= len * d)
                    {
                        break;
                    }
                    const float s = j < 0 ? 0.0f : x[static_cast<size_t>(j)];
                    acc += s * (k >= 0 && k < n ? h[static_cast<size_t>(k)] : 0.0f);
                }
                const float got = y[static_cast<size_t>(m)];
                ASSERT_TRUE(std::isnan(acc) ? std::isnan(got) : memcmp(&acc, &got, 4) == 0)
                    << "n " << n << " len " << len << " output " << m << ": " << got << " " << acc;
            }
        }
    }
}
