#include "tests/streaming/conversion/src_test_util.h"

#include <cmath>
#include <complex>

#include "platform/kernel/emu.h"
#include "streaming/conversion/dsp_interleave_src.h"

WAVEFORMATEXTENSIBLE MakeFormat(USHORT tag, USHORT channels, ULONG rate, USHORT bits)
{
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = tag;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.wBitsPerSample = bits;
    f.Format.nBlockAlign = (USHORT)(channels * bits / 8);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    return f;
}

WAVEFORMATEXTENSIBLE MakeExtensible(USHORT tag, USHORT channels, ULONG rate, USHORT bits)
{
    WAVEFORMATEXTENSIBLE f = MakeFormat(WAVE_FORMAT_EXTENSIBLE, channels, rate, bits);
    f.Format.cbSize = WAVEFORMATEXTENSIBLE_EXTRA;
    f.Samples.wValidBitsPerSample = bits;
    f.SubFormat =
        tag == WAVE_FORMAT_PCM ? KSDATAFORMAT_SUBTYPE_PCM : KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    if (tag != WAVE_FORMAT_PCM && tag != WAVE_FORMAT_IEEE_FLOAT)
    {
        f.SubFormat.Data1 = tag;
    }
    return f;
}

std::string DbgText()
{
    std::string all;
    for (const std::string& line : EmuDbgOutput())
    {
        all += line;
    }
    return all;
}

namespace
{
void Fft(std::vector<std::complex<double>>& a)
{
    const size_t n = a.size();
    for (size_t i = 1, j = 0; i < n; ++i)
    {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
        {
            j ^= bit;
        }
        j ^= bit;
        if (i < j)
        {
            std::swap(a[i], a[j]);
        }
    }
    for (size_t len = 2; len <= n; len <<= 1)
    {
        const double angle = -2.0 * M_PI / (double)len;
        const std::complex<double> step(std::cos(angle), std::sin(angle));
        for (size_t i = 0; i < n; i += len)
        {
            std::complex<double> w(1.0, 0.0);
            for (size_t k = 0; k < len / 2; ++k)
            {
                const std::complex<double> u = a[i + k];
                const std::complex<double> v = a[i + k + len / 2] * w;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
                w *= step;
            }
        }
    }
}
} // namespace

std::vector<double> AmplitudeSpectrum(const std::vector<float>& block)
{
    const size_t n = block.size();
    std::vector<std::complex<double>> a(n);
    double gain = 0.0;
    for (size_t i = 0; i < n; ++i)
    {
        const double x = 2.0 * M_PI * (double)i / (double)n;
        // Flat-top window: a tone reads its amplitude wherever it falls between
        // bins, and side lobes stay 93 dB down.
        const double w = 0.21557895 - 0.41663158 * std::cos(x) + 0.277263158 * std::cos(2 * x) -
                         0.083578947 * std::cos(3 * x) + 0.006947368 * std::cos(4 * x);
        gain += w;
        a[i] = block[i] * w;
    }
    Fft(a);
    std::vector<double> spectrum(n / 2 + 1);
    for (size_t k = 0; k <= n / 2; ++k)
    {
        spectrum[k] = 2.0 * std::abs(a[k]) / gain;
    }
    return spectrum;
}

double PeakIn(const std::vector<double>& spectrum, size_t first, size_t last)
{
    double peak = 0.0;
    for (size_t k = first; k <= last && k < spectrum.size(); ++k)
    {
        peak = std::max(peak, spectrum[k]);
    }
    return peak;
}

double Db(double ratio)
{
    return 20.0 * std::log10(ratio);
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

std::vector<float> ConvertFloat(CDspInterleaveSrc& src, const std::vector<float>& input,
                                ULONG channels, ULONG chunk)
{
    std::vector<float> output;
    std::vector<float> room(8 * 8192);
    size_t at = 0;
    const size_t frames = input.size() / channels;
    while (at < frames)
    {
        ULONG in = (ULONG)std::min<size_t>(chunk, frames - at);
        ULONG out = (ULONG)(room.size() / channels);
        src.Process(reinterpret_cast<const UCHAR*>(input.data() + at * channels), &in,
                    reinterpret_cast<UCHAR*>(room.data()), &out);
        output.insert(output.end(), room.begin(), room.begin() + out * channels);
        at += in;
        if (in == 0 && out == 0)
        {
            break;
        }
    }
    return output;
}
