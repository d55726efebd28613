// Coefficient banks for the headphone-engine tests, addressed through the
// documented byte offsets of the bank (not through the engine's own table).
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "globaltopo/common/QVR/HeadphoneCoefficientBank.h"

namespace qvrtest
{
struct BankRun
{
    int32_t room;
    int32_t firstAngle; // angles of a run step by 5
    int32_t angles;
    int32_t headBytes;
    int32_t tailBytes;
    int32_t tailLen;
};
inline constexpr BankRun kRuns[] = {
    {3, 24, 4, 0, 163840, 7168},        {2, 24, 4, 221184, 385024, 3072},
    {1, 24, 4, 409600, 573440, 3072},   {3, 25, 4, 598016, 761856, 7168},
    {2, 25, 4, 819200, 983040, 5120},   {1, 25, 4, 1024000, 1187840, 3072},
    {3, 31, 1, 1212416, 1253376, 6144}, {2, 31, 1, 1302528, 1343488, 6144},
    {1, 31, 1, 1392640, 1433600, 6144},
};
inline constexpr int32_t kCtcAngles[] = {5, 10, 15, 20, 30};

inline const BankRun& FindRun(int32_t room, int32_t angle)
{
    for (const BankRun& run : kRuns)
        if (run.room == room && (angle - run.firstAngle) % 5 == 0 && angle >= run.firstAngle &&
            angle < run.firstAngle + 5 * run.angles)
            return run;
    return kRuns[0];
}

// Float indices of head filter f of a pair, tail filter e, and part (0 A,
// 1 B) of a crosstalk-cancellation pair.
inline int32_t HeadIndex(int32_t room, int32_t angle, int32_t f)
{
    const BankRun& run = FindRun(room, angle);
    return run.headBytes / 4 + (angle - run.firstAngle) / 5 * 10240 + f * 1024;
}
inline int32_t TailIndex(int32_t room, int32_t angle, int32_t e)
{
    return FindRun(room, angle).tailBytes / 4 + e * FindRun(room, angle).tailLen;
}
inline int32_t CtcIndex(int32_t angle, int32_t part)
{
    int32_t i = 0;
    while (kCtcAngles[i] != angle)
        ++i;
    return 1482752 / 4 + i * 512 + part * 256;
}

// A bank of zeros that tests fill with their own filters.
struct TestBank
{
    std::vector<float> data = std::vector<float>(HEADPHONE_BANK_FLOATS, 0.0f);
    float* Head(int32_t room, int32_t angle, int32_t f) { return &data[HeadIndex(room, angle, f)]; }
    float* Tail(int32_t room, int32_t angle, int32_t e) { return &data[TailIndex(room, angle, e)]; }
    float* Ctc(int32_t angle, int32_t part) { return &data[CtcIndex(angle, part)]; }
    // Unit impulses at tap 0 of the direct front filters of every pair: the
    // engine then adds channel 0 (with 3) to output 0 and channel 1 (with 3)
    // to output 1 at twice the level, with no delay of its own.
    static TestBank Direct()
    {
        TestBank bank;
        for (const BankRun& run : kRuns)
            for (int32_t a = 0; a < run.angles; ++a)
                bank.Head(run.room, run.firstAngle + 5 * a, 0)[0] =
                    bank.Head(run.room, run.firstAngle + 5 * a, 3)[0] = 1.0f;
        return bank;
    }
};

inline std::vector<float> RandomSignal(size_t n, uint32_t seed, float scale = 1.0f)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(-scale, scale);
    std::vector<float> v(n);
    for (float& x : v)
        x = dist(gen);
    return v;
}

// Channel buffers with a table of pointers at a frame offset, as the engine
// takes them; random when seeded, else filled with value.
struct ChannelSet
{
    ChannelSet(int count, size_t frames, uint32_t seed, float value = 0.0f)
    {
        for (int c = 0; c < count; ++c)
            data.push_back(seed != 0 ? RandomSignal(frames, seed + c)
                                     : std::vector<float>(frames, value));
    }
    float* const* At(size_t offset)
    {
        for (size_t c = 0; c < data.size(); ++c)
            ptr[c] = data[c].data() + offset;
        return ptr;
    }
    std::vector<std::vector<float>> data;
    float* ptr[8] = {};
};
} // namespace qvrtest
