// Single-rate FIR: sizes, state layout, direct form against the definition
// (bit-exact), FFT overlap-save against it within rounding, and streams cut
// into blocks of any length.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "platform/kernel/emu.h"
#include "primitives/filters/DspFirState.h"
#include "tests/primitives/filters/fir_reference.h"

namespace
{
struct Fir
{
    Fir(const std::vector<float>& h, const std::vector<float>* history = nullptr)
    {
        int32_t size = 0;
        EXPECT_EQ(DspFirStateSize32f_Gen(static_cast<int32_t>(h.size()), &size), DspStsNoErr);
        memory.resize(static_cast<size_t>(size));
        EXPECT_EQ(DspFirInit32f_Gen(&state, h.data(), static_cast<int32_t>(h.size()),
                                    history ? history->data() : nullptr, memory.data()),
                  DspStsNoErr);
    }
    std::vector<float> Run(const std::vector<float>& x, const std::vector<int>& blocks)
    {
        std::vector<float> y(x.size(), -123.0f);
        size_t pos = 0;
        size_t b = 0;
        while (pos < x.size())
        {
            const size_t len = std::min(x.size() - pos, static_cast<size_t>(blocks[b]));
            EXPECT_EQ(DspFirFilter32f_Gen(x.data() + pos, y.data() + pos, static_cast<int32_t>(len),
                                          state),
                      DspStsNoErr);
            pos += len;
            b = (b + 1) % blocks.size();
        }
        return y;
    }
    std::vector<uint8_t> memory;
    DspFirState32f* state = nullptr;
};

double MaxDiff(const std::vector<float>& a, const std::vector<float>& b)
{
    double m = 0;
    for (size_t i = 0; i < a.size(); ++i)
    {
        m = std::max(m, static_cast<double>(std::fabs(a[i] - b[i])));
    }
    return m;
}

// Rounding of the FFT path: a few units of 2^-24 of the largest possible
// output, which grows with the tap count.
double FftTolerance(size_t taps)
{
    return 4e-6 * static_cast<double>(taps);
}

constexpr int64_t R16(int64_t x)
{
    return (x + 15) & ~int64_t{15};
}
} // namespace

TEST(FirSingleRate, StateSizes)
{
    int32_t size = 0;
    EXPECT_EQ(DspFirStateSize32f_Gen(5, nullptr), DspStsNullPtrErr);
    EXPECT_EQ(DspFirStateSize32f_Gen(0, &size), DspStsFirLenErr);
    EXPECT_EQ(DspFirStateSize32f_Gen(-3, &size), DspStsFirLenErr);
    EXPECT_EQ(size, 0);
    // Direct form only: fixed part, taps, delay line.
    for (int32_t n : {1, 7, 63})
    {
        ASSERT_EQ(DspFirStateSize32f_Gen(n, &size), DspStsNoErr);
        EXPECT_EQ(size, 16576 + R16(4 * n) + R16(12 * n + 16)) << n;
    }
    // With the FFT: spec, init and work sizes of the real FFT of order o
    // (8 -> 2432/0/0, 10 -> 8960/0/0, 11 -> 17664/2112/0) and two L-float pieces.
    struct
    {
        int32_t n;
        int64_t l, spec, init;
    } cases[] = {{64, 256, 2432, 0}, {300, 1024, 8960, 0}, {512, 2048, 17664, 2112}};
    for (const auto& c : cases)
    {
        ASSERT_EQ(DspFirStateSize32f_Gen(c.n, &size), DspStsNoErr);
        EXPECT_EQ(size, 16576 + R16(4 * c.n) + R16(12 * c.n + 16) + c.spec + c.init + 8 * c.l)
            << c.n;
    }
    // A tap count whose state size would wrap 32 bits is refused.
    EXPECT_EQ(DspFirStateSize32f_Gen(200000000, &size), DspStsFirLenErr);
}

TEST(FirSingleRate, InitChecksAndFields)
{
    const auto h = firref::Signal(70, 1);
    std::vector<uint8_t> memory(200000);
    DspFirState32f* st = nullptr;
    EXPECT_EQ(DspFirInit32f_Gen(nullptr, h.data(), 0, nullptr, memory.data()), DspStsNullPtrErr);
    EXPECT_EQ(DspFirInit32f_Gen(&st, nullptr, 0, nullptr, memory.data()), DspStsNullPtrErr);
    EXPECT_EQ(DspFirInit32f_Gen(&st, h.data(), 0, nullptr, nullptr), DspStsNullPtrErr);
    EXPECT_EQ(DspFirInit32f_Gen(&st, h.data(), 0, nullptr, memory.data()), DspStsFirLenErr);
    EXPECT_EQ(st, nullptr);

    // The state starts at the buffer rounded up to 16 bytes.
    ASSERT_EQ(DspFirInit32f_Gen(&st, h.data(), 1, nullptr, memory.data() + 3), DspStsNoErr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(st) % 16, 0u);
    EXPECT_LT(reinterpret_cast<uint8_t*>(st) - (memory.data() + 3), 16);
    EXPECT_EQ(st->kind, 0x46493031u);
    EXPECT_EQ(st->blockThreshold, 5);
    EXPECT_EQ(st->fftLength, -1);
    EXPECT_EQ(st->fftSpec, nullptr);

    struct
    {
        int32_t n, threshold, fftLength;
    } cases[] = {{3, 5, -1},      {8, 9, -1},       {63, 65, -1},
                 {64, 65, 256},   {127, 129, 256},  {128, 129, 512},
                 {255, 257, 512}, {256, 257, 1024}, {511, 513, 1024}};
    for (const auto& c : cases)
    {
        const auto taps = firref::Signal(static_cast<size_t>(c.n), 2);
        Fir f(taps);
        EXPECT_EQ(f.state->blockThreshold, c.threshold) << c.n;
        EXPECT_EQ(f.state->fftLength, c.fftLength) << c.n;
        EXPECT_EQ(f.state->historyLength, c.n);
        EXPECT_EQ(f.state->tapCount, c.n);
        for (int32_t i = 0; i < c.n; ++i)
        {
            ASSERT_EQ(f.state->taps[i], taps[static_cast<size_t>(c.n - 1 - i)]);
        }
    }
}

TEST(FirSingleRate, OneTapAndInitialHistory)
{
    Fir one({0.5f});
    const std::vector<float> x = {2.0f, -4.0f, 1.0f};
    EXPECT_EQ(one.Run(x, {3}), (std::vector<float>{1.0f, -2.0f, 0.5f}));
    EXPECT_EQ(one.state->delayLine[0], 1.0f);

    // y[0] = h0 x0 + h1 d0 + h2 d1; d2 is kept but takes no part.
    const std::vector<float> h = {1.0f, 10.0f, 100.0f};
    const std::vector<float> history = {2.0f, 3.0f, 1000.0f};
    Fir f(h, &history);
    EXPECT_EQ(f.state->delayLine[0], 1000.0f);
    EXPECT_EQ(f.state->delayLine[2], 2.0f);
    const auto y = f.Run({1.0f, 0.0f, 0.0f}, {3});
    EXPECT_EQ(y[0], 1.0f + 20.0f + 300.0f);
    EXPECT_EQ(y[1], 10.0f + 200.0f);
    EXPECT_EQ(y[2], 100.0f);
}

TEST(FirSingleRate, DirectFormIsExactForAnyBlocking)
{
    for (size_t n : {1u, 2u, 5u, 16u, 40u, 63u})
    {
        const auto h = firref::Signal(n, 10 + n);
        const auto history = firref::Signal(n, 20 + n);
        const auto x = firref::Signal(2000, 30 + n);
        const auto ref = firref::Convolve(h, x, history);
        const int p = static_cast<int>(((n + 3) & ~size_t{3}) + 1);
        for (const std::vector<int>& blocks :
             {std::vector<int>{2000}, {1, 7, 600, 900}, {p, p + 1}, {p - 1, 3}, {511}})
        {
            Fir f(h, &history);
            EXPECT_EQ(f.Run(x, blocks), ref) << n << " " << blocks[0];
        }
    }
}

TEST(FirSingleRate, FftPathAcrossTheBoundaries)
{
    // 63 taps never use the FFT; 64 taps run 511-sample blocks directly and
    // 512-sample blocks by overlap-save (H = 193 new samples per transform).
    const auto x = firref::Signal(4096, 5);
    for (size_t n : {63u, 64u})
    {
        const auto h = firref::Signal(n, 6);
        const auto ref = firref::Convolve(h, x, {});
        Fir direct(h);
        EXPECT_EQ(direct.Run(x, {511}), ref) << n;
        Fir fft(h);
        const auto y = fft.Run(x, {512});
        if (n == 63)
        {
            EXPECT_EQ(y, ref);
        }
        else
        {
            EXPECT_LT(MaxDiff(y, ref), FftTolerance(n));
            EXPECT_GT(MaxDiff(y, ref), 0.0); // it did take the other path
        }
    }
}

TEST(FirSingleRate, FftPathOneTransformAndChunks)
{
    // 300 taps: L = 1024, H = 725. Blocks of 512..725 take one transform,
    // longer ones chunks of H with a zero-padded last chunk, and chunks of a
    // full L read the source directly.
    const size_t n = 300;
    const auto h = firref::Signal(n, 7);
    const auto history = firref::Signal(n, 8);
    const auto x = firref::Signal(9000, 9);
    const auto ref = firref::Convolve(h, x, history);
    for (const std::vector<int>& blocks :
         {std::vector<int>{512}, {725}, {726}, {1024}, {3000}, {9000}, {1, 7, 600, 900}})
    {
        Fir f(h, &history);
        const auto y = f.Run(x, blocks);
        EXPECT_LT(MaxDiff(y, ref), FftTolerance(n)) << blocks[0];
    }
}

TEST(FirSingleRate, LongFilterWithInitBufferInsideTheState)
{
    // 600 taps: L = 2048, an FFT order that needs its initialisation buffer.
    const size_t n = 600;
    const auto h = firref::Signal(n, 11);
    const auto x = firref::Signal(6000, 12);
    const auto ref = firref::Convolve(h, x, {});
    Fir f(h);
    EXPECT_EQ(f.state->fftLength, 2048);
    EXPECT_LT(MaxDiff(f.Run(x, {600, 900, 1, 7, 2500}), ref), FftTolerance(n));
}

TEST(FirSingleRate, FilterChecks)
{
    Fir f({1.0f, 2.0f});
    float in[4] = {1, 2, 3, 4};
    float out[4] = {9, 9, 9, 9};
    f.state->delayIndex = 0;
    EXPECT_EQ(DspFirFilter32f_Gen(in, out, 0, nullptr), DspStsNullPtrErr);
    EXPECT_EQ(DspFirFilter32f_Gen(nullptr, out, 4, f.state), DspStsNullPtrErr);
    EXPECT_EQ(DspFirFilter32f_Gen(in, nullptr, 4, f.state), DspStsNullPtrErr);
    EXPECT_EQ(DspFirFilter32f_Gen(in, out, 0, f.state), DspStsSizeErr);
    EXPECT_EQ(DspFirFilter32f_Gen(in, out, -1, f.state), DspStsSizeErr);
    f.state->kind = 0x46493032;
    EXPECT_EQ(DspFirFilter32f_Gen(in, out, 4, f.state), DspStsContextMatchErr);
    EXPECT_EQ(out[0], 9.0f);
    EXPECT_EQ(f.state->delayLine[1], 0.0f);
}

TEST(FirSingleRate, FftWorkBufferLivesInTheState)
{
    // 4100 taps: L = 16384, an FFT order with a work buffer; filtering must
    // take it from the state and allocate nothing.
    const size_t n = 4100;
    const auto h = firref::Signal(n, 13);
    const auto x = firref::Signal(20000, 14);
    Fir f(h);
    ASSERT_EQ(f.state->fftLength, 16384);
    ASSERT_NE(f.state->fftWork, nullptr);
    EXPECT_EQ(f.state->fftWorkSize, 1056);
    const auto before = EmuPoolAllocationCount();
    const auto y = f.Run(x, {20000});
    EXPECT_EQ(EmuPoolAllocationCount(), before);
    const auto ref = firref::Convolve(h, x, {});
    EXPECT_LT(MaxDiff(y, ref), FftTolerance(n));
}
