// The headphone engine bit for bit against a plain scalar model of its
// arithmetic, written from the algorithms and sharing only the coefficient
// tables and the real FFT with it: the recursive sections sample by sample
// with shifted histories, the spectral products bin by bin, the crosstalk
// stage tap by tap. Long random input, every rate class and both modes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "globaltopo/common/QVR/QvrEngine.h"
#include "platform/kernel/emu.h"
#include "primitives/dsp.h"
#include "primitives/fft/DspFftSpec.h"
#include "tests/globaltopo/common/QVR/qvr_test_bank.h"

namespace
{
constexpr int N = HEADPHONEFIR_N;
using Buffer = std::vector<float>;

struct RefIir
{
    const float* b;
    const float* a;
    float x[4] = {}, y[4] = {};
    float Step(float in)
    {
        x[3] = x[2], x[2] = x[1], x[1] = x[0], x[0] = in;
        float acc = 0.0f;
        for (int k = 0; k < 4; ++k)
            acc += x[k] * b[k];
        for (int k = 1; k < 4; ++k)
            acc = acc - y[k - 1] * a[k];
        y[3] = y[2], y[2] = y[1], y[1] = y[0], y[0] = acc;
        return acc;
    }
};

// Forward pass, backward pass over the reversed run with 64 of look-ahead.
struct RefLinearPhase
{
    RefIir forward, backward;
    Buffer f = Buffer(64 + 1024, 0.0f);
    void Run(float* out, const float* in, int len)
    {
        for (int i = 0; i < len; ++i)
            f[64 + i] = forward.Step(in[i]);
        Buffer back(64 + len);
        for (int k = 0; k < 64 + len; ++k)
            back[k] = backward.Step(f[64 + len - 1 - k]);
        for (int k = 0; k < len; ++k)
            out[k] = back[64 + len - 1 - k];
        std::memmove(f.data(), f.data() + len, 64 * sizeof(float));
    }
};

struct RefSrc
{
    explicit RefSrc(int f)
        : factor(f), down{{SrcFilterDesigns[f - 1].b, SrcFilterDesigns[f - 1].a},
                          {SrcFilterDesigns[f - 1].b, SrcFilterDesigns[f - 1].a}},
          up(down)
    {
    }
    void Decimate(float* out, const float* in, int len)
    {
        Buffer work(len);
        down.Run(work.data(), in, len);
        for (int k = 0; k < len / factor; ++k)
            out[k] = work[factor * k];
    }
    void Interpolate(float* out, const float* in, int len)
    {
        Buffer work(len * factor, 0.0f);
        for (int k = 0; k < len; ++k)
            work[factor * k] = in[k];
        up.Run(out, work.data(), len * factor);
        for (int k = 0; k < len * factor; ++k)
            out[k] *= (float)factor;
    }
    int factor;
    RefLinearPhase down, up;
};

// Spectra as the FFT packs them: DC, Nyquist, then (re, im) per bin.
void MulAcc(const Buffer& x, const Buffer& h, Buffer& acc)
{
    acc[0] += x[0] * h[0];
    acc[1] += x[1] * h[1];
    for (int k = 2; k < 2 * N; k += 2)
    {
        const float xr = x[k], xi = x[k + 1], hr = h[k], hi = h[k + 1];
        acc[k] = (hr * xr - hi * xi) + acc[k];
        acc[k + 1] = (hr * xi + hi * xr) + acc[k + 1];
    }
}

struct RefFir
{
    RefFir(const float* bank, int room, int angle, int ctcAngle)
    {
        DspFftSpecCreateR32f(&spec, 10, DspFftScaleInverse, 0);
        const int tailLen = qvrtest::FindRun(room, angle).tailLen;
        for (int f = 0; f < 10; ++f)
            head.push_back(Spectra(bank + qvrtest::HeadIndex(room, angle, f), 2));
        for (int e = 0; e < 2; ++e)
            tail.push_back(Spectra(bank + qvrtest::TailIndex(room, angle, e), tailLen / N));
        sum.assign(256, 0.0f), diff.assign(256, 0.0f);
        sum[0] = diff[0] = 1.0f;
        taps = ctcAngle != 0 ? 256 : 1;
        for (int i = 0; i < taps && ctcAngle != 0; ++i)
        {
            const float a = bank[qvrtest::CtcIndex(ctcAngle, 0) + i];
            const float b = bank[qvrtest::CtcIndex(ctcAngle, 1) + i];
            sum[i] = a + b, diff[i] = a - b;
        }
    }
    ~RefFir() { DspFftSpecFreeR32f(spec); }
    std::vector<Buffer> Spectra(const float* taps, int parts)
    {
        std::vector<Buffer> s(parts, Buffer(2 * N, 0.0f));
        for (int p = 0; p < parts; ++p)
        {
            std::copy(taps + p * N, taps + (p + 1) * N, s[p].begin());
            DspFftFwdRInPlace32f(s[p].data(), spec, nullptr);
        }
        return s;
    }
    // One block of nIn channels (a copy: the fold stays inside) to out[0..1].
    void Block(float* const* out, std::vector<Buffer> x)
    {
        const int nIn = (int)x.size(), streams = nIn == 2 ? 2 : 5;
        Buffer t(2 * N);
        for (int i = 0; i < 2 * N; ++i)
            t[i] = windows[1][1][i] + windows[1][0][i];
        for (int i = 0; i < 2 * N && streams == 5; ++i)
            t[i] = windows[1][3][i] + windows[1][2][i] + windows[1][4][i] + t[i];
        tails.insert(tails.begin(), t);
        tails.pop_back();
        for (int i = 0; i < N && nIn == 8; ++i)
        {
            const float l = x[4][i], r = x[5][i];
            x[4][i] = (0.871f * l + x[6][i]) + 0.49f * r;
            x[5][i] = (0.49f * l + x[7][i]) + 0.871f * r;
        }
        windows[1] = windows[0];
        const int source[5][2] = {{0, 3}, {1, 3}, {2, -1}, {4, -1}, {5, -1}};
        for (int k = 0; k < streams; ++k)
        {
            const int c = source[k][0], s = streams == 5 ? source[k][1] : -1;
            for (int i = 0; i < N; ++i)
            {
                windows[0][k][i] = s < 0 ? history[c][i] : history[c][i] + history[s][i];
                windows[0][k][N + i] = s < 0 ? x[c][i] : x[c][i] + x[s][i];
            }
            DspFftFwdRInPlace32f(windows[0][k].data(), spec, nullptr);
        }
        for (int c = 0; c < (streams == 5 ? 6 : 2); ++c)
            history[c] = x[c];
        std::vector<Buffer> acc(2, Buffer(2 * N, 0.0f));
        for (const auto& [first, end] : {std::pair{0, 2}, std::pair{2, streams}})
            for (int j = 0; j < 2; ++j)
                for (int k = first; k < end; ++k)
                    for (int e = 0; e < 2; ++e)
                        MulAcc(windows[j][k], head[2 * k + e][j], acc[e]);
        for (size_t j = 0; j < tail[0].size(); ++j)
            for (int e = 0; e < 2; ++e)
                MulAcc(tails[j], tail[e][j], acc[e]);
        for (int e = 0; e < 2; ++e)
        {
            DspFftInvRInPlace32f(acc[e].data(), spec, nullptr);
            for (int i = 0; i < N; ++i)
                out[e][i] = acc[e][N + i] * 2.0f;
        }
        Crosstalk(out);
    }
    // Sum and difference filtered tap by tap over the reversed signals.
    void Crosstalk(float* const* out)
    {
        for (int i = 0; i < N; ++i)
        {
            s[N - 1 - i] = out[0][i] + out[1][i];
            d[N - 1 - i] = out[0][i] - out[1][i];
        }
        for (int k = 0; k < N; ++k)
        {
            float sa = 0.0f, da = 0.0f;
            for (int j = 0; j < taps; ++j)
                sa += s[N - 1 - k + j] * sum[j], da += d[N - 1 - k + j] * diff[j];
            s[taps + N - 1 - k] = sa, d[taps + N - 1 - k] = da;
        }
        for (int t = 0; t < N; ++t)
        {
            out[0][t] = (d[767 - t] + s[767 - t]) * 0.5f;
            out[1][t] = (s[767 - t] - d[767 - t]) * 0.5f;
        }
        for (int q = 255; q >= 0; --q)
            s[N + q] = s[q], d[N + q] = d[q];
    }
    DspFftSpecR32f* spec = nullptr;
    std::vector<std::vector<Buffer>> head, tail;
    std::vector<Buffer> tails = std::vector<Buffer>(14, Buffer(2 * N, 0.0f));
    std::vector<std::vector<Buffer>> windows =
        std::vector<std::vector<Buffer>>(2, std::vector<Buffer>(5, Buffer(2 * N, 0.0f)));
    std::vector<Buffer> history = std::vector<Buffer>(8, Buffer(N, 0.0f));
    Buffer sum, diff, s = Buffer(768, 0.0f), d = Buffer(768, 0.0f);
    int taps;
};

// The whole engine: framing with the input offset, conversion, filter.
struct RefEngine
{
    RefEngine(int rate, int room, int angle, int ctc)
        : fir(HeadphoneCoefficientBank, room, angle, ctc), direction(rate > 44100   ? 1
                                                                     : rate < 44100 ? -1
                                                                                    : 0),
          factor(direction > 0   ? rate / 44100
                 : direction < 0 ? 44100 / rate
                                 : 1),
          len(direction > 0 ? N * factor : N / factor), in(8, Buffer(len, 0.0f)),
          out(2, Buffer(len, 0.0f))
    {
        for (int c = 0; c < 8; ++c)
            src.emplace_back(factor);
    }
    void Frame(float* x)
    {
        for (int c = 0; c < 8; ++c)
            in[c][fill] = 1.0e-10f + (std::isfinite(x[c]) ? x[c] : 0.0f);
        x[0] = out[0][fill], x[1] = out[1][fill];
        if (++fill < len)
            return;
        fill = 0;
        std::vector<Buffer> engineIn(8, Buffer(N));
        Buffer engineOut[2] = {Buffer(N), Buffer(N)};
        for (int c = 0; c < 8; ++c)
            direction == 0  ? (void)(engineIn[c] = in[c])
            : direction > 0 ? src[c].Decimate(engineIn[c].data(), in[c].data(), len)
                            : src[c].Interpolate(engineIn[c].data(), in[c].data(), len);
        float* ptr[2] = {engineOut[0].data(), engineOut[1].data()};
        fir.Block(ptr, engineIn);
        for (int e = 0; e < 2; ++e)
            direction == 0  ? (void)(out[e] = engineOut[e])
            : direction > 0 ? src[e].Interpolate(out[e].data(), ptr[e], N)
                            : src[e].Decimate(out[e].data(), ptr[e], N);
    }
    RefFir fir;
    int direction, factor, len, fill = 0;
    std::vector<Buffer> in, out;
    std::vector<RefSrc> src;
};

TEST(QvrEngineReference, BitForBitOverLongRandomInput)
{
    const struct
    {
        DWORD rate;
        int32_t speaker, room, angle, flag, ctc; // the mode's setters
        int roomCode, angleCode, ctcCode;        // what they select
        uint32_t chunk;
    } rows[] = {
        {44100, 0, 1, 3, 0, 0, 2, 39, 0, 441},   {48000, 0, 0, 3, 0, 0, 3, 39, 0, 480},
        {48000, 1, 0, 3, 0, 0, 3, 39, 5, 480},   {48000, 1, 2, 1, 1, 4, 1, 30, 30, 333},
        {88200, 1, 1, 31, 0, 2, 2, 31, 15, 882}, {32000, 0, 2, 2, 1, 0, 1, 35, 0, 320},
        {22050, 1, 0, 0, 0, 3, 3, 24, 20, 220},
    };
    for (const auto& r : rows)
    {
        std::unique_ptr<CQvrEngine> engine(new (NonPagedPool, POOL_TAG("ZELK")) CQvrEngine());
        const WAVEFORMATEX format{WAVE_FORMAT_IEEE_FLOAT, 2, r.rate, r.rate * 8, 8, 32, 0};
        ASSERT_EQ(engine->QvrConfigure(&format), 1);
        engine->QvrSetEnable(1);
        engine->QvrSetSpeakerMode(r.speaker);
        engine->QvrSetCtcAngle(r.ctc);
        r.speaker ? engine->QvrSetSpeakerFlag(r.flag) : engine->QvrSetHeadphoneFlag(r.flag);
        r.speaker ? engine->QvrSetSpeakerAngle(r.angle) : engine->QvrSetHeadphoneAngle(r.angle);
        r.speaker ? engine->QvrSetSpeakerRoom(r.room) : engine->QvrSetHeadphoneRoom(r.room);
        auto model = std::make_unique<RefEngine>((int)r.rate, r.roomCode, r.angleCode, r.ctcCode);
        const size_t frames = 40 * r.chunk;
        qvrtest::ChannelSet x(8, frames, r.rate + r.chunk);
        x.data[3][frames / 2] = NAN;
        std::vector<float> expected[2];
        for (size_t i = 0; i < frames; ++i)
        {
            float frame[8];
            for (int c = 0; c < 8; ++c)
                frame[c] = x.data[c][i];
            model->Frame(frame);
            expected[0].push_back(frame[0]), expected[1].push_back(frame[1]);
        }
        for (size_t done = 0; done < frames; done += r.chunk)
            engine->QvrProcess(x.At(done), r.chunk);
        for (int e = 0; e < 2; ++e)
            EXPECT_EQ(0, memcmp(x.data[e].data(), expected[e].data(), frames * sizeof(float)))
                << r.rate << " speaker " << r.speaker << " output " << e;
    }
}

// The filter alone with the input layouts the engine does not use.
TEST(QvrEngineReference, FilterBitForBitForEveryInputLayout)
{
    const int rows[][4] = {{2, 3, 24, 0}, {6, 2, 35, 10}, {8, 1, 40, 20}, {2, 3, 31, 30}};
    for (const auto& r : rows)
    {
        auto fir = std::make_unique<CHeadphoneFir>();
        fir->HeadphoneFirSelectFilters(r[1], r[2]);
        fir->HeadphoneFirSetCTCAngle(r[3]);
        auto model = std::make_unique<RefFir>(HeadphoneCoefficientBank, r[1], r[2], r[3]);
        for (int block = 0; block < 20; ++block)
        {
            qvrtest::ChannelSet x(r[0], N, 1 + block);
            std::vector<Buffer> copy = x.data;
            Buffer got[2] = {Buffer(N), Buffer(N)}, want[2] = {Buffer(N), Buffer(N)};
            float* gotPtr[2] = {got[0].data(), got[1].data()};
            float* wantPtr[2] = {want[0].data(), want[1].data()};
            fir->HeadphoneFirProcess(gotPtr, 2, x.At(0), r[0], N);
            model->Block(wantPtr, copy);
            for (int e = 0; e < 2; ++e)
                ASSERT_EQ(0, memcmp(got[e].data(), want[e].data(), N * sizeof(float)))
                    << r[0] << " channels, block " << block << " output " << e;
        }
    }
}

// The crosstalk stage alone against the model, bypassed and with the taps of
// two angles, over consecutive blocks carrying infinities of both signs, NaNs
// (of the one bit pattern every invalid operation makes, so that no choice
// of operand decides the result) and subnormal samples.
TEST(QvrEngineReference, CrosstalkStageBitForBitWithNonFiniteSamples)
{
    const float nan = -std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const struct
    {
        int ctc;
        float special[2];
    } rows[] = {{0, {inf, nan}},
                {30, {inf, -inf}},
                {30, {nan, 1.0e-40f}},
                {5, {-inf, nan}},
                {10, {1.0e-40f, -1.0e-42f}}};
    for (const auto& r : rows)
    {
        auto fir = std::make_unique<CHeadphoneFir>();
        fir->HeadphoneFirSetCTCAngle(r.ctc);
        auto model = std::make_unique<RefFir>(HeadphoneCoefficientBank, 1, 29, r.ctc);
        for (int block = 0; block < 4; ++block)
        {
            qvrtest::ChannelSet got(2, N, 7 + block);
            got.data[block % 2][(97 * block) % N] = r.special[0];
            got.data[1 - block % 2][(211 * block + 5) % N] = r.special[1];
            qvrtest::ChannelSet want = got;
            fir->HeadphoneFirCtcStage(got.At(0), 2, got.At(0), 2, N);
            model->Crosstalk(want.At(0));
            for (int e = 0; e < 2; ++e)
                ASSERT_EQ(0, memcmp(got.data[e].data(), want.data[e].data(), N * sizeof(float)))
                    << "angle " << r.ctc << ", block " << block << " output " << e;
        }
    }
}
} // namespace
