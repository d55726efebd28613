// Base of the stages of the sample-rate converters: per channel a filter
// state for each direction and an output buffer that the stage appends to and
// the next stage (or the converter's output) consumes from the front. All of
// it is allocated once, at creation, from non-paged pool.
#pragma once

#include <new>

#include "primitives/dsp.h"
#include "streaming/conversion/channel_conversion.h"

inline constexpr ULONG SRC_STAGE_BUFFER_POOL_TAG = POOL_TAG("SRCX");
// Samples each channel's output buffer holds.
inline constexpr ULONG SRC_STAGE_BUFFER_SAMPLES = 7680;

// Direction of a resampling stage.
enum : UCHAR
{
    SRC_MODE_DOWN = 0,
    SRC_MODE_UP = 1
};

class CDspSrcStage
{
  public:
    CDspSrcStage();
    virtual ~CDspSrcStage();
    CDspSrcStage(const CDspSrcStage&) = delete;
    CDspSrcStage& operator=(const CDspSrcStage&) = delete;

    // Bytes of a filter state for the up (mode 1) and down (mode 0) direction.
    virtual LONG StateSizeUp() = 0;
    virtual LONG StateSizeDown() = 0;
    // Appends the conversion of up to *count input samples of one channel to
    // its output buffer; *count returns the samples consumed.
    virtual void Process(ULONG channel, const float* input, ULONG* count) = 0;
    // Clears the history of the current mode and the output buffers.
    virtual void Reset() = 0;
    // Runs the samples that the stage before holds for channels 0..channels-1
    // through this one; the stage before gives up what was consumed.
    virtual void ProcessChannels(CDspSrcStage* previous, ULONG channels);

    // The 24 per-channel blocks; all or nothing, once.
    bool AllocateStageBuffers();
    // Drops the first k samples of a channel's output (nothing when it holds fewer).
    void ConsumeStageOutput(ULONG channel, ULONG k);

    void SetMode(UCHAR mode) { m_Mode = mode; }
    UCHAR GetMode() const { return m_Mode; }
    float* GetOutput(ULONG channel) const { return m_Output[channel]; }
    ULONG GetCount(ULONG channel) const { return m_Count[channel]; }

  protected:
    // ProcessChannels one channel at a time, from channel first on.
    void ProcessEach(CDspSrcStage* previous, ULONG first, ULONG channels);
    ULONG Room(ULONG channel) const { return m_BufferLength - m_Count[channel]; }
    void ClearCounts();

    PUCHAR m_StateMemoryUp[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    PUCHAR m_StateMemoryDown[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    DspFirState32f* m_State[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    float* m_Output[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    ULONG m_Count[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    ULONG m_BufferLength;
    UCHAR m_Mode;
    UCHAR m_Allocated;
};

// Allocates and constructs a stage in non-paged pool (tag "DSPS"), null on failure.
template <class Stage, class... Args> Stage* NewSrcStage(Args... args)
{
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, sizeof(Stage), DSP_STAGE_POOL_TAG);
    return block != nullptr ? new (block) Stage(args...) : nullptr;
}

// Destroys a stage made by NewSrcStage and clears the pointer.
template <class Stage> void DeleteSrcStage(Stage*& stage)
{
    if (stage != nullptr)
    {
        stage->~Stage();
        ExFreePoolWithTag(stage, DSP_STAGE_POOL_TAG);
        stage = nullptr;
    }
}
