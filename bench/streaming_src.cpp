// The interleaved sample-rate converter on every rate pair at 8 channels,
// 10 ms of input per iteration, beside a copy of the same bytes (the floor)
// and, where installed, libsamplerate and soxr on the same signal. Each
// benchmark also reports the quality it reached on a 19 kHz tone: the level
// of everything but the tone, relative to the tone ("resid_dB").
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "bench/memcpy_share.h"
#include "platform/kernel/emu.h"
#include "streaming/conversion/dsp_interleave_src.h"

#ifdef LT_HAVE_SAMPLERATE
#include <samplerate.h>
#endif
#ifdef LT_HAVE_SOXR
#include <soxr.h>
#endif

namespace
{
constexpr ULONG kChannels = 8;
constexpr double kToneHz = 19000.0;
const ULONG c_Rates[] = {44100, 48000, 88200, 96000, 176400, 192000};

WAVEFORMATEXTENSIBLE FloatFormat(ULONG rate)
{
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    f.Format.nChannels = kChannels;
    f.Format.nSamplesPerSec = rate;
    f.Format.wBitsPerSample = 32;
    f.Format.nBlockAlign = kChannels * sizeof(float);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    return f;
}

std::vector<float> Sine(double rate, double freq, double amplitude, size_t n)
{
    std::vector<float> s(n);
    for (size_t i = 0; i < n; ++i)
    {
        s[i] = (float)(amplitude * std::sin(2.0 * M_PI * freq * (double)i / rate));
    }
    return s;
}

// 8 channels of the tone, each at its own level.
std::vector<float> TestSignal(ULONG rate, size_t frames)
{
    const std::vector<float> tone = Sine(rate, kToneHz, 0.5, frames);
    std::vector<float> x(frames * kChannels);
    for (size_t i = 0; i < x.size(); ++i)
    {
        x[i] = tone[i / kChannels] * (float)(kChannels - i % kChannels) / (float)kChannels;
    }
    return x;
}

// Residual of channel 0 after the best fit of a sine at the tone frequency
// (amplitude and phase free), in dB below the fitted tone.
double ResidualDb(const std::vector<float>& out, ULONG rate, size_t skip)
{
    const size_t frames = out.size() / kChannels;
    double ss = 0, sc = 0, cc = 0, ys = 0, yc = 0;
    for (size_t i = skip; i < frames; ++i)
    {
        const double w = 2 * M_PI * kToneHz * (double)i / rate;
        const double s = std::sin(w), c = std::cos(w), y = out[i * kChannels];
        ss += s * s, sc += s * c, cc += c * c, ys += y * s, yc += y * c;
    }
    const double det = ss * cc - sc * sc;
    const double a = (ys * cc - yc * sc) / det, b = (yc * ss - ys * sc) / det;
    double fit = 0, residual = 0;
    for (size_t i = skip; i < frames; ++i)
    {
        const double w = 2 * M_PI * kToneHz * (double)i / rate;
        const double f = a * std::sin(w) + b * std::cos(w);
        fit += f * f;
        residual += (out[i * kChannels] - f) * (out[i * kChannels] - f);
    }
    return 10 * std::log10(residual / fit);
}

// The work of one converter: pushes frames in and gets as many out as it
// can, returning the frames produced.
template <class Convert>
void Run(benchmark::State& state, ULONG inRate, ULONG outRate, Convert&& convert)
{
    const size_t block = inRate / 100;
    const std::vector<float> quality = TestSignal(inRate, inRate / 5);
    std::vector<float> out(4 * quality.size() * outRate / inRate + 4096);
    size_t produced =
        convert(quality.data(), quality.size() / kChannels, out.data(), out.size() / kChannels);
    out.resize(produced * kChannels);
    state.counters["resid_dB"] = ResidualDb(out, outRate, outRate / 100);
    const std::vector<float> input = TestSignal(inRate, block);
    std::vector<float> room(8 * block * outRate / inRate * kChannels + 4096);
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(
            convert(input.data(), block, room.data(), room.size() / kChannels));
    }
    state.SetItemsProcessed((int64_t)state.iterations() * (int64_t)block);
    state.counters["x_realtime"] =
        benchmark::Counter((double)state.iterations() * 0.01, benchmark::Counter::kIsRate);
}

#ifdef LT_HAVE_SOXR
template <class Convert> double PairedSoxrRatio(Convert& convert, ULONG inRate, ULONG outRate);
#endif

void Converter(benchmark::State& state)
{
    const ULONG inRate = c_Rates[state.range(0)], outRate = c_Rates[state.range(1)];
    EmuReset(EmuClockMode::Virtual);
    {
        CDspInterleaveSrc src;
        src.CreateConverterStages();
        src.SetFormat(FloatFormat(inRate), FloatFormat(outRate));
        auto convert = [&](const float* in, size_t frames, float* out, size_t room)
        {
            size_t produced = 0;
            while (frames > 0)
            {
                ULONG taken = (ULONG)frames, made = (ULONG)(room - produced);
                src.Process(reinterpret_cast<const UCHAR*>(in), &taken,
                            reinterpret_cast<UCHAR*>(out + produced * kChannels), &made);
                in += taken * kChannels;
                frames -= taken;
                produced += made;
                if (taken == 0 && made == 0)
                {
                    break;
                }
            }
            return produced;
        };
        Run(state, inRate, outRate, convert);
#ifdef LT_HAVE_SOXR
        // vs_soxr: this converter's time per block over soxr LQ's.
        state.counters["vs_soxr"] = PairedSoxrRatio(convert, inRate, outRate);
#endif
    }
    EmuCheckClean(true);
}

void Copy(benchmark::State& state)
{
    const ULONG inRate = c_Rates[state.range(0)], outRate = c_Rates[state.range(1)];
    Run(state, inRate, outRate,
        [](const float* in, size_t frames, float* out, size_t room)
        {
            const size_t n = frames < room ? frames : room;
            memcpy(out, in, n * kChannels * sizeof(float));
            return n;
        });
    state.counters.erase("resid_dB");
}

#ifdef LT_HAVE_SAMPLERATE
void Samplerate(benchmark::State& state)
{
    const ULONG inRate = c_Rates[state.range(0)], outRate = c_Rates[state.range(1)];
    int error = 0;
    SRC_STATE* src = src_new(SRC_SINC_FASTEST, (int)kChannels, &error);
    Run(state, inRate, outRate,
        [&](const float* in, size_t frames, float* out, size_t room)
        {
            SRC_DATA d{};
            d.data_in = in;
            d.data_out = out;
            d.input_frames = (long)frames;
            d.output_frames = (long)room;
            d.src_ratio = (double)outRate / inRate;
            src_process(src, &d);
            return (size_t)d.output_frames_gen;
        });
    src_delete(src);
}
#endif

#ifdef LT_HAVE_SOXR
// The soxr LQ converter on the same rates and channels, as the Run lambda.
struct SoxrConvert
{
    SoxrConvert(ULONG inRate, ULONG outRate)
    {
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_LQ, 0);
        soxr_error_t error = nullptr;
        soxr = soxr_create(inRate, outRate, kChannels, &error, &io, &quality, nullptr);
    }
    ~SoxrConvert() { soxr_delete(soxr); }
    size_t operator()(const float* in, size_t frames, float* out, size_t room)
    {
        size_t taken = 0, made = 0;
        soxr_process(soxr, in, frames, &taken, out, room, &made);
        return made;
    }
    soxr_t soxr;
};

void Soxr(benchmark::State& state)
{
    SoxrConvert soxr(c_Rates[state.range(0)], c_Rates[state.range(1)]);
    Run(state, c_Rates[state.range(0)], c_Rates[state.range(1)], soxr);
}

// One converter's time per block over soxr LQ's, as the median of slices
// that each time some blocks of both, in turns that swap which goes first.
// On a shared host each one's speed changes from one second to the next,
// and not by the same factor for both (the ratio moves between about 0.95
// and 1.25 from run to run): only time taken side by side compares them in
// one state of the host. A slice is long enough that
// the caches each refills at its start cost little.
template <class Convert> double PairedSoxrRatio(Convert& convert, ULONG inRate, ULONG outRate)
{
    constexpr int kSlices = 31;
    constexpr int kSliceBlocks = 16;
    SoxrConvert soxr(inRate, outRate);
    const size_t block = inRate / 100;
    const std::vector<float> input = TestSignal(inRate, block);
    std::vector<float> room(8 * block * outRate / inRate * kChannels + 4096);
    auto seconds = [&](auto& f)
    {
        const double start = ThreadSeconds();
        for (int b = 0; b < kSliceBlocks; ++b)
        {
            benchmark::DoNotOptimize(f(input.data(), block, room.data(), room.size() / kChannels));
        }
        return ThreadSeconds() - start;
    };
    seconds(convert);
    seconds(soxr);
    std::vector<double> ratios;
    for (int slice = 0; slice < kSlices; ++slice)
    {
        const bool ours = slice % 2 == 0;
        const double first = ours ? seconds(convert) : seconds(soxr);
        const double second = ours ? seconds(soxr) : seconds(convert);
        ratios.push_back(ours ? first / second : second / first);
    }
    std::nth_element(ratios.begin(), ratios.begin() + kSlices / 2, ratios.end());
    return ratios[kSlices / 2];
}
#endif

void RatePairs(benchmark::internal::Benchmark* b)
{
    for (int64_t i = 0; i < 6; ++i)
    {
        for (int64_t o = 0; o < 6; ++o)
        {
            if (i != o)
            {
                b->Args({i, o});
            }
        }
    }
}
} // namespace

BENCHMARK(Converter)->Apply(RatePairs);
BENCHMARK(Copy)->Apply(RatePairs);
#ifdef LT_HAVE_SAMPLERATE
BENCHMARK(Samplerate)->Apply(RatePairs);
#endif
#ifdef LT_HAVE_SOXR
BENCHMARK(Soxr)->Apply(RatePairs);
#endif
