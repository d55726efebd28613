// The delay effect's signal network: a four-line feedback delay network with
// filtered feeds, seven sparse FIR filters on sum and difference pairs and
// short output filters, turning a 6- or 8-channel stream into two channels
// rounded to 16-bit steps. Every delay memory lives in one circular buffer
// inside the object, addressed at fixed depths below a position that advances
// one cell per frame; the buffer length and every coefficient come from the
// rate record of the current sample rate. No allocation, no lock: the owner
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

    CDelayFxEngine() {} // the owner runs DelayFxReset

    // 48000 Hz, one channel, silent memory.
    void DelayFxReset();
    // Records a setting that the next DelayFxProcess adopts when valid.
    void DelayFxSetRate(int32_t sampleRate, uint32_t channelsMinusOne);
    int32_t DelayFxPendingValid() const;
    // Adopts a valid pending setting (silent memory, position at the start);
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
    const float* Memory() const { return m_MemoryStart; }

  private:
    void Adopt();
    void RevertPending();

    int32_t m_RateIndex;
    uint32_t m_ChannelsMinusOne;
    int32_t m_PendingRateIndex;
    uint32_t m_PendingChannelsMinusOne;
    int32_t m_MemoryLength;
    float* m_MemoryStart;
    float* m_Position;
    float m_Memory[MaxMemoryLength + 1];
};
