// The fixed kernels of real orders 0 to 3 and complex orders 0 to 3 at every
// processor level: against a double-precision DFT, in place, and bit for bit
// against the generic kernels where a level runs the same formulas in the
// same order (all but the level-3 real order-3 kernels, whose rotations are
// dot products); the same bits with the data at 4-byte offsets.
#include <gtest/gtest.h>

#include <vector>

#include "primitives/fft/DspFftComplexIface.h"
#include "primitives/fft/DspFftReal.h"
#include "tests/primitives/fft/fft_variants_util.h"

namespace
{
constexpr float kScale = 0.3f;

// Output of one real kernel: forward (packed out) or inverse (packed in), with
// source and destination `off` floats past a 16-byte boundary.
std::vector<float> RunReal(int level, bool inv, bool scaled, int order, const std::vector<float>& x,
                           bool inPlace, int off = 0)
{
    const DspFftSmallKernelGroup& g = DspFftSmallKernelTable[level];
    fftref::Shifted y(x, off), out(x, off);
    float* dst = inPlace ? y.at : out.at;
    if (scaled)
    {
        (inv ? g.inverseScaled : g.forwardScaled)[order](y.at, dst, kScale);
    }
    else
    {
        (inv ? g.inverse : g.forward)[order](y.at, dst);
    }
    return inPlace ? y.Values() : out.Values();
}

std::vector<float> RunComplex(int level, bool scaled, int order, const std::vector<float>& x,
                              int off = 0)
{
    const DspFftSmallKernelGroupC& g = DspFftSmallKernelTableC[level];
    fftref::Shifted y(x, off);
    scaled ? g.scaled[order](y.at, y.at, kScale) : g.plain[order](y.at, y.at);
    return y.Values();
}
} // namespace

TEST(FftLevelSmallKernels, RealKernelsMatchTheDftAndTheGenericBits)
{
    for (int level = 0; level < 4; ++level)
    {
        for (int order = 0; order <= 3; ++order)
        {
            const size_t n = size_t{1} << order;
            for (bool inv : {false, true})
            {
                for (bool scaled : {false, true})
                {
                    const auto x = fftref::RandomSignal(n, 10 * order + level);
                    const auto y = RunReal(level, inv, scaled, order, x, false);
                    const double s = scaled ? kScale : 1.0;
                    std::vector<fftref::cd> got, want;
                    if (inv)
                    {
                        const auto full = fftref::Dft(fftref::Unpack(x.data(), n), true);
                        for (size_t i = 0; i < n; ++i)
                        {
                            got.emplace_back(y[i], 0.0);
                            want.emplace_back(s * full[i].real(), 0.0);
                        }
                    }
                    else
                    {
                        std::vector<fftref::cd> cx(x.begin(), x.end());
                        got = fftref::Unpack(y.data(), n);
                        want = fftref::Dft(cx, false);
                        for (auto& v : want)
                        {
                            v *= s;
                        }
                    }
                    const char* what = inv ? "inverse" : "forward";
                    EXPECT_LT(fftref::RelativeError(got, want), 4 * fftref::ErrorBound(3))
                        << "level " << level << " order " << order << " " << what;
                    EXPECT_EQ(RunReal(level, inv, scaled, order, x, true), y)
                        << "level " << level << " order " << order << " in place";
                    for (int off : {1, 3})
                    {
                        EXPECT_EQ(RunReal(level, inv, scaled, order, x, false, off), y) << off;
                        EXPECT_EQ(RunReal(level, inv, scaled, order, x, true, off), y) << off;
                    }
                    // Only the level-3 order-3 kernels round their rotations
                    // differently from the generic ones.
                    if (level < 3 || order < 3)
                    {
                        EXPECT_EQ(y, RunReal(0, inv, scaled, order, x, false))
                            << "level " << level << " order " << order << " " << what;
                    }
                }
            }
        }
    }
}

TEST(FftLevelSmallKernels, ComplexKernelsMatchTheDftAndTheGenericBits)
{
    for (int level = 0; level < 4; ++level)
    {
        for (int order = 0; order <= 3; ++order)
        {
            const size_t n = size_t{1} << order;
            for (bool scaled : {false, true})
            {
                const auto x = fftref::RandomSignal(2 * n, 20 + order);
                const auto y = RunComplex(level, scaled, order, x);
                const auto got = fftvar::FromInterleaved(y.data(), n);
                auto want = fftref::Dft(fftvar::FromInterleaved(x.data(), n), false);
                for (auto& v : want)
                {
                    v *= scaled ? kScale : 1.0;
                }
                EXPECT_LT(fftref::RelativeError(got, want), 4 * fftref::ErrorBound(3))
                    << "level " << level << " order " << order;
                EXPECT_EQ(y, RunComplex(0, scaled, order, x))
                    << "level " << level << " order " << order;
                EXPECT_EQ(y, RunComplex(level, scaled, order, x, 1)) << "at a 4-byte offset";
            }
        }
    }
}
