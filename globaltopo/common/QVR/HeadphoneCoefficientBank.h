// The constant filter bank of the headphone engine and its layout: head
// blocks of ten 1024-tap filters per room and angle code, a tail block of two
// long filters per room and angle set, and the crosstalk-cancellation pairs.
// The data come from scripts/gen_qvr_bank.py, which documents how they are
// made and checks the properties the engine relies on.
#pragma once

#include <cstdint>

inline constexpr int32_t HEADPHONE_BANK_FLOATS = 373248;
inline constexpr int32_t HEADPHONE_HEAD_FILTERS = 10;
inline constexpr int32_t HEADPHONE_HEAD_LEN = 1024;
inline constexpr int32_t HEADPHONE_TAIL_FILTERS = 2;
inline constexpr int32_t HEADPHONE_MAX_TAIL_LEN = 7168;
inline constexpr int32_t HEADPHONE_CTC_TAPS = 256;
inline constexpr int32_t HEADPHONE_HEAD_BLOCK = HEADPHONE_HEAD_FILTERS * HEADPHONE_HEAD_LEN;

extern "C" const float HeadphoneCoefficientBank[HEADPHONE_BANK_FLOATS];

// One run of head blocks (one per angle code, in the order listed) with the
// tail they share. Offsets count floats from the start of the bank.
struct HeadphoneBankRun
{
    int32_t room;
    int32_t angles[4];
    int32_t angleCount;
    int32_t headOffset;
    int32_t tailOffset;
    int32_t tailLen;
};
inline constexpr int32_t HEADPHONE_BANK_RUNS = 9;

// Crosstalk-cancellation angles and where their pairs start (A, then B).
struct HeadphoneCtcEntry
{
    int32_t angle;
    int32_t offset;
};
inline constexpr int32_t HEADPHONE_CTC_ENTRIES = 5;
inline constexpr HeadphoneBankRun HeadphoneBankRuns[HEADPHONE_BANK_RUNS] = {
    {3, {24, 29, 34, 39}, 4, 0, 40960, 7168},
    {2, {24, 29, 34, 39}, 4, 55296, 96256, 3072},
    {1, {24, 29, 34, 39}, 4, 102400, 143360, 3072},
    {3, {25, 30, 35, 40}, 4, 149504, 190464, 7168},
    {2, {25, 30, 35, 40}, 4, 204800, 245760, 5120},
    {1, {25, 30, 35, 40}, 4, 256000, 296960, 3072},
    {3, {31}, 1, 303104, 313344, 6144},
    {2, {31}, 1, 325632, 335872, 6144},
    {1, {31}, 1, 348160, 358400, 6144},
};

inline constexpr HeadphoneCtcEntry HeadphoneCtcEntries[HEADPHONE_CTC_ENTRIES] = {
    {5, 370688}, {10, 371200}, {15, 371712}, {20, 372224}, {30, 372736},
};

// The runs follow one another without gaps and end where the pairs begin.
consteval bool HeadphoneBankLayoutIsContiguous()
{
    int32_t next = 0;
    for (const HeadphoneBankRun& run : HeadphoneBankRuns)
    {
        if (run.headOffset != next ||
            run.tailOffset != next + run.angleCount * HEADPHONE_HEAD_BLOCK)
            return false;
        next = run.tailOffset + HEADPHONE_TAIL_FILTERS * run.tailLen;
    }
    for (const HeadphoneCtcEntry& entry : HeadphoneCtcEntries)
    {
        if (entry.offset != next)
            return false;
        next += 2 * HEADPHONE_CTC_TAPS;
    }
    return next == HEADPHONE_BANK_FLOATS;
}
static_assert(HeadphoneBankLayoutIsContiguous());

// Offsets of the head block and tail block of a room code and angle code, and
// the tail length; false when the bank has no such pair.
bool HeadphoneBankFind(int32_t room, int32_t angle, int32_t* headOffset, int32_t* tailOffset,
                       int32_t* tailLen);
// Offset of the pair of a crosstalk-cancellation angle; -1 when it has none.
int32_t HeadphoneBankFindCtc(int32_t angle);
