// Real FFT forward and inverse at orders 6 to 16 (the effects run order 10 on
// the real-time path) and the complex engine at the same orders, beside FFTW
// (planned with and without its SIMD codelets) and KissFFT when installed.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "bench/fft_bench_common.h"
#include "primitives/fft/DspFftComplex.h"
#include "primitives/fft/DspFftReal.h"
#include "primitives/fft/DspFftSpec.h"

#ifdef LT_HAVE_FFTW
#include <fftw3.h>
#endif
#ifdef LT_HAVE_KISSFFT
#include <kissfft/kiss_fftr.h>
#endif

namespace
{
// The generic level's record.
struct Record : FftBenchRecord
{
    explicit Record(int order)
        : FftBenchRecord(DspFftSpecSizeR32f_Gen, DspFftSpecInitR32f_Gen, order)
    {
    }
};

void BM_FftRealForward(benchmark::State& state)
{
    const int order = static_cast<int>(state.range(0));
    Record r(order);
    RunRealFft(state, r, order, DspFftFwdRToPacked32f_Gen);
}
BENCHMARK(BM_FftRealForward)->DenseRange(6, 16);

void BM_FftRealInverse(benchmark::State& state)
{
    const int order = static_cast<int>(state.range(0));
    Record r(order);
    RunRealFft(state, r, order, DspFftInvPackedToR32f_Gen);
}
BENCHMARK(BM_FftRealInverse)->DenseRange(6, 16);

void BM_FftRealInPlaceOrder10(benchmark::State& state)
{
    Record r(10);
    auto x = FftBenchSignal(1024);
    for (auto _ : state)
    {
        DspFftFwdRInPlace32f_Gen(x.data(), r.rec, nullptr);
        DspFftInvRInPlace32f_Gen(x.data(), r.rec, nullptr);
        benchmark::DoNotOptimize(x.data());
    }
    state.SetItemsProcessed(state.iterations() * 1024);
}
BENCHMARK(BM_FftRealInPlaceOrder10);

// The complex engine on 2^order points out of place: the radix-4 transform
// with its permuting copy up to 1024 points, the block scheme above; the tables come
// from the real record of one order more.
void BM_FftComplexForward(benchmark::State& state)
{
    const int order = static_cast<int>(state.range(0));
    Record r(order + 1);
    const int32_t n = int32_t{1} << order;
    const auto x = FftBenchSignal(2 * static_cast<size_t>(n));
    std::vector<float> y(x.size());
    uint8_t* work = r.work.data() + (-reinterpret_cast<uintptr_t>(r.work.data()) & 31);
    for (auto _ : state)
    {
        if (order <= 10)
        {
            DspFftCplxFwdSmall_Gen(r.rec, x.data(), y.data(), order);
        }
        else
        {
            DspFftCplxFwdLarge_Gen(r.rec, x.data(), y.data(), order, work);
        }
        benchmark::DoNotOptimize(y.data());
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_FftComplexForward)->DenseRange(6, 16);

#ifdef LT_HAVE_FFTW
void FftwRealForward(benchmark::State& state, unsigned flags)
{
    const int n = 1 << state.range(0);
    float* in = fftwf_alloc_real(n);
    fftwf_complex* out = fftwf_alloc_complex(n / 2 + 1);
    fftwf_plan plan = fftwf_plan_dft_r2c_1d(n, in, out, FFTW_MEASURE | flags);
    const auto x = FftBenchSignal(n);
    std::copy(x.begin(), x.end(), in);
    for (auto _ : state)
    {
        fftwf_execute(plan);
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations() * n);
    fftwf_destroy_plan(plan);
    fftwf_free(out);
    fftwf_free(in);
}

void BM_FftwRealForward(benchmark::State& state)
{
    FftwRealForward(state, 0);
}
BENCHMARK(BM_FftwRealForward)->DenseRange(6, 16);

// The scalar codelets: the yardstick for butterflies in two-point SSE lanes.
void BM_FftwNoSimdRealForward(benchmark::State& state)
{
    FftwRealForward(state, FFTW_NO_SIMD);
}
BENCHMARK(BM_FftwNoSimdRealForward)->DenseRange(6, 16);

void FftwRealInverse(benchmark::State& state, unsigned flags)
{
    const int n = 1 << state.range(0);
    fftwf_complex* in = fftwf_alloc_complex(n / 2 + 1);
    float* out = fftwf_alloc_real(n);
    // c2r destroys its input, so the measured plan runs on a kept copy.
    fftwf_plan plan = fftwf_plan_dft_c2r_1d(n, in, out, FFTW_MEASURE | flags);
    std::vector<float> spectrum(2 * (n / 2 + 1));
    const auto x = FftBenchSignal(spectrum.size());
    std::copy(x.begin(), x.end(), spectrum.begin());
    for (auto _ : state)
    {
        std::copy(spectrum.begin(), spectrum.end(), reinterpret_cast<float*>(in));
        fftwf_execute(plan);
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations() * n);
    fftwf_destroy_plan(plan);
    fftwf_free(out);
    fftwf_free(in);
}
void BM_FftwRealInverse(benchmark::State& state)
{
    FftwRealInverse(state, 0);
}
BENCHMARK(BM_FftwRealInverse)->DenseRange(6, 16);

void BM_FftwNoSimdRealInverse(benchmark::State& state)
{
    FftwRealInverse(state, FFTW_NO_SIMD);
}
BENCHMARK(BM_FftwNoSimdRealInverse)->DenseRange(6, 16);

void FftwComplexForward(benchmark::State& state, unsigned flags)
{
    const int n = 1 << state.range(0);
    fftwf_complex* in = fftwf_alloc_complex(n);
    fftwf_complex* out = fftwf_alloc_complex(n);
    fftwf_plan plan = fftwf_plan_dft_1d(n, in, out, FFTW_FORWARD, FFTW_MEASURE | flags);
    const auto x = FftBenchSignal(2 * static_cast<size_t>(n));
    std::copy(x.begin(), x.end(), reinterpret_cast<float*>(in));
    for (auto _ : state)
    {
        fftwf_execute(plan);
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations() * n);
    fftwf_destroy_plan(plan);
    fftwf_free(out);
    fftwf_free(in);
}

void BM_FftwComplexForward(benchmark::State& state)
{
    FftwComplexForward(state, 0);
}
BENCHMARK(BM_FftwComplexForward)->DenseRange(6, 16);

void BM_FftwNoSimdComplexForward(benchmark::State& state)
{
    FftwComplexForward(state, FFTW_NO_SIMD);
}
BENCHMARK(BM_FftwNoSimdComplexForward)->DenseRange(6, 16);
#endif

#ifdef LT_HAVE_KISSFFT
void BM_KissFftRealForward(benchmark::State& state)
{
    const int n = 1 << state.range(0);
    kiss_fftr_cfg cfg = kiss_fftr_alloc(n, 0, nullptr, nullptr);
    const auto x = FftBenchSignal(n);
    std::vector<kiss_fft_cpx> out(n / 2 + 1);
    for (auto _ : state)
    {
        kiss_fftr(cfg, x.data(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * n);
    kiss_fftr_free(cfg);
}
BENCHMARK(BM_KissFftRealForward)->DenseRange(6, 16);

void BM_KissFftRealInverse(benchmark::State& state)
{
    const int n = 1 << state.range(0);
    kiss_fftr_cfg cfg = kiss_fftr_alloc(n, 1, nullptr, nullptr);
    std::vector<kiss_fft_cpx> in(n / 2 + 1);
    for (int i = 0; i <= n / 2; ++i)
    {
        in[i].r = static_cast<float>(std::cos(0.1 * i));
        in[i].i = static_cast<float>(std::sin(0.3 * i));
    }
    std::vector<float> out(n);
    for (auto _ : state)
    {
        kiss_fftri(cfg, in.data(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * n);
    kiss_fftr_free(cfg);
}
BENCHMARK(BM_KissFftRealInverse)->DenseRange(6, 16);
#endif
} // namespace
