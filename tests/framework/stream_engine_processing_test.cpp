// The engine's processing of one buffer: chunks through the node lists, a
// failing node stopping the pass, PCM round trips against integer arithmetic,
// float streams, refusals, and the processor state around the pass.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "platform/cpu/cpu.h"
#include "platform/kernel/emu.h"
#include "tests/framework/frame_doubles.h"

namespace
{
constexpr ULONG kNodeTag = POOL_TAG("TNod");

class ProcessingEngine : public CStreamEngine
{
  public:
    ProcessingEngine() : CStreamEngine(nullptr, 0x42) {}
    void UseFormat(const WAVEFORMATEXTENSIBLE& format) { m_CurrentWaveFormat = format; }
    CPtrList* StageList(int i) const { return i == 2 ? m_StageList2 : m_StageList3; }
    float** Channels() const { return m_ChannelBuffers; }
};

// Logs each call ("a 512", "c flush 176") and what it saw; scales the
// per-channel samples unless it serves a float stream; fails on a chosen call.
// Answers the activity interface when asked to, with what it is told.
class ScriptNode : public CUnknown, public IChainNode, public IChainNodeActivity
{
  public:
    ScriptNode(const char* name, std::vector<std::string>* log)
        : CUnknown(nullptr), Name(name), Log(log)
    {
    }
    DECLARE_STD_UNKNOWN()
    STDMETHODIMP Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP SetFormat(PWAVEFORMATEX) override { return STATUS_SUCCESS; }
    STDMETHODIMP ResetStages() override { return STATUS_SUCCESS; }
    STDMETHODIMP Process(PWAVEFORMATEX f, PVOID b, ULONG n) override { return Run("", f, b, n); }
    STDMETHODIMP Flush(PWAVEFORMATEX f, PVOID b, ULONG n) override
    {
        return Run("flush ", f, b, n);
    }
    STDMETHODIMP_(BOOLEAN) ChangesSamples(PWAVEFORMATEX) override { return Changes; }
    STDMETHODIMP_(void) DescribeChange(PWAVEFORMATEX, PSTR text, ULONG size) override
    {
        RtlStringCbCopyA(text, size, Said.c_str());
    }

    std::string Name;
    std::vector<std::string>* Log;
    bool Pcm = true;
    float Gain = 1.0f;
    ULONG FailOnCall = 0; // 1-based
    bool Answers = false; // the activity interface
    bool Changes = true;
    std::string Said;
    ULONG Calls = 0;
    std::vector<PVOID> Buffers;
    std::vector<float> FirstSamples; // channel 0, sample 0, of each PCM call
    std::vector<unsigned> Mxcsr;
    std::vector<KIRQL> Irql;

  private:
    NTSTATUS Run(const char* kind, PWAVEFORMATEX format, PVOID buffer, ULONG frames)
    {
        Log->push_back(Name + " " + kind + std::to_string(frames));
        Buffers.push_back(buffer);
        Mxcsr.push_back(EmuGetMxcsr());
        Irql.push_back(KeGetCurrentIrql());
        auto channels = static_cast<float**>(buffer);
        if (Pcm)
            FirstSamples.push_back(channels[0][0]);
        if (++Calls == FailOnCall)
            return STATUS_DEVICE_DATA_ERROR;
        for (ULONG c = 0; Pcm && c < format->nChannels; ++c)
            for (ULONG i = 0; i < frames; ++i)
                channels[c][i] *= Gain;
        return STATUS_SUCCESS;
    }
};

NTSTATUS ScriptNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object)
{
    *object = nullptr;
    if (Answers && IsEqualGUID(iid, IID_IChainNodeActivity))
        *object = static_cast<IChainNodeActivity*>(this);
    else if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IChainNode))
        *object = static_cast<IChainNode*>(this);
    else
        return STATUS_INVALID_PARAMETER;
    AddRef();
    return STATUS_SUCCESS;
}

class Processing : public testing::Test
{
  protected:
    void SetUp() override
    {
        engine->AddRef();
        ASSERT_EQ(STATUS_SUCCESS, engine->OpenStreamEngineCallback(STREAM_DIRECTION_RENDER));
        ASSERT_EQ(STATUS_SUCCESS, engine->AllocateStreamBuffers());
        engine->UseFormat(FormatRecord(2, 48000, 16));
    }
    void TearDown() override { EXPECT_EQ(0u, engine->Release()); }
    // A node in list 1, 2 or 3, which holds the only reference.
    ScriptNode* Add(int list, const char* name)
    {
        auto node = new (NonPagedPool, kNodeTag) ScriptNode(name, &log);
        node->AddRef();
        if (list != 1)
            EXPECT_NE(nullptr, engine->StageList(list)->AddTail(static_cast<IChainNode*>(node)));
        else if (NT_SUCCESS(engine->AddProcessingNode(node)))
            node->Release();
        return node;
    }

    ProcessingEngine* engine = new (NonPagedPool, kNodeTag) ProcessingEngine();
    std::vector<std::string> log;
    // 1200 frames of a 16-bit stereo ramp.
    std::vector<SHORT> ramp = []
    {
        std::vector<SHORT> s(2400);
        for (size_t i = 0; i < s.size(); ++i)
            s[i] = (SHORT)(i * 27 - 32768);
        return s;
    }();
};

// A format of `bits`-bit containers holding `valid` bits; float for tag 3.
WAVEFORMATEXTENSIBLE Container(USHORT channels, USHORT bits, USHORT valid, USHORT tag = 1)
{
    WAVEFORMATEXTENSIBLE f = FormatRecord(channels, 48000, bits, tag);
    f.Samples.wValidBitsPerSample = valid;
    return f;
}

// `count` samples of `bits` bits, every bit from a hash of the sample's
// place: no two frames alike, padding never zero throughout.
std::vector<LONGLONG> Noise(size_t count, USHORT bits)
{
    std::vector<LONGLONG> s(count);
    for (size_t i = 0; i < count; ++i)
        s[i] = (LONGLONG)((i + 1) * 0x9E3779B97F4A7C15ull) >> (64 - bits);
    return s;
}

// `bits`-wide samples in little-endian containers, and back.
std::vector<UCHAR> Pack(const std::vector<LONGLONG>& samples, USHORT bits)
{
    std::vector<UCHAR> bytes;
    for (LONGLONG s : samples)
        for (int b = 0; b < bits / 8; ++b)
            bytes.push_back((UCHAR)((ULONGLONG)s >> (8 * b)));
    return bytes;
}

LONGLONG Unpack(const std::vector<UCHAR>& bytes, size_t i, USHORT bits)
{
    ULONGLONG raw = 0;
    for (int b = 0; b < bits / 8; ++b)
        raw |= (ULONGLONG)bytes[i * (bits / 8) + b] << (8 * b);
    return (LONGLONG)(raw << (64 - bits)) >> (64 - bits);
}

TEST_F(Processing, TwelveHundredFramesRunAsChunksOf512And512And176ThroughTheirLists)
{
    Add(1, "a");
    Add(2, "b");
    ScriptNode* c = Add(3, "c");
    const std::vector<SHORT> original = ramp;
    struct Case
    {
        NTSTATUS (CStreamEngine::*Operation)(PVOID, LONG);
        std::vector<std::string> Trace;
    };
    const Case cases[] = {
        {&CStreamEngine::ProcessBuffer,
         {"a 512", "b 512", "c flush 512", "a 512", "b 512", "c flush 512", "a 176", "b 176",
          "c flush 176"}},
        {&CStreamEngine::ProcessBufferStage1, {"a 512", "a 512", "a 176"}},
        {&CStreamEngine::ProcessBufferStage2, {"b 512", "b 512", "b 176"}},
        {&CStreamEngine::ProcessBufferStage3, {"c flush 512", "c flush 512", "c flush 176"}},
    };
    for (const Case& k : cases)
    {
        log.clear();
        ASSERT_EQ(STATUS_SUCCESS, (engine->*k.Operation)(ramp.data(), 4800));
        EXPECT_EQ(k.Trace, log);
        EXPECT_EQ(original, ramp);
    }
    // The per-channel buffers, each chunk's first left sample over 32768.
    EXPECT_EQ(static_cast<PVOID>(engine->Channels()), c->Buffers[0]);
    EXPECT_EQ(std::vector<float>(
                  {original[0] / 32768.0f, original[1024] / 32768.0f, original[2048] / 32768.0f}),
              std::vector<float>(c->FirstSamples.begin(), c->FirstSamples.begin() + 3));
}

TEST_F(Processing, AFailingNodeStopsThePassAndLeavesTheRestAsItWas)
{
    ScriptNode* a = Add(1, "a");
    a->Gain = 0.5f;
    a->FailOnCall = 2;
    Add(1, "b");
    Add(2, "c");
    const std::vector<SHORT> original = ramp;
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, engine->ProcessBuffer(ramp.data(), 4800));
    EXPECT_EQ(std::vector<std::string>({"a 512", "b 512", "c 512", "a 512"}), log);
    for (size_t i = 0; i < ramp.size(); ++i)
        ASSERT_EQ(i < 1024 ? (SHORT)(original[i] / 2) : original[i], ramp[i]) << i;
}

TEST_F(Processing, RoundTripsAreBitExactAtUnitGainAndSaturateBeyondFullScale)
{
    const LONGLONG max24 = 0x7FFFFF, min24 = -0x800000, max32 = 0x7FFFFFFF, min32 = -max32 - 1;
    struct Case
    {
        USHORT Bits;
        float Gain;
        std::vector<LONGLONG> In, Out;
    };
    const Case cases[] = {
        {16, 1.0f, {0x7FFF, -0x8000, 0, 1, -1, 12345}, {0x7FFF, -0x8000, 0, 1, -1, 12345}},
        {24, 1.0f, {max24, min24, 0, 1, -1, 0x123456}, {max24, min24, 0, 1, -1, 0x123456}},
        // Values a float holds exactly: 24 significant bits.
        {32, 1.0f, {0x7FFFFF80, min32, 0, 0x100, -0x100}, {0x7FFFFF80, min32, 0, 0x100, -0x100}},
        {16, 2.0f, {0x4000, 0x3FFF, -0x4000, -0x4001}, {0x7FFF, 0x7FFE, -0x8000, -0x8000}},
        {16, -1.0f, {-0x8000, 0x7FFF}, {0x7FFF, -0x7FFF}},
        {24, 2.0f, {0x400000, 0x3FFFFF, -0x400001}, {max24, 0x7FFFFE, min24}},
        {24, -1.0f, {min24}, {max24}},
        {32, 2.0f, {0x40000000, 0x3FFFFF00, -0x40000100}, {max32, 0x7FFFFE00, min32}},
        {32, -1.0f, {min32}, {max32}},
        // Halves: 16 and 32 bits round toward zero, 24 bits to the even neighbour.
        {16, 0.5f, {3, -3, 5}, {1, -1, 2}},
        {24, 0.5f, {3, -3, 5}, {2, -2, 2}},
        {32, 0.5f, {0x300, -0x300}, {0x180, -0x180}},
    };
    ScriptNode* node = Add(1, "gain");
    for (const Case& c : cases)
    {
        engine->UseFormat(FormatRecord(1, 48000, c.Bits));
        node->Gain = c.Gain;
        std::vector<UCHAR> bytes = Pack(c.In, c.Bits);
        ASSERT_EQ(STATUS_SUCCESS, engine->ProcessBuffer(bytes.data(), (LONG)bytes.size()));
        for (size_t i = 0; i < c.Out.size(); ++i)
            EXPECT_EQ(c.Out[i], Unpack(bytes, i, c.Bits)) << c.Bits << " x " << c.Gain << " #" << i;
    }
    EXPECT_EQ(32767.0f / 32768.0f, node->FirstSamples[0]);
}

// 24-bit frames of every channel count go back out of the channel buffers in
// one pass; each sample after the node's single-precision gain, rounded to
// the even neighbour and saturated, in chunks of 512 and 88 frames.
TEST_F(Processing, TwentyFourBitFramesOfEveryChannelCountComeBackRoundedAndSaturated)
{
    ScriptNode* node = Add(1, "gain");
    node->Gain = 1.5f;
    for (USHORT channels = 1; channels <= 8; ++channels)
    {
        engine->UseFormat(FormatRecord(channels, 48000, 24));
        std::vector<LONGLONG> in(600u * channels);
        for (size_t i = 0; i < in.size(); ++i)
            in[i] = (LONGLONG)((i * 2654435761u) % 0x1000000) - 0x800000;
        std::vector<UCHAR> bytes = Pack(in, 24);
        ASSERT_EQ(STATUS_SUCCESS, engine->ProcessBuffer(bytes.data(), (LONG)bytes.size()));
        for (size_t i = 0; i < in.size(); ++i)
        {
            const double gained = (float)(in[i] / 8388608.0 * 1.5) * 8388608.0;
            const double r = std::nearbyint(gained); // ties to even
            const LONGLONG expected = r > 0x7FFFFF ? 0x7FFFFF : (r < -0x800000 ? -0x800000 : r);
            ASSERT_EQ(expected, Unpack(bytes, i, 24)) << channels << " channels, sample " << i;
        }
    }
}

TEST_F(Processing, FloatStreamsRunTheFirstListOnTheCallersBuffer)
{
    ScriptNode* a = Add(1, "a");
    a->Pcm = false;
    Add(2, "b");
    Add(3, "c");
    std::vector<float> samples(2400, 0.25f);
    for (USHORT tag : {WAVE_FORMAT_IEEE_FLOAT, WAVE_FORMAT_EXTENSIBLE})
    {
        WAVEFORMATEXTENSIBLE format = FormatRecord(2, 48000, 32, WAVE_FORMAT_IEEE_FLOAT);
        format.Format.wFormatTag = tag;
        engine->UseFormat(format);
        log.clear();
        ASSERT_EQ(STATUS_SUCCESS, engine->ProcessBuffer(samples.data(), 9600));
        EXPECT_EQ(std::vector<std::string>({"a 512", "a 512", "a 176"}), log);
        EXPECT_EQ(static_cast<PVOID>(samples.data() + 2048), a->Buffers.back());
        // The lists of per-channel buffers never run on floats.
        EXPECT_EQ(STATUS_SUCCESS, engine->ProcessBufferStage2(samples.data(), 9600));
        EXPECT_EQ(STATUS_SUCCESS, engine->ProcessBufferStage3(samples.data(), 9600));
        EXPECT_EQ(3u, log.size());
    }
    EXPECT_EQ(std::vector<float>(2400, 0.25f), samples);
}

TEST_F(Processing, WhatCannotBeProcessedIsLeftAsItWas)
{
    struct Case
    {
        USHORT Channels, Bits, BlockAlign;
        LONG Bytes;
        bool Nodes;
        NTSTATUS Expected;
    };
    const Case cases[] = {
        {2, 16, 4, 4800, false, STATUS_SUCCESS},     // no nodes: nothing converted
        {2, 16, 4, 0, true, STATUS_SUCCESS},         // no frames
        {2, 16, 4, 4799, true, STATUS_UNSUCCESSFUL}, // part of a frame
        {2, 16, 4, 3, true, STATUS_UNSUCCESSFUL},
        {2, 16, 0, 4, true, STATUS_INVALID_PARAMETER}, // nothing may divide by it
        {2, 16, 4, -4, true, STATUS_INVALID_PARAMETER},
        {8, 16, 16, 1600, true, STATUS_SUCCESS},       // the eight channel buffers
        {9, 16, 18, 1800, true, STATUS_NOT_SUPPORTED}, // more channels than buffers
        {0, 16, 2, 200, true, STATUS_NOT_SUPPORTED},
        {2, 8, 2, 200, true, STATUS_NOT_SUPPORTED},  // no converter for 8 bits
        {2, 16, 2, 200, true, STATUS_NOT_SUPPORTED}, // a block too short for its channels
        {2, 16, 6, 600, true, STATUS_NOT_SUPPORTED}, // padding the converters cannot skip
    };
    ScriptNode* node = nullptr;
    for (const Case& c : cases)
    {
        if (c.Nodes && node == nullptr)
            node = Add(1, "a");
        WAVEFORMATEXTENSIBLE format = FormatRecord(c.Channels, 48000, c.Bits);
        format.Format.nBlockAlign = c.BlockAlign;
        engine->UseFormat(format);
        std::vector<UCHAR> bytes(4800, 0x5A);
        engine->Channels()[0][0] = 7.0f;
        log.clear();
        EXPECT_EQ(c.Expected, engine->ProcessBuffer(bytes.data(), c.Bytes)) << c.Channels;
        EXPECT_EQ(std::vector<UCHAR>(4800, 0x5A), bytes);
        const bool converted = c.Expected == STATUS_SUCCESS && c.Nodes && c.Bytes > 0;
        EXPECT_EQ(converted, !log.empty());
        EXPECT_EQ(converted, engine->Channels()[0][0] != 7.0f);
    }
    const std::vector<std::string>& out = EmuDbgOutput();
    EXPECT_EQ("0 != lBufSize(4799) Div m_CurrentWaveFormat.Format.nBlockAlign(4) \n", out.at(0));
    EXPECT_EQ(2u, out.size());
}

TEST_F(Processing, NodesRunWithFlushToZeroAndRoundToNearestAtDispatchLevelWithoutAllocating)
{
    ScriptNode* a = Add(1, "a");
    const unsigned saved = EmuGetMxcsr();
    // The caller rounds toward zero and keeps denormals.
    const unsigned callers = (saved & ~0x8000u) | 0x6000u;
    for (ULONG failOn : {0u, 2u})
    {
        a->FailOnCall = failOn == 0 ? 0 : a->Calls + failOn;
        EmuSetMxcsr(callers);
        const auto allocations = EmuPoolAllocationCount();
        const NTSTATUS status = engine->ProcessBuffer(ramp.data(), 4800);
        const unsigned after = EmuGetMxcsr();
        EmuSetMxcsr(saved);
        EXPECT_EQ(failOn == 0 ? STATUS_SUCCESS : STATUS_DEVICE_DATA_ERROR, status);
        EXPECT_EQ(callers, after);
        EXPECT_EQ(allocations, EmuPoolAllocationCount());
    }
    ASSERT_EQ(5u, a->Mxcsr.size());
    for (size_t i = 0; i < a->Mxcsr.size(); ++i)
    {
        EXPECT_EQ(0x8000u, a->Mxcsr[i] & 0xE000u); // flush to zero, nearest
        EXPECT_EQ(DISPATCH_LEVEL, a->Irql[i]);
    }
}

// A buffer no node changes is left byte for byte at every width, padding
// and floats included, and no node runs; where one changes samples it runs
// alone, the others passed over, and each sample's bits below its valid
// bits are cleared before its conversion: at unity the valid bits come
// back and the padding is zero; halved, the masked value's exact half.
TEST_F(Processing, OnlyNodesThatChangeSamplesRunAndPaddingNeverRoundsIn)
{
    ScriptNode* nodes[] = {Add(1, "a"), Add(2, "b"), Add(3, "c")};
    for (ScriptNode* node : nodes)
        node->Answers = true;
    const struct
    {
        USHORT Bits, Valid, Tag;
        float Gain; // of the second list's node; 0: no node changes samples
    } rows[] = {{16, 16, 1, 0},    {24, 24, 1, 0},    {32, 32, 1, 0},    {32, 24, 1, 0},
                {24, 20, 1, 0},    {16, 12, 1, 0},    {32, 32, 3, 1.0f}, {16, 12, 1, 1.0f},
                {24, 20, 1, 1.0f}, {32, 24, 1, 1.0f}, {32, 16, 1, 1.0f}, {32, 20, 1, 0.5f},
                {24, 20, 1, 0.5f}};
    for (const auto& row : rows)
    {
        SCOPED_TRACE(std::to_string(row.Valid) + " in " + std::to_string(row.Bits) + " x " +
                     std::to_string(row.Gain));
        engine->UseFormat(Container(2, row.Bits, row.Valid, row.Tag));
        for (ScriptNode* node : nodes)
            node->Changes = node == nodes[1] && row.Gain != 0;
        nodes[1]->Gain = row.Gain;
        const std::vector<LONGLONG> in = Noise(1200, row.Bits);
        std::vector<UCHAR> bytes = Pack(in, row.Bits);
        log.clear();
        ASSERT_EQ(STATUS_SUCCESS, engine->ProcessBuffer(bytes.data(), (LONG)bytes.size()));
        const bool runs = row.Gain != 0 && row.Tag == WAVE_FORMAT_PCM; // list 2: PCM only
        const std::vector<std::string> ran = {"b 512", "b 88"};
        EXPECT_EQ(runs ? ran : std::vector<std::string>(), log);
        const int padding = row.Bits - row.Valid;
        for (size_t i = 0; i < in.size(); ++i)
        {
            const LONGLONG masked = (in[i] >> padding) << padding;
            ASSERT_EQ(!runs ? in[i] : (row.Gain == 1.0f ? masked : masked >> 1),
                      Unpack(bytes, i, row.Bits))
                << i;
        }
    }
}

// The engine's description: each node that changes samples of the current
// format in list order, "; " between them, a node without the interface as
// a client's; float streams run the first list only, PCM the converters
// cannot take none (nothing said); cut short at the size given.
TEST_F(Processing, DescribeProcessingNamesTheNodesThatChangeSamplesNow)
{
    ScriptNode* quiet = Add(1, "a");
    ScriptNode* volume = Add(1, "b");
    Add(2, "c"); // no activity interface
    ScriptNode* mute = Add(3, "d");
    ScriptNode* wordless = Add(3, "e");
    for (ScriptNode* node : {quiet, volume, mute, wordless})
        node->Answers = true;
    quiet->Changes = false;
    quiet->Said = "never said";
    volume->Said = "volume -6.0 dB on control 3";
    mute->Said = "mute on control 5";
    const struct
    {
        WAVEFORMATEXTENSIBLE Format;
        ULONG Size;
        NTSTATUS Status;
        const char* Said;
    } rows[] = {
        {Container(2, 16, 16), 200, STATUS_SUCCESS,
         "volume -6.0 dB on control 3; a node a client handed in; mute on control 5; a node of "
         "the chain"},
        {Container(2, 16, 16), 30, STATUS_BUFFER_OVERFLOW, "volume -6.0 dB on control 3; "},
        {Container(2, 32, 32, WAVE_FORMAT_IEEE_FLOAT), 200, STATUS_SUCCESS,
         "volume -6.0 dB on control 3"},
        {Container(2, 8, 8), 200, STATUS_SUCCESS, ""},
        {Container(2, 16, 16), 0, STATUS_INVALID_PARAMETER, "unchanged"},
    };
    for (const auto& row : rows)
    {
        engine->UseFormat(row.Format);
        char text[200] = "unchanged";
        EXPECT_EQ(row.Status, engine->DescribeProcessing(text, row.Size)) << row.Said;
        EXPECT_STREQ(row.Said, text);
    }
    EXPECT_EQ(STATUS_INVALID_PARAMETER, engine->DescribeProcessing(nullptr, 10));
}

TEST(ProcessingBuffers, AnEngineWithoutItsBuffersProcessesNoPcm)
{
    auto engine = new (NonPagedPool, kNodeTag) ProcessingEngine();
    engine->AddRef();
    ASSERT_EQ(STATUS_SUCCESS, engine->OpenStreamEngineCallback(STREAM_DIRECTION_CAPTURE));
    engine->UseFormat(FormatRecord(2, 48000, 16));
    TestNode* node = MakeNode();
    ASSERT_EQ(STATUS_SUCCESS, engine->AddProcessingNode(node));
    node->Release();
    SHORT samples[8] = {};
    EXPECT_EQ(STATUS_NOT_SUPPORTED, engine->ProcessBuffer(samples, sizeof(samples)));
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, engine->RunStage1(nullptr, 4, WAVE_FORMAT_PCM));
    engine->Release();
}
} // namespace
