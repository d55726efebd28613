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
inline constexpr int32_t kCtcBytes = 1482752;
inline constexpr int32_t kCtcAngles[] = {5, 10, 15, 20, 30};

inline const BankRun* FindRun(int32_t room, int32_t angle)
{
    for (const BankRun& run : kRuns)
    {
        const int32_t i = (angle - run.firstAngle) / 5;
        if (run.room == room && (angle - run.firstAngle) % 5 == 0 && i >= 0 && i < run.angles)
            return &run;
    }
    return nullptr;
}

// Float index of head filter f of a pair, of tail filter e, of CTC pair part.
inline int32_t HeadIndex(int32_t room, int32_t angle, int32_t f)
{
    const BankRun* run = FindRun(room, angle);
    return run->headBytes / 4 + (angle - run->firstAngle) / 5 * 10240 + f * 1024;
}
inline int32_t TailIndex(int32_t room, int32_t angle, int32_t e)
{
    const BankRun* run = FindRun(room, angle);
    return run->tailBytes / 4 + e * run->tailLen;
}
inline int32_t TailLen(int32_t room, int32_t angle)
{
    return FindRun(room, angle)->tailLen;
}
inline int32_t CtcIndex(int32_t angle, int32_t part)
{
    for (int32_t i = 0; i < 5; ++i)
    {
        if (kCtcAngles[i] == angle)
            return kCtcBytes / 4 + i * 512 + part * 256;
    }
    return -1;
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
        {
            for (int32_t a = 0; a < run.angles; ++a)
            {
                bank.Head(run.room, run.firstAngle + 5 * a, 0)[0] = 1.0f;
                bank.Head(run.room, run.firstAngle + 5 * a, 3)[0] = 1.0f;
            }
        }
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
} // namespace qvrtest
