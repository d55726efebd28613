// The one-sample FIR block: every output bit for bit what one call of the
// level-0 one-sample FIR gives over the same window, whatever the spacing of
// the windows, the tap count and the special values in the samples; the
// four-stream entry the same for every stream.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "primitives/filters/DspFirOneBlock.h"
#include "primitives/filters/DspFirState.h"
#include "tests/primitives/filters/fir_reference.h"

namespace
{
// The level-0 entry over the window x[start .. start + n - 1]: the history in
// a doubled delay line, the newest sample passed in.
float OneCall(const float* window, const float* taps, int32_t n)
{
    std::vector<float> delay(static_cast<size_t>(2 * n), 0.0f);
    for (int32_t k = 0; k + 1 < n; ++k)
    {
        delay[static_cast<size_t>(1 + k)] = delay[static_cast<size_t>(n + 1 + k)] = window[k];
    }
    int32_t index = 0;
    float y = 0.0f;
    EXPECT_EQ(DspFirOneSample32f_Gen(window[n - 1], &y, taps, n, delay.data(), &index),
              DspStsNoErr);
    return y;
}
} // namespace

TEST(FirOneBlock, EachOutputIsOneLevelZeroCall)
{
    const float inf = std::numeric_limits<float>::infinity();
    // Steps between neighbouring windows, repeated: one apart with a repeat
    // (going up), one apart with a skip (going down), further apart and none.
    const std::vector<std::vector<int32_t>> spacings = {
        {1}, {1, 1, 0, 1, 1, 1, 1}, {1, 2, 1, 1, 1}, {3}, {0}, {2, 0, 1}};
    for (const int32_t n : {1, 3, 4, 5, 20, 24})
    {
        for (const auto& steps : spacings)
        {
            for (const int32_t count : {1, 3, 4, 7, 64})
            {
                std::vector<int32_t> starts(1, 2);
                for (int32_t j = 1; j < count; ++j)
                {
                    starts.push_back(starts.back() + steps[static_cast<size_t>(j) % steps.size()]);
                }
                const int32_t length = starts.back() + n + (count % 2);
                auto x = firref::Signal(static_cast<size_t>(length), static_cast<uint32_t>(n));
                const float specials[] = {std::nanf(""), inf, -inf, 1e-40f, -0.0f, 3e38f};
                for (size_t s = 0; s < 6 && 11 * s + 5 < x.size(); ++s)
                {
                    x[11 * s + 5] = specials[s];
                }
                std::vector<std::vector<float>> bank;
                std::vector<const float*> rows;
                for (uint32_t r = 0; r < 5; ++r)
                {
                    bank.push_back(firref::Signal(static_cast<size_t>(n), 100u + r));
                }
                std::vector<float> expected;
                for (int32_t j = 0; j < count; ++j)
                {
                    rows.push_back(bank[static_cast<size_t>(j % 5)].data());
                    expected.push_back(
                        OneCall(x.data() + starts[static_cast<size_t>(j)], rows.back(), n));
                }
                std::vector<float> y(static_cast<size_t>(count) + 1, -7.0f);
                ASSERT_EQ(DspFirOneSampleBlock32f(x.data(), length, starts.data(), rows.data(), n,
                                                  y.data(), count),
                          DspStsNoErr);
                ASSERT_EQ(memcmp(y.data(), expected.data(), expected.size() * sizeof(float)), 0)
                    << "n " << n << " count " << count;
                EXPECT_EQ(y[static_cast<size_t>(count)], -7.0f) << "nothing past the outputs";
                // Four streams side by side: stream q is the samples scaled
                // by q + 1 with its own specials, the others' frames between.
                std::vector<float> x4(4 * x.size());
                std::vector<std::vector<float>> y4(4, std::vector<float>(y.size(), -7.0f));
                for (size_t i = 0; i < 4 * x.size(); ++i)
                {
                    x4[i] = x[i / 4] * static_cast<float>(i % 4 + 1);
                }
                x4[(4 * 7 + 2) % x4.size()] = -std::numeric_limits<float>::infinity();
                float* dst[4] = {y4[0].data(), y4[1].data(), y4[2].data(), y4[3].data()};
                ASSERT_EQ(DspFirOneSampleQuad32f(x4.data(), length, starts.data(), rows.data(), n,
                                                 dst, count),
                          DspStsNoErr);
                for (size_t q = 0; q < 4; ++q)
                {
                    std::vector<float> stream(x.size());
                    for (size_t i = 0; i < x.size(); ++i)
                    {
                        stream[i] = x4[4 * i + q];
                    }
                    for (int32_t j = 0; j < count; ++j)
                    {
                        const float want = OneCall(stream.data() + starts[static_cast<size_t>(j)],
                                                   rows[static_cast<size_t>(j)], n);
                        ASSERT_EQ(memcmp(&y4[q][static_cast<size_t>(j)], &want, sizeof(float)), 0)
                            << "stream " << q << " output " << j << " n " << n;
                    }
                    EXPECT_EQ(y4[q][static_cast<size_t>(count)], -7.0f);
                }
            }
        }
    }
}

TEST(FirOneBlock, ChecksItsArgumentsAndWritesNothingOnFailure)
{
    const auto x = firref::Signal(10, 1);
    const auto h = firref::Signal(4, 2);
    const float* rows[2] = {h.data(), h.data()};
    const float* nullRows[2] = {h.data(), nullptr};
    const int32_t starts[2] = {0, 6};
    const int32_t past[2] = {0, 7};
    const int32_t before[2] = {-1, 0};
    float y[2] = {5.0f, 5.0f};
    struct
    {
        const float* X;
        const int32_t* Starts;
        const float* const* Rows;
        float* Dst;
        int32_t N, Count;
        DspStatus Status;
    } const cases[] = {
        {nullptr, starts, rows, y, 4, 2, DspStsNullPtrErr},
        {x.data(), nullptr, rows, y, 4, 2, DspStsNullPtrErr},
        {x.data(), starts, nullptr, y, 4, 2, DspStsNullPtrErr},
        {x.data(), starts, rows, nullptr, 4, 2, DspStsNullPtrErr},
        {x.data(), starts, nullRows, y, 4, 2, DspStsNullPtrErr},
        {x.data(), starts, rows, y, 0, 2, DspStsFirLenErr},
        {x.data(), starts, rows, y, 4, 0, DspStsSizeErr},
        {x.data(), past, rows, y, 4, 2, DspStsSizeErr},
        {x.data(), before, rows, y, 4, 2, DspStsSizeErr},
        {x.data(), starts, rows, y, 4, 2, DspStsNoErr},
    };
    // The four-stream entry makes the same checks over frames of four, and
    // refuses any null stream output.
    std::vector<float> x4(40, 1.0f);
    float others[3][2];
    for (const auto& c : cases)
    {
        for (int stream = -1; stream < 4; ++stream)
        {
            y[0] = y[1] = 5.0f;
            float* dst[4] = {c.Dst, others[0], others[1], others[2]};
            if (stream >= 1)
            {
                dst[stream] = nullptr;
            }
            const DspStatus status =
                stream < 0 ? DspFirOneSampleBlock32f(c.X, 10, c.Starts, c.Rows, c.N, c.Dst, c.Count)
                           : DspFirOneSampleQuad32f(c.X == nullptr ? nullptr : x4.data(), 10,
                                                    c.Starts, c.Rows, c.N,
                                                    c.Dst == nullptr ? nullptr : dst, c.Count);
            const bool nullStream = stream >= 1 && c.Dst != nullptr;
            EXPECT_EQ(status, nullStream ? DspStsNullPtrErr : c.Status) << "stream " << stream;
            if (status != DspStsNoErr)
            {
                EXPECT_EQ(y[0], 5.0f);
                EXPECT_EQ(y[1], 5.0f);
            }
        }
    }
}
