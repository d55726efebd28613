// The delay effect's signal network: a four-line feedback delay network with
// filtered feeds, seven sparse FIR filters on sum and difference pairs and
// short output filters, turning a 6- or 8-channel stream into two channels
// rounded to 16-bit steps. Every delay line, section, filter and output
// history lives in one memory inside the object, each signal in a window of
// its own, and the network runs in blocks shorter than its shortest line, so
// a block reads only what earlier blocks wrote to the lines and each stage
// runs over the whole block on SSE lanes. Coefficients come from the rate
// record of the current sample rate. No allocation, no lock: the owner
// serialises the calls (processing, format and flush).
#pragma once

#include <cstdint>

// A network output in full scale rounded to the nearest 16-bit step (halves
// up), saturating at 32767/32768 and -1.0.
float DelayFxRoundToStep(float value);

// Rate index of a sample rate: the slot of its record in the rate tables.
int32_t DelayFxRateIndex(int32_t sampleRate);

class CDelayFxEngine
{
  public:
    static constexpr int32_t MaxMemoryLength = 7155;
    // Frames run side by side: a multiple of the sparse filters' 32 and no
    // more than the shortest line's delay at any rate (400 frames).
    static constexpr int32_t BlockFrames = 128;
    static constexpr int32_t Lines = 4;
    // Cells a line's window has beyond its history: the window slides back
    // over its history at most once per LineSlack - BlockFrames frames.
    static constexpr int32_t LineSlack = 1024;
    // Weights of the seven sparse filters together, at most (the 96000 Hz record).
    static constexpr int32_t MaxSparseWeights = 262;

    CDelayFxEngine() {} // the owner runs DelayFxReset

    // 48000 Hz, one channel, silent memory.
    void DelayFxReset();
    // Records a setting that the next DelayFxProcess adopts when valid.
    void DelayFxSetRate(int32_t sampleRate, uint32_t channelsMinusOne);
    int32_t DelayFxPendingValid() const;
    // Adopts a valid pending setting (silent memory);
    // an invalid one is set back to the current one.
    void DelayFxApplyPending();
    // Silences the memory, adopting the pending setting when it is valid.
    void DelayFxClear();
    // Runs frames through the network: reads the channels of inputs, writes
    // the left and right results to outputs[0] and outputs[1] (frame n is
    // written after frame n is read, so the tables may be the same). Input
    // channels 2 to 7 are left as they are.
    void DelayFxProcess(float* const* inputs, float* const* outputs, int32_t frames);

    int32_t RateIndex() const { return m_RateIndex; }
    uint32_t ChannelsMinusOne() const { return m_ChannelsMinusOne; }
    int32_t MemoryLength() const { return m_MemoryLength; }
    // The lines' histories, four sections' states, the sparse filters' and
    // output filters' histories, each with room for a block after it: no
    // more than the network's cells, the sixteen windows' room and their
    // rounding to whole vectors.
    static constexpr int32_t MemoryCells =
        MaxMemoryLength + Lines * LineSlack + 16 * (BlockFrames + 4);
    const float* Memory() const { return m_Memory; } // MemoryCells floats

    // One block's signals, frame by frame, padded to whole SSE vectors.
    struct BlockScratch
    {
        float tail[8][4]; // the caller's last part vector, padded with silence
        float reads[Lines][BlockFrames];
        float feeds[BlockFrames][Lines]; // per frame, one lane per section
        float now[9][BlockFrames];       // the output filters' current values (the mixes' unused)
        float filtered[7][BlockFrames];
        float out[2][4]; // the last part vector's outputs
    };

  private:
    void Adopt();
    void RevertPending();

    int32_t m_RateIndex;
    uint32_t m_ChannelsMinusOne;
    int32_t m_PendingRateIndex;
    uint32_t m_PendingChannelsMinusOne;
    int32_t m_MemoryLength;
    int32_t m_LineFill[Lines]; // frames a line's window holds beyond its history
    // The sparse filters' weights of the current rate, each in four lanes.
    float m_SparseWeights[4 * MaxSparseWeights];
    float m_Memory[MemoryCells];
    BlockScratch m_Block;
};
