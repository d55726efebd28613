// The engine's processing of one buffer: chunks of 512 frames through the
// three node lists, a failing node stopping the pass, PCM round trips
// against integer arithmetic (bit-exact at unit gain, saturating beyond full
// scale), float streams on the caller's buffer, the refusals, and the SSE
// control register around the pass.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/cpu/cpu.h"
#include "platform/kernel/emu.h"
#include "tests/driver/frame_doubles.h"

namespace
{
constexpr ULONG kNodeTag = POOL_TAG("TNod");
constexpr unsigned kFlushToZero = 0x8000;
constexpr unsigned kRoundingField = 0x6000;

// An engine whose processing is the real one.
class ProcessingEngine : public CStreamEngine
{
  public:
    ProcessingEngine() : CStreamEngine(nullptr, 0x42) {}
    void UseFormat(const WAVEFORMATEXTENSIBLE& format) { m_CurrentWaveFormat = format; }
    CPtrList* StageList(int i) const { return i == 2 ? m_StageList2 : m_StageList3; }
    float** Channels() const { return m_ChannelBuffers; }
};

struct NodeCall
{
    std::string Node;
    bool Flush;
    PVOID Buffer;
    ULONG Frames;
    std::vector<float> FirstChannel; // PCM: channel 0 as the node found it
    unsigned Mxcsr;
    KIRQL Irql;
};

// Logs each call; scales PCM samples by its gain; fails on a chosen call.
class ScriptNode : public CUnknown, public IChainNode
{
  public:
    ScriptNode(std::string name, std::vector<NodeCall>* log)
        : CUnknown(nullptr), Name(name), Log(log)
    {
    }
    DECLARE_STD_UNKNOWN()
    STDMETHODIMP Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP SetFormat(PWAVEFORMATEX) override { return STATUS_SUCCESS; }
    STDMETHODIMP ResetStages() override { return STATUS_SUCCESS; }
    STDMETHODIMP Process(PWAVEFORMATEX format, PVOID buffer, ULONG frames) override
    {
        return Run(false, format, buffer, frames);
    }
    STDMETHODIMP Flush(PWAVEFORMATEX format, PVOID buffer, ULONG frames) override
    {
        return Run(true, format, buffer, frames);
    }

    std::string Name;
    std::vector<NodeCall>* Log;
    bool Pcm = true;
    float Gain = 1.0f;
    ULONG FailOnCall = 0; // 1-based; 0 never
    NTSTATUS Result = STATUS_SUCCESS;
    ULONG Calls = 0;

  private:
    NTSTATUS Run(bool flush, PWAVEFORMATEX format, PVOID buffer, ULONG frames)
    {
        ++Calls;
        NodeCall call = {Name, flush, buffer, frames, {}, EmuGetMxcsr(), KeGetCurrentIrql()};
        auto channels = static_cast<float**>(buffer);
        if (Pcm)
            call.FirstChannel.assign(channels[0], channels[0] + frames);
        Log->push_back(call);
        if (Calls == FailOnCall)
            return STATUS_DEVICE_DATA_ERROR;
        for (ULONG c = 0; Pcm && c < format->nChannels; ++c)
            for (ULONG i = 0; i < frames; ++i)
                channels[c][i] *= Gain;
        return Result;
    }
};

NTSTATUS ScriptNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object)
{
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IChainNode))
    {
        *object = static_cast<IChainNode*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
}

class Processing : public testing::Test
{
  protected:
    void SetUp() override
    {
        engine = new (NonPagedPool, kNodeTag) ProcessingEngine();
        engine->AddRef();
        ASSERT_EQ(STATUS_SUCCESS, engine->OpenStreamEngineCallback(STREAM_DIRECTION_RENDER));
        ASSERT_EQ(STATUS_SUCCESS, engine->AllocateStreamBuffers());
    }
    void TearDown() override { EXPECT_EQ(0u, engine->Release()); }

    // A node in list 1, 2 or 3; the engine holds the only reference.
    ScriptNode* Add(int list, const char* name)
    {
        auto node = new (NonPagedPool, kNodeTag) ScriptNode(name, &log);
        node->AddRef();
        if (list == 1)
        {
            EXPECT_EQ(STATUS_SUCCESS, engine->AddProcessingNode(node));
            node->Release();
        }
        else
            EXPECT_NE(nullptr, engine->StageList(list)->AddTail(static_cast<IChainNode*>(node)));
        return node;
    }
    std::vector<std::string> Trace() const
    {
        std::vector<std::string> trace;
        for (const NodeCall& call : log)
            trace.push_back(call.Node + (call.Flush ? " flush " : " ") +
                            std::to_string(call.Frames));
        return trace;
    }

    ProcessingEngine* engine = nullptr;
    std::vector<NodeCall> log;
};

std::vector<SHORT> Ramp16(size_t count, int step)
{
    std::vector<SHORT> samples(count);
    for (size_t i = 0; i < count; ++i)
        samples[i] = (SHORT)((int)(i * step) - 32768);
    return samples;
}

TEST_F(Processing, TwelveHundredFramesRunAsChunksOf512And512And176ThroughEveryList)
{
    engine->UseFormat(FormatRecord(2, 48000, 16));
    Add(1, "a");
    Add(2, "b");
    Add(3, "c");
    std::vector<SHORT> samples = Ramp16(2400, 27);
    const std::vector<SHORT> original = samples;
    ASSERT_EQ(STATUS_SUCCESS, engine->ProcessBuffer(samples.data(), 4800));
    EXPECT_EQ(std::vector<std::string>({"a 512", "b 512", "c flush 512", "a 512", "b 512",
                                        "c flush 512", "a 176", "b 176", "c flush 176"}),
              Trace());
    // Every node gets the per-channel buffers; channel 0 holds the left
    // samples of its chunk over 32768.
    const size_t starts[] = {0, 512, 1024};
    for (size_t i = 0; i < log.size(); ++i)
    {
        EXPECT_EQ(static_cast<PVOID>(engine->Channels()), log[i].Buffer);
        const size_t first = starts[i / 3];
        for (size_t f = 0; f < log[i].Frames; ++f)
            ASSERT_EQ((float)original[2 * (first + f)] / 32768.0f, log[i].FirstChannel[f]) << f;
    }
    EXPECT_EQ(original, samples);
}

TEST_F(Processing, AFailingNodeStopsThePassAndLeavesTheRestAsItWas)
{
    engine->UseFormat(FormatRecord(2, 48000, 16));
    ScriptNode* a = Add(1, "a");
    a->Gain = 0.5f;
    a->FailOnCall = 2;
    Add(1, "b");
    Add(2, "c");
    std::vector<SHORT> samples = Ramp16(2400, 27);
    const std::vector<SHORT> original = samples;
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, engine->ProcessBuffer(samples.data(), 4800));
    EXPECT_EQ(std::vector<std::string>({"a 512", "b 512", "c 512", "a 512"}), Trace());
    // The first chunk halved (toward zero), the failed one and the last untouched.
    for (size_t i = 0; i < 1024; ++i)
        ASSERT_EQ((SHORT)(original[i] / 2), samples[i]) << i;
    for (size_t i = 1024; i < samples.size(); ++i)
        ASSERT_EQ(original[i], samples[i]) << i;
}

TEST_F(Processing, PositiveStatusesGoOnAndTheLastOneIsReturned)
{
    engine->UseFormat(FormatRecord(1, 48000, 16));
    ScriptNode* a = Add(1, "a");
    ScriptNode* b = Add(2, "b");
    a->Result = STATUS_PENDING;
    std::vector<SHORT> samples(600, 1000);
    EXPECT_EQ(STATUS_SUCCESS, engine->ProcessBuffer(samples.data(), 1200));
    EXPECT_EQ(std::vector<std::string>({"a 512", "b 512", "a 88", "b 88"}), Trace());
    a->Result = STATUS_SUCCESS;
    b->Result = STATUS_PENDING;
    EXPECT_EQ(STATUS_PENDING, engine->ProcessBuffer(samples.data(), 1200));
}

// ----------------------------------------------------------------------------
// Round trips

// One sample of `bits` in its little-endian container, read and written.
LONGLONG ReadSample(const std::vector<UCHAR>& bytes, size_t i, USHORT bits)
{
    const size_t width = bits / 8;
    ULONGLONG raw = 0;
    for (size_t b = 0; b < width; ++b)
        raw |= (ULONGLONG)bytes[i * width + b] << (8 * b);
    const int shift = 64 - bits;
    return (LONGLONG)(raw << shift) >> shift;
}

std::vector<UCHAR> Pack(const std::vector<LONGLONG>& samples, USHORT bits)
{
    const size_t width = bits / 8;
    std::vector<UCHAR> bytes(samples.size() * width);
    for (size_t i = 0; i < samples.size(); ++i)
        for (size_t b = 0; b < width; ++b)
            bytes[i * width + b] = (UCHAR)((ULONGLONG)samples[i] >> (8 * b));
    return bytes;
}

// Full scale, its neighbours, zero, and a spread between; 32-bit values are
// those a float holds exactly (24 significant bits).
std::vector<LONGLONG> EdgeSamples(USHORT bits)
{
    const LONGLONG top = (1LL << (bits - 1)) - (bits == 32 ? 128 : 1);
    const LONGLONG bottom = -(1LL << (bits - 1));
    const LONGLONG step = bits == 32 ? 256 : 1;
    std::vector<LONGLONG> samples = {top, top - step, bottom, bottom + step, 0, step, -step};
    for (LONGLONG v = bottom; v < top - 4096 * step; v += (top / 997) / step * step + step)
        samples.push_back(v);
    return samples;
}

TEST_F(Processing, AtUnitGainEveryWidthComesBackBitExact)
{
    for (USHORT bits : {16, 24, 32})
    {
        engine->UseFormat(FormatRecord(2, 48000, bits));
        if (log.empty())
            Add(1, "unit");
        std::vector<LONGLONG> samples = EdgeSamples(bits);
        if (samples.size() % 2 != 0)
            samples.push_back(1);
        std::vector<UCHAR> bytes = Pack(samples, bits);
        const std::vector<UCHAR> original = bytes;
        ASSERT_EQ(STATUS_SUCCESS, engine->ProcessBuffer(bytes.data(), (LONG)bytes.size()));
        EXPECT_EQ(original, bytes) << bits;
        EXPECT_FALSE(log.empty());
    }
}

TEST_F(Processing, FullScaleSixteenBitsIsJustBelowOneAndComesBack)
{
    engine->UseFormat(FormatRecord(1, 48000, 16));
    Add(1, "a");
    SHORT samples[2] = {0x7FFF, (SHORT)0x8000};
    ASSERT_EQ(STATUS_SUCCESS, engine->ProcessBuffer(samples, 4));
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ(32767.0f / 32768.0f, log[0].FirstChannel[0]);
    EXPECT_EQ(-1.0f, log[0].FirstChannel[1]);
    EXPECT_EQ(0x7FFF, samples[0]);
    EXPECT_EQ((SHORT)0x8000, samples[1]);
}

TEST_F(Processing, ScaledSamplesSaturateAtFullScaleAndRoundAsEachWidthDoes)
{
    struct Case
    {
        USHORT Bits;
        float Gain;
        std::vector<LONGLONG> In, Out;
    };
    const LONGLONG max24 = 0x7FFFFF, min24 = -0x800000;
    const LONGLONG max32 = 0x7FFFFFFF, min32 = -0x7FFFFFFF - 1;
    const Case cases[] = {
        // Twice full scale stops at the largest and smallest values.
        {16,
         2.0f,
         {0x4000, 0x3FFF, -0x4000, -0x4001, 0x7FFF, -0x8000},
         {0x7FFF, 0x7FFE, -0x8000, -0x8000, 0x7FFF, -0x8000}},
        {16, -1.0f, {-0x8000, 0x7FFF, 1}, {0x7FFF, -0x7FFF, -1}},
        {24, 2.0f, {0x400000, 0x3FFFFF, -0x400001, max24}, {max24, 0x7FFFFE, min24, max24}},
        {24, -1.0f, {min24, max24}, {max24, -max24}},
        {32, 2.0f, {0x40000000, 0x3FFFFF00, -0x40000100, min32}, {max32, 0x7FFFFE00, min32, min32}},
        {32, -1.0f, {min32, 0x7FFFFF00}, {max32, -0x7FFFFF00}},
        // Halves: 16 and 32 bits round toward zero, 24 bits to the even neighbour.
        {16, 0.5f, {3, -3, 5, -5}, {1, -1, 2, -2}},
        {24, 0.5f, {3, -3, 5, -5}, {2, -2, 2, -2}},
        {32, 0.5f, {0x300, -0x300, 0x7FFFFF00}, {0x180, -0x180, 0x3FFFFF80}},
    };
    for (const Case& c : cases)
    {
        log.clear();
        ProcessingEngine* fresh = new (NonPagedPool, kNodeTag) ProcessingEngine();
        fresh->AddRef();
        ASSERT_EQ(STATUS_SUCCESS, fresh->OpenStreamEngineCallback(STREAM_DIRECTION_RENDER));
        ASSERT_EQ(STATUS_SUCCESS, fresh->AllocateStreamBuffers());
        fresh->UseFormat(FormatRecord(1, 48000, c.Bits));
        auto node = new (NonPagedPool, kNodeTag) ScriptNode("gain", &log);
        node->Gain = c.Gain;
        node->AddRef();
        ASSERT_EQ(STATUS_SUCCESS, fresh->AddProcessingNode(node));
        node->Release();
        std::vector<UCHAR> bytes = Pack(c.In, c.Bits);
        ASSERT_EQ(STATUS_SUCCESS, fresh->ProcessBuffer(bytes.data(), (LONG)bytes.size()));
        for (size_t i = 0; i < c.Out.size(); ++i)
            EXPECT_EQ(c.Out[i], ReadSample(bytes, i, c.Bits))
                << c.Bits << " bits, gain " << c.Gain << ", sample " << i;
        EXPECT_EQ(0u, fresh->Release());
    }
}

// ----------------------------------------------------------------------------
// Float streams and the stage operations

TEST_F(Processing, FloatStreamsRunTheFirstListOnTheCallersBufferOnly)
{
    for (bool extensible : {false, true})
    {
        log.clear();
        WAVEFORMATEXTENSIBLE format = FormatRecord(2, 48000, 32, WAVE_FORMAT_IEEE_FLOAT);
        if (!extensible)
            format.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
        engine->UseFormat(format);
        if (extensible)
        {
            Add(1, "a")->Pcm = false;
            Add(2, "b");
            Add(3, "c");
        }
        std::vector<float> samples(2400);
        for (size_t i = 0; i < samples.size(); ++i)
            samples[i] = (float)i * 1e-3f;
        const std::vector<float> original = samples;
        ASSERT_EQ(STATUS_SUCCESS, engine->ProcessBuffer(samples.data(), 9600));
        EXPECT_EQ(original, samples);
        if (!extensible)
        {
            EXPECT_TRUE(log.empty()); // no nodes yet
            continue;
        }
        ASSERT_EQ(std::vector<std::string>({"a 512", "a 512", "a 176"}), Trace());
        EXPECT_EQ(static_cast<PVOID>(samples.data()), log[0].Buffer);
        EXPECT_EQ(static_cast<PVOID>(samples.data() + 1024), log[1].Buffer);
        EXPECT_EQ(static_cast<PVOID>(samples.data() + 2048), log[2].Buffer);
        // The stage operations of the per-channel lists run nothing on floats.
        log.clear();
        EXPECT_EQ(STATUS_SUCCESS, engine->ProcessBufferStage2(samples.data(), 9600));
        EXPECT_EQ(STATUS_SUCCESS, engine->ProcessBufferStage3(samples.data(), 9600));
        EXPECT_TRUE(log.empty());
    }
}

TEST_F(Processing, EachStageOperationRunsItsOwnListInChunks)
{
    engine->UseFormat(FormatRecord(2, 48000, 16));
    Add(1, "a");
    Add(2, "b");
    Add(3, "c");
    std::vector<SHORT> samples = Ramp16(2400, 27);
    const std::vector<SHORT> original = samples;
    struct Case
    {
        NTSTATUS (CStreamEngine::*Operation)(PVOID, LONG);
        std::vector<std::string> Trace;
    };
    const Case cases[] = {
        {&CStreamEngine::ProcessBufferStage1, {"a 512", "a 512", "a 176"}},
        {&CStreamEngine::ProcessBufferStage2, {"b 512", "b 512", "b 176"}},
        {&CStreamEngine::ProcessBufferStage3, {"c flush 512", "c flush 512", "c flush 176"}},
    };
    for (const Case& c : cases)
    {
        log.clear();
        ASSERT_EQ(STATUS_SUCCESS, (engine->*c.Operation)(samples.data(), 4800));
        EXPECT_EQ(c.Trace, Trace());
        for (const NodeCall& call : log)
            EXPECT_EQ(static_cast<PVOID>(engine->Channels()), call.Buffer);
        EXPECT_EQ(original, samples);
    }
}

// ----------------------------------------------------------------------------
// What is left alone

TEST_F(Processing, WithoutNodesNothingIsConvertedAndZeroReturned)
{
    engine->UseFormat(FormatRecord(2, 48000, 16));
    for (ULONG c = 0; c < STREAM_ENGINE_MAX_CHANNELS; ++c)
        std::fill(engine->Channels()[c], engine->Channels()[c] + 512, 7.0f);
    std::vector<SHORT> samples = Ramp16(2400, 27);
    const std::vector<SHORT> original = samples;
    EXPECT_EQ(STATUS_SUCCESS, engine->ProcessBuffer(samples.data(), 4800));
    EXPECT_EQ(original, samples);
    for (ULONG c = 0; c < STREAM_ENGINE_MAX_CHANNELS; ++c)
        EXPECT_EQ(7.0f, engine->Channels()[c][0]);
    // No frames: nothing runs either.
    Add(1, "a");
    EXPECT_EQ(STATUS_SUCCESS, engine->ProcessBuffer(samples.data(), 0));
    EXPECT_TRUE(log.empty());
}

TEST_F(Processing, ALengthOfPartFramesIsRefusedWithItsMessage)
{
    engine->UseFormat(FormatRecord(2, 48000, 16));
    Add(1, "a");
    std::vector<SHORT> samples = Ramp16(2400, 27);
    const std::vector<SHORT> original = samples;
    const LONG lengths[] = {4799, 4798, 4797, 1, 2, 3};
    for (LONG bytes : lengths)
        EXPECT_EQ(STATUS_UNSUCCESSFUL, engine->ProcessBuffer(samples.data(), bytes)) << bytes;
    EXPECT_EQ(original, samples);
    EXPECT_TRUE(log.empty());
    std::vector<std::string> messages;
    for (const std::string& line : EmuDbgOutput())
        if (line.find("lBufSize") != std::string::npos)
            messages.push_back(line);
    ASSERT_EQ(6u, messages.size());
    EXPECT_EQ("0 != lBufSize(4799) Div m_CurrentWaveFormat.Format.nBlockAlign(4) \n", messages[0]);
    EXPECT_EQ("0 != lBufSize(3) Div m_CurrentWaveFormat.Format.nBlockAlign(4) \n", messages[5]);
}

TEST_F(Processing, FormatsTheWorkBuffersCannotHoldAreLeftUnprocessed)
{
    struct Case
    {
        USHORT Channels, Bits, BlockAlign;
        LONG Bytes;
        NTSTATUS Expected;
    };
    const Case cases[] = {
        {2, 16, 0, 4, STATUS_INVALID_PARAMETER}, // nothing may divide by it
        {2, 16, 4, -4, STATUS_INVALID_PARAMETER},
        {7, 16, 14, 1400, STATUS_SUCCESS},
        {8, 16, 16, 1600, STATUS_SUCCESS},
        {9, 16, 18, 1800, STATUS_NOT_SUPPORTED}, // more channels than buffers
        {10, 24, 30, 3000, STATUS_NOT_SUPPORTED},
        {0, 16, 2, 200, STATUS_NOT_SUPPORTED},
        {2, 8, 2, 200, STATUS_NOT_SUPPORTED},  // no converter for 8 bits
        {2, 16, 2, 200, STATUS_NOT_SUPPORTED}, // a block of one sample for two channels
        {2, 16, 6, 600, STATUS_NOT_SUPPORTED}, // padding the converters do not skip
    };
    ScriptNode* node = Add(1, "a");
    for (const Case& c : cases)
    {
        WAVEFORMATEXTENSIBLE format = FormatRecord(c.Channels, 48000, c.Bits);
        format.Format.nBlockAlign = c.BlockAlign;
        engine->UseFormat(format);
        std::vector<UCHAR> bytes(4096);
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = (UCHAR)(i * 7 + 1);
        const std::vector<UCHAR> original = bytes;
        const ULONG callsBefore = node->Calls;
        EXPECT_EQ(c.Expected, engine->ProcessBuffer(bytes.data(), c.Bytes))
            << c.Channels << " x " << c.Bits << ", block " << c.BlockAlign;
        EXPECT_EQ(original, bytes);
        EXPECT_EQ(c.Expected == STATUS_SUCCESS ? 1u : 0u, node->Calls - callsBefore);
    }
}

TEST(ProcessingBuffers, AnEngineWithoutItsBuffersProcessesNoPcm)
{
    std::vector<NodeCall> log;
    auto engine = new (NonPagedPool, kNodeTag) ProcessingEngine();
    engine->AddRef();
    ASSERT_EQ(STATUS_SUCCESS, engine->OpenStreamEngineCallback(STREAM_DIRECTION_CAPTURE));
    engine->UseFormat(FormatRecord(2, 48000, 16));
    auto node = new (NonPagedPool, kNodeTag) ScriptNode("a", &log);
    node->AddRef();
    ASSERT_EQ(STATUS_SUCCESS, engine->AddProcessingNode(node));
    node->Release();
    SHORT samples[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(STATUS_NOT_SUPPORTED, engine->ProcessBuffer(samples, sizeof(samples)));
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, engine->RunStage1(nullptr, 4, WAVE_FORMAT_PCM));
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, engine->RunStage2(4));
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(0u, engine->Release());
}

// ----------------------------------------------------------------------------
// The processor state around the pass

TEST_F(Processing, NodesRunWithFlushToZeroAndRoundToNearestAtDispatchLevelWithoutAllocating)
{
    engine->UseFormat(FormatRecord(2, 48000, 16));
    ScriptNode* a = Add(1, "a");
    Add(2, "b");
    std::vector<SHORT> samples = Ramp16(2400, 27);
    const unsigned saved = EmuGetMxcsr();
    // The caller rounds toward zero and keeps denormals.
    const unsigned callers = (saved & ~(kFlushToZero | kRoundingField)) | kRoundingField;
    for (NTSTATUS expected : {STATUS_SUCCESS, STATUS_DEVICE_DATA_ERROR})
    {
        log.clear();
        a->FailOnCall = expected == STATUS_SUCCESS ? 0 : a->Calls + 2;
        EmuSetMxcsr(callers);
        const auto allocations = EmuPoolAllocationCount();
        const NTSTATUS status = engine->ProcessBuffer(samples.data(), 4800);
        const unsigned after = EmuGetMxcsr();
        EmuSetMxcsr(saved);
        EXPECT_EQ(expected, status);
        EXPECT_EQ(callers, after);
        EXPECT_EQ(allocations, EmuPoolAllocationCount());
        ASSERT_FALSE(log.empty());
        for (const NodeCall& call : log)
        {
            EXPECT_EQ(kFlushToZero, call.Mxcsr & kFlushToZero);
            EXPECT_EQ(0u, call.Mxcsr & kRoundingField);
            EXPECT_EQ(DISPATCH_LEVEL, call.Irql);
        }
    }
}
} // namespace
