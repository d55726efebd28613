// What the effect nodes share: the walk over a processing call's chunks,
// full chunks first and then the rest, each table at its chunk's first frame
// in every channel.
#include <gtest/gtest.h>

#include <vector>

#include "effects/EffectPseudoControl.h"

TEST(EffectChunks, FullChunksThenTheRestEachAtItsOffset)
{
    const ULONG chunk = EFFECT_CHUNK_FRAMES;
    struct Case
    {
        ULONG Frames;
        std::vector<ULONG> Counts;
    } cases[] = {
        {0, {}},
        {1, {1}},
        {chunk - 1, {chunk - 1}},
        {chunk, {chunk}},
        {chunk + 1, {chunk, 1}},
        {2 * chunk + 3, {chunk, chunk, 3}},
    };
    std::vector<std::vector<float>> store(EFFECT_MAX_CHANNELS, std::vector<float>(2 * chunk + 3));
    float* buffers[EFFECT_MAX_CHANNELS];
    for (ULONG c = 0; c < EFFECT_MAX_CHANNELS; ++c)
        buffers[c] = store[c].data();
    for (const Case& c : cases)
    {
        std::vector<ULONG> counts;
        ULONG next = 0;
        bool placed = true;
        ForEachEffectChunk(buffers, c.Frames,
                           [&](float** table, ULONG count)
                           {
                               for (ULONG ch = 0; ch < EFFECT_MAX_CHANNELS; ++ch)
                                   placed = placed && table[ch] == buffers[ch] + next;
                               counts.push_back(count);
                               next += count;
                           });
        EXPECT_EQ(c.Counts, counts) << c.Frames;
        EXPECT_TRUE(placed) << c.Frames;
    }
}
