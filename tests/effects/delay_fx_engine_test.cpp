// The delay engine against a reference that keeps every delay line, section,
// sparse filter and output history as its own array indexed by frame, reading
// the same rate records; output is compared sample for sample at every rate.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <memory>
#include <tuple>
#include <vector>

#include "effects/DelayFxEngine.h"
#include "effects/DelayFxRateRecords.h"
#include "platform/cpu/cpu.h"

namespace
{
struct RateFacts
{
    int32_t rate, index, cells, readTaps;
    int32_t lengths[4];
    int32_t sparseTaps[7];
};

constexpr RateFacts Rates[] = {
    {48000, 0, 3588, 2, {599, 871, 778, 1032}, {16, 16, 16, 20, 20, 18, 18}},
    {44100, 1, 3307, 2, {550, 800, 715, 948}, {15, 15, 15, 19, 19, 17, 17}},
    {32000, 2, 2408, 3, {399, 580, 518, 687}, {10, 10, 10, 13, 13, 12, 12}},
    {96000, 16, 7155, 4, {1199, 1743, 1557, 2064}, {34, 34, 34, 42, 42, 38, 38}},
    {88200, 17, 6595, 4, {1102, 1602, 1430, 1897}, {32, 32, 32, 40, 40, 36, 36}},
};

// A rate record read field by field in the documented order.
struct Record
{
    int32_t lengths[4];
    std::vector<float> lineWeights[4];
    float q[38]; // q[2..9] feeds, q[15..37] gains and pair mix
    float section[5];
    std::vector<float> sparse[7];
    float mid[7], side[7], left[15], right[15], rows[4][4];
    int32_t spacing[4];
};

Record Parse(const float* p, int32_t m)
{
    Record r{};
    auto take = [&p](float* to, int32_t n)
    {
        std::copy(p, p + n, to);
        p += n;
    };
    for (int k = 0; k < 4; ++k, p += 1 + m)
    {
        r.lengths[k] = static_cast<int32_t>(p[0]);
        r.lineWeights[k].assign(p + 1, p + 1 + m);
    }
    take(r.q + 2, 8);
    take(r.section, 5);
    take(r.q + 15, 23);
    for (auto& f : r.sparse)
    {
        f.resize(static_cast<size_t>(*p++));
        take(f.data(), static_cast<int32_t>(f.size()));
    }
    for (float* part : {r.mid, r.side})
    {
        take(part, 7);
    }
    take(r.left, 15);
    take(r.right, 15);
    for (int k = 0; k < 4; ++k)
    {
        take(r.rows[k], 4);
        r.spacing[k] = static_cast<int32_t>(*p++);
    }
    return r;
}

// w[0] v(0) + w[1] v(1) + ..., added in that order in single precision.
template <typename F> float Sum(const float* w, size_t n, F v)
{
    float sum = w[0] * v(0);
    for (size_t j = 1; j < n; ++j)
    {
        sum = sum + w[j] * v(j);
    }
    return sum;
}

class ReferenceNetwork
{
  public:
    ReferenceNetwork(const RateFacts& f, int32_t channels)
        : m_R(Parse(DelayFxRateRecords[f.index], f.readTaps)), m_Channels(channels)
    {
    }

    // Frame i of eight channels; the left and right steps.
    std::pair<float, float> Frame(const std::vector<std::vector<float>>& in, size_t i)
    {
        const bool six = m_Channels == 6 || m_Channels == 8, eight = m_Channels == 8;
        const auto c = [&](int k, bool read) { return read ? in[k][i] : 0.0f; };
        const float lt = c(0, six) + c(3, six), rt = c(1, six) + c(3, six), cc = c(2, six);
        const float sl = c(4, six), sr = c(5, six), bl = c(6, eight), br = c(7, eight);
        const float* q = m_R.q;
        const auto two = [q](int k, float x, float y) { return q[k] * x + q[k + 1] * y; };
        float d[4];
        for (int k = 0; k < 4; ++k)
        {
            d[k] = Sum(m_R.lineWeights[k].data(), m_R.lineWeights[k].size(),
                       [&](size_t j) { return Past(m_W[k], m_R.lengths[k] + 1 + j); });
        }
        const float f[4] = {two(2, rt, sr), two(4, lt, sl), two(6, bl, cc), two(8, br, cc)};
        const float* b = m_R.section;
        float s[4];
        for (int k = 0; k < 4; ++k)
        {
            const float y = 2.0f * (b[0] * f[k] + b[1] * Past(m_F[k], 1) + b[2] * Past(m_F[k], 2) +
                                    b[3] * Past(m_Y[k], 1) + b[4] * Past(m_Y[k], 2));
            m_F[k].push_back(f[k]);
            m_Y[k].push_back(y);
            s[k] = y + d[k];
        }
        // cC u1 u2 uBL uBR u3 u4, then the seven sparse filter inputs
        const float sig[7] = {q[15] * cc, two(16, lt, d[3]), two(18, rt, d[0]), q[20] * bl,
                              q[21] * br, two(22, sl, d[1]), two(24, sr, d[2])};
        const float x[7] = {sig[0],
                            two(26, sig[1], sig[2]),
                            two(28, sig[1], sig[2]),
                            two(30, sig[3], sig[4]),
                            two(32, sig[3], sig[4]),
                            two(34, sig[5], sig[6]),
                            two(36, sig[5], sig[6])};
        float out[7];
        for (int k = 0; k < 7; ++k)
        {
            out[k] = Sum(m_R.sparse[k].data(), m_R.sparse[k].size(),
                         [&](size_t j) { return Past(m_X[k], 2 + 2 * j); });
            m_X[k].push_back(x[k]);
        }
        const float ml = Sum(m_R.mid, 7, [&](size_t k) { return out[k]; });
        const float ms = Sum(m_R.side, 7, [&](size_t k) { return out[k]; });
        const float left = Output(m_R.left, {ml, sig[0], sig[1], sig[3], sig[5]}, {0, 1, 2, 4, 6});
        const float right =
            Output(m_R.right, {ms, sig[0], sig[2], sig[4], sig[6]}, {8, 1, 3, 5, 7});
        m_Sig[0].push_back(ml);
        m_Sig[8].push_back(ms);
        for (int k = 1; k <= 7; ++k)
        {
            m_Sig[k].push_back(sig[k - 1]);
        }
        for (int k = 0; k < 4; ++k)
        {
            m_W[k].push_back(Sum(m_R.rows[k], 4, [&](size_t j) { return s[j]; }));
        }
        return {Step(left), Step(right)};
    }

  private:
    static float Past(const std::vector<float>& v, size_t lag)
    {
        return lag <= v.size() ? v[v.size() - lag] : 0.0f;
    }

    // Terms in order: each signal now, one and two frames back.
    float Output(const float* z, std::array<float, 5> now, std::array<int, 5> history) const
    {
        return Sum(z, 15,
                   [&](size_t t)
                   { return t % 3 == 0 ? now[t / 3] : Past(m_Sig[history[t / 3]], t % 3); });
    }

  public:
    // Nearest 16-bit step, halves up, the sum in single precision; full scale
    // at the top saturates instead of wrapping.
    static float Step(float v)
    {
        const float top = 0.99998474f;
        const auto near = [](float x)
        { return static_cast<long>(std::floor(65536.5f + 32768.0f * x)); };
        const long k = v >= top                    ? 32767
                       : v < -top || std::isnan(v) ? -32768
                                                   : std::min(near(v) - 65536, 32767L);
        return std::isnan(v) ? 0.0f : static_cast<float>(k) / 32768.0f;
    }

  private:
    Record m_R;
    int32_t m_Channels;
    std::vector<float> m_W[4], m_F[4], m_Y[4], m_X[7];
    std::vector<float> m_Sig[9]; // Ml, cC, u1, u2, uBL, uBR, u3, u4, Ms
};

// Deterministic noise in [-amplitude, amplitude) keyed by any number.
float Noise(uint32_t key, float amplitude)
{
    key = (key ^ (key >> 16)) * 0x45D9F3Bu;
    key = (key ^ (key >> 16)) * 0x45D9F3Bu;
    return amplitude * (static_cast<float>((key ^ (key >> 16)) >> 8) / 8388608.0f - 1.0f);
}

using Block = std::vector<std::vector<float>>; // eight planar channels

// Frames of eight channels from a routine of (channel, frame).
template <typename F> Block Signal(size_t frames, F value)
{
    Block b(8, std::vector<float>(frames));
    for (size_t n = 0; n < 8 * frames; ++n)
    {
        b[n % 8][n / 8] = value(static_cast<int>(n % 8), n / 8);
    }
    return b;
}

// Noise on every channel for the first length frames, then silence.
Block Burst(size_t frames, size_t length, float amplitude)
{
    return Signal(frames,
                  [=](int c, size_t i) {
                      return i < length ? Noise(static_cast<uint32_t>(i * 8 + c), amplitude) : 0.0f;
                  });
}

std::unique_ptr<CDelayFxEngine> MakeEngine(int32_t rate, uint32_t channels)
{
    auto e = std::make_unique<CDelayFxEngine>();
    e->DelayFxReset();
    e->DelayFxSetRate(rate, channels - 1);
    return e;
}

// The block after the engine ran it in chunks cycling through the sizes given.
Block Process(CDelayFxEngine& e, Block b, std::initializer_list<int32_t> chunks)
{
    const auto frames = static_cast<int32_t>(b[0].size());
    auto it = chunks.begin();
    for (int32_t done = 0, n = 0; done < frames; done += n)
    {
        n = std::min(*it, frames - done);
        it = (it + 1 == chunks.end()) ? chunks.begin() : it + 1;
        float* t[8];
        for (int c = 0; c < 8; ++c)
        {
            t[c] = b[c].data() + done;
        }
        e.DelayFxProcess(t, t, n);
    }
    return b;
}

Block Stereo(const Block& b)
{
    return Block(b.begin(), b.begin() + 2);
}

// Rate slot, channel count, amplitude.
class DelayFxModel : public ::testing::TestWithParam<std::tuple<size_t, uint32_t, float>>
{
};

TEST_P(DelayFxModel, MatchesPerLineReferenceSampleForSample)
{
    const auto [slot, channels, amplitude] = GetParam();
    const RateFacts& f = Rates[slot];
    const size_t frames = 3 * static_cast<size_t>(f.cells);
    const Block in = Burst(frames, frames / 2, amplitude);
    auto e = MakeEngine(f.rate, channels);
    const Block out = Process(*e, in, {512, 1, 37, 480, 511});
    EXPECT_EQ(e->RateIndex(), f.index);
    EXPECT_EQ(e->MemoryLength(), f.cells);
    ReferenceNetwork ref(f, static_cast<int32_t>(channels));
    size_t mismatches = 0, nonzero = 0;
    for (size_t i = 0; i < frames; ++i)
    {
        const auto [left, right] = ref.Frame(in, i);
        const bool same = left == out[0][i] && right == out[1][i];
        if (!same && mismatches++ == 0)
        {
            ADD_FAILURE() << "first mismatch at frame " << i << ": " << out[0][i] << ", "
                          << out[1][i] << " against " << left << ", " << right;
        }
        nonzero += (left != 0.0f) + (right != 0.0f);
    }
    EXPECT_EQ(mismatches, 0u);
    EXPECT_GT(nonzero, frames); // the comparison saw signal, not silence
    EXPECT_EQ(Block(out.begin() + 2, out.end()), Block(in.begin() + 2, in.end()))
        << "channels 2 to 7 are left as they were";
}

// Non-finite samples among the noise enter as silence (the reference reads
// zeros there); calls of one frame, just under, at and over a block, over
// three blocks with one to three frames after the last whole vector, and one
// long call. Besides the scattered samples, each call has one in its last,
// second or third last frame.
TEST_P(DelayFxModel, MatchesReferenceWithNonFiniteSamplesInAnyCallLength)
{
    const auto [slot, channels, amplitude] = GetParam();
    const RateFacts& f = Rates[slot];
    const size_t frames = 2 * static_cast<size_t>(f.cells) + 1500;
    Block in = Burst(frames, frames, amplitude), clean = in;
    const float poison[] = {NAN, INFINITY, -INFINITY};
    const auto put = [&](size_t i, size_t k)
    {
        in[k % 8][i] = poison[k % 3];
        clean[k % 8][i] = 0.0f;
    };
    for (size_t i = 5; i < frames; i += 97)
    {
        put(i, i);
    }
    const std::initializer_list<int32_t> calls = {1, 127, 128, 129, 441, 442, 443, 3000};
    for (size_t end = 0, k = 0; end < frames; ++k)
    {
        end += static_cast<size_t>(calls.begin()[k % calls.size()]);
        const size_t fromEnd = 1 + k % 3;
        if (end >= fromEnd && end - fromEnd < frames)
        {
            put(end - fromEnd, k);
        }
    }
    const Block out = Process(*MakeEngine(f.rate, channels), in, calls);
    ReferenceNetwork ref(f, static_cast<int32_t>(channels));
    for (size_t i = 0; i < frames; ++i)
    {
        const auto [left, right] = ref.Frame(clean, i);
        ASSERT_EQ(out[0][i], left) << "frame " << i;
        ASSERT_EQ(out[1][i], right) << "frame " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(AllRates, DelayFxModel,
                         ::testing::Combine(::testing::Range<size_t>(0, 5),
                                            ::testing::Values(6u, 8u), ::testing::Values(0.3f)));
INSTANTIATE_TEST_SUITE_P(Saturating, DelayFxModel,
                         ::testing::Values(std::make_tuple(0, 8u, 1.5f),
                                           std::make_tuple(3, 6u, 1.5f)));
} // namespace

namespace
{
// The records keep the design's line lengths, tap counts and memory lengths,
// and the spacing after each feedback row is that line's length plus m. Every
// sparse weight is a whole 16-bit step, and no rate lets a filter give more
// gain (sum of magnitudes) than it has at 48000 Hz, beyond rounding.
TEST(DelayFxRecords, HoldTheDesignedShapeAtEveryRate)
{
    const Record base = Parse(DelayFxRateRecords[0], 2);
    for (const RateFacts& f : Rates)
    {
        SCOPED_TRACE(f.rate);
        EXPECT_EQ(DelayFxRateIndex(f.rate), f.index);
        EXPECT_EQ(DelayFxMemoryLengths[f.index], f.cells);
        const Record r = Parse(DelayFxRateRecords[f.index], f.readTaps);
        int32_t cells = 4 * 6 + 21;
        for (int k = 0; k < 4; ++k)
        {
            EXPECT_EQ(r.lengths[k], f.lengths[k]);
            EXPECT_EQ(r.spacing[k], f.lengths[k] + f.readTaps);
            cells += f.lengths[k] + f.readTaps;
        }
        for (int k = 0; k < 7; ++k)
        {
            EXPECT_EQ(static_cast<int32_t>(r.sparse[k].size()), f.sparseTaps[k]);
            cells += 2 * f.sparseTaps[k] + 1;
            double sum = 0.0, sum48 = 0.0;
            for (float w : r.sparse[k])
            {
                EXPECT_EQ(std::round(w * 32768.0f), w * 32768.0f) << "filter " << k;
                EXPECT_LT(std::fabs(w), 0.25f);
                sum += std::fabs(w);
            }
            for (float w : base.sparse[k])
            {
                sum48 += std::fabs(w);
            }
            EXPECT_LE(sum, sum48 + r.sparse[k].size() / 65536.0) << "filter " << k;
            EXPECT_GT(sum, 0.5 * sum48) << "filter " << k;
        }
        EXPECT_EQ(cells, f.cells) << "the memory map fills the memory exactly";
        size_t weights = 0;
        for (const auto& filter : r.sparse)
        {
            weights += filter.size();
        }
        EXPECT_LE(weights, size_t{CDelayFxEngine::MaxSparseWeights}) << "the engine has room";
    }
    int32_t records = 0;
    for (int32_t i = 0; i < DelayFxRateSlots; ++i)
    {
        records += DelayFxRateRecords[i] != nullptr;
        EXPECT_EQ(DelayFxRateRecords[i] == nullptr, DelayFxMemoryLengths[i] == 0) << i;
    }
    EXPECT_EQ(records, 5);
}

TEST(DelayFxRecords, SparseFiltersAtFortyEightKilohertzBeginAndEndAsDesigned)
{
    const Record r = Parse(DelayFxRateRecords[0], 2);
    const std::vector<float> f1 = {0.14974976f,  -0.077545166f, 0.010314941f,   -0.03225708f,
                                   0.031463623f, -0.016021729f, -0.0051269531f, -0.004119873f};
    const std::vector<float> f4 = {0.0012207031f, -0.040283203f, 0.014282227f,
                                   0.085083008f,  -0.088256836f, 0.043457031f};
    const std::vector<float> f6 = {0.00079345703f, 0.012023926f, 0.046447754f, 0.0080566406f};
    std::vector<float> got1(r.sparse[0].begin(), r.sparse[0].begin() + 6);
    got1.insert(got1.end(), r.sparse[0].end() - 2, r.sparse[0].end());
    EXPECT_EQ(got1, f1);
    EXPECT_EQ(std::vector<float>(r.sparse[3].begin(), r.sparse[3].begin() + 6), f4);
    EXPECT_EQ(std::vector<float>(r.sparse[5].begin(), r.sparse[5].begin() + 4), f6);
}

struct StepCase
{
    float value, expected;
};

// Just below the top the single-precision sum rounds up to the next step,
// which the 16-bit reduction would wrap to -1.0.
TEST(DelayFxRoundToStep, RoundsHalfUpAndSaturates)
{
    const float step = 1.0f / 32768.0f;
    const StepCase cases[] = {{1.2f, 32767.0f / 32768.0f},
                              {-1.2f, -1.0f},
                              {0.00001f, 0.0f},
                              {0.5f * step, step},
                              {-0.5f * step, 0.0f},
                              {-1.5f * step, -step},
                              {0.99998474f, 32767.0f / 32768.0f},
                              {std::nextafter(0.99998474f, 0.0f), 32767.0f / 32768.0f},
                              {32767.0f / 32768.0f, 32767.0f / 32768.0f},
                              {-0.99998474f, -32767.0f / 32768.0f},
                              {std::nextafter(-0.99998474f, -1.0f), -1.0f},
                              {INFINITY, 32767.0f / 32768.0f},
                              {-INFINITY, -1.0f},
                              {NAN, 0.0f}};
    for (const StepCase& c : cases)
    {
        EXPECT_EQ(DelayFxRoundToStep(c.value), c.expected) << c.value;
    }
}

// Every 4093rd bit pattern (all signs, exponents, NaNs and infinities) and
// every float within 64 of each edge of the top and bottom steps.
TEST(DelayFxRoundToStep, MatchesTheScalarModelAcrossTheFloats)
{
    size_t mismatches = 0;
    const auto check = [&mismatches](uint32_t bits)
    {
        const float v = std::bit_cast<float>(bits);
        const float step = ReferenceNetwork::Step(v);
        mismatches +=
            std::bit_cast<uint32_t>(DelayFxRoundToStep(v)) != std::bit_cast<uint32_t>(step);
    };
    for (uint64_t bits = 0; bits < (1ull << 32); bits += 4093)
    {
        check(static_cast<uint32_t>(bits));
    }
    for (const float edge : {0.99998474f, -0.99998474f, 32767.0f / 32768.0f, -1.0f})
    {
        for (uint32_t bits = std::bit_cast<uint32_t>(edge) - 64;
             bits != std::bit_cast<uint32_t>(edge) + 64; ++bits)
        {
            check(bits);
        }
    }
    EXPECT_EQ(mismatches, 0u);
}

TEST(DelayFxRateIndex, MapsRatesToRecords)
{
    const std::pair<int32_t, int32_t> cases[] = {{48000, 0},  {44100, 1},  {32000, 2},
                                                 {96000, 16}, {88200, 17}, {192000, 1},
                                                 {22050, 1},  {0, 1},      {-48000, 1}};
    for (const auto& [rate, index] : cases)
    {
        EXPECT_EQ(DelayFxRateIndex(rate), index) << rate;
    }
}

TEST(DelayFxEngine, OtherChannelCountsGiveSilenceFromSilentMemory)
{
    for (uint32_t channels : {1u, 2u, 4u, 7u})
    {
        auto e = MakeEngine(48000, channels);
        const Block out = Process(
            *e, Signal(700, [](int c, size_t i) { return 0.25f * (c + 1) * ((i % 3) - 1.0f); }),
            {512});
        EXPECT_EQ(e->ChannelsMinusOne(), channels - 1);
        EXPECT_EQ(Stereo(out), Block(2, std::vector<float>(700, 0.0f))) << channels;
    }
}

TEST(DelayFxEngine, LowFrequencyChannelFeedsBothFronts)
{
    const Block lfe = Process(
        *MakeEngine(48000, 6),
        Signal(4000, [](int c, size_t i) { return c == 3 && i < 300 ? 0.5f : 0.0f; }), {512});
    const Block fronts = Process(
        *MakeEngine(48000, 6),
        Signal(4000, [](int c, size_t i) { return c < 2 && i < 300 ? 0.5f : 0.0f; }), {512});
    EXPECT_EQ(Stereo(lfe), Stereo(fronts));
    EXPECT_NE(lfe[0][1000], 0.0f);
}

// Frame 0 from a silent memory holds only the current-value terms of the
// output filters: z19 cC + z22 u1 + z25 uBL + z28 u3 on the left.
TEST(DelayFxEngine, FirstFrameSeesOnlyCurrentValueTerms)
{
    const Record r = Parse(DelayFxRateRecords[0], 2);
    const Block out =
        Process(*MakeEngine(48000, 8),
                Signal(1, [](int c, size_t) { return c == 2 || c == 6 ? 0.25f : 0.0f; }), {1});
    const float cC = r.q[15] * 0.25f, uBL = r.q[20] * 0.25f;
    EXPECT_EQ(out[0][0], DelayFxRoundToStep(r.left[3] * cC + r.left[9] * uBL));
    EXPECT_EQ(out[1][0], DelayFxRoundToStep(r.right[3] * cC));
}

Block Tone(size_t frames, float step)
{
    return Signal(frames, [=](int c, size_t i) { return 0.15f * std::cos(step * i * (c + 1)); });
}

TEST(DelayFxEngine, RateChangeStartsFromSilentMemory)
{
    auto e = MakeEngine(48000, 8);
    Process(*e, Tone(2000, 0.01f), {512});
    e->DelayFxSetRate(96000, 7);
    EXPECT_EQ(e->RateIndex(), 0);
    const Block a = Process(*e, Tone(9000, 0.003f), {480});
    EXPECT_EQ(e->RateIndex(), 16);
    EXPECT_EQ(e->MemoryLength(), 7155);
    EXPECT_EQ(Stereo(a), Stereo(Process(*MakeEngine(96000, 8), Tone(9000, 0.003f), {512})));
}

TEST(DelayFxEngine, InvalidPendingSettingIsDroppedAndMemoryKept)
{
    auto e = MakeEngine(48000, 6);
    auto steady = MakeEngine(48000, 6);
    Process(*e, Tone(3000, 0.02f), {512});
    Process(*steady, Tone(3000, 0.02f), {512});
    e->DelayFxSetRate(96000, 8);
    EXPECT_EQ(e->DelayFxPendingValid(), 0);
    const Block silence(8, std::vector<float>(3000, 0.0f));
    const Block tail = Process(*e, silence, {512});
    EXPECT_EQ(e->RateIndex(), 0);
    EXPECT_EQ(e->ChannelsMinusOne(), 5u);
    EXPECT_EQ(e->DelayFxPendingValid(), 1);
    EXPECT_EQ(Stereo(tail), Stereo(Process(*steady, silence, {512})))
        << "the stored signal decays on";
    EXPECT_NE(tail[0][10], 0.0f);
}

struct ClearCase
{
    int32_t pendingRate, pendingChannels, index, cells;
    int32_t rate, channels; // a fresh engine of the setting that stays
};

// A clear adopts a valid pending setting whole and silences the memory; an
// invalid one is dropped and the current setting is silenced.
TEST(DelayFxEngine, ClearAdoptsOnlyAValidPendingSetting)
{
    const ClearCase cases[] = {{44100, 6, 1, 3307, 44100, 6},
                               {96000, 8, 16, 7155, 96000, 8},
                               {96000, 9, 0, 3588, 48000, 8}};
    for (const ClearCase& cc : cases)
    {
        SCOPED_TRACE(cc.pendingRate);
        auto e = MakeEngine(48000, 8);
        Process(*e, Tone(5000, 0.05f), {512});
        e->DelayFxSetRate(cc.pendingRate, static_cast<uint32_t>(cc.pendingChannels - 1));
        e->DelayFxClear();
        EXPECT_EQ(e->RateIndex(), cc.index);
        EXPECT_EQ(e->MemoryLength(), cc.cells);
        EXPECT_EQ(e->DelayFxPendingValid(), 1);
        EXPECT_EQ(Stereo(Process(*e, Tone(8000, 0.007f), {512})),
                  Stereo(Process(*MakeEngine(cc.rate, static_cast<uint32_t>(cc.channels)),
                                 Tone(8000, 0.007f), {512})));
    }
}

TEST(DelayFxEngine, DecaysToExactlyZero)
{
    for (const RateFacts& f : Rates)
    {
        const size_t burst = 2048, frames = 12 * static_cast<size_t>(f.cells);
        const Block out = Process(*MakeEngine(f.rate, 8), Burst(frames, burst, 0.9f), {512});
        size_t last = 0;
        for (size_t i = 0; i < frames; ++i)
        {
            last = (out[0][i] != 0.0f || out[1][i] != 0.0f) ? i : last;
        }
        EXPECT_GT(last, burst) << f.rate << ": the tail rings on";
        EXPECT_LT(last, frames - 4 * static_cast<size_t>(f.cells)) << f.rate;
    }
}

// A non-finite sample enters the network as silence: the output is the one
// of the same block with a 0 in its place.
TEST(DelayFxEngine, NonFiniteSamplesEnterAsSilence)
{
    for (const int channel : {0, 3, 7})
        for (const float value : {INFINITY, -INFINITY, NAN})
        {
            Block poisoned = Burst(4096, 2048, 0.5f), zeroed = poisoned;
            poisoned[channel][700] = value;
            zeroed[channel][700] = 0.0f;
            EXPECT_EQ(Stereo(Process(*MakeEngine(48000, 8), zeroed, {512})),
                      Stereo(Process(*MakeEngine(48000, 8), poisoned, {512})))
                << channel << " " << value;
        }
}

// Two finite samples summed into one input (a front and the low-frequency
// channel) overflow to infinity; once the block and the sparse filters'
// histories have passed, the memory holds only finite values and the output
// is signal again, wherever the frame lies in a call.
TEST(DelayFxEngine, RecoversFromAFrameThatOverflows)
{
    for (const size_t slot : {0u, 3u})
        for (const size_t fromEnd : {1u, 2u, 3u, 200u})
        {
            const RateFacts& f = Rates[slot];
            const size_t call = 443, at = 3 * call - fromEnd, frames = at + 4096;
            Block in = Burst(frames, frames, 0.3f);
            in[0][at] = in[3][at] = (fromEnd % 2 != 0 ? 3.4e38f : -3.4e38f);
            auto e = MakeEngine(f.rate, 8);
            const Block out = Process(*e, in, {static_cast<int32_t>(call)});
            size_t nonFinite = 0, silent = 0;
            for (int32_t i = 0; i < CDelayFxEngine::MemoryCells; ++i)
                nonFinite += !std::isfinite(e->Memory()[i]);
            const size_t from = at + 2 * CDelayFxEngine::BlockFrames + 2 * 42 + 2;
            for (size_t i = from; i < frames; ++i)
                silent += out[0][i] == 0.0f;
            EXPECT_EQ(nonFinite, 0u) << f.rate << " " << fromEnd;
            EXPECT_LT(silent, (frames - from) / 100) << f.rate << " " << fromEnd;
        }
}

// Flush-to-zero and denormals-are-zero off: a decaying tail would cycle
// through denormals in the memory, and so would subnormal input. Every cell
// of the memory is checked after every call (the lines, the sections' states,
// the sparse filters' and the output filters' histories).
TEST(DelayFxEngine, TheMemoryNeverHoldsADenormal)
{
    const unsigned saved = EmuGetMxcsr();
    EmuSetMxcsr(saved & ~0x8040u);
    for (const RateFacts& f : Rates)
    {
        auto e = MakeEngine(f.rate, 8);
        size_t denormals = 0;
        for (int32_t done = 0, call = 0; done < 8 * f.cells; done += 512, ++call)
        {
            // Subnormal noise into the silent network, then noise, then silence.
            const float amplitude = call < 2 ? 2e-38f : call == 2 ? 0.9f : 0.0f;
            Process(*e, Burst(512, 512, amplitude), {512});
            for (int32_t i = 0; i < CDelayFxEngine::MemoryCells; ++i)
                denormals += std::fpclassify(e->Memory()[i]) == FP_SUBNORMAL;
        }
        EXPECT_EQ(0u, denormals) << f.rate;
    }
    EmuSetMxcsr(saved);
}
} // namespace

namespace
{
// The stereo result of a run in chunks of one size into an output table of
// its own; the input channels come back as they went in.
Block ProcessApart(CDelayFxEngine& e, const Block& in, size_t chunk)
{
    Block work = in, out(2, std::vector<float>(in[0].size()));
    for (size_t done = 0; done < in[0].size(); done += chunk)
    {
        const size_t n = std::min(chunk, in[0].size() - done);
        float* from[8];
        float* to[2] = {out[0].data() + done, out[1].data() + done};
        for (int c = 0; c < 8; ++c)
        {
            from[c] = work[c].data() + done;
        }
        e.DelayFxProcess(from, to, static_cast<int32_t>(n));
    }
    EXPECT_EQ(work, in);
    return out;
}

// However the calls cut the stream (within the engine's blocks, at their
// edges, across them) and wherever the result goes, it is the same.
TEST(DelayFxEngine, ChunkSizesAndSeparateOutputTablesChangeNothing)
{
    const size_t chunks[] = {1, 3, 127, 128, 129, 400, 512, 4096};
    for (const size_t slot : {2u, 0u, 3u})
        for (const uint32_t channels : {6u, 8u})
        {
            const RateFacts& f = Rates[slot];
            const Block in = Burst(2 * static_cast<size_t>(f.cells) + 700, f.cells, 0.4f);
            const Block inPlace = Stereo(Process(*MakeEngine(f.rate, channels), in, {512}));
            for (const size_t chunk : chunks)
            {
                EXPECT_EQ(ProcessApart(*MakeEngine(f.rate, channels), in, chunk), inPlace)
                    << f.rate << " Hz, " << channels << " channels in chunks of " << chunk;
            }
        }
}

// A call of no frames (or of a negative count) writes nothing and leaves the
// network where it was.
TEST(DelayFxEngine, CallsOfNoFramesChangeNothing)
{
    const Block in = Burst(3000, 1500, 0.4f);
    const Block expected = Stereo(Process(*MakeEngine(96000, 8), in, {500}));
    for (const int32_t none : {0, -1, -512})
    {
        auto e = MakeEngine(96000, 8);
        Block work = in;
        for (size_t done = 0; done < 3000; done += 500)
        {
            float* t[8];
            for (int c = 0; c < 8; ++c)
            {
                t[c] = work[c].data() + done;
            }
            e->DelayFxProcess(t, t, none);
            EXPECT_EQ(work[0][done], in[0][done]) << none;
            EXPECT_EQ(work[1][done], in[1][done]) << none;
            e->DelayFxProcess(t, t, 500);
        }
        EXPECT_EQ(Stereo(work), expected) << none;
    }
}
} // namespace
