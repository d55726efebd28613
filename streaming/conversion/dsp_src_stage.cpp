#include "streaming/conversion/dsp_src_stage.h"

namespace
{
template <class T> void FreeBlock(T*& block)
{
    if (block != nullptr)
    {
        ExFreePoolWithTag(block, SRC_STAGE_BUFFER_POOL_TAG);
        block = nullptr;
    }
}

PVOID AllocateBlock(LONG bytes)
{
    return ExAllocatePoolWithTag(NonPagedPool, (SIZE_T)bytes, SRC_STAGE_BUFFER_POOL_TAG);
}
} // namespace

CDspSrcStage::CDspSrcStage()
    : m_StateMemoryUp{}, m_StateMemoryDown{}, m_State{}, m_Output{}, m_Count{},
      m_BufferLength(SRC_STAGE_BUFFER_SAMPLES), m_Mode(SRC_MODE_DOWN), m_Allocated(0)
{
}

CDspSrcStage::~CDspSrcStage()
{
    for (ULONG c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c)
    {
        FreeBlock(m_StateMemoryUp[c]);
        FreeBlock(m_StateMemoryDown[c]);
        FreeBlock(m_Output[c]);
    }
}

bool CDspSrcStage::AllocateStageBuffers()
{
    const LONG up = StateSizeUp();
    const LONG down = StateSizeDown();
    if (m_Allocated != 0 || up <= 0 || down <= 0)
    {
        return false;
    }
    for (ULONG c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c)
    {
        m_StateMemoryUp[c] = static_cast<PUCHAR>(AllocateBlock(up));
        m_StateMemoryDown[c] = static_cast<PUCHAR>(AllocateBlock(down));
        m_Output[c] = static_cast<float*>(AllocateBlock(m_BufferLength * sizeof(float)));
        if (m_StateMemoryUp[c] == nullptr || m_StateMemoryDown[c] == nullptr ||
            m_Output[c] == nullptr)
        {
            // What was allocated goes with the stage's destruction.
            return false;
        }
    }
    m_Allocated = 1;
    return true;
}

void CDspSrcStage::ConsumeStageOutput(ULONG channel, ULONG k)
{
    const ULONG count = m_Count[channel];
    if (k > count)
    {
        return;
    }
    if (k != 0 && k < count)
    {
        DspMove32f(m_Output[channel] + k, m_Output[channel], (int32_t)(count - k));
    }
    m_Count[channel] = count - k;
}

void CDspSrcStage::ProcessChannels(CDspSrcStage* previous, ULONG channels)
{
    ProcessEach(previous, 0, channels);
}

void CDspSrcStage::ProcessEach(CDspSrcStage* previous, ULONG first, ULONG channels)
{
    for (ULONG c = first; c < channels; ++c)
    {
        ULONG count = previous->GetCount(c);
        if (count == 0)
        {
            continue;
        }
        Process(c, previous->GetOutput(c), &count);
        previous->ConsumeStageOutput(c, count);
    }
}

void CDspSrcStage::ClearCounts()
{
    for (ULONG& count : m_Count)
    {
        count = 0;
    }
}
